#include "Driver.h"

#include "LslConnection.h"
#include "SignalLayout.h"
#include "SimDevice.h"

#include <algorithm>
#include <limits>

struct Driver::Info {
    bool known = false;
    std::string version;
    std::uint16_t blockRate = 0;
    std::vector<KvnSignal> signals;
    std::vector<std::vector<std::string>> labels;  // per signal; empty for devices that number channels
    std::string directory;
    std::string file;
    std::string setUp;
};

Driver::Driver(Connection* connection) : connection_(connection), info_(std::make_unique<Info>()) {}

Driver::~Driver() = default;

void Driver::setup(Connection* connection) {
    std::shared_ptr<Connection> old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection_.get() == connection) return;
        old = std::move(connection_);
        connection_.reset(connection);
        *info_ = Info();
    }
    // `old` closes its link when the last user lets go of it (a read on another thread may still hold it).
}

std::shared_ptr<Connection> Driver::connection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection_;
}

std::shared_ptr<SimDevice> Driver::liveDevice() const {
    auto conn = connection();
    if (!conn) return nullptr;
    SimLink link = conn->link();
    if (!link.device || !link.device->linkAlive(link)) return nullptr;
    return link.device;
}

bool Driver::configurable(std::shared_ptr<SimDevice>& device) const {
    auto conn = connection();
    if (!conn || conn->readOnly()) return false;
    device = liveDevice();
    return device != nullptr;
}

void Driver::reloadLocked(const SimDevice& device) {
    SimDevice::Description d = device.describe();
    info_->known = true;
    info_->version = std::move(d.version);
    info_->blockRate = d.blockRate;
    info_->signals = std::move(d.signals);
    info_->directory = std::move(d.directory);
    info_->file = std::move(d.file);
    info_->setUp = std::move(d.setUp);
}

std::shared_ptr<LslConnection> Driver::streams() const {
    return std::dynamic_pointer_cast<LslConnection>(connection());
}

void Driver::reloadStreamsLocked(const LslConnection& streams) {
    LslConnection::Description d = streams.describe();
    *info_ = Info();
    info_->known = true;
    info_->version = std::move(d.version);
    info_->blockRate = d.blockRate;
    info_->signals = std::move(d.signalList);
    info_->labels = std::move(d.labels);
}

double Driver::lastBlockSourceTime() const {
    auto lsl = streams();
    return lsl ? lsl->lastBlockTime() : std::numeric_limits<double>::quiet_NaN();
}

std::string Driver::connectionError() const {
    auto lsl = streams();
    return lsl ? lsl->lastError() : std::string();
}

bool Driver::connectionErrorIsFinal() const {
    auto lsl = streams();
    return lsl && lsl->lastErrorIsFinal();
}

Connection* Driver::getConnection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection_.get();
}

std::string Driver::connectionInformation() const {
    auto conn = connection();
    return conn ? conn->information() : std::string();
}

std::string Driver::getVersion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_->version;
}

std::uint16_t Driver::getFrequency() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_->blockRate;
}

std::vector<KvnSignal> Driver::getSignals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_->signals;
}

KvnSignal Driver::getSignal(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < info_->signals.size() ? info_->signals[index] : KvnSignal();
}

std::vector<std::string> Driver::getChannelLabels(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return index < info_->labels.size() ? info_->labels[index] : std::vector<std::string>();
}

bool Driver::hasSDCard() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : info_->signals)
        if (isSdCard(s.name)) return true;
    return false;
}

std::string Driver::getDirectory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_->directory;
}

std::string Driver::getFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_->file;
}

std::string Driver::getSetUp() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_->setUp;
}

bool Driver::isSDCardEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& s : info_->signals)
        if (isSdCard(s.name)) return s.mode != 0;
    return false;
}

void Driver::setTimeout(unsigned milliseconds) {
    if (auto conn = connection()) conn->setTimeout(milliseconds);
}

unsigned Driver::getTimeout() const {
    auto conn = connection();
    return conn ? conn->getTimeout() : 0;
}

bool Driver::reloadInformation() {
    if (auto lsl = streams()) {
        if (!lsl->isConnected()) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        reloadStreamsLocked(*lsl);
        return true;
    }
    auto device = liveDevice();
    if (!device) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return true;
}

bool Driver::setFrequency(std::uint16_t blocksPerSecond) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device) || !device->setBlockRate(blocksPerSecond)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return true;
}

bool Driver::setSignalMode(std::size_t index, std::uint8_t mode) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device)) return false;
    bool ok = device->setSignalMode(index, mode);
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return ok;
}

bool Driver::setAllSignalModes(const std::string& modes) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device)) return false;
    const std::size_t count = device->kind().signals.size();
    bool ok = modes.size() == count;
    for (std::size_t i = 0; i < count && i < modes.size(); ++i) {
        auto mode = static_cast<std::uint8_t>(modes[i]);
        if (mode >= '0' && mode <= '9') mode = static_cast<std::uint8_t>(mode - '0');
        ok = device->setSignalMode(i, mode) && ok;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return ok;
}

bool Driver::enableSDCard(bool enable) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device)) return false;
    const auto& signals = device->kind().signals;
    for (std::size_t i = 0; i < signals.size(); ++i) {
        if (!isSdCard(signals[i].name)) continue;
        bool ok = device->setSignalMode(i, enable ? 1 : 0);
        std::lock_guard<std::mutex> lock(mutex_);
        reloadLocked(*device);
        return ok;
    }
    return false;
}

bool Driver::setDirectory(const std::string& directory) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device) || !device->setDirectory(directory)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return true;
}

bool Driver::setFile(const std::string& file) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device) || !device->setFile(file)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return true;
}

bool Driver::setSetUp(const std::string& setUp) {
    std::shared_ptr<SimDevice> device;
    if (!configurable(device) || !device->setSetUp(setUp)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return true;
}

std::size_t Driver::blockSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return SignalLayout(info_->signals).blockSize();
}

bool Driver::read(std::vector<double>& data) {
    std::uint16_t sequence = 0;
    std::int16_t battery = 0;
    std::uint16_t flags = 0;
    return readWithBattery(data, sequence, battery, flags);
}

bool Driver::readWithBattery(std::vector<double>& data, std::uint16_t& sequence, std::int16_t& battery,
                             std::uint16_t& flags) {
    auto conn = connection();
    if (!conn) return false;
    if (auto lsl = std::dynamic_pointer_cast<LslConnection>(conn)) {
        // A slow stream's block may take longer than the time-out; it is given two blocks' time.
        const std::uint16_t rate = getFrequency();
        const unsigned blockMs = rate ? 2000u / rate : 0u;
        return lsl->read(std::max(conn->getTimeout(), blockMs), data, sequence, battery, flags);
    }
    SimLink link = conn->link();
    if (!link.device) return false;
    return link.device->read(link, conn->getTimeout(), data, sequence, battery, flags);
}

bool Driver::isConnected() const {
    auto conn = connection();
    return conn && conn->isConnected();
}

bool Driver::isRunning() const {
    if (auto lsl = streams()) return lsl->running();
    auto device = liveDevice();
    return device && device->running();
}

bool Driver::startSynchronization() {
    auto conn = connection();
    if (!conn) return false;
    SimLink link = conn->link();
    return link.device && link.device->startSynchronization(link);
}

bool Driver::synchronize(SynchronizationData& data) {
    auto conn = connection();
    if (!conn) return false;
    SimLink link = conn->link();
    return link.device && link.device->exchange(link, data);
}

bool Driver::stopSynchronization() {
    auto conn = connection();
    if (!conn) return false;
    SimLink link = conn->link();
    return link.device && link.device->stopSynchronization(link);
}

bool Driver::connectDevice() {
    auto conn = connection();
    if (!conn) return false;
    if (!conn->isConnected() && !conn->connect()) return false;
    if (auto lsl = std::dynamic_pointer_cast<LslConnection>(conn)) {
        std::lock_guard<std::mutex> lock(mutex_);
        reloadStreamsLocked(*lsl);
        return true;
    }
    auto device = liveDevice();
    if (!device) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    reloadLocked(*device);
    return true;
}

bool Driver::disconnectDevice(bool clear) {
    auto conn = connection();
    if (!conn) return true;
    if (clear) {
        if (auto lsl = std::dynamic_pointer_cast<LslConnection>(conn)) lsl->stop();
        if (auto device = liveDevice()) device->stop();
    }
    conn->disconnect();
    if (clear) {
        std::lock_guard<std::mutex> lock(mutex_);
        *info_ = Info();
    }
    return true;
}

bool Driver::start() {
    if (auto lsl = streams()) return lsl->start();
    auto device = liveDevice();
    if (!device) return false;
    if (!device->start(sim::sdCardFolder(device->name()))) return false;
    return device->running();
}

bool Driver::stop() {
    if (auto lsl = streams()) return lsl->stop();
    auto device = liveDevice();
    if (!device) return false;
    return device->stop();
}
