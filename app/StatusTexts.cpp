#include "StatusTexts.h"

#include "Battery.h"

#include <QCoreApplication>

namespace {
QString tr(const char* text)
{
    return QCoreApplication::translate("MainWindow", text);
}
}  // namespace

FlagMessage flagMessage(uint16_t flags)
{
    const QString sd = tr("SD card error");
    const QString still = tr("The adquisition is still working, but no recording will take place.");
    switch (flags) {
    case 0: return {};
    case 1: return {sd, tr("Adquisiton error: SD card removed"), tr("The SD card was removed. ") + still};
    case 2:
        return {sd, tr("Adquisiton error: SD card access error"),
                tr("The SD card is not working correctly. Check that it is correctly inserted and working. ") + still};
    case 3:
        return {sd, tr("Adquisiton error: SD card folder error"),
                tr("The SD card is not working correctly. The folder configured is not valid. ") + still};
    case 4:
        return {sd, tr("Adquisiton error: SD card time error"),
                tr("The SD card is not working correctly. The time set is not correct. ") + still};
    case 5:
        return {sd, tr("Adquisiton error: SD card file creation error"),
                tr("The SD card is not working correctly. The file cannot be created. ") + still};
    case 6:
        return {sd, tr("Adquisiton error: SD card write error"),
                tr("Unable to write to te SD card. Verify that there is enough space. ") + still};
    case 7:
        return {tr("EEG 64 error"), tr("Adquisiton error: Data not synchronized"),
                tr("Waiting for data to be sinchronized")};
    default: break;
    }
    if (flags & 0x0008)
        return {tr("Biosensing error"), tr("Adquisiton error: COM port communication error"),
                tr("Communication from biosensing to external sensor failed")};
    if (flags & 0x0100)
        return {tr("Halvo error"), tr("Adquisiton error: Anchor configuration error"),
                tr("The anchors are not well configured. Halvo will not work properly")};
    return {tr("Undefined Error"), tr("Adquisiton error"), tr("Something went wrong during acquisition.")};
}

QString batteryText(int16_t level)
{
    if (level == Battery::CHARGING) return tr("Battery: charging");
    if (level == Battery::UNKNOWN) return tr("Battery: ? %");
    if (level == 5) return tr("Battery: 100%");
    return tr("Battery: ") + QString::number(20 * level) + " - " + QString::number(20 * level + 20) + " %";
}

QString formatDuration(qint64 seconds)
{
    const qint64 h = seconds / 3600;
    const qint64 m = (seconds - 3600 * h) / 60;
    const qint64 s = seconds - 3600 * h - 60 * m;
    auto two = [](qint64 v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    if (h > 0) return QStringLiteral("%1 h %2 m %3 s").arg(two(h), two(m), two(s));
    if (m > 0) return QStringLiteral("%1 m %2 s").arg(two(m), two(s));
    return QStringLiteral("%1 s").arg(two(s));
}

QString sensorTypeText(int sensorType)
{
    switch (sensorType) {
    case 1: return tr("Dry");
    case 2: return tr("Water");
    case 3: return tr("Textile");
    default: return tr("Unknown");
    }
}
