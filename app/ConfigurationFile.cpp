#include "ConfigurationFile.h"

namespace configfile {

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
