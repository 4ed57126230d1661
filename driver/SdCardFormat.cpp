// Written here on purpose: the record format is the device's own, with its own limits and recovery rules; only
// the CRC-32 comes from zlib.
#include "SdCardFormat.h"

#include "RecordLimits.h"
#include "SignalLayout.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace fs = std::filesystem;

namespace sdcard {

namespace {

// Limits that keep a damaged header from making us allocate or read absurd amounts.
constexpr uint32_t MAX_HEADER_BYTES = 16u * 1024 * 1024;
constexpr uint32_t MAX_SETUP_BYTES = 1u * 1024 * 1024;
constexpr uint64_t MAX_BLOCK_VALUES = 8u * 1024 * 1024;
constexpr std::size_t FIXED_HEADER = 16;  // magic, format version, part index, header length

void put16(std::vector<unsigned char>& out, uint16_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}

void put32(std::vector<unsigned char>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

void set32(unsigned char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void putDoubles(unsigned char* out, const double* values, std::size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (count)
        std::memcpy(out, values, count * sizeof(double));
#else
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        for (int b = 0; b < 8; ++b)
            out[i * 8 + b] = static_cast<unsigned char>(bits >> (8 * b));
    }
#endif
}

void getDoubles(const unsigned char* in, double* values, std::size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (count)
        std::memcpy(values, in, count * sizeof(double));
#else
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        for (int b = 0; b < 8; ++b)
            bits |= static_cast<uint64_t>(in[i * 8 + b]) << (8 * b);
        std::memcpy(&values[i], &bits, sizeof bits);
    }
#endif
}

// Serialises a header; false when a field does not fit the format.
bool buildHeader(const RecordHeader& h, unsigned partIndex, std::vector<unsigned char>& out, std::string& error) {
    out.clear();
    out.insert(out.end(), MAGIC, MAGIC + sizeof MAGIC);
    put16(out, FORMAT_VERSION);
    if (partIndex > 0xFFFF) {
        error = "too many parts in one record";
        return false;
    }
    put16(out, static_cast<uint16_t>(partIndex));
    put32(out, 0);  // header length, filled in below
    auto putString16 = [&](const std::string& s, const char* what) {
        if (s.size() > 0xFFFF) {
            error = std::string(what) + " is too long";
            return false;
        }
        put16(out, static_cast<uint16_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
        return true;
    };
    if (!putString16(h.version, "the device version"))
        return false;
    put16(out, h.blockRate);
    put16(out, h.firstSequence);
    if (h.signals.size() > 0xFFFF) {
        error = "too many signals";
        return false;
    }
    put16(out, static_cast<uint16_t>(h.signals.size()));
    for (const KvnSignal& s : h.signals) {
        if (!putString16(s.name, "a signal name"))
            return false;
        if (s.channels > 0xFFFF || s.samples > 0xFFFF || s.mode > 0xFFFF) {
            error = "signal " + s.name + " does not fit the SD-card format";
            return false;
        }
        put16(out, static_cast<uint16_t>(s.channels));
        put16(out, static_cast<uint16_t>(s.samples));
        put16(out, static_cast<uint16_t>(s.mode));
    }
    if (h.setup.size() > MAX_SETUP_BYTES) {
        error = "the positioning set-up is too long";
        return false;
    }
    put32(out, static_cast<uint32_t>(h.setup.size()));
    out.insert(out.end(), h.setup.begin(), h.setup.end());
    set32(out.data() + 12, static_cast<uint32_t>(out.size() + 4));
    put32(out, crc32(out.data(), out.size()));
    return true;
}

std::string sanitizeName(const std::string& name) {
    std::string out = name;
    for (char& c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '.' || c == '/' || c == '\\' || u < 0x20 || u == 0x7F)
            c = '_';
    }
    return out;
}

// Opens a record file for reading only when it is a regular file: a pipe or a device would block or never end.
std::FILE* openRegularFile(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = path + " is not a regular file (a pipe, a device or a folder)";
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "rb");
    if (!f) {
        ::close(fd);
        error = "cannot open " + path + ": " + std::strerror(errno);
    }
    return f;
}

bool fileExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

}  // namespace

uint32_t crc32(const void* data, std::size_t size, uint32_t crc) {
    return static_cast<uint32_t>(::crc32_z(crc, static_cast<const Bytef*>(data), size));
}

std::size_t RecordHeader::valuesPerBlock() const {
    return SignalLayout(signals).blockSize();
}

bool RecordHeader::operator==(const RecordHeader& o) const {
    return version == o.version && blockRate == o.blockRate && firstSequence == o.firstSequence &&
           signals == o.signals && setup == o.setup;
}

std::string partFileName(unsigned index, const std::string& name) {
    return std::to_string(index) + "_" + name + EXTENSION;
}

bool parseHeader(const unsigned char* data, std::size_t size, RecordHeader& header, unsigned& partIndex,
                 uint64_t& headerLength, std::string& error) {
    if (size < FIXED_HEADER || std::memcmp(data, MAGIC, sizeof MAGIC) != 0) {
        error = "not an SD-card record (unknown signature)";
        return false;
    }
    uint16_t format = get16(data + 8);
    if (format < FIRST_FORMAT_VERSION || format > FORMAT_VERSION) {
        error = "SD-card record format " + std::to_string(format) + " is not supported";
        return false;
    }
    partIndex = get16(data + 10);
    uint32_t length = get32(data + 12);
    if (length < FIXED_HEADER + 4 || length > MAX_HEADER_BYTES) {
        error = "damaged header (impossible length)";
        return false;
    }
    if (size < length) {
        error = "header cut short";
        return false;
    }
    if (crc32(data, length - 4) != get32(data + length - 4)) {
        error = "damaged header (checksum mismatch)";
        return false;
    }
    const unsigned char* p = data + FIXED_HEADER;
    const unsigned char* end = data + length - 4;
    bool ok = true;
    auto need = [&](std::size_t n) {
        if (static_cast<std::size_t>(end - p) < n)
            ok = false;
        return ok;
    };
    auto read16 = [&]() -> uint16_t {
        if (!need(2))
            return 0;
        uint16_t v = get16(p);
        p += 2;
        return v;
    };
    auto readString = [&](std::size_t len) -> std::string {
        if (!need(len))
            return {};
        std::string s(reinterpret_cast<const char*>(p), len);
        p += len;
        return s;
    };
    RecordHeader h;
    h.format = format;
    h.version = readString(read16());
    h.blockRate = read16();
    h.firstSequence = read16();
    uint16_t count = read16();
    if (ok && count > limits::MAX_SIGNALS) {
        error = "implausible header: it claims " + std::to_string(count) + " signals (at most " +
                std::to_string(limits::MAX_SIGNALS) + ")";
        return false;
    }
    for (uint16_t i = 0; ok && i < count; ++i) {
        KvnSignal s;
        s.name = readString(read16());
        s.channels = read16();
        s.channels2 = s.channels;
        s.samples = read16();
        s.mode = read16();
        h.signals.push_back(std::move(s));
    }
    uint32_t setupLength = 0;
    if (need(4)) {
        setupLength = get32(p);
        p += 4;
    }
    h.setup = readString(setupLength);
    if (!ok || p != end) {
        error = "damaged header (fields do not match its length)";
        return false;
    }
    if (h.blockRate == 0) {
        error = "damaged header (block rate 0)";
        return false;
    }
    if (std::string problem = limits::recordProblem(h.signals, h.blockRate); !problem.empty()) {
        error = "implausible header: " + problem;
        return false;
    }
    if (h.valuesPerBlock() > MAX_BLOCK_VALUES) {
        error = "damaged header (blocks too large)";
        return false;
    }
    header = std::move(h);
    headerLength = length;
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Writer

SdCardWriter::SdCardWriter(uint64_t maxFileBytes) : maxFileBytes_(maxFileBytes) {}

SdCardWriter::~SdCardWriter() { close(); }

bool SdCardWriter::fail(const std::string& message) {
    error_ = message;
    return false;
}

bool SdCardWriter::open(const std::string& cardFolder, const std::string& directory, const std::string& fileName,
                        const RecordHeader& header) {
    close();
    error_.clear();
    blocks_ = 0;
    part_ = 0;
    if (header.blockRate == 0)
        return fail("the block rate must be positive");
    if (std::string problem = limits::recordProblem(header.signals, header.blockRate); !problem.empty())
        return fail(problem);
    if (header.valuesPerBlock() > MAX_BLOCK_VALUES)
        return fail("blocks too large for the SD-card format");
    std::string dir = directory;
    std::replace(dir.begin(), dir.end(), '\\', '/');
    fs::path rel = fs::path(dir).lexically_normal();
    if (rel.has_root_path())
        rel = rel.relative_path();
    if (!rel.empty() && *rel.begin() == "..")
        return fail("the folder " + directory + " lies outside the SD card");
    std::string name = sanitizeName(fileName);
    if (name.empty())
        return fail("the record has no file name");

    fs::path folder = fs::path(cardFolder) / rel;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec || !fs::is_directory(folder, ec))
        return fail("cannot create the folder " + folder.string() + ": " + (ec ? ec.message() : "not a folder"));
    folder = fs::absolute(folder, ec).lexically_normal();

    std::string chosen = name;
    for (unsigned n = 0; fileExists(folder / partFileName(0, chosen)); ++n) {
        if (n > 100000)
            return fail("too many records named " + name + " in " + folder.string());
        chosen = name + "_" + std::to_string(n);
    }
    std::string s = folder.string();
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    folder_ = s;
    name_ = chosen;
    header_ = header;
    valuesPerBlock_ = header.valuesPerBlock();
    std::vector<unsigned char> probe;
    if (!buildHeader(header_, 0, probe, error_))
        return false;
    return openPart(0);
}

bool SdCardWriter::openPart(unsigned index) {
    std::vector<unsigned char> bytes;
    if (!buildHeader(header_, index, bytes, error_))
        return false;
    std::string path = folder_ + "/" + partFileName(index, name_);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return fail("cannot create " + path + ": " + std::strerror(errno));
    std::setvbuf(f, nullptr, _IOFBF, 64 * 1024);
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::fclose(f);
        return fail("cannot write " + path + ": " + std::strerror(errno));
    }
    file_ = f;
    part_ = index;
    fileBytes_ = partHeaderBytes_ = bytes.size();
    return true;
}

unsigned char* SdCardWriter::prepare(uint32_t bytes) {
    buffer_.resize(BLOCK_OVERHEAD + static_cast<std::size_t>(bytes));
    return buffer_.data() + 16;
}

bool SdCardWriter::emit(uint16_t type, uint16_t sequence, int16_t battery, uint16_t flags) {
    if (!file_)
        return fail(error_.empty() ? "no SD-card record is open" : error_);
    const uint64_t blockBytes = buffer_.size();
    const uint32_t bytes = static_cast<uint32_t>(blockBytes - BLOCK_OVERHEAD);
    // Split only after at least one block, so that a tiny limit still makes progress. Room is kept for the
    // continuation block that ends a part.
    if (fileBytes_ + blockBytes + BLOCK_OVERHEAD > maxFileBytes_ && fileBytes_ > partHeaderBytes_) {
        std::FILE* old = file_;
        file_ = nullptr;
        unsigned char marker[BLOCK_OVERHEAD] = {};
        marker[0] = static_cast<unsigned char>(BLOCK_MARKER);
        marker[1] = static_cast<unsigned char>(BLOCK_MARKER >> 8);
        marker[2] = static_cast<unsigned char>(BLOCK_CONTINUED);
        set32(marker + 16, crc32(marker + 2, 14));
        bool closed = std::fwrite(marker, 1, sizeof marker, old) == sizeof marker;
        closed = std::fflush(old) == 0 && closed;
        closed = std::fclose(old) == 0 && closed;
        if (!closed)
            return fail("cannot finish part " + std::to_string(part_) + " of the record");
        if (!openPart(part_ + 1))
            return false;
    }
    unsigned char* b = buffer_.data();
    auto at16 = [&](std::size_t off, uint16_t v) {
        b[off] = static_cast<unsigned char>(v);
        b[off + 1] = static_cast<unsigned char>(v >> 8);
    };
    at16(0, BLOCK_MARKER);
    at16(2, type);
    at16(4, sequence);
    at16(6, static_cast<uint16_t>(battery));
    at16(8, flags);
    at16(10, 0);
    set32(b + 12, bytes);
    set32(b + 16 + bytes, crc32(b + 2, 14 + static_cast<std::size_t>(bytes)));
    if (std::fwrite(b, 1, buffer_.size(), file_) != buffer_.size())
        return fail(std::string("cannot write to the SD-card record: ") + std::strerror(errno));
    fileBytes_ += blockBytes;
    ++blocks_;
    return true;
}

bool SdCardWriter::writeBlock(uint16_t sequence, int16_t battery, uint16_t flags, const double* values,
                              std::size_t count) {
    if (count != valuesPerBlock_)
        return fail("a block of " + std::to_string(count) + " values where the record expects " +
                    std::to_string(valuesPerBlock_));
    if (count && !values)
        return fail("a block without values");
    putDoubles(prepare(static_cast<uint32_t>(count * sizeof(double))), values, count);
    return emit(static_cast<uint16_t>(BLOCK_SAMPLES), sequence, battery, flags);
}

bool SdCardWriter::writeSetup(uint16_t sequence, int16_t battery, uint16_t flags, const std::string& setup) {
    if (setup.size() > MAX_SETUP_BYTES)
        return fail("the positioning set-up is too long");
    unsigned char* payload = prepare(static_cast<uint32_t>(setup.size()));
    if (!setup.empty())
        std::memcpy(payload, setup.data(), setup.size());
    return emit(static_cast<uint16_t>(BLOCK_SETUP), sequence, battery, flags);
}

bool SdCardWriter::flush() {
    if (!file_)
        return false;
    if (std::fflush(file_) != 0)
        return fail(std::string("cannot write to the SD-card record: ") + std::strerror(errno));
    return true;
}

bool SdCardWriter::close() {
    if (!file_)
        return true;
    std::FILE* f = file_;
    file_ = nullptr;
    ++part_;
    bool ok = std::fflush(f) == 0;
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        return fail(std::string("cannot finish the SD-card record: ") + std::strerror(errno));
    return true;
}

// ---------------------------------------------------------------------------------------------------------
// Reader

SdCardReader::~SdCardReader() {
    if (file_)
        std::fclose(file_);
}

bool SdCardReader::fail(const std::string& message) {
    error_ = message;
    return false;
}

bool SdCardReader::open(const std::string& folder, const std::string& name) {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    opened_ = scanned_ = false;
    files_.clear();
    headerLengths_.clear();
    header_ = RecordHeader();
    totalBlocks_ = sampleBlocks_ = 0;
    lastSetup_.clear();
    setupChanges_.clear();
    error_.clear();
    note_.clear();
    tornLastPart_ = false;
    folder_ = folder;
    name_ = name;
    if (name.empty())
        return fail("no record name given");

    // Parts are "<k>_<name>.<ext>"; the record's own extension wins over other files of that stem.
    std::map<unsigned long, std::string> parts;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return fail("cannot read the folder " + folder + ": " + ec.message());
    std::string notRegular;
    for (const fs::directory_entry& e : it) {
        std::string file = e.path().filename().string();
        std::size_t dot = file.find('.');
        std::string stem = file.substr(0, dot);
        std::size_t us = stem.find('_');
        if (us == std::string::npos || us == 0 || us > 5 || stem.compare(us + 1, std::string::npos, name) != 0)
            continue;
        if (!std::all_of(stem.begin(), stem.begin() + us, [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        unsigned long k = std::stoul(stem.substr(0, us));
        if (stem.substr(0, us) != std::to_string(k))
            continue;  // "00_x" is not part 0
        std::string ext = dot == std::string::npos ? std::string() : file.substr(dot);
        std::error_code fec;
        if (!e.is_regular_file(fec)) {
            // Never opened: reading a pipe or a device would block or never end.
            if (ext == EXTENSION)
                notRegular = e.path().string();
            continue;
        }
        auto found = parts.find(k);
        if (found == parts.end() || ext == EXTENSION)
            parts[k] = e.path().string();
    }
    if (!notRegular.empty())
        return fail(notRegular + " is not a regular file (a pipe, a device or a folder)");
    if (parts.empty() || parts.begin()->first != 0)
        return fail("no file 0_" + name + " in " + folder);
    unsigned long expect = 0;
    for (const auto& [k, path] : parts) {
        if (k != expect)
            return fail("part " + std::to_string(expect) + " of record " + name + " is missing");
        ++expect;
        files_.push_back(path);
    }

    std::vector<unsigned char> buf;
    RecordHeader first;  // kept only when every part is readable: a refused record offers no signals
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const std::string& path = files_[i];
        std::string why;
        std::FILE* f = openRegularFile(path, why);
        if (!f)
            return fail(why);
        buf.assign(FIXED_HEADER, 0);
        std::size_t got = std::fread(buf.data(), 1, FIXED_HEADER, f);
        RecordHeader h;
        unsigned index = 0;
        uint64_t length = 0;
        std::string err;
        bool ok = false;
        if (got == FIXED_HEADER && std::memcmp(buf.data(), MAGIC, sizeof MAGIC) == 0) {
            uint32_t want = get32(buf.data() + 12);
            if (want >= FIXED_HEADER + 4 && want <= MAX_HEADER_BYTES) {
                buf.resize(want);
                got += std::fread(buf.data() + FIXED_HEADER, 1, want - FIXED_HEADER, f);
            }
        }
        std::fclose(f);
        const bool cut = got < FIXED_HEADER || got < buf.size();
        if (got == 0) {
            err = "the file is empty";
        } else {
            ok = parseHeader(buf.data(), got, h, index, length, err);
        }
        if (!ok && cut && i > 0 && i + 1 == files_.size()) {
            // The card lost power while it began this part: the record ends with the part before it.
            note_ = path + " ends inside its header (" + std::to_string(got) + " bytes); it holds no block";
            tornLastPart_ = true;
            files_.pop_back();
            break;
        }
        if (!ok)
            return fail(path + ": " + err);
        if (index != i)
            return fail(path + ": holds part " + std::to_string(index) + " where part " + std::to_string(i) +
                        " belongs");
        if (i == 0)
            first = h;
        else if (!(h == first))
            return fail(path + ": belongs to another record (its header differs from part 0)");
        headerLengths_.push_back(length);
    }
    header_ = std::move(first);
    lastSetup_ = header_.setup;
    opened_ = true;
    return true;
}

namespace {
const char* const cutPart = "cut short: it ends before the part that follows it begins";
}  // namespace

bool SdCardReader::scan() {
    if (!opened_)
        return false;
    if (scanned_)
        return error_.empty();
    scanned_ = true;
    totalBlocks_ = sampleBlocks_ = 0;
    lastSetup_ = header_.setup;
    setupChanges_.clear();
    const uint64_t sampleBytes = header_.valuesPerBlock() * sizeof(double);
    for (std::size_t i = 0; i < files_.size(); ++i) {
        const bool lastPart = i + 1 == files_.size();
        std::string why;
        std::FILE* f = openRegularFile(files_[i], why);
        if (!f)
            return fail(why);
        // Unbuffered: we only read the 16 bytes in front of each block.
        std::setvbuf(f, nullptr, _IONBF, 0);
        struct stat st {};
        if (::fstat(::fileno(f), &st) != 0) {
            std::fclose(f);
            return fail("cannot read the size of " + files_[i]);
        }
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        uint64_t pos = headerLengths_[i];
        std::string problem;
        bool continued = false;
        unsigned char head[16];
        while (pos < size) {
            if (continued) {
                problem = "damaged block at byte " + std::to_string(pos) + " (data after the end of the part)";
                break;
            }
            if (size - pos < 16) {
                problem = "cut short inside a block";
                break;
            }
            if (fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0 || std::fread(head, 1, 16, f) != 16) {
                problem = "cannot be read";
                break;
            }
            uint16_t marker = get16(head);
            uint16_t type = get16(head + 2);
            uint32_t len = get32(head + 12);
            if (marker != BLOCK_MARKER || (type != BLOCK_SAMPLES && type != BLOCK_SETUP && type != BLOCK_CONTINUED) ||
                (type == BLOCK_SAMPLES && len != sampleBytes) || (type == BLOCK_SETUP && len > MAX_SETUP_BYTES) ||
                (type == BLOCK_CONTINUED && len != 0)) {
                problem = "damaged block at byte " + std::to_string(pos);
                break;
            }
            if (size - pos < BLOCK_OVERHEAD + static_cast<uint64_t>(len)) {
                problem = "cut short inside a block";
                break;
            }
            if (type == BLOCK_CONTINUED) {
                continued = true;
            } else if (type == BLOCK_SETUP) {
                std::string text(len, '\0');
                if (len && std::fread(text.data(), 1, len, f) != len) {
                    problem = "cannot be read";
                    break;
                }
                setupChanges_.push_back({sampleBlocks_, get16(head + 4), text});
                lastSetup_ = std::move(text);
                ++totalBlocks_;
            } else {
                ++sampleBlocks_;
                ++totalBlocks_;
            }
            if (type != BLOCK_CONTINUED)
                pos += BLOCK_OVERHEAD + len;
            else
                pos += BLOCK_OVERHEAD;
        }
        std::fclose(f);
        if (problem == "cut short inside a block" && lastPart) {
            note_ = files_[i] + ": the last block is cut short; its " + std::to_string(size - pos) +
                    " bytes were left out";
            problem.clear();
        }
        if (!problem.empty())
            return fail(files_[i] + ": " + problem + " (after " + std::to_string(totalBlocks_) + " blocks)");
        if (continued && lastPart && !tornLastPart_)
            return fail(missingPart(i + 1));
        if (!continued && !lastPart && header_.format >= 2)
            return fail(files_[i] + ": " + cutPart);
    }
    return true;
}

std::string SdCardReader::missingPart(std::size_t index) const {
    return "part " + std::to_string(index) + " of record " + name_ + " (" + partFileName(static_cast<unsigned>(index), name_) +
           ") is missing; the record goes on there";
}

bool SdCardReader::openPartForReading(std::size_t index) {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    part_ = index;
    continued_ = false;
    if (index >= files_.size())
        return true;
    std::string why;
    std::FILE* f = openRegularFile(files_[index], why);
    if (!f)
        return fail(why);
    std::setvbuf(f, nullptr, _IOFBF, 1024 * 1024);
    if (fseeko(f, static_cast<off_t>(headerLengths_[index]), SEEK_SET) != 0) {
        std::fclose(f);
        return fail("cannot read " + files_[index]);
    }
    file_ = f;
    return true;
}

bool SdCardReader::rewind() {
    if (!opened_)
        return fail(error_.empty() ? "no record is open" : error_);
    error_.clear();
    blocksRead_ = 0;
    if (!tornLastPart_)
        note_.clear();
    return openPartForReading(0);
}

SdCardReader::Status SdCardReader::next(Block& block) {
    if (!opened_)
        return Status::Error;
    while (true) {
        if (part_ >= files_.size())
            return Status::End;
        if (!file_ && !openPartForReading(part_))
            return Status::Error;
        const bool lastPart = part_ + 1 == files_.size();
        const std::string& path = files_[part_];
        std::size_t consumed = 0;  // bytes of this block read so far
        // Where the block starts, for messages only (asking the stream costs a system call).
        auto where = [&] {
            return " at byte " + std::to_string(ftello(file_) - static_cast<off_t>(consumed)) + " (after " +
                   std::to_string(blocksRead_) + " blocks)";
        };
        // A last block cut short ends the record; anywhere else it is damage.
        auto cutShort = [&](std::size_t bytes) {
            if (lastPart) {
                note_ = path + ": the last block is cut short; its " + std::to_string(bytes) + " bytes were left out";
                std::fclose(file_);
                file_ = nullptr;
                part_ = files_.size();
                return Status::End;
            }
            fail(path + ": cut short inside a block" + where());
            return Status::Error;
        };
        unsigned char head[16];
        std::size_t got = std::fread(head, 1, 16, file_);
        consumed = got;
        if (got == 0 && std::feof(file_)) {
            if (continued_ && lastPart && !tornLastPart_) {
                fail(missingPart(part_ + 1));
                return Status::Error;
            }
            if (!continued_ && !lastPart && header_.format >= 2) {
                fail(path + ": " + cutPart + where());
                return Status::Error;
            }
            if (!openPartForReading(part_ + 1))
                return Status::Error;
            continue;
        }
        if (got != 16)
            return std::ferror(file_) ? (fail(path + ": cannot be read" + where()), Status::Error) : cutShort(got);
        uint16_t marker = get16(head);
        uint16_t type = get16(head + 2);
        uint32_t len = get32(head + 12);
        const uint64_t sampleBytes = header_.valuesPerBlock() * sizeof(double);
        if (continued_ || marker != BLOCK_MARKER ||
            (type != BLOCK_SAMPLES && type != BLOCK_SETUP && type != BLOCK_CONTINUED) ||
            (type == BLOCK_SAMPLES && len != sampleBytes) || (type == BLOCK_SETUP && len > MAX_SETUP_BYTES) ||
            (type == BLOCK_CONTINUED && len != 0)) {
            fail(path + ": damaged block" + where());
            return Status::Error;
        }
        payload_.resize(static_cast<std::size_t>(len) + 4);
        got = std::fread(payload_.data(), 1, payload_.size(), file_);
        consumed += got;
        if (got != payload_.size())
            return std::ferror(file_) ? (fail(path + ": cannot be read" + where()), Status::Error) : cutShort(16 + got);
        uint32_t crc = crc32(head + 2, 14);
        crc = crc32(payload_.data(), len, crc);
        if (crc != get32(payload_.data() + len)) {
            fail(path + ": damaged block (checksum mismatch)" + where());
            return Status::Error;
        }
        if (type == BLOCK_CONTINUED) {
            continued_ = true;
            continue;
        }
        block.type = type;
        block.sequence = get16(head + 4);
        block.battery = static_cast<int16_t>(get16(head + 6));
        block.flags = get16(head + 8);
        if (type == BLOCK_SAMPLES) {
            block.values.resize(len / sizeof(double));
            getDoubles(payload_.data(), block.values.data(), block.values.size());
            block.setup.clear();
        } else {
            block.values.clear();
            block.setup.assign(reinterpret_cast<const char*>(payload_.data()), len);
        }
        ++blocksRead_;
        return Status::Block;
    }
}

}  // namespace sdcard
