#pragma once

#include "KvnSignal.h"

#include <cstddef>
#include <string>
#include <vector>

// What a signal is, by the first three letters of its name.
enum class SignalKind { Eeg, Aux, Anchor, SdCard, Haptic, Imu, Bvp, Gsr, Fot, Digital, Other };

SignalKind signalKind(const std::string& name);
// The SD card is the signal named exactly "uSD"; its mode says whether the card records.
bool isSdCard(const std::string& name);
// Whether a signal has values in a block: it is on (mode not 0) and is not the SD card.
bool inBlock(const std::string& name, unsigned mode);
inline bool inBlock(const KvnSignal& s) { return inBlock(s.name, s.mode); }
// Samples per second of each channel: a digital aux input's rows of one block are its IMUs, each sampled once
// per block; any other signal's rows follow one another in time.
unsigned samplingRate(const std::string& name, unsigned samples, unsigned blockRate);

// The physical quantity of one channel; each writer spells it its own way.
enum class ChannelUnit { None, Microvolt, Arbitrary, Microsiemens, Acceleration, AngularRate, Microtesla, Metre, Volt };
// Short ASCII symbol ("uV", "m/s2", "deg/s", "uT", ...); empty for None.
const char* unitSymbol(ChannelUnit unit);

// One signal of a block.
struct SignalSlot {
    std::size_t index = 0;  // position in the device's signal list
    std::string name;
    SignalKind kind = SignalKind::Other;
    unsigned channels = 0;
    // Rows of one block. A digital aux input has one row per IMU plugged in, all taken at the block's time.
    unsigned samples = 0;
    unsigned mode = 0;
    bool present = false;    // has values in the block
    std::size_t offset = 0;  // of its first value in the block; where it would start when absent
    // Values in the block: channels x samples, sample after sample (channel c of sample s at s x channels + c).
    std::size_t size() const { return present ? static_cast<std::size_t>(channels) * samples : 0; }
    // An aux input's rows are IMUs side by side, not samples in time.
    bool oneSamplePerBlock() const { return kind == SignalKind::Aux; }
    // Samples per second of each channel (of each IMU for an aux input).
    unsigned samplingRate(unsigned blockRate) const { return ::samplingRate(name, samples, blockRate); }
    // Unit of column `column`: per inertial sensor for IMUs, distance and battery for an anchor.
    ChannelUnit unit(unsigned column) const;
    KvnSignal signal() const { return KvnSignal(name, channels, channels, samples, mode); }
};

// The layout of a device's sample block, from its signal list and modes: the signals present, in list order,
// each taking channels x samples values. Everything that writes, reads, streams or shows blocks takes the
// layout from here rather than working it out again.
class SignalLayout {
public:
    SignalLayout() = default;
    explicit SignalLayout(const std::vector<KvnSignal>& signalList);

    const std::vector<SignalSlot>& entries() const { return slots_; }
    std::size_t count() const { return slots_.size(); }
    const SignalSlot& operator[](std::size_t i) const { return slots_[i]; }
    std::size_t blockSize() const { return blockSize_; }
    // The signals present in the block, in order.
    std::vector<KvnSignal> present() const;
    const SignalSlot* find(SignalKind kind) const;
    const SignalSlot* find(const std::string& name) const;

    // Axis label of column `column` of an inertial unit ("AccX" ... "MagZ"); empty beyond the ninth.
    static const char* imuAxis(unsigned column);

private:
    std::vector<SignalSlot> slots_;
    std::size_t blockSize_ = 0;
};
