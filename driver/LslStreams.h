#pragma once

#include <string>
#include <vector>

// Streams of the Lab Streaming Layer network as devices: what is on the network, which of it this program
// publishes itself (never offered back to it), and how a stream becomes a signal of a device.
struct LslStreamInfo {
    std::string name;
    std::string type;
    std::string sourceId;
    std::string uid;
    std::string hostname;
    int channels = 0;
    double rate = 0.0;  // samples per second; 0 for an irregular stream
    int format = 0;     // liblsl's channel format
};

namespace lslstreams {

// The most channels one signal may have: more cannot be shown on a screen and are refused with a message.
constexpr int maxChannels = 1024;

// The streams found on the network within `waitSeconds`, without this program's own outlets, sorted by name.
// Empty when liblsl is missing.
std::vector<LslStreamInfo> discover(double waitSeconds = 1.0);

// This program's outlets, by liblsl's unique stream id: kept out of discovery, so the program never reads
// its own streams back. Another instance of the program sees them as any other stream.
void addOwnStream(const std::string& uid);
void removeOwnStream(const std::string& uid);
bool isOwnStream(const std::string& uid);

// Why a stream cannot be a signal (irregular rate, no channels, too many, text), or empty when it can.
std::string refusal(const LslStreamInfo& stream);

// Signal name for an LSL content type: "EEG", "IMU" for motion sensors, "BVP", "GSR", "FOT" for optical
// (NIRS), "ECG"/"EMG"/"EOG" as they are, and "BIO" (a biosignal shown as such) for anything else.
std::string signalName(const std::string& type);

// Blocks per second for a device whose signals have these sampling rates: each block holds a whole number
// of samples of every signal, at about 16 blocks per second or more where the rates allow. `rates` must be
// positive; a rate that is not a whole number is taken alone (the others cannot share its blocks).
unsigned blockRate(const std::vector<double>& rates);

// Samples per block of a signal of `rate` at `blockRate` blocks per second (at least 1).
unsigned samplesPerBlock(double rate, unsigned blockRate);

}  // namespace lslstreams
