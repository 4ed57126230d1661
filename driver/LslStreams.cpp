#include "LslStreams.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <mutex>
#include <numeric>
#include <set>

#include "LslApi.h"

namespace lslstreams {

namespace {
std::mutex ownMutex;
std::multiset<std::string>& ownStreams() {
    static std::multiset<std::string> streams;
    return streams;
}

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

std::string upper(std::string s) {
    for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool whole(double rate) { return rate >= 1.0 && std::fabs(rate - std::round(rate)) < 1e-9; }
}  // namespace

void addOwnStream(const std::string& uid) {
    if (uid.empty()) return;
    std::lock_guard<std::mutex> lock(ownMutex);
    ownStreams().insert(uid);
}

void removeOwnStream(const std::string& uid) {
    std::lock_guard<std::mutex> lock(ownMutex);
    auto it = ownStreams().find(uid);
    if (it != ownStreams().end()) ownStreams().erase(it);
}

bool isOwnStream(const std::string& uid) {
    std::lock_guard<std::mutex> lock(ownMutex);
    return ownStreams().count(uid) != 0;
}

std::vector<LslStreamInfo> discover(double waitSeconds) {
    std::vector<LslStreamInfo> found;
    LslApi& lsl = LslApi::instance();
    if (!lsl.available()) return found;
    std::vector<lsl_streaminfo> buffer(4096, nullptr);
    const int n = lsl.resolve_all(buffer.data(), unsigned(buffer.size()), std::max(0.0, waitSeconds));
    for (int i = 0; i < n && i < int(buffer.size()); ++i) {
        lsl_streaminfo info = buffer[std::size_t(i)];
        if (!info) continue;
        LslStreamInfo s;
        s.name = text(lsl.get_name(info));
        s.type = text(lsl.get_type(info));
        s.sourceId = text(lsl.get_source_id(info));
        s.uid = text(lsl.get_uid(info));
        s.hostname = text(lsl.get_hostname(info));
        s.channels = lsl.get_channel_count(info);
        s.rate = lsl.get_nominal_srate(info);
        s.format = lsl.get_channel_format(info);
        lsl.destroy_streaminfo(info);
        if (!isOwnStream(s.uid)) found.push_back(std::move(s));
    }
    std::sort(found.begin(), found.end(), [](const LslStreamInfo& a, const LslStreamInfo& b) {
        return a.name != b.name ? a.name < b.name : a.uid < b.uid;
    });
    return found;
}

std::string refusal(const LslStreamInfo& stream) {
    const std::string who = "LSL stream \"" + stream.name + "\"";
    if (!(stream.rate > 0.0) || !std::isfinite(stream.rate))
        return who + " has an irregular sampling rate (markers or events); only streams with a fixed rate can be "
                     "shown";
    if (stream.rate > 65535.0) return who + " samples faster than 65535 Hz, which cannot be shown";
    if (stream.channels <= 0) return who + " has no channels";
    if (stream.channels > maxChannels)
        return who + " has " + std::to_string(stream.channels) + " channels; at most " + std::to_string(maxChannels) +
               " can be shown";
    if (stream.format == LslApi::cft_string) return who + " carries text, not numbers";
    if (stream.format < LslApi::cft_float32 || stream.format > LslApi::cft_int64)
        return who + " has a sample format that cannot be read";
    return {};
}

std::string signalName(const std::string& type) {
    const std::string t = upper(type);
    if (t.rfind("EEG", 0) == 0) return "EEG";
    static const char* const motion[] = {"ACC", "ACCELEROMETER", "GYRO", "GYROSCOPE", "MAG", "MAGNETOMETER",
                                         "IMU", "MOCAP", "MOTION", "ORIENTATION"};
    for (const char* m : motion)
        if (t == m) return "IMU";
    if (t == "PPG" || t == "BVP" || t == "PULSE") return "BVP";
    if (t == "GSR" || t == "EDA" || t == "SCR") return "GSR";
    if (t == "NIRS" || t == "FNIRS") return "FOT";
    if (t == "ECG" || t == "EMG" || t == "EOG") return t;
    return "BIO";
}

unsigned blockRate(const std::vector<double>& rates) {
    if (rates.empty() || !(rates.front() > 0.0)) return 0;
    if (!whole(rates.front())) {
        const double r = rates.front();
        const double samples = std::max(1.0, std::floor(r / 16.0));
        return unsigned(std::max(1.0, std::round(r / samples)));
    }
    long common = 0;
    for (double r : rates)
        if (whole(r)) common = std::gcd(common, long(std::llround(r)));
    if (common < 16) return unsigned(common);
    for (long d = 16; d <= common; ++d)
        if (common % d == 0) return unsigned(d);
    return unsigned(common);
}

unsigned samplesPerBlock(double rate, unsigned blockRate) {
    if (blockRate == 0 || !(rate > 0.0)) return 1;
    return unsigned(std::max(1.0, std::round(rate / double(blockRate))));
}

}  // namespace lslstreams
