#include "LslApi.h"

#include <cstdlib>
#include <dlfcn.h>

#ifndef KVN_LSL_PROJECT_DIR
#define KVN_LSL_PROJECT_DIR ""
#endif

LslApi& LslApi::instance() {
    static LslApi library(defaultCandidates());
    return library;
}

std::vector<std::string> LslApi::defaultCandidates() {
    std::vector<std::string> candidates;
    if (const char* fromEnv = std::getenv("KVN_LSL_LIBRARY"); fromEnv && *fromEnv) candidates.emplace_back(fromEnv);
    const std::string projectDir = KVN_LSL_PROJECT_DIR;
    if (!projectDir.empty()) candidates.push_back(projectDir + "/liblsl.so");
    candidates.emplace_back("lsl");
    return candidates;
}

LslApi::LslApi(const std::vector<std::string>& candidates) {
    std::string failures;
    auto fail = [&failures](const std::string& text) {
        if (!failures.empty()) failures += "; ";
        failures += text;
    };
    for (const std::string& candidate : candidates) {
        // A bare name is a library name for the dynamic loader's own search.
        const std::string file = candidate.find('/') == std::string::npos && candidate.find(".so") == std::string::npos
                                     ? "lib" + candidate + ".so"
                                     : candidate;
        void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* why = dlerror();
            fail(why ? std::string(why) : "cannot load " + file);
            continue;
        }
        if (!resolveAll(handle)) {
            fail(file + ": not a usable liblsl");
            clearFunctions();
            dlclose(handle);
            continue;
        }
        handle_ = handle;
        file_ = file;
        available_ = true;
        return;
    }
    error_ = failures.empty() ? "no place to look for liblsl" : failures;
}

// The library stays loaded: liblsl's own threads may outlive the last object that used it.
LslApi::~LslApi() = default;

void LslApi::clearFunctions() {
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
    resolve_all = nullptr;
    get_name = nullptr;
    get_type = nullptr;
    get_source_id = nullptr;
    get_uid = nullptr;
    get_hostname = nullptr;
    get_nominal_srate = nullptr;
    get_channel_format = nullptr;
    get_version = nullptr;
    get_info = nullptr;
    create_inlet = nullptr;
    destroy_inlet = nullptr;
    get_fullinfo = nullptr;
    open_stream = nullptr;
    set_postprocessing = nullptr;
    pull_chunk_f = nullptr;
    pull_chunk_d = nullptr;
    child = nullptr;
    first_child = nullptr;
    next_sibling_n = nullptr;
    child_value_n = nullptr;
    empty = nullptr;
}

namespace {
template <typename F>
bool bind(void* handle, F& target, const char* name) {
    target = reinterpret_cast<F>(dlsym(handle, name));
    return target != nullptr;
}
}  // namespace

bool LslApi::resolveAll(void* h) {
    bool ok = true;
    ok &= bind(h, create_streaminfo, "lsl_create_streaminfo");
    ok &= bind(h, get_channel_count, "lsl_get_channel_count");
    ok &= bind(h, create_outlet, "lsl_create_outlet");
    ok &= bind(h, destroy_streaminfo, "lsl_destroy_streaminfo");
    ok &= bind(h, push_sample_ftp, "lsl_push_sample_ftp");
    ok &= bind(h, destroy_outlet, "lsl_destroy_outlet");
    ok &= bind(h, library_version, "lsl_library_version");
    ok &= bind(h, local_clock, "lsl_local_clock");
    ok &= bind(h, get_desc, "lsl_get_desc");
    ok &= bind(h, append_child, "lsl_append_child");
    ok &= bind(h, append_child_value, "lsl_append_child_value");
    ok &= bind(h, resolve_all, "lsl_resolve_all");
    ok &= bind(h, get_name, "lsl_get_name");
    ok &= bind(h, get_type, "lsl_get_type");
    ok &= bind(h, get_source_id, "lsl_get_source_id");
    ok &= bind(h, get_uid, "lsl_get_uid");
    ok &= bind(h, get_hostname, "lsl_get_hostname");
    ok &= bind(h, get_nominal_srate, "lsl_get_nominal_srate");
    ok &= bind(h, get_channel_format, "lsl_get_channel_format");
    ok &= bind(h, get_version, "lsl_get_version");
    ok &= bind(h, get_info, "lsl_get_info");
    ok &= bind(h, create_inlet, "lsl_create_inlet");
    ok &= bind(h, destroy_inlet, "lsl_destroy_inlet");
    ok &= bind(h, get_fullinfo, "lsl_get_fullinfo");
    ok &= bind(h, open_stream, "lsl_open_stream");
    ok &= bind(h, set_postprocessing, "lsl_set_postprocessing");
    ok &= bind(h, pull_chunk_f, "lsl_pull_chunk_f");
    ok &= bind(h, pull_chunk_d, "lsl_pull_chunk_d");
    ok &= bind(h, child, "lsl_child");
    ok &= bind(h, first_child, "lsl_first_child");
    ok &= bind(h, next_sibling_n, "lsl_next_sibling_n");
    ok &= bind(h, child_value_n, "lsl_child_value_n");
    ok &= bind(h, empty, "lsl_empty");
    return ok;
}
