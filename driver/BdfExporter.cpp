#include "BdfExporter.h"

#include "CsvReader.h"
#include "Importer.h"
#include "SignalLayout.h"
#include "SignalNames.h"

#include <edflib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// EDFlib's open and close touch its global table of files.
std::mutex& edflibMutex() {
    static std::mutex m;
    return m;
}

bool isAux(const KvnSignal& s) { return signalKind(s.name) == SignalKind::Aux; }

// Physical extremes are written into 8 header characters; a rounded value must read back as itself.
std::string headerText(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    std::string s = text;
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0') s.pop_back();
        if (!s.empty() && s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

// The library prints these by truncating the binary value, so only numbers whose binary value has a short
// exact decimal form (multiples of a power of two) read back as written.
double roundOutward(double v, bool up) {
    for (int n = 20; n >= 0; --n) {
        const double scale = std::ldexp(1.0, n);
        const double r = (up ? std::ceil(v * scale) : std::floor(v * scale)) / scale;
        if (headerText(r, n).size() <= 8) return r;
    }
    return up ? 99999999.0 : -9999999.0;
}

std::string errnoText() { return errno ? std::string(" (") + std::strerror(errno) + ")" : std::string(); }

bool pathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

struct Annotation {
    int64_t onset = 0;     // 100 us
    int64_t duration = -1; // 100 us, -1 none
    int priority = 0;      // kept first when the file cannot hold them all
    std::string text;
};

int64_t tenthMillis(int64_t blocks, unsigned blockRate) {
    return blockRate ? static_cast<int64_t>(std::llround(static_cast<double>(blocks) * 10000.0 / blockRate)) : 0;
}

char hexDigit(unsigned v) { return "0123456789ABCDEF"[v & 15]; }

}  // namespace

// --- RecordStart -------------------------------------------------------------------------------------------

RecordStart RecordStart::fromUtcMicros(int64_t utc) {
    RecordStart r;
    if (utc <= 0) return r;
    const std::time_t seconds = static_cast<std::time_t>(utc / 1000000);
    std::tm tm{};
    if (!localtime_r(&seconds, &tm)) return r;
    r.valid = true;
    r.year = tm.tm_year + 1900;
    r.month = tm.tm_mon + 1;
    r.day = tm.tm_mday;
    r.hour = tm.tm_hour;
    r.minute = tm.tm_min;
    r.second = std::min(tm.tm_sec, 59);
    r.microsecond = static_cast<int>(utc % 1000000);
    return r;
}

RecordStart RecordStart::fromPath(const std::string& path) {
    RecordStart r;
    static const std::regex full(R"((\d{4})-(\d\d)-(\d\d)_(\d\d)-(\d\d)-(\d\d))");
    static const std::regex card(R"((\d\d)-(\d\d)-(\d\d)[/\\](\d\d)-(\d\d)-(\d\d))");
    std::smatch m, last;
    bool found = false, fourDigits = false;
    for (auto it = path.cbegin(); std::regex_search(it, path.cend(), m, full); it = m.suffix().first) {
        last = m;
        found = fourDigits = true;
    }
    if (!found) {
        for (auto it = path.cbegin(); std::regex_search(it, path.cend(), m, card); it = m.suffix().first) {
            last = m;
            found = true;
        }
    }
    if (!found) return r;
    int v[6];
    for (int i = 0; i < 6; ++i) v[i] = std::stoi(last[i + 1].str());
    if (!fourDigits) v[0] += 2000;
    if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 || v[5] > 59 || v[0] < 1985 ||
        v[0] > 2084)
        return r;
    r.valid = true;
    r.year = v[0];
    r.month = v[1];
    r.day = v[2];
    r.hour = v[3];
    r.minute = v[4];
    r.second = v[5];
    return r;
}

// --- Sources -----------------------------------------------------------------------------------------------

ExportSource::~ExportSource() = default;

CsvRecordSource::CsvRecordSource() : reader_(std::make_unique<CsvReader>()) {}
CsvRecordSource::~CsvRecordSource() = default;

bool CsvRecordSource::open(const std::string& folder) {
    if (!reader_->open(folder)) {
        error_ = reader_->error().empty() ? "not a readable record: " + folder : reader_->error();
        return false;
    }
    deviceName = reader_->deviceName();
    start = RecordStart::fromPath(folder);
    return true;
}

std::vector<KvnSignal> CsvRecordSource::signalList() const { return reader_->signalList(); }
unsigned CsvRecordSource::blockRate() const { return reader_->blockRate(); }
int64_t CsvRecordSource::expectedBlocks() const { return reader_->totalBlocks(); }

bool CsvRecordSource::forEachBlock(const Visitor& visit) {
    if (!reader_->isOpen() || !reader_->start()) {
        error_ = "the record cannot be read: " + reader_->error();
        return false;
    }
    const std::vector<KvnSignal> list = reader_->signalList();
    const SignalLayout layout(list);
    const std::size_t perBlock = layout.blockSize();
    buffer_.assign(perBlock, 0.0);
    int64_t blocks = 0;
    for (;;) {
        const Frame frame = reader_->read();
        if (frame.isEnd()) break;
        std::size_t filled = 0;
        for (std::size_t i = 0; i < frame.blocks.size() && i < list.size(); ++i) {
            const DataBlock& b = frame.blocks[i];
            const SignalSlot& slot = layout[i];
            if (b.rows() * b.cols() != slot.size()) {
                error_ = "block " + std::to_string(blocks) + " of signal " + slot.name + " has the wrong size";
                return false;
            }
            std::copy(b.data(), b.data() + slot.size(), buffer_.begin() + static_cast<std::ptrdiff_t>(slot.offset));
            filled = slot.offset + slot.size();
        }
        if (filled != perBlock) {
            error_ = "block " + std::to_string(blocks) + " lacks signals";
            return false;
        }
        Block block;
        block.sequence = frame.sequence;
        block.flags = frame.flags;
        block.battery = frame.battery;
        block.utc = frame.utc;
        block.values = buffer_.data();
        if (!visit(block)) return false;
        ++blocks;
    }
    if (blocks < reader_->totalBlocks()) {
        // The reader skips damaged blocks; a file that silently lacks them would not be the record.
        error_ = "the record is damaged (" + std::to_string(blocks) + " of " + std::to_string(reader_->totalBlocks()) +
                 " blocks readable): " + reader_->error();
        return false;
    }
    return true;
}

SdCardSource::SdCardSource(BaseImporter& importer) : importer_(importer), current_(std::make_shared<Visitor>()) {
    version = importer.version();
    // The importer keeps its callbacks for good: this one forwards to whatever pass is running.
    std::weak_ptr<Visitor> current = current_;
    importer_.addCallback([current](const BaseImporter::Block& b) {
        auto visit = current.lock();
        if (!visit || !*visit) return true;
        if (b.type != BaseImporter::SAMPLES_BLOCK) return true;
        Block block;
        block.sequence = b.sequence;
        block.flags = b.flags;
        block.battery = b.battery;
        block.values = b.values;
        return (*visit)(block);
    });
}

std::vector<KvnSignal> SdCardSource::signalList() const {
    std::vector<KvnSignal> out;
    for (const KvnSignal& s : SignalLayout(importer_.get_signals()).present())
        if (s.channels > 0 && s.samples > 0) out.push_back(s);
    return out;
}

unsigned SdCardSource::blockRate() const { return importer_.blocks_per_second(); }
int64_t SdCardSource::expectedBlocks() const { return importer_.total_frames(); }

bool SdCardSource::forEachBlock(const Visitor& visit) {
    bool stopped = false;
    *current_ = [&](const Block& b) {
        if (!visit(b)) {
            stopped = true;
            return false;
        }
        return true;
    };
    const bool ok = importer_.import(false);
    *current_ = Visitor();
    note_ = ok ? importer_.note() : std::string();
    if (!ok && !stopped) error_ = importer_.error().empty() ? "the SD-card record cannot be read" : importer_.error();
    return ok && !stopped;
}

// --- Exporter ----------------------------------------------------------------------------------------------

std::vector<BdfExporter::Channel> BdfExporter::channels(const std::vector<KvnSignal>& list) {
    std::vector<Channel> out;
    const SignalLayout layout(list);
    std::size_t auxCount = 0;
    for (const SignalSlot& s : layout.entries()) auxCount += s.kind == SignalKind::Aux ? 1 : 0;
    auto axis = [](unsigned c) { return c < 9 ? std::string(SignalLayout::imuAxis(c)) : "ch" + std::to_string(c + 1); };
    for (const SignalSlot& s : layout.entries()) {
        const std::string stem = niceNameAndSuffix(std::string(), list, s.index);
        if (s.kind == SignalKind::Aux) {
            const std::string prefix = auxCount > 1 ? stem + "_" : std::string();
            for (unsigned imu = 0; imu < s.samples; ++imu)
                for (unsigned c = 0; c < s.channels; ++c) {
                    Channel ch;
                    ch.label = prefix + "IMU" + std::to_string(imu + 1) + "_" + axis(c);
                    ch.unit = unitSymbol(s.unit(c));
                    ch.signal = s.index;
                    ch.row = imu;
                    ch.column = c;
                    ch.perBlock = true;
                    out.push_back(ch);
                }
            continue;
        }
        const bool anchor = s.kind == SignalKind::Anchor && s.channels == 2;
        for (unsigned c = 0; c < s.channels; ++c) {
            Channel ch;
            ch.label = stem + "_" + (s.kind == SignalKind::Imu ? axis(c)
                                     : anchor                  ? std::string(c == 0 ? "Distance" : "Battery")
                                                               : "ch" + std::to_string(c + 1));
            ch.unit = unitSymbol(s.unit(c));
            ch.signal = s.index;
            ch.column = c;
            out.push_back(ch);
        }
    }
    return out;
}

unsigned BdfExporter::blocksPerRecord(unsigned blockRate, int64_t blocks) {
    if (blockRate == 0) return 1;
    // The header counts a record's duration in 10 us steps, and at least 1 ms.
    auto gcd = [](uint64_t a, uint64_t b) {
        while (b) {
            const uint64_t t = a % b;
            a = b;
            b = t;
        }
        return a;
    };
    unsigned unit = static_cast<unsigned>(blockRate / gcd(blockRate, 100000));
    while (static_cast<uint64_t>(unit) * 100000 / blockRate < 100) unit *= 2;
    const unsigned most = std::max(unit, blockRate - blockRate % unit);
    if (blocks > 0 && blocks % unit == 0) {
        for (unsigned k = most; k >= unit; k -= unit)
            if (blocks % k == 0) return k;
    }
    return unit;
}

void BdfExporter::physicalRange(double lo, double hi, double& outLo, double& outHi) {
    if (!(lo <= hi)) lo = hi = 0.0;
    double span = hi - lo;
    if (span < 1e-6 * std::max(std::fabs(lo), std::fabs(hi)) || span == 0.0)
        span = std::max(1.0, 0.1 * std::max(std::fabs(lo), std::fabs(hi)));
    outLo = roundOutward(lo - 0.05 * span, false);
    outHi = roundOutward(hi + 0.05 * span, true);
    if (!(outLo < outHi)) outHi = roundOutward(outLo + 1.0, true);
}

bool BdfExporter::fail(const std::string& message) {
    error_ = message;
    return false;
}

bool BdfExporter::write(ExportSource& source, const std::string& path, Format format, const Progress& progress) {
    error_.clear();
    cancelled_ = false;
    result_ = Result();

    const std::vector<KvnSignal> list = source.signalList();
    const unsigned blockRate = source.blockRate();
    if (list.empty()) return fail("the record holds no recorded signal");
    if (blockRate == 0) return fail("the record has a block rate of 0");
    if (pathExists(path)) return fail(path + " exists");

    const std::vector<Channel> chans = channels(list);
    const std::size_t nch = chans.size();
    if (nch + 64 > EDFLIB_MAXSIGNALS) return fail("the record has too many channels for one file");

    // Where each value of a block goes: its channel, and its sample within the channel's part of the block.
    std::vector<std::size_t> valueChannel, valueSample;
    {
        std::size_t c0 = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const KvnSignal& s = list[i];
            for (unsigned t = 0; t < s.samples; ++t)
                for (unsigned c = 0; c < s.channels; ++c) {
                    if (isAux(s)) {
                        valueChannel.push_back(c0 + t * s.channels + c);
                        valueSample.push_back(0);
                    } else {
                        valueChannel.push_back(c0 + c);
                        valueSample.push_back(t);
                    }
                }
            c0 += isAux(s) ? static_cast<std::size_t>(s.samples) * s.channels : s.channels;
        }
    }
    const std::size_t perBlock = valueChannel.size();
    std::vector<unsigned> channelSamples(nch);  // samples per block
    for (std::size_t k = 0; k < nch; ++k)
        channelSamples[k] = chans[k].perBlock ? 1 : list[chans[k].signal].samples;

    const double expected = static_cast<double>(std::max<int64_t>(1, source.expectedBlocks()));
    int64_t done = 0;
    auto report = [&]() {
        if (!progress) return true;
        if (!progress(std::min(1.0, static_cast<double>(done) / (2.0 * expected)))) {
            cancelled_ = true;
            return false;
        }
        return true;
    };

    // First pass: ranges, block count, gaps, flags.
    std::vector<double> lo(nch, std::numeric_limits<double>::infinity());
    std::vector<double> hi(nch, -std::numeric_limits<double>::infinity());
    std::vector<Annotation> notes;
    notes.push_back({0, -1, 0, "Record start"});
    int64_t blocks = 0;
    uint16_t lastSequence = 0;
    uint16_t runFlags = 0;
    int64_t runStart = 0;
    int64_t firstUtc = 0, lastUtc = 0;
    auto closeRun = [&](int64_t end) {
        if (runFlags == 0) return;
        std::string text = "Flags 0x";
        for (int shift = 12; shift >= 0; shift -= 4) text += hexDigit(runFlags >> shift);
        notes.push_back({tenthMillis(runStart, blockRate), tenthMillis(end - runStart, blockRate), 2, text});
    };
    const bool measured = source.forEachBlock([&](const ExportSource::Block& b) {
        for (std::size_t v = 0; v < perBlock; ++v) {
            const double x = b.values[v];
            if (!std::isfinite(x)) continue;
            const std::size_t c = valueChannel[v];
            if (x < lo[c]) lo[c] = x;
            if (x > hi[c]) hi[c] = x;
        }
        if (blocks == 0) {
            firstUtc = b.utc;
        } else {
            const uint16_t missing = static_cast<uint16_t>(b.sequence - lastSequence - 1);
            if (missing == 65535) {
                notes.push_back({tenthMillis(blocks, blockRate), -1, 1, "Sequence repeated: seq " + std::to_string(b.sequence)});
            } else if (missing != 0) {
                const uint16_t first = static_cast<uint16_t>(lastSequence + 1);
                const uint16_t last = static_cast<uint16_t>(b.sequence - 1);
                // The stamps tell a restart's pause, which sequence numbers (starting again at 0) cannot.
                int64_t duration = tenthMillis(missing, blockRate);
                if (b.utc > 0 && lastUtc > 0 && b.utc > lastUtc)
                    duration = std::max<int64_t>(0, (b.utc - lastUtc - 1000000 / blockRate) / 100);
                notes.push_back({tenthMillis(blocks, blockRate), duration, 1,
                                 "Link drop: seq " + std::to_string(first) + "-" + std::to_string(last) + " missing"});
            }
        }
        lastUtc = b.utc;
        if (b.flags != runFlags) {
            closeRun(blocks);
            runFlags = b.flags;
            runStart = blocks;
        }
        lastSequence = b.sequence;
        ++blocks;
        if ((blocks & 63) == 0) {
            done = blocks;
            return report();
        }
        return true;
    });
    if (!measured) return cancelled_ ? fail("cancelled") : fail(source.error());
    closeRun(blocks);
    if (blocks == 0) return fail("the record holds no block");
    done = blocks;

    RecordStart start = source.start;
    if (firstUtc > 0) start = RecordStart::fromUtcMicros(firstUtc);

    const unsigned k = blocksPerRecord(blockRate, blocks);
    const int64_t records = (blocks + k - 1) / k;
    result_.blocks = blocks;
    result_.blocksPerRecord = k;
    result_.dataRecords = records;
    result_.paddedBlocks = records * k - blocks;
    if (result_.paddedBlocks > 0)
        notes.push_back({tenthMillis(blocks, blockRate), tenthMillis(result_.paddedBlocks, blockRate), 0,
                         "Padding: last block repeated"});

    // One annotation per annotation signal per data record.
    const int64_t capacity = records * 64;
    std::stable_sort(notes.begin(), notes.end(), [](const Annotation& a, const Annotation& b) { return a.priority < b.priority; });
    if (static_cast<int64_t>(notes.size()) > capacity) {
        result_.droppedAnnotations = notes.size() - static_cast<std::size_t>(capacity);
        notes.resize(static_cast<std::size_t>(capacity));
    }
    std::stable_sort(notes.begin(), notes.end(), [](const Annotation& a, const Annotation& b) { return a.onset < b.onset; });
    const int annotSignals = static_cast<int>(std::min<int64_t>(64, std::max<int64_t>(1, (static_cast<int64_t>(notes.size()) + records - 1) / records)));
    result_.annotations = notes.size();

    const bool bdf = format == Format::Bdf;
    const int dmin = bdf ? -8388608 : -32768;
    const int dmax = bdf ? 8388607 : 32767;
    std::vector<double> gain(nch), offset(nch);
    result_.physicalMin.resize(nch);
    result_.physicalMax.resize(nch);
    for (std::size_t c = 0; c < nch; ++c) {
        double pmin, pmax;
        physicalRange(lo[c], hi[c], pmin, pmax);
        result_.physicalMin[c] = pmin;
        result_.physicalMax[c] = pmax;
        gain[c] = (static_cast<double>(dmax) - dmin) / (pmax - pmin);
        offset[c] = dmin - pmin * gain[c];
    }

    // Layout of one data record: each channel's k x samples-per-block samples in turn.
    std::vector<std::size_t> channelOffset(nch);
    std::size_t recordSamples = 0;
    for (std::size_t c = 0; c < nch; ++c) {
        channelOffset[c] = recordSamples;
        recordSamples += static_cast<std::size_t>(k) * channelSamples[c];
    }
    std::vector<std::size_t> dest0(perBlock), step(perBlock);
    for (std::size_t v = 0; v < perBlock; ++v) {
        dest0[v] = channelOffset[valueChannel[v]] + valueSample[v];
        step[v] = channelSamples[valueChannel[v]];
    }

    const std::string part = path + ".part";
    if (pathExists(part) && ::unlink(part.c_str()) != 0) return fail("cannot replace " + part + errnoText());
    int handle;
    {
        std::lock_guard<std::mutex> lock(edflibMutex());
        handle = edfopen_file_writeonly(part.c_str(), bdf ? EDFLIB_FILETYPE_BDFPLUS : EDFLIB_FILETYPE_EDFPLUS,
                                        static_cast<int>(nch));
    }
    if (handle < 0) {
        return fail("cannot create " + path +
                    (handle == EDFLIB_NO_SUCH_FILE_OR_DIRECTORY ? std::string(" (no such folder or not writable)") : errnoText()));
    }
    bool closed = false;
    auto abandon = [&](const std::string& message) {
        if (!closed) {
            std::lock_guard<std::mutex> lock(edflibMutex());
            edfclose_file(handle);
            closed = true;
        }
        ::unlink(part.c_str());
        return fail(message);
    };

    const int durationUnits = static_cast<int>(static_cast<uint64_t>(k) * 100000 / blockRate);
    bool ok = edf_set_datarecord_duration(handle, durationUnits) == 0;
    ok = ok && edf_set_number_of_annotation_signals(handle, annotSignals) == 0;
    for (std::size_t c = 0; ok && c < nch; ++c) {
        const int s = static_cast<int>(c);
        ok = edf_set_samplefrequency(handle, s, static_cast<int>(k * channelSamples[c])) == 0 &&
             edf_set_physical_maximum(handle, s, result_.physicalMax[c]) == 0 &&
             edf_set_physical_minimum(handle, s, result_.physicalMin[c]) == 0 &&
             edf_set_digital_maximum(handle, s, dmax) == 0 && edf_set_digital_minimum(handle, s, dmin) == 0 &&
             edf_set_label(handle, s, chans[c].label.c_str()) == 0 &&
             edf_set_physical_dimension(handle, s, chans[c].unit.c_str()) == 0;
    }
    if (ok && start.valid) {
        ok = edf_set_startdatetime(handle, start.year, start.month, start.day, start.hour, start.minute, start.second) == 0;
        // A resolution of 100 us, as the library recommends.
        ok = ok && edf_set_subsecond_starttime(handle, (start.microsecond / 100) * 1000) == 0;
    }
    if (ok && !source.deviceName.empty()) ok = edf_set_equipment(handle, source.deviceName.c_str()) == 0;
    if (ok && !source.version.empty()) ok = edf_set_recording_additional(handle, source.version.c_str()) == 0;
    if (!ok) return abandon("cannot set up the header of " + path);

    // Second pass: the samples.
    const std::size_t bytesPerSample = bdf ? 3 : 2;
    std::vector<unsigned char> record(recordSamples * bytesPerSample);
    std::vector<double> lastBlock(perBlock, 0.0);
    int64_t written = 0;
    unsigned inRecord = 0;
    std::string writeError;
    auto putBlock = [&](const double* values) {
        unsigned char* out = record.data();
        for (std::size_t v = 0; v < perBlock; ++v) {
            const std::size_t c = valueChannel[v];
            double x = values[v];
            if (!std::isfinite(x)) x = 0.0;
            double d = std::nearbyint(x * gain[c] + offset[c]);
            d = d < dmin ? dmin : d > dmax ? dmax : d;
            const int32_t digital = static_cast<int32_t>(d);
            const std::size_t at = (dest0[v] + static_cast<std::size_t>(inRecord) * step[v]) * bytesPerSample;
            out[at] = static_cast<unsigned char>(digital & 0xFF);
            out[at + 1] = static_cast<unsigned char>((digital >> 8) & 0xFF);
            if (bdf) out[at + 2] = static_cast<unsigned char>((digital >> 16) & 0xFF);
        }
        if (++inRecord == k) {
            inRecord = 0;
            errno = 0;
            const int rc = bdf ? edf_blockwrite_digital_3byte_samples(handle, record.data())
                               : edf_blockwrite_digital_short_samples(handle, reinterpret_cast<short*>(record.data()));
            if (rc != 0) {
                writeError = "cannot write " + path + (errno ? errnoText() : std::string(" (disk full?)"));
                return false;
            }
        }
        return true;
    };
    const bool copied = source.forEachBlock([&](const ExportSource::Block& b) {
        if (written == blocks) return true;  // a record that grew since the first pass
        if (!putBlock(b.values)) return false;
        if (written + 1 == blocks) std::copy(b.values, b.values + perBlock, lastBlock.begin());
        ++written;
        ++done;
        if ((written & 63) == 0) return report();
        return true;
    });
    if (!copied) {
        if (cancelled_) return abandon("cancelled");
        return abandon(writeError.empty() ? source.error() : writeError);
    }
    if (written != blocks) return abandon("the record changed while it was exported");
    while (inRecord != 0)
        if (!putBlock(lastBlock.data())) return abandon(writeError);

    for (const Annotation& a : notes) {
        if (edfwrite_annotation_utf8(handle, a.onset, a.duration, a.text.c_str()) != 0)
            return abandon("cannot write the annotations of " + path);
    }
    int closeResult;
    {
        std::lock_guard<std::mutex> lock(edflibMutex());
        errno = 0;
        closeResult = edfclose_file(handle);
        closed = true;
    }
    if (closeResult != 0) return abandon("cannot finish " + path + errnoText());

    // The library does not report every failed write: the file is whole when it reads back as such.
    {
        edf_hdr_struct hdr;
        std::lock_guard<std::mutex> lock(edflibMutex());
        if (edfopen_file_readonly(part.c_str(), &hdr, EDFLIB_DO_NOT_READ_ANNOTATIONS) != 0) {
            ::unlink(part.c_str());
            return fail("cannot write " + path + " whole (disk full?)");
        }
        const bool whole = hdr.datarecords_in_file == records && hdr.edfsignals == static_cast<int>(nch);
        edfclose_file(hdr.handle);
        if (!whole) {
            ::unlink(part.c_str());
            return fail("cannot write " + path + " whole (disk full?)");
        }
    }
    // link() refuses an output that appeared meanwhile; rename() where the file system has no hard links.
    if (::link(part.c_str(), path.c_str()) == 0) {
        ::unlink(part.c_str());
    } else if (errno == EEXIST) {
        ::unlink(part.c_str());
        return fail(path + " exists");
    } else if (::rename(part.c_str(), path.c_str()) != 0) {
        const std::string why = errnoText();
        ::unlink(part.c_str());
        return fail("cannot create " + path + why);
    }
    if (progress) progress(1.0);
    return true;
}
