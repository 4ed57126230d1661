#pragma once

// A scripted configurable model for testing the base slots and the acquisition thread without a device.
// Fields the acquisition thread touches while a test watches are atomics.

#include "DeviceModel.h"

#include <QThread>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

struct FakeSignal {
    std::string name;
    unsigned channels;
    unsigned samples;
    int mode;
};

class FakeModel : public ConfigurableDeviceModel {

public:
    enum ReadMode { Blocks, NoData, End };

    explicit FakeModel(std::vector<FakeSignal> signalList = {{"EEG", 4, 2, 1}, {"uSD", 1, 1, 0}})
        : signals_(std::move(signalList)) {}

    // --- script ---
    std::atomic<bool> connectable{true};
    std::atomic<bool> startable{true};
    std::atomic<int> readMode{Blocks};
    std::atomic<int> stopAfterBlocks{-1};  // the device stops by itself after this many blocks of one start
    std::atomic<int> readDelayMs{1};
    std::set<unsigned> refusedModes;       // modes the device refuses for any signal
    std::string versionText = "HW2.0_FW2.1";
    std::string fileLimit;                 // when set, the device keeps at most this many characters
    std::vector<bool> syncOk;              // per exchange of do_synchronize; the loop stops at the end
    std::atomic<int> cancelAfterExchanges{-1};
    std::atomic<int> enableSdAtStart{-1};
    std::atomic<bool> throwOnStart{false};  // as the library does for an auxiliary device without a type  // the card comes on by itself with this start call

    // --- observations ---
    std::atomic<bool> connectedState{false};
    std::atomic<bool> runningState{false};
    std::atomic<int> connectCalls{0}, disconnectCalls{0}, clearCalls{0}, startCalls{0}, stopCalls{0};
    std::atomic<int> blocksThisStart{0};
    std::atomic<int> sequence{0};
    mutable std::mutex fileMutex;
    std::vector<std::string> fileNames;  // every name set, in order
    double storedOffset = 0, storedTof = 0;

    bool requires_dongle() const override { return false; }
    bool is_read_only() const override { return false; }
    bool is_running() const override { return runningState; }
    bool is_connected() const override { return connectedState; }
    std::string description() const override { return "Fake device"; }
    std::string version() const override { return versionText; }
    unsigned frequency() const override { return 32; }
    int64_t duration() const override { return -1; }
    unsigned signal_count() const override { return static_cast<unsigned>(signals_.size()); }
    std::string signal_name(unsigned i) const override { return i < signals_.size() ? signals_[i].name : ""; }
    unsigned signal_channels(unsigned i) const override { return i < signals_.size() ? signals_[i].channels : 0; }
    unsigned signal_samples(unsigned i) const override { return i < signals_.size() ? signals_[i].samples : 0; }
    int signal_mode(unsigned i) const override { return i < signals_.size() ? signals_[i].mode : 0; }

    bool read(std::vector<double>& samples, uint16_t& seq, int16_t& battery, uint16_t& flags) override {
        if (readDelayMs > 0)
            QThread::msleep(static_cast<unsigned long>(readDelayMs.load()));
        if (!connectedState || !runningState)
            return false;
        if (readMode == End) {
            flags = 65535;
            return false;
        }
        if (readMode == NoData)
            return false;
        samples.assign(8, double(sequence));
        seq = static_cast<uint16_t>(sequence++);
        battery = 3;
        flags = 0;
        if (stopAfterBlocks >= 0 && ++blocksThisStart >= stopAfterBlocks)
            runningState = false;
        return true;
    }

    std::string file_name() const override {
        std::lock_guard<std::mutex> lock(fileMutex);
        return file_;
    }
    std::string folder_name() const override { return folder_; }
    double offset() const override { return storedOffset; }
    double tof() const override { return storedTof; }

    using ConfigurableDeviceModel::cancel_requested;

protected:
    void do_clear() override {
        ++clearCalls;
        connectedState = runningState = false;
    }
    void do_connect() override {
        ++connectCalls;
        if (connectable)
            connectedState = true;
    }
    void do_disconnect() override {
        ++disconnectCalls;
        connectedState = runningState = false;
    }
    void do_start() override {
        if (++startCalls == enableSdAtStart)
            for (auto& s : signals_)
                if (s.name == "uSD")
                    s.mode = 1;
        if (throwOnStart)
            throw std::invalid_argument("type property not in the map");
        if (startable && connectedState) {
            blocksThisStart = 0;
            runningState = true;
        }
    }
    void do_stop() override {
        ++stopCalls;
        runningState = false;
    }
    void do_set_signal_mode(unsigned index, unsigned mode) override {
        if (index < signals_.size() && !refusedModes.count(mode))
            signals_[index].mode = static_cast<int>(mode);
    }
    void do_set_signal_modes(std::string modes) override {
        for (size_t i = 0; i < modes.size() && i < signals_.size(); ++i)
            do_set_signal_mode(static_cast<unsigned>(i), static_cast<unsigned char>(modes[i]));
    }
    void do_set_file_name(std::string name) override {
        std::lock_guard<std::mutex> lock(fileMutex);
        file_ = fileLimit.empty() ? name : name.substr(0, std::stoul(fileLimit));
        fileNames.push_back(name);
    }
    void do_set_folder_name(std::string name) override { folder_ = std::move(name); }
    bool do_synchronize() override {
        int exchanges = 0;
        for (bool ok : syncOk) {
            (void)ok;
            ++exchanges;
            if (cancelAfterExchanges >= 0 && exchanges == cancelAfterExchanges)
                cancel_synchronization();
            if (cancel_requested())
                return false;
        }
        storedOffset = 42.0;
        storedTof = 3.0;
        return true;
    }

private:
    std::vector<FakeSignal> signals_;
    std::string file_;
    std::string folder_;
};
