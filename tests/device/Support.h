#pragma once

// Shared by the device tests: records written by CsvWriter, and helpers for the library's simulated devices.

#include "DeviceModel.h"

#include "CsvWriter.h"
#include "ConnectionFactory.h"
#include "PropertyMap.h"
#include "Simulation.h"

#include <QTemporaryDir>

#include <cmath>
#include <iostream>
#include <sstream>

const std::vector<KvnSignal> kSignals = {
    {"EEG", 4, 4, 2, 1}, {"BVP", 1, 1, 2, 1}, {"GSR", 1, 1, 1, 0}, {"uSD", 1, 1, 1, 0}};
const std::size_t kValues = 4 * 2 + 1 * 2;  // the switched-off signal and the card record nothing
const int16_t kBatteries[] = {-3, 6, -2, -1, 0, 5, 3};

inline double valueOf(int block, std::size_t k) { return block * 100.0 + k + 0.125 * std::sin(block + k); }
inline uint16_t flagsOf(int block) { return block == 3 ? 2 : (block == 4 ? 7 : 0); }

// Sequences start at 65530 so that a record of more than six blocks wraps past 65535.
inline bool writeRecord(const QString& folder, int blockRate, int blocks) {
    CsvWriter w;
    if (!w.setup(folder.toLocal8Bit().constData(), kSignals, "KVN-TEST-0001", 2) || !w.writeHeaders(blockRate, true))
        return false;
    std::vector<double> v(kValues);
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < v.size(); ++k)
            v[k] = valueOf(b, k);
        if (!w.write(v.data(), uint16_t(65530 + b), 1000 + b, 2000 + b, kBatteries[b % 7], flagsOf(b)))
            return false;
    }
    return w.close();
}

// One read of a model, with the values it gave.
struct Read {
    std::vector<double> samples;
    uint16_t seq = 0, flags = 0;
    int16_t battery = 0;
    bool operator()(DeviceModel& m) { return m.read(samples, seq, battery, flags); }
};

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
    return ConnectionFactory::createAndSetup("bluetooth", p);
}

// Captures what is written to std::cout while it lives.
struct CoutCapture : std::ostringstream {
    std::streambuf* old = std::cout.rdbuf(rdbuf());
    ~CoutCapture() override { std::cout.rdbuf(old); }
    int count(const std::string& s) const {
        int n = 0;
        for (size_t p = str().find(s); p != std::string::npos; p = str().find(s, p + 1))
            ++n;
        return n;
    }
};
