#pragma once

#include <QThread>
#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class DeviceModel;

// The acquisition thread: pulls blocks from the current model as fast as it delivers them, stamps each one
// with a monotonic and a UTC time (microseconds), and keeps the acquisition alive by reconnecting a lost
// device and restarting a stopped one. It only reports trouble; deciding to stop is the caller's job.
//
// Stop it with requestInterruption() and wait(): the request is checked once per iteration, so an iteration
// blocked in the device (a read, a connect attempt) finishes first; the one-second pause between reconnect
// attempts ends early.
class ReadBT : public QThread {
    Q_OBJECT
public:
    explicit ReadBT(QObject* parent = nullptr);
    // Stops a thread still running (waiting for the iteration in progress).
    ~ReadBT() override;

    // Ignored while the thread is running.
    void setModel(DeviceModel* model, bool restartAllowed);

    // Firmware major and minor of a version text "HW<x>FW<major>.<minor>" matched as a whole; -1, -1 otherwise.
    static void parseFirmwareVersion(const std::string& version, int& major, int& minor);

    static qint64 monotonicMicroseconds();
    static qint64 utcMicroseconds();

signals:
    // Not emitted for a block read after an interruption was requested. A receiver connected directly runs on
    // this thread and sees `data` only for the call.
    void resultReady(const std::vector<double>& data, int seq, short battLevel, ushort flags, qlonglong timestamp,
                     qlonglong utc);
    void noData();
    void lostConnnection();
    void dongleLost();
    void signalEnd();

public slots:
    void pause(bool flag);

protected:
    void run() override;

private:
    // One pass of the loop: reconnect, restart, read.
    void iterate(DeviceModel* model);
    void readBlock();
    bool restart();
    // Sleeps up to ms milliseconds, waking early when an interruption is requested.
    void interruptibleSleep(int ms);

    DeviceModel* model_ = nullptr;
    std::vector<double> samples_;
    int fwMajor_ = -1;
    int fwMinor_ = -1;
    int restartCount_ = 0;
    std::string baseFileName_;
    std::atomic<bool> paused_{false};
    bool restartAllowed_ = false;
    bool ended_ = false;  // the model reported its end: the loop stops
};
