#include "RecordTexts.h"

#include <QCoreApplication>

QString recordLengthText(qint64 seconds)
{
    // A negative length (a live device's -1) has no parts worth showing.
    if (seconds < 0) seconds = 0;
    const qint64 hours = seconds / 3600;
    const qint64 minutes = (seconds % 3600) / 60;
    const qint64 rest = seconds % 60;
    QString text = QCoreApplication::translate("Records", "Record length: ");
    if (hours > 0) text += QString::number(hours) + QCoreApplication::translate("Records", " hours ");
    if (minutes > 0) text += QString::number(minutes) + QCoreApplication::translate("Records", " minutes ");
    if (rest > 0) text += QString::number(rest) + QCoreApplication::translate("Records", " seconds ");
    return text;
}
