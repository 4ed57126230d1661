#pragma once

#include <memory>
#include <mutex>

#include "BaseDriver.h"
#include "Connection.h"

class LslConnection;

// One device over one Connection. The driver takes ownership of the connection it is given (constructor or
// setup) and deletes it when it is replaced or the driver is destroyed: pass a connection made with new
// (ConnectionFactory::createAndSetup gives one), never one on the stack.
class Driver : public BaseDriver {
public:
    explicit Driver(Connection* connection = nullptr);
    ~Driver() override;
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Replaces the connection (the old one is disconnected and deleted).
    void setup(Connection* connection);

    using BaseDriver::synchronize;

    Connection* getConnection() const override;
    std::string connectionInformation() const override;
    std::string getVersion() const override;
    std::uint16_t getFrequency() const override;
    std::vector<KvnSignal> getSignals() const override;
    KvnSignal getSignal(std::size_t index) const override;
    std::vector<std::string> getChannelLabels(std::size_t index) const override;
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
    bool synchronize(SynchronizationData& data) override;
    bool stopSynchronization() override;
    bool connectDevice() override;
    bool disconnectDevice(bool clear = false) override;
    bool start() override;
    bool stop() override;

    // For a device made of LSL streams: the source's time of the first sample of the last block read, in
    // seconds of liblsl's clock (this computer's steady clock); NaN for other devices or before a block.
    double lastBlockSourceTime() const;
    // Why the last connection attempt failed, when the link can tell (LSL streams); else empty.
    std::string connectionError() const;
    // Whether that failure is one no further attempt can mend.
    bool connectionErrorIsFinal() const;

private:
    struct Info;
    std::shared_ptr<Connection> connection() const;
    std::shared_ptr<SimDevice> liveDevice() const;
    bool configurable(std::shared_ptr<SimDevice>& device) const;
    void reloadLocked(const SimDevice& device);
    std::shared_ptr<LslConnection> streams() const;
    void reloadStreamsLocked(const LslConnection& streams);

    mutable std::mutex mutex_;
    std::shared_ptr<Connection> connection_;
    std::unique_ptr<Info> info_;
};
