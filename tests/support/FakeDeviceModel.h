#pragma once

#include "DeviceModel.h"

#include <string>
#include <vector>

// A configurable device with a fixed signal list and settable answers, for tests of the window's side.
class FakeDeviceModel : public ConfigurableDeviceModel {
public:
    struct Sig {
        std::string name;
        unsigned channels, samples;
        int mode;
    };
    std::string name = "D";
    std::string versionText = "HW1.0_FW1.0";
    unsigned rate = 64;
    int64_t seconds = -1;
    bool readOnly = false;
    bool connectedState = true;
    bool runningState = false;
    bool sdRefused = false;
    std::string fileName, folderName;
    std::vector<Sig> sigs;

    bool requires_dongle() const override { return false; }
    bool is_read_only() const override { return readOnly; }
    bool is_running() const override { return runningState; }
    bool is_connected() const override { return connectedState; }
    std::string description() const override { return name; }
    std::string version() const override { return versionText; }
    unsigned frequency() const override { return rate; }
    int64_t duration() const override { return seconds; }
    unsigned signal_count() const override { return unsigned(sigs.size()); }
    std::string signal_name(unsigned i) const override { return sigs[i].name; }
    unsigned signal_channels(unsigned i) const override { return sigs[i].channels; }
    unsigned signal_samples(unsigned i) const override { return sigs[i].samples; }
    int signal_mode(unsigned i) const override { return sigs[i].mode; }
    bool read(std::vector<double>&, uint16_t&, int16_t&, uint16_t&) override { return false; }
    std::string file_name() const override { return fileName; }
    std::string folder_name() const override { return folderName; }
    double offset() const override { return 0; }
    double tof() const override { return 0; }

protected:
    void do_clear() override { connectedState = runningState = false; }
    void do_connect() override { connectedState = true; }
    void do_disconnect() override { connectedState = false; }
    void do_start() override { runningState = true; }
    void do_stop() override { runningState = false; }
    void do_set_signal_mode(unsigned i, unsigned mode) override
    {
        if (sigs[i].name == "uSD" && sdRefused && mode) return;
        sigs[i].mode = int(mode);
    }
    void do_set_signal_modes(std::string modes) override
    {
        for (std::size_t i = 0; i < modes.size() && i < sigs.size(); ++i) do_set_signal_mode(unsigned(i), unsigned(modes[i]));
    }
    void do_set_file_name(std::string n) override { fileName = n; }
    void do_set_folder_name(std::string n) override { folderName = n; }
    bool do_synchronize() override { return false; }
};
