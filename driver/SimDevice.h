#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BaseDriver.h"
#include "Connection.h"
#include "KvnSignal.h"
#include "Simulation.h"

namespace sdcard {
class SdCardWriter;
}

// The library's inner model of one simulated device; reached through a Connection.

struct SimSignalKind {
    std::string name;
    unsigned channels = 0;
    unsigned samples = 0;     // per block; for a digital aux input the samples follow the mode (one per IMU)
    unsigned maxMode = 1;
    bool samplesFollowMode = false;
};

struct SimDeviceKind {
    std::string name;
    std::string version;
    std::string reach;        // "bluetooth" or "usb"
    std::string port;         // "COM3" for a USB device
    std::uint16_t blockRate = 32;
    std::vector<SimSignalKind> signals;
    bool positioning = false; // carries a positioning set-up
};

// The table of simulated devices.
const std::vector<SimDeviceKind>& simFleetKinds();

class SimDevice {
public:
    struct Description {
        std::string version;
        std::uint16_t blockRate = 0;
        std::vector<KvnSignal> signals;
        std::string directory;
        std::string file;
        std::string setUp;
    };

    SimDevice(SimDeviceKind kind, std::uint64_t seed, const sim::Faults& faults);
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    const SimDeviceKind& kind() const { return kind_; }
    const std::string& name() const { return kind_.name; }

    void setFaults(const sim::Faults& faults);
    bool reachable() const;

    // Links.
    // Fills the link's epochs; false when the device cannot be reached that way now.
    bool openLink(SimLink& link);
    bool linkAlive(const SimLink& link) const;
    // The dongle was unplugged: links made through it are lost.
    void dongleRemoved();
    // Wakes reads waiting on this device (a link was closed).
    void wake();
    // Stops everything and loses every link (the fleet is being reset).
    void shutdown();

    Description describe() const;
    bool setBlockRate(std::uint16_t rate);
    bool setSignalMode(std::size_t index, std::uint8_t mode);
    bool setDirectory(const std::string& directory);
    bool setFile(const std::string& file);
    bool setSetUp(const std::string& setUp);

    bool running();
    // `cardFolder`: the folder standing for this device's SD card.
    bool start(const std::string& cardFolder);
    bool stop();

    // Waits at most `timeoutMs` (simulated milliseconds) for the next block of the run.
    bool read(const SimLink& link, unsigned timeoutMs, std::vector<double>& data, std::uint16_t& sequence,
              std::int16_t& battery, std::uint16_t& flags);

    bool startSynchronization(const SimLink& link);
    bool exchange(const SimLink& link, BaseDriver::SynchronizationData& data);
    bool stopSynchronization(const SimLink& link);

private:
    using Clock = std::chrono::steady_clock;

    bool aliveLocked(const SimLink& link) const;
    bool lostByDropLocked(const SimLink& link) const;
    double scaleNow() const;
    Clock::time_point dueTime(std::uint64_t block) const;
    void advanceLocked(Clock::time_point now);
    void stopLocked();
    std::uint16_t sequenceOf(std::uint64_t block) const;
    std::uint16_t flagsOf(std::uint64_t block) const;
    std::uint16_t setUpFlagsFor(std::size_t configuredAnchors) const;
    std::int16_t batteryLocked() const;
    std::vector<KvnSignal> signalsLocked() const;
    std::size_t valuesPerBlockLocked() const;
    void generate(std::uint64_t block, std::vector<double>& out) const;
    void generateEeg(std::size_t signal, unsigned channels, unsigned samples, std::uint64_t block, double fs,
                     std::uint64_t signalKey, double* out) const;
    void writeCardBlock(std::uint64_t block);

    const SimDeviceKind kind_;
    const std::uint64_t seed_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    sim::Faults faults_;
    bool dropFired_ = false;
    bool gapFired_ = false;
    bool stopFired_ = false;

    // Link state.
    std::uint64_t epoch_ = 1;
    std::uint64_t dongleEpoch_ = 1;
    Clock::time_point linkDownUntil_{};
    // The link "drop_link" took: the blocks of the run before lostBefore_ had reached the host, which still
    // reads them before it notices the loss.
    std::uint64_t lostEpoch_ = 0;
    std::uint64_t lostBefore_ = 0;

    // Configuration.
    std::uint16_t blockRate_;
    std::vector<std::uint8_t> modes_;
    std::string directory_;
    std::string file_;
    std::string setUp_;
    std::int16_t ownBattery_;

    // The current run.
    bool running_ = false;
    std::uint64_t runId_ = 0;
    Clock::time_point runStart_{};
    double runScale_ = 1.0;
    std::uint16_t runRate_ = 32;
    std::uint16_t firstSequence_ = 0;
    std::uint64_t produced_ = 0;   // blocks of the run that exist by now
    std::uint64_t readNext_ = 0;   // next block for the reader
    std::uint64_t gapStart_ = 0;
    std::uint64_t gapEnd_ = 0;     // gapStart_ == gapEnd_: no gap in this run
    std::unique_ptr<sdcard::SdCardWriter> card_;
    std::uint16_t cardFlags_ = 0;  // SD-card trouble, reported in every block's flags
    std::uint16_t setUpFlags_ = 0; // a positioning set-up with fewer anchors than the device has
    std::vector<double> cardBuffer_;

    // Per-channel character of the values.
    struct ChannelTraits {
        double amplitude = 0.0;  // rhythm amplitude, or a base value
        double carrier = 0.0;    // impedance carrier peak amplitude (EEG)
        double phase = 0.0;
        double phase2 = 0.0;
        // Sines and cosines of the phases, so a sample costs products rather than sines.
        double sinPhase = 0.0, cosPhase = 1.0;
        double sinPhase2 = 0.0, cosPhase2 = 1.0;
        double sinMains = 0.0, cosMains = 1.0;
        double carrierAt[4] = {0, 0, 0, 0};  // the carrier at a quarter of the sampling rate repeats every 4
    };
    std::vector<std::vector<ChannelTraits>> traits_;  // per signal, per channel
    double mainsAmplitude_ = 3.0;

    // Clock.
    double ownClockOffsetUs_;
    bool syncStarted_ = false;
    std::mt19937_64 syncRandom_;
};

namespace sim {
namespace detail {
// The fleet's device of that Bluetooth name or USB port, made on first use; null when there is none.
std::shared_ptr<SimDevice> deviceByName(const std::string& name);
std::shared_ptr<SimDevice> deviceByPort(const std::string& port);
// Names ("bluetooth") or ports ("usb") of the devices that answer a scan now.
std::vector<std::string> discover(const std::string& reach);
}  // namespace detail
}  // namespace sim
