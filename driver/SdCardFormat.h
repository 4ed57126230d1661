#pragma once

#include "KvnSignal.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The record a device writes to its own SD card, and the reader the importers use.
//
// A record is a set of files in one folder: "0_<name>.kvb", then "1_<name>.kvb", ... when it grows past the
// size limit of one file. Every file starts with the same header (so each part can be checked on its own),
// followed by blocks. All numbers are little-endian.
//
//   header: magic "KVBREC\r\n" (8), u16 format version, u16 part index, u32 header length (whole header,
//           from the magic on), string device version, u16 block rate, u16 first sequence,
//           u16 signal count, per signal {string name, u16 channels, u16 samples per block, u16 mode},
//           string positioning set-up (empty when none), u32 CRC-32 of everything before it.
//   block:  u16 marker 0xB10C, u16 type, u16 sequence, i16 battery, u16 flags, u16 reserved 0,
//           u32 payload length in bytes, payload, u32 CRC-32 of the block from type to the end of the payload.
//           Type 1 carries the sample vector as f64 values (laid out as SignalLayout gives it for the
//           header's signals); type 20 carries a new
//           positioning set-up as text and no samples; type 21, with no payload, ends a part that the next part
//           continues, so that a missing last part is told from a record that simply ended.
//   Sizes in the header are held against RecordLimits.h: the writer refuses what the reader would refuse.
//   string: u16 length, bytes.
namespace sdcard {

constexpr char MAGIC[8] = {'K', 'V', 'B', 'R', 'E', 'C', '\r', '\n'};
constexpr uint16_t FORMAT_VERSION = 2;
// Cards written before the continuation block: still read, without telling a missing last part from an end.
constexpr uint16_t FIRST_FORMAT_VERSION = 1;
constexpr uint16_t BLOCK_MARKER = 0xB10C;
constexpr int32_t BLOCK_SAMPLES = 1;
constexpr int32_t BLOCK_SETUP = 20;
constexpr int32_t BLOCK_CONTINUED = 21;
constexpr const char* EXTENSION = ".kvb";
// Bytes of a block around its payload: 16 before it, the CRC after it.
constexpr std::size_t BLOCK_OVERHEAD = 20;
// FAT32 cards cannot hold files of 4 GiB; stay well below.
constexpr uint64_t DEFAULT_MAX_FILE_BYTES = 512ull * 1024 * 1024;

// Qt code that reads `signals` below must #undef Qt's keyword macro of that name first.
struct RecordHeader {
    std::string version;             // device version text, e.g. "HW3.0_FW2.1"
    uint16_t blockRate = 0;          // blocks per second
    uint16_t firstSequence = 0;
    std::vector<KvnSignal> signals;  // every signal of the device (uSD included) with its mode
    std::string setup;               // positioning set-up at the start; empty when there is none
    uint16_t format = FORMAT_VERSION;  // as read; not part of the comparison

    // Number of doubles in one sample block.
    std::size_t valuesPerBlock() const;
    bool operator==(const RecordHeader& o) const;
};

// File name of part `index` of the record `name`: "<index>_<name>.kvb".
std::string partFileName(unsigned index, const std::string& name);

uint32_t crc32(const void* data, std::size_t size, uint32_t crc = 0);

// Writes one record. Not thread-safe: one writer is used by one thread at a time.
class SdCardWriter {
public:
    explicit SdCardWriter(uint64_t maxFileBytes = DEFAULT_MAX_FILE_BYTES);
    ~SdCardWriter();
    SdCardWriter(const SdCardWriter&) = delete;
    SdCardWriter& operator=(const SdCardWriter&) = delete;

    // Creates <cardFolder>/<directory>/ and its first file. Backslashes count as slashes; the directory may
    // not climb out of the card. Characters of `fileName` that cannot be part of a record name ('.', slashes,
    // control characters) become '_'. When a record of that name already exists there, the new one is named
    // <fileName>_0, <fileName>_1, ... (a restarted record), so nothing on the card is overwritten.
    bool open(const std::string& cardFolder, const std::string& directory, const std::string& fileName,
              const RecordHeader& header);
    // One sample block; `count` must be header.valuesPerBlock().
    bool writeBlock(uint16_t sequence, int16_t battery, uint16_t flags, const double* values, std::size_t count);
    // A positioning set-up block (type 20).
    bool writeSetup(uint16_t sequence, int16_t battery, uint16_t flags, const std::string& setup);
    // Flushes everything written to the card's files; false when the data could not be written.
    bool flush();
    bool close();

    bool isOpen() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    std::string recordFolder() const { return folder_; }  // absolute folder of the record's files
    std::string recordName() const { return name_; }      // name actually used (restart suffix included)
    unsigned parts() const { return part_ + (file_ ? 1 : 0); }
    uint64_t blocksWritten() const { return blocks_; }

private:
    bool openPart(unsigned index);
    unsigned char* prepare(uint32_t payloadBytes);  // room for the next block's payload
    bool emit(uint16_t type, uint16_t sequence, int16_t battery, uint16_t flags);
    bool fail(const std::string& message);

    uint64_t maxFileBytes_;
    std::FILE* file_ = nullptr;
    uint64_t fileBytes_ = 0;
    uint64_t partHeaderBytes_ = 0;
    unsigned part_ = 0;
    uint64_t blocks_ = 0;
    std::string folder_;
    std::string name_;
    RecordHeader header_;
    std::size_t valuesPerBlock_ = 0;
    std::vector<unsigned char> buffer_;
    std::string error_;
};

// Reads the files of one record in order. One reader is used by one thread at a time.
class SdCardReader {
public:
    struct Block {
        int32_t type = 0;
        uint16_t sequence = 0;
        int16_t battery = 0;
        uint16_t flags = 0;
        std::vector<double> values;  // sample blocks
        std::string setup;           // set-up blocks
    };
    enum class Status { Block, End, Error };

    SdCardReader() = default;
    ~SdCardReader();
    SdCardReader(const SdCardReader&) = delete;
    SdCardReader& operator=(const SdCardReader&) = delete;

    // Finds the parts of record `name` in `folder` ("0_<name>.<ext>", "1_<name>.<ext>", ...) and reads and
    // checks their headers. The files are not kept open.
    bool open(const std::string& folder, const std::string& name);
    const RecordHeader& header() const { return header_; }
    const std::vector<std::string>& files() const { return files_; }
    const std::string& error() const { return error_; }
    bool isOpen() const { return opened_; }

    // Walks the block headers of every part (without reading the samples) and counts the blocks.
    // Returns false when the structure is damaged or a part is missing; the counts then cover the blocks before
    // that. A last block cut short at the end of the last part (the card lost power) is no damage: the
    // blocks before it count, and note() says how many bytes were left out.
    bool scan();
    int64_t totalBlocks() const { return totalBlocks_; }    // after scan: sample and set-up blocks
    int64_t sampleBlocks() const { return sampleBlocks_; }  // after scan: sample blocks only
    const std::string& lastSetup() const { return lastSetup_; }  // after scan: the latest set-up
    struct SetupChange {
        int64_t block = 0;  // sample blocks before it
        uint16_t sequence = 0;
        std::string setup;
    };
    const std::vector<SetupChange>& setupChanges() const { return setupChanges_; }  // after scan

    // Reading block after block, from the first part to the last. A cut-short last block ends the record
    // (End, with note() saying so); damage anywhere else, or a missing part, is an Error whose text says
    // where, after the whole blocks before it.
    bool rewind();
    Status next(Block& block);
    // What was left out of a record that was still read to its end; empty when nothing was.
    const std::string& note() const { return note_; }

private:
    bool openPartForReading(std::size_t index);
    std::string missingPart(std::size_t index) const;
    bool fail(const std::string& message);

    std::string folder_;
    std::string name_;
    std::vector<std::string> files_;
    std::vector<uint64_t> headerLengths_;
    RecordHeader header_;
    bool opened_ = false;
    bool scanned_ = false;
    int64_t totalBlocks_ = 0;
    int64_t sampleBlocks_ = 0;
    std::string lastSetup_;
    std::vector<SetupChange> setupChanges_;
    std::string error_;
    std::string note_;
    bool tornLastPart_ = false;  // the last part ends inside its own header and is left out

    std::FILE* file_ = nullptr;
    std::size_t part_ = 0;
    bool continued_ = false;  // the part being read ended with a continuation block
    int64_t blocksRead_ = 0;
    std::vector<unsigned char> payload_;
};

// Parses the header at the start of `data` (at least `size` bytes). On success fills `header`, `partIndex`
// and `headerLength`; otherwise sets `error`.
bool parseHeader(const unsigned char* data, std::size_t size, RecordHeader& header, unsigned& partIndex,
                 uint64_t& headerLength, std::string& error);

}  // namespace sdcard
