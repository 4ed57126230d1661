#pragma once

#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTextStream>

#include "KvnSignal.h"
#include "PropertyMap.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Connection;
class Driver;

// Wraps one library Driver in a Qt object: owns the driver, turns its state changes into signals, starts and
// stops auxiliary devices around an acquisition and runs the clock synchronization exchange with its log.
// Called directly by its model, from whichever thread calls the model; signals are emitted on that thread.
class DriverProxy : public QObject {
    Q_OBJECT
public:
    // The driver takes ownership of `connection` (the library's rule); the proxy never deletes it itself.
    explicit DriverProxy(Connection* connection = nullptr, bool requiresDongle = false, QObject* parent = nullptr);
    ~DriverProxy() override;
    DriverProxy(const DriverProxy&) = delete;
    DriverProxy& operator=(const DriverProxy&) = delete;

    void setup(Connection* connection, bool requiresDongle);
    // `otherDevices`: descriptions (with a "type" entry) of auxiliary devices started before the main device
    // and stopped after it.
    void setup(Connection* connection, const std::vector<PropertyMap>& otherDevices, bool requiresDongle);

    bool requiresDongle() const { return requiresDongle_; }
    const std::vector<PropertyMap>& otherDevices() const { return otherDevices_; }

    bool isConnected() const;
    bool isRunning() const;
    std::string connectionInformation() const;
    std::string getVersion() const;
    uint16_t getFrequency() const;
    std::vector<KvnSignal> getSignals() const;
    KvnSignal getSignal(std::size_t index) const;
    std::vector<std::string> getChannelLabels(std::size_t index) const;
    std::string getDirectory() const;
    std::string getFile() const;
    double lastBlockSourceTime() const;
    std::string connectionError() const;
    bool connectionErrorIsFinal() const;
    bool readWithBattery(std::vector<double>& data, uint16_t& sequence, int16_t& battery, uint16_t& flags);

    // Name of the synchronization log of the last startSynchronization ("" before the first).
    QString syncLogFileName() const { return log_.fileName(); }
    // "sync_Y-M-D_h-m-s.csv", numbers without leading zeros.
    static QString syncLogName(const QDateTime& localTime);

signals:
    void connected();
    void disconnected();
    void started();
    void stopped();
    void connectionLost();
    void updated();

public slots:
    void connectDevice();
    void disconnectDevice(bool clear = true);
    bool start();
    bool stop();
    void setFrequency(ushort newFrequency);
    void setSignalMode(std::size_t signalId, uchar newMode);
    void setSignalModes(std::string modes);
    void enableSDCard(bool enabled = true);
    void setDirectory(std::string newDirectory);
    void setFile(std::string newFile);
    void setSetUp(std::string entorno);
    bool startSynchronization();
    bool synchronize(double& offset, double& tof);
    bool stopSynchronization();

private:
    // Restarts the link around commands sent to each auxiliary device.
    void auxiliaryPass(bool (*command)(Connection*));

    Connection* connection_ = nullptr;
    std::unique_ptr<Driver> driver_;
    bool requiresDongle_ = false;
    std::vector<PropertyMap> otherDevices_;
    QFile log_;
    QTextStream logStream_;
    double lowerBound_;
    double upperBound_;
};
