#pragma once

// Device models made of a plain list of signals, for feeding the signals widget without a device.
#include <FakeDeviceModel.h>

using FakeSignal = FakeDeviceModel::Sig;

// Not configurable: the signals are shown in the modes they come in.
class FakeModel : public DeviceModel {
public:
    explicit FakeModel(std::vector<FakeSignal> signalList, unsigned rate = 32, std::string version = "HW3.0_FW2.1")
        : signals_(std::move(signalList)), rate_(rate), version_(std::move(version))
    {
    }

    bool requires_dongle() const override { return false; }
    bool is_read_only() const override { return false; }
    bool is_running() const override { return true; }
    bool is_connected() const override { return true; }
    std::string description() const override { return "fake"; }
    std::string version() const override { return version_; }
    unsigned frequency() const override { return rate_; }
    int64_t duration() const override { return -1; }
    unsigned signal_count() const override { return static_cast<unsigned>(signals_.size()); }
    std::string signal_name(unsigned i) const override { return signals_.at(i).name; }
    unsigned signal_channels(unsigned i) const override { return signals_.at(i).channels; }
    unsigned signal_samples(unsigned i) const override { return signals_.at(i).samples; }
    int signal_mode(unsigned i) const override { return signals_.at(i).mode; }
    bool read(std::vector<double>&, uint16_t&, int16_t&, uint16_t&) override { return false; }

protected:
    void do_clear() override {}
    void do_connect() override {}
    void do_disconnect() override {}
    void do_start() override {}
    void do_stop() override {}

private:
    std::vector<FakeSignal> signals_;
    unsigned rate_;
    std::string version_;
};

// Configurable: records the modes set; a digital aux input carries one sample per IMU, as the devices do.
class FakeConfigurableModel : public FakeDeviceModel {
public:
    explicit FakeConfigurableModel(std::vector<FakeSignal> signalList)
    {
        sigs = std::move(signalList);
        rate = 32;
    }

    std::vector<std::pair<unsigned, unsigned>> modeCalls;

protected:
    void do_set_signal_mode(unsigned index, unsigned mode) override
    {
        modeCalls.emplace_back(index, mode);
        FakeDeviceModel::do_set_signal_mode(index, mode);
        if (sigs[index].name.compare(0, 3, "COM") == 0)
            sigs[index].samples = mode;
    }
};
