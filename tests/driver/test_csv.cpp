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

bool writeRecord(const std::string& folder, int blocks, bool withUtc = true) {
    CsvWriter w;
    if (!w.setup(folder.c_str(), kSignals, "KVN, \"test\" device", 1) || !w.writeHeaders(16, withUtc))
        return false;
    std::vector<double> v(kValues);
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < kValues; ++k)
            v[k] = valueOf(b, k);
        if (!(withUtc ? w.write(v.data(), seqOf(b), 1000000 + b * 62500, 1764921600000000LL + b, batteryOf(b),
                                flagsOf(b))
                      : w.write(v.data(), seqOf(b), batteryOf(b), flagsOf(b))))
            return false;
    }
    return w.close();
}

// Compares a frame with block b as written, walking it as playback does (block by block, row by row).
QString frameMismatch(const Frame& f, int b) {
    if (f.sequence != seqOf(b) || f.battery != batteryOf(b) || f.flags != flagsOf(b) || f.blocks.size() != 4)
        return QString("block %1: sequence/battery/flags/blocks %2/%3/%4/%5")
            .arg(b).arg(f.sequence).arg(f.battery).arg(f.flags).arg(f.blocks.size());
    std::size_t k = 0;
    for (const DataBlock& d : f.blocks)
        for (std::size_t r = 0; r < d.rows(); ++r)
            for (std::size_t c = 0; c < d.cols(); ++c, ++k) {
                const double got = d.value(r, c), want = valueOf(b, k);
                if (std::memcmp(&got, &want, sizeof got) != 0)
                    return QString("block %1 value %2: %3").arg(b).arg(k).arg(got, 0, 'g', 17);
            }
    return k == kValues ? QString() : QString("block %1: %2 values").arg(b).arg(k);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void spit(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Byte offset where row `row` (0-based, after the header line) of a CSV text starts.
std::size_t rowOffset(const std::string& text, std::size_t row) {
    std::size_t pos = text.find('\n') + 1;
    for (std::size_t r = 0; r < row; ++r)
        pos = text.find('\n', pos) + 1;
    return pos;
}

// Plays a record back, comparing every frame with what was written; returns the frames played.
int playBack(CsvReader& r, int limit) {
    int b = 0;
    for (Frame f = r.read(); !f.isEnd() && b < limit; f = r.read(), ++b)
        if (!frameMismatch(f, b).isEmpty())
            return -1;
    return r.read().isEnd() && r.end() ? b : -2;
}

}  // namespace

class TestCsv : public QObject {
    Q_OBJECT
    QTemporaryDir* tmp_ = nullptr;
    std::string d;  // a fresh folder for each test

private slots:
    void init() {
        tmp_ = new QTemporaryDir;
        d = tmp_->path().toStdString();
    }
    void cleanup() { delete tmp_; }

    void formatDoubleMatchesToChars() {
        // The writer's own shortest-text formatter must agree with std::to_chars character for character.
        std::mt19937_64 rng(2026);
        std::normal_distribution<double> normal(0.0, 30.0);
        std::vector<double> values = {0.0, -0.0, 1e-5, 1e-4, 1e21, 1e22, 9007199254740993.0, -HUGE_VAL, NAN};
        for (int e = -1074; e <= 1023; ++e)  // powers of two: their lower neighbour is closer
            values.push_back(std::ldexp(1.0, e));
        for (int i = 0; i < 300000; ++i) {
            uint64_t bits = rng();
            double x;
            std::memcpy(&x, &bits, sizeof x);
            values.insert(values.end(), {x, normal(rng), std::ldexp(normal(rng), static_cast<int>(rng() % 2150) - 1100),
                                         std::round(normal(rng) * 1e6)});
        }
        for (double v : values) {
            char a[96], b[64];
            const std::string mine(a, CsvWriter::formatDouble(a, v)), ref(b, std::to_chars(b, b + sizeof b, v).ptr);
            if (mine != ref)
                QFAIL(qPrintable(QString::fromStdString(mine + " instead of " + ref)));
        }
    }

    void writeThenReadGivesEveryBlockBack_data() {
        QTest::addColumn<bool>("withUtc");
        QTest::newRow("recorded") << true;
        QTest::newRow("imported, no stamps") << false;
    }
    void writeThenReadGivesEveryBlockBack() {
        QFETCH(bool, withUtc);
        const std::string folder = d + "/rec";
        QVERIFY(writeRecord(folder, 40, withUtc));
        CsvReader r;
        QVERIFY2(r.open(folder), r.error().c_str());
        QCOMPARE(QString::fromStdString(r.deviceName()), QString("KVN, \"test\" device"));
        QCOMPARE(r.blockRate(), 16u);
        QCOMPARE(r.duration(), int64_t(2));
        QCOMPARE(r.hasUtc(), withUtc);
        QCOMPARE(r.numberOfSignals(), std::size_t(4));  // nothing for HAP (off) and uSD
        QCOMPARE(r.signalSamplingRate(0), 64u);
        for (int pass = 0; pass < 2; ++pass) {
            QVERIFY(r.start());
            for (int b = 0; b < 40; ++b) {
                QVERIFY(!r.end());
                Frame f = r.read();
                QCOMPARE(frameMismatch(f, b), QString());
                QCOMPARE(f.timestamp, withUtc ? int64_t(1000000 + b * 62500) : int64_t(0));
                QCOMPARE(f.utc, withUtc ? int64_t(1764921600000000LL + b) : f.utc);
                QCOMPARE(f.blocks[0].rows(), std::size_t(4));  // one row per sample, one column per channel
            }
            Frame last = r.read();
            QVERIFY(last.isEnd() && last.blocks.empty() && r.end());
            QCOMPARE(last.flags, uint16_t(65535));
        }
        QVERIFY(r.error().empty());
        QVERIFY(r.open(r.folder()));  // the playback model reopens with the reader's own folder
        QCOMPARE(r.totalBlocks(), int64_t(40));
    }

    void cutOrDamagedRecordPlaysToItsLastWholeBlock_data() {
        // The file keeps `keepRows` rows, then `torn`; the rest follows when `resumes` (one damaged line).
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("keepRows");
        QTest::addColumn<QString>("torn");
        QTest::addColumn<bool>("resumes");
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("played");
        QTest::newRow("EEG torn inside block 7") << "EEG.csv" << 7 * 4 + 2 << "30,65550,0,0,12" << false << 7 << 7;
        QTest::newRow("EEG torn at a block end") << "EEG.csv" << 8 * 4 << "32,6555" << false << 8 << 8;
        QTest::newRow("UTC one file behind") << "UTC.csv" << 5 << "" << false << 5 << 5;
        QTest::newRow("COM without a row") << "COM.csv" << 0 << "0,655" << false << 0 << 0;
        QTest::newRow("no newline at all") << "ANC_1.csv" << 9 << "9,65529,5,1052,1562500,17649216,1.5" << false << 9 << 9;
        QTest::newRow("damaged line in block 3") << "COM.csv" << 3 * 2 + 1 << "7,65523,1,65534,1x,2\n" << true << 10 << 3;
    }
    void cutOrDamagedRecordPlaysToItsLastWholeBlock() {
        QFETCH(QString, file);
        QFETCH(int, keepRows);
        QFETCH(QString, torn);
        QFETCH(bool, resumes);
        QFETCH(int, blocks);
        QFETCH(int, played);
        QVERIFY(writeRecord(d, 10));
        const std::string path = d + "/" + file.toStdString(), text = slurp(path);
        const auto keep = static_cast<std::size_t>(keepRows);
        spit(path, text.substr(0, rowOffset(text, keep)) + torn.toStdString() +
                       (resumes ? text.substr(rowOffset(text, keep + 1)) : std::string()));
        CsvReader r;
        QVERIFY2(r.open(d), r.error().c_str());
        QCOMPARE(r.totalBlocks(), int64_t(blocks));
        QCOMPARE(playBack(r, 10), played);
        QVERIFY(!resumes || QString::fromStdString(r.error()).contains(file));
    }

    void badRecordIsRefused_data() {
        // In `file`, `from` is replaced by `to`; an empty `from` replaces the whole text, "-" deletes the file.
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("from");
        QTest::addColumn<QByteArray>("to");
        QTest::addColumn<QString>("message");
        const QByteArray info = "signalsInfo.csv", none;
        QTest::newRow("missing") << info << QByteArray("-") << none << "no signalsInfo.csv";
        QTest::newRow("empty") << info << none << none << "empty";
        QTest::newRow("header only") << info << none << QByteArray("format,device,block_rate,sensor_type,signal,"
                                                                   "channels,samples_per_block,mode,filename\n")
                                     << "no signal";
        QTest::newRow("random bytes") << info << none << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18)
                                      << "lacks the column";
        QTest::newRow("column missing") << info << QByteArray(",mode,") << QByteArray(",mood,")
                                        << "lacks the column \"mode\"";
        QTest::newRow("bad number") << info << QByteArray("COM,9,2") << QByteArray("COM,nine,2") << "damaged";
        QTest::newRow("short row") << info << QByteArray(",COM,9,2,2,") << QByteArray(",COM,9,2,") << "fields";
        QTest::newRow("zero block rate") << info << QByteArray(",16,") << QByteArray(",0,") << "damaged";
        QTest::newRow("file outside") << info << QByteArray("COM.csv") << QByteArray("../COM.csv") << "bad file name";
        QTest::newRow("future format") << info << QByteArray("\n1,") << QByteArray("\n2,") << "unknown record format";
        QTest::newRow("data file missing") << QByteArray("COM.csv") << QByteArray("-") << none << "cannot open";
        QTest::newRow("data header differs") << QByteArray("EEG.csv") << none
                                             << QByteArray("sample,sequence,battery,flags,timestamp,utc,ch1\n")
                                             << "header does not match";
    }
    void badRecordIsRefused() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, from);
        QFETCH(QByteArray, to);
        QFETCH(QString, message);
        QVERIFY(writeRecord(d, 4));
        const std::string path = d + "/" + file.toStdString();
        std::string text = slurp(path);
        const std::size_t at = text.find(from.toStdString());
        QVERIFY(from.isEmpty() || from == "-" || at != std::string::npos);
        if (from == "-")
            fs::remove(path);
        else
            spit(path, from.isEmpty() ? to.toStdString() : text.replace(at, std::size_t(from.size()), to.toStdString()));
        CsvReader r;
        QVERIFY(!r.open(d));
        QVERIFY2(QString::fromStdString(r.error()).contains(message), r.error().c_str());
        QVERIFY(!r.isOpen() && r.end() && !r.start());
        QCOMPARE(r.numberOfSignals(), std::size_t(0));
        QVERIFY(r.read().isEnd());
    }

    void writerReportsFailures() {
        std::vector<double> v(kValues);
        CsvWriter w, again, z;
        QVERIFY(!w.write(v.data(), 0, 0, 0));  // nothing set up
        QVERIFY(w.setup((d + "/r").c_str(), kSignals, "", 1));
        QVERIFY(!w.writeHeaders(0, true));
        QVERIFY(w.writeHeaders(16, true));  // creates the missing folder
        QVERIFY(!w.write(nullptr, 0, 0, 0));
        QVERIFY(!w.close());  // the refused block is reported again at close
        // An earlier record in the folder is never overwritten.
        const std::string before = slurp(d + "/r/EEG.csv");
        QVERIFY(again.setup((d + "/r").c_str(), kSignals, "", 1));
        QVERIFY(!again.writeHeaders(16, true));
        QVERIFY(QString::fromStdString(again.error()).contains("already holds a record"));
        QCOMPARE(slurp(d + "/r/EEG.csv"), before);
        // A stray file in the way: nothing is left behind, the description included.
        fs::create_directories(d + "/s");
        spit(d + "/s/COM.csv", "mine");
        QVERIFY(again.setup((d + "/s").c_str(), kSignals, "", 1));
        QVERIFY(!again.writeHeaders(16, true));
        QCOMPARE(QDir(QString::fromStdString(d + "/s")).entryList(QDir::Files), QStringList("COM.csv"));
        QCOMPARE(slurp(d + "/s/COM.csv"), std::string("mine"));
        // A signal that contributes no values gets no file, and the record still plays back.
        QVERIFY(z.setup((d + "/z").c_str(), {{"EEG", 2, 0, 1, 1}, {"DIN", 0, 0, 4, 1}, {"COM", 9, 0, 0, 0}}, "", 1));
        const double two[] = {1.5, -2.5};
        QVERIFY(z.writeHeaders(16, true) && z.write(two, 9, 0, 0, 5, 0) && z.close());
        QVERIFY(!fs::exists(d + "/z/DIN.csv"));
        CsvReader r;
        QVERIFY2(r.open(d + "/z"), r.error().c_str());
        QCOMPARE(r.numberOfSignals(), std::size_t(1));
        QCOMPARE(r.read().blocks.at(0).value(0, 1), -2.5);
    }

    void fullDiskIsReported() {
        // A file size limit stands in for a full disk: writes past it fail with EFBIG.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 200 * 1024;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        CsvWriter w;
        const bool headers = w.setup(d.c_str(), kSignals, "", 1) && w.writeHeaders(16, true);
        std::vector<double> v(kValues, -1.2345678901234567e-200);
        int written = 0;
        while (headers && written < 100000 && w.write(v.data(), 0, 0, 0, 0, 0))
            ++written;
        const bool closed = w.close();
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_DFL);
        QVERIFY(headers && written < 100000 && !closed);
        QVERIFY2(QString::fromStdString(w.error()).contains("cannot write"), w.error().c_str());
    }

    void readByPython() {
        const QString source = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR"));
        if (source.isEmpty() || !QFileInfo::exists(source + "/.venv/bin/python"))
            QSKIP("no Python environment (scripts/setup makes it)");
        QVERIFY(writeRecord(d, 12));
        std::ofstream exp(d + "/expected.txt");  // exact hexadecimal floats
        for (int b = 0; b < 12; ++b)
            for (std::size_t k = 0; k < 3 * 4; ++k)
                exp << std::hexfloat << valueOf(b, k) << "\n";
        exp.close();
        QProcess p;
        p.start(source + "/.venv/bin/python", {source + "/tests/driver/csv_reader_check.py", tmp_->path()});
        QVERIFY(p.waitForFinished(120000));
        QVERIFY2(p.exitCode() == 0, (p.readAllStandardOutput() + p.readAllStandardError()).constData());
    }

    void mutatedRecordsNeverCrash() {
        // Random damage in any file of a record: playback always ends, with blocks of the described shape only.
        QVERIFY(writeRecord(d, 12));
        const std::string files[] = {"signalsInfo.csv", "EEG.csv", "COM.csv", "UTC.csv"};
        std::mt19937 rng(5);
        for (int round = 0; round < 200; ++round) {
            const std::string path = d + "/" + files[round % 4], original = slurp(path);
            std::string text = original;
            if (round % 2)
                text.resize(rng() % text.size());
            else
                for (int k = 0; k < 1 + round % 4; ++k)
                    text[rng() % text.size()] = ",\n\"x-9e."[rng() % 8];
            spit(path, text);
            CsvReader r;
            QVERIFY(r.open(d) || (!r.error().empty() && r.read().isEnd()));
            int frames = 0;
            for (Frame f = r.read(); !f.isEnd() && frames < 100; f = r.read(), ++frames) {
                QCOMPARE(f.blocks.size(), r.numberOfSignals());
                for (std::size_t i = 0; i < f.blocks.size(); ++i) {
                    QCOMPARE(f.blocks[i].rows(), std::size_t(r.signalSamples(i)));
                    QCOMPARE(f.blocks[i].cols(), std::size_t(r.signalChannels(i)));
                }
            }
            QVERIFY(frames <= 12 && r.end());
            spit(path, original);
        }
    }
};

QTEST_GUILESS_MAIN(TestCsv)
#include "test_csv.moc"
