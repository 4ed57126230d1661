#include "DriverProxy.h"

#include "ConnectionFactory.h"
#include "Driver.h"
#include "FirmwareProtocol.h"

#include <QDateTime>

#include <algorithm>
#include <iostream>
#include <limits>

namespace {
void sayLine(const std::string& text) { std::cout << text << std::endl; }
}  // namespace

DriverProxy::DriverProxy(Connection* connection, bool requiresDongle, QObject* parent)
    : QObject(parent),
      connection_(connection),
      driver_(new Driver(connection)),
      requiresDongle_(requiresDongle),
      lowerBound_(-std::numeric_limits<double>::infinity()),
      upperBound_(std::numeric_limits<double>::infinity()) {}

DriverProxy::~DriverProxy() {
    logStream_.setDevice(nullptr);
    log_.close();
    otherDevices_.clear();
    driver_.reset();
}

void DriverProxy::setup(Connection* connection, bool requiresDongle) {
    setup(connection, std::vector<PropertyMap>(), requiresDongle);
}

void DriverProxy::setup(Connection* connection, const std::vector<PropertyMap>& otherDevices, bool requiresDongle) {
    connection_ = connection;
    otherDevices_ = otherDevices;
    driver_->setup(connection);
    requiresDongle_ = requiresDongle;
    emit updated();
}

bool DriverProxy::isConnected() const { return driver_->isConnected(); }
bool DriverProxy::isRunning() const { return driver_->isRunning(); }
std::string DriverProxy::connectionInformation() const { return driver_->connectionInformation(); }
std::string DriverProxy::getVersion() const { return driver_->getVersion(); }
uint16_t DriverProxy::getFrequency() const { return driver_->getFrequency(); }
std::vector<KvnSignal> DriverProxy::getSignals() const { return driver_->getSignals(); }
KvnSignal DriverProxy::getSignal(std::size_t index) const { return driver_->getSignal(index); }
std::vector<std::string> DriverProxy::getChannelLabels(std::size_t index) const {
    return driver_->getChannelLabels(index);
}
std::string DriverProxy::getDirectory() const { return driver_->getDirectory(); }
std::string DriverProxy::getFile() const { return driver_->getFile(); }
double DriverProxy::lastBlockSourceTime() const { return driver_->lastBlockSourceTime(); }
std::string DriverProxy::connectionError() const { return driver_->connectionError(); }
bool DriverProxy::connectionErrorIsFinal() const { return driver_->connectionErrorIsFinal(); }

bool DriverProxy::readWithBattery(std::vector<double>& data, uint16_t& sequence, int16_t& battery, uint16_t& flags) {
    return driver_->readWithBattery(data, sequence, battery, flags);
}

void DriverProxy::connectDevice() {
    driver_->connectDevice();
    if (driver_->isConnected()) {
        emit connected();
        emit updated();
        if (driver_->isRunning())
            emit started();
    }
}

void DriverProxy::disconnectDevice(bool clear) {
    const bool wasConnected = driver_->isConnected();
    driver_->disconnectDevice(clear);
    if (wasConnected && !driver_->isConnected())
        emit disconnected();
}

void DriverProxy::auxiliaryPass(bool (*command)(Connection*)) {
    if (otherDevices_.empty())
        return;
    disconnectDevice(true);
    for (const PropertyMap& device : otherDevices_) {
        const std::string type = device.get<std::string>("type");
        std::unique_ptr<Connection> link(ConnectionFactory::createAndSetup(type, device));
        if (!link)  // an unknown type or an unusable value: nothing to command
            continue;
        link->connect();
        command(link.get());
        link->disconnect();
    }
    connectDevice();
}

bool DriverProxy::start() {
    auxiliaryPass(&FirmwareProtocol::start);
    const bool ok = driver_->start();
    if (ok)
        emit started();
    return ok;
}

bool DriverProxy::stop() {
    const bool ok = driver_->stop();
    auxiliaryPass(&FirmwareProtocol::stop);
    if (ok) {
        driver_->reloadInformation();
        emit stopped();
    }
    return ok;
}

void DriverProxy::setFrequency(ushort newFrequency) { driver_->setFrequency(newFrequency); }
void DriverProxy::setSignalMode(std::size_t signalId, uchar newMode) { driver_->setSignalMode(signalId, newMode); }
void DriverProxy::setSignalModes(std::string modes) { driver_->setAllSignalModes(modes); }
void DriverProxy::enableSDCard(bool enabled) { driver_->enableSDCard(enabled); }
void DriverProxy::setDirectory(std::string newDirectory) { driver_->setDirectory(newDirectory); }
void DriverProxy::setFile(std::string newFile) { driver_->setFile(newFile); }
void DriverProxy::setSetUp(std::string entorno) { driver_->setSetUp(entorno); }

QString DriverProxy::syncLogName(const QDateTime& t) {
    const QDate d = t.date();
    const QTime h = t.time();
    return QStringLiteral("sync_%1-%2-%3_%4-%5-%6.csv")
        .arg(d.year())
        .arg(d.month())
        .arg(d.day())
        .arg(h.hour())
        .arg(h.minute())
        .arg(h.second());
}

bool DriverProxy::startSynchronization() {
    if (!driver_->startSynchronization())
        sayLine("cannot start synchronization");
    // A log still open from a synchronization that was never stopped is closed before the file is renamed.
    logStream_.setDevice(nullptr);
    log_.close();
    log_.setFileName(syncLogName(QDateTime::currentDateTime()));
    // Appending keeps the log of an earlier synchronization that began within the same second.
    if (!log_.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text))
        sayLine("cannot open the file" + log_.fileName().toStdString());
    logStream_.setDevice(&log_);
    lowerBound_ = -std::numeric_limits<double>::infinity();
    upperBound_ = std::numeric_limits<double>::infinity();
    return true;
}

bool DriverProxy::synchronize(double& offset, double& tof) {
    const BaseDriver::SynchronizationData s = driver_->synchronize();
    if (s.t1 > s.t2) {
        sayLine("Warning: Synchronization protocol error");
        return false;
    }
    if (log_.isOpen()) {
        logStream_ << s.t0 << ", " << s.t1 << ", " << s.t2 << ", " << s.t3 << '\n';
        logStream_.flush();
    }
    const double a = static_cast<double>(static_cast<uint32_t>(s.t2 - s.t3));
    const double b = static_cast<double>(static_cast<uint32_t>(s.t1 - s.t0));
    lowerBound_ = std::max(lowerBound_, a);
    upperBound_ = std::min(upperBound_, b);
    offset = (upperBound_ + lowerBound_) * 0.5;
    tof = (upperBound_ - lowerBound_) * 0.5;
    return true;
}

bool DriverProxy::stopSynchronization() {
    if (!driver_->stopSynchronization())
        sayLine("cannot stop synchronization");
    logStream_.flush();
    log_.close();
    return true;
}
