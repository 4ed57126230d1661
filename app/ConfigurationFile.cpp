#include "ConfigurationFile.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#define KVN_POSIX_READ 1
#endif

namespace configfile {

bool readBounded(const std::string& path, std::string& text)
{
    text.clear();
#ifdef KVN_POSIX_READ
    // Opened without blocking: a pipe with no writer would otherwise hold the caller forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(fd);
        return false;
    }
    // Blocking reads from here on: a pipe with a writer delivers everything, one without ends at once.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    char buffer[64 * 1024];
    bool ok = true;
    while (text.size() <= kMaxBytes) {
        const std::size_t want = std::min(sizeof buffer, kMaxBytes + 1 - text.size());
        const ssize_t got = ::read(fd, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        text.append(buffer, std::size_t(got));
    }
    ::close(fd);
    if (!ok) text.clear();
    return ok;
#else
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    char buffer[64 * 1024];
    while (text.size() <= kMaxBytes && in) {
        in.read(buffer, std::streamsize(std::min(sizeof buffer, kMaxBytes + 1 - text.size())));
        text.append(buffer, std::size_t(in.gcount()));
    }
    return !in.bad();
#endif
}

int nestingDepth(const std::string& text)
{
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '{' || c == '[')
            deepest = std::max(deepest, ++depth);
        else if ((c == '}' || c == ']') && depth > 0)
            --depth;
    }
    return deepest;
}

nlohmann::json parse(const std::string& text)
{
    if (text.size() > kMaxBytes)
        throw Refused("the file is larger than " + std::to_string(kMaxBytes / (1024 * 1024)) + " MiB");
    if (nestingDepth(text) > kMaxDepth)
        throw Refused("the file nests objects or arrays more than " + std::to_string(kMaxDepth) + " deep");
    return nlohmann::json::parse(text);
}

PropertyMap toPropertyMap(const nlohmann::json& properties)
{
    PropertyMap map;
    if (!properties.is_object()) return map;
    for (const auto& item : properties.items()) {
        const nlohmann::json& v = item.value();
        if (v.is_string())
            map.set(item.key(), v.get<std::string>());
        else if (v.is_boolean())
            map.set(item.key(), v.get<bool>());
        else
            map.set(item.key(), v.dump());
    }
    return map;
}

}  // namespace configfile
