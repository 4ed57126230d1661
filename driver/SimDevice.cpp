#include "SimDevice.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <thread>

#include "SdCardFormat.h"
#include "SignalLayout.h"

#include <nlohmann/json.hpp>

namespace {

constexpr double kPi = 3.14159265358979323846;

SimSignalKind signal(const char* name, unsigned channels, unsigned samples, unsigned maxMode = 1,
                     bool followMode = false) {
    SimSignalKind s;
    s.name = name;
    s.channels = channels;
    s.samples = samples;
    s.maxMode = maxMode;
    s.samplesFollowMode = followMode;
    return s;
}

SimDeviceKind device(const char* name, const char* version, const char* reach, const char* port,
                     std::uint16_t rate, std::vector<SimSignalKind> signals, bool positioning = false) {
    SimDeviceKind d;
    d.name = name;
    d.version = version;
    d.reach = reach;
    d.port = port;
    d.blockRate = rate;
    d.signals = std::move(signals);
    d.positioning = positioning;
    return d;
}

std::vector<SimSignalKind> biosensingSignals() {
    // Up to four IMUs on the digital aux input; each adds one 9-axis sample to the block.
    return {signal("EEG", 8, 8), signal("BVP", 1, 8), signal("GSR", 1, 1), signal("COM", 9, 0, 4, true),
            signal("HAP", 1, 1), signal("uSD", 1, 1)};
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

double unit(std::uint64_t h) { return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0); }

// Roughly normal, zero mean, unit variance; a pure function of its key so blocks can be made in any order.
double gauss(std::uint64_t key) {
    // Four 16-bit uniforms from one hash: their sum is close enough to normal for sensor noise.
    const std::uint64_t h = mix(key);
    const double sum = static_cast<double>((h & 0xFFFF) + ((h >> 16) & 0xFFFF) + ((h >> 32) & 0xFFFF) + (h >> 48));
    return (sum / 65536.0 - 2.0) * 1.7320508075688772;
}

std::uint64_t hashText(const std::string& text) {
    std::uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
    return h;
}

// Skin conductance in microsiemens: a level of 2 to 5 drifting over minutes, and every 6 to 12 s a response of
// 0.2 to 0.8 that rises within a second or two and falls back over several.
double skinConductance(double t, double phase, std::uint64_t noiseKey) {
    double v = 3.5 + 1.2 * std::sin(2 * kPi * t / 120.0 + phase) + 0.3 * std::sin(2 * kPi * t / 47.0);
    const double period = 9.0;
    const long last = static_cast<long>(std::floor(t / period));
    for (long e = std::max(0L, last - 3); e <= last; ++e) {
        const auto h = mix(static_cast<std::uint64_t>(e) * 0x51ED27ULL + 17);
        const double onset = e * period + 3.0 * unit(h);
        const double since = t - onset;
        if (since <= 0.0) continue;
        const double size = 0.2 + 0.6 * unit(mix(h + 1));
        v += size * 1.6 * (1.0 - std::exp(-since / 0.8)) * std::exp(-since / 4.0);
    }
    return v + 0.01 * gauss(noiseKey);
}

// One axis of an inertial unit on the head of someone walking, who nods, tilts and turns: acceleration (m/s2, gravity included),
// rotation rate (deg/s), then for a 9-axis unit the magnetic field (uT, the earth's: 20 horizontal, 45 down).
// `unitIndex` shifts the movement of each unit on a digital aux input.
double inertialAxis(unsigned axis, double t, unsigned unitIndex, double noise) {
    const double g = 9.81, w = 2 * kPi, k = unitIndex;
    const double roll = 0.15 * std::sin(w * 0.27 * t + k), rollRate = 0.15 * w * 0.27 * std::cos(w * 0.27 * t + k);
    const double pitch = 0.2 * std::sin(w * 0.2 * t + k), pitchRate = 0.2 * w * 0.2 * std::cos(w * 0.2 * t + k);
    const double yaw = 0.6 * std::sin(w * 0.1 * t + k), yawRate = 0.6 * w * 0.1 * std::cos(w * 0.1 * t + k);
    const double degrees = 180.0 / kPi;
    switch (axis) {
    case 0: return -g * std::sin(pitch) + 0.05 * noise;
    case 1: return g * std::cos(pitch) * std::sin(roll) + 0.05 * noise;
    case 2: return g * std::cos(pitch) * std::cos(roll) + 0.5 * std::sin(w * 1.7 * t + k) + 0.05 * noise;  // steps
    case 3: return rollRate * degrees + 0.5 * noise;
    case 4: return pitchRate * degrees + 0.5 * noise;
    case 5: return yawRate * degrees + 0.5 * noise;
    case 6: return 20.0 * std::cos(yaw) * std::cos(pitch) + 45.0 * std::sin(pitch) + 0.2 * noise;
    case 7: return -20.0 * std::sin(yaw) + 0.2 * noise;
    default: return 45.0 * std::cos(pitch) - 20.0 * std::cos(yaw) * std::sin(pitch) + 0.2 * noise;
    }
}

const char* kDefaultSetUp =
    "{\"anchors\":[{\"id\":1,\"x\":0.0,\"y\":0.0,\"z\":2.5},{\"id\":2,\"x\":6.0,\"y\":0.0,\"z\":2.5},"
    "{\"id\":3,\"x\":3.0,\"y\":5.0,\"z\":2.5}]}";

// Faults set by a program are not checked like a file's: keep every number where the timing arithmetic is sound.
sim::Faults sane(sim::Faults f) {
    auto clamp = [](double v, double low, double high) { return std::clamp(std::isfinite(v) ? v : 0.0, low, high); };
    f.dropSeconds = clamp(f.dropSeconds, 0.0, 1e6);
    f.gapSeconds = clamp(f.gapSeconds, 0.0, 1e6);
    f.clockOffsetUs = clamp(f.clockOffsetUs, -2e9, 2e9);
    f.clockJitterUs = clamp(f.clockJitterUs, 0.0, 1e8);
    return f;
}

}  // namespace

const std::vector<SimDeviceKind>& simFleetKinds() {
    static const std::vector<SimDeviceKind> fleet = {
        device("KVN-A32-0412L", "HW3.0_FW2.1", "bluetooth", "", 32, {signal("EEG", 32, 8), signal("uSD", 1, 1)}),
        device("KVN-A32-0412R", "HW3.0_FW2.1", "bluetooth", "", 32, {signal("EEG", 32, 8), signal("uSD", 1, 1)}),
        device("KVN-B08-2201", "HW2.0_FW1.1", "bluetooth", "", 32, biosensingSignals()),
        device("KVN-TRK-0031", "HW1.0_FW1.0", "bluetooth", "", 16,
               {signal("ANC", 2, 1), signal("ANC", 2, 1), signal("ANC", 2, 1), signal("IMU", 6, 1),
                signal("uSD", 1, 1)},
               true),
        device("KVN-B08-3003", "HW2.0_FW1.1", "usb", "COM3", 32, biosensingSignals()),
        device("KVN-H64-1010", "HW4.0_FW3.0", "usb", "COM10", 64, {signal("EEG", 64, 16), signal("uSD", 1, 1)}),
        // High-density research caps: 2048 Hz in blocks of 16 samples, twice the headset's block rate.
        device("KVN-H128-1110", "HW4.0_FW3.0", "usb", "COM11", 128, {signal("EEG", 128, 16), signal("uSD", 1, 1)}),
        device("KVN-H256-1210", "HW4.0_FW3.0", "usb", "COM12", 128, {signal("EEG", 256, 16), signal("uSD", 1, 1)}),
    };
    return fleet;
}

SimDevice::SimDevice(SimDeviceKind kind, std::uint64_t seed, const sim::Faults& faults)
    : kind_(std::move(kind)), seed_(mix(seed ^ hashText(kind_.name))), faults_(sane(faults)),
      blockRate_(kind_.blockRate), syncRandom_(seed_) {
    for (const auto& s : kind_.signals) modes_.push_back(isSdCard(s.name) ? 0 : 1);
    if (kind_.positioning) setUp_ = kDefaultSetUp;
    // A device on a USB cable charges from it.
    ownBattery_ = kind_.reach == "usb" ? std::int16_t(-1) : static_cast<std::int16_t>(3 + mix(seed_ + 1) % 3);
    ownClockOffsetUs_ = 1e5 + std::floor(unit(mix(seed_ + 2)) * 5e6);
    mainsAmplitude_ = 2.0 + 2.0 * unit(mix(seed_ + 3));

    traits_.resize(kind_.signals.size());
    for (std::size_t i = 0; i < kind_.signals.size(); ++i) {
        const auto& s = kind_.signals[i];
        traits_[i].resize(s.channels);
        for (unsigned c = 0; c < s.channels; ++c) {
            std::uint64_t h = mix(seed_ ^ (0x1000 * (i + 1) + c));
            ChannelTraits& t = traits_[i][c];
            t.phase = 2 * kPi * unit(mix(h + 1));
            t.phase2 = 2 * kPi * unit(mix(h + 2));
            t.amplitude = unit(mix(h + 3));
            t.sinPhase = std::sin(t.phase);
            t.cosPhase = std::cos(t.phase);
            t.sinPhase2 = std::sin(t.phase2);
            t.cosPhase2 = std::cos(t.phase2);
            t.sinMains = std::sin(0.3 * c);
            t.cosMains = std::cos(0.3 * c);
            if (s.name.compare(0, 3, "EEG") == 0) {
                t.amplitude = 10.0 + 12.0 * t.amplitude;  // 10 Hz rhythm, uV
                // Electrode contact: mostly good, some fair or poor, a few without contact.
                double pick = unit(mix(h + 4));
                double within = unit(mix(h + 5));
                if (pick < 0.5) t.carrier = 2.0 + 6.0 * within;
                else if (pick < 0.75) t.carrier = 12.0 + 10.0 * within;
                else if (pick < 0.9) t.carrier = 28.0 + 17.0 * within;
                else t.carrier = 60.0 + 60.0 * within;
                for (int q = 0; q < 4; ++q) t.carrierAt[q] = t.carrier * std::sin(0.5 * kPi * q + t.phase);
            }
        }
    }
}

SimDevice::~SimDevice() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopLocked();
}

void SimDevice::setFaults(const sim::Faults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = sane(faults);
    dropFired_ = gapFired_ = stopFired_ = false;
    if (faults_.unreachable) ++epoch_;
    wake_.notify_all();
}

bool SimDevice::reachable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !faults_.unreachable && Clock::now() >= linkDownUntil_;
}

bool SimDevice::openLink(SimLink& link) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = Clock::now();
    if (faults_.unreachable || now < linkDownUntil_) return false;
    if (link.viaDongle && !sim::donglePresent()) return false;
    advanceLocked(now);
    // What the device sent while nobody listened is gone.
    readNext_ = produced_;
    lostEpoch_ = 0;
    link.epoch = epoch_;
    link.dongleEpoch = dongleEpoch_;
    return true;
}

bool SimDevice::aliveLocked(const SimLink& link) const {
    return link.open && link.open->load() && link.epoch == epoch_ && !faults_.unreachable &&
           (!link.viaDongle || link.dongleEpoch == dongleEpoch_);
}

bool SimDevice::lostByDropLocked(const SimLink& link) const {
    return lostEpoch_ != 0 && link.open && link.open->load() && link.epoch == lostEpoch_ && !faults_.unreachable &&
           (!link.viaDongle || link.dongleEpoch == dongleEpoch_);
}

bool SimDevice::linkAlive(const SimLink& link) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return aliveLocked(link);
}

void SimDevice::dongleRemoved() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++dongleEpoch_;
    wake_.notify_all();
}

void SimDevice::wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_.notify_all();
}

void SimDevice::shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopLocked();
    ++epoch_;
    lostEpoch_ = 0;
    wake_.notify_all();
}

std::vector<KvnSignal> SimDevice::signalsLocked() const {
    std::vector<KvnSignal> result;
    result.reserve(kind_.signals.size());
    for (std::size_t i = 0; i < kind_.signals.size(); ++i) {
        const auto& s = kind_.signals[i];
        unsigned samples = s.samplesFollowMode ? modes_[i] : s.samples;
        result.emplace_back(s.name, s.channels, s.channels, samples, modes_[i]);
    }
    return result;
}

std::size_t SimDevice::valuesPerBlockLocked() const {
    return SignalLayout(signalsLocked()).blockSize();
}

SimDevice::Description SimDevice::describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Description d;
    d.version = kind_.version;
    d.blockRate = blockRate_;
    d.signals = signalsLocked();
    d.directory = directory_;
    d.file = file_;
    d.setUp = setUp_;
    return d;
}

bool SimDevice::setBlockRate(std::uint16_t rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return false;
    if (rate != 16 && rate != 32 && rate != 64 && rate != 128) return false;
    blockRate_ = rate;
    return true;
}

bool SimDevice::setSignalMode(std::size_t index, std::uint8_t mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ || index >= kind_.signals.size()) return false;
    const auto& s = kind_.signals[index];
    if (mode > s.maxMode) return false;
    if (isSdCard(s.name) && mode == 1 && faults_.sdCardRefused) return false;
    auto refused = faults_.refusedModes.find(s.name);
    if (refused != faults_.refusedModes.end() &&
        std::find(refused->second.begin(), refused->second.end(), mode) != refused->second.end())
        return false;
    modes_[index] = mode;
    return true;
}

bool SimDevice::setDirectory(const std::string& directory) {
    std::lock_guard<std::mutex> lock(mutex_);
    directory_ = directory;
    return true;
}

bool SimDevice::setFile(const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = file;
    return true;
}

bool SimDevice::setSetUp(const std::string& setUp) {
    if (!kind_.positioning) return false;
    const auto parsed = nlohmann::json::parse(setUp, nullptr, false);  // no exceptions: discarded when invalid
    if (!(parsed.is_object() || parsed.is_array())) return false;
    // The anchors are either the whole set-up or its member "anchors".
    const auto list = parsed.is_array() ? parsed : parsed.value("anchors", nlohmann::json());
    std::lock_guard<std::mutex> lock(mutex_);
    setUp_ = setUp;
    setUpFlags_ = setUpFlagsFor(list.is_array() ? list.size() : 0);
    if (running_) {
        advanceLocked(Clock::now());
        if (card_ && !card_->writeSetup(sequenceOf(produced_), batteryLocked(), 0, setUp_)) {
            cardFlags_ = 6;
            card_.reset();
        }
    }
    return true;
}

bool SimDevice::running() {
    std::lock_guard<std::mutex> lock(mutex_);
    advanceLocked(Clock::now());
    return running_;
}

double SimDevice::scaleNow() const {
    double s = sim::timeScale();
    return s > 0 ? s : 1.0;
}

SimDevice::Clock::time_point SimDevice::dueTime(std::uint64_t block) const {
    double seconds = static_cast<double>(block + 1) / (static_cast<double>(runRate_) * runScale_);
    return runStart_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::uint16_t SimDevice::sequenceOf(std::uint64_t block) const {
    return static_cast<std::uint16_t>((firstSequence_ + block) & 0xFFFFu);
}

std::uint16_t SimDevice::flagsOf(std::uint64_t block) const {
    if (faults_.errorFlagBlock >= 0 && block == static_cast<std::uint64_t>(faults_.errorFlagBlock))
        return faults_.errorFlags;
    return static_cast<std::uint16_t>(cardFlags_ | setUpFlags_);
}

std::uint16_t SimDevice::setUpFlagsFor(std::size_t configuredAnchors) const {
    std::size_t anchors = 0;
    for (const auto& s : kind_.signals)
        if (s.name.compare(0, 3, "ANC") == 0) ++anchors;
    return configuredAnchors < anchors ? 0x0100 : 0;
}

std::int16_t SimDevice::batteryLocked() const { return faults_.batterySet ? faults_.battery : ownBattery_; }

bool SimDevice::start(const std::string& cardFolder) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) return true;
    runScale_ = scaleNow();
    runRate_ = blockRate_;
    runStart_ = Clock::now();
    ++runId_;
    produced_ = 0;
    readNext_ = 0;
    firstSequence_ = faults_.startSequence >= 0 ? static_cast<std::uint16_t>(faults_.startSequence & 0xFFFF) : 0;
    lostEpoch_ = 0;
    gapStart_ = gapEnd_ = 0;
    if (faults_.gapAfterBlocks >= 0 && !gapFired_) {
        gapFired_ = true;
        gapStart_ = static_cast<std::uint64_t>(faults_.gapAfterBlocks);
        auto length = static_cast<std::uint64_t>(std::max(1.0, std::round(faults_.gapSeconds * runRate_)));
        gapEnd_ = gapStart_ + length;
    }
    cardFlags_ = 0;
    for (std::size_t i = 0; i < kind_.signals.size(); ++i) {
        if (!isSdCard(kind_.signals[i].name) || modes_[i] != 1) continue;
        sdcard::RecordHeader header;
        header.version = kind_.version;
        header.blockRate = runRate_;
        header.firstSequence = firstSequence_;
        header.signals = signalsLocked();
        header.setup = kind_.positioning ? setUp_ : std::string();
        card_ = std::make_unique<sdcard::SdCardWriter>();
        if (!card_->open(cardFolder, directory_, file_, header)) {
            std::cerr << kind_.name << ": SD card record cannot be created: " << card_->error() << std::endl;
            cardFlags_ = 5;
            card_.reset();
        }
        cardBuffer_.assign(valuesPerBlockLocked(), 0.0);
        break;
    }
    running_ = true;
    wake_.notify_all();
    return true;
}

bool SimDevice::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return true;
    advanceLocked(Clock::now());
    stopLocked();
    // Blocks not yet read are dropped with the stream.
    readNext_ = produced_;
    return true;
}

void SimDevice::stopLocked() {
    running_ = false;
    if (card_) {
        if (!card_->close()) std::cerr << kind_.name << ": SD card record not closed cleanly: " << card_->error() << std::endl;
        card_.reset();
    }
    wake_.notify_all();
}

void SimDevice::writeCardBlock(std::uint64_t block) {
    generate(block, cardBuffer_);
    if (!card_->writeBlock(sequenceOf(block), batteryLocked(), flagsOf(block), cardBuffer_.data(),
                           cardBuffer_.size())) {
        std::cerr << kind_.name << ": SD card write failed: " << card_->error() << std::endl;
        cardFlags_ = 6;
        card_->close();
        card_.reset();
    }
}

void SimDevice::advanceLocked(Clock::time_point now) {
    if (!running_) return;
    double elapsed = std::chrono::duration<double>(now - runStart_).count();
    if (elapsed < 0) elapsed = 0;
    auto due = static_cast<std::uint64_t>(std::floor(elapsed * runRate_ * runScale_));

    auto produceTo = [this](std::uint64_t upTo) {
        for (; produced_ < upTo; ++produced_)
            if (card_) writeCardBlock(produced_);
    };

    // One-shot faults take effect when the block after their count falls due.
    if (faults_.stopAfterBlocks >= 0 && !stopFired_ && due > static_cast<std::uint64_t>(faults_.stopAfterBlocks)) {
        stopFired_ = true;
        produceTo(static_cast<std::uint64_t>(faults_.stopAfterBlocks));
        stopLocked();
        return;
    }
    if (faults_.dropAfterBlocks >= 0 && !dropFired_ && due > static_cast<std::uint64_t>(faults_.dropAfterBlocks)) {
        dropFired_ = true;
        auto n = static_cast<std::uint64_t>(faults_.dropAfterBlocks);
        produceTo(n);
        lostEpoch_ = epoch_;
        lostBefore_ = n;
        ++epoch_;
        linkDownUntil_ = dueTime(n) + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(faults_.dropSeconds / runScale_));
        wake_.notify_all();
    }
    produceTo(due);
}

void SimDevice::generate(std::uint64_t block, std::vector<double>& out) const {
    out.resize(valuesPerBlockLocked());
    std::size_t pos = 0;
    const double rate = runRate_;
    unsigned ancIndex = 0;
    for (std::size_t i = 0; i < kind_.signals.size(); ++i) {
        const auto& s = kind_.signals[i];
        const SignalKind kind = signalKind(s.name);
        const bool anc = kind == SignalKind::Anchor;
        if (!inBlock(s.name, modes_[i])) {
            if (anc) ++ancIndex;
            continue;
        }
        const unsigned samples = s.samplesFollowMode ? modes_[i] : s.samples;
        const double fs = rate * (s.samplesFollowMode ? 1 : samples);
        const std::uint64_t signalKey = seed_ ^ (0x9E37ULL * (i + 1) << 32);
        const auto& traits = traits_[i];
        if (kind == SignalKind::Eeg) {
            generateEeg(i, s.channels, samples, block, fs, signalKey, out.data() + pos);
            pos += static_cast<std::size_t>(s.channels) * samples;
            continue;
        }
        for (unsigned k = 0; k < samples; ++k) {
            // A digital aux input carries one sample per IMU, all taken at the block's time.
            const std::uint64_t n = s.samplesFollowMode ? block : block * samples + k;
            const double t = static_cast<double>(n) / fs;
            for (unsigned c = 0; c < s.channels; ++c) {
                const ChannelTraits& tr = traits[c];
                const std::uint64_t key = signalKey ^ mix((static_cast<std::uint64_t>(c) << 40) ^ (n * 64 + k));
                double v = 0.0;
                if (kind == SignalKind::Bvp) {
                    double p = std::fmod(1.2 * t + 0.3 * std::sin(2 * kPi * t / 25.0), 1.0);
                    if (p < 0) p += 1.0;
                    double pulse = std::exp(-std::pow((p - 0.15) / 0.06, 2)) +
                                   0.35 * std::exp(-std::pow((p - 0.45) / 0.08, 2));
                    v = 1000.0 + 250.0 * pulse + 40.0 * std::sin(2 * kPi * 0.25 * t) + 5.0 * gauss(key);
                } else if (kind == SignalKind::Gsr) {
                    v = skinConductance(t, tr.phase, key);
                } else if (kind == SignalKind::Aux || kind == SignalKind::Imu) {
                    v = inertialAxis(c, t, k, gauss(key));
                } else if (anc) {
                    if (c == 0) {
                        double base = 2.0 + 1.5 * ancIndex + 0.5 * traits[0].amplitude;
                        v = std::max(0.1, base + 1.2 * std::sin(2 * kPi * t / 20.0 + traits[0].phase) + 0.02 * gauss(key));
                    } else {
                        v = 3.95 - 0.05 * t / 3600.0 + 0.005 * gauss(key);
                    }
                }
                out[pos++] = v;
            }
        }
        if (anc) ++ancIndex;
    }
}

void SimDevice::generateEeg(std::size_t signal, unsigned channels, unsigned samples, std::uint64_t block,
                            double fs, std::uint64_t signalKey, double* out) const {
    const auto& traits = traits_[signal];
    for (unsigned k = 0; k < samples; ++k) {
        const std::uint64_t n = block * samples + k;
        const double t = static_cast<double>(n) / fs;
        const double sa = std::sin(2 * kPi * 10.0 * t), ca = std::cos(2 * kPi * 10.0 * t);
        const double sm = std::sin(2 * kPi * 0.1 * t), cm = std::cos(2 * kPi * 0.1 * t);
        const double sn = std::sin(2 * kPi * 50.0 * t), cn = std::cos(2 * kPi * 50.0 * t);
        for (unsigned c = 0; c < channels; ++c) {
            const ChannelTraits& tr = traits[c];
            // A 10 Hz rhythm waxing and waning, mains interference, the impedance carrier and sensor noise.
            const double rhythm = tr.amplitude * (0.7 + 0.3 * (sm * tr.cosPhase2 + cm * tr.sinPhase2)) *
                                  (sa * tr.cosPhase + ca * tr.sinPhase);
            const double mains = mainsAmplitude_ * (sn * tr.cosMains + cn * tr.sinMains);
            const std::uint64_t key = signalKey ^ mix((static_cast<std::uint64_t>(c) << 40) ^ (n * 64 + k));
            *out++ = rhythm + mains + tr.carrierAt[n % 4] + 2.5 * gauss(key);
        }
    }
}

bool SimDevice::read(const SimLink& link, unsigned timeoutMs, std::vector<double>& data, std::uint16_t& sequence,
                     std::int16_t& battery, std::uint16_t& flags) {
    std::unique_lock<std::mutex> lock(mutex_);
    const double scale = running_ ? runScale_ : scaleNow();
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double, std::milli>(timeoutMs / scale));
    for (;;) {
        const auto now = Clock::now();
        advanceLocked(now);
        // A slow reader still gets what reached the host before the link was lost, however late it reads:
        // the loss shows after those blocks.
        const bool alive = aliveLocked(link);
        if (!alive && !(lostByDropLocked(link) && readNext_ < lostBefore_)) return false;
        if (readNext_ < produced_) {
            // Like the radio's buffer, only the last two seconds wait for a slow reader.
            const double seconds = faults_.bufferSeconds > 0 ? std::min(faults_.bufferSeconds, 86400.0) : 2.0;
            const auto buffer = std::max<std::uint64_t>(8, std::uint64_t(seconds * runRate_));
            if (produced_ - readNext_ > buffer) readNext_ = produced_ - buffer;
            if (gapEnd_ > gapStart_ && readNext_ >= gapStart_ && readNext_ < gapEnd_) {
                readNext_ = gapEnd_;
                continue;
            }
            if (!alive && readNext_ >= lostBefore_) return false;
            const std::uint64_t block = readNext_++;
            generate(block, data);
            sequence = sequenceOf(block);
            battery = batteryLocked();
            flags = flagsOf(block);
            return true;
        }
        if (!running_ || now >= deadline) return false;
        wake_.wait_until(lock, std::min(dueTime(readNext_), deadline));
    }
}

bool SimDevice::startSynchronization(const SimLink& link) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!aliveLocked(link)) return false;
    syncStarted_ = true;
    return true;
}

bool SimDevice::stopSynchronization(const SimLink& link) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool wasStarted = syncStarted_;
    syncStarted_ = false;
    return wasStarted && aliveLocked(link);
}

bool SimDevice::exchange(const SimLink& link, BaseDriver::SynchronizationData& data) {
    double roundTripUs = 0.0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!aliveLocked(link) || !syncStarted_) return false;
        std::uniform_real_distribution<double> flight(1500.0, 2500.0);
        std::uniform_real_distribution<double> processing(150.0, 350.0);
        const double jitterRange = std::abs(faults_.clockJitterUs);
        std::uniform_real_distribution<double> jitter(-jitterRange, jitterRange);
        const auto d = static_cast<std::int64_t>(std::llround(flight(syncRandom_)));
        const auto proc = static_cast<std::int64_t>(std::llround(processing(syncRandom_)));
        const double offset = faults_.clockOffsetSet ? faults_.clockOffsetUs : ownClockOffsetUs_;
        const auto deviceOffset =
            static_cast<std::int64_t>(std::llround(offset + (jitterRange > 0 ? jitter(syncRandom_) : 0.0)));
        const std::int64_t host =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
        // The same flight time both ways, so the mean of the two differences is the clock offset.
        const std::int64_t t1 = host + d + deviceOffset;
        const std::int64_t t2 = t1 + proc;
        const std::int64_t t3 = t2 - deviceOffset + d;
        data.t0 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(host));
        data.t1 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(t1));
        data.t2 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(t2));
        data.t3 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(t3));
        roundTripUs = static_cast<double>(2 * d + proc) / scaleNow();
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::micro>(roundTripUs));
    return true;
}
