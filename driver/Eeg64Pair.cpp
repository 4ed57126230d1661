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

std::string restartSuffix(const std::string& name, const std::string& base) {
    if (name.size() < base.size() + 2 || name.size() > base.size() + 19 || name.compare(0, base.size(), base) != 0 ||
        name[base.size()] != '_')
        return std::string();
    for (std::size_t i = base.size() + 1; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return std::string();
    return name.substr(base.size());
}

std::string halfName(const std::string& base, char side, const std::string& suffix) {
    return base + side + suffix;
}

std::string pairName(const std::string& half, char side) {
    std::size_t end = half.size();
    const std::size_t us = half.rfind('_');
    if (us != std::string::npos && !restartSuffix(half, half.substr(0, us)).empty()) end = us;
    if (end == 0 || half[end - 1] != side) return half;
    return half.substr(0, end - 1) + half.substr(end);
}

}  // namespace eeg64
