// Cost of the display filters the viewer runs on the 64-channel headset: a band-pass 1-30 Hz and a notch
// 48-52 Hz, both order 4, on 64 channels at 1024 Hz in blocks of 16 samples; plus the impedance estimator.
#include "EegImpedances.h"
#include "MkfilterWrapper.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>

namespace {
std::atomic<long> allocations{0};
}

// Counts allocations, to show that filtering allocates nothing per block. Not inlined, so that the compiler
// does not pair the malloc/free inside with the new/delete at call sites.
__attribute__((noinline)) void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv)
{
    const unsigned channels = 64, spb = 16;
    const double rate = 1024.0;
    const long blocks = argc > 1 ? std::atol(argv[1]) : 64 * 60;  // one minute of data by default

    MkfilterWrapper notch(channels, spb, rate), other(channels, spb, rate);
    if (!notch.Butterworth(MkfilterWrapper::BAND_STOP, 4, 48.0, 52.0)
        || !other.Butterworth(MkfilterWrapper::BAND_PASS, 4, 1.0, 30.0)) {
        std::fprintf(stderr, "design refused\n");
        return 1;
    }
    // A pool of distinct blocks, so that the loop does not filter the same values again and again.
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 10.0);
    const int pool = 64;
    std::vector<DataBlock> inputs(pool, DataBlock(channels, spb));
    std::vector<std::vector<double>> raw(pool, std::vector<double>(channels * spb));
    for (int b = 0; b < pool; ++b)
        for (unsigned c = 0; c < channels; ++c)
            for (unsigned s = 0; s < spb; ++s) {
                const double v = noise(rng) + 20.0 * std::cos(M_PI / 2.0 * s);
                inputs[b].at(c, s) = v;
                raw[b][s * channels + c] = v;
            }
    DataBlock middle(channels, spb), out(channels, spb);
    double sink = 0.0;

    using Clock = std::chrono::steady_clock;
    const long before = allocations.load();
    const auto t0 = Clock::now();
    for (long b = 0; b < blocks; ++b) {
        notch.filter(inputs[b % pool], middle);
        other.filter(middle, out);
        sink += out.value(b % channels, b % spb);
    }
    const auto t1 = Clock::now();
    const long filterAllocations = allocations.load() - before;

    EegImpedances impedances(10, 2);
    impedances.reset(channels, spb, rate, "HW4.0_FW3.0", 1);
    const long before2 = allocations.load();
    const auto t2 = Clock::now();
    for (long b = 0; b < blocks; ++b) {
        impedances.push(raw[b % pool].data(), false);
        sink += impedances.levels()[b % channels];
    }
    const auto t3 = Clock::now();
    const long impedanceAllocations = allocations.load() - before2;

    const double samples = double(blocks) * channels * spb;
    const double filterNs = std::chrono::duration<double, std::nano>(t1 - t0).count();
    const double impedanceNs = std::chrono::duration<double, std::nano>(t3 - t2).count();
    const double realSeconds = double(blocks) / (rate / spb);
    std::printf("blocks: %ld (%.1f s of 64-channel data at 1024 Hz, 16 samples per block)\n", blocks, realSeconds);
    std::printf("band-pass 1-30 + notch 48-52, order 4: %.2f ns per channel-sample, %.2f us per block, "
                "%.4f of real time, %ld allocations\n",
                filterNs / samples, filterNs / 1000.0 / double(blocks), filterNs / 1e9 / realSeconds,
                filterAllocations);
    std::printf("impedance estimator (window 10, update every 2): %.2f ns per channel-sample, %.4f of real time, "
                "%ld allocations\n",
                impedanceNs / samples, impedanceNs / 1e9 / realSeconds, impedanceAllocations);
    std::printf("(checksum %g)\n", sink);
    return 0;
}
