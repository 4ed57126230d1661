#include "CsvReader.h"
#include "CsvWriter.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>

#include "FuzzSupport.h"

namespace fs = std::filesystem;

namespace {

// EEG 3x4, a switched-off signal, a digital aux input with two IMUs, two anchors sharing a name, the SD card.
const std::vector<KvnSignal> kSignals = {{"EEG", 3, 0, 4, 1}, {"HAP", 1, 0, 1, 0}, {"COM", 9, 0, 2, 2},
                                         {"ANC", 2, 0, 1, 1}, {"ANC", 2, 0, 1, 1}, {"uSD", 1, 0, 1, 1}};
const std::size_t kValues = 3 * 4 + 9 * 2 + 2 + 2;

double valueOf(int block, std::size_t k) {
    static const double odd[] = {-0.0, 5e-324, 1.7976931348623157e308, -2.2250738585072014e-308,
                                 0.1,  1.0 / 3.0, HUGE_VAL,               -123456.78901234567};
    if (k % 5 == 0)
        return odd[(k / 5 + static_cast<std::size_t>(block)) % 8];
    return std::sin(block * 0.731 + static_cast<double>(k)) * std::pow(10.0, static_cast<double>(k % 7) - 3.0);
}
uint16_t seqOf(int b) { return static_cast<uint16_t>(65520 + b); }   // wraps past 65535
int16_t batteryOf(int b) { return static_cast<int16_t>(b % 8 - 2); }  // -2 .. 5
uint16_t flagsOf(int b) { return static_cast<uint16_t>(b % 5 == 3 ? 65534 : b % 5 * 0x0107); }
int64_t stampOf(int b) { return 1000000 + b * 62500; }

bool writeRecord(const std::string& folder, int blocks, bool stamped = true) {
    CsvWriter w;
    if (!w.setup(folder.c_str(), kSignals, "KVN, \"test\" device", 1) || !w.writeHeaders(16, stamped))
        return false;
    std::vector<double> v(kValues);
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < kValues; ++k)
            v[k] = valueOf(b, k);
        if (!(stamped ? w.write(v.data(), seqOf(b), stampOf(b), 1764921600000000LL + b, batteryOf(b), flagsOf(b))
                      : w.write(v.data(), seqOf(b), batteryOf(b), flagsOf(b))))
            return false;
    }
    return w.close();
}

// Whether a frame is block b as written, walking it as playback does (block by block, row per sample).
bool isBlock(const Frame& f, int b, bool stamped) {
    std::vector<double> got, want;
    for (const DataBlock& d : f.blocks)
        for (std::size_t r = 0; r < d.rows(); ++r)
            for (std::size_t c = 0; c < d.cols(); ++c)
                got.push_back(d.value(r, c)), want.push_back(valueOf(b, want.size()));
    return f.sequence == seqOf(b) && f.battery == batteryOf(b) && f.flags == flagsOf(b) && f.blocks.size() == 4 &&
           f.blocks[0].rows() == 4 && f.timestamp == (stamped ? stampOf(b) : 0) &&
           (!stamped || f.utc == 1764921600000000LL + b) && got.size() == kValues &&
           std::memcmp(got.data(), want.data(), kValues * sizeof(double)) == 0;
}

// Plays a record back, comparing every frame with what was written; returns the frames played.
int playBack(CsvReader& r, bool stamped = true) {
    int b = 0;
    for (Frame f = r.read(); !f.isEnd() && b < 100; f = r.read(), ++b)
        if (!isBlock(f, b, stamped))
            return -1;
    const Frame last = r.read();
    return last.isEnd() && last.flags == 65535 && last.blocks.empty() && r.end() ? b : -2;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Byte offset where row `row` (0-based, after the header line) of a CSV text starts.
std::size_t rowOffset(const std::string& text, std::size_t row) {
    std::size_t pos = 0;
    for (std::size_t r = 0; r <= row; ++r)
        pos = text.find('\n', pos) + 1;
    return pos;
}

// What a table row does to one file of a record (see damagedAndHostileFoldersGiveTheirWholeBlocks).
struct Damage {
    std::string file, op, text;
};

bool apply(const std::string& folder, const Damage& damage) {
    const std::string path = folder + "/" + damage.file, op = damage.op;
    std::string text = slurp(path);
    const auto number = [&](std::size_t prefix) { return std::stoull(op.substr(prefix)); };
    if (op == "-" || op == "fifo" || op == "link") {
        fs::remove(path);
        if (op == "fifo")
            return mkfifo(path.c_str(), 0600) == 0;
        if (op == "link")
            fs::create_symlink(damage.text, path);
    } else if (op.empty()) {
        spit(path, damage.text);
    } else if (op.rfind("header:", 0) == 0) {  // a header line of that many channels, and no rows
        std::string head = "sample,sequence,battery,flags,timestamp,utc";
        for (std::size_t c = 1; c <= number(7); ++c)
            head += ",ch" + std::to_string(c);
        spit(path, head + "\n");
    } else if (op == "+") {
        spit(path, text + damage.text);
    } else if (op.rfind("keep:", 0) == 0) {
        spit(path, text.substr(0, rowOffset(text, number(5))) + damage.text);
    } else if (op.rfind("row:", 0) == 0) {
        spit(path, text.substr(0, rowOffset(text, number(4))) + damage.text + text.substr(rowOffset(text, number(4) + 1)));
    } else if (op.rfind("hole:", 0) == 0) {  // costs no disk: the hole is never written
        const std::size_t head = rowOffset(text, 0);
        spit(path, text.substr(0, head));
        fs::resize_file(path, head + number(5));
        std::ofstream(path, std::ios::binary | std::ios::app) << text.substr(head);
    } else {
        if (text.find(op) == std::string::npos)
            return false;  // the table is wrong
        for (std::size_t at = 0; (at = text.find(op, at)) != std::string::npos; at += damage.text.size())
            text.replace(at, op.size(), damage.text);
        spit(path, text);
    }
    return true;
}

// Start and length (with its newline) of the row holding byte `at`.
std::size_t lineAt(const std::string& text, std::size_t at) {
    const std::size_t nl = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
    return nl == std::string::npos ? 0 : nl + 1;
}
std::size_t lineLength(const std::string& text, std::size_t at) {
    const std::size_t start = lineAt(text, at), nl = text.find('\n', start);
    return (nl == std::string::npos ? text.size() : nl + 1) - start;
}

// Plays a record to its end: the index of each block played, -1 for a block that is not one that was written.
std::vector<int> playIndices(CsvReader& r) {
    std::vector<int> played;
    for (Frame f = r.read(); !f.isEnd() && played.size() < 100000; f = r.read()) {
        const int b = uint16_t(f.sequence - seqOf(0));
        played.push_back(isBlock(f, b, true) ? b : -1);
    }
    return played;
}

}  // namespace

class TestCsv : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    const std::string d = tmp_.path().toStdString();  // every test uses folders of its own

private slots:
    void formatDoubleMatchesToChars() {
        // Byte for byte to_chars's text, which the hand-written formatter before Dragonbox wrote too (checked on
        // 20 million values when it was replaced).
        std::mt19937_64 rng(2026);
        std::normal_distribution<double> normal(0.0, 30.0);
        std::vector<double> values = {0.0, -0.0, 1e-5, 1e-4, 1e21, 1e22, 9007199254740993.0, -HUGE_VAL, HUGE_VAL,
                                      NAN, -NAN, std::numeric_limits<double>::denorm_min()};
        for (int e = -1074; e <= 1023; ++e)  // powers of two: their lower neighbour is closer
            values.push_back(std::ldexp(1.0, e));
        for (int i = 0; i < 400000; ++i) {  // any bit pattern, subnormals, EEG-like and ADC-step values, integers
            const uint64_t bits[2] = {rng(), (rng() & ((1ull << 52) - 1)) | (i % 2 ? 1ull << 63 : 0)};
            values.insert(values.end(), {0.0, 0.0, normal(rng), std::round(normal(rng) * 1e4) * 0.02235174,
                                         std::round(normal(rng) * 1e6)});
            std::memcpy(&values[values.size() - 5], bits, sizeof bits);
        }
        for (double v : values) {
            char a[96], c[64];
            const std::string mine(a, CsvWriter::formatDouble(a, v)), ref(c, std::to_chars(c, c + sizeof c, v).ptr);
            if (mine != ref) QFAIL(qPrintable(QString::fromStdString(mine + " instead of " + ref)));
        }
    }

    void writeThenReadGivesEveryBlockBack() {
        for (bool stamped : {true, false}) {  // recorded, and imported without time stamps
            const std::string folder = d + (stamped ? "/stamped" : "/plain");
            QVERIFY(writeRecord(folder, 40, stamped));
            CsvReader r;
            QVERIFY2(r.open(folder), r.error().c_str());
            QCOMPARE(QString::fromStdString(r.deviceName()), QString("KVN, \"test\" device"));
            QVERIFY(r.duration() == 2 && r.hasUtc() == stamped && r.signalSamplingRate(0) == 64 && !r.end());
            QCOMPARE(playBack(r, stamped), 40);
            QVERIFY(r.start() && !r.end());  // and once more from the start
            QCOMPARE(playBack(r, stamped), 40);
            QVERIFY(r.error().empty() && r.open(r.folder()));  // the playback model reopens with the reader's own folder
            QCOMPARE(r.totalBlocks(), int64_t(40));
        }
    }

    // A digital aux input with four IMUs: rows 4b..4b+3 hold block b, each ending with its IMU's number, so tools
    // that know nothing of blocks tell them apart; its rate is the block rate. Records from before that column read.
    void imuRowsNameTheirImu() {
        const std::string folder = d + "/imu", old = d + "/imu-old";
        CsvWriter w;
        QVERIFY(w.setup(folder.c_str(), {{"EEG", 2, 0, 4, 1}, {"COM", 9, 0, 4, 4}}, "KVN-B08-3003", 2) &&
                w.writeHeaders(32, true));
        const std::vector<double> v(8 + 4 * 9, 1.5);
        for (int b = 0; b < 5; ++b) QVERIFY(w.write(v.data(), uint16_t(b), 1000 + b, 2000 + b, 3, 0));
        QVERIFY(w.close());
        const QString head = "sample,sequence,battery,flags,timestamp,utc,ch1,ch2,ch3,ch4,ch5,ch6,ch7,ch8,ch9";
        const QStringList com = QString::fromStdString(slurp(folder + "/" + w.fileName(1))).split('\n', Qt::SkipEmptyParts);
        QVERIFY(com.size() == 1 + 5 * 4 && com[0] == head + ",imu");  // the existing columns keep their places
        for (int row = 0; row < 5 * 4; ++row)
            QVERIFY2(com[row + 1].endsWith("," + QString::number(row % 4 + 1)) &&
                         com[row + 1].startsWith(QString("%1,%2,").arg(row).arg(row / 4)), qPrintable(com[row + 1]));
        CsvReader r;
        QVERIFY2(r.open(folder), r.error().c_str());
        QVERIFY(r.signalSamplingRate(0) == 128u && r.signalSamplingRate(1) == 32u);

        fs::create_directories(old);
        spit(old + "/signalsInfo.csv", "format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,"
                                       "filename\n1,old,16,1,COM,9,2,2,COM.csv\n");
        std::string rows = head.toStdString() + "\n";
        for (int row = 0; row < 6; ++row) {
            rows += std::to_string(row) + "," + std::to_string(row / 2) + ",3,0,,";
            for (int c = 0; c < 9; ++c) rows += "," + std::to_string(row * 10 + c);
            rows += "\n";
        }
        spit(old + "/COM.csv", rows);
        QVERIFY2(r.open(old) && r.totalBlocks() == 3, r.error().c_str());
        for (int b = 0; b < 3; ++b) QCOMPARE(r.read().blocks.at(0).value(1, 8), double((2 * b + 1) * 10 + 8));
    }

    void damagedAndHostileFoldersGiveTheirWholeBlocks() {
        // Each row damages a fresh record of `written` blocks (op on `file`: "-" deletes it, "" replaces its text,
        // "+" appends, "header:N" leaves a header line of N channels, "keep:K" keeps K rows and appends, "row:K"
        // replaces row K, "hole:N" puts N bytes of sparse hole behind the header line, "fifo" and "link" put a
        // pipe or a link in its place, anything else is replaced everywhere in the text). Then: the message
        // error() holds ("" none) and the blocks played back, -1 when the folder is refused. Every block played
        // must be one that was written.
        const std::string info = "signalsInfo.csv", zeros(300, '\0'), header = "sample,sequence,battery,flags,timestamp,utc,ch1\n";
        std::string manySignals;
        for (int i = 0; i < 60; ++i)
            manySignals += "1,x,16,1,HAP,1,1,0,\n";
        const struct {
            std::vector<Damage> damage;
            const char* message;
            int blocks;
            int written = 10;
        } cases[] = {
            // Cut short: plays to the last whole block.
            {{{"EEG.csv", "keep:30", "30,65550,0,0,12"}}, "", 7},  // torn inside block 7
            {{{"EEG.csv", "keep:32", "32,6555"}}, "", 8},          // torn at a block end
            {{{"UTC.csv", "keep:5", ""}}, "", 5},                  // one file behind
            {{{"COM.csv", "keep:0", "0,655"}}, "", 0},
            {{{"ANC_1.csv", "keep:9", "9,65529,5,1052,1562500,17649216,1.5"}}, "", 9},  // no newline at all
            // Damaged in the middle: only the blocks it touches are lost, and error() says which.
            {{{"COM.csv", "row:7", "7,65523,1,65534,1x,2\n"}}, "block 3 left out", 9},
            {{{"EEG.csv", "row:13", zeros + "\n"}}, "block 3 left out", 9},              // a zeroed stretch
            {{{"COM.csv", "row:4", std::string(5000, '7') + "\n"}}, "block 2 left out", 9},  // no line is that long
            {{{"ANC_2.csv", "row:6", ""}}, "block 6 left out", 9},                       // a row gone
            {{{"EEG.csv", "row:9", "x\n"}, {"UTC.csv", "row:5", "\n"}}, "block 5 left out", 8},
            {{{"EEG.csv", "hole:2147483648", ""}}, "EEG.csv is damaged at byte", 320, 320},  // sparse 2 GB, then the rows
            {{{"UTC.csv", "hole:65536", ""}, {"UTC.csv", "+", std::string(100, '\0')}}, "damaged at byte", 10},
            // Refused, with the reason.
            {{{info, "-", ""}}, "no signalsInfo.csv", -1},
            {{{info, "", ""}}, "empty", -1},
            {{{info, "", "format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename\n"}},
             "describes no signal", -1},
            {{{info, "", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18)}}, "damaged (it holds NUL bytes)", -1},
            {{{info, ",mode,", ",mood,"}}, "lacks the column \"mode\"", -1},
            {{{info, "COM,9,2", "COM,nine,2"}}, "damaged", -1},
            {{{info, ",COM,9,2,2,", ",COM,9,2,"}}, "fields", -1},
            {{{info, ",16,", ",0,"}}, "damaged", -1},
            {{{info, "COM.csv", "../COM.csv"}}, "bad file name", -1},
            {{{info, "\n1,", "\n2,"}}, "unknown record format", -1},
            {{{"COM.csv", "-", ""}}, "cannot open", -1},
            {{{"EEG.csv", "", header}}, "header has 7 columns where the description gives 9", -1},
            {{{info, ",EEG,3,4,", ",EEG,5,4,"}}, "header has 9 columns where the description gives 11", -1},
            // Sizes no device has, refused before anything is built from them; their neighbours open.
            {{{info, ",EEG,3,4,", ",EEG,1000,100000,"}, {"EEG.csv", "header:1000", ""}},
             "100000 samples per block (at most 4096)", -1},  // 6 KB that once sized the viewer: std::bad_alloc
            {{{info, ",EEG,3,4,", ",EEG,100000,4,"}, {"EEG.csv", "header:100000", ""}}, "100000 channels", -1},
            {{{info, ",EEG,3,4,", ",EEG,1025,4,"}}, "1025 channels (at most 1024)", -1},
            {{{info, ",EEG,3,4,", ",EEG,3,4097,"}}, "4097 samples per block", -1},
            {{{info, ",EEG,3,4,", ",EEG,3,4096,"}}, "", 0},  // 65536 samples/s: allowed, and no whole block
            {{{info, ",16,", ",100001,"}}, "100001 blocks per second", -1},
            {{{info, ",16,", ",25600,"}}, "102400 samples per second", -1},
            {{{info, ",EEG,3,4,", ",EEG,1000,4000,"}}, "values per second", -1},
            {{{info, "+", manySignals}}, "describes 67 signals (at most 64)", -1},
            // No pipe or device is ever opened.
            {{{"COM.csv", "fifo", ""}}, "COM.csv is not a regular file", -1},
            {{{"EEG.csv", "link", "/dev/zero"}}, "EEG.csv is not a regular file", -1},
            {{{info, "fifo", ""}}, "signalsInfo.csv is not a regular file", -1},
        };
        fuzz::Watchdog watchdog(std::chrono::seconds(60));
        for (const auto& c : cases) {
            const std::string row = std::to_string(&c - cases), folder = d + "/table" + row;
            watchdog.begin("row " + row);
            QVERIFY(writeRecord(folder, c.written));
            for (const Damage& damage : c.damage)
                QVERIFY2(apply(folder, damage), row.c_str());
            CsvReader r;
            const bool opened = r.open(folder);
            const std::vector<int> played = opened ? playIndices(r) : std::vector<int>();
            const std::string why = row + ": " + r.error();
            QVERIFY2(opened == (c.blocks >= 0) && int(played.size()) == std::max(c.blocks, 0), why.c_str());
            QVERIFY2(*c.message ? r.error().find(c.message) != std::string::npos : r.error().empty(), why.c_str());
            QVERIFY2(std::count(played.begin(), played.end(), -1) == 0 && std::is_sorted(played.begin(), played.end()),
                     why.c_str());
            if (!opened)
                QVERIFY(!r.isOpen() && r.end() && !r.start() && r.read().isEnd() && r.numberOfSignals() == 0);
            fs::remove_all(folder);
        }
    }

    void hostileNamesReadBack() {
        // Line breaks, quotes, separators and control characters in the device's and the signals' names.
        const std::string device = "KVN\nA,\"b\"\r\x01\x7f end", nul("N\0L", 3);
        const std::vector<KvnSignal> signalList = {{"EEG\n\"x\",y\r", 2, 2, 2, 1}, {"\x02\x1b[31m\t", 1, 1, 1, 1}, {nul, 1, 1, 1, 0}};
        CsvWriter w;
        const double values[] = {1, 2, 3, 4, 5};
        QVERIFY(w.setup((d + "/names").c_str(), signalList, device, 1) && w.writeHeaders(8, true));
        QVERIFY(w.write(values, 7, 1, 2, 3, 0) && w.close());
        CsvReader r;
        QVERIFY2(r.open(d + "/names"), r.error().c_str());
        QVERIFY(r.deviceName() == device && r.signalName(0) == signalList[0].name && r.signalName(1) == signalList[1].name);
        QVERIFY(slurp(d + "/names/signalsInfo.csv").find("\"N?L\"") != std::string::npos);  // no NUL written
        QVERIFY(r.read().blocks.at(1).value(0, 0) == 5 && r.read().isEnd());
    }

    void writerReportsFailures() {
        std::vector<double> v(kValues);
        CsvWriter w, again, z;
        QVERIFY(!w.write(v.data(), 0, 0, 0));  // nothing set up
        QVERIFY(w.setup((d + "/r").c_str(), kSignals, "", 1) && !w.writeHeaders(0, true));
        QVERIFY(w.writeHeaders(16, true));  // creates the missing folder
        QVERIFY(!w.write(nullptr, 0, 0, 0) && !w.close());  // the refused block is reported again at close
        // An earlier record in the folder is never overwritten.
        const std::string before = slurp(d + "/r/EEG.csv");
        QVERIFY(again.setup((d + "/r").c_str(), kSignals, "", 1) && !again.writeHeaders(16, true));
        QVERIFY(QString::fromStdString(again.error()).contains("already holds a record"));
        QCOMPARE(slurp(d + "/r/EEG.csv"), before);
        // A stray file in the way: nothing is left behind, the description included.
        fs::create_directories(d + "/s");
        spit(d + "/s/COM.csv", "mine");
        QVERIFY(again.setup((d + "/s").c_str(), kSignals, "", 1) && !again.writeHeaders(16, true));
        QCOMPARE(QDir(QString::fromStdString(d + "/s")).entryList(QDir::Files), QStringList("COM.csv"));
        QCOMPARE(slurp(d + "/s/COM.csv"), std::string("mine"));
        // A signal that contributes no values gets no file, and the record still plays back.
        QVERIFY(z.setup((d + "/z").c_str(), {{"EEG", 2, 0, 1, 1}, {"DIN", 0, 0, 4, 1}, {"COM", 9, 0, 0, 0}}, "", 1));
        const double two[] = {1.5, -2.5};
        QVERIFY(z.writeHeaders(16, true) && z.write(two, 9, 0, 0, 5, 0) && z.close());
        QVERIFY(!fs::exists(d + "/z/DIN.csv"));
        CsvReader r;
        QVERIFY2(r.open(d + "/z") && r.numberOfSignals() == 1, r.error().c_str());
        QCOMPARE(r.read().blocks.at(0).value(0, 1), -2.5);
    }

    void fullDiskIsReported() {
        // A file size limit stands in for a full disk: writes past it fail with EFBIG.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit small{200 * 1024, old.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        CsvWriter w;
        // At this rate the large file is handed over by size long before the small ones are due.
        const bool headers = w.setup((d + "/full").c_str(), kSignals, "", 1) && w.writeHeaders(4000, true);
        std::vector<double> v(kValues, -1.2345678901234567e-200);
        int written = 0;
        while (headers && written < 100000 && w.write(v.data(), 0, 0, 0, 0, 0))
            ++written;
        const bool closed = w.close();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_DFL);
        QVERIFY(headers && written < 100000 && !closed);
        QVERIFY2(QString::fromStdString(w.error()).contains("cannot write"), w.error().c_str());
        // What reached the disk before the failure is a record: the other files kept taking their rows.
        CsvReader r;
        QVERIFY2(r.open(d + "/full") && r.start(), r.error().c_str());
        int blocks = 0;
        for (Frame f = r.read(); !f.isEnd(); f = r.read()) {
            QCOMPARE(f.blocks.at(0).value(0, 0), v[0]);
            ++blocks;
        }
        QVERIFY2(blocks > 0 && blocks < written, qPrintable(QString("%1 of %2").arg(blocks).arg(written)));
    }

    void readByPython() {
        const QString source = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR"));
        if (source.isEmpty() || !QFileInfo::exists(source + "/.venv/bin/python"))
            QSKIP("no Python environment (scripts/setup makes it)");
        QVERIFY(writeRecord(d + "/py", 12));
        std::ofstream exp(d + "/py/expected.txt");  // exact hexadecimal floats
        for (int b = 0; b < 12; ++b)
            for (std::size_t k = 0; k < 3 * 4; ++k)
                exp << std::hexfloat << valueOf(b, k) << "\n";
        exp.close();
        QProcess p;
        p.start(source + "/.venv/bin/python", {source + "/tests/driver/csv_reader_check.py", tmp_.path() + "/py"});
        QVERIFY(p.waitForFinished(120000));
        QVERIFY2(p.exitCode() == 0, (p.readAllStandardOutput() + p.readAllStandardError()).constData());
    }

    void mutatedRecordsNeverCrash() {
        // Damage of every kind the format can notice, anywhere in any file of a small record: playback always ends
        // within a bound, holds little memory, and every block it gives is one that was written, in order.
        // (A digit turned into another, a line break inside a row's last number, or two rows' halves joined at the
        // same column is no damage a text format can see: bytes change to neither digits nor line breaks, and rows
        // of data are lost or repeated whole.)
        const std::string folder = d + "/mutated";
        QVERIFY(writeRecord(folder, 12));
        const std::string files[] = {"signalsInfo.csv", "EEG.csv", "COM.csv", "ANC_1.csv", "UTC.csv"};
        std::map<std::string, std::string> originals;
        for (const std::string& f : files)
            originals[f] = slurp(folder + "/" + f);
        const uint32_t seed = fuzz::seed(5);
        std::mt19937 rng(seed);
        const std::size_t heapBefore = fuzz::heapInUse();
        fuzz::Watchdog watchdog(std::chrono::seconds(30));
        for (int round = 0; round < 2500; ++round) {
            watchdog.begin("seed " + std::to_string(seed) + " round " + std::to_string(round));
            const std::string& file = files[rng() % 5];
            std::string text = originals[file];
            for (int k = 0, n = 1 + int(rng() % 3); k < n && !text.empty(); ++k) {
                const std::size_t at = rng() % text.size(), len = 1 + rng() % 64;
                // A description that loses or repeats a row describes another record: its damage is byte-wise.
                const unsigned byteWise[] = {1, 2, 5};
                switch (file == files[0] ? byteWise[rng() % 3] : rng() % 6) {
                case 0: text.resize(at); break;                                        // cut
                case 1: text[at] = ",\"x\0;"[rng() % 5]; break;                        // a foreign byte
                case 2: text.replace(at, std::min(len, text.size() - at), len, '\0'); break;  // zeroed
                case 3: text.erase(lineAt(text, at), lineLength(text, at)); break;    // a row lost
                case 4: text.insert(lineAt(text, rng() % text.size()), text.substr(lineAt(text, at), lineLength(text, at)));
                    break;                                                              // a row repeated elsewhere
                default: text.insert(at, std::string(len, "x,\0"[rng() % 3])); break;
                }
            }
            spit(folder + "/" + file, text);
            CsvReader r;
            if (r.open(folder)) {
                QVERIFY(fuzz::heapInUse() < heapBefore + (16u << 20));
                const std::vector<int> played = playIndices(r);
                QVERIFY2(played.size() <= 12 && std::count(played.begin(), played.end(), -1) == 0 &&
                             std::adjacent_find(played.begin(), played.end(), std::greater_equal<int>()) == played.end(),
                         qPrintable(QString("seed %1 round %2 in %3: %4 after %5 blocks; %6")
                                        .arg(seed).arg(round).arg(file.c_str()).arg(played.size() ? played.back() : -2)
                                        .arg(played.size()).arg(r.error().c_str())));
            } else {
                QVERIFY(!r.error().empty() && r.read().isEnd());
            }
            spit(folder + "/" + file, originals[file]);
        }
    }
};

QTEST_GUILESS_MAIN(TestCsv)
#include "test_csv.moc"
