#pragma once

#include <QString>
#include <QtGlobal>

// "Record length: " followed by the non-zero parts of `seconds`, each with its unit and a trailing blank
// ("1 hours 5 seconds "); a record shorter than a second reads "Record length: " alone.
QString recordLengthText(qint64 seconds);
