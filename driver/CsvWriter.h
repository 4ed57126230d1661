#pragma once

#include "KvnSignal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// Writes a hard-drive record: a folder holding one CSV file per recorded signal, "UTC.csv" with the block time
// stamps, and "signalsInfo.csv", the description by which CsvReader recognises the folder.
//
// Data files: one header line, then one row per sample:
//     sample,sequence,battery,flags,timestamp,utc,ch1,...,chN
// (or the channels' own names, see setChannelNames)
// `sample` counts the file's rows from 0 (so a block's rows are sample / samples-per-block); sequence, battery
// and flags are the block's; timestamp (monotonic) and utc are the block's stamps in microseconds, empty when
// the block came without them (imports). Values are written in the shortest text that reads back to the same
// double. A digital aux input ("COM") holds one row per IMU in each block, and its files end every row with a
// column `imu`, the IMU's number from 1. "UTC.csv" has one row per block with the same first six columns and
// no channels.
//
// "signalsInfo.csv": one header line, then one row per signal given to setup (uSD and signals whose mode is 0
// included, with an empty file name, since they record nothing), then the UTC row when stamps are written:
//     format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename
//
// Rows are buffered and handed to an output thread of the writer at least four times per second of record time
// (at most 2 MB wait there), so a killed program loses at most about a second and the caller never waits for the
// disk unless it falls that far behind; a torn last line is ignored by the reader. A write failure is reported
// by the next write(), flush() or close(). Not thread-safe: one writer is used by one thread at a time.
class CsvWriter {
public:
    CsvWriter();
    // Same as default construction followed by setup(folder, {signalList, signalList + count}, device, sensorType).
    CsvWriter(const char* folder, const KvnSignal* signalList, std::size_t count, const std::string& device,
              int sensorType);
    ~CsvWriter();  // closes
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Remembers where and what to write; closes a record still open. `device` names the device in the description (the folder's name when empty); `sensorType` is the
    // EEG sensor type code (0 unknown, 1 dry, 2 water, 3 textile), kept in the description.
    // Returns false (see error()) when the arguments cannot describe a record.
    bool setup(const char* folder, const std::vector<KvnSignal>& signalList, const std::string& device, int sensorType);

    // Names the channels of the set-up list's signals (one list per signal, one name per channel) in the data
    // files' headers instead of ch1...chN; a list that does not fit its signal is ignored. Call after setup.
    void setChannelNames(std::vector<std::vector<std::string>> names);
    // The header columns for `channels` channels named `names`: each name with what would break a CSV field
    // (commas, quotes, line breaks, control characters) replaced by '_' and cut to MAX_NAME bytes; ch1...chN
    // instead when the names do not fit the channels, or would be empty, repeated or take a fixed column's name.
    static std::vector<std::string> columnNames(const std::vector<std::string>& names, unsigned channels);
    static constexpr std::size_t MAX_NAME = 24;

    // Creates the folder when missing, the files, their header lines and the description. `blockRate` is blocks
    // per second; `withUtc` adds "UTC.csv" (a live acquisition stamps its blocks; an import has no stamps).
    // False when the folder cannot be written, already holds a record (or a file of the same name), or the
    // set-up is unusable: an existing record is never overwritten, and nothing is left open or behind then.
    bool writeHeaders(int blockRate, bool withUtc);

    // One block, laid out as SignalLayout gives it for the set-up list. False once anything could not be
    // written; the error stays until close.
    bool write(const double* data, uint16_t sequence, int64_t timestamp, int64_t utc, int16_t battery,
               uint16_t flags);
    // A block without time stamps.
    bool write(const double* data, uint16_t sequence, int16_t battery, uint16_t flags);

    // Hands every buffered row to the system and waits until it is written.
    bool flush();
    // Flushes and closes every file. False when anything written since writeHeaders was lost. Closing a closed
    // writer does nothing and returns true.
    bool close();

    bool isOpen() const { return open_; }
    const std::string& error() const { return error_; }
    const std::string& folder() const { return folder_; }
    uint64_t blocksWritten() const { return blocks_; }
    // Number of doubles write() takes per block.
    std::size_t valuesPerBlock() const { return valuesPerBlock_; }
    // File name (inside the folder) of signal `index` of the set-up list; empty when it records nothing.
    std::string fileName(std::size_t index) const;

    // Writes the shortest text that reads back as `value`, exactly as std::to_chars(out, end, value) would, and
    // returns the end of the text. Needs 48 bytes of room at `out` (it may scribble past the text's end).
    static char* formatDouble(char* out, double value);

    static constexpr const char* DESCRIPTION_FILE = "signalsInfo.csv";
    static constexpr const char* UTC_FILE = "UTC.csv";

private:
    struct File;
    struct Output;
    bool writeBlock(const double* data, uint16_t sequence, const int64_t* timestamp, const int64_t* utc,
                    int16_t battery, uint16_t flags);
    bool flushFile(File& f);  // hands the file's rows to the output thread (writes them at once before it runs)
    bool writeNow(File& f);
    bool checkOutput();       // picks up a failure of the output thread
    bool fail(const std::string& message);
    void closeFiles();

    std::string folder_;
    std::string device_;
    int sensorType_ = 0;
    std::vector<KvnSignal> signals_;
    std::vector<std::string> fileNames_;  // per set-up signal; empty when not recorded
    std::vector<std::vector<std::string>> channelNames_;  // per set-up signal; empty for ch1...chN
    std::vector<std::unique_ptr<File>> files_;  // recorded signals in order, then UTC.csv when used
    std::unique_ptr<Output> output_;            // while open; declared after files_ so it stops first
    bool withUtc_ = false;
    bool open_ = false;
    bool failed_ = false;
    int blockRate_ = 0;
    unsigned flushEvery_ = 1;
    std::size_t valuesPerBlock_ = 0;
    uint64_t blocks_ = 0;
    std::string error_;
};
