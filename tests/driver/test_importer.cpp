#include "CsvReader.h"
#include "CsvWriter.h"
#include "Importer.h"
#include "SdCardFormat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

// RecordHeader has a field named like Qt's "signals" keyword.
#undef signals

namespace fs = std::filesystem;

namespace {

struct Written {
    uint16_t sequence;
    int16_t battery;
    uint16_t flags;
    std::vector<double> values;
};

double sampleValue(int tag, int block, std::size_t k) { return tag * 1000.0 + block + std::sin(block * 3.1 + k) * 1e-3; }

// Writes a record through the card writer; `skip` lists blocks that are left out (a gap in the sequence).
std::vector<Written> writeCard(const std::string& card, const std::string& name, std::vector<KvnSignal> signalList,
                               uint16_t firstSeq, int blocks, int tag, const std::string& setup = {},
                               const std::vector<int>& skip = {}) {
    sdcard::RecordHeader h;
    h.version = "HW3.0_FW2.1";
    h.blockRate = 32;
    h.firstSequence = firstSeq;
    h.signals = std::move(signalList);
    h.setup = setup;
    sdcard::SdCardWriter w;
    std::vector<Written> out;
    if (!w.open(card, ".", name, h))
        return out;
    for (int b = 0; b < blocks; ++b) {
        if (std::find(skip.begin(), skip.end(), b) != skip.end())
            continue;
        Written x{static_cast<uint16_t>(firstSeq + b), static_cast<int16_t>(b % 7 - 1),
                  static_cast<uint16_t>(b == 3 ? 0x0008 : 0), std::vector<double>(h.valuesPerBlock())};
        for (std::size_t k = 0; k < x.values.size(); ++k)
            x.values[k] = sampleValue(tag, b, k);
        w.writeBlock(x.sequence, x.battery, x.flags, x.values.data(), x.values.size());
        out.push_back(std::move(x));
    }
    w.close();
    return out;
}

const std::vector<KvnSignal> kTracker = {{"ANC", 2, 2, 1, 1}, {"ANC", 2, 2, 1, 1}, {"IMU", 6, 6, 1, 1}, {"uSD", 1, 1, 1, 1}};
const std::vector<KvnSignal> kHalf = {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}};

struct Collected {
    std::vector<Written> samples;
    std::vector<std::string> setups;
};

Collected collect(BaseImporter& imp) {
    Collected c;
    imp.addCallback([&c](const BaseImporter::Block& b) {
        if (b.type == BaseImporter::SETUP_BLOCK)
            c.setups.push_back(*b.setup);
        else
            c.samples.push_back({b.sequence, b.battery, b.flags, std::vector<double>(b.values, b.values + b.count)});
        return true;
    });
    return c;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

class TestImporter : public QObject {
    Q_OBJECT
private slots:
    void singleRecordImportsEveryBlock();
    void importThroughCsvWriterPlaysBack();
    void callbackCanStopTheImport();
    void unreadableRecordsFailCleanly_data();
    void unreadableRecordsFailCleanly();
    void truncatedRecordKeepsItsWholeBlocks();
    void positioningSetupFile();
    void eeg64PairMergesBySequence();
    void eeg64RefusesMismatchedHalves();
    void eeg64RestartsFollowInOrder();
    void basenameAndRecordNames();
    void mutatedRecordsNeverCrash();
};

void TestImporter::singleRecordImportsEveryBlock() {
    QTemporaryDir dir;
    const std::string card = dir.path().toStdString();
    const std::string setup = R"({"anchors": [[0, 0, 0], [4.5, 0, 0]]})";
    sdcard::RecordHeader h;
    h.version = "HW1.0_FW1.0";
    h.blockRate = 16;
    h.firstSequence = 65535;
    h.signals = kTracker;
    h.setup = setup;
    sdcard::SdCardWriter w(2000);  // small parts: the import crosses file boundaries
    QVERIFY(w.open(card, ".", "trk", h));
    std::vector<Written> written;
    for (int b = 0; b < 40; ++b) {
        Written x{static_cast<uint16_t>(65535 + b), static_cast<int16_t>(b % 8 - 2), static_cast<uint16_t>(b), {}};
        for (std::size_t k = 0; k < h.valuesPerBlock(); ++k)
            x.values.push_back(sampleValue(1, b, k));
        QVERIFY(w.writeBlock(x.sequence, x.battery, x.flags, x.values.data(), x.values.size()));
        if (b == 20)
            QVERIFY(w.writeSetup(x.sequence, 0, 0, R"({"anchors": []})"));
        written.push_back(std::move(x));
    }
    QVERIFY(w.close());
    QVERIFY(w.parts() >= 3);

    Importer imp(card, "trk");
    QVERIFY2(imp.isValid(), imp.error().c_str());
    QCOMPARE(QString::fromStdString(imp.version()), QString("HW1.0_FW1.0"));
    QCOMPARE(imp.first_sequence(), uint16_t(65535));
    QCOMPARE(imp.blocks_per_second(), uint16_t(16));
    QCOMPARE(imp.total_frames(), int64_t(41));  // the set-up block is delivered too
    QCOMPARE(imp.duration(), int64_t(2));       // 40 sample blocks at 16 per second
    QCOMPARE(imp.get_signals(), kTracker);

    std::vector<int> order;
    Collected c = collect(imp);
    imp.addCallback([&order](const BaseImporter::Block&) {
        order.push_back(1);
        return true;
    });
    QVERIFY2(imp.import(false), imp.error().c_str());
    QCOMPARE(c.samples.size(), std::size_t(40));
    QCOMPARE(order.size(), std::size_t(41));
    for (int b = 0; b < 40; ++b) {
        QCOMPARE(c.samples[b].sequence, written[b].sequence);
        QCOMPARE(c.samples[b].battery, written[b].battery);
        QCOMPARE(c.samples[b].flags, written[b].flags);
        QVERIFY(c.samples[b].values == written[b].values);
    }
    QCOMPARE(c.setups, std::vector<std::string>{R"({"anchors": []})"});
    // A second import starts again from the first block.
    c.samples.clear();
    QVERIFY(imp.import(false));
    QCOMPARE(c.samples.size(), std::size_t(40));
}

void TestImporter::importThroughCsvWriterPlaysBack() {
    // What the import worker does: every non-set-up block goes to a CsvWriter; the result must play back.
    QTemporaryDir dir;
    const std::string card = dir.path().toStdString() + "/card";
    const std::vector<Written> written = writeCard(card, "t", kTracker, 100, 25, 2, "{}");
    Importer imp(card, "t");
    const std::vector<KvnSignal> sig = imp.get_signals();
    const std::string out = dir.path().toStdString() + "/out";
    CsvWriter csv(out.c_str(), sig.data(), sig.size(), "", 1);
    QVERIFY(csv.writeHeaders(imp.blocks_per_second(), false));
    imp.addCallback([&csv](const BaseImporter::Block& b) {
        if (b.type != BaseImporter::SETUP_BLOCK)
            csv.write(b.values, b.sequence, b.battery, b.flags);
        return true;
    });
    QVERIFY(imp.import(false));
    QVERIFY(csv.close());

    CsvReader r;
    QVERIFY2(r.open(out), r.error().c_str());
    QCOMPARE(r.totalBlocks(), int64_t(25));
    QCOMPARE(r.numberOfSignals(), std::size_t(3));
    for (const Written& w : written) {
        Frame f = r.read();
        QCOMPARE(f.sequence, w.sequence);
        QCOMPARE(f.battery, w.battery);
        std::vector<double> v;
        for (const DataBlock& d : f.blocks)
            v.insert(v.end(), d.data(), d.data() + d.rows() * d.cols());
        QVERIFY(v == w.values);
    }
    QVERIFY(r.read().isEnd());
}

void TestImporter::callbackCanStopTheImport() {
    QTemporaryDir dir;
    writeCard(dir.path().toStdString(), "s", kTracker, 0, 30, 1);
    Importer imp(dir.path().toStdString(), "s");
    int seen = 0;
    int later = 0;
    imp.addCallback([&seen](const BaseImporter::Block&) { return ++seen < 5; });
    imp.addCallback([&later](const BaseImporter::Block&) { return ++later > 0; });
    QVERIFY(!imp.import(false));
    QCOMPARE(seen, 5);
    QCOMPARE(later, 4);  // the block that stopped the import goes no further
    QVERIFY(QString::fromStdString(imp.error()).contains("stopped"));
}

void TestImporter::unreadableRecordsFailCleanly_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("random") << QByteArray::fromHex("8a0c3f7700ff12de9b5411aa00000000ffffffff7e7e7e7e01020304");
    QTest::newRow("only the signature") << QByteArray("KVBREC\r\n");
    QTest::newRow("text") << QByteArray("sample,sequence\n0,1\n");
}

void TestImporter::unreadableRecordsFailCleanly() {
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    std::ofstream(folder + "/0_bad.kvb", std::ios::binary).write(content.constData(), content.size());
    Importer imp(folder, "bad");
    QVERIFY(!imp.isValid());
    QVERIFY(!imp.error().empty());
    QVERIFY(imp.get_signals().empty());
    QCOMPARE(imp.total_frames(), int64_t(0));
    QCOMPARE(imp.duration(), int64_t(0));
    QCOMPARE(imp.blocks_per_second(), uint16_t(0));
    QVERIFY(!imp.get_valid_setup_halvo());
    QVERIFY(!imp.import_posita_setup(folder + "/p.json"));
    QVERIFY(!fs::exists(folder + "/p.json"));
    int calls = 0;
    imp.addCallback([&calls](const BaseImporter::Block&) { return ++calls > 0; });
    QVERIFY(!imp.import(false));
    QVERIFY(!imp.import(true));
    QCOMPARE(calls, 0);

    Importer missing(folder + "/nowhere", "bad");
    QVERIFY(!missing.import(false));
    QVERIFY(!missing.error().empty());
}

void TestImporter::truncatedRecordKeepsItsWholeBlocks() {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    writeCard(folder, "cut", kHalf, 7, 10, 1);
    const std::string path = folder + "/0_cut.kvb";
    fs::resize_file(path, fs::file_size(path) - 1000);  // into the last block
    for (bool lenient : {false, true}) {
        Importer imp(folder, "cut");
        QVERIFY(imp.isValid());
        QCOMPARE(imp.total_frames(), int64_t(9));
        Collected c = collect(imp);
        QCOMPARE(imp.import(lenient), lenient);
        QCOMPARE(c.samples.size(), std::size_t(9));
        QVERIFY(QString::fromStdString(imp.error()).contains("cut short"));
    }
}

void TestImporter::positioningSetupFile() {
    QTemporaryDir dir;
    const std::string card = dir.path().toStdString();
    writeCard(card, "good", kTracker, 0, 4, 1, R"({"anchors": [[0, 0, 1.5], [3, 0, 1.5]], "name": "hall \"B\""})");
    writeCard(card, "broken", kTracker, 0, 4, 1, "anchors: [0, 0");
    writeCard(card, "none", kTracker, 0, 4, 1);

    Importer good(card, "good");
    QVERIFY(good.get_valid_setup_halvo());
    QVERIFY(good.import_posita_setup(card + "/good.json"));
    QJsonParseError err{};
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(slurp(card + "/good.json")), &err);
    QCOMPARE(err.error, QJsonParseError::NoError);
    QCOMPARE(doc.object().value("valid").toBool(), true);
    QCOMPARE(doc.object().value("setup").toObject().value("name").toString(), QString("hall \"B\""));

    Importer broken(card, "broken");
    QVERIFY(!broken.get_valid_setup_halvo());
    QVERIFY(broken.import_posita_setup(card + "/broken.json"));
    doc = QJsonDocument::fromJson(QByteArray::fromStdString(slurp(card + "/broken.json")), &err);
    QCOMPARE(err.error, QJsonParseError::NoError);
    QCOMPARE(doc.object().value("valid").toBool(), false);
    QCOMPARE(doc.object().value("setup").toString(), QString("anchors: [0, 0"));

    Importer none(card, "none");
    QVERIFY(!none.get_valid_setup_halvo());
    QVERIFY(!none.import_posita_setup(card + "/none.json"));
    QVERIFY(!fs::exists(card + "/none.json"));
    QVERIFY(!good.import_posita_setup(card + "/no/such/folder/x.json"));
}

void TestImporter::eeg64PairMergesBySequence() {
    QTemporaryDir dir;
    const std::string left = dir.path().toStdString() + "/L";
    const std::string right = dir.path().toStdString() + "/R";
    // The right half starts two blocks later, crosses the sequence wrap with the left, and misses its block 5.
    const auto l = writeCard(left, "abcl", kHalf, 65530, 12, 1);
    const auto r = writeCard(right, "abcr_0", kHalf, 65532, 10, 2, {}, {5});
    Eeg64Importer imp(left, right, "abc");
    QVERIFY2(imp.isValid(), imp.error().c_str());
    QCOMPARE(imp.get_signals(), (std::vector<KvnSignal>{{"EEG", 64, 64, 8, 1}, {"uSD", 1, 1, 1, 1}}));
    QCOMPARE(imp.first_sequence(), uint16_t(65532));
    QCOMPARE(imp.blocks_per_second(), uint16_t(32));
    QCOMPARE(QString::fromStdString(imp.version()), QString("HW3.0_FW2.1"));
    QCOMPARE(imp.total_frames(), int64_t(9));
    QVERIFY(!imp.get_valid_setup_halvo());

    Collected c = collect(imp);
    QVERIFY2(imp.import(false), imp.error().c_str());
    QCOMPARE(c.samples.size(), std::size_t(9));  // right blocks 0..9 without 5
    QCOMPARE(imp.skipped_blocks(), int64_t(3));   // left blocks 0, 1 and the one facing the gap
    std::size_t ri = 0;
    for (const Written& m : c.samples) {
        while (r[ri].sequence != m.sequence)
            ++ri;
        const Written& lw = l[static_cast<uint16_t>(m.sequence - 65530)];
        const Written& rw = r[ri];
        QCOMPARE(m.values.size(), std::size_t(64 * 8));
        for (std::size_t s = 0; s < 8; ++s)
            for (std::size_t ch = 0; ch < 32; ++ch) {
                QCOMPARE(m.values[s * 64 + ch], lw.values[s * 32 + ch]);
                QCOMPARE(m.values[s * 64 + 32 + ch], rw.values[s * 32 + ch]);
            }
        QCOMPARE(m.flags, uint16_t(lw.flags | rw.flags));
        const int16_t expectBattery = (lw.battery >= 0 && rw.battery >= 0) ? std::min(lw.battery, rw.battery)
                                      : (lw.battery == -1 || rw.battery == -1) ? int16_t(-1)
                                                                                : int16_t(-2);
        QCOMPARE(m.battery, expectBattery);
    }
    QCOMPARE(c.samples.front().sequence, uint16_t(65532));
    QCOMPARE(c.samples.back().sequence, uint16_t(65532 + 9));
}

void TestImporter::eeg64RefusesMismatchedHalves() {
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    writeCard(d, "xl", kHalf, 0, 3, 1);
    writeCard(d, "xr", kTracker, 0, 3, 2);
    writeCard(d, "yl", kHalf, 0, 3, 1);
    writeCard(d, "yr", {{"EEG", 32, 32, 4, 1}, {"uSD", 1, 1, 1, 0}}, 0, 3, 2);
    for (const char* base : {"x", "y", "z"}) {
        Eeg64Importer imp(d, d, base);
        QVERIFY(!imp.isValid());
        QVERIFY(!imp.error().empty());
        QVERIFY(imp.get_signals().empty());
        QCOMPARE(imp.total_frames(), int64_t(0));
        QCOMPARE(imp.duration(), int64_t(0));
        QVERIFY(!imp.import(false));
    }
}

void TestImporter::eeg64RestartsFollowInOrder() {
    // The pair restarted twice: pieces "x", "x_0", "x_1" of each half (listed out of order on disk).
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    writeCard(d, "bl_1", kHalf, 300, 2, 5);
    writeCard(d, "br_1", kHalf, 300, 2, 6);
    writeCard(d, "bl", kHalf, 100, 4, 1);
    writeCard(d, "br", kHalf, 100, 4, 2);
    writeCard(d, "bl_0", kHalf, 200, 3, 3);
    writeCard(d, "br_0", kHalf, 201, 3, 4);  // its right half starts one block late
    writeCard(d, "bl_2", kHalf, 400, 3, 7);  // no right partner: left out
    Eeg64Importer imp(d, d, "b");
    QVERIFY2(imp.isValid(), imp.error().c_str());
    QCOMPARE(imp.pieces(), std::size_t(3));
    QCOMPARE(imp.first_sequence(), uint16_t(100));
    QCOMPARE(imp.total_frames(), int64_t(4 + 2 + 2));
    QCOMPARE(imp.duration(), int64_t(0));
    Collected c = collect(imp);
    QVERIFY(imp.import(false));
    std::vector<uint16_t> seqs;
    for (const Written& w : c.samples)
        seqs.push_back(w.sequence);
    QCOMPARE(seqs, (std::vector<uint16_t>{100, 101, 102, 103, 201, 202, 300, 301}));
    QCOMPARE(c.samples[4].values[0], sampleValue(3, 1, 0));      // left piece 2, its second block
    QCOMPARE(c.samples[4].values[32], sampleValue(4, 0, 0));     // right piece 2, its first block
    QCOMPARE(imp.skipped_blocks(), int64_t(2));                   // left 200 and right 203
}

void TestImporter::basenameAndRecordNames() {
    using importer::basename;
    QCOMPARE(QString::fromStdString(basename("r005_1")), QString("r005"));
    QCOMPARE(QString::fromStdString(basename("r005l_12")), QString("r005l"));
    QCOMPARE(QString::fromStdString(basename("r005")), QString("r005"));
    QCOMPARE(QString::fromStdString(basename("r005_")), QString("r005_"));
    QCOMPARE(QString::fromStdString(basename("r_005x")), QString("r_005x"));
    QCOMPARE(QString::fromStdString(basename("a_1_2")), QString("a_1"));
    QCOMPARE(QString::fromStdString(basename("_3")), QString(""));
    QCOMPARE(QString::fromStdString(basename("")), QString(""));

    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    for (const char* f : {"0_abc.kvb", "1_abc.kvb", "0_def.dat", "x0_ghi.kvb", "1_jkl.kvb", "0_"})
        std::ofstream(d + "/" + f) << "x";
    fs::create_directory(d + "/0_dir");
    QCOMPARE(importer::recordNames(d), (std::vector<std::string>{"abc", "def"}));
    QVERIFY(importer::recordNames(d + "/missing").empty());
}

void TestImporter::mutatedRecordsNeverCrash() {
    // Random damage anywhere in a record: every import ends, with whole blocks only, and says why it failed.
    QTemporaryDir dir;
    const std::string d = dir.path().toStdString();
    writeCard(d, "orig", kTracker, 0, 30, 1, R"({"a": 1})");
    std::string original = slurp(d + "/0_orig.kvb");
    std::mt19937 rng(99);
    int failed = 0;
    for (int round = 0; round < 300; ++round) {
        std::string bytes = original;
        const int kind = round % 3;
        if (kind == 0) {
            bytes.resize(rng() % bytes.size());
        } else {
            for (int k = 0; k < 1 + round % 5; ++k)
                bytes[rng() % bytes.size()] ^= static_cast<char>(1 + rng() % 255);
        }
        std::ofstream(d + "/0_m.kvb", std::ios::binary | std::ios::trunc) << bytes;
        Importer imp(d, "m");
        std::size_t count = 0;
        imp.addCallback([&count](const BaseImporter::Block& b) {
            if (b.type == BaseImporter::SAMPLES_BLOCK && b.count != 10)
                return false;
            ++count;
            return true;
        });
        const bool ok = imp.import(false);
        QVERIFY(count <= 31);
        QVERIFY(ok || !imp.error().empty());
        QVERIFY(!QString::fromStdString(imp.error()).contains("stopped"));  // never a block of the wrong size
        failed += ok ? 0 : 1;
        imp.get_valid_setup_halvo();
        imp.import_posita_setup(d + "/p.json");
    }
    QVERIFY(failed > 250);  // damage is noticed (a flipped bit in a checksum-free spot is rare)
}

QTEST_GUILESS_MAIN(TestImporter)
#include "test_importer.moc"
