#pragma once

#include <string>
#include <vector>

#include "Connection.h"

// A USB serial link on port "COM<port>".
class UsbConnection : public Connection {
public:
    UsbConnection(int port, int baudRate, PropertyMap properties = PropertyMap(), bool readOnly = false);

    // Names of the serial ports with a device on them ("COM3", "COM10", ...).
    static std::vector<std::string> discovery();

    static std::string portName(int port) { return "COM" + std::to_string(port); }
    int port() const { return port_; }
    int baudRate() const { return baudRate_; }

protected:
    std::shared_ptr<SimDevice> resolve() const override;
    std::string requestedName() const override { return portName(port_); }

private:
    int port_;
    int baudRate_;
};
