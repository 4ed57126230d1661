#pragma once

#include <string>
#include <vector>

#include "Connection.h"

// A Bluetooth link to a device known by its name; with `viaDongle` the link goes through the BLE dongle
// (the "ble" connection type), which must be plugged in (Simulation.h: sim::setDonglePresent).
class BluetoothConnection : public Connection {
public:
    explicit BluetoothConnection(const std::string& deviceName, bool viaDongle = false,
                                 PropertyMap properties = PropertyMap(), bool readOnly = false);

    // Names of the Bluetooth devices in reach.
    static std::vector<std::string> discovery();

protected:
    std::shared_ptr<SimDevice> resolve() const override;
    bool viaDongle() const override { return viaDongle_; }
    std::string requestedName() const override { return name_; }

private:
    std::string name_;
    bool viaDongle_;
};
