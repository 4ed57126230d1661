#pragma once

#include <QString>
#include <cstdint>

// Texts of the status line: error flags, battery level, durations.
struct FlagMessage {
    QString title;
    QString shortMessage;
    QString longMessage;
};

// The message for a block's error flags; an empty title for flags 0.
FlagMessage flagMessage(uint16_t flags);
QString batteryText(int16_t level);
// "05 s", "01 m 05 s", "01 h 02 m 05 s".
QString formatDuration(qint64 seconds);
// "Unknown", "Dry", "Water", "Textile".
QString sensorTypeText(int sensorType);
