// Written here on purpose: the record's CSV layout and quoting are ours, and rows are formatted straight into the
// output buffers for speed; only the digits of a double come from a library (Dragonbox).
#include "CsvWriter.h"

#include "RecordLimits.h"
#include "SignalLayout.h"
#include "SignalNames.h"

#include <dragonbox/dragonbox.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t FLUSH_BYTES = 256 * 1024;
// Rows handed to the output thread but not yet written; the caller waits beyond this.
constexpr std::size_t MAX_PENDING_BYTES = 2 * 1024 * 1024;
// Longest text of a double ("-2.2250738585072014e-308") or of a signed 64-bit number, with the comma.
constexpr std::size_t MAX_FIELD = 26;
// The double formatter stores whole 16- and 24-byte runs and needs this much room after its output position.
constexpr std::size_t FORMAT_ROOM = 48;

// Quoted when it holds a separator, a quote or a line break. A NUL byte, which no text holds and the reader
// takes for damage, is written as '?'.
std::string csvField(const std::string& text) {
    if (text.find_first_of(std::string(",\"\r\n\0", 5)) == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c == '\0' ? '?' : c;
    }
    return out + "\"";
}

template <typename T>
char* putNumber(char* p, T value) {
    return std::to_chars(p, p + MAX_FIELD, value).ptr;
}

// Shortest round-trip text of a double, the same characters as std::to_chars(first, last, value) (the same digits
// and the same choice of fixed or scientific notation). Dragonbox finds the digits; printing them here rather than
// with to_chars keeps recording a good third faster, and recording spends most of its time here.
namespace shortest {

char* formatShortest(char* out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int bq = static_cast<int>((bits >> 52) & 0x7FF);
    if (bq == 0x7FF || bq == 0)  // NaN, infinities, zeros and subnormals: rare, and to_chars spells them its way
        return std::to_chars(out, out + 32, v).ptr;
    const auto decimal = jkj::dragonbox::to_decimal(v, jkj::dragonbox::policy::sign::ignore);
    const uint64_t f = decimal.significand;
    const int e = decimal.exponent;
    static const char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    auto put8 = [](char* d, uint32_t v) {
        const uint32_t a = v / 10000, b = v % 10000;
        std::memcpy(d, pairs + 2 * (a / 100), 2);
        std::memcpy(d + 2, pairs + 2 * (a % 100), 2);
        std::memcpy(d + 4, pairs + 2 * (b / 100), 2);
        std::memcpy(d + 6, pairs + 2 * (b % 100), 2);
    };
    // f has at most 17 digits: 24 digits with leading zeros, then room so fixed-size copies stay inside.
    char d[48];
    put8(d, static_cast<uint32_t>(f / 10000000000000000ull));
    put8(d + 8, static_cast<uint32_t>((f / 100000000) % 100000000));
    put8(d + 16, static_cast<uint32_t>(f % 100000000));
    std::memset(d + 24, '0', 24);
    static const uint64_t pow10[] = {1ull, 10ull, 100ull, 1000ull, 10000ull, 100000ull, 1000000ull, 10000000ull,
                                100000000ull, 1000000000ull, 10000000000ull, 100000000000ull, 1000000000000ull,
                                10000000000000ull, 100000000000000ull, 1000000000000000ull, 10000000000000000ull,
                                100000000000000000ull};
    // Digits of f: from its bit length (log10(2) ~ 1233 / 4096), corrected by one comparison.
    const int approx = ((64 - __builtin_clzll(f)) * 1233) >> 12;
    const int n = approx + (f >= pow10[approx] ? 1 : 0);
    const char* p = d + 24 - n;
    const int x = n + e - 1;
    const int sciLen = n + (n > 1) + 2 + (x >= 100 || x <= -100 ? 3 : 2);
    const int fixLen = e >= 0 ? n + e : (n + e > 0 ? n + 1 : 2 - (n + e) + n);
    if (fixLen <= sciLen && e > 0)
        return std::to_chars(out, out + 32, v).ptr;  // to_chars spells such integers out exactly
    if (bits >> 63)
        *out++ = '-';
    if (fixLen <= sciLen) {
        if (e == 0) {
            std::memcpy(out, p, 24);
            return out + n;
        }
        if (n + e > 0) {
            std::memcpy(out, p, 16);
            out += n + e;
            *out++ = '.';
            std::memcpy(out, p + n + e, 16);
            return out - e;
        }
        std::memcpy(out, "0.000000", 8);
        out += 2 - (n + e);
        std::memcpy(out, p, 24);
        return out + n;
    }
    out[0] = p[0];
    out[1] = '.';
    std::memcpy(out + 2, p + 1, 16);
    out += n > 1 ? n + 1 : 1;
    *out++ = 'e';
    int ax = x;
    if (x < 0) {
        *out++ = '-';
        ax = -x;
    } else {
        *out++ = '+';
    }
    if (ax >= 100) {
        *out++ = static_cast<char>('0' + ax / 100);
        ax %= 100;
    }
    std::memcpy(out, pairs + 2 * ax, 2);
    return out + 2;
}

}  // namespace shortest

}  // namespace

struct CsvWriter::File {
    std::string path;
    std::FILE* fp = nullptr;
    std::vector<char> buffer;
    std::size_t used = 0;
    std::size_t offset = 0;  // first value of this signal in the block's vector
    unsigned channels = 0;   // 0 for UTC.csv
    unsigned samples = 1;
    uint64_t rows = 0;
    bool imuColumn = false;  // a digital aux input: row s of a block is IMU s + 1

    char* reserve(std::size_t bytes) {
        if (buffer.size() < used + bytes)
            buffer.resize(used + bytes + FLUSH_BYTES);
        return buffer.data() + used;
    }
};

// Writes the files on a thread of its own, so that formatting the next rows and the system's writing overlap and
// a slow disk does not stall the caller (the GUI thread, when recording). Buffers are written in the order they
// were handed over; the first failure is kept and reported to the caller at its next call.
struct CsvWriter::Output {
    struct Job {
        std::FILE* fp;
        const std::string* path;
        std::vector<char> data;
        std::size_t size;
    };

    std::mutex mutex;
    std::condition_variable work, space;
    std::deque<Job> jobs;
    std::vector<std::vector<char>> spare;
    std::size_t pending = 0;  // bytes queued or being written
    bool stopping = false;
    std::string error;
    std::set<std::FILE*> failed;
    std::thread thread;

    Output() : thread([this] { run(); }) {}
    ~Output() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        work.notify_all();
        thread.join();
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            work.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty())
                return;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            // After a failure the rest of that file would land in the wrong place; the other files still
            // take their rows, so the blocks every file holds whole stay a readable record.
            const bool skip = failed.count(job.fp) != 0;
            lock.unlock();
            int err = 0;
            if (!skip && std::fwrite(job.data.data(), 1, job.size, job.fp) != job.size)
                err = errno ? errno : EIO;
            lock.lock();
            if (err) failed.insert(job.fp);
            if (err && error.empty())
                error = "cannot write " + *job.path + ": " + std::strerror(err);
            pending -= job.size;
            spare.push_back(std::move(job.data));
            space.notify_all();
        }
    }

    // Queues `used` bytes of `buffer` and hands back an empty buffer in its place.
    void submit(std::FILE* fp, const std::string& path, std::vector<char>& buffer, std::size_t used) {
        std::unique_lock<std::mutex> lock(mutex);
        space.wait(lock, [this] { return pending < MAX_PENDING_BYTES; });
        pending += used;
        jobs.push_back(Job{fp, &path, std::move(buffer), used});
        if (!spare.empty()) {
            buffer = std::move(spare.back());
            spare.pop_back();
        } else {
            buffer = std::vector<char>();
        }
        work.notify_one();
    }

    // Waits until everything handed over is written; returns the first failure, if any.
    std::string drain() {
        std::unique_lock<std::mutex> lock(mutex);
        space.wait(lock, [this] { return pending == 0; });
        return error;
    }

    std::string failure() {
        std::lock_guard<std::mutex> lock(mutex);
        return error;
    }
};

CsvWriter::CsvWriter() = default;

CsvWriter::CsvWriter(const char* folder, const KvnSignal* signalList, std::size_t count, const std::string& device,
                     int sensorType) {
    std::vector<KvnSignal> list;
    if (signalList)
        list.assign(signalList, signalList + count);
    setup(folder, list, device, sensorType);
}

CsvWriter::~CsvWriter() { close(); }

bool CsvWriter::fail(const std::string& message) {
    if (!failed_ || error_.empty())
        error_ = message;
    failed_ = true;
    return false;
}

bool CsvWriter::setup(const char* folder, const std::vector<KvnSignal>& signalList, const std::string& device,
                      int sensorType) {
    close();
    error_.clear();
    failed_ = false;
    blocks_ = 0;
    folder_ = folder ? folder : "";
    while (folder_.size() > 1 && folder_.back() == '/')
        folder_.pop_back();
    device_ = device;
    sensorType_ = sensorType;
    signals_ = signalList;
    channelNames_.clear();
    fileNames_.assign(signals_.size(), std::string());
    const SignalLayout layout(signals_);
    valuesPerBlock_ = layout.blockSize();
    const std::vector<std::string> stems = niceNamesAndSuffixes(signals_);
    // A signal that contributes no values to the block gets no file.
    for (const SignalSlot& slot : layout.entries())
        if (slot.size() > 0)
            fileNames_[slot.index] = stems[slot.index] + ".csv";
    if (folder_.empty()) {
        error_ = "no record folder given";
        return false;
    }
    if (signals_.empty()) {
        error_ = "no signals to record";
        return false;
    }
    return true;
}

void CsvWriter::setChannelNames(std::vector<std::vector<std::string>> names) { channelNames_ = std::move(names); }

std::vector<std::string> CsvWriter::columnNames(const std::vector<std::string>& names, unsigned channels) {
    std::vector<std::string> columns;
    std::set<std::string> taken = {"sample", "sequence", "battery", "flags", "timestamp", "utc", "imu"};
    bool usable = names.size() == channels;
    for (std::size_t c = 0; usable && c < names.size(); ++c) {
        std::string name = names[c].substr(0, MAX_NAME);
        // Not a UTF-8 sequence cut in two.
        if (name.size() < names[c].size())
            while (!name.empty() && (static_cast<unsigned char>(names[c][name.size()]) & 0xC0) == 0x80)
                name.pop_back();
        for (char& ch : name)
            if (ch == ',' || ch == '"' || static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
                ch = '_';
        usable = !name.empty() && taken.insert(name).second;
        columns.push_back(std::move(name));
    }
    if (usable)
        return columns;
    columns.clear();
    for (unsigned c = 1; c <= channels; ++c)
        columns.push_back("ch" + std::to_string(c));
    return columns;
}

std::string CsvWriter::fileName(std::size_t index) const {
    return index < fileNames_.size() ? fileNames_[index] : std::string();
}

void CsvWriter::closeFiles() {
    output_.reset();
    for (auto& f : files_)
        if (f->fp)
            std::fclose(f->fp);
    files_.clear();
    open_ = false;
}

bool CsvWriter::writeHeaders(int blockRate, bool withUtc) {
    close();
    error_.clear();
    failed_ = false;
    blocks_ = 0;
    if (folder_.empty() || signals_.empty())
        return fail(error_.empty() ? "the record is not set up" : error_);
    if (blockRate <= 0)
        return fail("the block rate must be positive");
    // Nothing the reader would refuse is written.
    if (const std::string problem = limits::recordProblem(signals_, static_cast<unsigned>(blockRate)); !problem.empty())
        return fail(problem);
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (!fs::is_directory(folder_, ec))
        return fail("cannot create the folder " + folder_);
    const std::string description = folder_ + "/" + DESCRIPTION_FILE;
    if (fs::exists(description, ec))
        return fail(folder_ + " already holds a record");

    blockRate_ = blockRate;
    withUtc_ = withUtc;
    flushEvery_ = static_cast<unsigned>(blockRate / 4 > 0 ? blockRate / 4 : 1);

    std::vector<std::string> created;
    auto undo = [&](const std::string& message) {
        closeFiles();
        for (const std::string& p : created)
            fs::remove(p, ec);
        return fail(message);
    };
    auto create = [&](const std::string& name, unsigned channels, unsigned samples, std::size_t offset,
                      bool imuColumn, const std::vector<std::string>& names) {
        auto f = std::make_unique<File>();
        f->path = folder_ + "/" + name;
        f->channels = channels;
        f->samples = samples;
        f->offset = offset;
        f->imuColumn = imuColumn;
        // "x": an existing file is never overwritten.
        f->fp = std::fopen(f->path.c_str(), "wx");
        if (!f->fp)
            return false;
        created.push_back(f->path);
        std::setvbuf(f->fp, nullptr, _IONBF, 0);  // our own buffer decides when bytes reach the system
        std::string head = "sample,sequence,battery,flags,timestamp,utc";
        for (const std::string& column : columnNames(names, channels))
            head += "," + column;
        // After every column older readers know, so their positions stay.
        if (imuColumn)
            head += ",imu";
        head += '\n';
        std::memcpy(f->reserve(head.size()), head.data(), head.size());
        f->used += head.size();
        files_.push_back(std::move(f));
        return true;
    };

    const SignalLayout layout(signals_);
    for (const SignalSlot& slot : layout.entries()) {
        const std::string& name = fileNames_[slot.index];
        if (name.empty())
            continue;
        const bool named = slot.index < channelNames_.size() && !slot.oneSamplePerBlock();
        if (!create(name, slot.channels, slot.samples, slot.offset, slot.oneSamplePerBlock(),
                    named ? channelNames_[slot.index] : std::vector<std::string>()))
            return undo("cannot create " + folder_ + "/" + name + ": " + std::strerror(errno));
    }
    if (withUtc && !create(UTC_FILE, 0, 1, 0, false, {}))
        return undo("cannot create " + folder_ + "/" + UTC_FILE + ": " + std::strerror(errno));
    for (auto& f : files_)
        if (!writeNow(*f))
            return undo(error_);

    // The description last: a folder is a record only once all its files exist.
    std::string device = device_.empty() ? fs::path(folder_).filename().string() : device_;
    std::string text = "format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename\n";
    const std::string common = "1," + csvField(device) + "," + std::to_string(blockRate) + "," +
                               std::to_string(sensorType_) + ",";
    for (std::size_t i = 0; i < signals_.size(); ++i) {
        const KvnSignal& s = signals_[i];
        text += common + csvField(s.name) + "," + std::to_string(s.channels) + "," + std::to_string(s.samples) + "," +
                std::to_string(s.mode) + "," + csvField(fileNames_[i]) + "\n";
    }
    if (withUtc)
        text += common + "UTC,1,1,1," + UTC_FILE + "\n";
    std::FILE* d = std::fopen(description.c_str(), "wx");
    if (!d)
        return undo("cannot create " + description + ": " + std::strerror(errno));
    created.push_back(description);
    bool ok = std::fwrite(text.data(), 1, text.size(), d) == text.size();
    ok = std::fclose(d) == 0 && ok;
    if (!ok)
        return undo("cannot write " + description);
    output_ = std::make_unique<Output>();
    open_ = true;
    return true;
}

bool CsvWriter::flushFile(File& f) {
    if (f.used == 0)
        return true;
    if (!output_)
        return writeNow(f);
    output_->submit(f.fp, f.path, f.buffer, f.used);
    f.used = 0;
    return true;
}

bool CsvWriter::checkOutput() {
    if (output_ && !failed_) {
        std::string e = output_->failure();
        if (!e.empty())
            return fail(e);
    }
    return !failed_;
}

bool CsvWriter::writeNow(File& f) {
    if (f.used == 0)
        return true;
    if (std::fwrite(f.buffer.data(), 1, f.used, f.fp) != f.used) {
        int err = errno;
        f.used = 0;
        return fail("cannot write " + f.path + ": " + std::strerror(err));
    }
    f.used = 0;
    return true;
}

bool CsvWriter::flush() {
    if (!open_)
        return false;
    for (auto& f : files_)
        flushFile(*f);
    if (output_) {
        std::string e = output_->drain();
        if (!e.empty() && !failed_)
            fail(e);
    }
    return !failed_;
}

bool CsvWriter::write(const double* data, uint16_t sequence, int64_t timestamp, int64_t utc, int16_t battery,
                      uint16_t flags) {
    return writeBlock(data, sequence, &timestamp, &utc, battery, flags);
}

bool CsvWriter::write(const double* data, uint16_t sequence, int16_t battery, uint16_t flags) {
    return writeBlock(data, sequence, nullptr, nullptr, battery, flags);
}

bool CsvWriter::writeBlock(const double* data, uint16_t sequence, const int64_t* timestamp, const int64_t* utc,
                           int16_t battery, uint16_t flags) {
    if (!open_)
        return fail(error_.empty() ? "no record is open" : error_);
    if (!checkOutput())
        return false;
    if (!data && valuesPerBlock_ > 0)
        return fail("a block without values");

    // The columns after "sample" are the same on every row of the block.
    char common[6 * MAX_FIELD];
    char* p = common;
    *p++ = ',';
    p = putNumber(p, sequence);
    *p++ = ',';
    p = putNumber(p, battery);
    *p++ = ',';
    p = putNumber(p, flags);
    *p++ = ',';
    if (timestamp)
        p = putNumber(p, *timestamp);
    *p++ = ',';
    if (utc)
        p = putNumber(p, *utc);
    const std::size_t commonLen = static_cast<std::size_t>(p - common);

    for (auto& fp : files_) {
        File& f = *fp;
        char* out = f.reserve(static_cast<std::size_t>(f.samples) * (2 * MAX_FIELD + commonLen + 1 + f.channels * MAX_FIELD) +
                              FORMAT_ROOM);
        const double* v = data ? data + f.offset : nullptr;
        for (unsigned s = 0; s < f.samples; ++s) {
            out = putNumber(out, f.rows++);
            std::memcpy(out, common, commonLen);
            out += commonLen;
            for (unsigned c = 0; c < f.channels; ++c) {
                *out++ = ',';
                out = shortest::formatShortest(out, *v++);
            }
            if (f.imuColumn) {
                *out++ = ',';
                out = putNumber(out, s + 1);
            }
            *out++ = '\n';
        }
        f.used = static_cast<std::size_t>(out - f.buffer.data());
    }
    ++blocks_;
    const bool due = blocks_ % flushEvery_ == 0;
    for (auto& f : files_)
        if (due || f->used >= FLUSH_BYTES)
            flushFile(*f);
    return checkOutput();
}

char* CsvWriter::formatDouble(char* out, double value) { return shortest::formatShortest(out, value); }

bool CsvWriter::close() {
    if (!open_) {
        closeFiles();
        return true;
    }
    for (auto& f : files_)
        flushFile(*f);
    if (output_) {
        std::string e = output_->drain();
        if (!e.empty() && !failed_)
            fail(e);
        output_.reset();
    }
    for (auto& f : files_) {
        std::FILE* fp = f->fp;
        f->fp = nullptr;
        if (std::fclose(fp) != 0)
            fail("cannot finish " + f->path + ": " + std::strerror(errno));
    }
    closeFiles();
    return !failed_;
}
