#pragma once

#include "LslLibrary.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class DeviceModel;

// One channel of a stream as its description announces it.
struct LslChannel {
    std::string label;
    std::string unit;
    std::string type;
};

// Time stamps for the samples of one stream, from the read times of its blocks. A read time is the block's
// last sample plus the delay until the acquisition thread got it, and that delay jitters; the stamps follow
// the read times closely enough to keep the clock but are never earlier than the block before allows, so a
// consumer sees samples strictly in order, one nominal interval apart within a block.
class BlockStamper {
public:
    BlockStamper(double blockInterval, unsigned samplesPerBlock);
    // Seconds of the block's last sample; `missedBlocks` came between this block and the one before.
    double lastSample(double readTime, unsigned missedBlocks);
    double sampleInterval() const { return sampleInterval_; }

    // How much of a late read is believed per block (at most the read time passed since the block before);
    // the rest is taken as delivery delay.
    static constexpr double FOLLOW = 0.05;
    // Blocks this far from the expected time start the clock again (a restarted device, a long loss), unless
    // they are a stalled reader's backlog.
    static constexpr double RESYNC_SECONDS = 1.0;

private:
    double blockInterval_;
    double sampleInterval_;
    bool started_ = false;
    double last_ = 0.0;
    double lastRead_ = 0.0;
    bool farLate_ = false;   // the last block came more than RESYNC_SECONDS late
    double farLateBy_ = 0.0;
};

// The LSL streams of one device model: one per signal present in its blocks, open from Start to Stop.
class LslOutletSet {
public:
    // `library` defaults to the process-wide liblsl; the model is not owned.
    explicit LslOutletSet(DeviceModel* model, LslLibrary* library = nullptr);
    ~LslOutletSet();
    LslOutletSet(const LslOutletSet&) = delete;
    LslOutletSet& operator=(const LslOutletSet&) = delete;

    void openOutlets();
    // `readTimeUs` is the block's steady-clock read time in microseconds (negative: now); `sequence` its
    // sequence number (negative: unknown), so lost blocks keep their place in time.
    void pushBlock(const std::vector<double>& data, int64_t readTimeUs = -1, int sequence = -1);
    void closeOutlets();

    std::size_t outletCount() const { return outlets_.size(); }
    bool hasOutlet(uint32_t signal) const { return outlets_.count(signal) != 0; }
    // LSL clock minus the steady clock, in seconds, measured at openOutlets; 0 when they are the same clock.
    double clockOffset() const { return clockOffset_; }
    // The stream name of signal i: description, signal name and index joined by "_"; also its source id.
    static std::string streamName(const std::string& description, const std::string& signalName, unsigned index);
    // The channels of one stream. A digital aux input ("COM") with `samples` IMUs is one sample per block
    // holding every IMU side by side, so data of different IMUs never follow one another in one channel.
    // `labels`, one per channel, are the names the source gave them (an LSL device's), kept as they are.
    static std::vector<LslChannel> describeChannels(const std::string& signalName, unsigned channels,
                                                    unsigned samples, const std::vector<std::string>& labels = {});
    static bool oneSamplePerBlock(const std::string& signalName);

private:
    struct Outlet {
        lsl_outlet handle = nullptr;
        std::string uid;       // liblsl's id of the stream, kept out of this program's own LSL devices
        int channels = 0;      // per LSL sample
        unsigned pushes = 0;   // LSL samples per block
        std::size_t offset = 0;  // of the signal's values in a block; the layout is fixed from Start to Stop
        std::size_t size = 0;
        BlockStamper stamper{1.0, 1};
    };
    void describe(lsl_streaminfo info, unsigned signal);

    DeviceModel* model_;
    LslLibrary* lsl_;
    std::map<uint32_t, Outlet> outlets_;
    std::vector<float> sample_;
    double clockOffset_ = 0.0;
    int lastSequence_ = -1;
};
