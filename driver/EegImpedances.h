#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Electrode contact quality from the impedance carrier the EEG amplifier injects at a quarter of the sampling
// rate. Per channel, the carrier's peak amplitude (microvolts) is measured over the last `windowBlocks` blocks
// and mapped to a level: below 10 good (1), below 25 fair (2), below 50 poor (3), otherwise no contact (4).
class EegImpedances {
public:
    enum Level { GOOD = 1, FAIR = 2, POOR = 3, NO_CONTACT = 4 };

    // Levels are measured over `windowBlocks` blocks and refreshed every `updateEvery` blocks (both at least 1).
    explicit EegImpedances(int windowBlocks = 10, int updateEvery = 2);

    // Forgets all data; every channel reads NO_CONTACT until a full window has been pushed.
    void reset(unsigned channels, unsigned samplesPerBlock, double samplingRate, const std::string& deviceVersion,
               int sensorType);

    // One block of channels x samplesPerBlock values: data[s * channels + c] when channelMajor is false,
    // data[c * samplesPerBlock + s] when true. A null pointer is ignored.
    void push(const double* data, bool channelMajor);

    // One level 1..4 per channel.
    const std::vector<int>& levels() const { return levels_; }
    // Last measured carrier amplitude per channel (microvolts, peak); negative until measured, infinite when the
    // window held values that are not finite.
    const std::vector<double>& amplitudes() const { return amplitudes_; }

    static int levelForAmplitude(double amplitude);

    int windowBlocks() const { return windowBlocks_; }
    int updateEvery() const { return updateEvery_; }
    unsigned channels() const { return channels_; }
    const std::string& deviceVersion() const { return deviceVersion_; }
    int sensorType() const { return sensorType_; }

private:
    void measure();

    int windowBlocks_;
    int updateEvery_;
    unsigned channels_ = 0;
    unsigned samplesPerBlock_ = 0;
    double samplingRate_ = 0.0;
    std::string deviceVersion_;
    int sensorType_ = 0;

    std::size_t windowSamples_ = 0;
    // Ring of the last windowSamples_ samples per channel, channel after channel.
    std::vector<double> ring_;
    std::size_t writePos_ = 0;
    std::size_t blocksSeen_ = 0;
    std::size_t blocksSinceUpdate_ = 0;
    std::size_t windowBlocksUsed_ = 0;  // windowBlocks_, lengthened when blocks are very short
    // Weights giving the carrier's in-phase and quadrature amplitudes from a window, oldest sample first.
    std::vector<double> inPhase_;
    std::vector<double> quadrature_;
    std::vector<int> levels_;
    std::vector<double> amplitudes_;
};
