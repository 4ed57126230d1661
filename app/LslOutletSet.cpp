#include "LslOutletSet.h"

#include "DeviceModel.h"
#include "LslStreams.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {
double steadySeconds(int64_t microseconds)
{
    return double(microseconds) * 1e-6;
}

int64_t steadyNowUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Units as the usual LSL meta-data spells them.
const char* lslUnit(ChannelUnit unit)
{
    switch (unit) {
    case ChannelUnit::Microvolt: return "microvolts";
    case ChannelUnit::Microsiemens: return "microsiemens";
    case ChannelUnit::Acceleration: return "m/s^2";
    case ChannelUnit::Microtesla: return "microtesla";
    case ChannelUnit::None: return "a.u.";
    default: return unitSymbol(unit);
    }
}

// Inertial axes in the order the device sends them: accelerometer, gyroscope, then magnetometer.
void describeImu(std::vector<LslChannel>& out, const SignalSlot& signal, unsigned imu)
{
    static const char* const sensors[] = {"Acc", "Gyro", "Mag"};
    static const char* const types[] = {"Accelerometer", "Gyroscope", "Magnetometer"};
    for (unsigned c = 0; c < signal.channels; ++c) {
        const unsigned sensor = std::min(c / 3, 2u);
        const std::string label = "IMU" + std::to_string(imu) + "_" +
                                  (c < 9 ? std::string(SignalLayout::imuAxis(c)) : sensors[sensor] + std::to_string(c + 1));
        out.push_back({label, lslUnit(signal.unit(c)), types[sensor]});
    }
}
}  // namespace

BlockStamper::BlockStamper(double blockInterval, unsigned samplesPerBlock)
    : blockInterval_(blockInterval), sampleInterval_(blockInterval / double(samplesPerBlock ? samplesPerBlock : 1))
{
}

double BlockStamper::lastSample(double readTime, unsigned missedBlocks)
{
    if (!started_) {
        started_ = true;
        lastRead_ = readTime;
        return last_ = readTime;
    }
    const double expected = last_ + blockInterval_ * (1.0 + missedBlocks);
    const double late = readTime - expected;
    // Blocks read in a burst (a backlog after the reader stalled) tell nothing of the device's clock: only the
    // time the reader saw pass may be followed.
    const double elapsed = std::max(0.0, readTime - lastRead_);
    lastRead_ = readTime;
    const bool wasFarLate = farLate_;
    const double before = farLateBy_;
    farLate_ = late > RESYNC_SECONDS;
    farLateBy_ = late;
    double stamp;
    if (late > RESYNC_SECONDS) {
        // A stalled reader's backlog comes a block interval less late at each read; blocks that keep coming
        // this late at the device's pace mean its clock moved (a restart, a long loss): start again there.
        const bool paced = elapsed >= 0.75 * blockInterval_ && late > before - 0.25 * blockInterval_;
        stamp = wasFarLate && paced ? readTime : expected;
    } else if (late >= 0) {
        stamp = expected + FOLLOW * std::min(late, elapsed);
    } else if (late > -RESYNC_SECONDS) {
        // A read can only be late, never early: an early one corrects at once, but by less than one sample
        // interval, so the block's first sample still comes after the previous block's last.
        stamp = expected + std::max(late, -0.5 * sampleInterval_);
    } else {
        stamp = std::max(readTime, last_ + blockInterval_);
    }
    return last_ = stamp;
}

LslOutletSet::LslOutletSet(DeviceModel* model, LslLibrary* library)
    : model_(model), lsl_(library ? library : &LslLibrary::instance())
{
}

LslOutletSet::~LslOutletSet()
{
    closeOutlets();
}

std::string LslOutletSet::streamName(const std::string& description, const std::string& signalName, unsigned index)
{
    return description + "_" + signalName + "_" + std::to_string(index);
}

bool LslOutletSet::oneSamplePerBlock(const std::string& signalName)
{
    return signalKind(signalName) == SignalKind::Aux;
}

std::vector<LslChannel> LslOutletSet::describeChannels(const std::string& name, unsigned channels, unsigned samples,
                                                       const std::vector<std::string>& labels)
{
    const SignalSlot signal = SignalLayout({KvnSignal(name, channels, channels, samples, 1)})[0];
    std::vector<LslChannel> out;
    if (labels.size() == channels && !signal.oneSamplePerBlock()) {
        out = describeChannels(name, channels, samples);
        for (unsigned c = 0; c < channels; ++c) out[c].label = labels[c];
        return out;
    }
    auto numbered = [&](const std::string& stem, const std::string& type) {
        for (unsigned c = 1; c <= channels; ++c)
            out.push_back({channels == 1 ? stem : stem + std::to_string(c), lslUnit(signal.unit(c - 1)), type});
    };
    switch (signal.kind) {
    case SignalKind::Eeg:
        for (unsigned c = 1; c <= channels; ++c) out.push_back({std::to_string(c), lslUnit(signal.unit(c - 1)), "EEG"});
        break;
    case SignalKind::Aux:
        for (unsigned imu = 1; imu <= samples; ++imu) describeImu(out, signal, imu);
        break;
    case SignalKind::Imu:
        describeImu(out, signal, 1);
        break;
    case SignalKind::Bvp:
        // MNE has no pulse type of its own; "bio" is its type for such biosignals.
        numbered("BVP", "BIO");
        break;
    case SignalKind::Gsr:
        numbered("GSR", "GSR");
        break;
    case SignalKind::Anchor: {
        static const char* const anchor[] = {"Distance", "Battery"};
        for (unsigned c = 0; c < channels; ++c)
            out.push_back(c < 2 ? LslChannel{anchor[c], lslUnit(signal.unit(c)), anchor[c]}
                                : LslChannel{"ANC" + std::to_string(c + 1), lslUnit(signal.unit(c)), "Misc"});
        break;
    }
    case SignalKind::Haptic:
        numbered("Haptic", "Haptic");
        break;
    case SignalKind::Digital:
        numbered(name, "Digital");
        break;
    default:
        numbered(name, "Misc");
    }
    return out;
}

void LslOutletSet::describe(lsl_streaminfo info, unsigned i)
{
    lsl_xml_ptr desc = lsl_->get_desc(info);
    if (!desc) return;
    // The maker's name as the stream's readers (MNE among them) look for it, and the device in the
    // acquisition element of the usual meta-data layout.
    lsl_->append_child_value(desc, "manufacturer", "Lumetra");
    lsl_xml_ptr acquisition = lsl_->append_child(desc, "acquisition");
    const std::string version = model_->version();
    lsl_->append_child_value(acquisition, "manufacturer", "Lumetra");
    lsl_->append_child_value(acquisition, "model", model_->description().c_str());
    const std::size_t fw = version.find("_FW");
    if (version.rfind("HW", 0) == 0 && fw != std::string::npos) {
        lsl_->append_child_value(acquisition, "hardware_version", version.substr(2, fw - 2).c_str());
        lsl_->append_child_value(acquisition, "firmware_version", version.substr(fw + 3).c_str());
    } else {
        lsl_->append_child_value(acquisition, "firmware_version", version.c_str());
    }
    lsl_xml_ptr channels = lsl_->append_child(desc, "channels");
    for (const LslChannel& c : describeChannels(model_->signal_name(i), model_->signal_channels(i),
                                                model_->signal_samples(i), model_->signal_labels(i))) {
        lsl_xml_ptr ch = lsl_->append_child(channels, "channel");
        lsl_->append_child_value(ch, "label", c.label.c_str());
        lsl_->append_child_value(ch, "unit", c.unit.c_str());
        lsl_->append_child_value(ch, "type", c.type.c_str());
    }
}

void LslOutletSet::openOutlets()
{
    if (!model_ || !lsl_->available()) return;
    // Block read times are steady-clock times; liblsl's clock is the same clock on Linux, but it is checked,
    // not assumed: a difference is measured once and added to every stamp.
    const int64_t before = steadyNowUs();
    const double lslNow = lsl_->local_clock();
    const int64_t after = steadyNowUs();
    const double offset = lslNow - steadySeconds(before + (after - before) / 2);
    clockOffset_ = std::fabs(offset) < 1e-3 ? 0.0 : offset;
    lastSequence_ = -1;

    const unsigned blockRate = model_->frequency();
    const std::string description = model_->description();
    const SignalLayout layout = model_->signal_layout();
    for (const SignalSlot& signal : layout.entries()) {
        if (!signal.present) continue;
        const auto i = unsigned(signal.index);
        const std::string name = streamName(description, signal.name, i);
        // An aux input's IMUs go side by side in one sample per block.
        const bool perBlock = signal.oneSamplePerBlock();
        const unsigned pushes = perBlock ? 1 : signal.samples;
        const unsigned channels = signal.channels * (perBlock ? signal.samples : 1);
        const unsigned rate = signal.samplingRate(blockRate);
        lsl_streaminfo info = lsl_->create_streaminfo(name.c_str(), signal.name.c_str(), int(channels),
                                                      double(rate), LslLibrary::cft_float32, name.c_str());
        // liblsl refuses some stream descriptions (no channels, for one); such a signal is not streamed.
        if (!info) continue;
        describe(info, i);
        Outlet outlet;
        outlet.channels = lsl_->get_channel_count(info);
        outlet.pushes = pushes;
        outlet.offset = signal.offset;
        outlet.size = signal.size();
        outlet.stamper = BlockStamper(blockRate ? 1.0 / blockRate : 1.0, pushes);
        outlet.handle = lsl_->create_outlet(info, 0, 360);
        lsl_->destroy_streaminfo(info);
        if (!outlet.handle) continue;
        if (lsl_streaminfo own = lsl_->get_info(outlet.handle)) {
            const char* uid = lsl_->get_uid(own);
            outlet.uid = uid ? uid : "";
            lsl_->destroy_streaminfo(own);
        }
        if (!outlets_.emplace(i, outlet).second) {
            lsl_->destroy_outlet(outlet.handle);
            continue;
        }
        lslstreams::addOwnStream(outlet.uid);
    }
}

void LslOutletSet::pushBlock(const std::vector<double>& data, int64_t readTimeUs, int sequence)
{
    if (!model_) return;
    const double readTime = steadySeconds(readTimeUs >= 0 ? readTimeUs : steadyNowUs()) + clockOffset_;
    unsigned missed = 0;
    if (sequence >= 0) {
        if (lastSequence_ >= 0) missed = unsigned(sequence - lastSequence_ - 1) & 0xFFFFu;
        lastSequence_ = sequence;
    }
    for (auto& entry : outlets_) {
        Outlet& o = entry.second;
        // A short vector (a device that changed its signals mid-run) must not be read past its end.
        if (o.pushes == 0 || o.offset + o.size > data.size() || std::size_t(o.channels) * o.pushes != o.size)
            continue;
        const std::size_t c = std::size_t(o.channels);
        const double last = o.stamper.lastSample(readTime, missed);
        sample_.resize(c);
        for (unsigned s = 0; s < o.pushes; ++s) {
            const double* values = data.data() + o.offset + s * c;
            for (std::size_t k = 0; k < c; ++k) sample_[k] = float(values[k]);
            const double stamp = last - double(o.pushes - 1 - s) * o.stamper.sampleInterval();
            lsl_->push_sample_ftp(o.handle, sample_.data(), stamp, s + 1 == o.pushes ? 1 : 0);
        }
    }
}

void LslOutletSet::closeOutlets()
{
    for (auto& entry : outlets_) {
        lsl_->destroy_outlet(entry.second.handle);
        lslstreams::removeOwnStream(entry.second.uid);
    }
    outlets_.clear();
}
