#include "LslConnection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <numeric>

#include "Battery.h"
#include "LslApi.h"

namespace {
constexpr double resolveSeconds = 1.0;
constexpr double answerSeconds = 5.0;
// A read waits for data in slices this long, so stop and disconnect from another thread take effect soon.
constexpr double sliceSeconds = 0.05;

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

void say(const std::string& line) { std::cout << line << std::endl; }

bool whole(double rate) { return rate >= 1.0 && std::fabs(rate - std::round(rate)) < 1e-9; }

std::shared_ptr<void> own(lsl_streaminfo info) {
    return std::shared_ptr<void>(info, [](void* p) {
        if (p) LslApi::instance().destroy_streaminfo(static_cast<lsl_streaminfo>(p));
    });
}

std::vector<std::string> channelLabels(LslApi& lsl, lsl_streaminfo full, int channels) {
    std::vector<std::string> labels;
    lsl_xml_ptr desc = lsl.get_desc(full);
    if (desc) {
        lsl_xml_ptr list = lsl.child(desc, "channels");
        lsl_xml_ptr ch = list && !lsl.empty(list) ? lsl.child(list, "channel") : nullptr;
        while (ch && !lsl.empty(ch) && int(labels.size()) < channels) {
            labels.push_back(text(lsl.child_value_n(ch, "label")));
            ch = lsl.next_sibling_n(ch, "channel");
        }
    }
    // Streams without a description still get a label per channel.
    for (int c = int(labels.size()); c < channels; ++c) labels.push_back(std::to_string(c + 1));
    for (std::size_t c = 0; c < labels.size(); ++c)
        if (labels[c].empty()) labels[c] = std::to_string(c + 1);
    return labels;
}
}  // namespace

struct LslConnection::Stream {
    lsl_inlet inlet = nullptr;
    unsigned channels = 0;
    unsigned samples = 0;
    bool asFloat = true;
    std::string name;
    std::vector<double> values;  // received and not yet handed out, sample after sample
    std::vector<double> stamps;
    std::vector<float> floats;   // reused pull buffers
    std::vector<double> doubles;
    std::vector<double> pulledStamps;
};

struct LslConnection::Session {
    std::vector<Stream> streams;
    std::atomic<bool> closed{false};
    std::atomic<bool> lost{false};
    std::mutex readMutex;
    double rate0 = 0.0;

    ~Session() {
        for (Stream& s : streams)
            if (s.inlet) LslApi::instance().destroy_inlet(s.inlet);
    }
};

LslConnection::LslConnection(PropertyMap properties)
    : Connection("lsl", std::move(properties), true), lastBlockTime_(std::numeric_limits<double>::quiet_NaN()) {
    for (const char* key : {"name", "source_id", "type"}) {
        if (Connection::properties().exists(key)) {
            key_ = key;
            value_ = Connection::properties().text(key);
            break;
        }
    }
}

LslConnection::~LslConnection() { disconnect(); }

std::string LslConnection::requestedName() const { return value_; }

std::string LslConnection::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

bool LslConnection::lastErrorIsFinal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorFinal_;
}

bool LslConnection::connect() {
    disconnect();
    auto fail = [this](const std::string& why, bool final = false) {
        say(why);
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = why;
        errorFinal_ = final;
        return false;
    };
    LslApi& lsl = LslApi::instance();
    if (!lsl.available())
        return fail("LSL streams cannot be read: liblsl is not available (" + lsl.errorText() + ")", true);
    if (key_.empty() || value_.empty())
        return fail("An LSL connection needs a stream \"name\", \"type\" or \"source_id\"", true);

    std::vector<lsl_streaminfo> buffer(4096, nullptr);
    const int n = lsl.resolve_all(buffer.data(), unsigned(buffer.size()), resolveSeconds);
    struct Candidate {
        LslStreamInfo info;
        std::shared_ptr<void> handle;
    };
    std::vector<Candidate> matches;
    for (int i = 0; i < n && i < int(buffer.size()); ++i) {
        Candidate c;
        c.handle = own(buffer[std::size_t(i)]);
        lsl_streaminfo h = buffer[std::size_t(i)];
        if (!h) continue;
        c.info.name = text(lsl.get_name(h));
        c.info.type = text(lsl.get_type(h));
        c.info.sourceId = text(lsl.get_source_id(h));
        c.info.uid = text(lsl.get_uid(h));
        c.info.hostname = text(lsl.get_hostname(h));
        c.info.channels = lsl.get_channel_count(h);
        c.info.rate = lsl.get_nominal_srate(h);
        c.info.format = lsl.get_channel_format(h);
        const std::string& field = key_ == "name" ? c.info.name : key_ == "type" ? c.info.type : c.info.sourceId;
        if (field != value_ || lslstreams::isOwnStream(c.info.uid)) continue;
        matches.push_back(std::move(c));
    }
    if (matches.empty()) return fail("No LSL stream with " + key_ + " \"" + value_ + "\" was found");
    // EEG first, then by name: the first stream sets the block rate.
    std::stable_sort(matches.begin(), matches.end(), [](const Candidate& a, const Candidate& b) {
        const bool ea = lslstreams::signalName(a.info.type) == "EEG";
        const bool eb = lslstreams::signalName(b.info.type) == "EEG";
        if (ea != eb) return ea;
        return a.info.name != b.info.name ? a.info.name < b.info.name : a.info.uid < b.info.uid;
    });

    std::vector<Candidate> chosen;
    std::string refusals;
    long common = 0;
    for (Candidate& c : matches) {
        const std::string why = lslstreams::refusal(c.info);
        if (!why.empty()) {
            refusals += (refusals.empty() ? "" : "; ") + why;
            continue;
        }
        if (!chosen.empty()) {
            // One device, one block rate: a further stream joins when its rate shares the blocks.
            const long rate = whole(c.info.rate) ? long(std::llround(c.info.rate)) : 0;
            const long shared = rate ? std::gcd(common, rate) : 0;
            if (common == 0 || shared < std::min(16L, common)) {
                say("LSL stream \"" + c.info.name + "\" left out: its rate does not fit the device's blocks");
                continue;
            }
            common = shared;
        } else {
            common = whole(c.info.rate) ? long(std::llround(c.info.rate)) : 0;
        }
        chosen.push_back(std::move(c));
        // A name or a type picks one stream; a source id takes all of its streams.
        if (key_ != "source_id") break;
    }
    // Found but unusable: the stream will not change its format between attempts.
    if (chosen.empty()) return fail(refusals, true);

    Description d;
    std::vector<double> rates;
    for (const Candidate& c : chosen) rates.push_back(c.info.rate);
    d.blockRate = std::uint16_t(std::min(65535u, lslstreams::blockRate(rates)));
    int protocol = 0;
    for (const Candidate& c : chosen) {
        lsl_inlet inlet = lsl.create_inlet(static_cast<lsl_streaminfo>(c.handle.get()), 360, 0, 0);
        if (!inlet) return fail("LSL stream \"" + c.info.name + "\" cannot be opened");
        std::int32_t ec = 0;
        lsl_streaminfo full = lsl.get_fullinfo(inlet, answerSeconds, &ec);
        if (!full || ec != 0) {
            if (full) lsl.destroy_streaminfo(full);
            lsl.destroy_inlet(inlet);
            return fail("LSL stream \"" + c.info.name + "\" did not answer");
        }
        d.labels.push_back(channelLabels(lsl, full, c.info.channels));
        protocol = std::max(protocol, lsl.get_version(full));
        lsl.destroy_streaminfo(full);
        lsl.destroy_inlet(inlet);
        const unsigned samples = lslstreams::samplesPerBlock(c.info.rate, d.blockRate);
        const unsigned channels = unsigned(c.info.channels);
        d.signalList.emplace_back(lslstreams::signalName(c.info.type), channels, channels, samples, 1u);
        d.streams.push_back(c.info);
    }
    // The stream protocol's version, in the form the acquisition reads as a firmware version.
    d.version = "HWLSL_FW" + std::to_string(protocol / 100) + "." + std::to_string(protocol % 100);

    std::lock_guard<std::mutex> lock(mutex_);
    description_ = std::move(d);
    infos_.clear();
    for (Candidate& c : chosen) infos_.push_back(std::move(c.handle));
    connected_ = true;
    error_.clear();
    errorFinal_ = false;
    return true;
}

void LslConnection::disconnect() {
    std::shared_ptr<Session> session;
    std::vector<std::shared_ptr<void>> infos;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session = std::move(session_);
        infos = std::move(infos_);
        session_.reset();
        infos_.clear();
        connected_ = false;
    }
    // A read holding the session gives up within one slice and lets the inlets go.
    if (session) session->closed = true;
}

bool LslConnection::isConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_ && !(session_ && session_->lost);
}

std::string LslConnection::deviceName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connected_ && !description_.streams.empty()) return description_.streams.front().name;
    return {};
}

LslConnection::Description LslConnection::describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return description_;
}

bool LslConnection::start() {
    std::vector<std::shared_ptr<void>> infos;
    Description d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return false;
        if (session_ && !session_->lost && !session_->closed) return true;
        infos = infos_;
        d = description_;
    }
    LslApi& lsl = LslApi::instance();
    auto session = std::make_shared<Session>();
    session->rate0 = d.streams.empty() ? 0.0 : d.streams.front().rate;
    for (std::size_t i = 0; i < infos.size() && i < d.signalList.size(); ++i) {
        Stream s;
        s.name = d.streams[i].name;
        s.channels = d.signalList[i].channels;
        s.samples = d.signalList[i].samples;
        s.asFloat = d.streams[i].format == LslApi::cft_float32;
        s.inlet = lsl.create_inlet(static_cast<lsl_streaminfo>(infos[i].get()), 360, 0, 0);
        if (!s.inlet) {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = "LSL stream \"" + s.name + "\" cannot be opened";
            errorFinal_ = false;
            return false;
        }
        // The source's time stamps, moved onto this computer's clock.
        lsl.set_postprocessing(s.inlet, LslApi::proc_clocksync);
        session->streams.push_back(std::move(s));
        std::int32_t ec = 0;
        lsl.open_stream(session->streams.back().inlet, answerSeconds, &ec);
        if (ec != 0) {
            say("LSL stream \"" + d.streams[i].name + "\" did not answer");
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = "LSL stream \"" + d.streams[i].name + "\" did not answer";
            errorFinal_ = false;
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) return false;
    if (session_) session_->closed = true;
    session_ = std::move(session);
    return true;
}

bool LslConnection::stop() {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return false;
        session = std::move(session_);
        session_.reset();
    }
    if (session) session->closed = true;
    return true;
}

bool LslConnection::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_ && session_ && !session_->lost && !session_->closed;
}

double LslConnection::lastBlockTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastBlockTime_;
}

bool LslConnection::read(unsigned timeoutMs, std::vector<double>& data, std::uint16_t& sequence,
                         std::int16_t& battery, std::uint16_t& flags) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session = session_;
    }
    if (!session) return false;
    std::lock_guard<std::mutex> reading(session->readMutex);
    LslApi& lsl = LslApi::instance();
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (session->closed || session->lost) return false;
        bool complete = true;
        for (Stream& s : session->streams) {
            const std::size_t have = s.stamps.size();
            if (have >= s.samples) continue;
            const std::size_t need = s.samples - have;
            const double left = std::chrono::duration<double>(deadline - clock::now()).count();
            const double wait = std::max(0.0, std::min(sliceSeconds, left));
            std::int32_t ec = 0;
            s.pulledStamps.resize(need);
            unsigned long got = 0;
            if (s.asFloat) {
                s.floats.resize(need * s.channels);
                got = lsl.pull_chunk_f(s.inlet, s.floats.data(), s.pulledStamps.data(), s.floats.size(), need, wait,
                                       &ec);
                s.values.insert(s.values.end(), s.floats.begin(), s.floats.begin() + long(got));
            } else {
                s.doubles.resize(need * s.channels);
                got = lsl.pull_chunk_d(s.inlet, s.doubles.data(), s.pulledStamps.data(), s.doubles.size(), need,
                                       wait, &ec);
                s.values.insert(s.values.end(), s.doubles.begin(), s.doubles.begin() + long(got));
            }
            const std::size_t samples = s.channels ? got / s.channels : 0;
            s.stamps.insert(s.stamps.end(), s.pulledStamps.begin(), s.pulledStamps.begin() + long(samples));
            if (ec == LslApi::lsl_lost_error) {
                say("LSL stream \"" + s.name + "\" lost");
                session->lost = true;
                return false;
            }
            if (s.stamps.size() < s.samples) complete = false;
        }
        if (complete) break;
        if (clock::now() >= deadline) return false;
    }

    data.clear();
    double first = std::numeric_limits<double>::quiet_NaN();
    for (Stream& s : session->streams) {
        const std::size_t values = std::size_t(s.samples) * s.channels;
        if (std::isnan(first)) first = s.stamps.front();
        data.insert(data.end(), s.values.begin(), s.values.begin() + long(values));
        s.values.erase(s.values.begin(), s.values.begin() + long(values));
        s.stamps.erase(s.stamps.begin(), s.stamps.begin() + long(s.samples));
    }
    battery = Battery::UNKNOWN;
    flags = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const Stream& primary = session->streams.front();
    const double blockSeconds = session->rate0 > 0 ? primary.samples / session->rate0 : 0.0;
    if (haveBlock_) {
        // More than one block's time missing between two blocks is a gap: its blocks are counted as lost.
        const double step = first - lastBlockTime_;
        long missed = 0;
        if (blockSeconds > 0 && step > 2.0 * blockSeconds) missed = std::lround(step / blockSeconds) - 1;
        sequence_ = std::uint16_t(sequence_ + 1 + std::uint16_t(missed & 0xFFFF));
    } else {
        haveBlock_ = true;
        sequence_ = 0;
    }
    lastBlockTime_ = first;
    sequence = sequence_;
    return true;
}
