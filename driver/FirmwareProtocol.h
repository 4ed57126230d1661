#pragma once

class Connection;

// Commands for an auxiliary device (for example a positioning tracker whose anchors record to its own SD card
// while the main device acquires), sent over a connection the caller has opened.
class FirmwareProtocol {
public:
    // Starts the device's acquisition; false when the link is not open or the device refused.
    static bool start(Connection* connection);
    static bool stop(Connection* connection);
};
