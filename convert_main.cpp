// lumetra-convert: records to BDF+/EDF+, SD-card records to CSV or BDF+, without a display.

#include "BdfExporter.h"
#include "CsvWriter.h"
#include "Importer.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

enum Exit { Ok = 0, Failed = 1, Usage = 2, BadInput = 3, OutputExists = 4, Interrupted = 130 };

std::atomic<bool> interrupted{false};
extern "C" void onInterrupt(int) { interrupted = true; }

const char* program = "lumetra-convert";

std::string helpText() {
    return std::string("Usage:\n") +
           "  " + program + " RECORD_FOLDER -o OUT.bdf [--edf] [--force] [--quiet]\n" +
           "  " + program + " --sd CARD_RECORD [--right CARD_RECORD] -o OUT_FOLDER [--force] [--quiet]\n" +
           "  " + program + " --sd CARD_RECORD [--right CARD_RECORD] -o OUT.bdf --bdf|--edf [--force] [--quiet]\n"
           "\n"
           "Converts a hard-drive record folder (the folder holding signalsInfo.csv) to one BDF+ file (24-bit), or\n"
           "EDF+ (16-bit) with --edf; and an SD-card record to the hard-drive CSV format (as the Import dialog does)\n"
           "or, with --bdf or --edf, to one file. CARD_RECORD is the record's first file (0_NAME.kvb) or a folder\n"
           "holding one record; for an EEG 64 pair, --sd names the left half and --right the right half.\n"
           "\n"
           "Options:\n"
           "  -o, --output PATH  the file or folder to write (required)\n"
           "  --edf              EDF+ instead of BDF+\n"
           "  --bdf              SD-card record to BDF+ instead of CSV\n"
           "  --force            replace an existing output\n"
           "  -q, --quiet        no progress and no summary\n"
           "  -h, --help         this text\n"
           "\n"
           "Progress goes to standard error: a bar on a terminal, a line every 10 % otherwise. The exit status is 0\n"
           "only when the output was written whole; 2 for a wrong command line, 3 for an input that is missing,\n"
           "damaged or unreadable, 4 for an output that exists, 1 for a failed write (a full disk), 130 when\n"
           "interrupted. A partial output is never left behind.\n"
           "\n"
           "Examples:\n"
           "  " + program + " ~/records/KVN-H64-1010-2026-12-05_08-15-00 -o session1.bdf\n"
           "  " + program + " ~/records/KVN-B08-2201-2026-12-05_09-00-00 -o session2.edf --edf\n"
           "  " + program + " --sd /media/card/viewer/26-12-05/08-15-00/0_r005.kvb -o ~/imported/r005\n"
           "  " + program + " --sd /media/left/0_r007l.kvb --right /media/right/0_r007r.kvb -o r007.bdf --bdf\n"
           "  for r in /media/card/viewer/*/*/; do " + program + " --sd \"$r\" -o \"out/$(basename \"$r\").bdf\" --bdf -q; done\n";
}

struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void fail(int code, const std::string& message) { throw Failure{code, message}; }

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}
bool isFolder(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string formatSeconds(double s) {
    if (!(s >= 0) || s > 359999) return "--:--";
    const long t = static_cast<long>(s + 0.5);
    char text[32];
    if (t >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else std::snprintf(text, sizeof text, "%02ld:%02ld", t / 60, t % 60);
    return text;
}

// Progress on standard error: a redrawn bar on a terminal, a plain line every 10 % otherwise.
class ProgressLine {
public:
    ProgressLine(bool quiet, double recordSeconds)
        : quiet_(quiet), tty_(::isatty(STDERR_FILENO) == 1), recordSeconds_(recordSeconds),
          start_(std::chrono::steady_clock::now()) {}

    bool operator()(double fraction) {
        if (interrupted) return false;
        if (quiet_) return true;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const int percent = static_cast<int>(fraction * 100);
        if (tty_) {
            if (elapsed - lastDraw_ < 0.1 && fraction < 1.0) return true;
            lastDraw_ = elapsed;
            const int width = 30, filled = static_cast<int>(fraction * width);
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.resize(width, '.');
            char rate[32] = "";
            // Record time per wall-clock time over the whole job (a BDF export reads the record twice).
            if (elapsed > 0.2 && recordSeconds_ > 0)
                std::snprintf(rate, sizeof rate, "%6.1fx real time", fraction * recordSeconds_ / elapsed);
            const double left = fraction > 0.01 ? elapsed * (1 - fraction) / fraction : -1;
            std::fprintf(stderr, "\r[%s] %3d%%  %s  %s left ", bar.c_str(), percent, rate, formatSeconds(left).c_str());
            std::fflush(stderr);
            drawn_ = true;
        } else if (percent / 10 > lastTenth_) {
            lastTenth_ = percent / 10;
            std::fprintf(stderr, "%s: %d%% (%s elapsed)\n", program, lastTenth_ * 10, formatSeconds(elapsed).c_str());
        }
        return true;
    }
    void end() {
        if (drawn_) std::fprintf(stderr, "\n");
        drawn_ = false;
    }
    ~ProgressLine() { end(); }

private:
    bool quiet_, tty_;
    double recordSeconds_;
    std::chrono::steady_clock::time_point start_;
    double lastDraw_ = -1;
    int lastTenth_ = 0;
    bool drawn_ = false;
};

// A card record named by its first file or by a folder that holds exactly one record.
void locateCardRecord(const std::string& path, std::string& folder, std::string& name) {
    if (!exists(path)) fail(BadInput, path + ": no such file or folder");
    if (isFolder(path)) {
        const std::vector<std::string> names = importer::recordNames(path);
        if (names.empty()) fail(BadInput, path + ": no SD-card record (no file 0_NAME.*) in this folder");
        if (names.size() > 1) fail(BadInput, path + ": holds " + std::to_string(names.size()) + " records; name one of its 0_*.kvb files");
        folder = path;
        name = names.front();
        return;
    }
    const std::size_t slash = path.find_last_of('/');
    folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = file.find_last_of('.');
    if (file.compare(0, 2, "0_") != 0 || dot == std::string::npos || dot <= 2)
        fail(BadInput, path + ": not the first file of an SD-card record (0_NAME.kvb)");
    name = file.substr(2, dot - 2);
}

void checkOutputFile(const std::string& out, bool force) {
    if (!exists(out)) return;
    if (!force) fail(OutputExists, out + " exists (use --force to replace it)");
    if (isFolder(out)) fail(OutputExists, out + " is a folder");
    if (::unlink(out.c_str()) != 0) fail(Failed, "cannot replace " + out + ": " + std::strerror(errno));
}

int toBdf(ExportSource& source, const std::string& out, bool edf, bool quiet) {
    const double seconds = source.blockRate() ? double(source.expectedBlocks()) / source.blockRate() : 0;
    ProgressLine line(quiet, seconds);
    BdfExporter exporter;
    const bool ok = exporter.write(source, out, edf ? BdfExporter::Format::Edf : BdfExporter::Format::Bdf,
                                   [&](double f) { return line(f); });
    line.end();
    if (ok && !source.note().empty() && !quiet) std::fprintf(stderr, "%s: warning: %s\n", program, source.note().c_str());
    if (!ok) {
        if (exporter.cancelled()) fail(Interrupted, "interrupted; nothing written");
        // Reading failures come from the source; anything else is the output's.
        fail(source.error().empty() || exporter.error() != source.error() ? Failed : BadInput, exporter.error());
    }
    if (!quiet) {
        const auto& r = exporter.result();
        std::printf("%s: %lld blocks, %zu annotations, %s of record\n", out.c_str(), static_cast<long long>(r.blocks),
                    r.annotations, formatSeconds(double(r.blocks) / source.blockRate()).c_str());
    }
    return Ok;
}

int cardToCsv(BaseImporter& importer, const std::string& out, bool force, bool quiet) {
    const std::vector<KvnSignal> list = importer.get_signals();
    if (exists(out) && !isFolder(out)) fail(OutputExists, out + " exists and is not a folder");
    if (isFolder(out)) {
        CsvWriter probe;
        probe.setup(out.c_str(), list, std::string(), 1);
        std::vector<std::string> files = {CsvWriter::DESCRIPTION_FILE, CsvWriter::UTC_FILE, "posita_setup.json"};
        for (std::size_t i = 0; i < list.size(); ++i)
            if (!probe.fileName(i).empty()) files.push_back(probe.fileName(i));
        for (const std::string& f : files) {
            const std::string p = out + "/" + f;
            if (!exists(p)) continue;
            if (!force) fail(OutputExists, p + " exists (use --force to replace the record in " + out + ")");
            if (::unlink(p.c_str()) != 0) fail(Failed, "cannot replace " + p + ": " + std::strerror(errno));
        }
    }
    // The same import as the Import dialog's worker.
    CsvWriter writer(out.c_str(), list.data(), list.size(), std::string(), 1);
    if (!writer.writeHeaders(importer.blocks_per_second(), false)) fail(Failed, "cannot write " + out + ": " + writer.error());
    const int64_t total = importer.total_frames();
    ProgressLine line(quiet, importer.blocks_per_second() ? double(total) / importer.blocks_per_second() : 0);
    int64_t counter = 0;
    bool writeFailed = false, stopped = false;
    importer.addCallback([&](const BaseImporter::Block& block) {
        if (block.type == BaseImporter::SETUP_BLOCK) return true;
        if (block.count != writer.valuesPerBlock() || (block.count > 0 && !block.values) ||
            !writer.write(block.values, block.sequence, block.battery, block.flags)) {
            writeFailed = true;
            return false;
        }
        return true;
    });
    importer.addCallback([&](const BaseImporter::Block&) {
        ++counter;
        if (!line(total > 0 ? double(counter) / double(total) : 0.0)) {
            stopped = true;
            return false;
        }
        return true;
    });
    const bool imported = importer.import(false);
    const bool closed = writer.close();
    line.end();
    if (!imported || writeFailed || !closed) {
        const std::string why = stopped ? "interrupted"
                                : writeFailed || !closed ? "cannot write " + out + ": " + writer.error()
                                                         : "the SD-card record is damaged: " + importer.error();
        // As the Import dialog does: the whole blocks before the failure stay a readable record.
        const uint64_t kept = writer.blocksWritten();
        fail(stopped ? Interrupted : imported ? Failed : BadInput,
             why + (kept ? "; the " + std::to_string(kept) + " whole blocks before it are in " + out : std::string()));
    }
    if (!importer.note().empty() && !quiet) std::fprintf(stderr, "%s: warning: %s\n", program, importer.note().c_str());
    importer.import_posita_setup(out + "/posita_setup.json");
    if (!quiet) std::printf("%s: %lld blocks imported\n", out.c_str(), static_cast<long long>(counter));
    return Ok;
}

int run(int argc, char** argv) {
    std::string input, right, out;
    bool sd = false, edf = false, bdf = false, force = false, quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* what) {
            if (i + 1 >= argc) fail(Usage, a + " needs " + what);
            return std::string(argv[++i]);
        };
        if (a == "-h" || a == "--help") {
            std::cout << helpText();
            return Ok;
        } else if (a == "-o" || a == "--output") out = value("a path");
        else if (a == "--sd") {
            sd = true;
            input = value("an SD-card record");
        } else if (a == "--right") right = value("an SD-card record");
        else if (a == "--edf") edf = true;
        else if (a == "--bdf") bdf = true;
        else if (a == "--force") force = true;
        else if (a == "-q" || a == "--quiet") quiet = true;
        else if (!a.empty() && a[0] == '-') fail(Usage, "unknown option " + a + " (see --help)");
        else if (input.empty() && !sd) input = a;
        else fail(Usage, "unexpected argument " + a + " (see --help)");
    }
    if (input.empty()) fail(Usage, "no record given (see --help)");
    if (out.empty()) fail(Usage, "no output given: -o PATH (see --help)");
    if (!right.empty() && !sd) fail(Usage, "--right goes with --sd");
    if (bdf && edf) fail(Usage, "--bdf and --edf exclude each other");
    if (!sd && bdf) fail(Usage, "--bdf is for SD-card records; a record folder is written as BDF+ by default");

    if (!sd) {
        if (!exists(input)) fail(BadInput, input + ": no such folder");
        if (!isFolder(input)) fail(BadInput, input + ": not a folder");
        if (!exists(input + "/" + CsvWriter::DESCRIPTION_FILE))
            fail(BadInput, input + ": not a record folder (no " + CsvWriter::DESCRIPTION_FILE + ")");
        if (::access(input.c_str(), R_OK | X_OK) != 0) fail(BadInput, input + ": cannot be read");
        checkOutputFile(out, force);
        CsvRecordSource source;
        if (!source.open(input)) fail(BadInput, input + ": " + source.error());
        return toBdf(source, out, edf, quiet);
    }

    std::string folder, name;
    locateCardRecord(input, folder, name);
    std::unique_ptr<BaseImporter> importer;
    std::string deviceName = name;
    if (right.empty()) {
        auto single = std::make_unique<Importer>(folder, name);
        if (!single->isValid()) fail(BadInput, input + ": " + (single->error().empty() ? "unreadable SD-card record" : single->error()));
        importer = std::move(single);
    } else {
        std::string rightFolder, rightName;
        locateCardRecord(right, rightFolder, rightName);
        std::string base = importer::basename(name), rightBase = importer::basename(rightName);
        if (base.empty() || base.back() != 'l') fail(BadInput, input + ": not a left half (its name does not end in l)");
        if (rightBase.empty() || rightBase.back() != 'r') fail(BadInput, right + ": not a right half (its name does not end in r)");
        base.pop_back();
        rightBase.pop_back();
        if (base != rightBase) fail(BadInput, "the halves belong to different records (" + name + ", " + rightName + ")");
        auto pair = std::make_unique<Eeg64Importer>(folder, rightFolder, base);
        if (!pair->isValid()) fail(BadInput, "not a readable EEG 64 pair: " + (pair->error().empty() ? input : pair->error()));
        importer = std::move(pair);
        deviceName = base;
    }
    if (importer->get_signals().empty()) fail(BadInput, input + ": " + (importer->error().empty() ? "unreadable SD-card record" : importer->error()));
    if (!bdf && !edf) return cardToCsv(*importer, out, force, quiet);

    checkOutputFile(out, force);
    SdCardSource source(*importer);
    source.deviceName = deviceName;
    source.start = RecordStart::fromPath(folder + "/");
    if (!source.start.valid) {
        // The card's file times are the record's end; its length puts the start before it.
        struct stat st;
        const std::string first = isFolder(input) ? folder : input;
        if (::stat(first.c_str(), &st) == 0)
            source.start = RecordStart::fromUtcMicros((int64_t(st.st_mtime) - importer->duration()) * 1000000);
    }
    return toBdf(source, out, edf, quiet);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    // A file size limit then shows as a failed write, reported like a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const Failure& f) {
        std::fprintf(stderr, "%s: error: %s\n", program, f.message.c_str());
        return f.code;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: error: %s\n", program, e.what());
        return Failed;
    }
}
