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
    bool operator==(const Written& o) const {  // values bit for bit
        return sequence == o.sequence && battery == o.battery && flags == o.flags && values.size() == o.values.size() &&
               (values.empty() || std::memcmp(values.data(), o.values.data(), values.size() * sizeof(double)) == 0);
    }
};
using Blocks = std::vector<Written>;

// Values a text or float format would bend (signed zero, subnormal, extremes, long fractions), tagged per record.
double sampleValue(int tag, int block, std::size_t k) {
    static const double odd[] = {-0.0, 5e-324, 1.7976931348623157e308, -2.2250738585072014e-308, 1.0 / 3.0};
    return k % 4 == 0 ? odd[(k / 4 + block) % 5] : tag * 1000.0 + block + std::sin(block * 3.1 + k) * 1e-3;
}

const std::vector<KvnSignal> kTracker = {{"ANC", 2, 2, 1, 1}, {"ANC", 2, 2, 1, 1}, {"IMU", 6, 6, 1, 1},
                                         {"GSR", 1, 1, 1, 0}, {"uSD", 1, 1, 1, 1}};  // GSR switched off
const std::vector<KvnSignal> kHalf = {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}};

// Writes a record through the card writer: blocks in `skip` are left out (a gap in the sequence), a set-up block
// follows block `setupAt`, files are split at `partBytes`.
Blocks writeCard(const std::string& card, const std::string& name, uint16_t firstSeq, int blocks, int tag,
                 const std::vector<KvnSignal>& signalList = kHalf, const std::string& setup = {},
                 const std::vector<int>& skip = {}, int setupAt = -1, uint64_t partBytes = 1u << 20) {
    sdcard::RecordHeader h{"HW3.0_FW2.1", 32, firstSeq, signalList, setup};
    sdcard::SdCardWriter w(partBytes);
    Blocks out;
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
    return w.close() ? out : Blocks();
}

// What a 64-channel import must give for the blocks of both halves that share a sequence number. Battery: the
// lower known level, else charging, else unknown; the written flags are single bits, simply ORed.
Blocks merged(const Blocks& left, const Blocks& right) {
    Blocks out;
    for (const Written& r : right)
        for (const Written& l : left)
            if (l.sequence == r.sequence) {
                const bool lKnown = l.battery >= 0, rKnown = r.battery >= 0;
                const bool charging = l.battery == -1 || r.battery == -1;
                const int16_t battery = lKnown && rKnown ? std::min(l.battery, r.battery)
                                        : lKnown         ? l.battery
                                        : rKnown         ? r.battery
                                        : charging       ? -1
                                                         : -2;
                out.push_back({r.sequence, battery, uint16_t(l.flags | r.flags), std::vector<double>(64 * 8)});
                for (std::size_t k = 0; k < 8 * 32; ++k) {  // per sample: the left's 32 channels, then the right's
                    out.back().values[k / 32 * 64 + k % 32] = l.values[k];
                    out.back().values[k / 32 * 64 + 32 + k % 32] = r.values[k];
                }
            }
    return out;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Blocks operator+(Blocks a, const Blocks& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

class TestImporter : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    const std::string d = tmp_.path().toStdString();  // every test uses names of its own

    Blocks samples;  // what the importer delivered; set-up blocks without values, their text in `setups`
    std::vector<std::string> setups;

    void collect(BaseImporter& imp) {
        samples.clear(), setups.clear();
        imp.addCallback([this](const BaseImporter::Block& b) {
            samples.push_back({b.sequence, b.battery, b.flags, std::vector<double>(b.values, b.values + b.count)});
            if (b.type == BaseImporter::SETUP_BLOCK)
                setups.push_back(*b.setup);
            return true;
        });
    }

private slots:

    void importGivesEveryBlockBack() {
        Blocks written = writeCard(d, "trk", 65535, 40, 1, kTracker, "{}", {}, 20, 2000);  // several parts
        written.insert(written.begin() + 21, {uint16_t(65535 + 20), 0, 0, {}});  // the set-up block
        Importer imp(d, "trk");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        QVERIFY(imp.version() == "HW3.0_FW2.1" && imp.first_sequence() == 65535 && imp.total_frames() == 41);
        QCOMPARE(imp.get_signals(), kTracker);
        collect(imp);
        for (int pass = 0; pass < 2; ++pass) {  // a second import starts again from the first block
            samples.clear(), setups.clear();
            QVERIFY2(imp.import(false), imp.error().c_str());
            QVERIFY(samples == written);
            QCOMPARE(setups, std::vector<std::string>{R"({"anchors": []})"});
        }
    }

    void callbackCanStopTheImport() {
        writeCard(d, "s", 0, 30, 1, kTracker);
        Importer imp(d, "s");
        int seen = 0, later = 0;
        imp.addCallback([&seen](const BaseImporter::Block&) { return ++seen < 5; });
        imp.addCallback([&later](const BaseImporter::Block&) { return ++later > 0; });
        QVERIFY(!imp.import(false));
        QVERIFY(seen == 5 && later == 4);  // the block that stopped the import goes no further
        QVERIFY(QString::fromStdString(imp.error()).contains("stopped"));
    }

    void positioningSetupFileKeepsBrokenText() {
        writeCard(d, "broken", 0, 4, 1, kTracker, "anchors: [0, \"x");
        writeCard(d, "none", 0, 4, 1, kTracker);
        Importer broken(d, "broken"), none(d, "none");
        QVERIFY(!broken.get_valid_setup_halvo() && !none.get_valid_setup_halvo());
        QVERIFY(broken.import_posita_setup(d + "/broken.json"));  // kept as text, marked invalid
        const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(slurp(d + "/broken.json"))).object();
        QVERIFY(!json.value("valid").toBool(true) && json.value("setup").toString() == "anchors: [0, \"x");
        QVERIFY(!none.import_posita_setup(d + "/none.json") && !fs::exists(d + "/none.json") &&
                !broken.import_posita_setup(d + "/no/such/folder/x.json"));
    }

    void eeg64PairMergesBySequence() {
        // The right half starts two blocks later, crosses the sequence wrap with the left, and misses its block 5.
        const Blocks l = writeCard(d + "/L", "abcl", 65530, 12, 1);
        const Blocks r = writeCard(d + "/R", "abcr_0", 65532, 10, 2, kHalf, {}, {5});
        Eeg64Importer imp(d + "/L", d + "/R", "abc");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        QCOMPARE(imp.get_signals(), (std::vector<KvnSignal>{{"EEG", 64, 64, 8, 1}, {"uSD", 1, 1, 1, 1}}));
        QVERIFY(imp.first_sequence() == 65532 && imp.total_frames() == 9);
        collect(imp);
        QVERIFY2(imp.import(false), imp.error().c_str());
        QVERIFY(samples == merged(l, r));
        QCOMPARE(imp.skipped_blocks(), int64_t(3));  // left blocks 0, 1 and the one facing the gap
    }

    void eeg64RestartsFollowInOrderAndStrangersAreRefused() {
        // The pair restarted twice: pieces "b", "b_0", "b_1" of each half (listed out of order on disk).
        const Blocks l1 = writeCard(d, "bl_1", 300, 2, 5), r1 = writeCard(d, "br_1", 300, 2, 6);
        const Blocks l = writeCard(d, "bl", 100, 4, 1), r = writeCard(d, "br", 100, 4, 2);
        const Blocks l0 = writeCard(d, "bl_0", 200, 3, 3), r0 = writeCard(d, "br_0", 201, 3, 4);  // right one late
        writeCard(d, "bl_2", 400, 3, 7);  // no right partner: left out
        Eeg64Importer imp(d, d, "b");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        QVERIFY(imp.pieces() == 3 && imp.total_frames() == 4 + 2 + 2);
        collect(imp);
        QVERIFY(imp.import(false));
        QVERIFY(samples == merged(l + l0 + l1, r + r0 + r1));
        QCOMPARE(imp.skipped_blocks(), int64_t(2));  // left 200 and right 203

        writeCard(d, "xl", 0, 3, 1), writeCard(d, "xr", 0, 3, 2, kTracker);  // halves that do not fit together,
        writeCard(d, "yl", 0, 3, 1), writeCard(d, "yr", 0, 3, 2, {{"EEG", 32, 32, 4, 1}, {"uSD", 1, 1, 1, 0}});  // or none
        for (const char* base : {"x", "y", "z"}) {
            Eeg64Importer bad(d, d, base);
            QVERIFY(!bad.isValid() && !bad.error().empty() && bad.get_signals().empty());
            QVERIFY(bad.duration() == 0 && !bad.import(false));
        }
    }

    void basenameAndRecordNames() {
        const std::pair<const char*, const char*> cases[] = {{"r005_1", "r005"}, {"r005l_12", "r005l"}, {"r005", "r005"},
                                                             {"r005_", "r005_"}, {"r_005x", "r_005x"}, {"a_1_2", "a_1"},
                                                             {"_3", ""},         {"", ""}};
        for (const auto& [name, base] : cases)
            QCOMPARE(QString::fromStdString(importer::basename(name)), QString(base));
        const std::string n = d + "/names";
        fs::create_directories(n + "/0_dir");
        for (const char* f : {"0_abc.kvb", "1_abc.kvb", "0_def.dat", "x0_ghi.kvb", "1_jkl.kvb", "0_"})
            std::ofstream(n + "/" + f) << "x";
        QCOMPARE(importer::recordNames(n), (std::vector<std::string>{"abc", "def"}));
        QVERIFY(importer::recordNames(d + "/missing").empty());
    }

    void damagedRecordKeepsItsWholeBlocks() {
        const Blocks written = writeCard(d + "/dmg", "r", 0, 10, 1, kTracker, "{}", {}, 2);
        const std::string path = d + "/dmg/0_r.kvb", original = slurp(path);
        const std::size_t blockLen = sdcard::BLOCK_OVERHEAD + 10 * 8, size = original.size(), none = std::string::npos;
        const std::size_t headerLen = size - 10 * blockLen - sdcard::BLOCK_OVERHEAD - 15;  // set-up after the third
        const std::size_t fifth = size - 6 * blockLen;
        const struct {
            std::size_t cutTo, flipAt;
            char flip;
            int wholeBlocks;  // sample blocks delivered before the damage; -1: the record does not open
            const char* message = "";
        } cases[] = {{0, none, 0, -1},
                     {headerLen - 3, none, 0, -1},
                     {none, 30, 0x40, -1},                                  // in the header
                     {size - 4 * blockLen + 50, none, 0, 6, "cut short"},  // mid block
                     {none, fifth + 40, 0x01, 4},                           // in the fifth block's samples
                     {none, fifth + 14, 0x10, 4},                           // in its length field
                     {size + 17, none, 0, 10}};                             // garbage appended
        for (const auto& c : cases) {
            std::string bytes = original;
            if (c.cutTo != none)
                bytes.resize(c.cutTo, '\x7f');
            if (c.flipAt != none)
                bytes[c.flipAt] = static_cast<char>(bytes[c.flipAt] ^ c.flip);
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
            for (bool lenient : {false, true}) {  // lenient: a damaged tail still counts as imported
                Importer imp(d + "/dmg", "r");
                collect(imp);
                const QByteArray row = QByteArray::number(int(&c - cases)) + (lenient ? " lenient" : "");
                QVERIFY2(imp.isValid() == (c.wholeBlocks >= 0) && imp.import(lenient) == (lenient && imp.isValid()), row);
                QVERIFY2(!imp.error().empty() && imp.error().find(c.message) != std::string::npos, row);
                QVERIFY2(setups.size() == std::size_t(c.wholeBlocks >= 3), row);
                samples.erase(std::remove_if(samples.begin(), samples.end(), [](auto& w) { return w.values.empty(); }),
                              samples.end());
                QVERIFY2(samples == Blocks(written.begin(), written.begin() + std::max(c.wholeBlocks, 0)), row);
            }
        }
    }

    void missingOrForeignPartRefused() {
        writeCard(d + "/parts", "p", 0, 20, 1, kTracker, {}, {}, -1, 400);  // about three blocks a file
        writeCard(d + "/other", "p", 0, 20, 1, kHalf, {}, {}, -1, 4000);
        QVERIFY(Importer(d + "/parts", "p").isValid());
        fs::rename(d + "/parts/1_p.kvb", d + "/keep");
        QVERIFY(QString::fromStdString(Importer(d + "/parts", "p").error()).contains("part 1"));
        fs::copy_file(d + "/other/1_p.kvb", d + "/parts/1_p.kvb");
        QVERIFY(QString::fromStdString(Importer(d + "/parts", "p").error()).contains("another record"));
    }

    void randomDamageFailsCleanly() {
        // Random damage anywhere in a record: every import ends, with whole blocks only, and says why it failed.
        writeCard(d, "orig", 0, 30, 1, kTracker, R"({"a": 1})");
        const std::string original = slurp(d + "/0_orig.kvb");
        std::mt19937 rng(99);
        int failed = 0;
        for (int round = 0; round < 300; ++round) {
            std::string bytes = original.substr(0, round % 3 ? std::string::npos : rng() % original.size());
            for (int k = 0; round % 3 && k < 1 + round % 5; ++k)
                bytes[rng() % bytes.size()] ^= static_cast<char>(1 + rng() % 255);
            std::ofstream(d + "/0_m.kvb", std::ios::binary | std::ios::trunc) << bytes;
            Importer imp(d, "m");
            collect(imp);
            const bool ok = imp.import(false);
            failed += !ok;
            QVERIFY(samples.size() <= 31 && (ok || !imp.error().empty()));
            for (const Written& w : samples)
                QVERIFY(w.values.size() == 10 || w.values.empty());
            if (!imp.isValid()) {  // nothing to offer, and no division by the missing block rate
                QVERIFY(imp.get_signals().empty() && !imp.get_valid_setup_halvo() && !imp.import(true));
                QVERIFY(imp.total_frames() == 0 && imp.duration() == 0 && samples.empty());
            }
            QVERIFY(imp.import_posita_setup(d + "/p.json") == fs::remove(d + "/p.json"));
        }
        QVERIFY(failed > 250);  // damage is noticed (a flipped bit in a checksum-free spot is rare)
        Importer missing(d + "/nowhere", "m");
        QVERIFY(!missing.import(false) && !missing.error().empty());
    }
};

QTEST_GUILESS_MAIN(TestImporter)
#include "test_importer.moc"
