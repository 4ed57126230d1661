#include "SignalNames.h"

#include <cctype>
#include <unordered_map>

namespace {

struct Kind {
    const char* prefix;
    const char* text;
};

constexpr Kind KINDS[] = {
    {"EEG", "EEG"},       {"BVP", "BVP"},          {"GSR", "GSR"},    {"COM", "Aux"},    {"ANC", "Anchor"},
    {"IMU", "IMU"},       {"HAP", "Haptic"},       {"uSD", "SD card"}, {"FOT", "FOT"},   {"DIN", "Digital in"},
    {"DOU", "Digital out"},
};

std::string stemOf(const std::string& name) {
    std::string out;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (std::isalnum(u) && u < 0x80) || c == '-' || c == '_' ? c : '_';
    }
    if (out.empty())
        out = "signal";
    auto same = [&](const char* reserved) {
        std::string r(reserved);
        if (r.size() != out.size())
            return false;
        for (std::size_t i = 0; i < r.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(r[i])) != std::tolower(static_cast<unsigned char>(out[i])))
                return false;
        return true;
    };
    // These names belong to the record's own files.
    if (same("UTC") || same("signalsInfo"))
        out = "signal_" + out;
    return out;
}

}  // namespace

std::string decoder_output_type(const std::string& signalName) {
    for (const Kind& k : KINDS)
        if (signalName.compare(0, 3, k.prefix) == 0)
            return k.text;
    return signalName;
}

std::string niceNameAndSuffix(const std::string& device, const std::vector<KvnSignal>& signalList, std::size_t index) {
    (void)device;  // names depend on the signals only, so every record of a device type looks alike
    if (index >= signalList.size())
        return "signal" + std::to_string(index);
    const std::string stem = stemOf(signalList[index].name);
    int before = 0;
    int total = 0;
    for (std::size_t i = 0; i < signalList.size(); ++i) {
        if (stemOf(signalList[i].name) != stem)
            continue;
        ++total;
        if (i < index)
            ++before;
    }
    return total > 1 ? stem + "_" + std::to_string(before + 1) : stem;
}

std::vector<std::string> niceNamesAndSuffixes(const std::vector<KvnSignal>& signalList) {
    std::vector<std::string> stems;
    stems.reserve(signalList.size());
    std::unordered_map<std::string, std::pair<int, int>> seen;  // stem -> (total, given so far)
    for (const KvnSignal& s : signalList)
        ++seen[stems.emplace_back(stemOf(s.name))].first;
    for (std::string& stem : stems) {
        auto& [total, given] = seen[stem];
        if (total > 1)
            stem += "_" + std::to_string(++given);
    }
    return stems;
}
