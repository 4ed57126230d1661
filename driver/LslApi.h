#pragma once

#include <cstdint>
#include <string>
#include <vector>

// liblsl is loaded at run time, so everything still runs (without streams) where the library is missing.
// Only the C functions this program calls are declared here, by their names in liblsl's C interface.
extern "C" {
typedef struct lsl_streaminfo_struct_* lsl_streaminfo;
typedef struct lsl_outlet_struct_* lsl_outlet;
typedef struct lsl_inlet_struct_* lsl_inlet;
typedef struct lsl_xml_ptr_struct_* lsl_xml_ptr;
}

class LslApi {
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
    // Inlets and discovery.
    using ResolveAll = int (*)(lsl_streaminfo* buffer, unsigned buffer_elements, double wait_time);
    using GetText = const char* (*)(lsl_streaminfo info);
    using GetDouble = double (*)(lsl_streaminfo info);
    using GetInt = int (*)(lsl_streaminfo info);
    using GetInfo = lsl_streaminfo (*)(lsl_outlet out);
    using CreateInlet = lsl_inlet (*)(lsl_streaminfo info, int max_buflen, int max_chunklen, int recover);
    using DestroyInlet = void (*)(lsl_inlet in);
    using GetFullInfo = lsl_streaminfo (*)(lsl_inlet in, double timeout, std::int32_t* ec);
    using OpenStream = void (*)(lsl_inlet in, double timeout, std::int32_t* ec);
    using SetPostprocessing = std::int32_t (*)(lsl_inlet in, unsigned flags);
    using PullChunkF = unsigned long (*)(lsl_inlet in, float* data, double* stamps, unsigned long data_elements,
                                         unsigned long stamp_elements, double timeout, std::int32_t* ec);
    using PullChunkD = unsigned long (*)(lsl_inlet in, double* data, double* stamps, unsigned long data_elements,
                                         unsigned long stamp_elements, double timeout, std::int32_t* ec);
    using Child = lsl_xml_ptr (*)(lsl_xml_ptr e, const char* name);
    using FirstChild = lsl_xml_ptr (*)(lsl_xml_ptr e);
    using NextSiblingN = lsl_xml_ptr (*)(lsl_xml_ptr e, const char* name);
    using ChildValueN = const char* (*)(lsl_xml_ptr e, const char* name);
    using Empty = int (*)(lsl_xml_ptr e);

    // Channel formats and error codes of liblsl's C interface.
    static constexpr int cft_float32 = 1;
    static constexpr int cft_double64 = 2;
    static constexpr int cft_string = 3;
    static constexpr int cft_int32 = 4;
    static constexpr int cft_int16 = 5;
    static constexpr int cft_int8 = 6;
    static constexpr int cft_int64 = 7;
    static constexpr std::int32_t lsl_timeout_error = -1;
    static constexpr std::int32_t lsl_lost_error = -2;
    static constexpr unsigned proc_clocksync = 1;
    static constexpr unsigned proc_threadsafe = 8;

    // The process-wide library, loaded on first use from defaultCandidates().
    static LslApi& instance();
    // Where to look, in order: the file named by KVN_LSL_LIBRARY, the project's own copy, then the system's
    // library path ("lsl", a bare name, stands for liblsl.so found by the dynamic loader).
    static std::vector<std::string> defaultCandidates();

    explicit LslApi(const std::vector<std::string>& candidates);
    virtual ~LslApi();
    LslApi(const LslApi&) = delete;
    LslApi& operator=(const LslApi&) = delete;

    bool available() const { return available_; }
    // Why the library is unavailable (every place tried), or empty.
    const std::string& errorText() const { return error_; }
    // The file that was loaded.
    const std::string& loadedFile() const { return file_; }

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

    ResolveAll resolve_all = nullptr;
    GetText get_name = nullptr;
    GetText get_type = nullptr;
    GetText get_source_id = nullptr;
    GetText get_uid = nullptr;
    GetText get_hostname = nullptr;
    GetDouble get_nominal_srate = nullptr;
    GetInt get_channel_format = nullptr;
    GetInt get_version = nullptr;
    GetInfo get_info = nullptr;
    CreateInlet create_inlet = nullptr;
    DestroyInlet destroy_inlet = nullptr;
    GetFullInfo get_fullinfo = nullptr;
    OpenStream open_stream = nullptr;
    SetPostprocessing set_postprocessing = nullptr;
    PullChunkF pull_chunk_f = nullptr;
    PullChunkD pull_chunk_d = nullptr;
    Child child = nullptr;
    FirstChild first_child = nullptr;
    NextSiblingN next_sibling_n = nullptr;
    ChildValueN child_value_n = nullptr;
    Empty empty = nullptr;

private:
    bool resolveAll(void* handle);
    void clearFunctions();

    void* handle_ = nullptr;
    bool available_ = false;
    std::string error_;
    std::string file_;
};
