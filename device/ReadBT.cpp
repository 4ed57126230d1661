#include "ReadBT.h"

#include "DeviceModel.h"

#include <QRegularExpression>

#include <chrono>
#include <exception>
#include <iostream>

namespace {

const int kVectorMetaType = qRegisterMetaType<std::vector<double>>("std::vector<double>");

void say(const char* text) { std::cout << text << std::flush; }
void sayLine(const char* text) { std::cout << text << std::endl; }

// Records play back as firmware 1.0 and old devices report 1.0: on those a failed read means the link is
// gone and must be rebuilt.
bool firmwareAtMostOnePointZero(int major, int minor) { return major < 1 || (major == 1 && minor <= 0); }

}  // namespace

ReadBT::ReadBT(QObject* parent) : QThread(parent) { (void)kVectorMetaType; }

// Destroying a running QThread aborts the program; an owner that gave up waiting must not crash on exit.
ReadBT::~ReadBT() {
    requestInterruption();
    wait();
}

void ReadBT::setModel(DeviceModel* model, bool restartAllowed) {
    // The running loop holds the model it was started with; swapping it underneath would hand the loop a
    // model its owner may delete.
    if (isRunning()) {
        sayLine("Model not changed: the acquisition is running");
        return;
    }
    model_ = model;
    restartAllowed_ = restartAllowed;
}

void ReadBT::pause(bool flag) { paused_ = flag; }

void ReadBT::parseFirmwareVersion(const std::string& version, int& major, int& minor) {
    static const QRegularExpression re(QRegularExpression::anchoredPattern("HW(.+)FW([0-9]+)\\.([0-9]+)"));
    major = minor = -1;
    const QRegularExpressionMatch m = re.match(QString::fromStdString(version));
    if (!m.hasMatch())
        return;
    bool okMajor = false, okMinor = false;
    const int ma = m.captured(2).toInt(&okMajor);
    const int mi = m.captured(3).toInt(&okMinor);
    if (okMajor && okMinor) {
        major = ma;
        minor = mi;
    }
}

qint64 ReadBT::monotonicMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

qint64 ReadBT::utcMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

void ReadBT::interruptibleSleep(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!isInterruptionRequested()) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            return;
        msleep(static_cast<unsigned long>(
            std::min<long long>(10, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1)));
    }
}

void ReadBT::run() {
    restartCount_ = 0;
    paused_ = false;
    DeviceModel* model = model_;
    if (!model)
        return;
    auto* configurable = qobject_cast<ConfigurableDeviceModel*>(model);
    baseFileName_ = configurable ? configurable->file_name() : std::string();
    parseFirmwareVersion(model->version(), fwMajor_, fwMinor_);

    ended_ = false;
    while (!isInterruptionRequested() && !ended_) {
        // An exception leaving run() would end the whole program; the library may throw (an auxiliary device
        // described without a type, for one), so the thread reports it and tries again later.
        try {
            iterate(model);
        } catch (const std::exception& e) {
            std::cout << "Acquisition error: " << e.what() << std::endl;
            interruptibleSleep(1000);
        }
    }
}

void ReadBT::iterate(DeviceModel* model) {
    if (!model->is_connected()) {
        say("Reconnect ...");
        model->connect_device(true);
        const bool ok = model->is_connected();
        sayLine(ok ? "OK" : "NOPE");
        if (!ok) {
            interruptibleSleep(1000);
            return;
        }
    }
    if (!model->is_running() && !restart()) {
        model->disconnect_device(false);
        // A device that refuses to start would otherwise be reconnected and restarted in a tight loop.
        interruptibleSleep(1000);
        return;
    }
    if (!paused_)
        readBlock();
}

void ReadBT::readBlock() {
    uint16_t sequence = 0;
    int16_t battery = 0;
    uint16_t flags = 0;
    if (model_->read(samples_, sequence, battery, flags)) {
        // Stop has asked the thread to end: what it reads now belongs to no acquisition. Everything handed on
        // before goes to the record, so the request is where a record ends.
        if (isInterruptionRequested())
            return;
        // A source that stamps its own samples keeps its timing in the records.
        const qint64 own = model_->block_time();
        emit resultReady(samples_, sequence, battery, flags, own >= 0 ? own : monotonicMicroseconds(),
                         utcMicroseconds());
        return;
    }
    if (flags == 65535) {
        sayLine("Read ... END");
        // A restart would play the record again from its first block: nothing may follow the end.
        ended_ = true;
        emit signalEnd();
        return;
    } else if (model_->is_connected()) {
        sayLine("Read ... NO DATA");
        emit noData();
        const bool exempt = model_->has_eeg_signal() && model_->signal_channels(0) == 64;
        if (firmwareAtMostOnePointZero(fwMajor_, fwMinor_) && !exempt) {
            sayLine("FORCE DISCONNECTION");
            model_->disconnect_device(false);
            emit lostConnnection();
        }
    } else {
        sayLine("Read ... DISCONNECTED");
        emit lostConnnection();
    }
    msleep(10);
}

bool ReadBT::restart() {
    if (!restartAllowed_) {
        sayLine("Restart required but configured not to do it");
        return false;
    }
    say("Restart ...");
    auto* configurable = qobject_cast<ConfigurableDeviceModel*>(model_);
    if (configurable && configurable->is_sd_card_enabled())
        configurable->set_file_name(baseFileName_ + "_" + std::to_string(restartCount_));
    ++restartCount_;
    model_->start();
    const bool ok = model_->is_running();
    sayLine(ok ? "OK" : "NOPE");
    return ok;
}
