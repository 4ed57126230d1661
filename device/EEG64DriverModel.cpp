#include "EEG64DriverModel.h"

#include "DriverModel.h"

#include <cmath>
#include <limits>

namespace {
constexpr int kConnectAttempts = 10;
constexpr double kInf = std::numeric_limits<double>::infinity();
}  // namespace

EEG64DriverModel::EEG64DriverModel(QObject* parent)
    : ConfigurableDeviceModel(parent), lowerBound_(-kInf), upperBound_(kInf) {}

EEG64DriverModel::~EEG64DriverModel() = default;

void EEG64DriverModel::setup(const std::string& left, const std::string& right, const std::string& path) {
    driver_.setup(left, right, path);
}

bool EEG64DriverModel::requires_dongle() const { return false; }
bool EEG64DriverModel::is_read_only() const { return false; }
bool EEG64DriverModel::is_running() const { return driver_.isRunning(); }
bool EEG64DriverModel::is_connected() const { return driver_.isConnected(); }
std::string EEG64DriverModel::description() const { return driver_.connectionInformation(); }
std::string EEG64DriverModel::version() const { return driver_.getVersion(); }
unsigned EEG64DriverModel::frequency() const { return driver_.getFrequency(); }
int64_t EEG64DriverModel::duration() const { return -1; }
unsigned EEG64DriverModel::signal_count() const { return static_cast<unsigned>(driver_.getSignals().size()); }
std::string EEG64DriverModel::signal_name(unsigned index) const { return driver_.getSignal(index).name; }
unsigned EEG64DriverModel::signal_channels(unsigned index) const { return driver_.getSignal(index).channels; }
unsigned EEG64DriverModel::signal_samples(unsigned index) const { return driver_.getSignal(index).samples; }
int EEG64DriverModel::signal_mode(unsigned index) const { return static_cast<int>(driver_.getSignal(index).mode); }

bool EEG64DriverModel::read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) {
    return driver_.readWithBattery(samples, sequence, battery, flags);
}

std::string EEG64DriverModel::file_name() const { return driver_.getFile(); }
std::string EEG64DriverModel::folder_name() const { return driver_.getDirectory(); }
double EEG64DriverModel::offset() const { return offset_; }
double EEG64DriverModel::tof() const { return tof_; }

void EEG64DriverModel::do_clear() { driver_.disconnectDevice(true); }

void EEG64DriverModel::do_connect() {
    for (int attempt = 0; attempt < kConnectAttempts && !stopRequested(); ++attempt) {
        driver_.connectDevice();
        if (driver_.isConnected())
            break;
    }
}

void EEG64DriverModel::do_disconnect() { driver_.disconnectDevice(false); }
void EEG64DriverModel::do_start() { driver_.start(); }
void EEG64DriverModel::do_stop() { driver_.stop(); }

void EEG64DriverModel::do_set_signal_mode(unsigned index, unsigned mode) {
    // A mode that does not fit a byte would wrap to another mode; no device takes one.
    if (mode > std::numeric_limits<uint8_t>::max())
        return;
    driver_.setSignalMode(static_cast<std::size_t>(index), static_cast<uint8_t>(mode));
}

void EEG64DriverModel::do_set_signal_modes(std::string modes) { driver_.setAllSignalModes(modes); }
void EEG64DriverModel::do_set_file_name(std::string name) { driver_.setFile(name); }
void EEG64DriverModel::do_set_folder_name(std::string name) { driver_.setDirectory(name); }

bool EEG64DriverModel::do_synchronize() {
    if (!driver_.startSynchronization())
        return false;
    lowerBound_ = -kInf;
    upperBound_ = kInf;
    double best = kInf;
    int successes = 0;
    double last = 0.0;
    bool converged = false;
    for (int i = 0; i < ConfigurableDriverModel::kSyncAttempts; ++i) {
        const BaseDriver::SynchronizationData s = driver_.synchronize();
        if (s.t1 <= s.t2) {
            lowerBound_ = std::max(lowerBound_, static_cast<double>(static_cast<uint32_t>(s.t2 - s.t3)));
            upperBound_ = std::min(upperBound_, static_cast<double>(static_cast<uint32_t>(s.t1 - s.t0)));
            ++successes;
            const double o = (upperBound_ + lowerBound_) * 0.5;
            const double t = (upperBound_ - lowerBound_) * 0.5;
            const double delta = std::fabs(o - last);
            last = o;
            best = std::min(t, best);
            converged = successes > ConfigurableDriverModel::kSyncMinimumExchanges &&
                        delta < ConfigurableDriverModel::kSyncConvergedDelta;
        }
        if (cancel_requested()) {
            // Nothing is kept, but the pair leaves its synchronization mode.
            driver_.stopSynchronization();
            return false;
        }
        if (converged)
            break;
    }
    driver_.stopSynchronization();
    offset_ = last;
    tof_ = best;
    return true;
}
