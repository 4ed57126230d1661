// SD-card import of a 64-channel record (64 blocks/s x 16 samples) into the hard-drive CSV format, the way the
// import worker does it, against writing the same amount of CSV raw with one fwrite per block.
// Usage: bench_sdimport [minutes of record, default 60]
#include "CsvWriter.h"
#include "Importer.h"
#include "SdCardFormat.h"

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

#undef signals

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 64;
constexpr unsigned kChannels = 64;
constexpr unsigned kSamples = 16;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int64_t blocks = static_cast<int64_t>(minutes) * 60 * kRate;
    const fs::path root = fs::temp_directory_path() / ("bench_sdimport_" + std::to_string(::getpid()));
    fs::create_directories(root);

    // The card record, from a pool of EEG-like blocks.
    std::mt19937_64 rng(7);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<std::vector<double>> pool(256, std::vector<double>(kChannels * kSamples));
    for (std::size_t b = 0; b < pool.size(); ++b)
        for (unsigned s = 0; s < kSamples; ++s)
            for (unsigned c = 0; c < kChannels; ++c) {
                const double t = (b * kSamples + s) / 1024.0;
                pool[b][s * kChannels + c] = 20 * std::sin(2 * M_PI * 10 * t + c) + 5 * std::sin(2 * M_PI * 50 * t) + noise(rng);
            }
    sdcard::RecordHeader header;
    header.version = "HW4.0_FW3.0";
    header.blockRate = kRate;
    header.firstSequence = 0;
    header.signals = {{"EEG", kChannels, kChannels, kSamples, 1}, {"uSD", 1, 1, 1, 1}};
    Clock::time_point t0 = Clock::now();
    {
        sdcard::SdCardWriter card;
        if (!card.open(root.string(), "viewer", "r001", header)) {
            std::fprintf(stderr, "%s\n", card.error().c_str());
            return 1;
        }
        for (int64_t b = 0; b < blocks; ++b) {
            const auto& v = pool[static_cast<std::size_t>(b) % pool.size()];
            card.writeBlock(static_cast<uint16_t>(b), 4, 0, v.data(), v.size());
        }
        if (!card.close()) {
            std::fprintf(stderr, "%s\n", card.error().c_str());
            return 1;
        }
    }
    const double cardSeconds = seconds(t0, Clock::now());
    uintmax_t cardBytes = 0;
    for (const auto& e : fs::directory_iterator(root / "viewer"))
        cardBytes += e.file_size();

    // Reading alone: what the importer costs before any CSV is written.
    t0 = Clock::now();
    int64_t seen = 0;
    {
        Importer imp((root / "viewer").string(), "r001");
        imp.addCallback([&seen](const BaseImporter::Block&) { return ++seen > 0; });
        if (!imp.import(false)) {
            std::fprintf(stderr, "read failed: %s\n", imp.error().c_str());
            return 1;
        }
    }
    const double readSeconds = seconds(t0, Clock::now());

    // The import as the worker runs it: CSV callback, then the progress callback.
    const fs::path out = root / "out";
    t0 = Clock::now();
    int64_t frames = 0;
    int lastPercent = 0;
    bool ok;
    {
        Importer imp((root / "viewer").string(), "r001");
        const int64_t total = imp.total_frames();
        const std::vector<KvnSignal> sig = imp.get_signals();
        CsvWriter csv(out.c_str(), sig.data(), sig.size(), "", 1);
        if (!csv.writeHeaders(imp.blocks_per_second(), false)) {
            std::fprintf(stderr, "%s\n", csv.error().c_str());
            return 1;
        }
        imp.addCallback([&csv](const BaseImporter::Block& b) {
            if (b.type != BaseImporter::SETUP_BLOCK)
                csv.write(b.values, b.sequence, b.battery, b.flags);
            return true;
        });
        imp.addCallback([&](const BaseImporter::Block&) {
            if (total > 0) {
                const int percent = static_cast<int>((frames + 1) * 100 / total);
                lastPercent = std::max(lastPercent, percent);
            }
            ++frames;
            return true;
        });
        ok = imp.import(false) && csv.close();
    }
    const double importSeconds = seconds(t0, Clock::now());
    const uintmax_t csvBytes = fs::file_size(out / "EEG.csv");

    // Raw: blocks of real CSV text from the import's output, written one fwrite each up to the same size.
    std::vector<std::string> chunks;
    {
        std::ifstream in(out / "EEG.csv");
        std::string line;
        std::getline(in, line);
        for (int b = 0; b < 256; ++b) {
            std::string chunk;
            for (unsigned s = 0; s < kSamples && std::getline(in, line); ++s)
                chunk += line + "\n";
            chunks.push_back(std::move(chunk));
        }
    }
    fs::remove_all(out);
    t0 = Clock::now();
    {
        std::FILE* f = std::fopen((root / "raw.csv").c_str(), "wb");
        uintmax_t written = 0;
        for (std::size_t i = 0; written < csvBytes; ++i) {
            const std::string& c = chunks[i % chunks.size()];
            std::fwrite(c.data(), 1, c.size(), f);
            written += c.size();
        }
        std::fclose(f);
    }
    const double rawSeconds = seconds(t0, Clock::now());
    fs::remove_all(root);

    std::printf("SD-card import, 64 channels x 1024 Hz, %d min of record (%lld blocks)\n", minutes,
                static_cast<long long>(blocks));
    std::printf("  writing the card record:  %7.2f s  (%.0f MB)\n", cardSeconds, cardBytes / 1e6);
    std::printf("  reading it (checked):     %7.2f s  (%lld blocks)\n", readSeconds, static_cast<long long>(seen));
    std::printf("  import into CSV:          %7.2f s  (%.0f MB of CSV, %s, progress reached %d%%)\n", importSeconds,
                csvBytes / 1e6, ok ? "ok" : "FAILED", lastPercent);
    std::printf("  raw fwrite of as much CSV: %6.2f s\n", rawSeconds);
    std::printf("  ratio import / raw writing: %.2f; import target < 60 s for 60 min: %s\n", importSeconds / rawSeconds,
                minutes == 60 ? (importSeconds < 60 ? "met" : "NOT met") : "scale the figure");
    return ok ? 0 : 1;
}
