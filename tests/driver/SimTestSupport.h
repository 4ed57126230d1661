#pragma once

// Shared set-up of the device library's tests: a fresh fleet with its SD cards in a temporary folder.

#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <map>
#include <memory>

#include "Connection.h"
#include "Driver.h"
#include "Importer.h"
#include "Simulation.h"

struct Block {
    std::vector<double> data;
    std::uint16_t sequence = 0, flags = 0;
    std::int16_t battery = 0;
};

inline void freshFleet(const QTemporaryDir& cards, double scale) {
    sim::reset();
    sim::clearFaults();
    sim::setSeed(7);
    sim::setSdCardRoot(cards.path().toStdString());
    sim::setTimeScale(scale);
}

template <typename F>
void withFaults(const char* device, F edit) {
    sim::Faults f;
    edit(f);
    sim::setFaults(device, f);
}

inline std::unique_ptr<Driver> connected(Connection* link) {
    auto driver = std::make_unique<Driver>(link);
    driver->setTimeout(1000);
    driver->connectDevice();
    return driver;
}
inline auto bluetoothDriver(const std::string& name) { return connected(new BluetoothConnection(name)); }
inline auto usbDriver(int port) { return connected(new UsbConnection(port, 921600)); }

inline bool readBlock(BaseDriver& driver, Block& block) {
    return driver.readWithBattery(block.data, block.sequence, block.battery, block.flags);
}

inline std::vector<Block> readBlocks(BaseDriver& driver, int count) {
    std::vector<Block> blocks;
    for (Block b; int(blocks.size()) < count && readBlock(driver, b);) blocks.push_back(b);
    return blocks;
}

// Starts the device and reads up to `count` blocks; none when it would not start.
inline std::vector<Block> startAndRead(BaseDriver& driver, int count) {
    return driver.start() ? readBlocks(driver, count) : std::vector<Block>();
}

inline bool recordTo(BaseDriver& driver, const std::string& directory, const std::string& file) {
    return driver.enableSDCard(true) && driver.setDirectory(directory) && driver.setFile(file);
}

// An import's sample blocks by sequence number; set-up blocks counted.
inline std::map<std::uint16_t, std::vector<double>> importAll(BaseImporter& importer, int* setUps = nullptr) {
    std::map<std::uint16_t, std::vector<double>> blocks;
    importer.addCallback([&](const BaseImporter::Block& b) {
        if (b.type == BaseImporter::SAMPLES_BLOCK) blocks[b.sequence].assign(b.values, b.values + b.count);
        else if (setUps) ++*setUps;
        return true;
    });
    importer.import(false);
    return blocks;
}

// Whether a clock exchange with the device goes through, start to end.
inline bool exchangesClocks(BaseDriver& driver) {
    BaseDriver::SynchronizationData d;
    return driver.startSynchronization() && driver.synchronize(d) && d.t1 <= d.t2 && driver.stopSynchronization();
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
