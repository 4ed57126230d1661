#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

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
