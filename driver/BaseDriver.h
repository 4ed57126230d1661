#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "KvnSignal.h"

class Connection;

// What every driver offers: one device (Driver) or two devices seen as one (MultiDriver).
// Every operation is safe to call from several threads at once; a read that waits for a block is woken by
// stop and disconnect from another thread. Failures are reported by results and state, never by exceptions.
class BaseDriver {
public:
    // One clock exchange: t0 sent (our clock), t1 received (device clock), t2 answered (device clock),
    // t3 answer received (our clock), microseconds modulo 2^32. Device clock - our clock is
    // ((t1 - t0) + (t2 - t3)) / 2, and the time of flight ((t1 - t0) - (t2 - t3)) / 2.
    struct SynchronizationData {
        std::uint32_t t0 = 0;
        std::uint32_t t1 = 0;
        std::uint32_t t2 = 0;
        std::uint32_t t3 = 0;
    };

    virtual ~BaseDriver() = default;

    // The link in use, or null (MultiDriver: the left device's link).
    virtual Connection* getConnection() const = 0;
    // The device's name, shown to the user and used in record folder names.
    virtual std::string connectionInformation() const = 0;
    // "HW<hardware>_FW<major>.<minor>"; empty before the first connection.
    virtual std::string getVersion() const = 0;
    // Blocks per second.
    virtual std::uint16_t getFrequency() const = 0;
    // The signals in the device's order with their current modes; empty before the first connection.
    virtual std::vector<KvnSignal> getSignals() const = 0;
    // Signal `index`; a signal with an empty name and zero counts when out of range.
    virtual KvnSignal getSignal(std::size_t index) const = 0;
    // The names the device gives the channels of signal `index`, one per channel; empty when it numbers them.
    virtual std::vector<std::string> getChannelLabels(std::size_t index) const {
        (void)index;
        return {};
    }
    virtual bool hasSDCard() const = 0;
    virtual std::string getDirectory() const = 0;
    virtual std::string getFile() const = 0;
    // The positioning set-up (JSON text) of a device that has one, else empty.
    virtual std::string getSetUp() const = 0;
    virtual bool isSDCardEnabled() const = 0;
    virtual void setTimeout(unsigned milliseconds) = 0;
    virtual unsigned getTimeout() const = 0;
    // Reads the device's description again; false when not connected.
    virtual bool reloadInformation() = 0;

    // Configuration: each returns false when the device refused (not connected, running, read-only link,
    // a mode the signal does not take, an SD card that cannot be enabled); the previous value then stays.
    virtual bool setFrequency(std::uint16_t blocksPerSecond) = 0;
    virtual bool setSignalMode(std::size_t index, std::uint8_t mode) = 0;
    // One mode byte per signal in signal order (the bytes 0..9, or the digits '0'..'9'). Applies what it can
    // and returns false when a mode was refused or the length differs from the number of signals.
    virtual bool setAllSignalModes(const std::string& modes) = 0;
    virtual bool enableSDCard(bool enable = true) = 0;
    // Folder and file of the SD-card record; they take effect at the next start.
    virtual bool setDirectory(const std::string& directory) = 0;
    virtual bool setFile(const std::string& file) = 0;
    virtual bool setSetUp(const std::string& setUp) = 0;

    // Number of values in one sample vector with the current modes.
    virtual std::size_t blockSize() const = 0;
    // Waits for the next block (at most the time-out) and fills `data` with the sample vector, laid out as
    // SignalLayout gives it for getSignals(). False when no block came.
    virtual bool read(std::vector<double>& data) = 0;
    virtual bool readWithBattery(std::vector<double>& data, std::uint16_t& sequence, std::int16_t& battery,
                                 std::uint16_t& flags) = 0;

    virtual bool isConnected() const = 0;
    virtual bool isRunning() const = 0;

    virtual bool startSynchronization() = 0;
    // One exchange; false when it could not be made (not connected, not started).
    virtual bool synchronize(SynchronizationData& data) = 0;
    // The same; a failed exchange gives t1 > t2, which callers reject as a protocol error.
    SynchronizationData synchronize() {
        SynchronizationData data;
        if (!synchronize(data)) data = SynchronizationData{0, 1, 0, 0};
        return data;
    }
    virtual bool stopSynchronization() = 0;

    // Opens the link and reads the device's description; true when connected.
    virtual bool connectDevice() = 0;
    // Closes the link. With `clear` the device is also stopped and the description forgotten.
    virtual bool disconnectDevice(bool clear = false) = 0;
    virtual bool start() = 0;
    virtual bool stop() = 0;
};
