#pragma once

#include <cstdint>
#include <string>

// What the live EEG 64 pair (MultiDriver) and the import of its two SD cards (Eeg64Importer) must agree on, so
// that a record reads back as it was seen live: how the status of the two halves' blocks is merged, and how
// the halves' records are named.
namespace eeg64 {

// The flags the live pair gives a block while its halves are not yet synchronised.
constexpr std::uint16_t kNotSynchronised = 7;

struct Status {
    std::int16_t battery;
    std::uint16_t flags;
};

// The status of a merged block from those of its left and right halves.
// Flags: both ORed. Error flags 1..6 are values, not bits, and two of them can OR to kNotSynchronised, which
// would hide the error and keep the block out of the hard-drive record; then the larger of the two is kept.
// Battery: the lower of two levels (0..5). A level wins over charging (the charging half will not run out
// first) and over unknown; charging wins over unknown; charging needs both charging, or the other unknown.
// Both unknown, or values that are neither a level nor charging, give Battery::UNKNOWN.
Status mergeStatus(std::int16_t leftBattery, std::uint16_t leftFlags, std::int16_t rightBattery,
                   std::uint16_t rightFlags);

// The restart suffix ("_0", "_1", ...) that follows `base` in `name`, or an empty text when `name` is not
// `base` followed by "_" and 1 to 18 digits.
std::string restartSuffix(const std::string& name, const std::string& base);

// One half's record name: base + side ('l' or 'r'), then the restart suffix, if any ("recl_0" for restart 0 of
// "rec"), so that importer::basename of it is base + side.
std::string halfName(const std::string& base, char side, const std::string& suffix = std::string());

// The pair's record name from one half's: without the side letter that follows the record's name ("recl_0" ->
// "rec_0", "recl" -> "rec"); a name without it is returned unchanged.
std::string pairName(const std::string& half, char side);

}  // namespace eeg64
