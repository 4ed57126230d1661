#include "MultiDriver.h"

#include <algorithm>

#include "Eeg64Pair.h"

namespace {

std::uint8_t modeByte(char c) {
    auto mode = static_cast<std::uint8_t>(c);
    return (mode >= '0' && mode <= '9') ? static_cast<std::uint8_t>(mode - '0') : mode;
}

const KvnSignal* findSignal(const std::vector<KvnSignal>& signals, const char* name) {
    for (const auto& s : signals)
        if (s.name == name) return &s;
    return nullptr;
}

}  // namespace

MultiDriver::MultiDriver() = default;

MultiDriver::~MultiDriver() = default;

void MultiDriver::setup(const std::string& left, const std::string& right, const std::string& path) {
    const bool viaDongle = !path.empty();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        leftName_ = left;
        rightName_ = right;
        file_.clear();
        base_.clear();
        aligned_ = 0;
        synchronised_ = false;
    }
    left_.setup(new BluetoothConnection(left, viaDongle));
    right_.setup(new BluetoothConnection(right, viaDongle));
}

Connection* MultiDriver::getConnection() const { return left_.getConnection(); }

std::string MultiDriver::connectionInformation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (leftName_.empty() && rightName_.empty()) return std::string();
    return leftName_ + "+" + rightName_;
}

std::string MultiDriver::getVersion() const {
    std::string version = left_.getVersion();
    return version.empty() ? right_.getVersion() : version;
}

std::uint16_t MultiDriver::getFrequency() const {
    std::uint16_t rate = left_.getFrequency();
    return rate ? rate : right_.getFrequency();
}

std::vector<KvnSignal> MultiDriver::getSignals() const {
    const auto left = left_.getSignals();
    const auto right = right_.getSignals();
    const KvnSignal* le = findSignal(left, "EEG");
    const KvnSignal* re = findSignal(right, "EEG");
    if (!le || !re) return {};
    std::vector<KvnSignal> merged;
    unsigned channels = le->channels + re->channels;
    merged.emplace_back("EEG", channels, channels, le->samples, (le->mode && re->mode) ? le->mode : 0);
    const KvnSignal* ls = findSignal(left, "uSD");
    const KvnSignal* rs = findSignal(right, "uSD");
    merged.emplace_back("uSD", 1, 1, 1, (ls && rs && ls->mode && rs->mode) ? 1 : 0);
    return merged;
}

KvnSignal MultiDriver::getSignal(std::size_t index) const {
    auto signals = getSignals();
    return index < signals.size() ? signals[index] : KvnSignal();
}

bool MultiDriver::halvesMatch() const {
    const auto left = left_.getSignals();
    const auto right = right_.getSignals();
    const KvnSignal* le = findSignal(left, "EEG");
    const KvnSignal* re = findSignal(right, "EEG");
    return le && re && le->samples == re->samples && left_.getFrequency() == right_.getFrequency();
}

bool MultiDriver::hasSDCard() const { return left_.hasSDCard() && right_.hasSDCard(); }

std::string MultiDriver::getDirectory() const { return left_.getDirectory(); }

std::string MultiDriver::getFile() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_.empty()) return file_;
    }
    return eeg64::pairName(left_.getFile(), 'l');
}

std::string MultiDriver::getSetUp() const { return std::string(); }

bool MultiDriver::isSDCardEnabled() const { return left_.isSDCardEnabled() && right_.isSDCardEnabled(); }

void MultiDriver::setTimeout(unsigned milliseconds) {
    left_.setTimeout(milliseconds);
    right_.setTimeout(milliseconds);
}

unsigned MultiDriver::getTimeout() const { return left_.getTimeout(); }

bool MultiDriver::reloadInformation() {
    bool l = left_.reloadInformation();
    bool r = right_.reloadInformation();
    return l && r;
}

bool MultiDriver::setFrequency(std::uint16_t blocksPerSecond) {
    const std::uint16_t previous = left_.getFrequency();
    if (!left_.setFrequency(blocksPerSecond)) return false;
    if (right_.setFrequency(blocksPerSecond)) return true;
    left_.setFrequency(previous);
    return false;
}

bool MultiDriver::setSignalMode(std::size_t index, std::uint8_t mode) {
    if (index == 1) return mode <= 1 && enableSDCard(mode == 1);
    if (index != 0) return false;
    const auto previous = left_.getSignal(0).mode;
    if (!left_.setSignalMode(0, mode)) return false;
    if (right_.setSignalMode(0, mode)) return true;
    left_.setSignalMode(0, static_cast<std::uint8_t>(previous));
    return false;
}

bool MultiDriver::setAllSignalModes(const std::string& modes) {
    bool ok = modes.size() == 2;
    if (!modes.empty()) ok = setSignalMode(0, modeByte(modes[0])) && ok;
    if (modes.size() > 1) ok = setSignalMode(1, modeByte(modes[1])) && ok;
    return ok;
}

bool MultiDriver::enableSDCard(bool enable) {
    bool l = left_.enableSDCard(enable);
    bool r = right_.enableSDCard(enable);
    if (enable && !(l && r)) {
        // One card alone would record half a head.
        left_.enableSDCard(false);
        right_.enableSDCard(false);
        return false;
    }
    return l && r;
}

bool MultiDriver::setDirectory(const std::string& directory) {
    bool l = left_.setDirectory(directory);
    bool r = right_.setDirectory(directory);
    return l && r;
}

bool MultiDriver::setFile(const std::string& file) {
    std::string base = file, suffix;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!base_.empty()) suffix = eeg64::restartSuffix(file, base_);
        if (!suffix.empty()) base = base_;
    }
    bool l = left_.setFile(eeg64::halfName(base, 'l', suffix));
    bool r = right_.setFile(eeg64::halfName(base, 'r', suffix));
    if (l && r) {
        std::lock_guard<std::mutex> lock(mutex_);
        file_ = file;
        base_ = base;
    }
    return l && r;
}

bool MultiDriver::setSetUp(const std::string&) { return false; }

std::size_t MultiDriver::blockSize() const {
    return getSignal(0).mode ? left_.blockSize() + right_.blockSize() : 0;
}

bool MultiDriver::read(std::vector<double>& data) {
    std::uint16_t sequence = 0;
    std::int16_t battery = 0;
    std::uint16_t flags = 0;
    return readWithBattery(data, sequence, battery, flags);
}

bool MultiDriver::readWithBattery(std::vector<double>& data, std::uint16_t& sequence, std::int16_t& battery,
                                  std::uint16_t& flags) {
    std::lock_guard<std::mutex> readLock(readMutex_);
    if (!halvesMatch()) return false;
    std::uint16_t sl = 0, sr = 0, fl = 0, fr = 0;
    std::int16_t bl = 0, br = 0;
    if (!left_.readWithBattery(leftData_, sl, bl, fl) || !right_.readWithBattery(rightData_, sr, br, fr)) {
        std::lock_guard<std::mutex> lock(mutex_);
        aligned_ = 0;
        return false;
    }
    // Match the halves by sequence number: the one behind reads on (a block lost on one side).
    const unsigned limit = 4u * std::max<unsigned>(left_.getFrequency(), 8u);
    bool realigned = false;
    for (unsigned tries = 0; sl != sr; ++tries) {
        const bool leftBehind = static_cast<std::int16_t>(static_cast<std::uint16_t>(sr - sl)) > 0;
        const bool ok = tries < limit && (leftBehind ? left_.readWithBattery(leftData_, sl, bl, fl)
                                                     : right_.readWithBattery(rightData_, sr, br, fr));
        if (!ok) {
            std::lock_guard<std::mutex> lock(mutex_);
            aligned_ = 0;
            return false;
        }
        realigned = true;
    }
    const KvnSignal le = left_.getSignal(0);
    const KvnSignal re = right_.getSignal(0);
    const std::size_t lc = le.channels, rc = re.channels, samples = le.samples;
    if (leftData_.size() != lc * samples || rightData_.size() != rc * samples) {
        data.clear();  // EEG switched off: nothing but the block's status
    } else {
        data.resize((lc + rc) * samples);
        for (std::size_t s = 0; s < samples; ++s) {
            std::copy_n(leftData_.begin() + static_cast<std::ptrdiff_t>(s * lc), lc, data.begin() + static_cast<std::ptrdiff_t>(s * (lc + rc)));
            std::copy_n(rightData_.begin() + static_cast<std::ptrdiff_t>(s * rc), rc,
                        data.begin() + static_cast<std::ptrdiff_t>(s * (lc + rc) + lc));
        }
    }
    sequence = sl;
    const eeg64::Status status = eeg64::mergeStatus(bl, fl, br, fr);
    battery = status.battery;
    bool synchronised;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!synchronised_) {
            aligned_ = realigned ? 1 : aligned_ + 1;
            synchronised_ = aligned_ > kAlignedBlocksToSync;
        }
        synchronised = synchronised_;
    }
    flags = synchronised ? status.flags : eeg64::kNotSynchronised;
    return true;
}

bool MultiDriver::isConnected() const { return left_.isConnected() && right_.isConnected(); }

bool MultiDriver::isRunning() const { return left_.isRunning() && right_.isRunning(); }

bool MultiDriver::startSynchronization() {
    bool l = left_.startSynchronization();
    bool r = right_.startSynchronization();
    return l && r;
}

bool MultiDriver::synchronize(SynchronizationData& data) {
    SynchronizationData a, b;
    if (!left_.synchronize(a) || !right_.synchronize(b)) return false;
    // Both exchanges are made from our clock; turning our stamps of the right one into left-clock time
    // (with the left exchange's offset) gives an exchange between the two devices.
    const std::int64_t toLeft =
        (static_cast<std::int64_t>(static_cast<std::int32_t>(a.t1 - a.t0)) +
         static_cast<std::int64_t>(static_cast<std::int32_t>(a.t2 - a.t3))) / 2;
    data.t0 = static_cast<std::uint32_t>(b.t0 + static_cast<std::uint32_t>(toLeft));
    data.t1 = b.t1;
    data.t2 = b.t2;
    data.t3 = static_cast<std::uint32_t>(b.t3 + static_cast<std::uint32_t>(toLeft));
    return true;
}

bool MultiDriver::stopSynchronization() {
    bool l = left_.stopSynchronization();
    bool r = right_.stopSynchronization();
    return l && r;
}

bool MultiDriver::connectDevice() {
    {
        // One device cannot be both halves of a head.
        std::lock_guard<std::mutex> lock(mutex_);
        if (leftName_ == rightName_) return false;
    }
    bool l = left_.connectDevice();
    bool r = right_.connectDevice();
    return l && r;
}

bool MultiDriver::disconnectDevice(bool clear) {
    bool l = left_.disconnectDevice(clear);
    bool r = right_.disconnectDevice(clear);
    std::lock_guard<std::mutex> lock(mutex_);
    if (clear) {
        // The halves were stopped: the next start synchronises them anew.
        aligned_ = 0;
        synchronised_ = false;
        file_.clear();
        base_.clear();
    }
    return l && r;
}

bool MultiDriver::start() {
    if (left_.isRunning() && right_.isRunning()) return true;
    // Both halves start together, so their sequence numbers run side by side.
    left_.stop();
    right_.stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        aligned_ = 0;
        synchronised_ = false;
    }
    if (left_.start() && right_.start()) return true;
    left_.stop();
    right_.stop();
    return false;
}

bool MultiDriver::stop() {
    bool l = left_.stop();
    bool r = right_.stop();
    return l && r;
}
