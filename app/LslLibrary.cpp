#include "LslLibrary.h"

#include <QDir>

#ifndef KVN_LSL_PROJECT_DIR
#define KVN_LSL_PROJECT_DIR ""
#endif

LslLibrary& LslLibrary::instance()
{
    static LslLibrary library(defaultCandidates());
    return library;
}

QStringList LslLibrary::defaultCandidates()
{
    QStringList candidates;
    const QString fromEnv = qEnvironmentVariable("KVN_LSL_LIBRARY");
    if (!fromEnv.isEmpty()) candidates << fromEnv;
    const QString projectDir = QStringLiteral(KVN_LSL_PROJECT_DIR);
    if (!projectDir.isEmpty()) candidates << QDir(projectDir).filePath(QStringLiteral("liblsl.so"));
    // A bare name lets the dynamic loader search the system's library path.
    candidates << QStringLiteral("lsl");
    return candidates;
}

LslLibrary::LslLibrary(const QStringList& candidates)
{
    QStringList failures;
    for (const QString& candidate : candidates) {
        auto lib = std::make_unique<QLibrary>(candidate);
        if (!lib->load()) {
            failures << lib->errorString();
            continue;
        }
        if (!resolveAll(*lib)) {
            failures << QStringLiteral("%1: not a usable liblsl (%2)").arg(candidate, lib->errorString());
            clearFunctions();
            lib->unload();
            continue;
        }
        fileName_ = lib->fileName();
        lib_ = std::move(lib);
        available_ = true;
        error_.clear();
        return;
    }
    error_ = failures.isEmpty() ? QStringLiteral("no place to look for liblsl") : failures.join(QStringLiteral("; "));
}

void LslLibrary::clearFunctions()
{
    create_streaminfo = nullptr;
    get_channel_count = nullptr;
    create_outlet = nullptr;
    destroy_streaminfo = nullptr;
    push_sample_ftp = nullptr;
    destroy_outlet = nullptr;
    library_version = nullptr;
    local_clock = nullptr;
    get_desc = nullptr;
    append_child = nullptr;
    append_child_value = nullptr;
}

bool LslLibrary::resolveAll(QLibrary& lib)
{
    create_streaminfo = reinterpret_cast<CreateStreamInfo>(lib.resolve("lsl_create_streaminfo"));
    get_channel_count = reinterpret_cast<GetChannelCount>(lib.resolve("lsl_get_channel_count"));
    create_outlet = reinterpret_cast<CreateOutlet>(lib.resolve("lsl_create_outlet"));
    destroy_streaminfo = reinterpret_cast<DestroyStreamInfo>(lib.resolve("lsl_destroy_streaminfo"));
    push_sample_ftp = reinterpret_cast<PushSampleFtp>(lib.resolve("lsl_push_sample_ftp"));
    destroy_outlet = reinterpret_cast<DestroyOutlet>(lib.resolve("lsl_destroy_outlet"));
    library_version = reinterpret_cast<LibraryVersion>(lib.resolve("lsl_library_version"));
    local_clock = reinterpret_cast<LocalClock>(lib.resolve("lsl_local_clock"));
    get_desc = reinterpret_cast<GetDesc>(lib.resolve("lsl_get_desc"));
    append_child = reinterpret_cast<AppendChild>(lib.resolve("lsl_append_child"));
    append_child_value = reinterpret_cast<AppendChildValue>(lib.resolve("lsl_append_child_value"));
    return create_streaminfo && get_channel_count && create_outlet && destroy_streaminfo && push_sample_ftp &&
           destroy_outlet && library_version && local_clock && get_desc && append_child && append_child_value;
}
