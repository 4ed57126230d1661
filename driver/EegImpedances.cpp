// Written here on purpose: the estimator (carrier at a quarter of the rate, mains fitted out, fixed level bounds)
// is particular to this amplifier; no signal-processing library has it.
#include "EegImpedances.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double PI = 3.14159265358979323846;
// A window shorter than this cannot tell the carrier from its neighbours.
constexpr std::size_t MIN_WINDOW_SAMPLES = 16;
// Mains frequencies fitted out of the window when they can be told apart from the carrier.
constexpr double MAINS[] = {50.0, 60.0};
// A mains term is fitted only while it raises the carrier estimate's noise by at most this factor.
constexpr double MAX_NOISE_GROWTH = 1.5;

// Solves the small symmetric system m * y = e_k in place (Gaussian elimination, partial pivoting). False when
// the system is (nearly) singular.
bool solveUnit(std::vector<double> m, std::size_t n, std::size_t k, std::vector<double>& y)
{
    y.assign(n, 0.0);
    y[k] = 1.0;
    double scale = 0.0;
    for (double v : m)
        scale = std::max(scale, std::abs(v));
    if (!(scale > 0.0))
        return false;
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < n; ++r)
            if (std::abs(m[r * n + col]) > std::abs(m[pivot * n + col]))
                pivot = r;
        if (std::abs(m[pivot * n + col]) < 1e-12 * scale)
            return false;
        if (pivot != col) {
            for (std::size_t c = 0; c < n; ++c)
                std::swap(m[col * n + c], m[pivot * n + c]);
            std::swap(y[col], y[pivot]);
        }
        for (std::size_t r = col + 1; r < n; ++r) {
            const double f = m[r * n + col] / m[col * n + col];
            for (std::size_t c = col; c < n; ++c)
                m[r * n + c] -= f * m[col * n + c];
            y[r] -= f * y[col];
        }
    }
    for (std::size_t col = n; col-- > 0;) {
        double v = y[col];
        for (std::size_t c = col + 1; c < n; ++c)
            v -= m[col * n + c] * y[c];
        y[col] = v / m[col * n + col];
    }
    return true;
}

// Weights that turn a window of samples into the in-phase and quadrature amplitudes of the carrier, by a
// tapered (sine window) least-squares fit of offset, drift, carrier and the given extra tones. The taper keeps
// far tones (the alpha rhythm, noise) from leaking in; the fitted tones are removed exactly.
bool carrierWeights(std::size_t n, double rate, const std::vector<double>& tones, std::vector<double>& inPhase,
                    std::vector<double>& quadrature)
{
    const std::size_t cols = 4 + 2 * tones.size();
    std::vector<double> basis(n * cols), weight(n);
    for (std::size_t i = 0; i < n; ++i) {
        weight[i] = std::sin(PI * (double(i) + 0.5) / double(n));
        double* row = basis.data() + i * cols;
        static const double cosQuarter[4] = {1.0, 0.0, -1.0, 0.0};
        static const double sinQuarter[4] = {0.0, 1.0, 0.0, -1.0};
        row[0] = cosQuarter[i % 4];
        row[1] = sinQuarter[i % 4];
        row[2] = 1.0;
        row[3] = (double(i) - double(n - 1) / 2.0) / double(n);
        for (std::size_t t = 0; t < tones.size(); ++t) {
            const double phase = 2.0 * PI * tones[t] * double(i) / rate;
            row[4 + 2 * t] = std::cos(phase);
            row[5 + 2 * t] = std::sin(phase);
        }
    }
    std::vector<double> normal(cols * cols, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = basis.data() + i * cols;
        for (std::size_t a = 0; a < cols; ++a)
            for (std::size_t b = 0; b < cols; ++b)
                normal[a * cols + b] += weight[i] * row[a] * row[b];
    }
    std::vector<double>* out[2] = {&inPhase, &quadrature};
    std::vector<double> y;
    for (std::size_t k = 0; k < 2; ++k) {
        if (!solveUnit(normal, cols, k, y))
            return false;
        out[k]->assign(n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double* row = basis.data() + i * cols;
            double v = 0.0;
            for (std::size_t c = 0; c < cols; ++c)
                v += y[c] * row[c];
            (*out[k])[i] = v * weight[i];
        }
    }
    return true;
}

double noiseGain(const std::vector<double>& a, const std::vector<double>& b)
{
    double s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        s += a[i] * a[i] + b[i] * b[i];
    return std::sqrt(s);
}

}  // namespace

EegImpedances::EegImpedances(int windowBlocks, int updateEvery)
    : windowBlocks_(std::max(1, windowBlocks)), updateEvery_(std::max(1, updateEvery))
{
}

int EegImpedances::levelForAmplitude(double amplitude)
{
    if (!(amplitude >= 0.0))  // NaN or nonsense
        return NO_CONTACT;
    if (amplitude < 10.0)
        return GOOD;
    if (amplitude < 25.0)
        return FAIR;
    if (amplitude < 50.0)
        return POOR;
    return NO_CONTACT;
}

void EegImpedances::reset(unsigned channels, unsigned samplesPerBlock, double samplingRate,
                          const std::string& deviceVersion, int sensorType)
{
    channels_ = channels;
    samplesPerBlock_ = samplesPerBlock;
    samplingRate_ = samplingRate;
    deviceVersion_ = deviceVersion;
    sensorType_ = sensorType;
    levels_.assign(channels, NO_CONTACT);
    amplitudes_.assign(channels, -1.0);
    writePos_ = 0;
    blocksSeen_ = 0;
    blocksSinceUpdate_ = 0;
    windowSamples_ = 0;
    ring_.clear();
    inPhase_.clear();
    quadrature_.clear();
    if (channels == 0 || samplesPerBlock == 0)
        return;

    std::size_t blocks = std::size_t(windowBlocks_);
    while (blocks * samplesPerBlock < MIN_WINDOW_SAMPLES)
        ++blocks;
    windowBlocksUsed_ = blocks;
    const std::size_t n = blocks * samplesPerBlock;

    // The carrier sits at a quarter of the rate whatever the rate is; the rate only places the mains tones.
    std::vector<double> tones;
    std::vector<double> inPhase, quadrature;
    if (!carrierWeights(n, 1.0, tones, inPhase, quadrature))
        return;  // cannot happen for n >= 16; levels then stay at no contact
    if (samplingRate > 0.0 && std::isfinite(samplingRate)) {
        const double baseline = noiseGain(inPhase, quadrature);
        for (double mains : MAINS) {
            if (!(mains < samplingRate / 2.0))
                continue;
            std::vector<double> more = tones, a, b;
            more.push_back(mains);
            if (carrierWeights(n, samplingRate, more, a, b) && noiseGain(a, b) <= MAX_NOISE_GROWTH * baseline) {
                tones = more;
                inPhase.swap(a);
                quadrature.swap(b);
            }
        }
    }
    inPhase_ = std::move(inPhase);
    quadrature_ = std::move(quadrature);
    windowSamples_ = n;
    ring_.assign(std::size_t(channels) * n, 0.0);
}

void EegImpedances::push(const double* data, bool channelMajor)
{
    if (!data || windowSamples_ == 0)
        return;
    const std::size_t n = windowSamples_;
    const std::size_t spb = samplesPerBlock_;
    for (std::size_t c = 0; c < channels_; ++c) {
        double* ring = ring_.data() + c * n;
        for (std::size_t s = 0; s < spb; ++s) {
            const double v = channelMajor ? data[c * spb + s] : data[s * channels_ + c];
            ring[(writePos_ + s) % n] = v;
        }
    }
    writePos_ = (writePos_ + spb) % n;
    ++blocksSeen_;
    ++blocksSinceUpdate_;
    if (blocksSeen_ < windowBlocksUsed_)
        return;
    if (blocksSeen_ == windowBlocksUsed_ || blocksSinceUpdate_ >= std::size_t(updateEvery_))
        measure();
}

void EegImpedances::measure()
{
    blocksSinceUpdate_ = 0;
    const std::size_t n = windowSamples_;
    for (std::size_t c = 0; c < channels_; ++c) {
        const double* ring = ring_.data() + c * n;
        double a = 0.0, b = 0.0;
        // Oldest sample first: the weights were built for a window starting at writePos_.
        std::size_t idx = writePos_;
        for (std::size_t i = 0; i < n; ++i) {
            a += inPhase_[i] * ring[idx];
            b += quadrature_[i] * ring[idx];
            if (++idx == n)
                idx = 0;
        }
        double amplitude = std::hypot(a, b);
        if (!std::isfinite(amplitude))
            amplitude = std::numeric_limits<double>::infinity();
        amplitudes_[c] = amplitude;
        levels_[c] = levelForAmplitude(amplitude);
    }
}
