#include "SdCardFormat.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

// RecordHeader has a field named like Qt's "signals" keyword.
#undef signals

namespace fs = std::filesystem;
using namespace sdcard;

namespace {

const char* const kSetup = R"({"anchors":[[0,0,0],[2,0,0]]})";

RecordHeader eegHeader(uint16_t blockRate = 32) {
    return {"HW3.0_FW2.1", blockRate, 65530,
            {{"EEG", 4, 4, 8, 1}, {"GSR", 1, 1, 1, 0}, {"COM", 9, 9, 2, 2}, {"uSD", 1, 1, 1, 1}},
            R"({"anchors":[[0,0,0],[1,0,0]]})"};
}

// Values that a text or float format would bend: signed zero, subnormals, extremes, long fractions.
std::vector<double> blockValues(int block) {
    static const double odd[] = {-0.0, 5e-324, 1.7976931348623157e308, -2.2250738585072014e-308, 0.1, 1.0 / 3.0,
                                 -123456.78901234567, 3.141592653589793};
    std::vector<double> v(eegHeader().valuesPerBlock());
    for (std::size_t i = 0; i < v.size(); ++i)
        v[i] = (i % 3 == 0) ? odd[(i + block) % 8] : std::sin(0.37 * block + static_cast<double>(i)) * 1e3;
    return v;
}
uint16_t flagsOf(int b) { return b % 3 ? 0 : 0x0108; }

// Writes `blocks` sample blocks with a set-up block after the third; returns the record's folder.
std::string writeRecord(const std::string& card, const std::string& name, int blocks, uint64_t maxBytes,
                        unsigned* parts = nullptr) {
    SdCardWriter w(maxBytes);
    if (!w.open(card, "viewer\\26-12-05\\08-15-00\\.", name, eegHeader()))
        return {};
    for (int b = 0; b < blocks; ++b) {
        const std::vector<double> v = blockValues(b);
        const auto seq = static_cast<uint16_t>(65530 + b);
        if (!w.writeBlock(seq, static_cast<int16_t>(b % 8 - 2), flagsOf(b), v.data(), v.size()) ||
            (b == 2 && !w.writeSetup(seq, 3, 0, kSetup)))
            return {};
    }
    if (parts)
        *parts = w.parts();
    return w.close() ? w.recordFolder() : std::string();
}

// Reads from the start, checking every block against what was written; returns the whole sample blocks read.
int readBack(SdCardReader& r, SdCardReader::Status& st) {
    SdCardReader::Block b;
    int samples = 0;
    if (!r.rewind())
        return -1;
    while ((st = r.next(b)) == SdCardReader::Status::Block) {
        const std::vector<double> want = blockValues(samples);
        const bool ok = b.type == BLOCK_SETUP ? samples == 3 && b.setup == kSetup && b.values.empty()
                                              : b.sequence == uint16_t(65530 + samples) &&
                                                    b.battery == samples % 8 - 2 && b.flags == flagsOf(samples) &&
                                                    b.values.size() == want.size() &&
                                                    std::memcmp(b.values.data(), want.data(), want.size() * 8) == 0;
        if (!ok)
            return -2;
        samples += b.type == BLOCK_SAMPLES;
    }
    return samples;
}

}  // namespace

class TestSdCard : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    const std::string card = tmp_.path().toStdString();

private slots:
    void splitRecordReadsBackWholeOrNotAtAll() {
        unsigned parts = 0;
        const std::string folder = writeRecord(card, "p", 20, 1700, &parts);  // about three blocks a file
        QCOMPARE(QString::fromStdString(folder), tmp_.path() + "/viewer/26-12-05/08-15-00");
        QVERIFY(parts >= 5);
        SdCardReader r;
        QVERIFY2(r.open(folder, "p"), r.error().c_str());
        QCOMPARE(r.files().size(), std::size_t(parts));
        QVERIFY(r.header() == eegHeader());
        QVERIFY(r.scan());
        QCOMPARE(r.totalBlocks(), int64_t(21));
        QCOMPARE(r.sampleBlocks(), int64_t(20));
        QCOMPARE(QString::fromStdString(r.lastSetup()), QString(kSetup));
        SdCardReader::Status st;
        for (int pass = 0; pass < 2; ++pass) {  // the sequence wraps through 0 on the way
            QCOMPARE(readBack(r, st), 20);
            QCOMPARE(int(st), int(SdCardReader::Status::End));
        }
        QVERIFY(r.error().empty());

        fs::rename(folder + "/1_p.kvb", folder + "/keep");
        QVERIFY(!r.open(folder, "p"));
        QVERIFY(QString::fromStdString(r.error()).contains("part 1"));
        SdCardWriter w(1700);  // part 1 of another record with other settings
        QVERIFY(w.open(card, "other", "p", eegHeader(64)));
        for (int i = 0; i < 8; ++i)
            QVERIFY(w.writeBlock(0, 0, 0, blockValues(i).data(), blockValues(i).size()));
        QVERIFY(w.close());
        fs::copy_file(w.recordFolder() + "/1_p.kvb", folder + "/1_p.kvb");
        QVERIFY(!r.open(folder, "p"));
        QVERIFY(QString::fromStdString(r.error()).contains("another record"));
        QVERIFY(!r.open(folder, "nothing") && !r.open(card + "/no/such/folder", "p"));
    }

    void writerRefusesBadNamesAndBlocks() {
        SdCardWriter w;
        QVERIFY(!w.open(card, "../outside", "x", eegHeader()) && !w.error().empty());
        QVERIFY(!w.open(card, "a/../../outside", "x", eegHeader()));
        QVERIFY(!w.open(card, "a", "", eegHeader()) && !w.open(card, "a", "x", eegHeader(0)));
        QVERIFY(w.open(card, "/abs/sub", "x.y/z", eegHeader()));  // no folder or extension smuggled in by a name
        QCOMPARE(QString::fromStdString(w.recordFolder() + "/" + w.recordName()), tmp_.path() + "/abs/sub/x_y_z");
        std::vector<double> v(eegHeader().valuesPerBlock() + 1);
        QVERIFY(!w.writeBlock(0, 0, 0, v.data(), v.size()));
        QVERIFY(!w.writeBlock(0, 0, 0, nullptr, v.size() - 1));
        QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size() - 1));
        QCOMPARE(w.blocksWritten(), uint64_t(1));
        QVERIFY(w.close());
        std::ofstream(card + "/plainfile") << "x";
        QVERIFY(!w.open(card + "/plainfile", "a", "x", eegHeader()) && !w.isOpen());
        QVERIFY(!w.writeBlock(0, 0, 0, nullptr, 0));
    }

    void damagedFilesFailCleanly() {
        const std::string folder = writeRecord(card, "r", 10, DEFAULT_MAX_FILE_BYTES), path = folder + "/0_r.kvb";
        std::ifstream in(path, std::ios::binary);
        const std::string original(std::istreambuf_iterator<char>(in), {});
        const std::size_t blockLen = BLOCK_OVERHEAD + eegHeader().valuesPerBlock() * 8, size = original.size();
        const std::size_t headerLen = size - 10 * blockLen - (BLOCK_OVERHEAD + std::strlen(kSetup));
        const std::size_t fifth = size - 6 * blockLen, none = std::string::npos;  // the set-up block follows the third
        const struct {
            std::size_t cutTo, flipAt;
            char flip;
            int wholeBlocks;  // sample blocks readable before the damage; -1: the record does not open
        } cases[] = {{0, none, 0, -1},
                     {headerLen - 3, none, 0, -1},
                     {none, 30, 0x40, -1},                      // in the header
                     {size - 4 * blockLen + 100, none, 0, 6},   // mid block
                     {none, fifth + 40, 0x01, 4},               // in the fifth block's samples
                     {none, fifth + 14, 0x10, 4},               // in its length field
                     {size + 17, none, 0, 10}};                 // garbage appended
        for (const auto& c : cases) {
            std::string bytes = original;
            if (c.cutTo != none)
                bytes.resize(c.cutTo, '\x7f');
            if (c.flipAt != none)
                bytes[c.flipAt] = static_cast<char>(bytes[c.flipAt] ^ c.flip);
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
            SdCardReader r;
            SdCardReader::Status st = SdCardReader::Status::Error;
            SdCardReader::Block b;
            const QByteArray row = QByteArray::number(int(&c - cases));
            // The scan only walks the block headers, so a flipped sample bit shows when the block is read.
            QVERIFY2(r.open(folder, "r") == (c.wholeBlocks >= 0) && !r.scan() == (c.flipAt != fifth + 40), row);
            QVERIFY2(readBack(r, st) == c.wholeBlocks && !r.error().empty(), row);
            QVERIFY2(st == SdCardReader::Status::Error && (r.isOpen() || r.next(b) == st), row);
        }
    }
};

QTEST_GUILESS_MAIN(TestSdCard)
#include "test_sdcard.moc"
