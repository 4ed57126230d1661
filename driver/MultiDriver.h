#pragma once

#include <atomic>
#include <mutex>

#include "BaseDriver.h"
#include "Driver.h"

// A left and a right device (32 EEG channels each) seen as one 64-channel device: signals "EEG" 64 x 8 and
// "uSD" 1 x 1. Blocks of the two halves are matched by sequence number; the merged block holds, per sample,
// the left channels then the right ones. Until the two streams have run aligned for a moment after a start,
// the blocks carry flags 7 (not synchronised). Both halves start together, so their sequence numbers stay side by
// side for the whole run: a block lost on one side, or a link lost and found again, only skips the other side's
// partner, and the blocks after it are as well aligned as before. Battery and flags: eeg64::mergeStatus.
// The SD-card record of the pair is written on both cards, as file + "l" on the left and file + "r" on the
// right. A restart of the record (file + "_0", file + "_1", ... after file) keeps the side letter next to the
// record's name: file + "l_0" and file + "r_0". getFile returns the name given to setFile.
class MultiDriver : public BaseDriver {
public:
    // Matched blocks in a row after which the pair counts as synchronised.
    static constexpr unsigned kAlignedBlocksToSync = 16;

    MultiDriver();
    ~MultiDriver() override;

    // `path` empty: both halves over Bluetooth; otherwise through the BLE dongle on that port or path.
    // The same name on both sides never connects.
    void setup(const std::string& left, const std::string& right, const std::string& path = std::string());

    using BaseDriver::synchronize;

    Connection* getConnection() const override;
    std::string connectionInformation() const override;
    std::string getVersion() const override;
    std::uint16_t getFrequency() const override;
    std::vector<KvnSignal> getSignals() const override;
    KvnSignal getSignal(std::size_t index) const override;
    bool hasSDCard() const override;
    std::string getDirectory() const override;
    std::string getFile() const override;
    std::string getSetUp() const override;
    bool isSDCardEnabled() const override;
    void setTimeout(unsigned milliseconds) override;
    unsigned getTimeout() const override;
    bool reloadInformation() override;
    bool setFrequency(std::uint16_t blocksPerSecond) override;
    bool setSignalMode(std::size_t index, std::uint8_t mode) override;
    bool setAllSignalModes(const std::string& modes) override;
    bool enableSDCard(bool enable = true) override;
    bool setDirectory(const std::string& directory) override;
    bool setFile(const std::string& file) override;
    bool setSetUp(const std::string& setUp) override;
    std::size_t blockSize() const override;
    bool read(std::vector<double>& data) override;
    bool readWithBattery(std::vector<double>& data, std::uint16_t& sequence, std::int16_t& battery,
                         std::uint16_t& flags) override;
    bool isConnected() const override;
    bool isRunning() const override;
    bool startSynchronization() override;
    // An exchange between the two halves' clocks: the offset it gives is right clock - left clock.
    bool synchronize(SynchronizationData& data) override;
    bool stopSynchronization() override;
    bool connectDevice() override;
    bool disconnectDevice(bool clear = false) override;
    bool start() override;
    bool stop() override;

private:
    bool halvesMatch() const;

    Driver left_;
    Driver right_;
    mutable std::mutex mutex_;      // names and alignment state
    std::mutex readMutex_;          // one merged read at a time
    std::string leftName_;
    std::string rightName_;
    std::string file_;
    std::string base_;                // the record that setFile's restart names continue
    unsigned aligned_ = 0;            // matched blocks in a row since the start, until synchronised
    bool synchronised_ = false;       // until the next start
    std::vector<double> leftData_;
    std::vector<double> rightData_;
};
