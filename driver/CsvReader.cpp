// Written here on purpose: the record's CSV dialect and its damage rules (whole blocks only, bounded memory, no
// pipes or devices opened) are ours; a general CSV parser would accept what this one must refuse.
#include "CsvReader.h"

#include "RecordLimits.h"
#include "SignalLayout.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

constexpr std::size_t FIXED_COLUMNS = 6;  // sample, sequence, battery, flags, timestamp, utc
constexpr uint64_t MAX_DESCRIPTION_BYTES = 1024 * 1024;
constexpr std::size_t READ_CHUNK = 256 * 1024;

// Splits a whole CSV text into rows of fields, honouring double quotes (a quoted field may hold commas, quotes
// and line breaks). Blank lines give no row.
std::vector<std::vector<std::string>> parseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> fields(1);
    bool inQuotes = false, quoted = false;
    auto endRow = [&] {
        if (fields.size() > 1 || !fields[0].empty() || quoted)
            rows.push_back(std::move(fields));
        fields.assign(1, std::string());
        quoted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                inQuotes = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            inQuotes = quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            endRow();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    endRow();
    return rows;
}

template <typename T>
bool parseInt(std::string_view text, T& out) {
    if (text.empty())
        return false;
    auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

// The next comma-separated field of `line` from `pos`; moves `pos` past the comma.
// Past the last field it gives empty fields, which no parse accepts.
std::string_view nextField(std::string_view line, std::size_t& pos) {
    if (pos > line.size())
        return {};
    std::size_t end = line.find(',', pos);
    if (end == std::string_view::npos)
        end = line.size();
    std::string_view f = line.substr(pos, end - pos);
    pos = end + 1;
    return f;
}

bool safeFileName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name != "." && name != "..";
}

// Opens `path` for reading only when it is a regular file: a pipe or a device would block the reader or never
// end. Gives -1 with `why` set otherwise.
int openRegular(const std::string& path, uint64_t& size, std::string& why, bool* missing = nullptr) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (missing)
            *missing = errno == ENOENT;
        why = "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        why = path + " is not a regular file (a pipe, a device or a folder)";
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

bool readAt(int fd, char* out, std::size_t bytes, uint64_t at) {
    while (bytes > 0) {
        const ssize_t got = ::pread(fd, out, bytes, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        bytes -= static_cast<std::size_t>(got);
        at += static_cast<uint64_t>(got);
    }
    return true;
}

}  // namespace

// One data file, read line by line through its own buffer. It finds whole blocks by their rows' sample numbers,
// so a damaged stretch costs the blocks it touches and reading goes on behind it.
struct CsvReader::Source {
    enum class Line { Ok, Damaged, End };

    std::string path;
    int fd = -1;
    unsigned channels = 0;
    unsigned samples = 1;
    unsigned extra = 0;  // columns after the channels: "imu" in an aux input's file
    std::vector<std::string> names;  // the channels' own names; empty when they are ch1...chN
    uint64_t dataStart = 0;  // byte after the header line
    std::size_t maxLine = 1 << 20;
    // Grown without zeroing: a reader opened for a short look (the open dialog) should not pay for clearing it.
    std::unique_ptr<char[]> data;
    std::size_t capacity = 0;
    std::size_t begin = 0, end = 0;
    uint64_t offset = 0;  // file offset of data[end]
    bool eof = false;

    // The block found by nextBlock(), not yet delivered.
    int64_t pendingIndex = -1;
    DataBlock pending;
    uint16_t sequence = 0, flags = 0;
    int16_t battery = 0;
    int64_t timestamp = 0, utc = 0;
    bool hasTimestamp = false, hasUtc = false;
    // First damaged byte met since the last delivered block, or -1.
    int64_t damagedAt = -1;

    ~Source() {
        if (fd >= 0)
            ::close(fd);
    }

    bool rewind() {
        begin = end = 0;
        eof = false;
        pendingIndex = -1;
        damagedAt = -1;
        offset = dataStart;
        return fd >= 0 && ::lseek(fd, static_cast<off_t>(dataStart), SEEK_SET) == static_cast<off_t>(dataStart);
    }

    void fill() {
        if (capacity - end < READ_CHUNK / 2) {
            const std::size_t grown = std::max(2 * capacity, end + READ_CHUNK);
            std::unique_ptr<char[]> bigger(new char[grown]);
            if (end)
                std::memcpy(bigger.get(), data.get(), end);
            data = std::move(bigger);
            capacity = grown;
        }
        ssize_t got;
        do
            got = ::read(fd, data.get() + end, capacity - end);
        while (got < 0 && errno == EINTR);
        if (got <= 0) {
            eof = true;
            return;
        }
        end += static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }

    // The next line (without its newline) and the file offset where it starts. Damaged, after skipping it:
    // a run of NUL bytes (no line holds one: a hole in a sparse file, a zeroed sector) or a line longer than
    // any data line can be. End at the end of the file or before a torn last line.
    Line line(std::string_view& out, uint64_t& at) {
        bool skipping = false, zeros = false;
        while (true) {
            if (!skipping) {
                std::size_t b = begin;
                while (b < end && data[b] == '\0')
                    ++b;
                if (b > begin) {
                    if (!zeros)
                        at = offset - (end - begin);
                    zeros = true;
                    begin = b;
                }
                if (zeros && begin < end)
                    return Line::Damaged;  // a line starts behind the run
            }
            const char* start = data.get() + begin;
            const void* nl = end > begin ? std::memchr(start, '\n', end - begin) : nullptr;
            if (nl) {
                const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
                if (!skipping)
                    at = offset - (end - begin);
                out = std::string_view(start, len);
                begin += len + 1;
                if (skipping)
                    return Line::Damaged;
                if (!out.empty() && out.back() == '\r')
                    out.remove_suffix(1);
                return Line::Ok;
            }
            if (eof)
                return Line::End;
            if (!skipping && end - begin > maxLine) {
                skipping = true;
                at = offset - (end - begin);
            }
            if (skipping || begin == end) {
                begin = end = 0;
                // A hole in a sparse file holds no line; jump over it instead of reading its zeros.
                const off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
                if (data < 0 && errno == ENXIO) {
                    eof = true;
                    continue;
                }
                if (data > static_cast<off_t>(offset))
                    offset = static_cast<uint64_t>(data);
                else if (data < 0)
                    ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
            } else if (begin > 0) {
                std::memmove(data.get(), data.get() + begin, end - begin);
                end -= begin;
                begin = 0;
            }
            fill();
        }
    }

    void damaged(uint64_t at) {
        if (damagedAt < 0)
            damagedAt = static_cast<int64_t>(at);
    }

    // Reads the rest of a row (after its sample number) into row `r` of the pending block; false when damaged.
    bool parseRow(std::string_view l, std::size_t pos, unsigned r) {
        uint16_t seq = 0, fl = 0;
        int16_t bat = 0;
        int64_t ts = 0, u = 0;
        if (!parseInt(nextField(l, pos), seq) || !parseInt(nextField(l, pos), bat) || !parseInt(nextField(l, pos), fl))
            return false;
        const std::string_view tsText = nextField(l, pos), utcText = nextField(l, pos);
        if ((!tsText.empty() && !parseInt(tsText, ts)) || (!utcText.empty() && !parseInt(utcText, u)))
            return false;
        for (unsigned c = 0; c < channels; ++c) {
            const std::string_view v = nextField(l, pos);
            double& out = pending.at(r, c);
            auto res = std::from_chars(v.data(), v.data() + v.size(), out);
            bool ok = res.ec == std::errc() && res.ptr == v.data() + v.size();
            if (res.ec == std::errc::result_out_of_range) {
                // Subnormals read back through strtod, which rounds them as they were written.
                std::string copy(v);
                char* endp = nullptr;
                out = std::strtod(copy.c_str(), &endp);
                ok = endp == copy.c_str() + copy.size();
            }
            if (!ok)
                return false;
        }
        for (unsigned e = 0; e < extra; ++e)
            nextField(l, pos);
        if (pos <= l.size())
            return false;  // more fields than the header
        if (r == 0) {
            sequence = seq;
            battery = bat;
            flags = fl;
            hasTimestamp = hasUtc = false;
        }
        if (!tsText.empty()) {
            timestamp = ts;
            hasTimestamp = true;
        }
        if (!utcText.empty()) {
            utc = u;
            hasUtc = true;
        }
        return true;
    }

    // Finds the next whole, undamaged block whose index is at least `from` and below `limit`; it becomes the
    // pending block. False when the file holds no such block.
    bool nextBlock(int64_t from, int64_t limit) {
        pendingIndex = -1;
        if (pending.rows() != samples || pending.cols() != channels)
            pending.resize(samples, channels);
        int64_t candidate = -1;
        unsigned filled = 0;
        std::string_view l;
        uint64_t at = 0;
        while (true) {
            const Line status = line(l, at);
            if (status == Line::End)
                return false;
            std::size_t pos = 0;
            uint64_t sample = 0;
            if (status == Line::Damaged || !parseInt(nextField(l, pos), sample)) {
                damaged(at);
                candidate = -1;
                continue;
            }
            unsigned r = 0;
            if (candidate >= 0 && sample == static_cast<uint64_t>(candidate) * samples + filled) {
                r = filled;
            } else if (sample % samples == 0 && sample / samples >= static_cast<uint64_t>(from) &&
                       sample / samples < static_cast<uint64_t>(limit)) {
                if (candidate >= 0)
                    damaged(at);  // a block broken off before its end
                candidate = static_cast<int64_t>(sample / samples);
                filled = 0;
            } else {
                if (candidate >= 0 || sample >= static_cast<uint64_t>(limit) * samples)
                    damaged(at);
                candidate = -1;
                continue;
            }
            if (!parseRow(l, pos, r)) {
                damaged(at);
                candidate = -1;
                continue;
            }
            if (++filled == samples) {
                pendingIndex = candidate;
                return true;
            }
        }
    }

    // Whole blocks in the file: the last complete line's sample number says how many rows came before it.
    int64_t completeBlocks() {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return 0;
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size <= dataStart)
            return 0;
        std::size_t chunk = 64 * 1024;
        std::vector<char> tail;
        while (true) {
            const uint64_t from = size > chunk + dataStart ? size - chunk : dataStart;
            tail.resize(static_cast<std::size_t>(size - from));
            if (!readAt(fd, tail.data(), tail.size(), from))
                return 0;
            // Walk back over complete lines until one carries a plausible sample number.
            std::size_t stop = tail.size();
            while (stop > 0 && tail[stop - 1] != '\n')
                --stop;  // a torn last line
            while (stop > 0) {
                std::size_t lineEnd = stop - 1;
                std::size_t lineStart = lineEnd;
                while (lineStart > 0 && tail[lineStart - 1] != '\n')
                    --lineStart;
                if (lineStart == 0 && from != dataStart)
                    break;  // the line may start before this chunk
                std::string_view l(tail.data() + lineStart, lineEnd - lineStart);
                std::size_t pos = 0;
                uint64_t sample = 0;
                std::size_t fields = static_cast<std::size_t>(std::count(l.begin(), l.end(), ',')) + 1;
                if (fields == FIXED_COLUMNS + channels + extra && parseInt(nextField(l, pos), sample) && sample < size) {
                    uint64_t rows = sample + 1;
                    return static_cast<int64_t>(rows / samples);
                }
                stop = lineStart;
            }
            if (from == dataStart)
                return 0;
            if (chunk >= (64u << 20))
                return 0;  // no readable line near the end: treat the file as holding nothing
            chunk *= 4;
        }
    }
};

CsvReader::CsvReader() = default;
CsvReader::~CsvReader() = default;

bool CsvReader::fail(const std::string& message) {
    error_ = message;
    close();
    return false;
}

void CsvReader::close() {
    sources_.clear();
    utcFile_.reset();
    signals_.clear();
    open_ = false;
    ended_ = true;
    totalBlocks_ = 0;
    position_ = 0;
    nextBlock_ = 0;
}

bool CsvReader::open(const std::string& folderArg) {
    const std::string folder = folderArg;  // the argument may be our own folder_
    close();
    error_.clear();
    folder_ = folder;
    device_.clear();
    sensorType_ = 0;
    blockRate_ = 0;

    const std::string description = folder + "/signalsInfo.csv";
    std::string text;
    {
        uint64_t size = 0;
        std::string why;
        bool missing = false;
        const int fd = openRegular(description, size, why, &missing);
        if (fd < 0)
            return fail(missing ? "no signalsInfo.csv in " + folder : why);
        if (size > MAX_DESCRIPTION_BYTES) {
            ::close(fd);
            return fail("signalsInfo.csv in " + folder + " is not a record description (" + std::to_string(size) +
                        " bytes)");
        }
        text.resize(static_cast<std::size_t>(size));
        const bool ok = readAt(fd, text.data(), text.size(), 0);
        ::close(fd);
        if (!ok)
            return fail("cannot read " + description);
    }

    if (text.find('\0') != std::string::npos)  // text holds none: zeroed sectors, or no description at all
        return fail(description + " is damaged (it holds NUL bytes)");
    const std::vector<std::vector<std::string>> rows = parseCsv(text);
    const char* required[] = {"format", "device", "block_rate", "sensor_type", "signal",
                              "channels", "samples_per_block", "mode", "filename"};
    if (rows.empty())
        return fail(description + " is empty");
    std::size_t col[9];
    for (int i = 0; i < 9; ++i) {
        auto it = std::find(rows[0].begin(), rows[0].end(), required[i]);
        if (it == rows[0].end())
            return fail(description + " lacks the column \"" + required[i] + "\"");
        col[i] = static_cast<std::size_t>(it - rows[0].begin());
    }
    if (rows.size() < 2)
        return fail(description + " describes no signal");
    if (rows.size() - 1 > limits::MAX_SIGNALS + 1)  // the signals and the UTC row
        return fail(description + " describes " + std::to_string(rows.size() - 1) + " signals (at most " +
                    std::to_string(limits::MAX_SIGNALS) + ")");

    uint64_t values = 0;  // per second, over the signals so far
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string>& row = rows[r];
        const std::string where = description + ", row " + std::to_string(r + 1);
        if (row.size() != rows[0].size())
            return fail(where + ": " + std::to_string(row.size()) + " fields where the header has " +
                        std::to_string(rows[0].size()));
        int format = 0, sensor = 0;
        unsigned rate = 0, channels = 0, samples = 0, mode = 0;
        if (!parseInt(row[col[0]], format) || format != 1)
            return fail(where + ": unknown record format \"" + row[col[0]] + "\"");
        if (!parseInt(row[col[2]], rate) || rate == 0 || !parseInt(row[col[3]], sensor) ||
            !parseInt(row[col[5]], channels) || !parseInt(row[col[6]], samples) || !parseInt(row[col[7]], mode))
            return fail(where + ": a number is missing or damaged");
        if (rate > limits::MAX_BLOCK_RATE)
            return fail(where + ": " + std::to_string(rate) + " blocks per second (at most " +
                        std::to_string(limits::MAX_BLOCK_RATE) + ")");
        if (r == 1) {
            blockRate_ = rate;
            device_ = row[col[1]];
            sensorType_ = sensor;
        } else if (rate != blockRate_) {
            return fail(where + ": the block rate differs from the first row");
        }
        const std::string& file = row[col[8]];
        if (file.empty())
            continue;  // a signal that recorded nothing
        if (!safeFileName(file))
            return fail(where + ": bad file name \"" + file + "\"");
        const bool utc = file == "UTC.csv";
        if (samples == 0 || (channels == 0 && !utc))
            return fail(where + ": impossible channel or sample count");
        const std::string problem = limits::signalProblem(KvnSignal(row[col[4]], channels, channels, samples, 1), rate);
        if (!problem.empty())
            return fail(where + ": " + problem);
        if ((utc && utcFile_) || (!utc && sources_.size() >= limits::MAX_SIGNALS))
            return fail(where + ": one data file too many");
        if (!utc) {
            values += static_cast<uint64_t>(channels) * samples * rate;
            if (values > limits::MAX_VALUES_PER_SECOND)
                return fail(where + ": the record claims " + std::to_string(values) + " values per second (at most " +
                            std::to_string(limits::MAX_VALUES_PER_SECOND) + ")");
        }

        auto src = std::make_unique<Source>();
        src->path = folder + "/" + file;
        src->channels = utc ? 0 : channels;
        src->samples = utc ? 1 : samples;
        // Room for the fixed columns and the longest number text in every column.
        src->maxLine = 256 + (FIXED_COLUMNS + src->channels) * 32;
        uint64_t size = 0;
        std::string why;
        src->fd = openRegular(src->path, size, why);
        if (src->fd < 0)
            return fail(why);
        std::string_view head;
        uint64_t at = 0;
        if (src->line(head, at) != Source::Line::Ok)
            return fail(src->path + " has no header line");
        const auto columns = static_cast<std::size_t>(std::count(head.begin(), head.end(), ',')) + 1;
        // Records written before aux input files had their "imu" column read as well.
        const std::string_view imu = ",imu";
        src->extra = head.size() >= imu.size() && head.substr(head.size() - imu.size()) == imu ? 1 : 0;
        if (columns != FIXED_COLUMNS + src->channels + src->extra || head.substr(0, 7) != "sample,")
            return fail(src->path + ": the header has " + std::to_string(columns) + " columns where the description gives " +
                        std::to_string(FIXED_COLUMNS + src->channels) + "; the header does not match the description");
        src->dataStart = src->offset - (src->end - src->begin);  // bytes consumed by the header line
        if (!utc) {
            std::vector<std::string> fields;
            std::size_t from = 0;
            for (std::size_t comma; (comma = head.find(',', from)) != std::string_view::npos; from = comma + 1)
                fields.emplace_back(head.substr(from, comma - from));
            fields.emplace_back(head.substr(from));
            bool numbered = true;
            for (unsigned c = 0; c < channels; ++c) {
                src->names.push_back(fields[FIXED_COLUMNS + c]);
                numbered = numbered && src->names.back() == "ch" + std::to_string(c + 1);
            }
            if (numbered)
                src->names.clear();
        }
        if (utc) {
            utcFile_ = std::move(src);
        } else {
            signals_.emplace_back(row[col[4]], channels, channels, samples, 1u);
            sources_.push_back(std::move(src));
        }
    }
    if (sources_.empty())
        return fail(description + " names no data file");
    const std::string problem = limits::recordProblem(signals_, blockRate_);
    if (!problem.empty())
        return fail(description + ": " + problem);

    totalBlocks_ = -1;
    auto account = [&](Source& s) {
        int64_t n = s.completeBlocks();
        totalBlocks_ = totalBlocks_ < 0 ? n : std::min(totalBlocks_, n);
    };
    for (auto& s : sources_)
        account(*s);
    if (utcFile_)
        account(*utcFile_);
    if (totalBlocks_ < 0)
        totalBlocks_ = 0;
    open_ = true;
    if (!start())
        return fail("cannot read the data files of " + folder);
    return true;
}

int64_t CsvReader::duration() const { return blockRate_ ? totalBlocks_ / blockRate_ : 0; }

std::string CsvReader::signalName(std::size_t index) const {
    return index < signals_.size() ? signals_[index].name : std::string();
}

unsigned CsvReader::signalChannels(std::size_t index) const {
    return index < signals_.size() ? signals_[index].channels : 0;
}

unsigned CsvReader::signalSamples(std::size_t index) const {
    return index < signals_.size() ? signals_[index].samples : 0;
}

std::vector<std::string> CsvReader::channelNames(std::size_t index) const {
    return index < sources_.size() ? sources_[index]->names : std::vector<std::string>();
}

unsigned CsvReader::signalSamplingRate(std::size_t index) const {
    if (index >= signals_.size())
        return 0;
    return samplingRate(signals_[index].name, signals_[index].samples, blockRate_);
}

std::vector<KvnSignal> CsvReader::signalList() const { return signals_; }

bool CsvReader::start() {
    if (!open_)
        return false;
    for (auto& s : sources_)
        if (!s->rewind())
            return false;
    if (utcFile_ && !utcFile_->rewind())
        return false;
    position_ = 0;
    nextBlock_ = 0;
    ended_ = false;
    return true;
}

bool CsvReader::end() const { return !open_ || ended_; }

Frame CsvReader::endFrame() {
    ended_ = true;
    Frame f;
    f.flags = Frame::END_FLAGS;
    f.battery = -2;
    return f;
}

std::string CsvReader::damageNote(int64_t firstMissing, int64_t lastMissing) const {
    std::string where;
    auto mention = [&](const Source& s) {
        if (s.damagedAt >= 0)
            where += (where.empty() ? "" : ", ") + s.path + " is damaged at byte " + std::to_string(s.damagedAt);
    };
    for (const auto& s : sources_)
        mention(*s);
    if (utcFile_)
        mention(*utcFile_);
    if (firstMissing > lastMissing)
        return where;
    const std::string blocks = firstMissing == lastMissing ? "block " + std::to_string(firstMissing)
                                                           : "blocks " + std::to_string(firstMissing) + " to " +
                                                                 std::to_string(lastMissing);
    return (where.empty() ? std::string("the record") : where) + ": " + blocks + " left out";
}

Frame CsvReader::read() {
    if (!open_ || ended_ || nextBlock_ >= totalBlocks_)
        return endFrame();
    std::vector<Source*> all;
    all.reserve(sources_.size() + 1);
    for (auto& s : sources_)
        all.push_back(s.get());
    if (utcFile_)
        all.push_back(utcFile_.get());

    // Every file moves forward to the first block that all of them hold whole.
    int64_t target = nextBlock_;
    while (true) {
        int64_t highest = target;
        for (Source* s : all) {
            if (s->pendingIndex >= target)
                continue;
            if (!s->nextBlock(target, totalBlocks_)) {
                const std::string note = damageNote(nextBlock_, totalBlocks_ - 1);
                error_ = note.empty() ? s->path + ": ends before block " + std::to_string(target) +
                                            " of the " + std::to_string(totalBlocks_) + " its record holds"
                                      : note + "; playback stops after block " + std::to_string(nextBlock_ - 1);
                return endFrame();
            }
            highest = std::max(highest, s->pendingIndex);
        }
        if (std::all_of(all.begin(), all.end(), [&](const Source* s) { return s->pendingIndex == highest; })) {
            target = highest;
            break;
        }
        target = highest;
    }

    Frame frame;
    frame.blocks.reserve(sources_.size());
    const Source& first = *sources_.front();
    frame.sequence = first.sequence;
    frame.battery = first.battery;
    frame.flags = first.flags;
    for (Source* s : all) {
        if (s->hasTimestamp)
            frame.timestamp = s->timestamp;
        if (s->hasUtc)
            frame.utc = s->utc;
    }
    for (auto& s : sources_) {
        frame.blocks.push_back(std::move(s->pending));
        s->pending = DataBlock();
    }
    const std::string note = damageNote(nextBlock_, target - 1);
    if (!note.empty())
        error_ = note;
    for (Source* s : all) {
        s->pendingIndex = -1;
        s->damagedAt = -1;
    }
    nextBlock_ = target + 1;
    ++position_;
    return frame;
}
