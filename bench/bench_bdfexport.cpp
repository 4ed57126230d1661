// BDF+ export speed for the 64-channel USB headset (64 blocks/s x 16 samples, 1024 Hz): BdfExporter (both passes:
// range measurement and writing, through EDFlib) against writing the same samples as 24-bit integers with one
// fwrite per block. The record comes from memory, so the figures are the exporter's and the disk's, not a
// reader's. Usage: bench_bdfexport [seconds of record, default 3600] [output folder, default /tmp]
#include "BdfExporter.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {

constexpr unsigned kRate = 64;
constexpr unsigned kChannels = 64;
constexpr unsigned kSamples = 16;
constexpr int kDistinct = 640;  // ten seconds of distinct blocks, cycled

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

class MemorySource : public ExportSource {
public:
    explicit MemorySource(int64_t blocks) : blocks_(blocks) {
        std::mt19937_64 rng(42);
        std::normal_distribution<double> noise(0.0, 3.0);
        data_.resize(kDistinct);
        for (int b = 0; b < kDistinct; ++b) {
            auto& v = data_[b];
            v.resize(kChannels * kSamples);
            for (unsigned s = 0; s < kSamples; ++s) {
                const double t = (b * kSamples + s) / 1024.0;
                for (unsigned c = 0; c < kChannels; ++c)
                    v[s * kChannels + c] = 20 * std::sin(2 * M_PI * 10 * t + c) + 5 * std::sin(2 * M_PI * 50 * t) + noise(rng);
            }
        }
        deviceName = "KVN-H64-1010";
        version = "HW4.0_FW3.0";
    }
    std::vector<KvnSignal> signalList() const override { return {{"EEG", kChannels, kChannels, kSamples, 1}}; }
    unsigned blockRate() const override { return kRate; }
    int64_t expectedBlocks() const override { return blocks_; }
    bool forEachBlock(const Visitor& visit) override {
        Block block;
        for (int64_t b = 0; b < blocks_; ++b) {
            block.sequence = static_cast<uint16_t>(b);
            block.values = data_[static_cast<std::size_t>(b % kDistinct)].data();
            if (!visit(block)) return false;
        }
        return true;
    }
    const std::vector<double>& distinct(int64_t b) const { return data_[static_cast<std::size_t>(b % kDistinct)]; }

private:
    int64_t blocks_;
    std::vector<std::vector<double>> data_;
};

}  // namespace

int main(int argc, char** argv) {
    const double recordSeconds = argc > 1 ? std::atof(argv[1]) : 3600.0;
    const std::string folder = argc > 2 ? argv[2] : "/tmp";
    const int64_t blocks = static_cast<int64_t>(recordSeconds * kRate);
    MemorySource source(blocks);
    const std::string bdf = folder + "/bench_bdfexport_" + std::to_string(::getpid()) + ".bdf";
    const std::string raw = folder + "/bench_bdfexport_" + std::to_string(::getpid()) + ".raw";

    // Raw: the same samples converted to 24-bit integers (a fixed scale) and written block by block.
    auto t0 = Clock::now();
    {
        std::FILE* f = std::fopen(raw.c_str(), "wb");
        if (!f) return std::perror(raw.c_str()), 1;
        std::vector<unsigned char> out(kChannels * kSamples * 3);
        for (int64_t b = 0; b < blocks; ++b) {
            const std::vector<double>& v = source.distinct(b);
            for (std::size_t i = 0; i < v.size(); ++i) {
                const int32_t d = static_cast<int32_t>(std::lround(v[i] * 1000.0));
                out[i * 3] = static_cast<unsigned char>(d & 0xFF);
                out[i * 3 + 1] = static_cast<unsigned char>((d >> 8) & 0xFF);
                out[i * 3 + 2] = static_cast<unsigned char>((d >> 16) & 0xFF);
            }
            if (std::fwrite(out.data(), 1, out.size(), f) != out.size()) return std::perror(raw.c_str()), 1;
        }
        std::fclose(f);
    }
    const double rawTime = seconds(t0, Clock::now());
    std::remove(raw.c_str());

    BdfExporter exporter;
    t0 = Clock::now();
    if (!exporter.write(source, bdf, BdfExporter::Format::Bdf)) {
        std::fprintf(stderr, "export failed: %s\n", exporter.error().c_str());
        return 1;
    }
    const double exportTime = seconds(t0, Clock::now());
    std::remove(bdf.c_str());

    const double mb = double(blocks) * kChannels * kSamples * 3 / 1e6;
    std::printf("BDF+ export of %.0f s of %u channels at %u Hz (%.0f MB of samples), %lld data records of %u blocks\n",
                recordSeconds, kChannels, kRate * kSamples, mb, static_cast<long long>(exporter.result().dataRecords),
                exporter.result().blocksPerRecord);
    std::printf("  export:        %7.2f s  %7.1f x real time  %6.0f MB/s\n", exportTime, recordSeconds / exportTime, mb / exportTime);
    std::printf("  raw 24-bit:    %7.2f s  %7.1f x real time  %6.0f MB/s\n", rawTime, recordSeconds / rawTime, mb / rawTime);
    std::printf("  export / raw:  %7.2f  (target <= 3); x real time target >= 50\n", exportTime / rawTime);
    return 0;
}
