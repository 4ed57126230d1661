#pragma once

// Device models made of a plain list of signals, for feeding the signals widget without a device.
#include <DeviceModel.h>

struct FakeSignal {
    std::string name;
    unsigned channels, samples;
    int mode;
};

template <typename Base>
class FakeModelBase : public Base {
public:
    explicit FakeModelBase(std::vector<FakeSignal> signalList) : signals_(std::move(signalList)) {}

    bool requires_dongle() const override { return false; }
    bool is_read_only() const override { return false; }
    bool is_running() const override { return true; }
    bool is_connected() const override { return true; }
    std::string description() const override { return "fake"; }
    std::string version() const override { return "HW3.0_FW2.1"; }
    unsigned frequency() const override { return 32; }
    int64_t duration() const override { return -1; }
    unsigned signal_count() const override { return static_cast<unsigned>(signals_.size()); }
    std::string signal_name(unsigned i) const override { return signals_.at(i).name; }
    unsigned signal_channels(unsigned i) const override { return signals_.at(i).channels; }
    unsigned signal_samples(unsigned i) const override { return signals_.at(i).samples; }
    int signal_mode(unsigned i) const override { return signals_.at(i).mode; }
    bool read(std::vector<double>&, uint16_t&, int16_t&, uint16_t&) override { return false; }

    std::vector<FakeSignal> signals_;

protected:
    void do_clear() override {}
    void do_connect() override {}
    void do_disconnect() override {}
    void do_start() override {}
    void do_stop() override {}
};

using FakeModel = FakeModelBase<DeviceModel>;

// A configurable model: a digital aux input carries one sample per IMU, as the devices do.
class FakeConfigurableModel : public FakeModelBase<ConfigurableDeviceModel> {
public:
    using FakeModelBase::FakeModelBase;

    std::string file_name() const override { return {}; }
    std::string folder_name() const override { return {}; }
    double offset() const override { return 0.0; }
    double tof() const override { return 0.0; }
    std::vector<std::pair<unsigned, unsigned>> modeCalls;

protected:
    void do_set_signal_mode(unsigned index, unsigned mode) override
    {
        modeCalls.emplace_back(index, mode);
        signals_.at(index).mode = static_cast<int>(mode);
        if (signals_[index].name.compare(0, 3, "COM") == 0)
            signals_[index].samples = mode;
    }
    void do_set_signal_modes(std::string) override {}
    void do_set_file_name(std::string) override {}
    void do_set_folder_name(std::string) override {}
    bool do_synchronize() override { return true; }
};
