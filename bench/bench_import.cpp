// SD-card import of a 64-channel record (the USB headset: 64 blocks/s x 16 samples, 1024 Hz) through the import
// dialog's worker, progress reports to a progress bar included, against the library's import alone (the same
// importer and CSV writer with one callback, no worker). Usage: bench_import [minutes of record, default 60]
// [rounds, default 1] [--convert PATH_OF_lumetra-convert]. With --convert, the command-line converter imports the
// same card too, and its record is compared byte for byte with the worker's. Needs about 6 GB of free disk per hour
// of record in the temporary folder, 12 GB with --convert.
#include "SdCardFormat.h"

#include "CsvWriter.h"
#include "ImportWorker.h"
#include "Importer.h"

#include <QApplication>
#include <QEventLoop>
#include <QProgressBar>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#undef signals

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRate = 64;
constexpr unsigned kChannels = 64;
constexpr unsigned kSamples = 16;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// EEG-like microvolt values that need their full precision; 256 different blocks, repeated.
std::vector<std::vector<double>> makeBlocks()
{
    std::mt19937_64 rng(42);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<std::vector<double>> blocks(256);
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        auto& v = blocks[b];
        v.resize(kChannels * kSamples);
        for (unsigned s = 0; s < kSamples; ++s) {
            const double t = double(b * kSamples + s) / 1024.0;
            for (unsigned c = 0; c < kChannels; ++c)
                v[s * kChannels + c] = 20 * std::sin(2 * M_PI * 10 * t + c) + 5 * std::sin(2 * M_PI * 50 * t) +
                                       (c % 4) * 10 * std::sin(2 * M_PI * 256 * t) + noise(rng);
        }
    }
    return blocks;
}

bool writeCard(const std::string& card, long blocks)
{
    sdcard::RecordHeader header;
    header.version = "HW4.0_FW3.0";
    header.blockRate = kRate;
    header.signals = {{"EEG", kChannels, kChannels, kSamples, 1}, {"uSD", 1, 1, 1, 1}};
    sdcard::SdCardWriter writer;
    if (!writer.open(card, ".", "h64", header)) return false;
    const auto values = makeBlocks();
    for (long b = 0; b < blocks; ++b) {
        const auto& v = values[std::size_t(b) % values.size()];
        if (!writer.writeBlock(uint16_t(b), 5, 0, v.data(), v.size())) return false;
    }
    return writer.close();
}

double libraryImportHere(const std::string& card, const std::string& out, bool& ok)
{
    const auto start = Clock::now();
    Importer importer(card, "h64");
    const auto list = importer.get_signals();
    CsvWriter writer(out.c_str(), list.data(), list.size(), std::string(), 1);
    ok = writer.writeHeaders(importer.blocks_per_second(), false);
    importer.addCallback([&writer](const BaseImporter::Block& b) {
        if (b.type != BaseImporter::SETUP_BLOCK) writer.write(b.values, b.sequence, b.battery, b.flags);
        return true;
    });
    ok = ok && importer.import(false);
    ok = writer.close() && ok;
    return secondsSince(start);
}

// The library's import alone: the same writer, one callback, on a thread of its own like the worker's.
double libraryImport(const std::string& card, const std::string& out, bool& ok)
{
    double seconds = 0;
    std::thread thread([&] { seconds = libraryImportHere(card, out, ok); });
    thread.join();
    return seconds;
}

// The dialog's way: a worker on the shared pool, its reports queued to a progress bar on this thread.
double workerImport(const std::string& card, const std::string& out, bool& ok, int& reports)
{
    // The dialog builds the importer and shows its length (counting the blocks) when the record is chosen,
    // before "Import" is pressed; the worker finds the count made.
    Importer importer(card, "h64");
    importer.duration();
    const auto start = Clock::now();
    QProgressBar bar;
    bar.setRange(0, 100);
    ImportWorker worker(&importer, QByteArray::fromStdString(out));
    reports = 0;
    bool done = false;
    QObject::connect(&worker, &ImportWorker::progress, &bar, &QProgressBar::setValue);
    QObject::connect(&worker, &ImportWorker::progress, &bar, [&reports](int) { ++reports; });
    QObject::connect(&worker, &ImportWorker::finished, &bar, [&](bool success) {
        ok = success;
        done = true;
    });
    // The dialog's modal loop sleeps until a report arrives; so does this one.
    QEventLoop loop;
    QObject::connect(&worker, &ImportWorker::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    worker.start();
    if (!done) loop.exec();
    worker.waitUntilDone();
    return secondsSince(start);
}

bool sameFile(const fs::path& a, const fs::path& b)
{
    std::FILE* fa = std::fopen(a.c_str(), "rb");
    std::FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        const std::size_t na = std::fread(ba.data(), 1, ba.size(), fa), nb = std::fread(bb.data(), 1, bb.size(), fb);
        same = na == nb && std::equal(ba.begin(), ba.begin() + long(na), bb.begin());
        if (na == 0) break;
    }
    if (fa) std::fclose(fa);
    if (fb) std::fclose(fb);
    return same;
}

// Every file of one folder equal to the file of the same name in the other, and no file more or less.
std::string compareFolders(const std::string& a, const std::string& b)
{
    std::vector<std::string> names, other;
    for (const auto& e : fs::directory_iterator(a)) names.push_back(e.path().filename());
    for (const auto& e : fs::directory_iterator(b)) other.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    std::sort(other.begin(), other.end());
    if (names != other) return "the folders hold different files";
    for (const auto& n : names)
        if (!sameFile(fs::path(a) / n, fs::path(b) / n)) {
            // A small file is shown whole, so the difference can be read.
            if (fs::file_size(fs::path(a) / n) < 16384)
                std::system(("diff '" + (fs::path(a) / n).string() + "' '" + (fs::path(b) / n).string() + "'").c_str());
            return n + " differs";
        }
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
    return list + ": equal byte for byte";
}

uintmax_t folderBytes(const std::string& folder)
{
    uintmax_t total = 0;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file(ec)) total += e.file_size(ec);
    return total;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::string converter;
    std::vector<std::string> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--convert" && i + 1 < argc) converter = argv[++i];
        else numbers.emplace_back(argv[i]);
    }
    const int minutes = numbers.size() > 0 ? std::max(1, std::atoi(numbers[0].c_str())) : 60;
    const int rounds = numbers.size() > 1 ? std::max(1, std::atoi(numbers[1].c_str())) : 1;
    const long blocks = long(minutes) * 60 * kRate;

    QTemporaryDir dir;
    const std::string card = dir.path().toStdString() + "/card";
    fs::create_directories(card);
    auto start = Clock::now();
    if (!writeCard(card, blocks)) {
        std::fprintf(stderr, "cannot write the SD-card record\n");
        return 1;
    }
    std::printf("record: %d min, %ld blocks of %u x %u, card files %.2f GB, written in %.1f s\n", minutes, blocks,
                kChannels, kSamples, double(folderBytes(card)) / 1e9, secondsSince(start));

    {
        // Paid by the dialog's display when the record is chosen, not by the import.
        const auto t = Clock::now();
        Importer importer(card, "h64");
        const int64_t frames = importer.total_frames();
        std::printf("record display (block count) when chosen: %.3f s for %lld blocks\n", secondsSince(t), (long long)frames);
    }

    double libraryBest = 1e300, workerBest = 1e300, librarySum = 0, workerSum = 0;
    for (int round = 0; round < rounds; ++round) {
        const std::string out = dir.path().toStdString() + "/out";
        // Alternate which goes first, so that neither always finds a warmer cache.
        for (int k = 0; k < 2; ++k) {
            const bool libraryTurn = (k == 0) == (round % 2 == 0);
            fs::remove_all(out);
            fs::create_directories(out);
            bool ok = false;
            int reports = 0;
            const double s = libraryTurn ? libraryImport(card, out, ok) : workerImport(card, out, ok, reports);
            const uintmax_t bytes = folderBytes(out);
            if (libraryTurn) {
                libraryBest = std::min(libraryBest, s);
                librarySum += s;
                std::printf("round %d library import: %.2f s (%s, CSV %.2f GB)\n", round + 1, s, ok ? "ok" : "FAILED",
                            double(bytes) / 1e9);
            } else {
                workerBest = std::min(workerBest, s);
                workerSum += s;
                std::printf("round %d worker import:  %.2f s (%s, %d progress reports, CSV %.2f GB)\n", round + 1, s,
                            ok ? "ok" : "FAILED", reports, double(bytes) / 1e9);
            }
            std::fflush(stdout);
        }
    }
    if (!converter.empty()) {
        // The converter's record beside the worker's last one.
        // signalsInfo.csv names the record by its folder: both folders get the same name.
        const std::string out = dir.path().toStdString() + "/out/record",
                          converted = dir.path().toStdString() + "/converted/record";
        fs::remove_all(dir.path().toStdString() + "/out");
        fs::create_directories(dir.path().toStdString() + "/converted");
        fs::create_directories(out);
        bool ok = false;
        int reports = 0;
        const double worker = workerImport(card, out, ok, reports);
        const std::string command = "'" + converter + "' --sd '" + card + "/0_h64.kvb' -o '" + converted + "' --quiet";
        const auto t = Clock::now();
        const int status = std::system(command.c_str());
        const double seconds = secondsSince(t);
        std::printf("worker import: %.2f s (%s); lumetra-convert --sd: %.2f s, exit status %d, %.1f x real time\n",
                    worker, ok ? "ok" : "FAILED", seconds, status, minutes * 60.0 / seconds);
        std::printf("converter record against the Import dialog's: %s\n",
                    status == 0 && ok ? compareFolders(out, converted).c_str() : "not compared");
        fs::remove_all(dir.path().toStdString() + "/converted");
    }
    fs::remove_all(dir.path().toStdString() + "/out");
    std::printf("worker / library: best %.3f, mean %.3f (target < 1.10)\n", workerBest / libraryBest,
                workerSum / librarySum);
    std::printf("worker import speed: %.1f x real time\n", minutes * 60.0 / workerBest);
    return 0;
}
