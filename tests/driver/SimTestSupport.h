#pragma once

// Shared set-up of the device library's tests: a fresh fleet with its SD cards in a temporary folder.

#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Connection.h"
#include "Driver.h"
#include "Simulation.h"

struct Block {
    std::vector<double> data;
    std::uint16_t sequence = 0;
    std::int16_t battery = 0;
    std::uint16_t flags = 0;
};

inline void freshFleet(const QTemporaryDir& cards, double scale) {
    sim::reset();
    sim::clearFaults();
    sim::setSeed(7);
    sim::setSdCardRoot(cards.path().toStdString());
    sim::setTimeScale(scale);
}

inline std::unique_ptr<Driver> bluetoothDriver(const std::string& name, bool connect = true) {
    auto driver = std::make_unique<Driver>(new BluetoothConnection(name));
    driver->setTimeout(1000);
    if (connect) driver->connectDevice();
    return driver;
}

inline std::unique_ptr<Driver> usbDriver(int port, bool connect = true) {
    auto driver = std::make_unique<Driver>(new UsbConnection(port, 921600));
    driver->setTimeout(1000);
    if (connect) driver->connectDevice();
    return driver;
}

template <typename D>
bool readBlock(D& driver, Block& block) {
    return driver.readWithBattery(block.data, block.sequence, block.battery, block.flags);
}

template <typename D>
std::vector<Block> readBlocks(D& driver, int count) {
    std::vector<Block> blocks;
    for (int i = 0; i < count; ++i) {
        Block b;
        if (!readBlock(driver, b)) break;
        blocks.push_back(std::move(b));
    }
    return blocks;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
