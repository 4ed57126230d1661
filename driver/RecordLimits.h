#pragma once

#include "KvnSignal.h"

#include <cstdint>
#include <string>
#include <vector>

// What a real device can have, with room for larger ones (a 256-channel headset at 2048 Hz uses half the
// value budget). Every size read from a record is held against these before anything is allocated from it,
// and the writers refuse what the readers would refuse.
namespace limits {

constexpr unsigned MAX_SIGNALS = 64;
constexpr unsigned MAX_CHANNELS = 1024;
constexpr unsigned MAX_SAMPLES_PER_BLOCK = 4096;
constexpr unsigned MAX_BLOCK_RATE = 100000;       // blocks per second
constexpr unsigned MAX_SAMPLING_RATE = 100000;    // samples per second of one channel
constexpr uint64_t MAX_VALUES_PER_SECOND = 1u << 20;  // every channel of every recorded signal together

// Why the signal cannot belong to a device recording `blockRate` blocks per second; empty when it can.
// A block rate of 0 (unknown) skips the rate checks.
std::string signalProblem(const KvnSignal& signal, unsigned blockRate);
// The same for a whole signal list; only signals present in the block (SignalLayout) count towards the rates.
std::string recordProblem(const std::vector<KvnSignal>& signalList, unsigned blockRate);

}  // namespace limits
