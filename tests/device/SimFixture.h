#pragma once

// Helpers for tests against the library's simulated devices.

#include "ConnectionFactory.h"
#include "Connection.h"
#include "PropertyMap.h"
#include "Simulation.h"

#include <QTemporaryDir>

#include <iostream>
#include <sstream>
#include <string>

// A fresh fleet with its SD cards in a temporary folder, running `scale` times faster than real time.
struct SimFleet {
    QTemporaryDir cards;
    explicit SimFleet(double scale = 20.0) {
        sim::reset();
        sim::clearFaults();
        sim::setSdCardRoot(cards.path().toStdString());
        sim::setTimeScale(scale);
        sim::setSeed(7);
    }
    ~SimFleet() { sim::reset(); }
};

inline Connection* bluetoothTo(const std::string& device, bool readOnly = false) {
    PropertyMap p;
    p.set("device", device);
    if (readOnly)
        p.set("readOnly", true);
    Connection* c = ConnectionFactory::createAndSetup("bluetooth", p);
    if (c)
        c->setTimeout(1000);
    return c;
}

inline Connection* usbTo(int port) {
    PropertyMap p;
    p.set("port", port);
    Connection* c = ConnectionFactory::createAndSetup("usb", p);
    if (c)
        c->setTimeout(1000);
    return c;
}

// Captures what is written to std::cout while it lives.
class CoutCapture {
public:
    CoutCapture() : old_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(old_); }
    std::string text() const { return buffer_.str(); }
    int count(const std::string& line) const {
        std::istringstream in(buffer_.str());
        std::string l;
        int n = 0;
        while (std::getline(in, l))
            n += l == line;
        return n;
    }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};
