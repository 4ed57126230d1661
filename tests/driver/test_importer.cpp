#include "Battery.h"
#include "Eeg64Pair.h"
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
#include <sys/stat.h>

#include "FuzzSupport.h"

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

// What a 64-channel import must give for the blocks of both halves that share a sequence number: the status as
// the pair's own table below pins it, per sample the left's 32 channels, then the right's.
Blocks merged(const Blocks& left, const Blocks& right) {
    Blocks out;
    for (const Written& r : right)
        for (const Written& l : left)
            if (l.sequence == r.sequence) {
                const eeg64::Status st = eeg64::mergeStatus(l.battery, l.flags, r.battery, r.flags);
                out.push_back({r.sequence, st.battery, st.flags, std::vector<double>(64 * 8)});
                for (std::size_t k = 0; k < 8 * 32; ++k) {
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

// Part 0 of a record whose header claims `count` EEG signals of `channels` x `samples` at `rate` blocks per
// second: what the card writer refuses to write.
std::string craftedHeader(unsigned count, unsigned channels, unsigned samples, unsigned rate) {
    std::string h(sdcard::MAGIC, sizeof sdcard::MAGIC);
    auto u16 = [&h](unsigned v) { h += char(v & 0xFF), h += char(v >> 8 & 0xFF); };
    auto u32 = [&u16](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    u16(sdcard::FORMAT_VERSION), u16(0), u32(0);
    u16(2), h += "HW", u16(rate), u16(0), u16(count);
    for (unsigned i = 0; i < count; ++i)
        u16(3), h += "EEG", u16(channels), u16(samples), u16(1);
    u32(0);  // no positioning set-up
    const uint32_t length = uint32_t(h.size() + 4);
    for (int i = 0; i < 4; ++i)
        h[12 + i] = char(length >> (8 * i) & 0xFF);
    const uint32_t crc = sdcard::crc32(h.data(), h.size());
    u32(crc);
    return h;
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
        // A callback may stop the import: the block that stopped it goes no further.
        Importer stopped(d, "trk");
        int seen = 0, later = 0;
        stopped.addCallback([&seen](const BaseImporter::Block&) { return ++seen < 5; });
        stopped.addCallback([&later](const BaseImporter::Block&) { return ++later > 0; });
        QVERIFY(!stopped.import(false) && seen == 5 && later == 4);
        QVERIFY(QString::fromStdString(stopped.error()).contains("stopped"));
    }

    // Split cards written before parts ended with a continuation block: every block still imports.
    void cardsOfTheFirstFormatStillImport() {
        // The stored checksums are the standard CRC-32, also when computed piecewise.
        QCOMPARE(sdcard::crc32("123456789", 9), 0xCBF43926u);
        QCOMPARE(sdcard::crc32("6789", 4, sdcard::crc32("12345", 5)), 0xCBF43926u);
        const Blocks written = writeCard(d, "old", 10, 60, 2, kTracker, {}, {}, -1, 2000);
        int parts = 0;
        for (unsigned i = 0;; ++i, ++parts) {
            const std::string path = d + "/" + sdcard::partFileName(i, "old");
            if (!fs::exists(path)) break;
            std::string bytes = slurp(path);
            auto at32 = [&bytes](std::size_t k) {
                uint32_t v = 0;
                for (int j = 3; j >= 0; --j) v = v << 8 | uint8_t(bytes[k + j]);
                return v;
            };
            const uint32_t length = at32(12);
            bytes[8] = char(sdcard::FIRST_FORMAT_VERSION), bytes[9] = 0;
            const uint32_t crc = sdcard::crc32(bytes.data(), length - 4);
            for (int j = 0; j < 4; ++j) bytes[length - 4 + j] = char(crc >> (8 * j) & 0xFF);
            const std::size_t tail = bytes.size() - sdcard::BLOCK_OVERHEAD;
            if (uint8_t(bytes[tail + 2]) == sdcard::BLOCK_CONTINUED) bytes.resize(tail);
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        }
        QVERIFY(parts >= 3);
        Importer imp(d, "old");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        collect(imp);
        QVERIFY2(imp.import(false), imp.error().c_str());
        QVERIFY(samples == written);
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

    void cardWriterRefusesBadNamesAndBlocks() {
        sdcard::SdCardWriter w;
        const sdcard::RecordHeader h{"HW3.0_FW2.1", 32, 0, kTracker, {}};
        QVERIFY(!w.open(d, "../outside", "x", h) && !w.error().empty() && !w.open(d, "a/../../outside", "x", h));
        QVERIFY(!w.open(d, "a", "", h) && !w.open(d, "a", "x", {"HW", 0, 0, kTracker, {}}));  // no block rate
        QVERIFY(w.open(d, "/abs/sub", "x.y/z", h));  // no folder or extension smuggled in by a name
        QCOMPARE(w.recordFolder() + "/" + w.recordName(), d + "/abs/sub/x_y_z");
        QVERIFY(w.close() && w.open(d, "viewer\\26-12-05\\.", "x", h));  // the device's separators
        QCOMPARE(w.recordFolder(), d + "/viewer/26-12-05");
        std::vector<double> v(h.valuesPerBlock() + 1);
        QVERIFY(!w.writeBlock(0, 0, 0, v.data(), v.size()) && !w.writeBlock(0, 0, 0, nullptr, v.size() - 1));
        QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size() - 1) && w.blocksWritten() == 1 && w.close());
        std::ofstream(d + "/plainfile") << "x";
        QVERIFY(!w.open(d + "/plainfile", "a", "x", h) && !w.isOpen() && !w.writeBlock(0, 0, 0, nullptr, 0));
        // Nothing the reader would refuse is written: sizes no device has.
        for (const KvnSignal& s : {KvnSignal("EEG", 1025, 1025, 1, 1), KvnSignal("EEG", 1, 1, 4097, 1),
                                   KvnSignal("EEG", 1, 1, 4000, 1), KvnSignal("EEG", 1024, 1024, 64, 1)})
            QVERIFY2(!w.open(d, "limits", "x", {"HW", 32, 0, {s}, {}}) && w.error().find("claims") != std::string::npos,
                     w.error().c_str());
        // Every part but the last ends with a continuation block, and stays within the size limit with it.
        QVERIFY(!writeCard(d + "/split", "p", 0, 20, 1, kTracker, {}, {}, -1, 400).empty());
        std::vector<std::string> parts;
        for (unsigned k = 0; fs::exists(d + "/split/" + sdcard::partFileName(k, "p")); ++k)
            parts.push_back(slurp(d + "/split/" + sdcard::partFileName(k, "p")));
        QVERIFY(parts.size() > 2);
        for (const std::string& part : parts)
            QVERIFY(part.size() <= 400 && (part.compare(part.size() - sdcard::BLOCK_OVERHEAD, 4, "\x0c\xb1\x15\x00", 4) == 0) ==
                                              (&part != &parts.back()));  // marker, then type 21
    }

    void eeg64MergeStatusTable() {
        constexpr int16_t C = Battery::CHARGING, U = Battery::UNKNOWN;
        // Per row the left battery and flags, the right ones, and the merged battery and flags. A level beats
        // charging, charging beats unknown, two levels give the lower; what is neither level nor charging is
        // unknown. Two SD card errors must not OR to "not synchronised" (7), which a half may send itself.
        const int16_t cases[][6] = {
            {3, 0, 5, 0, 3, 0}, {0, 1, 5, 2, 0, 3}, {C, 0, 4, 0, 4, 0},  {U, 0, 1, 0, 1, 0}, {C, 2, U, 4, C, 6},
            {C, 0, C, 0, C, 0}, {U, 0, U, 0, U, 0}, {9, 0, -7, 0, U, 0}, {9, 0, 2, 0, 2, 0}, {2, 5, 2, 6, 2, 6},
            {2, 3, 2, 4, 2, 4}, {2, 7, 2, 0, 2, 7}, {2, 0x100, 2, 0x8, 2, 0x108}};
        for (const auto& c : cases)
            for (bool swapped : {false, true}) {  // the rule has no favourite side
                const int l = swapped ? 2 : 0, r = 2 - l;
                const eeg64::Status st = eeg64::mergeStatus(c[l], uint16_t(c[l + 1]), c[r], uint16_t(c[r + 1]));
                QVERIFY2(st.battery == c[4] && st.flags == c[5], QByteArray::number(int(&c - cases)));
            }
    }

    // Restart suffixes are "_" and a number that fits; half and pair names put the side letter before them.
    void recordAndRestartNames() {
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
        const std::pair<const char*, const char*> suffixes[] = {
            {"rec_0", "_0"}, {"rec_12", "_12"}, {"rec", ""}, {"rec_", ""}, {"rec_1x", ""}, {"recl_0", ""},
            {"rec_123456789012345678", "_123456789012345678"}, {"rec_1234567890123456789", ""}, {"rec_1_2", ""}};
        for (const auto& [name, suffix] : suffixes)
            QCOMPARE(QString::fromStdString(eeg64::restartSuffix(name, "rec")), QString(suffix));
        QCOMPARE(eeg64::restartSuffix("a_1_2", "a_1") + eeg64::restartSuffix("rec_0", "re"), std::string("_2"));
        QCOMPARE(importer::basename(eeg64::halfName("rec", 'r', "_3")), std::string("recr"));
        const std::pair<const char*, const char*> pairs[] = {
            {"recl_0", "rec_0"}, {"recl", "rec"}, {"rec_0l", "rec_0"}, {"recr_3", "recr_3"},
            {"rec", "rec"},      {"l", ""},       {"l_2", "_2"},       {"", ""}};
        for (const auto& [half, pair] : pairs)
            QCOMPARE(QString::fromStdString(eeg64::pairName(half, 'l')), QString(pair));

        // A card may hold restarts named by earlier versions ("q_0l"): they join the record in their place; when
        // a restart is there under both names, the documented one is read.
        const std::string q = d + "/q";
        int tag = 0;
        for (const char* name : {"ql", "qr", "q_0l", "q_0r", "ql_1", "qr_1", "q_2l", "ql_2", "qr_2", "q_xl", "qq_3l"})
            QVERIFY(!writeCard(q, name, 10, 3, ++tag).empty());  // the last two are strangers
        Eeg64Importer imp(q, q, "q");
        QVERIFY2(imp.isValid() && imp.pieces() == 4, imp.error().c_str());
        collect(imp);
        QVERIFY2(imp.import(false), imp.error().c_str());
        std::vector<std::pair<double, double>> seen, expected;  // per block: the left's and the right's value 1
        for (const Written& w : samples) seen.emplace_back(w.values[1], w.values[33]);
        const std::pair<int, int> tags[] = {{1, 2}, {3, 4}, {5, 6}, {8, 9}};  // "q_2l" (7) gives way to "ql_2"
        for (const auto& [l, r] : tags)
            for (int b = 0; b < 3; ++b) expected.emplace_back(sampleValue(l, b, 1), sampleValue(r, b, 1));
        QVERIFY(seen == expected);
    }

    void damagedRecordKeepsItsWholeBlocks() {
        // Two records, written afresh for each row: "r" (10 sample blocks of 100 bytes in one file, a set-up after
        // the third) and "s" (314 blocks, 100 to a part: 0_s.kvb .. 3_s.kvb). Each row damages one file and
        // gives: whether the record opens, what import(false) returns, the text in error() (or in note() when
        // the import succeeds, "" for neither) and the sample blocks delivered, which must be the first ones
        // written. "c" is a lone part 0 whose header claims what no device has.
        const Blocks r = writeCard(d + "/dmg", "r", 0, 10, 1, kTracker, "{}", {}, 2);
        const std::size_t blockLen = sdcard::BLOCK_OVERHEAD + 10 * 8, size = slurp(d + "/dmg/0_r.kvb").size();
        const std::size_t headerLen = size - 10 * blockLen - sdcard::BLOCK_OVERHEAD - 15, fifth = size - 6 * blockLen;
        const std::size_t partBytes = headerLen - 2 + 100 * blockLen + sdcard::BLOCK_OVERHEAD;  // no set-up text
        const Blocks s = writeCard(d + "/split", "s", 0, 314, 2, kTracker, {}, {}, -1, partBytes);
        const std::size_t partSize = slurp(d + "/split/0_s.kvb").size();
        enum Op { Cut, Flip, Append, Remove, Pipe, Device, Foreign, Header };
        const struct {
            std::string file;
            Op op;
            std::size_t at;
            unsigned arg;  // Flip: the bits; Header: channels (count at `at`), samples and block rate follow
            bool opens, imported;
            std::string message;
            int blocks;
            unsigned samples = 1, rate = 32;
        } cases[] = {
            {"0_r.kvb", Cut, 0, 0, false, false, "empty", 0},
            {"0_r.kvb", Cut, headerLen - 3, 0, false, false, "header cut short", 0},
            {"0_r.kvb", Flip, 30, 0x40, false, false, "damaged header", 0},
            // A last block cut short: every whole block, and how much was left out.
            {"0_r.kvb", Cut, size - 4 * blockLen + 50, 0, true, true, "the last block is cut short; its 50 bytes", 6},
            {"0_r.kvb", Cut, size - 4 * blockLen, 0, true, true, "", 6},  // cut at a block's end: nothing to tell
            {"0_r.kvb", Append, 15, 0, true, true, "its 15 bytes were left out", 10},
            {"0_r.kvb", Append, 17, 0, true, false, "damaged block at byte", 10},  // more than a block head: garbage
            // Damage in the middle fails, after the whole blocks before it, and says where.
            {"0_r.kvb", Flip, fifth + 40, 0x01, true, false, "checksum mismatch", 4},  // in the fifth block's samples
            {"0_r.kvb", Flip, fifth + 14, 0x10, true, false, "damaged block at byte " + std::to_string(fifth), 4},
            {"1_s.kvb", Cut, partSize - 50, 0, true, false, "1_s.kvb: cut short inside a block", 199},
            {"1_s.kvb", Cut, partSize - sdcard::BLOCK_OVERHEAD, 0, true, false, "1_s.kvb: cut short: it ends before", 200},
            // Parts: a missing last part is a failure that names it; a missing or foreign middle part is refused.
            {"3_s.kvb", Remove, 0, 0, true, false, "part 3 of record s (3_s.kvb) is missing", 300},
            {"3_s.kvb", Cut, 10, 0, true, true, "3_s.kvb ends inside its header", 300},  // the card lost power there
            {"1_s.kvb", Remove, 0, 0, false, false, "part 1 of record s is missing", 0},
            {"1_s.kvb", Foreign, 0, 0, false, false, "another record", 0},
            {"2_s.kvb", Pipe, 0, 0, false, false, "2_s.kvb is not a regular file", 0},
            {"0_r.kvb", Device, 0, 0, false, false, "0_r.kvb is not a regular file", 0},
            // Headers that claim what no device has are refused before anything is built from them.
            {"0_c.kvb", Header, 8000, 1, false, false, "claims 8000 signals (at most 64)", 0},
            {"0_c.kvb", Header, 65535, 1, false, false, "claims 65535 signals", 0},
            {"0_c.kvb", Header, 65, 1, false, false, "claims 65 signals", 0},
            {"0_c.kvb", Header, 1, 1025, false, false, "claims 1025 channels (at most 1024)", 0},
            {"0_c.kvb", Header, 1, 1, false, false, "claims 4097 samples per block", 0, 4097},
            {"0_c.kvb", Header, 1, 1, false, false, "claims 131072 samples per second", 0, 4096},
            {"0_c.kvb", Header, 2, 1024, false, false, "claims 2097152 values per second", 0, 1024, 1},
            {"0_c.kvb", Header, 64, 1024, true, true, "", 0, 16, 1},  // the neighbours of the limits, with no block
        };
        fuzz::Watchdog watchdog(std::chrono::seconds(60));
        for (const auto& c : cases) {
            const QByteArray row = QByteArray::number(int(&c - cases));
            watchdog.begin("row " + row.toStdString());
            const std::string name = c.file.substr(c.file.find('_') + 1, 1);
            const std::string folder = d + (name == "r" ? "/dmg" : name == "s" ? "/split" : "/craft"), path = folder + "/" + c.file;
            fs::remove_all(folder);  // (a record written over an old one would be named as its restart)
            fs::create_directories(folder);
            if (name == "r")
                writeCard(folder, "r", 0, 10, 1, kTracker, "{}", {}, 2);
            else if (name == "s")
                writeCard(folder, "s", 0, 314, 2, kTracker, {}, {}, -1, partBytes);
            std::string bytes = slurp(path);
            switch (c.op) {
            case Cut: bytes.resize(c.at); break;
            case Flip: bytes[c.at] = static_cast<char>(bytes[c.at] ^ c.arg); break;
            case Append: bytes.append(c.at, '\x7f'); break;
            case Header: bytes = craftedHeader(unsigned(c.at), c.arg, c.samples, c.rate); break;
            case Foreign:
                fs::remove_all(d + "/other");
                writeCard(d + "/other", "s", 0, 20, 1, kHalf, {}, {}, -1, 4000);
                bytes = slurp(d + "/other/1_s.kvb");
                break;
            default: break;
            }
            fs::remove(path);
            if (c.op == Pipe)
                QVERIFY(mkfifo(path.c_str(), 0600) == 0);
            else if (c.op == Device)
                fs::create_symlink("/dev/zero", path);
            else if (c.op != Remove)
                std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
            Importer imp(folder, name);
            collect(imp);
            const bool imported = imp.import(false);
            const std::string said = imported ? imp.note() : imp.error();
            QVERIFY2(imp.isValid() == c.opens && imported == c.imported, row + " " + said.c_str());
            QVERIFY2(c.message.size() ? said.find(c.message) != std::string::npos : said.empty(), row + " " + said.c_str());
            samples.erase(std::remove_if(samples.begin(), samples.end(), [](auto& w) { return w.values.empty(); }),
                          samples.end());
            const Blocks& written = name == "r" ? r : s;
            QVERIFY2(samples.size() == std::size_t(c.blocks) && std::equal(samples.begin(), samples.end(), written.begin()),
                     row);
            QVERIFY2(setups.size() == std::size_t(name == "r" && c.blocks >= 3), row);
        }
    }

    void hostileNamesSurviveTheImport() {
        // Control characters, quotes and separators in the device's version and the signals' names come out of
        // the card as they went in (the CSV tests carry them on). The writer refuses a signal list that no reader
        // would take.
        const std::vector<KvnSignal> signalList = {{"EEG\n\"a,b\"\r\x01", 2, 2, 1, 1}, {"\x1b[2J", 1, 1, 1, 1}};
        sdcard::RecordHeader h{"HW\n3.0,\"x\"", 32, 0, signalList, {}};
        sdcard::SdCardWriter w;
        const double values[] = {1, 2, 3};
        QVERIFY(w.open(d, "hostile", "na\nme\x01", h) && w.writeBlock(0, 1, 0, values, 3) && w.close());
        Importer imp(w.recordFolder(), w.recordName());
        QVERIFY2(imp.isValid() && imp.version() == h.version && imp.get_signals() == signalList, imp.error().c_str());
        collect(imp);
        QVERIFY(imp.import(false) && samples.size() == 1 && samples[0].values == std::vector<double>({1, 2, 3}));

        std::vector<KvnSignal> many(65, KvnSignal("GSR", 1, 1, 1, 1));
        QVERIFY(!w.open(d, "many", "m", {"HW", 32, 0, many, {}}) && w.error().find("65 signals") != std::string::npos);
        many.pop_back();
        QVERIFY(w.open(d, "many", "m", {"HW", 32, 0, many, {}}) && w.close());
    }

    void randomDamageFailsCleanly() {
        // Random damage anywhere in a record split into parts: every import ends in bounded time and memory,
        // delivers the first blocks written and nothing else, and says why it failed or what it left out.
        const Blocks written = writeCard(d + "/fz", "orig", 0, 30, 1, kTracker, R"({"a": 1})", {}, 12, 1200);
        std::vector<std::string> originals;
        for (int k = 0; fs::exists(d + "/fz/" + sdcard::partFileName(k, "orig")); ++k)
            originals.push_back(slurp(d + "/fz/" + sdcard::partFileName(k, "orig")));
        QVERIFY(originals.size() >= 3);
        const uint32_t seed = fuzz::seed(99);
        std::mt19937 rng(seed);
        const std::size_t heapBefore = fuzz::heapInUse();
        fuzz::Watchdog watchdog(std::chrono::seconds(30));
        int failed = 0, noted = 0;
        for (int round = 0; round < 2000; ++round) {
            const std::string label = "seed " + std::to_string(seed) + " round " + std::to_string(round);
            watchdog.begin(label);
            fs::remove_all(d + "/fm");
            fs::create_directories(d + "/fm");
            std::vector<std::string> parts = originals;
            for (int k = 0, n = 1 + int(rng() % 3); k < n; ++k) {
                std::string& part = parts[rng() % parts.size()];
                const std::size_t at = part.empty() ? 0 : rng() % part.size(), len = 1 + rng() % 32;
                switch (rng() % 6) {
                case 0: part.resize(at); break;
                case 1: if (!part.empty()) part[at] ^= static_cast<char>(1 + rng() % 255); break;
                case 2: part.replace(at, std::min(len, part.size() - at), len, '\0'); break;
                case 3: part.insert(at, std::string(len, static_cast<char>(rng()))); break;
                case 4: part.erase(at, len); break;
                default: parts.resize(1 + rng() % parts.size()); break;  // parts lost at the end
                }
            }
            for (std::size_t k = 0; k < parts.size(); ++k)
                std::ofstream(d + "/fm/" + sdcard::partFileName(unsigned(k), "m"), std::ios::binary) << parts[k];
            Importer imp(d + "/fm", "m");
            collect(imp);
            const bool ok = imp.import(false);
            QVERIFY(fuzz::heapInUse() < heapBefore + (16u << 20));
            failed += !ok;
            noted += ok && !imp.note().empty();
            QVERIFY2(ok || !imp.error().empty(), label.c_str());
            samples.erase(std::remove_if(samples.begin(), samples.end(), [](auto& w) { return w.values.empty(); }),
                          samples.end());
            QVERIFY2(samples.size() <= written.size() && std::equal(samples.begin(), samples.end(), written.begin()),
                     label.c_str());
            if (!imp.isValid()) {  // nothing to offer, and no division by the missing block rate
                QVERIFY(imp.get_signals().empty() && !imp.get_valid_setup_halvo() && !imp.import(true));
                QVERIFY(imp.total_frames() == 0 && imp.duration() == 0 && samples.empty());
            }
            QVERIFY(imp.import_posita_setup(d + "/p.json") == fs::remove(d + "/p.json"));
        }
        qInfo("%d of 2000 imports failed, %d succeeded with a note", failed, noted);
        QVERIFY(failed > 1000 && noted > 50);  // damage is noticed, and so is a cut tail
        Importer missing(d + "/nowhere", "m");
        QVERIFY(!missing.import(false) && !missing.error().empty());
    }
};

QTEST_GUILESS_MAIN(TestImporter)
#include "test_importer.moc"
