#pragma once

#include "DataBlock.h"
#include "KvnSignal.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One block of a played-back record.
struct Frame {
    // One block per recorded signal, in the description's order: one row per sample, one column per channel.
    std::vector<DataBlock> blocks;
    uint16_t sequence = 0;
    uint16_t flags = 0;
    int16_t battery = 0;
    int64_t timestamp = 0;  // monotonic microseconds; 0 when the record has none
    int64_t utc = 0;        // UTC microseconds; 0 when the record has none

    static constexpr uint16_t END_FLAGS = 65535;
    bool isEnd() const { return flags == END_FLAGS; }
};

// Reads a folder written by CsvWriter. Playback ends at the last block that every file holds completely, so a
// record cut short (torn last line, one file behind the others) plays back up to its last whole block. Damage
// in the middle (a broken line, a stretch of zeros) costs only the blocks it touches: reading finds the next
// whole block behind it by the rows' sample numbers, and error() says which bytes and blocks were lost, or where
// playback stopped. Sizes in the description are held against RecordLimits.h before anything is built from
// them, and only regular files are opened. One reader is used by one thread at a time.
class CsvReader {
public:
    CsvReader();
    ~CsvReader();
    CsvReader(const CsvReader&) = delete;
    CsvReader& operator=(const CsvReader&) = delete;

    // Reads the description and finds how many whole blocks the record holds; positions at the first block.
    // False, with error() saying why, when the folder holds no readable description, the description claims
    // what no device has, or a data file is missing, is no regular file or disagrees with the description; the
    // reader is then closed. Opening closes what was open before. folder() keeps the folder
    // given even when opening fails.
    bool open(const std::string& folder);
    void close();
    bool isOpen() const { return open_; }
    const std::string& error() const { return error_; }

    const std::string& folder() const { return folder_; }
    const std::string& deviceName() const { return device_; }
    int sensorType() const { return sensorType_; }
    unsigned blockRate() const { return blockRate_; }
    bool hasUtc() const { return utcFile_ != nullptr; }
    int64_t totalBlocks() const { return totalBlocks_; }
    // Whole seconds of record (0 when the block rate is 0).
    int64_t duration() const;

    // The recorded signals (those with a data file), in order. Out-of-range indexes give "" and 0.
    std::size_t numberOfSignals() const { return signals_.size(); }
    std::string signalName(std::size_t index) const;
    unsigned signalChannels(std::size_t index) const;
    unsigned signalSamples(std::size_t index) const;
    unsigned signalSamplingRate(std::size_t index) const;
    // The names the data file's header gives the channels of signal `index`; empty when they are ch1...chN.
    std::vector<std::string> channelNames(std::size_t index) const;
    std::vector<KvnSignal> signalList() const;

    // Back to the first block.
    bool start();
    // True once the end marker has been read (and whenever the reader is not open).
    bool end() const;
    // The next whole block; after the last one (or when no whole block follows) the end marker, flags 65535,
    // no blocks. Blocks lost to damage are skipped and named in error().
    Frame read();
    int64_t position() const { return position_; }  // blocks read since start

private:
    struct Source;
    bool fail(const std::string& message);
    Frame endFrame();
    std::string damageNote(int64_t firstMissing, int64_t lastMissing) const;

    std::string folder_;
    std::string device_;
    std::string error_;
    int sensorType_ = 0;
    unsigned blockRate_ = 0;
    std::vector<KvnSignal> signals_;
    std::vector<std::unique_ptr<Source>> sources_;  // one per signal
    std::unique_ptr<Source> utcFile_;
    bool open_ = false;
    bool ended_ = true;
    int64_t totalBlocks_ = 0;
    int64_t position_ = 0;
    int64_t nextBlock_ = 0;  // index of the block after the last one delivered
};
