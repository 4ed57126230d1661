#pragma once

#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

// The description of a connection: keys without regard to case, values kept as text.
//
// A typed store writes the value's stream text (integers in decimal, booleans as "0"/"1", texts unchanged);
// a typed read parses the stored text by stream extraction, so reading a std::string yields its first
// whitespace-delimited word (use text() for the whole value). Reading a missing key throws
// std::invalid_argument(key + " property not in the map"); a value that does not parse as the asked type
// throws std::invalid_argument too, naming the key.
class PropertyMap {
public:
    PropertyMap() = default;

    static std::string toLower(std::string text);

    bool exists(const std::string& key) const;
    bool empty() const { return values_.empty(); }
    std::size_t size() const { return values_.size(); }
    void clear() { values_.clear(); }
    bool remove(const std::string& key);
    std::vector<std::string> keys() const;  // lower-cased, sorted

    // Stores the value's stream text, replacing an existing value.
    template <typename T>
    void set(const std::string& key, const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            setText(key, value ? "1" : "0");
        } else if constexpr (std::is_convertible_v<T, std::string>) {
            setText(key, std::string(value));
        } else {
            std::ostringstream out;
            out << value;
            setText(key, out.str());
        }
    }
    void setText(const std::string& key, const std::string& value);

    // Parses the stored text as T by stream extraction.
    template <typename T>
    T get(const std::string& key) const {
        T value{};
        get(key, value);
        return value;
    }
    template <typename T>
    void get(const std::string& key, T& value) const {
        const std::string& stored = text(key);
        if constexpr (std::is_same_v<T, std::string>) {
            std::istringstream in(stored);
            value.clear();
            in >> value;
        } else if constexpr (std::is_same_v<T, bool>) {
            value = parseBool(key, stored);
        } else {
            std::istringstream in(stored);
            T parsed{};
            if (!(in >> parsed)) throw std::invalid_argument(key + " property is not a valid value: \"" + stored + "\"");
            value = parsed;
        }
    }
    // The typed read, or `fallback` when the key is absent (a malformed value still throws).
    template <typename T>
    T getOr(const std::string& key, const T& fallback) const {
        return exists(key) ? get<T>(key) : fallback;
    }
    std::string getOr(const std::string& key, const char* fallback) const {
        return exists(key) ? get<std::string>(key) : std::string(fallback);
    }

    // The whole stored text of a key; throws like get() when it is missing.
    const std::string& text(const std::string& key) const;

    bool operator==(const PropertyMap& other) const { return values_ == other.values_; }
    bool operator!=(const PropertyMap& other) const { return !(*this == other); }

private:
    static bool parseBool(const std::string& key, const std::string& stored);

    std::map<std::string, std::string> values_;
};
