#pragma once

#include "PropertyMap.h"

#include <nlohmann/json.hpp>
#include <string>

// Reading a configuration file safely: size and nesting are bounded before the parser sees the text, so a
// huge or pathological file is refused with a message instead of exhausting memory or the stack.
namespace configfile {

constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;
constexpr int kMaxDepth = 64;

// Thrown for a file that is too large or nested too deeply; its text reaches the user.
struct Refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads at most kMaxBytes + 1 bytes of the file into `text` (one byte more than allowed is enough to refuse a
// file that is too large without reading all of it). False when it cannot be opened or read, or is a folder. A
// named pipe nobody writes to reads as empty instead of blocking.
bool readBounded(const std::string& path, std::string& text);
// Deepest nesting of objects and arrays in `text`, brackets inside strings ignored.
int nestingDepth(const std::string& text);
// Parses `text` as one JSON document; throws nlohmann's parse errors and Refused.
nlohmann::json parse(const std::string& text);
// Connection properties: strings as text, booleans as booleans, anything else as its compact JSON text.
PropertyMap toPropertyMap(const nlohmann::json& properties);

}  // namespace configfile
