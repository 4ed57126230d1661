#include "CsvReader.h"
#include "CsvWriter.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <charconv>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

// EEG 3x4, a switched-off signal, a digital aux input with two IMUs, two anchors sharing a name, the SD card.
const std::vector<KvnSignal> kSignals = {
    {"EEG", 3, 0, 4, 1}, {"HAP", 1, 0, 1, 0}, {"COM", 9, 0, 2, 2},
    {"ANC", 2, 0, 1, 1}, {"ANC", 2, 0, 1, 1}, {"uSD", 1, 0, 1, 1},
};
const std::size_t kValues = 3 * 4 + 9 * 2 + 2 + 2;
const int kRate = 16;

double valueOf(int block, std::size_t k) {
    static const double odd[] = {-0.0,
                                 5e-324,
                                 std::numeric_limits<double>::max(),
                                 -std::numeric_limits<double>::min(),
                                 0.1,
                                 1.0 / 3.0,
                                 std::numeric_limits<double>::infinity(),
                                 -123456.78901234567};
    if (k % 5 == 0)
        return odd[(k / 5 + static_cast<std::size_t>(block)) % 8];
    return std::sin(block * 0.731 + static_cast<double>(k)) * std::pow(10.0, static_cast<double>(k % 7) - 3.0);
}

uint16_t seqOf(int b) { return static_cast<uint16_t>(65520 + b); }  // wraps past 65535
int16_t batteryOf(int b) { return static_cast<int16_t>(b % 8 - 2); }  // -2 .. 5
uint16_t flagsOf(int b) {
    static const uint16_t f[] = {0, 7, 0x0108, 65534, 1};
    return f[b % 5];
}

bool writeRecord(const std::string& folder, int blocks, bool withUtc = true) {
    CsvWriter w;
    if (!w.setup(folder.c_str(), kSignals, "KVN, \"test\" device", 1) || !w.writeHeaders(kRate, withUtc))
        return false;
    std::vector<double> v(kValues);
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < kValues; ++k)
            v[k] = valueOf(b, k);
        bool ok = withUtc ? w.write(v.data(), seqOf(b), 1000000 + b * 62500, 1764921600000000LL + b, batteryOf(b),
                                    flagsOf(b))
                          : w.write(v.data(), seqOf(b), batteryOf(b), flagsOf(b));
        if (!ok)
            return false;
    }
    return w.close();
}

bool sameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Compares a frame with block b as written, walking the frame as playback does (block by block, row by row).
QString frameMismatch(const Frame& f, int b) {
    if (f.sequence != seqOf(b) || f.battery != batteryOf(b) || f.flags != flagsOf(b))
        return QString("block %1: sequence/battery/flags %2/%3/%4").arg(b).arg(f.sequence).arg(f.battery).arg(f.flags);
    if (f.blocks.size() != 4)
        return QString("block %1: %2 signal blocks").arg(b).arg(f.blocks.size());
    std::size_t k = 0;
    for (const DataBlock& d : f.blocks)
        for (std::size_t r = 0; r < d.rows(); ++r)
            for (std::size_t c = 0; c < d.cols(); ++c, ++k)
                if (!sameDouble(d.value(r, c), valueOf(b, k)))
                    return QString("block %1 value %2: %3").arg(b).arg(k).arg(d.value(r, c), 0, 'g', 17);
    if (k != kValues)
        return QString("block %1: %2 values").arg(b).arg(k);
    return {};
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Byte offset where row `row` (0-based, after the header line) of a CSV text starts.
std::size_t rowOffset(const std::string& text, std::size_t row) {
    std::size_t pos = text.find('\n') + 1;
    for (std::size_t r = 0; r < row; ++r)
        pos = text.find('\n', pos) + 1;
    return pos;
}

}  // namespace

class TestCsv : public QObject {
    Q_OBJECT
private slots:
    void formatDoubleMatchesToChars();
    void writeThenReadGivesEveryBlockBack();
    void filesArePlainCsv();
    void importWithoutStamps();
    void cutRecordPlaysToItsLastWholeBlock_data();
    void cutRecordPlaysToItsLastWholeBlock();
    void damagedLineEndsPlaybackThere();
    void badDescriptionIsRefused_data();
    void badDescriptionIsRefused();
    void writerReportsFailures();
    void fullDiskIsReported();
    void readByPython();
    void mutatedRecordsNeverCrash();
};

void TestCsv::formatDoubleMatchesToChars() {
    // The writer's own shortest-text formatter must agree with std::to_chars character for character.
    std::mt19937_64 rng(2026);
    std::normal_distribution<double> normal(0.0, 30.0);
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, 0.1, 1e-5, 1e-4, 123456.0, 1e15, 1e16, 1e17, 1e21, 1e22,
                                  9007199254740992.0, 9007199254740993.0, 5e-324, 2.2250738585072014e-308,
                                  std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(), std::nan(""), 0.3, 2.0 / 3.0};
    for (int e = -1074; e <= 1023; ++e)  // powers of two: their lower neighbour is closer
        values.push_back(std::ldexp(1.0, e));
    for (int i = 0; i < 300000; ++i) {
        uint64_t bits = rng();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        values.push_back(d);
        values.push_back(normal(rng));
        values.push_back(std::ldexp(normal(rng), static_cast<int>(rng() % 2150) - 1100));
        values.push_back(std::round(normal(rng) * 1e6));
    }
    int mismatches = 0;
    QString first;
    for (double v : values) {
        char a[96], b[64];
        char* ea = CsvWriter::formatDouble(a, v);
        char* eb = std::to_chars(b, b + sizeof b, v).ptr;
        if (std::string(a, ea) != std::string(b, eb)) {
            if (!mismatches++)
                first = QString("%1 instead of %2").arg(QString::fromLatin1(a, int(ea - a)), QString::fromLatin1(b, int(eb - b)));
        }
    }
    QVERIFY2(mismatches == 0, qPrintable(QString::number(mismatches) + " mismatches, first: " + first));
}

void TestCsv::writeThenReadGivesEveryBlockBack() {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/rec";
    QVERIFY(writeRecord(folder, 40));

    CsvReader r;
    QVERIFY2(r.open(folder), r.error().c_str());
    QCOMPARE(QString::fromStdString(r.deviceName()), QString("KVN, \"test\" device"));
    QCOMPARE(r.blockRate(), 16u);
    QCOMPARE(r.totalBlocks(), int64_t(40));
    QCOMPARE(r.duration(), int64_t(2));
    QVERIFY(r.hasUtc());
    QCOMPARE(r.numberOfSignals(), std::size_t(4));  // EEG, COM, ANC, ANC: nothing for HAP (off) and uSD
    QCOMPARE(QString::fromStdString(r.signalName(2)), QString("ANC"));
    QCOMPARE(r.signalChannels(1), 9u);
    QCOMPARE(r.signalSamples(1), 2u);
    QCOMPARE(r.signalSamplingRate(0), 64u);
    QCOMPARE(QString::fromStdString(r.signalName(9)), QString());
    QCOMPARE(r.signalChannels(9), 0u);

    for (int pass = 0; pass < 2; ++pass) {
        QVERIFY(r.start());
        for (int b = 0; b < 40; ++b) {
            QVERIFY(!r.end());
            Frame f = r.read();
            QCOMPARE(frameMismatch(f, b), QString());
            QCOMPARE(f.timestamp, int64_t(1000000 + b * 62500));
            QCOMPARE(f.utc, int64_t(1764921600000000LL + b));
            QCOMPARE(f.blocks[0].rows(), std::size_t(4));  // one row per sample
            QCOMPARE(f.blocks[0].cols(), std::size_t(3));  // one column per channel
        }
        QVERIFY(!r.end());
        Frame last = r.read();
        QVERIFY(last.isEnd());
        QCOMPARE(last.flags, uint16_t(65535));
        QVERIFY(last.blocks.empty());
        QVERIFY(r.end());
        QVERIFY(r.read().isEnd());
    }
    QVERIFY(r.error().empty());

    // Reopening with the reader's own folder works (the playback model does this).
    QVERIFY(r.open(r.folder()));
    QCOMPARE(r.totalBlocks(), int64_t(40));
    r.close();
    QVERIFY(r.end());
    QVERIFY(r.read().isEnd());
}

void TestCsv::filesArePlainCsv() {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 3));
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.insert(e.path().filename().string());
    QCOMPARE(names, (std::set<std::string>{"ANC_1.csv", "ANC_2.csv", "COM.csv", "EEG.csv", "UTC.csv", "signalsInfo.csv"}));

    const std::string eeg = slurp(folder + "/EEG.csv");
    QVERIFY(eeg.rfind("sample,sequence,battery,flags,timestamp,utc,ch1,ch2,ch3\n", 0) == 0);
    QCOMPARE(std::count(eeg.begin(), eeg.end(), '\n'), 1L + 3 * 4);
    QVERIFY(eeg.find("\n4,65521,-1,7,1062500,1764921600000001,") != std::string::npos);  // block 1's first row
    QCOMPARE(slurp(folder + "/UTC.csv"), std::string("sample,sequence,battery,flags,timestamp,utc\n"
                                                     "0,65520,-2,0,1000000,1764921600000000\n"
                                                     "1,65521,-1,7,1062500,1764921600000001\n"
                                                     "2,65522,0,264,1125000,1764921600000002\n"));
    const std::string info = slurp(folder + "/signalsInfo.csv");
    QVERIFY(info.rfind("format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename\n", 0) == 0);
    QVERIFY(info.find("\n1,\"KVN, \"\"test\"\" device\",16,1,HAP,1,1,0,\n") != std::string::npos);
    QVERIFY(info.find(",COM,9,2,2,COM.csv\n") != std::string::npos);
    QVERIFY(info.find(",UTC,1,1,1,UTC.csv\n") != std::string::npos);
}

void TestCsv::importWithoutStamps() {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 5, false));
    QVERIFY(!fs::exists(folder + "/UTC.csv"));
    QVERIFY(slurp(folder + "/ANC_2.csv").find("\n0,65520,-2,0,,,") != std::string::npos);
    CsvReader r;
    QVERIFY2(r.open(folder), r.error().c_str());
    QVERIFY(!r.hasUtc());
    for (int b = 0; b < 5; ++b) {
        Frame f = r.read();
        QCOMPARE(frameMismatch(f, b), QString());
        QCOMPARE(f.timestamp, int64_t(0));
    }
    QVERIFY(r.read().isEnd());
}

void TestCsv::cutRecordPlaysToItsLastWholeBlock_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("keepRows");   // whole rows left in the file
    QTest::addColumn<QString>("torn");   // a torn last line
    QTest::addColumn<int>("blocks");
    QTest::newRow("EEG torn inside block 7") << "EEG.csv" << 7 * 4 + 2 << "30,65550,0,0,12" << 7;
    QTest::newRow("EEG torn at a block end") << "EEG.csv" << 8 * 4 << "32,6555" << 8;
    QTest::newRow("UTC one file behind") << "UTC.csv" << 5 << "" << 5;
    QTest::newRow("COM without a row") << "COM.csv" << 0 << "0,655" << 0;
    QTest::newRow("line without newline at all") << "ANC_1.csv" << 9 << "9,65529,5,65534,1562500,1764921600000009,1.5,2" << 9;
}

void TestCsv::cutRecordPlaysToItsLastWholeBlock() {
    QFETCH(QString, file);
    QFETCH(int, keepRows);
    QFETCH(QString, torn);
    QFETCH(int, blocks);
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 10));
    const std::string path = folder + "/" + file.toStdString();
    const std::string text = slurp(path);
    spit(path, text.substr(0, rowOffset(text, static_cast<std::size_t>(keepRows))) + torn.toStdString());

    CsvReader r;
    QVERIFY2(r.open(folder), r.error().c_str());
    QCOMPARE(r.totalBlocks(), int64_t(blocks));
    for (int b = 0; b < blocks; ++b)
        QCOMPARE(frameMismatch(r.read(), b), QString());
    QVERIFY(r.read().isEnd());
    QVERIFY(r.end());
}

void TestCsv::damagedLineEndsPlaybackThere() {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 10));
    const std::string path = folder + "/COM.csv";
    std::string text = slurp(path);
    const std::size_t at = rowOffset(text, 3 * 2 + 1);  // second row of block 3
    text.insert(text.find(',', at + 30), "x");
    spit(path, text);

    CsvReader r;
    QVERIFY(r.open(folder));
    QCOMPARE(r.totalBlocks(), int64_t(10));
    for (int b = 0; b < 3; ++b)
        QCOMPARE(frameMismatch(r.read(), b), QString());
    QVERIFY(r.read().isEnd());
    QVERIFY(r.end());
    QVERIFY(QString::fromStdString(r.error()).contains("COM.csv"));
}

void TestCsv::badDescriptionIsRefused_data() {
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("message");
    QTest::newRow("missing") << "missing" << "no signalsInfo.csv";
    QTest::newRow("empty") << "empty" << "empty";
    QTest::newRow("header only") << "header" << "no signal";
    QTest::newRow("random bytes") << "random" << "lacks the column";
    QTest::newRow("column missing") << "nomode" << "lacks the column \"mode\"";
    QTest::newRow("bad number") << "badnumber" << "damaged";
    QTest::newRow("short row") << "shortrow" << "fields";
    QTest::newRow("zero block rate") << "zerorate" << "damaged";
    QTest::newRow("data file missing") << "nodata" << "cannot open";
    QTest::newRow("file outside folder") << "escape" << "bad file name";
    QTest::newRow("data header differs") << "dataheader" << "header does not match";
    QTest::newRow("future format") << "format" << "unknown record format";
}

void TestCsv::badDescriptionIsRefused() {
    QFETCH(QString, damage);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 4));
    const std::string info = folder + "/signalsInfo.csv";
    std::string text = slurp(info);
    auto replace = [&](const std::string& from, const std::string& to) {
        std::size_t at = text.find(from);
        QVERIFY(at != std::string::npos);
        text.replace(at, from.size(), to);
    };
    if (damage == "missing")
        fs::remove(info);
    else if (damage == "empty")
        text.clear();
    else if (damage == "header")
        text = text.substr(0, text.find('\n') + 1);
    else if (damage == "random")
        text = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18);
    else if (damage == "nomode")
        replace(",mode,", ",mood,");
    else if (damage == "badnumber")
        replace("COM,9,2", "COM,nine,2");
    else if (damage == "shortrow")
        replace(",COM,9,2,2,COM.csv", ",COM,9,2,COM.csv");
    else if (damage == "zerorate")
        text = std::string(text).replace(text.find(",16,"), 4, ",0,");
    else if (damage == "nodata")
        fs::remove(folder + "/COM.csv");
    else if (damage == "escape")
        replace("COM.csv", "../COM.csv");
    else if (damage == "dataheader")
        spit(folder + "/EEG.csv", "sample,sequence,battery,flags,timestamp,utc,ch1\n");
    else if (damage == "format")
        replace("\n1,", "\n2,");
    if (damage != "missing")
        spit(info, text);

    CsvReader r;
    QVERIFY(!r.open(folder));
    QVERIFY2(QString::fromStdString(r.error()).contains(message), r.error().c_str());
    QVERIFY(!r.isOpen());
    QCOMPARE(r.numberOfSignals(), std::size_t(0));
    QCOMPARE(r.duration(), int64_t(0));
    QVERIFY(r.end());
    QVERIFY(r.read().isEnd());
    QVERIFY(!r.start());
}

void TestCsv::writerReportsFailures() {
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString();
    std::vector<double> v(kValues);
    CsvWriter w;
    QVERIFY(!w.write(v.data(), 0, 0, 0));  // nothing set up
    QVERIFY(!w.isOpen());
    QVERIFY(w.close());

    spit(base + "/plain", "x");
    QVERIFY(w.setup((base + "/plain").c_str(), kSignals, "", 1));
    QVERIFY(!w.writeHeaders(kRate, true));
    QVERIFY(!w.error().empty());
    QVERIFY(!w.write(v.data(), 0, 0, 0));

    QVERIFY(!w.setup("", kSignals, "", 1));
    QVERIFY(!w.setup((base + "/x").c_str(), {}, "", 1));
    QVERIFY(!w.writeHeaders(kRate, true));

    QVERIFY(w.setup((base + "/r").c_str(), kSignals, "", 1));
    QVERIFY(!w.writeHeaders(0, true));
    QVERIFY(w.writeHeaders(kRate, true));  // creates the missing folder
    QVERIFY(!w.write(nullptr, 0, 0, 0));
    QVERIFY(!w.close());  // the refused block is reported again at close

    // An earlier record in the folder is never overwritten.
    const std::string before = slurp(base + "/r/EEG.csv");
    CsvWriter again;
    QVERIFY(again.setup((base + "/r").c_str(), kSignals, "", 1));
    QVERIFY(!again.writeHeaders(kRate, true));
    QVERIFY(QString::fromStdString(again.error()).contains("already holds a record"));
    QCOMPARE(slurp(base + "/r/EEG.csv"), before);

    // A stray file in the way: nothing is left behind, the description included.
    fs::create_directories(base + "/s");
    spit(base + "/s/COM.csv", "mine");
    QVERIFY(again.setup((base + "/s").c_str(), kSignals, "", 1));
    QVERIFY(!again.writeHeaders(kRate, true));
    QVERIFY(!fs::exists(base + "/s/EEG.csv"));
    QVERIFY(!fs::exists(base + "/s/signalsInfo.csv"));
    QCOMPARE(slurp(base + "/s/COM.csv"), std::string("mine"));

    // A signal that contributes no values gets no file, and the record still plays back.
    {
        const std::vector<KvnSignal> odd = {{"EEG", 2, 0, 1, 1}, {"DIN", 0, 0, 4, 1}, {"COM", 9, 0, 0, 0}};
        CsvWriter z;
        QVERIFY(z.setup((base + "/z").c_str(), odd, "", 1) && z.writeHeaders(kRate, true));
        QCOMPARE(z.valuesPerBlock(), std::size_t(2));
        const double two[] = {1.5, -2.5};
        QVERIFY(z.write(two, 9, 0, 0, 5, 0));
        QVERIFY(z.close());
        QVERIFY(!fs::exists(base + "/z/DIN.csv"));
        CsvReader r;
        QVERIFY2(r.open(base + "/z"), r.error().c_str());
        QCOMPARE(r.numberOfSignals(), std::size_t(1));
        Frame f = r.read();
        QCOMPARE(f.blocks.at(0).value(0, 1), -2.5);
        QCOMPARE(f.sequence, uint16_t(9));
    }

    // Constructor form used by the importer.
    CsvWriter ctor((base + "/c").c_str(), kSignals.data(), kSignals.size(), "", 1);
    QVERIFY(ctor.writeHeaders(kRate, false));
    QCOMPARE(ctor.valuesPerBlock(), kValues);
    QCOMPARE(QString::fromStdString(ctor.fileName(3)), QString("ANC_1.csv"));
    QCOMPARE(QString::fromStdString(ctor.fileName(1)), QString());
    QVERIFY(ctor.write(v.data(), 1, 2, 3));
    QVERIFY(ctor.close());
    QVERIFY(ctor.close());
}

void TestCsv::fullDiskIsReported() {
    // A file size limit stands in for a full disk: writes past it fail with EFBIG.
    QTemporaryDir dir;
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 200 * 1024;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    CsvWriter w;
    bool headers = w.setup(dir.path().toLocal8Bit().constData(), kSignals, "", 1) && w.writeHeaders(kRate, true);
    std::vector<double> v(kValues, -1.2345678901234567e-200);
    int written = 0;
    while (headers && written < 100000 && w.write(v.data(), 0, 0, 0, 0, 0))
        ++written;
    bool closed = w.close();
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    QVERIFY(headers);
    QVERIFY(written < 100000);
    QVERIFY(!closed);
    QVERIFY2(QString::fromStdString(w.error()).contains("cannot write"), w.error().c_str());
}

void TestCsv::readByPython() {
    const QString python = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/.venv/bin/python";
    if (qgetenv("KVN_SOURCE_DIR").isEmpty() || !QFileInfo::exists(python))
        QSKIP("no Python environment (scripts/setup makes it)");
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 12));
    // The expected values as exact hexadecimal floats, independent of the decimal text.
    {
        std::ofstream exp(folder + "/expected.txt");
        for (int b = 0; b < 12; ++b)
            for (std::size_t k = 0; k < 3 * 4; ++k)
                exp << std::hexfloat << valueOf(b, k) << "\n";
    }
    const QString script = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/tests/driver/csv_reader_check.py";
    QProcess p;
    p.start(python, {script, dir.path()});
    QVERIFY(p.waitForFinished(120000));
    QVERIFY2(p.exitCode() == 0, (p.readAllStandardOutput() + p.readAllStandardError()).constData());
}

void TestCsv::mutatedRecordsNeverCrash() {
    // Random damage in any file of a record: opening and playing it back always ends, with blocks of the
    // described shape only.
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    QVERIFY(writeRecord(folder, 12));
    const char* files[] = {"signalsInfo.csv", "EEG.csv", "COM.csv", "UTC.csv"};
    std::map<std::string, std::string> originals;
    for (const char* f : files)
        originals[f] = slurp(folder + "/" + f);
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        for (const auto& [name, text] : originals)
            spit(folder + "/" + name, text);
        const std::string name = files[round % 4];
        std::string text = originals[name];
        if (round % 2) {
            text.resize(rng() % text.size());
        } else {
            static const char junk[] = ",\n\"x-9e.";
            for (int k = 0; k < 1 + round % 4; ++k)
                text[rng() % text.size()] = junk[rng() % (sizeof junk - 1)];
        }
        spit(folder + "/" + name, text);
        CsvReader r;
        if (!r.open(folder)) {
            QVERIFY(!r.error().empty());
            QVERIFY(r.read().isEnd());
            continue;
        }
        int frames = 0;
        while (!r.end() && frames < 100) {
            Frame f = r.read();
            if (f.isEnd())
                break;
            QCOMPARE(f.blocks.size(), r.numberOfSignals());
            for (std::size_t i = 0; i < f.blocks.size(); ++i) {
                QCOMPARE(f.blocks[i].rows(), std::size_t(r.signalSamples(i)));
                QCOMPARE(f.blocks[i].cols(), std::size_t(r.signalChannels(i)));
            }
            ++frames;
        }
        QVERIFY(frames <= 12);
        QVERIFY(r.end());
    }
}

QTEST_GUILESS_MAIN(TestCsv)
#include "test_csv.moc"
