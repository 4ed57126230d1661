#pragma once

#include <string>

#include "PropertyMap.h"

class Connection;

// Builds a connection from a connection type and its description:
//   "bluetooth": "device" (text, the device name); "single" is accepted and has no effect here.
//   "ble":       "device" (text); the link goes through the BLE dongle.
//   "usb":       "port" (integer, the number of port "COM<n>"), "baudRate" (integer, optional, default 921600).
//   "lsl":       "name", "type" or "source_id" (text): LSL streams of the network (LslConnection.h); always
//                read-only. Without any of the three the connection never connects.
// Any type may carry "readOnly" (boolean, default false): a link on which the device is not configured.
// Returns a new connection owned by the caller, or null for an unknown type. A port or baud rate that is not
// positive gives a connection that never connects. A missing "device" or "port", or a "port" that is not a
// number, throws std::invalid_argument from PropertyMap.
class ConnectionFactory {
public:
    static Connection* createAndSetup(const std::string& type, const PropertyMap& properties);
};
