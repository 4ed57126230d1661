#include "CsvReader.h"
#include "CsvWriter.h"
#include "Importer.h"
#include "SdCardFormat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
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

// Writes a record through the card writer: blocks in `skip` are left out (a gap in the sequence), a set-up block
// follows block `setupAt`, files are split at `partBytes`.
std::vector<Written> writeCard(const std::string& card, const std::string& name, std::vector<KvnSignal> signalList,
                               uint16_t firstSeq, int blocks, int tag, const std::string& setup = {},
                               const std::vector<int>& skip = {}, int setupAt = -1,
                               uint64_t partBytes = sdcard::DEFAULT_MAX_FILE_BYTES) {
    sdcard::RecordHeader h;
    h.version = "HW3.0_FW2.1";
    h.blockRate = 32;
    h.firstSequence = firstSeq;
    h.signals = std::move(signalList);
    h.setup = setup;
    sdcard::SdCardWriter w(partBytes);
    std::vector<Written> out;
    if (!w.open(card, ".", name, h))
        return out;
    for (int b = 0; b < blocks; ++b) {
        if (std::find(skip.begin(), skip.end(), b) != skip.end())
            continue;
        Written x{static_cast<uint16_t>(firstSeq + b), static_cast<int16_t>(b % 8 - 2),
                  static_cast<uint16_t>(1u << (b % 16)), std::vector<double>(h.valuesPerBlock())};
        for (std::size_t k = 0; k < x.values.size(); ++k)
            x.values[k] = sampleValue(tag, b, k);
        w.writeBlock(x.sequence, x.battery, x.flags, x.values.data(), x.values.size());
        if (b == setupAt)
            w.writeSetup(x.sequence, 0, 0, R"({"anchors": []})");
        out.push_back(std::move(x));
    }
    return w.close() ? out : std::vector<Written>();
}

const std::vector<KvnSignal> kTracker = {{"ANC", 2, 2, 1, 1}, {"ANC", 2, 2, 1, 1}, {"IMU", 6, 6, 1, 1}, {"uSD", 1, 1, 1, 1}};
const std::vector<KvnSignal> kHalf = {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}};

struct Collected {
    std::vector<Written> samples;
    std::vector<std::string> setups;
};

void collect(BaseImporter& imp, Collected& c) {
    imp.addCallback([&c](const BaseImporter::Block& b) {
        if (b.type == BaseImporter::SETUP_BLOCK)
            c.setups.push_back(*b.setup);
        else
            c.samples.push_back({b.sequence, b.battery, b.flags, std::vector<double>(b.values, b.values + b.count)});
        return true;
    });
}

QString mismatch(const std::vector<Written>& got, const std::vector<Written>& want) {
    if (got.size() != want.size())
        return QString("%1 blocks instead of %2").arg(got.size()).arg(want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        if (got[i].sequence != want[i].sequence || got[i].battery != want[i].battery ||
            got[i].flags != want[i].flags || got[i].values != want[i].values)
            return QString("block %1 differs").arg(i);
    return {};
}

QJsonObject readJson(const std::string& path) {
    QFile f(QString::fromStdString(path));
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

}  // namespace

class TestImporter : public QObject {
    Q_OBJECT
private slots:
    void importThroughCsvWriterKeepsEveryBlock() {
        // What the import worker does: every non-set-up block goes to a CsvWriter; the result must play back.
        QTemporaryDir dir;
        const std::string card = dir.path().toStdString() + "/card", out = dir.path().toStdString() + "/out";
        const auto written = writeCard(card, "trk", kTracker, 65535, 40, 1, "{}", {}, 20, 2000);
        Importer imp(card, "trk");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        QCOMPARE(QString::fromStdString(imp.version()), QString("HW3.0_FW2.1"));
        QCOMPARE(imp.first_sequence(), uint16_t(65535));
        QCOMPARE(imp.blocks_per_second(), uint16_t(32));
        QCOMPARE(imp.total_frames(), int64_t(41));  // the set-up block is delivered too
        QCOMPARE(imp.get_signals(), kTracker);
        CsvWriter csv(out.c_str(), kTracker.data(), kTracker.size(), "", 1);
        QVERIFY(csv.writeHeaders(imp.blocks_per_second(), false));
        Collected c;
        collect(imp, c);
        QVERIFY2(imp.import(false), imp.error().c_str());
        c = {};  // the second import, checked below, starts again from the first block
        imp.addCallback([&csv](const BaseImporter::Block& b) {
            return b.type == BaseImporter::SETUP_BLOCK || csv.write(b.values, b.sequence, b.battery, b.flags);
        });
        QVERIFY2(imp.import(false), imp.error().c_str());
        QVERIFY(csv.close());
        QCOMPARE(mismatch(c.samples, written), QString());
        QCOMPARE(c.setups, std::vector<std::string>{R"({"anchors": []})"});

        CsvReader r;
        QVERIFY2(r.open(out), r.error().c_str());
        std::vector<Written> played;
        for (Frame f = r.read(); !f.isEnd(); f = r.read()) {
            played.push_back({f.sequence, f.battery, f.flags, {}});
            for (const DataBlock& d : f.blocks)
                played.back().values.insert(played.back().values.end(), d.data(), d.data() + d.rows() * d.cols());
        }
        QCOMPARE(mismatch(played, written), QString());
    }

    void callbackCanStopTheImport() {
        QTemporaryDir dir;
        writeCard(dir.path().toStdString(), "s", kTracker, 0, 30, 1);
        Importer imp(dir.path().toStdString(), "s");
        int seen = 0, later = 0;
        imp.addCallback([&seen](const BaseImporter::Block&) { return ++seen < 5; });
        imp.addCallback([&later](const BaseImporter::Block&) { return ++later > 0; });
        QVERIFY(!imp.import(false));
        QCOMPARE(seen, 5);
        QCOMPARE(later, 4);  // the block that stopped the import goes no further
        QVERIFY(QString::fromStdString(imp.error()).contains("stopped"));
    }

    void unreadableRecordsFailCleanly_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("random") << QByteArray::fromHex("8a0c3f7700ff12de9b5411aa00000000ffffffff7e7e7e7e01020304");
        QTest::newRow("only the signature") << QByteArray("KVBREC\r\n");
        QTest::newRow("text") << QByteArray("sample,sequence\n0,1\n");
    }
    void unreadableRecordsFailCleanly() {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        std::ofstream(folder + "/0_bad.kvb", std::ios::binary).write(content.constData(), content.size());
        Importer imp(folder, "bad");
        QVERIFY(!imp.isValid() && !imp.error().empty() && imp.get_signals().empty());
        QCOMPARE(imp.total_frames(), int64_t(0));
        QCOMPARE(imp.duration(), int64_t(0));  // no division by the missing block rate
        QVERIFY(!imp.get_valid_setup_halvo());
        QVERIFY(!imp.import_posita_setup(folder + "/p.json"));
        QVERIFY(!fs::exists(folder + "/p.json"));
        int calls = 0;
        imp.addCallback([&calls](const BaseImporter::Block&) { return ++calls > 0; });
        QVERIFY(!imp.import(false) && !imp.import(true));
        QCOMPARE(calls, 0);
        Importer missing(folder + "/nowhere", "bad");
        QVERIFY(!missing.import(false) && !missing.error().empty());
    }

    void truncatedRecordKeepsItsWholeBlocks() {
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        const auto written = writeCard(folder, "cut", kHalf, 7, 10, 1);
        fs::resize_file(folder + "/0_cut.kvb", fs::file_size(folder + "/0_cut.kvb") - 1000);  // into the last block
        for (bool lenient : {false, true}) {
            Importer imp(folder, "cut");
            QCOMPARE(imp.total_frames(), int64_t(9));
            Collected c;
            collect(imp, c);
            QCOMPARE(imp.import(lenient), lenient);
            QCOMPARE(mismatch(c.samples, {written.begin(), written.end() - 1}), QString());
            QVERIFY(QString::fromStdString(imp.error()).contains("cut short"));
        }
    }

    void positioningSetupFile() {
        QTemporaryDir dir;
        const std::string card = dir.path().toStdString();
        // (no raw string here: moc cannot read one with escaped quotes inside a class)
        writeCard(card, "good", kTracker, 0, 4, 1, "{\"anchors\": [[0, 0, 1.5]], \"name\": \"hall \\\"B\\\"\"}");
        writeCard(card, "broken", kTracker, 0, 4, 1, "anchors: [0, 0");
        writeCard(card, "none", kTracker, 0, 4, 1);
        Importer good(card, "good"), broken(card, "broken"), none(card, "none");
        QVERIFY(good.get_valid_setup_halvo() && !broken.get_valid_setup_halvo() && !none.get_valid_setup_halvo());
        QVERIFY(good.import_posita_setup(card + "/good.json"));
        QCOMPARE(readJson(card + "/good.json").value("valid").toBool(), true);
        QCOMPARE(readJson(card + "/good.json").value("setup").toObject().value("name").toString(), QString("hall \"B\""));
        QVERIFY(broken.import_posita_setup(card + "/broken.json"));  // kept as text, marked invalid
        QCOMPARE(readJson(card + "/broken.json").value("valid").toBool(true), false);
        QCOMPARE(readJson(card + "/broken.json").value("setup").toString(), QString("anchors: [0, 0"));
        QVERIFY(!none.import_posita_setup(card + "/none.json"));
        QVERIFY(!fs::exists(card + "/none.json"));
        QVERIFY(!good.import_posita_setup(card + "/no/such/folder/x.json"));
    }

    void eeg64PairMergesBySequence() {
        QTemporaryDir dir;
        const std::string left = dir.path().toStdString() + "/L", right = dir.path().toStdString() + "/R";
        // The right half starts two blocks later, crosses the sequence wrap with the left, and misses its block 5.
        const auto l = writeCard(left, "abcl", kHalf, 65530, 12, 1);
        const auto r = writeCard(right, "abcr_0", kHalf, 65532, 10, 2, {}, {5});
        Eeg64Importer imp(left, right, "abc");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        QCOMPARE(imp.get_signals(), (std::vector<KvnSignal>{{"EEG", 64, 64, 8, 1}, {"uSD", 1, 1, 1, 1}}));
        QCOMPARE(imp.first_sequence(), uint16_t(65532));
        QCOMPARE(imp.total_frames(), int64_t(9));
        Collected c;
        collect(imp, c);
        QVERIFY2(imp.import(false), imp.error().c_str());
        QCOMPARE(imp.skipped_blocks(), int64_t(3));  // left blocks 0, 1 and the one facing the gap
        std::vector<Written> want;
        for (const Written& rw : r) {
            const Written& lw = l[static_cast<uint16_t>(rw.sequence - 65530)];
            Written m{rw.sequence, int16_t(-1), uint16_t(lw.flags | rw.flags), std::vector<double>(64 * 8)};
            if (lw.battery >= 0 && rw.battery >= 0)
                m.battery = std::min(lw.battery, rw.battery);
            else if (lw.battery != -1 && rw.battery != -1)
                m.battery = -2;
            for (std::size_t s = 0; s < 8; ++s)
                for (std::size_t ch = 0; ch < 32; ++ch) {
                    m.values[s * 64 + ch] = lw.values[s * 32 + ch];
                    m.values[s * 64 + 32 + ch] = rw.values[s * 32 + ch];
                }
            want.push_back(m);
        }
        QCOMPARE(mismatch(c.samples, want), QString());
    }

    void eeg64RefusesMismatchedHalves() {
        QTemporaryDir dir;
        const std::string d = dir.path().toStdString();
        writeCard(d, "xl", kHalf, 0, 3, 1);
        writeCard(d, "xr", kTracker, 0, 3, 2);
        writeCard(d, "yl", kHalf, 0, 3, 1);
        writeCard(d, "yr", {{"EEG", 32, 32, 4, 1}, {"uSD", 1, 1, 1, 0}}, 0, 3, 2);
        for (const char* base : {"x", "y", "z"}) {
            Eeg64Importer imp(d, d, base);
            QVERIFY(!imp.isValid() && !imp.error().empty() && imp.get_signals().empty());
            QCOMPARE(imp.duration(), int64_t(0));
            QVERIFY(!imp.import(false));
        }
    }

    void eeg64RestartsFollowInOrder() {
        // The pair restarted twice: pieces "b", "b_0", "b_1" of each half (listed out of order on disk).
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
        QCOMPARE(imp.total_frames(), int64_t(4 + 2 + 2));
        Collected c;
        collect(imp, c);
        QVERIFY(imp.import(false));
        std::vector<uint16_t> seqs;
        for (const Written& w : c.samples)
            seqs.push_back(w.sequence);
        QCOMPARE(seqs, (std::vector<uint16_t>{100, 101, 102, 103, 201, 202, 300, 301}));
        QCOMPARE(c.samples[4].values[0], sampleValue(3, 1, 0));   // left piece 2, its second block
        QCOMPARE(c.samples[4].values[32], sampleValue(4, 0, 0));  // right piece 2, its first block
        QCOMPARE(imp.skipped_blocks(), int64_t(2));               // left 200 and right 203
    }

    void basenameAndRecordNames() {
        const std::pair<const char*, const char*> cases[] = {{"r005_1", "r005"}, {"r005l_12", "r005l"}, {"r005", "r005"},
                                                             {"r005_", "r005_"}, {"r_005x", "r_005x"}, {"a_1_2", "a_1"},
                                                             {"_3", ""},         {"", ""}};
        for (const auto& [name, base] : cases)
            QCOMPARE(QString::fromStdString(importer::basename(name)), QString(base));
        QTemporaryDir dir;
        const std::string d = dir.path().toStdString();
        for (const char* f : {"0_abc.kvb", "1_abc.kvb", "0_def.dat", "x0_ghi.kvb", "1_jkl.kvb", "0_"})
            std::ofstream(d + "/" + f) << "x";
        fs::create_directory(d + "/0_dir");
        QCOMPARE(importer::recordNames(d), (std::vector<std::string>{"abc", "def"}));
        QVERIFY(importer::recordNames(d + "/missing").empty());
    }

    void mutatedRecordsNeverCrash() {
        // Random damage anywhere in a record: every import ends, with whole blocks only, and says why it failed.
        QTemporaryDir dir;
        const std::string d = dir.path().toStdString();
        writeCard(d, "orig", kTracker, 0, 30, 1, R"({"a": 1})");
        std::ifstream in(d + "/0_orig.kvb", std::ios::binary);
        const std::string original(std::istreambuf_iterator<char>(in), {});
        std::mt19937 rng(99);
        int failed = 0;
        for (int round = 0; round < 300; ++round) {
            std::string bytes = original;
            if (round % 3 == 0)
                bytes.resize(rng() % bytes.size());
            else
                for (int k = 0; k < 1 + round % 5; ++k)
                    bytes[rng() % bytes.size()] ^= static_cast<char>(1 + rng() % 255);
            std::ofstream(d + "/0_m.kvb", std::ios::binary | std::ios::trunc) << bytes;
            Importer imp(d, "m");
            std::size_t count = 0;
            imp.addCallback([&count](const BaseImporter::Block& b) {
                return (b.type != BaseImporter::SAMPLES_BLOCK || b.count == 10) && ++count > 0;
            });
            const bool ok = imp.import(false);
            QVERIFY(count <= 31 && (ok || !imp.error().empty()));
            QVERIFY(!QString::fromStdString(imp.error()).contains("stopped"));  // never a block of the wrong size
            failed += ok ? 0 : 1;
            imp.get_valid_setup_halvo();
            imp.import_posita_setup(d + "/p.json");
        }
        QVERIFY(failed > 250);  // damage is noticed (a flipped bit in a checksum-free spot is rare)
    }
};

QTEST_GUILESS_MAIN(TestImporter)
#include "test_importer.moc"
