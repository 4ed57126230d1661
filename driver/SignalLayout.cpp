#include "SignalLayout.h"

namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

}  // namespace

SignalKind signalKind(const std::string& name) {
    static const struct {
        const char* prefix;
        SignalKind kind;
    } kinds[] = {{"EEG", SignalKind::Eeg},     {"COM", SignalKind::Aux},    {"ANC", SignalKind::Anchor},
                 {"uSD", SignalKind::SdCard},  {"HAP", SignalKind::Haptic}, {"IMU", SignalKind::Imu},
                 {"BVP", SignalKind::Bvp},     {"GSR", SignalKind::Gsr},    {"FOT", SignalKind::Fot},
                 {"DIN", SignalKind::Digital},
                 {"DOUT", SignalKind::Digital}};
    for (const auto& k : kinds)
        if (startsWith(name, k.prefix))
            return k.kind;
    return SignalKind::Other;
}

bool isSdCard(const std::string& name) { return name == "uSD"; }

bool inBlock(const std::string& name, unsigned mode) { return mode != 0 && !isSdCard(name); }

unsigned samplingRate(const std::string& name, unsigned samples, unsigned blockRate) {
    return signalKind(name) == SignalKind::Aux ? blockRate : samples * blockRate;
}

const char* unitSymbol(ChannelUnit unit) {
    switch (unit) {
    case ChannelUnit::Microvolt: return "uV";
    case ChannelUnit::Arbitrary: return "a.u.";
    case ChannelUnit::Microsiemens: return "uS";
    case ChannelUnit::Acceleration: return "m/s2";
    case ChannelUnit::AngularRate: return "deg/s";
    case ChannelUnit::Microtesla: return "uT";
    case ChannelUnit::Metre: return "m";
    case ChannelUnit::Volt: return "V";
    case ChannelUnit::None: break;
    }
    return "";
}

ChannelUnit SignalSlot::unit(unsigned column) const {
    static const ChannelUnit inertial[] = {ChannelUnit::Acceleration, ChannelUnit::AngularRate,
                                           ChannelUnit::Microtesla};
    switch (kind) {
    case SignalKind::Eeg: return ChannelUnit::Microvolt;
    case SignalKind::Bvp: return ChannelUnit::Arbitrary;  // the optical sensor's raw units
    case SignalKind::Gsr: return ChannelUnit::Microsiemens;
    case SignalKind::Aux:
    case SignalKind::Imu: return column < 9 ? inertial[column / 3] : ChannelUnit::None;
    case SignalKind::Anchor: return column == 0 ? ChannelUnit::Metre : column == 1 ? ChannelUnit::Volt : ChannelUnit::None;
    case SignalKind::Digital: return ChannelUnit::Volt;
    default: return ChannelUnit::None;
    }
}

SignalLayout::SignalLayout(const std::vector<KvnSignal>& signalList) {
    slots_.reserve(signalList.size());
    for (std::size_t i = 0; i < signalList.size(); ++i) {
        const KvnSignal& s = signalList[i];
        SignalSlot slot;
        slot.index = i;
        slot.name = s.name;
        slot.kind = signalKind(s.name);
        slot.channels = s.channels;
        slot.samples = s.samples;
        slot.mode = s.mode;
        slot.present = inBlock(s);
        slot.offset = blockSize_;
        blockSize_ += slot.size();
        slots_.push_back(std::move(slot));
    }
}

std::vector<KvnSignal> SignalLayout::present() const {
    std::vector<KvnSignal> out;
    for (const SignalSlot& s : slots_)
        if (s.present)
            out.push_back(s.signal());
    return out;
}

const SignalSlot* SignalLayout::find(SignalKind kind) const {
    for (const SignalSlot& s : slots_)
        if (s.kind == kind)
            return &s;
    return nullptr;
}

const SignalSlot* SignalLayout::find(const std::string& name) const {
    for (const SignalSlot& s : slots_)
        if (s.name == name)
            return &s;
    return nullptr;
}

const char* SignalLayout::imuAxis(unsigned column) {
    static const char* const axes[9] = {"AccX", "AccY", "AccZ", "GyroX", "GyroY", "GyroZ", "MagX", "MagY", "MagZ"};
    return column < 9 ? axes[column] : "";
}
