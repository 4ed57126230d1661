#include "Connection.h"

#include "Simulation.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "SimDevice.h"

Connection::Connection(std::string type, PropertyMap properties, bool readOnly)
    : type_(std::move(type)), properties_(std::move(properties)), readOnly_(readOnly) {}

Connection::~Connection() { disconnect(); }

bool Connection::connect() {
    disconnect();
    const double seconds = sim::faults(requestedName()).connectSeconds;
    if (seconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 60.0) / sim::timeScale()));
    std::shared_ptr<SimDevice> device = resolve();
    if (!device) return false;
    SimLink opened;
    opened.viaDongle = viaDongle();
    if (!device->openLink(opened)) return false;
    opened.device = std::move(device);
    opened.open = std::make_shared<std::atomic<bool>>(true);
    std::lock_guard<std::mutex> lock(mutex_);
    link_ = std::move(opened);
    return true;
}

void Connection::disconnect() {
    std::shared_ptr<SimDevice> device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (link_.open) link_.open->store(false);
        device = std::move(link_.device);
        link_ = SimLink();
    }
    // A read waiting on this link gives up now.
    if (device) device->wake();
}

bool Connection::isConnected() const {
    SimLink current = link();
    return current.device && current.device->linkAlive(current);
}

void Connection::setTimeout(unsigned milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeout_ = milliseconds;
}

unsigned Connection::getTimeout() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeout_;
}

std::string Connection::information() const {
    std::string name = deviceName();
    return name.empty() ? requestedName() : name;
}

std::string Connection::deviceName() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (link_.device) return link_.device->name();
    }
    std::shared_ptr<SimDevice> device = resolve();
    return device ? device->name() : std::string();
}

std::shared_ptr<SimDevice> Connection::device() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_.device;
}

SimLink Connection::link() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_;
}

// ---------------------------------------------------------------------------------------------------------------

BluetoothConnection::BluetoothConnection(const std::string& deviceName, bool viaDongle, PropertyMap properties,
                                         bool readOnly)
    : Connection(viaDongle ? "ble" : "bluetooth", std::move(properties), readOnly), name_(deviceName),
      viaDongle_(viaDongle) {}

std::vector<std::string> BluetoothConnection::discovery() { return sim::detail::discover("bluetooth"); }

std::shared_ptr<SimDevice> BluetoothConnection::resolve() const { return sim::detail::deviceByName(name_); }

UsbConnection::UsbConnection(int port, int baudRate, PropertyMap properties, bool readOnly)
    : Connection("usb", std::move(properties), readOnly), port_(port), baudRate_(baudRate) {}

std::vector<std::string> UsbConnection::discovery() { return sim::detail::discover("usb"); }

std::shared_ptr<SimDevice> UsbConnection::resolve() const {
    if (port_ <= 0 || baudRate_ <= 0) return nullptr;
    return sim::detail::deviceByPort(portName(port_));
}
