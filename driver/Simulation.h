#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Control of the simulated devices that every connection reaches.
//
// Defaults come from the environment, read at first use and again by sim::reset():
//   KVN_SDCARD_DIR      the folder standing for the SD cards (each device's card is the sub-folder named after
//                       the device); default "$HOME/.local/share/lumetra-viewer/sdcard".
//   KVN_SIM_FAULTS      a JSON file of faults per device name (format below). A malformed file is reported on
//                       standard error and ignored.
//   KVN_SIM_TIME_SCALE  a number from 0.001 to 1e6: 10 runs the devices ten times faster than real time
//                       (pacing, fault durations and read time-outs are all in simulated time).
//   KVN_SIM_SEED        an integer seed; the same seed gives the same sample values.
// The functions below override them for the running process and are safe to call from any thread.
//
// Faults file: one object per device name; every key is optional.
//   {
//     "KVN-A32-0412L": {
//       "drop_link":   {"after_blocks": 100, "seconds": 2.0},  // link lost once, unreachable for 2 s
//       "gap":         {"after_blocks": 50,  "seconds": 1.0},  // once, no block reaches the reader for 1 s
//       "error_flag":  {"block": 10, "flags": 2},               // block 10 of every run carries these flags
//       "stop_after_blocks": 200,                                // once, the device stops by itself
//       "sd_card_refused": true,                                 // the SD card cannot be enabled
//       "battery": 3,                                            // level 0..5, -1 charging, -2 unknown
//       "charging": true,                                        // same as "battery": -1
//       "clock_offset_us": 250000,                               // device clock - host clock
//       "clock_jitter_us": 50,                                   // random variation of each exchange
//       "refuse_modes": {"COM": [3, 4], "EEG": [0]},            // modes a signal refuses (by name)
//       "unreachable": true,                                     // never found, never connects
//       "start_sequence": 65500,                                 // first sequence number of every run
//       "connect_seconds": 2.0                                   // each connect attempt takes this long
//     }
//   }
// Block numbers count the blocks of the current run from 0. A lost or closed link does not stop a device: it
// goes on acquiring (and recording to its card) and the blocks it sent while nobody listened are lost (those
// sent before the link was lost still reach the reader, however late it reads them); only
// Driver::stop, Driver::disconnectDevice(true), FirmwareProtocol::stop or "stop_after_blocks" stop it.
// A device's first sequence number is 0 at every start. Devices on USB report Battery::CHARGING.
namespace sim {

struct Faults {
    long dropAfterBlocks = -1;     // < 0: never
    double dropSeconds = 0.0;
    long gapAfterBlocks = -1;      // < 0: never
    double gapSeconds = 0.0;
    long errorFlagBlock = -1;      // < 0: never
    std::uint16_t errorFlags = 0;
    long stopAfterBlocks = -1;     // < 0: never
    bool sdCardRefused = false;
    bool batterySet = false;       // when false the device reports its own level
    std::int16_t battery = 5;
    bool clockOffsetSet = false;   // when false the device's clock has an offset of its own
    double clockOffsetUs = 0.0;
    double clockJitterUs = 0.0;
    std::map<std::string, std::vector<unsigned>> refusedModes;  // signal name -> refused modes
    bool unreachable = false;
    long startSequence = -1;       // < 0: 0
    double connectSeconds = 0.0;   // how long one connect attempt takes, as a far-off radio link does
    // How much a slow reader may fall behind before the oldest blocks are lost; <= 0: the radio's 2 s.
    double bufferSeconds = 0.0;
};

double timeScale();
void setTimeScale(double scale);  // ignored unless > 0; kept within 0.001 .. 1e6
std::uint64_t seed();
void setSeed(std::uint64_t seed);
std::string sdCardRoot();
void setSdCardRoot(const std::string& folder);
// The folder standing for one device's SD card.
std::string sdCardFolder(const std::string& deviceName);

// Replaces the faults of one device (also of a device already in use: one-shot faults are armed again).
void setFaults(const std::string& deviceName, const Faults& faults);
Faults faults(const std::string& deviceName);
void clearFaults();
// Replaces all faults by those of a JSON file; false (and the faults unchanged) when it cannot be read or
// parsed, with the reason in `error`.
bool loadFaultsFile(const std::string& path, std::string& error);
bool parseFaults(const std::string& json, std::map<std::string, Faults>& result, std::string& error);

// The BLE dongle that "ble" links need; plugged in by default. Unplugging it drops every "ble" link.
bool donglePresent();
void setDonglePresent(bool present);

// Names of the fleet, in table order.
std::vector<std::string> deviceNames();

// Forgets every device's state (modes, names, runs, consumed faults) and every override, and reads the
// environment again. Links open at that moment are lost.
void reset();

}  // namespace sim
