// Hard-drive recording speed on the 64-channel USB headset (64 blocks/s x 16 samples, 1024 Hz): CsvWriter
// against writing the very same bytes raw with one fwrite per block. Usage: bench_csvwriter [seconds of record]
#include "CsvWriter.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 64;
constexpr unsigned kChannels = 64;
constexpr unsigned kSamples = 16;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// EEG-like microvolt values: rhythm, mains, carrier and noise, so every value needs its full precision.
std::vector<std::vector<double>> makeBlocks(int count) {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<std::vector<double>> blocks(static_cast<std::size_t>(count));
    for (int b = 0; b < count; ++b) {
        auto& v = blocks[static_cast<std::size_t>(b)];
        v.resize(kChannels * kSamples);
        for (unsigned s = 0; s < kSamples; ++s) {
            const double t = (b * kSamples + s) / 1024.0;
            for (unsigned c = 0; c < kChannels; ++c)
                v[s * kChannels + c] = 20 * std::sin(2 * M_PI * 10 * t + c) + 5 * std::sin(2 * M_PI * 50 * t) +
                                       (c % 4) * 10 * std::sin(2 * M_PI * 256 * t) + noise(rng);
        }
    }
    return blocks;
}

}  // namespace

int main(int argc, char** argv) {
    const int recordSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 120;
    const int blocks = recordSeconds * kRate;
    const fs::path root = fs::temp_directory_path() / ("bench_csvwriter_" + std::to_string(::getpid()));
    fs::create_directories(root);
    const std::vector<KvnSignal> signalList = {{"EEG", kChannels, kChannels, kSamples, 1}, {"uSD", 1, 1, 1, 0}};
    // Distinct blocks for the first part of the record, then repeated: generation is not what is measured.
    const auto data = makeBlocks(std::min(blocks, 4 * kRate));

    double best = 1e9, bestRaw = 1e9;
    uintmax_t bytes = 0;
    for (int round = 0; round < 3; ++round) {
        // CsvWriter.
        const fs::path folder = root / ("rec" + std::to_string(round));
        CsvWriter w;
        Clock::time_point t0 = Clock::now();
        if (!w.setup(folder.c_str(), signalList, "KVN-H64-1010", 1) || !w.writeHeaders(kRate, true)) {
            std::fprintf(stderr, "cannot set up the record: %s\n", w.error().c_str());
            return 1;
        }
        for (int b = 0; b < blocks; ++b)
            w.write(data[static_cast<std::size_t>(b) % data.size()].data(), static_cast<uint16_t>(b),
                    1000000 + b * 15625LL, 1764921600000000LL + b * 15625LL, 4, 0);
        if (!w.close()) {
            std::fprintf(stderr, "writing failed: %s\n", w.error().c_str());
            return 1;
        }
        best = std::min(best, seconds(t0, Clock::now()));

        // The same bytes, block by block (each block's rows of every file together), one fwrite each.
        std::vector<std::string> chunks;
        {
            std::ifstream eeg(folder / "EEG.csv"), utc(folder / "UTC.csv");
            std::string line;
            std::getline(eeg, line);
            std::string head = line + "\n";
            std::getline(utc, line);
            head += line + "\n";
            chunks.push_back(head);
            for (int b = 0; b < blocks; ++b) {
                std::string chunk;
                for (unsigned s = 0; s < kSamples && std::getline(eeg, line); ++s)
                    chunk += line + "\n";
                if (std::getline(utc, line))
                    chunk += line + "\n";
                chunks.push_back(std::move(chunk));
            }
        }
        bytes = fs::file_size(folder / "EEG.csv") + fs::file_size(folder / "UTC.csv");
        fs::remove_all(folder);
        const fs::path raw = root / ("raw" + std::to_string(round));
        t0 = Clock::now();
        std::FILE* f = std::fopen(raw.c_str(), "wb");
        for (const std::string& c : chunks)
            std::fwrite(c.data(), 1, c.size(), f);
        std::fclose(f);
        bestRaw = std::min(bestRaw, seconds(t0, Clock::now()));
        fs::remove(raw);
    }
    fs::remove_all(root);

    std::printf("CsvWriter, 64 channels x 1024 Hz, %d s of record (%d blocks, %.1f MB of CSV), best of 3\n",
                recordSeconds, blocks, bytes / 1e6);
    std::printf("  CsvWriter:            %8.3f s  = %7.1f x real time  (%.1f us per block)\n", best,
                recordSeconds / best, best * 1e6 / blocks);
    std::printf("  raw fwrite per block: %8.3f s  = %7.1f x real time\n", bestRaw, recordSeconds / bestRaw);
    std::printf("  ratio CsvWriter / raw: %.2f (target <= 3), real-time factor target >= 20\n", best / bestRaw);
    return 0;
}
