#pragma once

#include <cstdint>

// Battery levels are fifths of a full charge, 0..5; these two mark the states that are not a level.
namespace Battery {
constexpr int16_t CHARGING = -1;
constexpr int16_t UNKNOWN = -2;
constexpr int16_t FULL = 5;
}  // namespace Battery
