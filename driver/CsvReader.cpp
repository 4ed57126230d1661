#include "CsvReader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t FIXED_COLUMNS = 6;  // sample, sequence, battery, flags, timestamp, utc
constexpr uintmax_t MAX_DESCRIPTION_BYTES = 1024 * 1024;
constexpr std::size_t READ_CHUNK = 256 * 1024;

// Splits one CSV line, honouring double quotes.
std::vector<std::string> splitCsv(std::string_view line) {
    std::vector<std::string> fields(1);
    bool inQuotes = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (inQuotes) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                inQuotes = false;
            } else {
                fields.back() += c;
            }
        } else if (c == '"') {
            inQuotes = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
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

}  // namespace

// One data file, read line by line through its own buffer.
struct CsvReader::Source {
    std::string path;
    std::FILE* fp = nullptr;
    unsigned channels = 0;
    unsigned samples = 1;
    long dataStart = 0;  // byte after the header line
    std::size_t maxLine = 1 << 20;
    uint64_t nextSample = 0;
    std::vector<char> buffer;
    std::size_t begin = 0, end = 0;
    bool eof = false;

    ~Source() {
        if (fp)
            std::fclose(fp);
    }

    bool rewind() {
        begin = end = 0;
        eof = false;
        nextSample = 0;
        return fp && std::fseek(fp, dataStart, SEEK_SET) == 0;
    }

    // The next complete line (without its newline); false at the end of the file or before a torn last line.
    bool line(std::string_view& out) {
        while (true) {
            const char* start = buffer.data() + begin;
            const void* nl = end > begin ? std::memchr(start, '\n', end - begin) : nullptr;
            if (nl) {
                std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
                out = std::string_view(start, len);
                begin += len + 1;
                if (!out.empty() && out.back() == '\r')
                    out.remove_suffix(1);
                return true;
            }
            if (eof)
                return false;
            if (end - begin > maxLine)
                return false;  // no line is that long: the file is damaged here
            if (begin > 0) {
                std::memmove(buffer.data(), buffer.data() + begin, end - begin);
                end -= begin;
                begin = 0;
            }
            if (buffer.size() - end < READ_CHUNK)
                buffer.resize(end + READ_CHUNK);
            std::size_t got = std::fread(buffer.data() + end, 1, buffer.size() - end, fp);
            end += got;
            if (got == 0)
                eof = true;
        }
    }

    // Whole blocks in the file: the last complete line's sample number says how many rows came before it.
    int64_t completeBlocks() {
        std::error_code ec;
        const uintmax_t size = fs::file_size(path, ec);
        if (ec || size <= static_cast<uintmax_t>(dataStart))
            return 0;
        std::size_t chunk = 64 * 1024;
        std::vector<char> tail;
        while (true) {
            const uintmax_t from = size > chunk + static_cast<uintmax_t>(dataStart) ? size - chunk
                                                                                     : static_cast<uintmax_t>(dataStart);
            tail.resize(static_cast<std::size_t>(size - from));
            if (std::fseek(fp, static_cast<long>(from), SEEK_SET) != 0 ||
                std::fread(tail.data(), 1, tail.size(), fp) != tail.size())
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
                if (lineStart == 0 && from != static_cast<uintmax_t>(dataStart))
                    break;  // the line may start before this chunk
                std::string_view l(tail.data() + lineStart, lineEnd - lineStart);
                std::size_t pos = 0;
                uint64_t sample = 0;
                std::size_t fields = static_cast<std::size_t>(std::count(l.begin(), l.end(), ',')) + 1;
                if (fields == FIXED_COLUMNS + channels && parseInt(nextField(l, pos), sample) && sample < size) {
                    uint64_t rows = sample + 1;
                    return static_cast<int64_t>(rows / samples);
                }
                stop = lineStart;
            }
            if (from == static_cast<uintmax_t>(dataStart))
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
    std::error_code ec;
    if (!fs::is_regular_file(description, ec))
        return fail("no signalsInfo.csv in " + folder);
    const uintmax_t size = fs::file_size(description, ec);
    if (ec || size > MAX_DESCRIPTION_BYTES)
        return fail("signalsInfo.csv in " + folder + " is not a record description");
    std::string text(static_cast<std::size_t>(size), '\0');
    {
        std::FILE* f = std::fopen(description.c_str(), "rb");
        if (!f)
            return fail("cannot open " + description + ": " + std::strerror(errno));
        bool ok = std::fread(text.data(), 1, text.size(), f) == text.size();
        std::fclose(f);
        if (!ok)
            return fail("cannot read " + description);
    }

    std::vector<std::vector<std::string>> rows;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string_view l(text.data() + pos, nl - pos);
        if (!l.empty() && l != "\r")
            rows.push_back(splitCsv(l));
        pos = nl + 1;
    }
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

    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string>& row = rows[r];
        const std::string where = description + ", line " + std::to_string(r + 1);
        if (row.size() != rows[0].size())
            return fail(where + ": " + std::to_string(row.size()) + " fields where the header has " +
                        std::to_string(rows[0].size()));
        int format = 0, sensor = 0;
        unsigned rate = 0, channels = 0, samples = 0, mode = 0;
        if (!parseInt(row[col[0]], format) || format != 1)
            return fail(where + ": unknown record format \"" + row[col[0]] + "\"");
        if (!parseInt(row[col[2]], rate) || rate == 0 || rate > 100000 || !parseInt(row[col[3]], sensor) ||
            !parseInt(row[col[5]], channels) || !parseInt(row[col[6]], samples) || !parseInt(row[col[7]], mode))
            return fail(where + ": a number is missing or damaged");
        if (r == 1) {
            blockRate_ = rate;
            device_ = row[col[1]];
            sensorType_ = sensor;
        } else if (rate != blockRate_) {
            return fail(where + ": the block rate differs from the first line");
        }
        const std::string& file = row[col[8]];
        if (file.empty())
            continue;  // a signal that recorded nothing
        if (!safeFileName(file))
            return fail(where + ": bad file name \"" + file + "\"");
        if (channels > 100000 || samples == 0 || samples > 100000 || (channels == 0 && file != "UTC.csv"))
            return fail(where + ": impossible channel or sample count");

        auto src = std::make_unique<Source>();
        src->path = folder + "/" + file;
        src->channels = file == "UTC.csv" ? 0 : channels;
        src->samples = file == "UTC.csv" ? 1 : samples;
        // Room for the fixed columns and the longest number text in every column.
        src->maxLine = 256 + (FIXED_COLUMNS + src->channels) * 32;
        src->fp = std::fopen(src->path.c_str(), "rb");
        if (!src->fp)
            return fail("cannot open " + src->path + ": " + std::strerror(errno));
        std::string_view head;
        if (!src->line(head))
            return fail(src->path + " has no header line");
        if (std::count(head.begin(), head.end(), ',') + 1 != static_cast<long>(FIXED_COLUMNS + src->channels) ||
            head.substr(0, 7) != "sample,")
            return fail(src->path + ": the header does not match the description");
        src->dataStart = static_cast<long>(src->begin);  // bytes consumed by the header line
        if (file == "UTC.csv") {
            utcFile_ = std::move(src);
        } else {
            signals_.emplace_back(row[col[4]], channels, channels, samples, 1u);
            sources_.push_back(std::move(src));
        }
    }
    if (sources_.empty())
        return fail(description + " names no data file");

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

unsigned CsvReader::signalSamplingRate(std::size_t index) const {
    return index < signals_.size() ? signals_[index].samples * blockRate_ : 0;
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

Frame CsvReader::read() {
    if (!open_ || ended_ || position_ >= totalBlocks_)
        return endFrame();
    Frame frame;
    frame.blocks.reserve(sources_.size());
    bool first = true;
    auto readRows = [&](Source& s, DataBlock* block) {
        std::string_view l;
        for (unsigned r = 0; r < s.samples; ++r) {
            if (!s.line(l)) {
                error_ = s.path + ": ends inside block " + std::to_string(position_);
                return false;
            }
            std::size_t pos = 0;
            uint64_t sample = 0;
            uint16_t sequence = 0, flags = 0;
            int16_t battery = 0;
            int64_t timestamp = 0, utc = 0;
            std::string_view ts, u;
            bool ok = parseInt(nextField(l, pos), sample) && sample == s.nextSample &&
                      parseInt(nextField(l, pos), sequence) && parseInt(nextField(l, pos), battery) &&
                      parseInt(nextField(l, pos), flags);
            if (ok) {
                ts = nextField(l, pos);
                u = nextField(l, pos);
                ok = (ts.empty() || parseInt(ts, timestamp)) && (u.empty() || parseInt(u, utc));
            }
            for (unsigned c = 0; ok && block && c < s.channels; ++c) {
                std::string_view v = nextField(l, pos);
                double& out = block->at(r, c);
                auto res = std::from_chars(v.data(), v.data() + v.size(), out);
                ok = res.ec == std::errc() && res.ptr == v.data() + v.size();
                if (res.ec == std::errc::result_out_of_range) {
                    // Subnormals read back through strtod, which rounds them as they were written.
                    std::string copy(v);
                    char* endp = nullptr;
                    out = std::strtod(copy.c_str(), &endp);
                    ok = endp == copy.c_str() + copy.size();
                }
            }
            if (!ok || pos <= l.size()) {
                error_ = s.path + ": damaged line at sample " + std::to_string(s.nextSample);
                return false;
            }
            ++s.nextSample;
            if (first) {
                frame.sequence = sequence;
                frame.battery = battery;
                frame.flags = flags;
                first = false;
            }
            if (!ts.empty())
                frame.timestamp = timestamp;
            if (!u.empty())
                frame.utc = utc;
        }
        return true;
    };
    for (auto& s : sources_) {
        frame.blocks.emplace_back(s->samples, s->channels);
        if (!readRows(*s, &frame.blocks.back()))
            return endFrame();
    }
    if (utcFile_ && !readRows(*utcFile_, nullptr))
        return endFrame();
    ++position_;
    return frame;
}
