#pragma once

#include <QLibrary>
#include <QString>
#include <QStringList>
#include <memory>

// liblsl is loaded at run time, so the viewer still runs (without streaming) where the library is missing.
// Only the handful of C functions the outlets need are declared here.
extern "C" {
typedef struct lsl_streaminfo_struct_* lsl_streaminfo;
typedef struct lsl_outlet_struct_* lsl_outlet;
typedef struct lsl_xml_ptr_struct_* lsl_xml_ptr;
}

class LslLibrary {
public:
    using CreateStreamInfo = lsl_streaminfo (*)(const char* name, const char* type, int channel_count,
                                                double nominal_srate, int channel_format, const char* source_id);
    using GetChannelCount = int (*)(lsl_streaminfo info);
    using CreateOutlet = lsl_outlet (*)(lsl_streaminfo info, int chunk_size, int max_buffered);
    using DestroyStreamInfo = void (*)(lsl_streaminfo info);
    using PushSampleFtp = int (*)(lsl_outlet out, const float* data, double timestamp, int pushthrough);
    using DestroyOutlet = void (*)(lsl_outlet out);
    using LibraryVersion = int (*)();
    using LocalClock = double (*)();
    using GetDesc = lsl_xml_ptr (*)(lsl_streaminfo info);
    using AppendChild = lsl_xml_ptr (*)(lsl_xml_ptr e, const char* name);
    using AppendChildValue = lsl_xml_ptr (*)(lsl_xml_ptr e, const char* name, const char* value);

    static constexpr int cft_float32 = 1;

    // The process-wide library, loaded on first use from defaultCandidates().
    static LslLibrary& instance();

    // Where to look, in order: the file named by KVN_LSL_LIBRARY, the project's own copy, then the system's
    // library path.
    static QStringList defaultCandidates();

    explicit LslLibrary(const QStringList& candidates);
    LslLibrary(const LslLibrary&) = delete;
    LslLibrary& operator=(const LslLibrary&) = delete;

    bool available() const { return available_; }
    // Why the library is unavailable (every place tried), or the file that was loaded.
    QString error() const { return error_; }
    QString fileName() const { return fileName_; }

    CreateStreamInfo create_streaminfo = nullptr;
    GetChannelCount get_channel_count = nullptr;
    CreateOutlet create_outlet = nullptr;
    DestroyStreamInfo destroy_streaminfo = nullptr;
    PushSampleFtp push_sample_ftp = nullptr;
    DestroyOutlet destroy_outlet = nullptr;
    LibraryVersion library_version = nullptr;
    LocalClock local_clock = nullptr;
    GetDesc get_desc = nullptr;
    AppendChild append_child = nullptr;
    AppendChildValue append_child_value = nullptr;

private:
    bool resolveAll(QLibrary& lib);
    void clearFunctions();

    std::unique_ptr<QLibrary> lib_;
    bool available_ = false;
    QString error_;
    QString fileName_;
};
