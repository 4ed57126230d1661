#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "PropertyMap.h"

class SimDevice;

// An open link to a simulated device (the library's own drivers use it): valid while `open` stays true and the
// device's link epoch has not moved on.
struct SimLink {
    std::shared_ptr<SimDevice> device;
    std::uint64_t epoch = 0;
    std::shared_ptr<std::atomic<bool>> open;
    bool viaDongle = false;
    std::uint64_t dongleEpoch = 0;  // links through the dongle are lost when it is unplugged
};

// A link to one device. Every link reaches a simulated device of the fleet (see Simulation.h), which behaves
// like the real one: it can be out of reach, lose the link, and answers with the timing of a radio link.
// Safe to use from several threads.
class Connection {
public:
    virtual ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens the link; false when the device cannot be reached (unknown name or port, out of reach, link
    // dropped, no dongle for a "ble" link). Connecting an open link reopens it.
    virtual bool connect();
    virtual void disconnect();
    // True while the link is open and has not been lost since it was opened.
    virtual bool isConnected() const;

    // How long a read waits for a block before it gives up, in milliseconds (of simulated time).
    void setTimeout(unsigned milliseconds);
    unsigned getTimeout() const;

    // True when the device cannot be configured over this link (modes, SD card, names).
    bool readOnly() const { return readOnly_; }

    // "bluetooth", "usb", "ble" or "lsl".
    const std::string& type() const { return type_; }
    // The text that names the device to the user: the device name once known, else the requested name or port.
    std::string information() const;
    // The device name (Bluetooth name, or the name of the device found on the port); empty when unknown.
    virtual std::string deviceName() const;
    // The description the link was made from.
    const PropertyMap& properties() const { return properties_; }

    // The device behind an open link, or null; for the library's own drivers.
    std::shared_ptr<SimDevice> device() const;
    SimLink link() const;

protected:
    Connection(std::string type, PropertyMap properties, bool readOnly);
    // The device this link would reach, or null when there is none.
    virtual std::shared_ptr<SimDevice> resolve() const = 0;
    virtual bool viaDongle() const { return false; }
    virtual std::string requestedName() const = 0;

private:
    std::string type_;
    PropertyMap properties_;
    bool readOnly_;
    mutable std::mutex mutex_;
    SimLink link_;
    unsigned timeout_ = 1000;
};

#include "BluetoothConnection.h"
#include "ConnectionFactory.h"
#include "UsbConnection.h"
