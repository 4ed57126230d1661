#include "DriverModel.h"

#include "PropertyMap.h"

#include <cmath>
#include <iostream>
#include <limits>

namespace {
constexpr int kConnectAttempts = 10;
}

// --- DriverModel ---

DriverModel::DriverModel(QObject* parent) : DeviceModel(parent) {}
DriverModel::~DriverModel() = default;

void DriverModel::setup(Connection* connection) { proxy_.setup(connection, false); }

bool DriverModel::requires_dongle() const { return proxy_.requiresDongle(); }
bool DriverModel::is_read_only() const { return true; }
bool DriverModel::is_running() const { return proxy_.isRunning(); }
bool DriverModel::is_connected() const { return proxy_.isConnected(); }
std::string DriverModel::description() const { return proxy_.connectionInformation(); }
std::string DriverModel::version() const { return proxy_.getVersion(); }
unsigned DriverModel::frequency() const { return proxy_.getFrequency(); }
int64_t DriverModel::duration() const { return -1; }
unsigned DriverModel::signal_count() const { return static_cast<unsigned>(proxy_.getSignals().size()); }
std::string DriverModel::signal_name(unsigned index) const { return proxy_.getSignal(index).name; }
unsigned DriverModel::signal_channels(unsigned index) const { return proxy_.getSignal(index).channels; }
unsigned DriverModel::signal_samples(unsigned index) const { return proxy_.getSignal(index).samples; }
int DriverModel::signal_mode(unsigned index) const { return static_cast<int>(proxy_.getSignal(index).mode); }
std::vector<std::string> DriverModel::signal_labels(unsigned index) const { return proxy_.getChannelLabels(index); }

bool DriverModel::read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) {
    return proxy_.readWithBattery(samples, sequence, battery, flags);
}

int64_t DriverModel::block_time() const {
    const double seconds = proxy_.lastBlockSourceTime();
    return std::isfinite(seconds) && seconds >= 0 ? int64_t(std::llround(seconds * 1e6)) : -1;
}

std::string DriverModel::connection_error() const { return proxy_.connectionError(); }

void DriverModel::do_clear() { proxy_.disconnectDevice(true); }

void DriverModel::do_connect() {
    for (int attempt = 0; attempt < kConnectAttempts && !stopRequested(); ++attempt) {
        std::cout << "trying to connect " << attempt << "..." << std::endl;
        proxy_.connectDevice();
        // A stream that cannot be used stays so: say why at once rather than after every attempt.
        if (proxy_.isConnected() || proxy_.connectionErrorIsFinal())
            break;
    }
}

void DriverModel::do_disconnect() { proxy_.disconnectDevice(false); }
void DriverModel::do_start() { proxy_.start(); }
void DriverModel::do_stop() { proxy_.stop(); }

// --- ConfigurableDriverModel ---

ConfigurableDriverModel::ConfigurableDriverModel(QObject* parent) : ConfigurableDeviceModel(parent) {}
ConfigurableDriverModel::~ConfigurableDriverModel() = default;

void ConfigurableDriverModel::setup(Connection* connection, const std::vector<PropertyMap>& otherDevices,
                                    bool requiresDongle) {
    proxy_.setup(connection, otherDevices, requiresDongle);
}

bool ConfigurableDriverModel::requires_dongle() const { return false; }
bool ConfigurableDriverModel::is_read_only() const { return false; }
bool ConfigurableDriverModel::is_running() const { return proxy_.isRunning(); }
bool ConfigurableDriverModel::is_connected() const { return proxy_.isConnected(); }
std::string ConfigurableDriverModel::description() const { return proxy_.connectionInformation(); }
std::string ConfigurableDriverModel::version() const { return proxy_.getVersion(); }
unsigned ConfigurableDriverModel::frequency() const { return proxy_.getFrequency(); }
int64_t ConfigurableDriverModel::duration() const { return -1; }
unsigned ConfigurableDriverModel::signal_count() const { return static_cast<unsigned>(proxy_.getSignals().size()); }
std::string ConfigurableDriverModel::signal_name(unsigned index) const { return proxy_.getSignal(index).name; }
unsigned ConfigurableDriverModel::signal_channels(unsigned index) const { return proxy_.getSignal(index).channels; }
unsigned ConfigurableDriverModel::signal_samples(unsigned index) const { return proxy_.getSignal(index).samples; }
int ConfigurableDriverModel::signal_mode(unsigned index) const {
    return static_cast<int>(proxy_.getSignal(index).mode);
}

bool ConfigurableDriverModel::read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery,
                                   uint16_t& flags) {
    return proxy_.readWithBattery(samples, sequence, battery, flags);
}

std::string ConfigurableDriverModel::file_name() const { return proxy_.getFile(); }
std::string ConfigurableDriverModel::folder_name() const { return proxy_.getDirectory(); }
double ConfigurableDriverModel::offset() const { return offset_; }
double ConfigurableDriverModel::tof() const { return tof_; }

void ConfigurableDriverModel::do_clear() { proxy_.disconnectDevice(true); }

void ConfigurableDriverModel::do_connect() {
    for (int attempt = 0; attempt < kConnectAttempts && !stopRequested(); ++attempt) {
        proxy_.connectDevice();
        if (proxy_.isConnected())
            break;
    }
}

void ConfigurableDriverModel::do_disconnect() { proxy_.disconnectDevice(false); }
void ConfigurableDriverModel::do_start() { proxy_.start(); }
void ConfigurableDriverModel::do_stop() { proxy_.stop(); }

void ConfigurableDriverModel::do_set_signal_mode(unsigned index, unsigned mode) {
    // Narrowed to a byte, 256 would silently become 0 (switching the signal off); no device takes such a
    // mode, so it is refused and the mode in effect stays.
    if (mode > std::numeric_limits<uint8_t>::max())
        return;
    proxy_.setSignalMode(static_cast<std::size_t>(index), static_cast<uchar>(mode));
}

void ConfigurableDriverModel::do_set_signal_modes(std::string modes) { proxy_.setSignalModes(std::move(modes)); }
void ConfigurableDriverModel::do_set_file_name(std::string name) { proxy_.setFile(std::move(name)); }
void ConfigurableDriverModel::do_set_folder_name(std::string name) { proxy_.setDirectory(std::move(name)); }

bool ConfigurableDriverModel::do_synchronize() {
    if (!proxy_.startSynchronization())
        return false;
    double best = std::numeric_limits<double>::infinity();
    int successes = 0;
    double last = 0.0;
    bool converged = false;
    for (int i = 0; i < kSyncAttempts; ++i) {
        double o = 0.0, t = 0.0;
        if (proxy_.synchronize(o, t)) {
            ++successes;
            const double delta = std::fabs(o - last);
            last = o;
            best = std::min(t, best);
            converged = successes > kSyncMinimumExchanges && delta < kSyncConvergedDelta;
        }
        if (cancel_requested()) {
            // Nothing is kept, but the device leaves its synchronization mode and the log is closed.
            proxy_.stopSynchronization();
            return false;
        }
        if (converged)
            break;
    }
    proxy_.stopSynchronization();
    offset_ = last;
    tof_ = best;
    return true;
}
