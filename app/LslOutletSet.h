#pragma once

#include "LslLibrary.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class DeviceModel;

// The LSL streams of one device model: one per active signal (not "uSD", mode not 0), open from Start to Stop.
class LslOutletSet {
public:
    // `library` defaults to the process-wide liblsl; the model is not owned.
    explicit LslOutletSet(DeviceModel* model, LslLibrary* library = nullptr);
    ~LslOutletSet();
    LslOutletSet(const LslOutletSet&) = delete;
    LslOutletSet& operator=(const LslOutletSet&) = delete;

    void openOutlets();
    void pushBlock(const std::vector<double>& data);
    void closeOutlets();

    std::size_t outletCount() const { return outlets_.size(); }
    bool hasOutlet(uint32_t signal) const { return outlets_.count(signal) != 0; }
    // The stream name of signal i: description, signal name and index joined by "_"; also its source id.
    static std::string streamName(const std::string& description, const std::string& signalName, unsigned index);

private:
    struct Outlet {
        lsl_outlet handle = nullptr;
        int channels = 0;
    };

    DeviceModel* model_;
    LslLibrary* lsl_;
    std::map<uint32_t, Outlet> outlets_;
    std::vector<float> sample_;
};
