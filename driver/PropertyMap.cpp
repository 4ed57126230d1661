#include "PropertyMap.h"

#include <algorithm>
#include <cctype>

std::string PropertyMap::toLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool PropertyMap::exists(const std::string& key) const { return values_.count(toLower(key)) != 0; }

bool PropertyMap::remove(const std::string& key) { return values_.erase(toLower(key)) != 0; }

std::vector<std::string> PropertyMap::keys() const {
    std::vector<std::string> result;
    result.reserve(values_.size());
    for (const auto& entry : values_) result.push_back(entry.first);
    return result;
}

void PropertyMap::setText(const std::string& key, const std::string& value) { values_[toLower(key)] = value; }

const std::string& PropertyMap::text(const std::string& key) const {
    auto it = values_.find(toLower(key));
    if (it == values_.end()) throw std::invalid_argument(key + " property not in the map");
    return it->second;
}

bool PropertyMap::parseBool(const std::string& key, const std::string& stored) {
    std::istringstream in(stored);
    std::string word;
    in >> word;
    word = toLower(word);
    if (word == "1" || word == "true") return true;
    if (word == "0" || word == "false") return false;
    // Other integers count like C++ does: non-zero is true.
    std::istringstream number(word);
    long long n = 0;
    if (number >> n) return n != 0;
    throw std::invalid_argument(key + " property is not a valid boolean: \"" + stored + "\"");
}
