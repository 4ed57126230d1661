#pragma once

#include "DeviceModel.h"
#include "DriverProxy.h"

#include <vector>

class Connection;
class PropertyMap;

// One live device reached over a link on which it cannot be configured.
class DriverModel : public DeviceModel {
    Q_OBJECT
public:
    explicit DriverModel(QObject* parent = nullptr);
    ~DriverModel() override;

    // Called once, right after construction; the device library takes ownership of the connection.
    void setup(Connection* connection);

    bool requires_dongle() const override;
    bool is_read_only() const override;
    bool is_running() const override;
    bool is_connected() const override;
    std::string description() const override;
    std::string version() const override;
    unsigned frequency() const override;
    int64_t duration() const override;
    unsigned signal_count() const override;
    std::string signal_name(unsigned index) const override;
    unsigned signal_channels(unsigned index) const override;
    unsigned signal_samples(unsigned index) const override;
    int signal_mode(unsigned index) const override;
    std::vector<std::string> signal_labels(unsigned index) const override;
    bool read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) override;
    int64_t block_time() const override;
    std::string connection_error() const override;

protected:
    void do_clear() override;
    void do_connect() override;
    void do_disconnect() override;
    void do_start() override;
    void do_stop() override;

private:
    DriverProxy proxy_;
};

// One live device that can be configured: signal modes, SD card, clock synchronization, and auxiliary devices
// started and stopped with it.
class ConfigurableDriverModel : public ConfigurableDeviceModel {
    Q_OBJECT
public:
    explicit ConfigurableDriverModel(QObject* parent = nullptr);
    ~ConfigurableDriverModel() override;

    // Called once, right after construction; the device library takes ownership of the connection.
    void setup(Connection* connection, const std::vector<PropertyMap>& otherDevices, bool requiresDongle);

    // Attempts of the synchronization loop, and the exchanges after which it may count as converged.
    static constexpr int kSyncAttempts = 300;
    static constexpr int kSyncMinimumExchanges = 100;
    static constexpr double kSyncConvergedDelta = 1000.0;

    bool requires_dongle() const override;
    bool is_read_only() const override;
    bool is_running() const override;
    bool is_connected() const override;
    std::string description() const override;
    std::string version() const override;
    unsigned frequency() const override;
    int64_t duration() const override;
    unsigned signal_count() const override;
    std::string signal_name(unsigned index) const override;
    unsigned signal_channels(unsigned index) const override;
    unsigned signal_samples(unsigned index) const override;
    int signal_mode(unsigned index) const override;
    bool read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) override;
    std::string file_name() const override;
    std::string folder_name() const override;
    double offset() const override;
    double tof() const override;

    // The proxy, for the synchronization log's name.
    const DriverProxy& proxy() const { return proxy_; }

protected:
    void do_clear() override;
    void do_connect() override;
    void do_disconnect() override;
    void do_start() override;
    void do_stop() override;
    void do_set_signal_mode(unsigned index, unsigned mode) override;
    void do_set_signal_modes(std::string modes) override;
    void do_set_file_name(std::string name) override;
    void do_set_folder_name(std::string name) override;
    bool do_synchronize() override;

private:
    DriverProxy proxy_;
    double offset_ = 0.0;
    double tof_ = 0.0;
};
