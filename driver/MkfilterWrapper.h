#pragma once

#include "DataBlock.h"

#include <array>
#include <vector>

// Butterworth filters for display: designed by the bilinear transform into second-order sections and run as a
// cascade of direct-form II transposed sections, with one state per channel carried from block to block.
// Until a valid design is set (or after an invalid one) the filter passes data through unchanged.
class MkfilterWrapper {
public:
    enum FilterType { LOW_PASS, HIGH_PASS, BAND_PASS, BAND_STOP };

    // One section: b0, b1, b2, a0, a1, a2 (a0 is always 1).
    using Section = std::array<double, 6>;

    static constexpr int MIN_ORDER = 1;
    static constexpr int MAX_ORDER = 8;

    MkfilterWrapper(unsigned channels, unsigned samplesPerBlock, double samplingRate);

    // Low-pass: (order, high, -1.0); high-pass: (order, low, -1.0); band-pass and band-stop: (order, low, high).
    // Frequencies in Hz. Returns false, and leaves the filter passing data through, when the order is outside
    // 1..8, a frequency is not strictly between 0 and the Nyquist frequency, or low >= high. Clears the state.
    bool Butterworth(FilterType type, int order, double f1, double f2);

    // in: one row per channel, one column per sample. out is resized to match when needed (in and out may be
    // the same block). Rows beyond the configured channel count are copied unchanged. A channel whose state
    // turns non-finite (NaN or infinite input) starts afresh with the next block.
    void filter(const DataBlock& in, DataBlock& out);

    // Clears the per-channel state, as if no sample had been filtered yet.
    void reset();

    bool isDesigned() const { return !sections_.empty(); }
    const std::vector<Section>& sections() const { return sections_; }
    unsigned channels() const { return channels_; }
    unsigned samplesPerBlock() const { return samplesPerBlock_; }
    double samplingRate() const { return samplingRate_; }

private:
    unsigned channels_;
    unsigned samplesPerBlock_;
    double samplingRate_;
    std::vector<Section> sections_;
    // Two delay values per section per channel: state_[(channel * sections + section) * 2 + k].
    std::vector<double> state_;
};
