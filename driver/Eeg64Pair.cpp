#include "Eeg64Pair.h"

#include <algorithm>

#include "Battery.h"

namespace eeg64 {

namespace {

bool isLevel(std::int16_t battery) { return battery >= 0 && battery <= Battery::FULL; }

std::int16_t mergeBattery(std::int16_t a, std::int16_t b) {
    if (isLevel(a) && isLevel(b)) return std::min(a, b);
    if (isLevel(a)) return a;
    if (isLevel(b)) return b;
    if (a == Battery::CHARGING || b == Battery::CHARGING) return Battery::CHARGING;
    return Battery::UNKNOWN;
}

}  // namespace

Status mergeStatus(std::int16_t leftBattery, std::uint16_t leftFlags, std::int16_t rightBattery,
                   std::uint16_t rightFlags) {
    auto flags = static_cast<std::uint16_t>(leftFlags | rightFlags);
    if (flags == kNotSynchronised && leftFlags != kNotSynchronised && rightFlags != kNotSynchronised)
        flags = std::max(leftFlags, rightFlags);
    return {mergeBattery(leftBattery, rightBattery), flags};
}

}  // namespace eeg64
