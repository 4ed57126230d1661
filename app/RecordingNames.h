#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <vector>

class DeviceModel;

// Names of the two records an acquisition can make, and the hard-drive record's description.

// Folder name sent to the SD card: the dated prefix, then the folder part of what the user typed.
QString sdFolderName(const QDateTime& start, const QString& userText);
// File name sent to the SD card: the file-name part of what the user typed.
QString sdFileName(const QString& userText);
// What the SD path input shows for the device's folder and file: the dated prefix removed again.
QString sdInputText(const QString& folder, const QString& file);
// "sd_card_path" of the description: folder and file joined, Windows separators made forward slashes.
QString sdCardPath(const QString& folder, const QString& file);
// The hard-drive record's sub-folder name: device name and start time.
QString hdRecordFolderName(const QString& deviceName, const QDateTime& start);
// The JSON description of a hard-drive record (written as "signalsInfo.json").
QJsonObject signalsInfo(const DeviceModel& model, const QDateTime& start, int sensorType, bool withUtc);

// Blocks missing from a record (a link drop, a device that skipped), found from the sequence numbers and UTC
// stamps of the blocks written, in order. The sequence counts modulo 65536; the UTC stamps tell how often it
// wrapped during a long gap.
class RecordGaps {
public:
    struct Gap {
        int firstSequence;      // the first block missing
        int lastSequence;       // the last block missing
        int64_t missingBlocks;
        int64_t beforeBlock;    // blocks the record holds before the gap
        double seconds;         // time without blocks beyond the block interval, by the UTC stamps
    };
    void reset(unsigned blockRate);
    void add(uint16_t sequence, int64_t utc);
    const std::vector<Gap>& gaps() const { return gaps_; }
    QJsonArray toJson() const;

private:
    unsigned blockRate_ = 0;
    int64_t blocks_ = 0;
    int lastSequence_ = -1;
    int64_t lastUtc_ = 0;
    std::vector<Gap> gaps_;
};
