// What damaged and hostile records cost to open, play back or refuse: a record folder whose data file has a
// 2 GB sparse hole in front of its blocks, descriptions and card headers that claim sizes no device has, and a
// clean folder for comparison. Prints time and the process's peak memory after each case.
// Usage: bench_damaged [blocks of the clean record, default 20000]
#include "CsvReader.h"
#include "CsvWriter.h"
#include "Importer.h"
#include "SdCardFormat.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#undef signals

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

long peakMegabytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024;
}

double since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

bool writeFolder(const std::string& folder, int blocks, unsigned channels, unsigned samples, int rate) {
    CsvWriter w;
    if (!w.setup(folder.c_str(), {{"EEG", channels, channels, samples, 1}}, "bench", 1) || !w.writeHeaders(rate, true))
        return false;
    std::vector<double> v(channels * samples);
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < v.size(); ++k)
            v[k] = 20 * std::sin(0.01 * (b * samples + k / channels) + double(k % channels));
        if (!w.write(v.data(), uint16_t(b), b, b, 4, 0))
            return false;
    }
    return w.close();
}

// Plays a folder to its end: blocks played, milliseconds, and what the reader said.
void play(const char* what, const std::string& folder) {
    const Clock::time_point t = Clock::now();
    CsvReader r;
    long blocks = -1;
    if (r.open(folder))
        for (blocks = 0; !r.read().isEnd(); ++blocks) {
        }
    std::printf("%-52s %8ld blocks %9.1f ms  peak %5ld MB  %s\n", what, blocks, since(t), peakMegabytes(),
                r.error().substr(0, 90).c_str());
}

void replace(const std::string& path, const std::string& from, const std::string& to) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    text.replace(text.find(from), from.size(), to);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A lone part 0 whose header claims `count` signals: what a damaged card can hold and no writer writes.
void cardClaiming(const std::string& folder, unsigned count) {
    std::string h(sdcard::MAGIC, sizeof sdcard::MAGIC);
    auto u16 = [&h](unsigned v) { h += char(v & 0xFF), h += char(v >> 8 & 0xFF); };
    u16(sdcard::FORMAT_VERSION), u16(0), u16(0), u16(0), u16(2), h += "HW", u16(32), u16(0), u16(count);
    for (unsigned i = 0; i < count; ++i)
        u16(3), h += "EEG", u16(64), u16(16), u16(1);
    u16(0), u16(0);
    const uint32_t length = uint32_t(h.size() + 4);
    for (int i = 0; i < 4; ++i)
        h[12 + i] = char(length >> (8 * i) & 0xFF);
    const uint32_t crc = sdcard::crc32(h.data(), h.size());
    u16(crc & 0xFFFF), u16(crc >> 16);
    fs::create_directories(folder);
    std::ofstream(folder + "/0_c.kvb", std::ios::binary) << h;
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
    const fs::path root = fs::temp_directory_path() / ("bench_damaged_" + std::to_string(::getpid()));
    const std::string r = root.string();

    if (!writeFolder(r + "/clean", blocks, 64, 16, 64))
        return 1;
    play("clean folder, 64 channels x 16 samples", r + "/clean");

    // The same rows behind a 2 GB hole: only the hole's size on disk is free.
    if (!writeFolder(r + "/sparse", 320, 8, 8, 32))
        return 1;
    {
        const std::string path = r + "/sparse/EEG.csv";
        std::ifstream in(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        const std::size_t head = text.find('\n') + 1;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text.substr(0, head);
        fs::resize_file(path, head + (2ull << 30));
        std::ofstream(path, std::ios::binary | std::ios::app) << text.substr(head);
    }
    play("320 blocks behind a 2 GB sparse hole", r + "/sparse");

    for (const auto& [what, to] : {std::pair<const char*, const char*>{"description: 1000 channels x 100000 samples", ",EEG,1000,100000,"},
                                   {"description: 100000 channels", ",EEG,100000,16,"}}) {
        fs::remove_all(r + "/claims");
        writeFolder(r + "/claims", 4, 64, 16, 64);
        replace(r + "/claims/signalsInfo.csv", ",EEG,64,16,", to);
        play(what, r + "/claims");
    }

    for (unsigned count : {8000u, 65535u}) {
        fs::remove_all(r + "/card");
        cardClaiming(r + "/card", count);
        const Clock::time_point t = Clock::now();
        Importer imp(r + "/card", "c");
        const bool imported = imp.import(false);
        std::printf("card header claiming %-5u signals                 %s %9.1f ms  peak %5ld MB  %s\n", count,
                    imported ? "imported" : "refused ", since(t), peakMegabytes(), imp.error().substr(0, 90).c_str());
    }
    fs::remove_all(root);
    return 0;
}
