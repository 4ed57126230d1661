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
#include <random>
#include <sys/resource.h>

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

}  // namespace

class TestCsv : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    const std::string d = tmp_.path().toStdString();  // every test uses folders of its own

private slots:
    void formatDoubleMatchesToChars() {
        // The writer's own shortest-text formatter must agree with std::to_chars character for character.
        std::mt19937_64 rng(2026);
        std::normal_distribution<double> normal(0.0, 30.0);
        std::vector<double> values = {0.0, -0.0, 1e-5, 1e-4, 1e21, 1e22, 9007199254740993.0, -HUGE_VAL, NAN};
        for (int e = -1074; e <= 1023; ++e)  // powers of two: their lower neighbour is closer
            values.push_back(std::ldexp(1.0, e));
        for (int i = 0; i < 400000; ++i) {  // any bit pattern, short decimals, integers
            const uint64_t bits = rng();
            values.insert(values.end(), {0.0, normal(rng), std::round(normal(rng) * 1e6)});
            std::memcpy(&values[values.size() - 3], &bits, sizeof bits);
        }
        for (double v : values) {
            char a[96], b[64];
            const std::string mine(a, CsvWriter::formatDouble(a, v)), ref(b, std::to_chars(b, b + sizeof b, v).ptr);
            if (mine != ref)
                QFAIL(qPrintable(QString::fromStdString(mine + " instead of " + ref)));
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

    void cutOrDamagedRecordPlaysToItsLastWholeBlock() {
        // The file keeps `keep` rows, then `torn`; the rest follows when `resumes` (one damaged line).
        const struct {
            const char* file;
            std::size_t keep;
            const char* torn;
            bool resumes;
            int blocks, played;
        } cases[] = {{"EEG.csv", 7 * 4 + 2, "30,65550,0,0,12", false, 7, 7},  // torn inside block 7
                     {"EEG.csv", 8 * 4, "32,6555", false, 8, 8},              // torn at a block end
                     {"UTC.csv", 5, "", false, 5, 5},                         // one file behind
                     {"COM.csv", 0, "0,655", false, 0, 0},
                     {"ANC_1.csv", 9, "9,65529,5,1052,1562500,17649216,1.5", false, 9, 9},  // no newline at all
                     {"COM.csv", 3 * 2 + 1, "7,65523,1,65534,1x,2\n", true, 10, 3}};      // damaged in block 3
        for (const auto& c : cases) {
            const std::string folder = d + "/cut" + std::to_string(&c - cases), path = folder + "/" + c.file;
            QVERIFY(writeRecord(folder, 10));
            const std::string text = slurp(path);
            spit(path, text.substr(0, rowOffset(text, c.keep)) + c.torn +
                           (c.resumes ? text.substr(rowOffset(text, c.keep + 1)) : std::string()));
            CsvReader r;
            QVERIFY2(r.open(folder) && r.totalBlocks() == c.blocks && playBack(r) == c.played, c.torn);
            QVERIFY2(!c.resumes || r.error().find(c.file) != std::string::npos, r.error().c_str());
        }
    }

    void badRecordIsRefused() {
        // In `file`, `from` is replaced by `to`; an empty `from` replaces the whole text, "-" deletes the file.
        const char* info = "signalsInfo.csv";
        const struct {
            const char *file, *from;
            std::string to;
            const char* message;
        } cases[] = {
            {info, "-", "", "no signalsInfo.csv"},
            {info, "", "", "empty"},
            {info, "", "format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename\n",
             "describes no signal"},
            {info, "", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18), "lacks the column"},
            {info, ",mode,", ",mood,", "lacks the column \"mode\""},
            {info, "COM,9,2", "COM,nine,2", "damaged"},
            {info, ",COM,9,2,2,", ",COM,9,2,", "fields"},
            {info, ",16,", ",0,", "damaged"},
            {info, "COM.csv", "../COM.csv", "bad file name"},
            {info, "\n1,", "\n2,", "unknown record format"},
            {"COM.csv", "-", "", "cannot open"},
            {"EEG.csv", "", "sample,sequence,battery,flags,timestamp,utc,ch1\n", "header does not match"}};
        for (const auto& c : cases) {
            const std::string folder = d + "/bad" + std::to_string(&c - cases), path = folder + "/" + c.file;
            QVERIFY(writeRecord(folder, 4));
            std::string text = slurp(path);  // (a `from` missing from the text throws: the table is wrong)
            if (std::string(c.from) == "-")
                QVERIFY(fs::remove(path));
            else
                spit(path, *c.from ? text.replace(text.find(c.from), std::strlen(c.from), c.to) : c.to);
            CsvReader r;
            QVERIFY2(!r.open(folder) && r.error().find(c.message) != std::string::npos, r.error().c_str());
            QVERIFY(!r.isOpen() && r.end() && !r.start() && r.read().isEnd() && r.numberOfSignals() == 0);
        }
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
        // Random damage in any file of a record: playback always ends, with blocks of the described shape only.
        const std::string folder = d + "/mutated";
        QVERIFY(writeRecord(folder, 12));
        const std::string files[] = {"signalsInfo.csv", "EEG.csv", "COM.csv", "UTC.csv"};
        std::mt19937 rng(5);
        for (int round = 0; round < 200; ++round) {
            const std::string path = folder + "/" + files[round % 4], original = slurp(path);
            std::string text = original.substr(0, round % 2 ? rng() % original.size() : std::string::npos);
            for (int k = 0; round % 2 == 0 && k < 1 + round % 4; ++k)
                text[rng() % text.size()] = ",\n\"x-9e."[rng() % 8];
            spit(path, text);
            CsvReader r;
            QVERIFY(r.open(folder) || (!r.error().empty() && r.read().isEnd()));
            int frames = 0;
            for (Frame f = r.read(); !f.isEnd() && frames < 100; f = r.read(), ++frames) {
                QCOMPARE(f.blocks.size(), r.numberOfSignals());
                for (std::size_t i = 0; i < f.blocks.size(); ++i)
                    QVERIFY(f.blocks[i].rows() == r.signalSamples(i) && f.blocks[i].cols() == r.signalChannels(i));
            }
            QVERIFY(frames <= 12 && r.end());
            spit(path, original);
        }
    }
};

QTEST_GUILESS_MAIN(TestCsv)
#include "test_csv.moc"
