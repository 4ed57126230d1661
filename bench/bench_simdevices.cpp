// How much faster than real time the simulated devices can make their blocks, live and while recording to
// their SD card, and how closely a paced read follows the block rate. Prints figures; never fails.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "Connection.h"
#include "Driver.h"
#include "MultiDriver.h"
#include "Simulation.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::unique_ptr<Driver> open(const std::string& name) {
    Connection* link = name.rfind("COM", 0) == 0 ? static_cast<Connection*>(new UsbConnection(std::stoi(name.substr(3)), 921600))
                                                 : new BluetoothConnection(name);
    auto driver = std::make_unique<Driver>(link);
    driver->setTimeout(1000);
    driver->connectDevice();
    return driver;
}

// Blocks read per second of wall time with pacing out of the way.
template <typename D>
double blocksPerSecond(D& driver, double forSeconds) {
    std::vector<double> data;
    std::uint16_t seq;
    std::int16_t battery;
    std::uint16_t flags;
    long blocks = 0;
    const auto start = Clock::now();
    while (seconds(start) < forSeconds)
        if (driver.readWithBattery(data, seq, battery, flags)) ++blocks;
    return blocks / seconds(start);
}

}  // namespace

int main() {
    const auto cards = std::filesystem::temp_directory_path() / ("bench_sim_cards_" + std::to_string(::getpid()));
    sim::setSdCardRoot(cards.string());
    std::printf("%-16s %8s %14s %10s\n", "device", "rate", "blocks/s", "x realtime");

    // Generation: the time scale is so high that every read finds its block already due.
    sim::setTimeScale(1e5);
    for (const std::string name : {"KVN-A32-0412L", "KVN-B08-2201", "KVN-TRK-0031", "COM10"}) {
        auto driver = open(name);
        if (!driver->isConnected() || !driver->start()) {
            std::printf("%-16s cannot start\n", name.c_str());
            continue;
        }
        const double rate = driver->getFrequency();
        const double bps = blocksPerSecond(*driver, 0.5);
        std::printf("%-16s %8.0f %14.0f %10.1f\n", driver->connectionInformation().c_str(), rate, bps, bps / rate);
        driver->stop();
    }
    // The pair matches its halves by sequence, so it is measured paced at 200x (ideal 6400 blocks/s).
    sim::setTimeScale(200);
    {
        MultiDriver pair;
        pair.setup("KVN-A32-0412L", "KVN-A32-0412R");
        pair.setTimeout(1000);
        if (pair.connectDevice() && pair.start()) {
            const double bps = blocksPerSecond(pair, 0.5);
            std::printf("%-16s %8d %14.0f %10.1f  (paced at 200x)\n", "EEG64 pair", 32, bps, bps / 32.0);
            pair.stop();
        }
    }

    // Recording: the 64-channel headset at 50x real time with its SD card on; every block due must reach
    // the card, and the reader must keep pace.
    sim::setTimeScale(50);
    {
        auto driver = open("COM10");
        driver->enableSDCard(true);
        driver->setDirectory("bench");
        driver->setFile("r1");
        driver->start();
        const double bps = blocksPerSecond(*driver, 1.0);
        driver->stop();
        std::printf("%-16s %8d %14.0f %10.1f  (SD card on, paced at 50x: ideal 3200 blocks/s)\n",
                    "KVN-H64-1010", 64, bps, bps / 64.0);
    }

    // Pacing at real time: mean and worst lateness of a block after its due time.
    sim::setTimeScale(1.0);
    {
        auto driver = open("KVN-A32-0412L");
        driver->start();
        std::vector<double> data;
        const auto start = Clock::now();
        double worst = 0, sum = 0;
        const int n = 64;
        for (int k = 0; k < n; ++k) {
            driver->read(data);
            const double late = seconds(start) - (k + 1) / 32.0;
            sum += late;
            if (late > worst) worst = late;
        }
        std::printf("pacing at 32 blocks/s: mean lateness %.2f ms, worst %.2f ms over %d blocks\n", 1e3 * sum / n,
                    1e3 * worst, n);
        driver->stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(cards, ignored);
    return 0;
}
