#pragma once

// Records on disk for the records tests: hard-drive folders written by CsvWriter and SD-card records written
// by the card writer.

// Before any Qt header: the card format has members named like Qt's "signals" and "emit" keywords.
#include "SdCardFormat.h"
#include "CsvWriter.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#undef signals

namespace fixtures {

inline double sampleValue(int block, std::size_t k) { return block * 0.5 + std::sin(double(block) + double(k)); }

// A hard-drive record of `blocks` blocks in `folder` (created).
inline bool writeHdRecord(const QString& folder, const std::vector<KvnSignal>& signalList, int blockRate, int blocks)
{
    if (!QDir().mkpath(folder)) return false;
    CsvWriter writer;
    if (!writer.setup(QFile::encodeName(folder).constData(), signalList, "KVN-TEST", 1) ||
        !writer.writeHeaders(blockRate, true))
        return false;
    std::vector<double> values(writer.valuesPerBlock());
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = sampleValue(b, k);
        if (!writer.write(values.data(), uint16_t(b), int64_t(b) * 1000, int64_t(b) * 1000, 5, 0)) return false;
    }
    return writer.close();
}

struct CardBlock {
    uint16_t sequence = 0;
    int16_t battery = 0;
    uint16_t flags = 0;
    std::vector<double> values;
};

// An SD-card record "0_<name>.kvb" in `folder` (created below `card`, relative path `directory`).
inline std::vector<CardBlock> writeCardRecord(const QString& card, const std::string& directory, const std::string& name,
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
    std::vector<CardBlock> written;
    if (!QDir().mkpath(card) || !writer.open(card.toStdString(), directory, name, header)) return written;
    for (int b = 0; b < blocks; ++b) {
        CardBlock block{uint16_t(firstSequence + b), int16_t(b % 6), uint16_t(b == 2 ? 4 : 0),
                        std::vector<double>(header.valuesPerBlock())};
        for (std::size_t k = 0; k < block.values.size(); ++k) block.values[k] = offset + sampleValue(b, k);
        if (!writer.writeBlock(block.sequence, block.battery, block.flags, block.values.data(), block.values.size()))
            break;
        written.push_back(std::move(block));
    }
    writer.close();
    return written;
}

inline const std::vector<KvnSignal>& halfSignals()
{
    static const std::vector<KvnSignal> list = {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}};
    return list;
}

}  // namespace fixtures
