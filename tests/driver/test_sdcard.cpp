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

RecordHeader eegHeader() {
    RecordHeader h;
    h.version = "HW3.0_FW2.1";
    h.blockRate = 32;
    h.firstSequence = 65530;
    h.signals = {{"EEG", 4, 4, 8, 1}, {"GSR", 1, 1, 1, 0}, {"COM", 9, 9, 2, 2}, {"uSD", 1, 1, 1, 1}};
    h.setup = R"({"anchors":[[0,0,0],[1,0,0]]})";
    return h;
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
        const bool ok = b.type == BLOCK_SETUP ? samples == 3 && b.setup == kSetup && b.values.empty()
                                              : b.sequence == uint16_t(65530 + samples) &&
                                                    b.battery == samples % 8 - 2 && b.flags == flagsOf(samples) &&
                                                    b.values.size() == blockValues(samples).size() &&
                                                    std::memcmp(b.values.data(), blockValues(samples).data(),
                                                                b.values.size() * sizeof(double)) == 0;
        if (!ok)
            return -2;
        samples += b.type == BLOCK_SAMPLES;
    }
    return samples;
}

}  // namespace

class TestSdCard : public QObject {
    Q_OBJECT
private slots:
    void splitRecordKeepsEveryBlock() {
        QTemporaryDir dir;
        unsigned parts = 0;
        const std::string folder = writeRecord(dir.path().toStdString(), "long", 20, 1700, &parts);  // ~3 blocks a file
        QCOMPARE(QString::fromStdString(folder), dir.path() + "/viewer/26-12-05/08-15-00");
        QVERIFY(parts >= 5);
        QVERIFY(fs::exists(folder + "/" + partFileName(parts - 1, "long")));
        SdCardReader r;
        QVERIFY2(r.open(folder, "long"), r.error().c_str());
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
    }

    void writerNamesAndRefusals() {
        QTemporaryDir dir;
        const std::string card = dir.path().toStdString();
        SdCardWriter a, b, c, w;
        QVERIFY(a.open(card, "d", "rec", eegHeader()) && b.open(card, "d", "rec", eegHeader()) &&
                c.open(card, "d", "rec", eegHeader()));
        QCOMPARE(QString::fromStdString(b.recordName() + " " + c.recordName()), QString("rec_0 rec_1"));  // restarts
        QVERIFY(a.close() && b.close() && c.close());
        QVERIFY(fs::exists(card + "/d/0_rec_1.kvb"));
        QVERIFY(!w.open(card, "../outside", "x", eegHeader()) && !w.error().empty());
        QVERIFY(!w.open(card, "a/../../outside", "x", eegHeader()));
        QVERIFY(!w.open(card, "a", "", eegHeader()));
        QVERIFY(w.open(card, "/abs/sub", "x.y/z", eegHeader()));  // no folder or extension smuggled in by a name
        QCOMPARE(QString::fromStdString(w.recordFolder() + "/" + w.recordName()), dir.path() + "/abs/sub/x_y_z");
        std::vector<double> v(eegHeader().valuesPerBlock() + 1);
        QVERIFY(!w.writeBlock(0, 0, 0, v.data(), v.size()));
        QVERIFY(!w.writeBlock(0, 0, 0, nullptr, v.size() - 1));
        QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size() - 1));
        QCOMPARE(w.blocksWritten(), uint64_t(1));
        QVERIFY(w.close());
        std::ofstream(card + "/plainfile") << "x";
        QVERIFY(!w.open(card + "/plainfile", "a", "x", eegHeader()) && !w.isOpen());
        QVERIFY(!w.writeBlock(0, 0, 0, nullptr, 0));
        RecordHeader zeroRate = eegHeader();
        zeroRate.blockRate = 0;
        QVERIFY(!w.open(card, "a", "x", zeroRate));
    }

    void damagedFilesFailCleanly_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<int>("wholeBlocks");  // sample blocks readable before the damage
        QTest::newRow("empty") << "empty" << false << 0;
        QTest::newRow("random bytes") << "random" << false << 0;
        QTest::newRow("header cut") << "headercut" << false << 0;
        QTest::newRow("header byte flipped") << "headerflip" << false << 0;
        QTest::newRow("cut mid block") << "cut" << true << 6;
        QTest::newRow("payload byte flipped") << "payloadflip" << true << 4;
        QTest::newRow("length field damaged") << "lenflip" << true << 4;
        QTest::newRow("garbage appended") << "tail" << true << 10;
    }
    void damagedFilesFailCleanly() {
        QFETCH(QString, damage);
        QFETCH(bool, opens);
        QFETCH(int, wholeBlocks);
        QTemporaryDir dir;
        const std::string folder = writeRecord(dir.path().toStdString(), "r", 10, DEFAULT_MAX_FILE_BYTES);
        const std::string path = folder + "/0_r.kvb";
        std::ifstream in(path, std::ios::binary);
        std::string bytes(std::istreambuf_iterator<char>(in), {});
        const std::size_t setupLen = BLOCK_OVERHEAD + std::strlen(kSetup);
        const std::size_t blockLen = BLOCK_OVERHEAD + eegHeader().valuesPerBlock() * 8;
        const std::size_t headerLen = bytes.size() - 10 * blockLen - setupLen;
        const std::size_t fifth = headerLen + 4 * blockLen + setupLen;  // the set-up block follows the third
        if (damage == "empty")
            bytes.clear();
        else if (damage == "random")
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>(i * 2654435761u >> 13);
        else if (damage == "headercut")
            bytes.resize(headerLen - 3);
        else if (damage == "headerflip")
            bytes[30] ^= 0x40;
        else if (damage == "cut")
            bytes.resize(bytes.size() - 4 * blockLen + 100);  // six sample blocks and the set-up block survive
        else if (damage == "payloadflip")
            bytes[fifth + 40] ^= 0x01;  // inside the fifth block's payload
        else if (damage == "lenflip")
            bytes[fifth + 14] ^= 0x10;  // the fifth block's length field
        else
            bytes += "0123456789abcdefg";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

        SdCardReader r;
        QCOMPARE(r.open(folder, "r"), opens);
        SdCardReader::Status st;
        QCOMPARE(readBack(r, st), opens ? wholeBlocks : -1);
        QVERIFY(!r.error().empty());
        // The scan only walks the block headers, so a flipped sample bit shows when the block is read.
        QCOMPARE(r.scan(), damage == "payloadflip");
        SdCardReader::Block b;
        QCOMPARE(int(opens ? st : r.next(b)), int(SdCardReader::Status::Error));
    }

    void missingOrForeignPartRefused() {
        QTemporaryDir dir;
        const std::string folder = writeRecord(dir.path().toStdString(), "p", 20, 1700);
        SdCardReader r;
        fs::rename(folder + "/1_p.kvb", folder + "/keep");
        QVERIFY(!r.open(folder, "p"));
        QVERIFY(QString::fromStdString(r.error()).contains("part 1"));
        SdCardWriter w(1700);  // part 1 of another record with other settings
        RecordHeader other = eegHeader();
        other.blockRate = 64;
        QVERIFY(w.open(dir.path().toStdString(), "other", "p", other));
        std::vector<double> v(other.valuesPerBlock());
        for (int i = 0; i < 8; ++i)
            QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size()));
        QVERIFY(w.close());
        fs::copy_file(w.recordFolder() + "/1_p.kvb", folder + "/1_p.kvb");
        QVERIFY(!r.open(folder, "p"));
        QVERIFY(QString::fromStdString(r.error()).contains("another record"));
        QVERIFY(!r.open(folder, "nothing"));
        QVERIFY(!r.open(dir.path().toStdString() + "/no/such/folder", "p"));
    }
};

QTEST_GUILESS_MAIN(TestSdCard)
#include "test_sdcard.moc"
