#pragma once

// Records for the records tests: hard-drive folders (CsvWriter), SD-card records (the card writer), and an
// importer of a made-up record.

// Before any Qt header: the card format has members named like Qt's "signals" and "emit" keywords.
#include "SdCardFormat.h"
#include "CsvWriter.h"
#include "Importer.h"

#include <QDir>
#include <QFile>
#include <QPushButton>

#include <atomic>
#include <cmath>

#undef signals

namespace fixtures {

inline const std::vector<KvnSignal> kHalf = {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}};  // an EEG 64 half

inline double sampleValue(int block, std::size_t k) { return block * 0.5 + std::sin(double(block) + double(k)); }

inline QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

inline bool writeHdRecord(const QString& folder, const std::vector<KvnSignal>& signalList, int blockRate, int blocks)
{
    CsvWriter writer;
    if (!QDir().mkpath(folder) || !writer.setup(QFile::encodeName(folder).constData(), signalList, "KVN-TEST", 1) ||
        !writer.writeHeaders(blockRate, true))
        return false;
    std::vector<double> values(writer.valuesPerBlock());
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = sampleValue(b, k);
        if (!writer.write(values.data(), uint16_t(b), int64_t(b) * 1000, int64_t(b) * 1000, 5, 0)) return false;
    }
    return writer.close();
}

// "0_<name>.kvb" in `directory` below `card`. Block b: sequence firstSequence + b, battery b % 6, flags 4 for
// block 2 only, values offset + sampleValue(b, k).
inline bool writeCardRecord(const QString& card, const std::string& directory, const std::string& name,
                            const std::vector<KvnSignal>& signalList, int blockRate, int blocks,
                            uint16_t firstSequence = 0, const std::string& setup = {},
                            const std::string& version = "HW3.0_FW2.1", double offset = 0.0)
{
    sdcard::RecordHeader header;
    header.version = version;
    header.blockRate = uint16_t(blockRate);
    header.firstSequence = firstSequence;
    header.signals = signalList;
    header.setup = setup;
    sdcard::SdCardWriter writer;
    if (!QDir().mkpath(card) || !writer.open(card.toStdString(), directory, name, header)) return false;
    std::vector<double> values(header.valuesPerBlock());
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = offset + sampleValue(b, k);
        if (!writer.writeBlock(uint16_t(firstSequence + b), int16_t(b % 6), b == 2 ? 4 : 0, values.data(), values.size()))
            return false;
    }
    return writer.close();
}

}  // namespace fixtures

// Delivers `blocks` sample blocks of an EEG 2 x 3, from sequence 7 (a set-up block after every `setupEvery`-th
// one), and reports `reportedFrames` as its total.
class FakeImporter : public BaseImporter {
public:
    int64_t blocks = 100, reportedFrames = 100;
    int setupEvery = 0, badBlock = -1;  // the bad block has a value count that does not fit the signals
    bool result = true;
    std::atomic<int64_t> delivered{0};

    static double value(int64_t block, std::size_t k) { return double(block) + double(k) / 8.0; }
    std::string version() const override { return "HW1.0_FW1.0"; }
    uint16_t first_sequence() const override { return 7; }
    int64_t total_frames() const override { return reportedFrames; }
    uint16_t blocks_per_second() const override { return 16; }
    std::vector<KvnSignal> get_signals() const override { return {{"EEG", 2, 2, 3, 1}, {"uSD", 1, 1, 1, 1}}; }
    bool get_valid_setup_halvo() const override { return false; }
    bool import_posita_setup(const std::string&) override { return false; }
    bool import(bool) override
    {
        const std::string setup = "{\"anchors\": 3}";
        std::vector<double> values(6);
        for (int64_t b = 0; b < blocks; ++b) {
            for (std::size_t k = 0; k < values.size(); ++k) values[k] = value(b, k);
            ++delivered;
            if (!deliver({uint16_t(7 + b), int16_t(b % 5), 0, values.data(), SAMPLES_BLOCK, b == badBlock ? 7u : 6u}))
                return false;
            if (setupEvery > 0 && (b + 1) % setupEvery == 0) {
                ++delivered;
                if (!deliver({0, 0, 0, nullptr, SETUP_BLOCK, 0, &setup})) return false;
            }
        }
        return result;
    }
};
