#pragma once

#include "Importer.h"

#include <atomic>
#include <string>
#include <vector>

// An importer that delivers a made-up record: `blocks` sample blocks (a set-up block after every
// `setupEvery`-th one when non-zero), reporting `reportedFrames` as its total.
class FakeImporter : public BaseImporter {
public:
    std::vector<KvnSignal> signalList{{"EEG", 2, 2, 3, 1}, {"uSD", 1, 1, 1, 1}};
    int64_t blocks = 100;
    int64_t reportedFrames = 100;
    int setupEvery = 0;
    int badBlock = -1;  // this block comes with a value count that does not fit the signals
    bool result = true;
    std::atomic<int64_t> delivered{0};  // blocks handed to the callbacks so far
    std::atomic<int> imports{0};
    std::string setupText = "{\"anchors\": 3}";

    std::size_t valuesPerBlock() const
    {
        std::size_t n = 0;
        for (const KvnSignal& s : signalList)
            if (s.name != "uSD" && s.mode != 0) n += std::size_t(s.channels) * s.samples;
        return n;
    }
    static double value(int64_t block, std::size_t k) { return double(block) + double(k) / 8.0; }

    std::string version() const override { return "HW1.0_FW1.0"; }
    uint16_t first_sequence() const override { return 7; }
    int64_t total_frames() const override { return reportedFrames; }
    uint16_t blocks_per_second() const override { return 16; }
    std::vector<KvnSignal> get_signals() const override { return signalList; }
    bool get_valid_setup_halvo() const override { return false; }
    bool import_posita_setup(const std::string&) override { return false; }
    bool import(bool) override
    {
        ++imports;
        std::vector<double> values(valuesPerBlock());
        for (int64_t b = 0; b < blocks; ++b) {
            for (std::size_t k = 0; k < values.size(); ++k) values[k] = value(b, k);
            Block block;
            block.sequence = uint16_t(first_sequence() + b);
            block.battery = int16_t(b % 5);
            block.flags = 0;
            block.values = values.data();
            block.count = b == badBlock ? values.size() + 1 : values.size();
            block.type = SAMPLES_BLOCK;
            ++delivered;
            if (!deliver(block)) return false;
            if (setupEvery > 0 && (b + 1) % setupEvery == 0) {
                Block setup;
                setup.type = SETUP_BLOCK;
                setup.setup = &setupText;
                ++delivered;
                if (!deliver(setup)) return false;
            }
        }
        return result;
    }
};
