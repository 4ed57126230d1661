#include "LslLibrary.h"

#include <QFile>

namespace {
std::vector<std::string> toStd(const QStringList& list)
{
    std::vector<std::string> out;
    for (const QString& s : list) out.push_back(QFile::encodeName(s).toStdString());
    return out;
}
}  // namespace

LslLibrary& LslLibrary::instance()
{
    static LslLibrary library(defaultCandidates());
    return library;
}

QStringList LslLibrary::defaultCandidates()
{
    QStringList candidates;
    for (const std::string& c : LslApi::defaultCandidates()) candidates << QFile::decodeName(c.c_str());
    return candidates;
}

LslLibrary::LslLibrary(const QStringList& candidates) : LslApi(toStd(candidates)) {}
