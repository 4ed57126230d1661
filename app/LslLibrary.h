#pragma once

#include <QString>
#include <QStringList>

#include "LslApi.h"

// The device library's liblsl loader, seen with Qt's strings: the outlets and the LSL devices share one set of
// declared functions.
class LslLibrary : public LslApi {
public:
    // The process-wide library, loaded on first use from defaultCandidates().
    static LslLibrary& instance();

    // Where to look, in order: the file named by KVN_LSL_LIBRARY, the project's own copy, then the system's
    // library path.
    static QStringList defaultCandidates();

    explicit LslLibrary(const QStringList& candidates);

    // Why the library is unavailable (every place tried).
    QString error() const { return QString::fromStdString(errorText()); }
    QString fileName() const { return QString::fromStdString(loadedFile()); }
};
