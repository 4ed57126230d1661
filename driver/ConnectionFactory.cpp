#include "ConnectionFactory.h"

#include "Connection.h"
#include "LslConnection.h"

Connection* ConnectionFactory::createAndSetup(const std::string& type, const PropertyMap& properties) {
    const std::string kind = PropertyMap::toLower(type);
    const bool readOnly = properties.getOr<bool>("readOnly", false);
    if (kind == "bluetooth" || kind == "ble") {
        // The whole stored text: a device name is one word, and a mistyped one simply finds no device.
        std::string name = properties.text("device");
        return new BluetoothConnection(name, kind == "ble", properties, readOnly);
    }
    if (kind == "usb") {
        // A port or rate that cannot be right still gives a connection: it fails to connect, which the
        // caller reports like any unreachable device.
        int port = properties.get<int>("port");
        int baudRate = properties.getOr<int>("baudRate", 921600);
        return new UsbConnection(port, baudRate, properties, readOnly);
    }
    if (kind == "lsl") return new LslConnection(properties);
    return nullptr;
}
