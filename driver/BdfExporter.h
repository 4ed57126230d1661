#pragma once

#include "KvnSignal.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class BaseImporter;
class CsvReader;

// Local wall-clock time of a record's first block; `valid` false when the record does not say.
struct RecordStart {
    bool valid = false;
    int year = 1985, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int microsecond = 0;

    // From UTC microseconds since the epoch, in the local time zone.
    static RecordStart fromUtcMicros(int64_t utc);
    // From the last "yyyy-MM-dd_HH-mm-ss" (hard-drive folder) or "yy-MM-dd/HH-mm-ss" (SD card folder) in `path`.
    static RecordStart fromPath(const std::string& path);
};

// A record the exporter walks block by block, once per pass.
class ExportSource {
public:
    struct Block {
        uint16_t sequence = 0;
        uint16_t flags = 0;
        int16_t battery = 0;
        int64_t utc = 0;                 // 0 when the record has no stamps
        const double* values = nullptr;  // laid out as SignalLayout gives it for signalList()
    };
    using Visitor = std::function<bool(const Block&)>;

    virtual ~ExportSource();
    // The signals present in the blocks (SignalLayout::present), in the order of Block::values.
    virtual std::vector<KvnSignal> signalList() const = 0;
    virtual unsigned blockRate() const = 0;
    // Blocks the record is expected to hold, for progress; may be an estimate.
    virtual int64_t expectedBlocks() const = 0;
    // Walks every block from the first; false when the record cannot be read to its end (error() says why) or
    // the visitor returned false.
    virtual bool forEachBlock(const Visitor& visit) = 0;

    const std::string& error() const { return error_; }
    // After a walk that reached the end: what the record left out all the same (a last block cut short).
    const std::string& note() const { return note_; }
    std::string deviceName;
    std::string version;
    RecordStart start;

protected:
    std::string error_;
    std::string note_;
};

// A hard-drive record folder, read through CsvReader.
class CsvRecordSource : public ExportSource {
public:
    CsvRecordSource();
    ~CsvRecordSource() override;
    // False, with error(), when the folder holds no readable record.
    bool open(const std::string& folder);
    std::vector<KvnSignal> signalList() const override;
    unsigned blockRate() const override;
    int64_t expectedBlocks() const override;
    bool forEachBlock(const Visitor& visit) override;

private:
    std::unique_ptr<CsvReader> reader_;
    std::vector<double> buffer_;
};

// An SD-card record (a single device's or an EEG 64 pair's), read through its importer. Damage anywhere makes the
// walk fail: a converted file never silently ends early.
class SdCardSource : public ExportSource {
public:
    // The importer must outlive the source; the source adds one callback to it.
    explicit SdCardSource(BaseImporter& importer);
    std::vector<KvnSignal> signalList() const override;
    unsigned blockRate() const override;
    int64_t expectedBlocks() const override;
    bool forEachBlock(const Visitor& visit) override;

private:
    BaseImporter& importer_;
    std::shared_ptr<Visitor> current_;
};

// Writes one record as a BDF+ (24-bit) or EDF+ (16-bit) file through EDFlib.
//
// Every channel becomes a signal at its own rate; the channels of the IMUs on a digital aux input become
// IMU1_AccX ... IMUn_MagZ at the block rate. A first pass measures each channel's range, so the physical range
// (the measured one plus a margin, rounded outward to what the 8-character header field holds exactly) clips
// nothing; a second pass writes. A data record holds a whole number of blocks (so every signal has a whole
// number of samples in it) and lasts at most about a second; when the record's block count allows it, the
// data records cover exactly the record's samples, otherwise the last one repeats the last block and an
// annotation says so. Annotations: the record start, every sequence discontinuity (link drop: the missing
// sequence range, its duration from the sequence numbers or, when stamped, from the stamps), a repeated block,
// and every run of blocks with non-zero flags. Samples follow each other without holes.
//
// The file is written under a temporary name next to the output and renamed when whole; an existing output is
// never overwritten (the caller removes it first when it means to). Cancelling or a failure leaves nothing.
class BdfExporter {
public:
    enum class Format { Bdf, Edf };
    // Fraction done (0..1); returning false cancels.
    using Progress = std::function<bool(double)>;

    struct Channel {
        std::string label;
        std::string unit;
        std::size_t signal = 0;  // index in the source's signal list
        unsigned row = 0;        // IMU index for a digital aux input, else 0
        unsigned column = 0;     // channel within the signal (or within the IMU)
        bool perBlock = false;   // one sample per block (digital aux input)
    };

    struct Result {
        int64_t blocks = 0;
        int64_t dataRecords = 0;
        unsigned blocksPerRecord = 0;
        int64_t paddedBlocks = 0;
        std::size_t annotations = 0;
        std::size_t droppedAnnotations = 0;  // beyond what the file can hold
        std::vector<double> physicalMin, physicalMax;  // per channel, as in the header
    };

    // Channels of a signal list, in file order.
    static std::vector<Channel> channels(const std::vector<KvnSignal>& signalList);
    // Blocks per data record for a record of `blocks` blocks at `blockRate` blocks per second.
    static unsigned blocksPerRecord(unsigned blockRate, int64_t blocks);
    // The physical range written for a measured [lo, hi]: widened by a margin, rounded outward to a number that
    // the header's 8 characters hold exactly.
    static void physicalRange(double lo, double hi, double& outLo, double& outHi);

    bool write(ExportSource& source, const std::string& path, Format format, const Progress& progress = {});
    const std::string& error() const { return error_; }
    bool cancelled() const { return cancelled_; }
    const Result& result() const { return result_; }

private:
    bool fail(const std::string& message);
    std::string error_;
    bool cancelled_ = false;
    Result result_;
};
