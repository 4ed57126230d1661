#include "Simulation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <sstream>

#include "SimDevice.h"

#include <nlohmann/json.hpp>

namespace {

constexpr double kMinScale = 1e-3;
constexpr double kMaxScale = 1e6;

struct Fleet {
    std::mutex mutex;
    std::atomic<double> scale{1.0};
    std::atomic<bool> dongle{true};
    std::atomic<std::uint64_t> seed{1};
    std::string sdRoot;
    std::map<std::string, sim::Faults> faults;
    std::map<std::string, std::shared_ptr<SimDevice>> devices;

    Fleet() { readEnvironmentLocked(); }

    void readEnvironmentLocked() {
        scale = 1.0;
        if (const char* text = std::getenv("KVN_SIM_TIME_SCALE"); text && *text) {
            char* end = nullptr;
            double value = std::strtod(text, &end);
            if (end && *end == '\0' && value >= kMinScale && value <= kMaxScale) scale = value;
            else std::cerr << "KVN_SIM_TIME_SCALE: \"" << text << "\" is not a number from 0.001 to 1e6; using 1"
                           << std::endl;
        }
        seed = 1;
        if (const char* text = std::getenv("KVN_SIM_SEED"); text && *text) {
            char* end = nullptr;
            unsigned long long value = std::strtoull(text, &end, 10);
            if (end && *end == '\0') seed = value;
            else std::cerr << "KVN_SIM_SEED: \"" << text << "\" is not an integer; using 1" << std::endl;
        }
        if (const char* text = std::getenv("KVN_SDCARD_DIR"); text && *text) {
            sdRoot = text;
        } else if (const char* home = std::getenv("HOME"); home && *home) {
            sdRoot = std::string(home) + "/.local/share/lumetra-viewer/sdcard";
        } else {
            sdRoot = "sdcard";
        }
        faults.clear();
        if (const char* path = std::getenv("KVN_SIM_FAULTS"); path && *path) {
            std::map<std::string, sim::Faults> loaded;
            std::string error;
            if (readFaultsFile(path, loaded, error)) faults = std::move(loaded);
            else std::cerr << "KVN_SIM_FAULTS: " << error << "; no faults are simulated" << std::endl;
        }
    }

    static bool readFaultsFile(const std::string& path, std::map<std::string, sim::Faults>& result,
                               std::string& error) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            error = "cannot read " + path;
            return false;
        }
        std::ostringstream text;
        text << in.rdbuf();
        if (!sim::parseFaults(text.str(), result, error)) {
            error = path + ": " + error;
            return false;
        }
        return true;
    }

    sim::Faults faultsOf(const std::string& name) const {
        auto it = faults.find(name);
        return it == faults.end() ? sim::Faults() : it->second;
    }

    std::shared_ptr<SimDevice> deviceLocked(const SimDeviceKind& kind) {
        auto& slot = devices[kind.name];
        if (!slot) slot = std::make_shared<SimDevice>(kind, seed.load(), faultsOf(kind.name));
        return slot;
    }
};

Fleet& fleet() {
    static Fleet instance;
    return instance;
}

using Json = nlohmann::json;

const Json* member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// Typed members of a faults entry.
class Reader {
public:
    Reader(const std::string& device, std::string& error) : device_(device), error_(error) {}

    bool number(const Json& v, const std::string& key, double& out) {
        if (!v.is_number()) return fail(key + " must be a number");
        out = v.get<double>();
        return true;
    }
    bool integer(const Json& v, const std::string& key, long& out, long low, long high) {
        const double d = v.is_number() ? v.get<double>() : 0.5;
        if (d != std::floor(d) || d < low || d > high)
            return fail(key + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high));
        out = static_cast<long>(d);
        return true;
    }
    bool boolean(const Json& v, const std::string& key, bool& out) {
        if (!v.is_boolean()) return fail(key + " must be true or false");
        out = v.get<bool>();
        return true;
    }
    bool countAndSeconds(const Json& v, const std::string& key, long& blocks, double& seconds) {
        if (!v.is_object()) return fail(key + " must be an object with after_blocks and seconds");
        for (const auto& item : v.items())
            if (item.key() != "after_blocks" && item.key() != "seconds")
                return fail(key + ": unknown key " + item.key());
        const auto* after = member(v, "after_blocks");
        const auto* secs = member(v, "seconds");
        if (!after || !secs) return fail(key + " needs after_blocks and seconds");
        if (!integer(*after, key + ".after_blocks", blocks, 0, std::numeric_limits<int>::max())) return false;
        if (!number(*secs, key + ".seconds", seconds)) return false;
        if (seconds < 0 || seconds > 86400) return fail(key + ".seconds must be from 0 to 86400");
        return true;
    }
    bool fail(const std::string& message) {
        error_ = device_ + ": " + message;
        return false;
    }

private:
    const std::string& device_;
    std::string& error_;
};

bool parseDeviceFaults(const std::string& name, const Json& entry, sim::Faults& f, std::string& error) {
    Reader r(name, error);
    if (!entry.is_object()) return r.fail("faults must be an object");
    for (const auto& item : entry.items()) {
        const std::string& key = item.key();
        const Json& v = item.value();
        long n = 0;
        if (key == "drop_link") {
            if (!r.countAndSeconds(v, key, f.dropAfterBlocks, f.dropSeconds)) return false;
        } else if (key == "gap") {
            if (!r.countAndSeconds(v, key, f.gapAfterBlocks, f.gapSeconds)) return false;
        } else if (key == "error_flag") {
            if (!v.is_object()) return r.fail("error_flag must be an object with block and flags");
            const auto* block = member(v, "block");
            const auto* flags = member(v, "flags");
            if (!block || !flags || v.size() != 2) return r.fail("error_flag needs exactly block and flags");
            if (!r.integer(*block, "error_flag.block", f.errorFlagBlock, 0, std::numeric_limits<int>::max()))
                return false;
            if (!r.integer(*flags, "error_flag.flags", n, 0, 65535)) return false;
            f.errorFlags = static_cast<std::uint16_t>(n);
        } else if (key == "stop_after_blocks") {
            if (!r.integer(v, key, f.stopAfterBlocks, 0, std::numeric_limits<int>::max())) return false;
        } else if (key == "sd_card_refused") {
            if (!r.boolean(v, key, f.sdCardRefused)) return false;
        } else if (key == "battery") {
            if (!r.integer(v, key, n, -2, 5)) return false;
            f.batterySet = true;
            f.battery = static_cast<std::int16_t>(n);
        } else if (key == "charging") {
            bool charging = false;
            if (!r.boolean(v, key, charging)) return false;
            if (charging) {
                f.batterySet = true;
                f.battery = -1;
            }
        } else if (key == "clock_offset_us") {
            if (!r.number(v, key, f.clockOffsetUs)) return false;
            if (std::abs(f.clockOffsetUs) > 2e9) return r.fail("clock_offset_us must be within +-2e9");
            f.clockOffsetSet = true;
        } else if (key == "clock_jitter_us") {
            if (!r.number(v, key, f.clockJitterUs)) return false;
            if (f.clockJitterUs < 0 || f.clockJitterUs > 1e8) return r.fail("clock_jitter_us must be from 0 to 1e8");
        } else if (key == "refuse_modes") {
            if (!v.is_object()) return r.fail("refuse_modes must map signal names to arrays of modes");
            for (const auto& entryOfSignal : v.items()) {
                const std::string& signal = entryOfSignal.key();
                const Json& modes = entryOfSignal.value();
                if (!modes.is_array()) return r.fail("refuse_modes." + signal + " must be an array of modes");
                auto& list = f.refusedModes[signal];
                for (const auto& m : modes) {
                    if (!r.integer(m, "refuse_modes." + signal, n, 0, 255)) return false;
                    list.push_back(static_cast<unsigned>(n));
                }
            }
        } else if (key == "unreachable") {
            if (!r.boolean(v, key, f.unreachable)) return false;
        } else if (key == "start_sequence") {
            if (!r.integer(v, key, f.startSequence, 0, 65535)) return false;
        } else if (key == "connect_seconds") {
            if (!r.number(v, key, f.connectSeconds)) return false;
            if (f.connectSeconds < 0 || f.connectSeconds > 60) return r.fail("connect_seconds must be from 0 to 60");
        } else {
            return r.fail("unknown key " + key);
        }
    }
    return true;
}

}  // namespace

namespace sim {

double timeScale() { return fleet().scale.load(); }

void setTimeScale(double scale) {
    if (std::isfinite(scale) && scale > 0) fleet().scale = std::clamp(scale, kMinScale, kMaxScale);
}

std::uint64_t seed() { return fleet().seed.load(); }

void setSeed(std::uint64_t value) {
    // Devices already made keep their character; new ones take the new seed.
    fleet().seed = value;
}

std::string sdCardRoot() {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    return f.sdRoot;
}

void setSdCardRoot(const std::string& folder) {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.sdRoot = folder;
}

std::string sdCardFolder(const std::string& deviceName) { return sdCardRoot() + "/" + deviceName; }

void setFaults(const std::string& deviceName, const Faults& faults) {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.faults[deviceName] = faults;
    auto it = f.devices.find(deviceName);
    if (it != f.devices.end()) it->second->setFaults(faults);
}

Faults faults(const std::string& deviceName) {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    return f.faultsOf(deviceName);
}

void clearFaults() {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.faults.clear();
    for (auto& entry : f.devices) entry.second->setFaults(Faults());
}

bool parseFaults(const std::string& json, std::map<std::string, Faults>& result, std::string& error) {
    Json doc;
    try {
        doc = Json::parse(json);
    } catch (const Json::exception& e) {  // syntax, and numbers beyond a double
        error = e.what();
        return false;
    }
    if (!doc.is_object()) {
        error = "the faults must be one object with a member per device name";
        return false;
    }
    std::map<std::string, Faults> parsed;
    for (const auto& item : doc.items()) {
        Faults faults;
        if (!parseDeviceFaults(item.key(), item.value(), faults, error)) return false;
        parsed[item.key()] = faults;
    }
    result = std::move(parsed);
    return true;
}

bool loadFaultsFile(const std::string& path, std::string& error) {
    std::map<std::string, Faults> loaded;
    if (!Fleet::readFaultsFile(path, loaded, error)) return false;
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.faults = std::move(loaded);
    for (auto& entry : f.devices) entry.second->setFaults(f.faultsOf(entry.first));
    return true;
}

bool donglePresent() { return fleet().dongle.load(); }

void setDonglePresent(bool present) {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    f.dongle = present;
    if (!present)
        for (auto& entry : f.devices) entry.second->dongleRemoved();
}

std::vector<std::string> deviceNames() {
    std::vector<std::string> names;
    for (const auto& kind : simFleetKinds()) names.push_back(kind.name);
    return names;
}

void reset() {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (auto& entry : f.devices) entry.second->shutdown();
    f.devices.clear();
    f.dongle = true;
    f.readEnvironmentLocked();
}

namespace detail {

std::shared_ptr<SimDevice> deviceByName(const std::string& name) {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (const auto& kind : simFleetKinds())
        if (kind.reach == "bluetooth" && kind.name == name) return f.deviceLocked(kind);
    return nullptr;
}

std::shared_ptr<SimDevice> deviceByPort(const std::string& port) {
    Fleet& f = fleet();
    std::lock_guard<std::mutex> lock(f.mutex);
    for (const auto& kind : simFleetKinds())
        if (kind.reach == "usb" && kind.port == port) return f.deviceLocked(kind);
    return nullptr;
}

std::vector<std::string> discover(const std::string& reach) {
    std::vector<std::string> found;
    std::vector<std::shared_ptr<SimDevice>> candidates;
    {
        Fleet& f = fleet();
        std::lock_guard<std::mutex> lock(f.mutex);
        for (const auto& kind : simFleetKinds())
            if (kind.reach == reach) candidates.push_back(f.deviceLocked(kind));
    }
    // A device that is switched off or out of reach does not answer the scan.
    for (const auto& device : candidates)
        if (device->reachable()) found.push_back(reach == "usb" ? device->kind().port : device->name());
    return found;
}

}  // namespace detail
}  // namespace sim
