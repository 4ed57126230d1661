#pragma once

#include <cstdint>
#include <string>

// One signal of a device: what it is called, how many channels it has, how many samples each channel
// contributes to one block, and its mode (0 off, 1 on; for a digital aux input the number of IMUs on it).
struct KvnSignal {
    std::string name;
    unsigned channels = 0;
    // A second channel count, kept for devices whose stored channels differ from the displayed ones;
    // the simulated devices set it equal to `channels`.
    unsigned channels2 = 0;
    unsigned samples = 0;
    unsigned mode = 0;

    KvnSignal() = default;
    KvnSignal(std::string name_, unsigned channels_, unsigned channels2_, unsigned samples_, unsigned mode_)
        : name(std::move(name_)), channels(channels_), channels2(channels2_), samples(samples_), mode(mode_) {}

    bool operator==(const KvnSignal& o) const {
        return name == o.name && channels == o.channels && channels2 == o.channels2 && samples == o.samples &&
               mode == o.mode;
    }
};
