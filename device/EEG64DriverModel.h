#pragma once

#include "DeviceModel.h"

#include "MultiDriver.h"

#include <string>

// A left and a right headset seen as one configurable 64-channel device. The library's MultiDriver does the
// merging; this model only forwards to it, with no proxy, no driver-level signals and no auxiliary devices.
class EEG64DriverModel : public ConfigurableDeviceModel {
    Q_OBJECT
public:
    explicit EEG64DriverModel(QObject* parent = nullptr);
    ~EEG64DriverModel() override;

    // `path` empty: both halves over Bluetooth; otherwise through the dongle there.
    void setup(const std::string& left, const std::string& right, const std::string& path);

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
    MultiDriver driver_;
    double lowerBound_;
    double upperBound_;
    double offset_ = 0.0;
    double tof_ = 0.0;
};
