#include "BdfExporter.h"
#include "CsvReader.h"
#include "CsvWriter.h"

#include "SimTestSupport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const char* const kAxes[9] = {"AccX", "AccY", "AccZ", "GyroX", "GyroY", "GyroZ", "MagX", "MagY", "MagZ"};
const char* const kImuUnits[9] = {"m/s2", "m/s2", "m/s2", "deg/s", "deg/s", "deg/s", "uT", "uT", "uT"};

struct Note {
    QString text;
    double onset, duration;
};

// Records `blocks` blocks of a simulated device to a CSV folder, leaving out the blocks in [gapFrom, gapTo) (a
// link drop: their sequence numbers are missing) and flagging those in [flagFrom, flagTo) with 4.
struct RecordPlan {
    const char* device;
    unsigned imus;  // COM mode; 0 for a device without one
    int blocks, gapFrom, gapTo, flagFrom, flagTo;
};

bool makeRecord(const RecordPlan& plan, const std::string& folder, std::vector<Note>* notes, int64_t* firstUtc) {
    auto driver = plan.imus ? bluetoothDriver(plan.device) : usbDriver(10);
    if (!driver->isConnected()) return false;
    std::vector<KvnSignal> list = driver->getSignals();
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].name == "COM" && !driver->setSignalMode(i, static_cast<uint8_t>(plan.imus))) return false;
    list = driver->getSignals();
    const unsigned rate = driver->getFrequency();
    CsvWriter w;
    if (!w.setup(folder.c_str(), list, plan.device, 1) || !w.writeHeaders(static_cast<int>(rate), true)) return false;
    const std::vector<Block> blocks = startAndRead(*driver, plan.blocks);
    driver->stop();
    if (static_cast<int>(blocks.size()) != plan.blocks) return false;
    const int64_t utc0 = 1764921600123400LL;
    *firstUtc = utc0;
    notes->push_back({"Record start", 0, -1});
    // The annotations follow the blocks written: a loaded machine may lose blocks of its own besides the planned
    // gap. The stamps follow the sequence numbers, as a recorder's do, so every drop lasts as long as its blocks.
    int written = 0;
    int previous = -1;
    int64_t elapsed = 0;  // blocks since the first one
    for (int b = 0; b < plan.blocks; ++b) {
        if (b > 0) elapsed += uint16_t(blocks[b].sequence - blocks[b - 1].sequence);
        if (b >= plan.gapFrom && b < plan.gapTo) continue;
        if (previous >= 0) {
            const uint16_t first = uint16_t(blocks[previous].sequence + 1), next = blocks[b].sequence;
            if (next != first)
                notes->push_back({QString("Link drop: seq %1-%2 missing").arg(first).arg(uint16_t(next - 1)),
                                  double(written) / rate, double(uint16_t(next - first)) / rate});
        }
        previous = b;
        const bool flagged = b >= plan.flagFrom && b < plan.flagTo;
        if (b == plan.flagFrom && plan.flagTo > plan.flagFrom)
            notes->push_back({"Flags 0x0004", double(written) / rate, double(plan.flagTo - plan.flagFrom) / rate});
        const int64_t utc = utc0 + elapsed * 1000000 / rate;
        if (!w.write(blocks[b].data.data(), blocks[b].sequence, utc - utc0, utc, blocks[b].battery, flagged ? 4 : 0))
            return false;
        ++written;
    }
    return w.close();
}

// The channels the file must hold, named independently of the exporter: label, unit, and the record's values.
struct Expected {
    QJsonArray channels;
    std::vector<std::vector<double>> values;
};

Expected expectedFrom(const std::string& folder) {
    Expected e;
    CsvReader r;
    if (!r.open(folder)) return e;
    const std::vector<KvnSignal> list = r.signalList();
    struct Column {
        QString label, unit;
        std::size_t signal, row, col;
        bool perBlock;
        double rate;
    };
    std::vector<Column> cols;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const KvnSignal& s = list[i];
        const QString name = QString::fromStdString(s.name);
        if (name == "COM") {
            for (unsigned imu = 0; imu < s.samples; ++imu)
                for (unsigned c = 0; c < 9; ++c)
                    cols.push_back({QString("IMU%1_%2").arg(imu + 1).arg(kAxes[c]), kImuUnits[c], i, imu, c, true, double(r.blockRate())});
            continue;
        }
        const QString unit = name == "EEG" ? "uV" : name == "BVP" ? "a.u." : name == "GSR" ? "uS" : "";
        for (unsigned c = 0; c < s.channels; ++c)
            cols.push_back({QString("%1_ch%2").arg(name).arg(c + 1), unit, i, 0, c, false, double(r.blockRate() * s.samples)});
    }
    e.values.resize(cols.size());
    for (Frame f = r.read(); !f.isEnd(); f = r.read())
        for (std::size_t k = 0; k < cols.size(); ++k) {
            const DataBlock& d = f.blocks[cols[k].signal];
            if (cols[k].perBlock) e.values[k].push_back(d.value(cols[k].row, cols[k].col));
            else
                for (std::size_t t = 0; t < d.rows(); ++t) e.values[k].push_back(d.value(t, cols[k].col));
        }
    for (std::size_t k = 0; k < cols.size(); ++k)
        e.channels.append(QJsonObject{{"label", cols[k].label}, {"unit", cols[k].unit}, {"rate", cols[k].rate},
                                      {"samples", int(e.values[k].size())}});
    return e;
}

QString python() {
    const QString source = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR"));
    return source.isEmpty() ? QString() : source + "/.venv/bin/python";
}

}  // namespace

bool runReaders(const std::string& out, const std::string& folder, bool edf, const BdfExporter& exporter,
                const QString& equipment, const QString& start, const std::vector<Note>& notes) {
    Expected e = expectedFrom(folder);
    if (e.values.empty()) {
        qWarning("no expected values from %s", folder.c_str());
        return false;
    }
    std::ofstream bin(folder + ".values", std::ios::binary);
    for (std::size_t k = 0; k < e.values.size(); ++k) {
        bin.write(reinterpret_cast<const char*>(e.values[k].data()), std::streamsize(e.values[k].size() * sizeof(double)));
        QJsonObject ch = e.channels[int(k)].toObject();
        ch["step"] = (exporter.result().physicalMax[k] - exporter.result().physicalMin[k]) / (edf ? 65535.0 : 16777215.0);
        e.channels[int(k)] = ch;
    }
    bin.close();
    QJsonArray jsonNotes;
    for (const Note& n : notes) jsonNotes.append(QJsonArray{n.text, n.onset, n.duration});
    const QJsonObject doc{{"channels", e.channels}, {"annotations", jsonNotes}, {"equipment", equipment}, {"start", start}};
    QFile json(QString::fromStdString(folder + ".json"));
    if (!json.open(QIODevice::WriteOnly)) return false;
    json.write(QJsonDocument(doc).toJson());
    json.close();
    QProcess p;
    p.start(python(), {QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/tests/driver/bdf_check.py",
                       QString::fromStdString(out), json.fileName(), QString::fromStdString(folder + ".values")});
    if (!p.waitForFinished(300000)) return false;
    if (p.exitCode() != 0) qWarning("%s", (p.readAllStandardOutput() + p.readAllStandardError()).constData());
    return p.exitCode() == 0;
}

// Imports a card record to CSV as the Import dialog's worker does.
bool importToCsv(BaseImporter& importer, const std::string& folder) {
    const std::vector<KvnSignal> list = importer.get_signals();
    CsvWriter w(folder.c_str(), list.data(), list.size(), std::string(), 1);
    if (!w.writeHeaders(importer.blocks_per_second(), false)) return false;
    importer.addCallback([&w](const BaseImporter::Block& b) {
        return b.type != BaseImporter::SAMPLES_BLOCK || w.write(b.values, b.sequence, b.battery, b.flags);
    });
    return importer.import(false) && w.close();
}

class BdfExportTest : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    QTemporaryDir cards_;
    std::string d;

private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        d = tmp_.path().toStdString();
        freshFleet(cards_, 50.0);
    }

    // A measured range is held whole, and its ends fit the header's 8 characters in their exact decimal form,
    // which no truncation can change.
    void physicalRangeHoldsAndFits() {
        const std::pair<double, double> ranges[] = {{-123.456789, 98.7654321}, {3.9, 3.9}, {0.0, 0.0}, {1e-9, 2e-9},
                                                    {-1.5e6, 2.5e7}, {-9.81, -9.8}, {qInf(), -qInf()}};  // unmeasured
        for (const auto& [lo, hi] : ranges) {
            double a, b;
            BdfExporter::physicalRange(lo, hi, a, b);
            QVERIFY(a < b && (lo > hi || (a <= lo && b >= hi)));
            for (double v : {a, b}) {
                QString s = QString::number(v, 'f', 30);
                while (s.contains('.') && (s.endsWith('0') || s.endsWith('.'))) s.chop(1);
                QVERIFY2(s.size() <= 8, qPrintable(s));
            }
        }
    }

    // Records of the simulated devices, exported and read back by pyedflib and MNE.
    void readByIndependentReaders_data() {
        QTest::addColumn<int>("plan");
        QTest::addColumn<bool>("edf");
        QTest::newRow("64 channels, link drop, flags, BDF+") << 0 << false;
        QTest::newRow("64 channels, link drop, flags, EDF+") << 0 << true;
        QTest::newRow("bio-signals with 2 IMUs, BDF+") << 1 << false;
        QTest::newRow("bio-signals with 2 IMUs, EDF+") << 1 << true;
    }
    void readByIndependentReaders() {
        QFETCH(int, plan);
        QFETCH(bool, edf);
        static const RecordPlan plans[] = {{"KVN-H64-1010", 0, 320, 100, 132, 200, 203},
                                           {"KVN-B08-2201", 2, 130, 40, 70, 10, 12}};
        const std::string folder = d + "/rec" + std::to_string(plan) + (edf ? "e" : "b");
        std::vector<Note> notes;
        int64_t utc0 = 0;
        QVERIFY(makeRecord(plans[plan], folder, &notes, &utc0));

        CsvRecordSource source;
        QVERIFY2(source.open(folder), source.error().c_str());
        const std::string out = folder + (edf ? ".edf" : ".bdf");
        BdfExporter exporter;
        double last = -1;
        bool monotonic = true;
        QVERIFY2(exporter.write(source, out, edf ? BdfExporter::Format::Edf : BdfExporter::Format::Bdf,
                                [&](double f) {
                                    monotonic = monotonic && f >= last;
                                    last = f;
                                    return true;
                                }),
                 exporter.error().c_str());
        QVERIFY(monotonic && last == 1.0 && exporter.result().paddedBlocks == 0 && !fs::exists(out + ".part"));

        if (python().isEmpty() || !QFileInfo::exists(python())) QSKIP("no Python environment (scripts/setup makes it)");
        QVERIFY(runReaders(out, folder, edf, exporter, plans[plan].device,
                           QDateTime::fromMSecsSinceEpoch(utc0 / 1000).toString("yyyy-MM-dd HH:mm:ss"), notes));
    }

    // Card records, a single device's and an EEG 64 pair's: the BDF+ file holds what the CSV import holds.
    void cardRecordExportsLikeItsImport_data() {
        QTest::addColumn<bool>("pair");
        QTest::newRow("bio-signals device") << false;
        QTest::newRow("EEG 64 pair") << true;
    }
    void cardRecordExportsLikeItsImport() {
        QFETCH(bool, pair);
        const std::vector<std::string> devices =
            pair ? std::vector<std::string>{"KVN-A32-0412L", "KVN-A32-0412R"} : std::vector<std::string>{"KVN-B08-2201"};
        for (const std::string& device : devices) {
            auto driver = bluetoothDriver(device);
            QVERIFY(driver->isConnected());
            const std::vector<KvnSignal> list = driver->getSignals();
            for (std::size_t i = 0; i < list.size(); ++i)
                if (list[i].name == "COM") QVERIFY(driver->setSignalMode(i, 1));
            const std::string name = pair ? std::string("r007") + char(std::tolower(device.back())) : "r005";
            QVERIFY(recordTo(*driver, "viewer/26-12-05/08-15-00/.", name));
            QCOMPARE(int(startAndRead(*driver, 64).size()), 64);
            driver->stop();
        }
        const auto open = [&devices, pair]() -> std::unique_ptr<BaseImporter> {
            const std::string card = "/viewer/26-12-05/08-15-00/.";
            if (pair) return std::make_unique<Eeg64Importer>(sim::sdCardFolder(devices[0]) + card, sim::sdCardFolder(devices[1]) + card, "r007");
            return std::make_unique<Importer>(sim::sdCardFolder(devices[0]) + card, "r005");
        };
        const std::unique_ptr<BaseImporter> importer = open(), again = open();
        QVERIFY2(!importer->get_signals().empty(), importer->error().c_str());
        const std::string csv = d + (pair ? "/pair" : "/card");
        QVERIFY(importToCsv(*again, csv));

        SdCardSource source(*importer);
        source.deviceName = pair ? "EEG 64 pair" : devices[0];
        const std::string out = csv + ".bdf";
        BdfExporter exporter;
        QVERIFY2(exporter.write(source, out, BdfExporter::Format::Bdf), exporter.error().c_str());
        const int64_t blocks = exporter.result().blocks;
        QVERIFY(blocks >= 64);
        QCOMPARE(BdfExporter::channels(source.signalList()).size(), std::size_t(pair ? 64 : 8 + 1 + 1 + 9 + 1));
        // A second export from the same importer walks it again.
        QVERIFY2(exporter.write(source, out + "2", BdfExporter::Format::Bdf), exporter.error().c_str());
        QCOMPARE(exporter.result().blocks, blocks);

        if (python().isEmpty() || !QFileInfo::exists(python())) QSKIP("no Python environment (scripts/setup makes it)");
        QVERIFY(runReaders(out, csv, false, exporter, QString::fromStdString(source.deviceName), "",
                           {{"Record start", 0, -1}}));
    }

    // A restart (sequence numbers from 0 again, a pause told by the stamps) and a repeated block are annotated as
    // such, with the pause's own length.
    void restartAndRepeatAnnotated() {
        const std::string folder = d + "/restart";
        CsvWriter w;
        QVERIFY(w.setup(folder.c_str(), {{"EEG", 4, 4, 8, 1}}, "KVN-TEST", 1) && w.writeHeaders(32, true));
        std::vector<double> v(32);
        int64_t utc = 1764921600000000LL;
        auto put = [&](uint16_t seq) {
            for (std::size_t k = 0; k < v.size(); ++k) v[k] = std::sin(double(utc / 1000 + int64_t(k)));
            const bool ok = w.write(v.data(), seq, 0, utc, 5, 0);
            utc += 31250;
            return ok;
        };
        for (uint16_t seq = 0; seq < 40; ++seq) QVERIFY(put(seq));
        utc += 1000000;  // a second without blocks
        for (uint16_t seq = 0; seq < 60; ++seq) QVERIFY(put(seq));
        QVERIFY(put(59));
        QVERIFY(put(60));
        QVERIFY(put(61));
        QVERIFY(w.close());

        CsvRecordSource source;
        QVERIFY(source.open(folder));
        BdfExporter exporter;
        const std::string out = folder + ".bdf";
        QVERIFY2(exporter.write(source, out, BdfExporter::Format::Bdf), exporter.error().c_str());
        QCOMPARE(exporter.result().annotations, std::size_t(3));
        if (python().isEmpty() || !QFileInfo::exists(python())) QSKIP("no Python environment (scripts/setup makes it)");
        QVERIFY(runReaders(out, folder, false, exporter, "KVN-TEST",
                           QDateTime::fromMSecsSinceEpoch(1764921600000LL).toString("yyyy-MM-dd HH:mm:ss"),
                           {{"Record start", 0, -1},
                            {"Link drop: seq 40-65535 missing", 40 / 32.0, 1.0},
                            {"Sequence repeated: seq 59", 100 / 32.0, -1}}));
    }

    void refusesAndLeavesNothing() {
        const std::string folder = d + "/small";
        std::vector<Note> notes;
        int64_t utc0;
        QVERIFY(makeRecord({"KVN-H64-1010", 0, 64, 0, 0, 0, 0}, folder, &notes, &utc0));
        CsvRecordSource source;
        QVERIFY(source.open(folder));
        BdfExporter exporter;

        // An existing output is never overwritten.
        const std::string existing = d + "/exists.bdf";
        std::ofstream(existing) << "keep";
        QVERIFY(!exporter.write(source, existing, BdfExporter::Format::Bdf) && exporter.error().find("exists") != std::string::npos);
        std::string kept;
        std::ifstream(existing) >> kept;
        QCOMPARE(kept, std::string("keep"));

        // Cancelled half-way: nothing left, not even the temporary file.
        const std::string cancelled = d + "/cancelled.bdf";
        QVERIFY(!exporter.write(source, cancelled, BdfExporter::Format::Bdf, [](double f) { return f < 0.6; }));
        QVERIFY(exporter.cancelled() && !fs::exists(cancelled) && !fs::exists(cancelled + ".part"));

        // A folder that cannot be created in.
        QVERIFY(!exporter.write(source, d + "/no/such/folder/x.bdf", BdfExporter::Format::Bdf) && !exporter.error().empty());

        // A data file cut in the middle of the record: the reader's whole blocks only, or a failure, never a crash.
        const std::string damaged = d + "/damaged";
        QVERIFY(makeRecord({"KVN-H64-1010", 0, 64, 0, 0, 0, 0}, damaged, &notes, &utc0));
        QVERIFY(::truncate((damaged + "/EEG.csv").c_str(), 20000) == 0);
        CsvRecordSource cut;
        if (cut.open(damaged)) {
            const bool ok = exporter.write(cut, d + "/damaged.bdf", BdfExporter::Format::Bdf);
            QCOMPARE(QFileInfo::exists(QString::fromStdString(d + "/damaged.bdf")), ok);
            if (ok) QVERIFY(exporter.result().blocks < 64);
        }
        CsvRecordSource none;
        QVERIFY(!none.open(d + "/nothing-here") && !none.error().empty());
    }
};

QTEST_GUILESS_MAIN(BdfExportTest)
#include "test_bdfexport.moc"
