#pragma once

// Other programs on the machine (other test runs among them) publish streams of the same simulated devices: a
// test that resolves streams by name joins an LSL session of its own, which its consumers inherit, so it only
// ever sees its own streams. Call before anything uses liblsl.

#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

inline bool useOwnLslSession()
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("lsl_api.cfg"));
    QFile cfg(path);
    if (!cfg.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    cfg.write(QStringLiteral("[lab]\nSessionID = kvntest%1\n").arg(QCoreApplication::applicationPid()).toUtf8());
    cfg.close();
    return qputenv("LSLAPICFG", QFile::encodeName(path));
}
