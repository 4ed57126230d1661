#include "RecordModel.h"

#include "Battery.h"

#include <QThread>

#include <algorithm>
#include <chrono>

namespace {

// Waits in short slices so that the acquisition thread, asked to stop, does not sit out a long pause.
void pace(unsigned milliseconds) {
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + std::chrono::milliseconds(milliseconds);
    QThread* self = QThread::currentThread();
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - clock::now()).count();
        if (left <= 0 || self->isInterruptionRequested())
            return;
        QThread::usleep(static_cast<unsigned long>(std::min<long long>(left, 10000)));
    }
}

}  // namespace

RecordModel::RecordModel(QObject* parent) : DeviceModel(parent) {}
RecordModel::~RecordModel() = default;

bool RecordModel::open(const std::string& folder) { return reader_.open(folder); }

unsigned RecordModel::pauseMilliseconds(unsigned blockRate) { return blockRate == 0 ? 1000u : 1000u / blockRate; }

bool RecordModel::requires_dongle() const { return false; }
bool RecordModel::is_read_only() const { return true; }
bool RecordModel::is_running() const { return running_; }
bool RecordModel::is_connected() const { return connected_; }
std::string RecordModel::description() const { return reader_.folder(); }
std::string RecordModel::version() const { return "HW0.0_FW1.0"; }
unsigned RecordModel::frequency() const { return reader_.blockRate(); }
int64_t RecordModel::duration() const { return reader_.duration(); }
unsigned RecordModel::signal_count() const { return static_cast<unsigned>(reader_.numberOfSignals()); }
std::string RecordModel::signal_name(unsigned index) const { return reader_.signalName(index); }
unsigned RecordModel::signal_channels(unsigned index) const { return reader_.signalChannels(index); }
unsigned RecordModel::signal_samples(unsigned index) const { return reader_.signalSamples(index); }
std::vector<std::string> RecordModel::signal_labels(unsigned index) const { return reader_.channelNames(index); }
int RecordModel::signal_mode(unsigned index) const {
    // An aux input's mode is its number of IMUs, one row each per block, so playback shows every IMU.
    if (signalKind(reader_.signalName(index)) == SignalKind::Aux)
        return static_cast<int>(reader_.signalSamples(index));
    return 1;
}

bool RecordModel::read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) {
    if (reader_.end()) {
        running_ = false;
        return false;
    }
    const Frame frame = reader_.read();
    sequence = frame.sequence;
    battery = (frame.battery < Battery::UNKNOWN || frame.battery > Battery::FULL) ? Battery::UNKNOWN : frame.battery;
    flags = frame.flags;
    if (frame.isEnd()) {
        running_ = false;
        return false;
    }
    pace(pauseMilliseconds(frequency()));

    std::size_t total = 0;
    for (const DataBlock& b : frame.blocks)
        total += b.rows() * b.cols();
    samples.resize(total);
    std::size_t k = 0;
    for (const DataBlock& b : frame.blocks)
        for (std::size_t r = 0; r < b.rows(); ++r)
            for (std::size_t c = 0; c < b.cols(); ++c)
                samples[k++] = b.value(r, c);
    return true;
}

void RecordModel::do_clear() { do_disconnect(); }

void RecordModel::do_connect() {
    // A folder that no longer opens is not a connected record.
    connected_ = reader_.open(reader_.folder());
}

void RecordModel::do_disconnect() {
    reader_.close();
    connected_ = false;
}

void RecordModel::do_start() {
    // The reader cannot start when it is not open; such a record does not run.
    running_ = reader_.start();
}

void RecordModel::do_stop() { running_ = false; }
