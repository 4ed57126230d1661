#pragma once

// Before any Qt header: the card format has members named like Qt's "signals" and "emit" keywords.
#include "SdCardFormat.h"
#include "CsvWriter.h"

#include <QDir>
#include <QFile>
#include <QPushButton>

#include <cmath>

#undef signals

namespace fixtures {

inline QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

// A hard-drive record of `blocks` blocks at 32 blocks/s.
inline bool writeHdRecord(const QString& folder, const std::vector<KvnSignal>& signalList, int blocks)
{
    CsvWriter writer;
    if (!QDir().mkpath(folder) || !writer.setup(QFile::encodeName(folder).constData(), signalList, "KVN-TEST", 1) ||
        !writer.writeHeaders(32, true))
        return false;
    const std::vector<double> values(writer.valuesPerBlock());
    for (int b = 0; b < blocks; ++b)
        if (!writer.write(values.data(), uint16_t(b), b * 1000, b * 1000, 5, 0)) return false;
    return writer.close();
}

// "0_<name>.kvb" in `directory` below `card`. Block b: sequence firstSequence + b, battery b % 6, flags 4 for
// block 2 only, values b + sin(b + k).
inline bool writeCardRecord(const QString& card, const std::string& directory, const std::string& name,
                            const std::vector<KvnSignal>& signalList, int blockRate, int blocks,
                            uint16_t firstSequence = 0, const std::string& setup = {},
                            const std::string& version = "HW3.0_FW2.1")
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
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = b + std::sin(double(b + k));
        if (!writer.writeBlock(uint16_t(firstSequence + b), int16_t(b % 6), b == 2 ? 4 : 0, values.data(),
                               values.size()))
            return false;
    }
    return writer.close();
}

}  // namespace fixtures
