#include "CsvWriter.h"

#include "SignalNames.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t FLUSH_BYTES = 256 * 1024;
// Longest text of a double ("-2.2250738585072014e-308") or of a signed 64-bit number, with the comma.
constexpr std::size_t MAX_FIELD = 26;

bool isRecorded(const KvnSignal& s) { return s.mode != 0 && s.name != "uSD"; }

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

template <typename T>
char* putNumber(char* p, T value) {
    return std::to_chars(p, p + MAX_FIELD, value).ptr;
}

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

    char* reserve(std::size_t bytes) {
        if (buffer.size() < used + bytes)
            buffer.resize(used + bytes + FLUSH_BYTES);
        return buffer.data() + used;
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
    fileNames_.assign(signals_.size(), std::string());
    valuesPerBlock_ = 0;
    for (std::size_t i = 0; i < signals_.size(); ++i) {
        if (!isRecorded(signals_[i]))
            continue;
        fileNames_[i] = niceNameAndSuffix(device_, signals_, i) + ".csv";
        valuesPerBlock_ += static_cast<std::size_t>(signals_[i].channels) * signals_[i].samples;
    }
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

std::string CsvWriter::fileName(std::size_t index) const {
    return index < fileNames_.size() ? fileNames_[index] : std::string();
}

void CsvWriter::closeFiles() {
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
    auto create = [&](const std::string& name, unsigned channels, unsigned samples, std::size_t offset) {
        auto f = std::make_unique<File>();
        f->path = folder_ + "/" + name;
        f->channels = channels;
        f->samples = samples;
        f->offset = offset;
        // "x": an existing file is never overwritten.
        f->fp = std::fopen(f->path.c_str(), "wx");
        if (!f->fp)
            return false;
        created.push_back(f->path);
        std::setvbuf(f->fp, nullptr, _IONBF, 0);  // our own buffer decides when bytes reach the system
        std::string head = "sample,sequence,battery,flags,timestamp,utc";
        for (unsigned c = 1; c <= channels; ++c)
            head += ",ch" + std::to_string(c);
        head += '\n';
        std::memcpy(f->reserve(head.size()), head.data(), head.size());
        f->used += head.size();
        files_.push_back(std::move(f));
        return true;
    };

    std::size_t offset = 0;
    for (std::size_t i = 0; i < signals_.size(); ++i) {
        if (fileNames_[i].empty())
            continue;
        if (!create(fileNames_[i], signals_[i].channels, signals_[i].samples, offset))
            return undo("cannot create " + folder_ + "/" + fileNames_[i] + ": " + std::strerror(errno));
        offset += static_cast<std::size_t>(signals_[i].channels) * signals_[i].samples;
    }
    if (withUtc && !create(UTC_FILE, 0, 1, 0))
        return undo("cannot create " + folder_ + "/" + UTC_FILE + ": " + std::strerror(errno));
    for (auto& f : files_)
        if (!flushFile(*f))
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
    open_ = true;
    return true;
}

bool CsvWriter::flushFile(File& f) {
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
    bool ok = true;
    for (auto& f : files_)
        ok = flushFile(*f) && ok;
    return ok && !failed_;
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
    if (failed_)
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
        char* out = f.reserve(static_cast<std::size_t>(f.samples) * (MAX_FIELD + commonLen + 1 + f.channels * MAX_FIELD));
        const double* v = data ? data + f.offset : nullptr;
        for (unsigned s = 0; s < f.samples; ++s) {
            out = putNumber(out, f.rows++);
            std::memcpy(out, common, commonLen);
            out += commonLen;
            for (unsigned c = 0; c < f.channels; ++c) {
                *out++ = ',';
                out = std::to_chars(out, out + MAX_FIELD, *v++).ptr;
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
    return !failed_;
}

bool CsvWriter::close() {
    if (!open_) {
        closeFiles();
        return true;
    }
    for (auto& f : files_) {
        flushFile(*f);
        std::FILE* fp = f->fp;
        f->fp = nullptr;
        if (std::fclose(fp) != 0)
            fail("cannot finish " + f->path + ": " + std::strerror(errno));
    }
    closeFiles();
    return !failed_;
}
