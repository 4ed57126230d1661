#include "SdCardFormat.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

// RecordHeader has a field named like Qt's "signals" keyword.
#undef signals

namespace fs = std::filesystem;
using namespace sdcard;

namespace {

RecordHeader eegHeader() {
    RecordHeader h;
    h.version = "HW3.0_FW2.1";
    h.blockRate = 32;
    h.firstSequence = 65530;
    h.signals = {KvnSignal("EEG", 4, 4, 8, 1), KvnSignal("GSR", 1, 1, 1, 0), KvnSignal("COM", 9, 9, 2, 2),
                 KvnSignal("uSD", 1, 1, 1, 1)};
    h.setup = R"({"anchors":[[0,0,0],[1,0,0]]})";
    return h;
}

// Values that a text or float format would bend: signed zero, subnormals, extremes, long fractions.
std::vector<double> blockValues(std::size_t count, int block) {
    static const double odd[] = {-0.0, 5e-324, 1.7976931348623157e308, -2.2250738585072014e-308, 0.1, 1.0 / 3.0,
                                 -123456.78901234567, 3.141592653589793};
    std::vector<double> v(count);
    for (std::size_t i = 0; i < count; ++i)
        v[i] = (i % 3 == 0) ? odd[(i + block) % 8] : std::sin(0.37 * block + static_cast<double>(i)) * 1e3;
    return v;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// Writes a record of `blocks` sample blocks with one set-up block after the third; returns its folder.
std::string writeRecord(const std::string& card, const std::string& name, int blocks, uint64_t maxBytes,
                        unsigned* parts = nullptr) {
    SdCardWriter w(maxBytes);
    RecordHeader h = eegHeader();
    if (!w.open(card, "viewer\\26-12-05\\08-15-00\\.", name, h))
        return {};
    const std::size_t n = h.valuesPerBlock();
    for (int b = 0; b < blocks; ++b) {
        std::vector<double> v = blockValues(n, b);
        uint16_t seq = static_cast<uint16_t>(h.firstSequence + b);
        if (!w.writeBlock(seq, static_cast<int16_t>(b % 8 - 2), static_cast<uint16_t>(b % 3 ? 0 : 0x0108), v.data(),
                          v.size()))
            return {};
        if (b == 2 && !w.writeSetup(seq, 3, 0, R"({"anchors":[[0,0,0],[2,0,0]]})"))
            return {};
    }
    if (parts)
        *parts = w.parts();
    return w.close() ? w.recordFolder() : std::string();
}

}  // namespace

class TestSdCard : public QObject {
    Q_OBJECT
private slots:
    void roundTripKeepsEveryBlock();
    void splitRecordReadsBackInOrder();
    void restartedRecordGetsSuffix();
    void folderAndNameRules();
    void writerRefusesWrongBlocks();
    void damagedFilesFailCleanly_data();
    void damagedFilesFailCleanly();
    void missingOrForeignPartRefused();
};

void TestSdCard::roundTripKeepsEveryBlock() {
    QTemporaryDir dir;
    const std::string card = dir.path().toStdString();
    const std::string folder = writeRecord(card, "r005", 10, DEFAULT_MAX_FILE_BYTES);
    QVERIFY(!folder.empty());
    QCOMPARE(QString::fromStdString(folder), dir.path() + "/viewer/26-12-05/08-15-00");

    SdCardReader r;
    QVERIFY2(r.open(folder, "r005"), r.error().c_str());
    QVERIFY(r.header() == eegHeader());
    QCOMPARE(r.header().valuesPerBlock(), std::size_t(4 * 8 + 9 * 2));
    QVERIFY(r.scan());
    QCOMPARE(r.totalBlocks(), int64_t(11));
    QCOMPARE(r.sampleBlocks(), int64_t(10));
    QCOMPARE(QString::fromStdString(r.lastSetup()), QString(R"({"anchors":[[0,0,0],[2,0,0]]})"));

    QVERIFY(r.rewind());
    SdCardReader::Block b;
    int samples = 0;
    int setups = 0;
    SdCardReader::Status st;
    while ((st = r.next(b)) == SdCardReader::Status::Block) {
        if (b.type == BLOCK_SETUP) {
            ++setups;
            QCOMPARE(samples, 3);
            QVERIFY(b.values.empty());
            continue;
        }
        QCOMPARE(b.type, BLOCK_SAMPLES);
        QCOMPARE(b.sequence, uint16_t(65530 + samples));  // wraps through 0
        QCOMPARE(b.battery, int16_t(samples % 8 - 2));
        QCOMPARE(b.flags, uint16_t(samples % 3 ? 0 : 0x0108));
        QVERIFY(sameBits(b.values, blockValues(r.header().valuesPerBlock(), samples)));
        ++samples;
    }
    QCOMPARE(int(st), int(SdCardReader::Status::End));
    QCOMPARE(samples, 10);
    QCOMPARE(setups, 1);
    // Reading again from the start gives the same first block.
    QVERIFY(r.rewind());
    QCOMPARE(int(r.next(b)), int(SdCardReader::Status::Block));
    QCOMPARE(b.sequence, uint16_t(65530));
}

void TestSdCard::splitRecordReadsBackInOrder() {
    QTemporaryDir dir;
    unsigned parts = 0;
    // Room for about three blocks per file.
    const std::string folder = writeRecord(dir.path().toStdString(), "long", 20, 1700, &parts);
    QVERIFY(!folder.empty());
    QVERIFY(parts >= 5);
    for (unsigned k = 0; k < parts; ++k)
        QVERIFY(fs::exists(folder + "/" + partFileName(k, "long")));
    QVERIFY(!fs::exists(folder + "/" + partFileName(parts, "long")));

    SdCardReader r;
    QVERIFY2(r.open(folder, "long"), r.error().c_str());
    QCOMPARE(r.files().size(), std::size_t(parts));
    QVERIFY(r.scan());
    QCOMPARE(r.sampleBlocks(), int64_t(20));
    QVERIFY(r.rewind());
    SdCardReader::Block b;
    int samples = 0;
    while (r.next(b) == SdCardReader::Status::Block)
        if (b.type == BLOCK_SAMPLES)
            QVERIFY(sameBits(b.values, blockValues(b.values.size(), samples++)));
    QCOMPARE(samples, 20);
    QVERIFY(r.error().empty());
}

void TestSdCard::restartedRecordGetsSuffix() {
    QTemporaryDir dir;
    const std::string card = dir.path().toStdString();
    SdCardWriter a, b, c;
    QVERIFY(a.open(card, "d", "rec", eegHeader()));
    QVERIFY(b.open(card, "d", "rec", eegHeader()));
    QVERIFY(c.open(card, "d", "rec", eegHeader()));
    QCOMPARE(QString::fromStdString(a.recordName()), QString("rec"));
    QCOMPARE(QString::fromStdString(b.recordName()), QString("rec_0"));
    QCOMPARE(QString::fromStdString(c.recordName()), QString("rec_1"));
    QVERIFY(a.close() && b.close() && c.close());
    QVERIFY(fs::exists(card + "/d/0_rec_1.kvb"));
}

void TestSdCard::folderAndNameRules() {
    QTemporaryDir dir;
    const std::string card = dir.path().toStdString();
    SdCardWriter w;
    QVERIFY(!w.open(card, "../outside", "x", eegHeader()));
    QVERIFY(!w.error().empty());
    QVERIFY(!w.open(card, "a/../../outside", "x", eegHeader()));
    QVERIFY(!w.open(card, "a", "", eegHeader()));
    // A name cannot smuggle in a folder or an extension.
    QVERIFY(w.open(card, "/abs/sub", "x.y/z", eegHeader()));
    QCOMPARE(QString::fromStdString(w.recordName()), QString("x_y_z"));
    QCOMPARE(QString::fromStdString(w.recordFolder()), dir.path() + "/abs/sub");
    QVERIFY(w.close());
    // A card folder that cannot be created.
    std::ofstream(card + "/plainfile") << "x";
    QVERIFY(!w.open(card + "/plainfile", "a", "x", eegHeader()));
    QVERIFY(!w.isOpen());
    QVERIFY(!w.writeBlock(0, 0, 0, nullptr, 0));
    RecordHeader zeroRate = eegHeader();
    zeroRate.blockRate = 0;
    QVERIFY(!w.open(card, "a", "x", zeroRate));
}

void TestSdCard::writerRefusesWrongBlocks() {
    QTemporaryDir dir;
    SdCardWriter w;
    QVERIFY(w.open(dir.path().toStdString(), ".", "r", eegHeader()));
    std::vector<double> v(eegHeader().valuesPerBlock() + 1);
    QVERIFY(!w.writeBlock(0, 0, 0, v.data(), v.size()));
    QVERIFY(!w.writeBlock(0, 0, 0, nullptr, v.size() - 1));
    QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size() - 1));
    QCOMPARE(w.blocksWritten(), uint64_t(1));
    QVERIFY(w.close());
}

void TestSdCard::damagedFilesFailCleanly_data() {
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

void TestSdCard::damagedFilesFailCleanly() {
    QFETCH(QString, damage);
    QFETCH(bool, opens);
    QFETCH(int, wholeBlocks);
    QTemporaryDir dir;
    const std::string folder = writeRecord(dir.path().toStdString(), "r", 10, DEFAULT_MAX_FILE_BYTES);
    const std::string path = folder + "/0_r.kvb";
    std::vector<unsigned char> bytes = readBytes(path);
    SdCardReader probe;
    QVERIFY(probe.open(folder, "r"));
    const std::size_t setupLen = BLOCK_OVERHEAD + std::string(R"({"anchors":[[0,0,0],[2,0,0]]})").size();
    const std::size_t blockLen = BLOCK_OVERHEAD + probe.header().valuesPerBlock() * 8;
    const std::size_t headerLen = bytes.size() - 10 * blockLen - setupLen;
    const std::size_t fifth = headerLen + 4 * blockLen + setupLen;  // the set-up block follows the third
    std::mt19937 rng(7);
    if (damage == "empty") {
        bytes.clear();
    } else if (damage == "random") {
        for (auto& c : bytes)
            c = static_cast<unsigned char>(rng());
    } else if (damage == "headercut") {
        bytes.resize(headerLen - 3);
    } else if (damage == "headerflip") {
        bytes[30] ^= 0x40;
    } else if (damage == "cut") {
        bytes.resize(bytes.size() - 4 * blockLen + 100);  // six sample blocks and the set-up block survive
    } else if (damage == "payloadflip") {
        bytes[fifth + 40] ^= 0x01;  // inside the fifth block's payload
    } else if (damage == "lenflip") {
        bytes[fifth + 14] ^= 0x10;  // the fifth block's length field
    } else if (damage == "tail") {
        bytes.insert(bytes.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17});
    }
    writeBytes(path, bytes);

    SdCardReader r;
    QCOMPARE(r.open(folder, "r"), opens);
    if (!opens) {
        QVERIFY(!r.error().empty());
        QVERIFY(!r.scan());
        SdCardReader::Block b;
        QCOMPARE(int(r.next(b)), int(SdCardReader::Status::Error));
        return;
    }
    // The scan only walks the block headers, so a flipped sample bit shows when the block is read.
    QCOMPARE(r.scan(), damage == "payloadflip");
    QVERIFY(r.rewind());
    SdCardReader::Block b;
    int samples = 0;
    SdCardReader::Status st;
    while ((st = r.next(b)) == SdCardReader::Status::Block)
        if (b.type == BLOCK_SAMPLES)
            QVERIFY(sameBits(b.values, blockValues(b.values.size(), samples++)));
    QCOMPARE(int(st), int(SdCardReader::Status::Error));
    QCOMPARE(samples, wholeBlocks);
    QVERIFY(!r.error().empty());
}

void TestSdCard::missingOrForeignPartRefused() {
    QTemporaryDir dir;
    const std::string folder = writeRecord(dir.path().toStdString(), "p", 20, 1700);
    QVERIFY(!folder.empty());
    SdCardReader r;
    fs::rename(folder + "/1_p.kvb", folder + "/keep");
    QVERIFY(!r.open(folder, "p"));
    QVERIFY(QString::fromStdString(r.error()).contains("part 1"));
    // Part 1 of another record with other settings.
    {
        SdCardWriter w(1700);
        RecordHeader other = eegHeader();
        other.blockRate = 64;
        QVERIFY(w.open(dir.path().toStdString(), "other", "p", other));
        std::vector<double> v(other.valuesPerBlock());
        for (int i = 0; i < 8; ++i)
            QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size()));
        QVERIFY(w.close());
        fs::copy_file(w.recordFolder() + "/1_p.kvb", folder + "/1_p.kvb");
    }
    QVERIFY(!r.open(folder, "p"));
    QVERIFY(QString::fromStdString(r.error()).contains("another record"));
    QVERIFY(!r.open(folder, "nothing"));
    QVERIFY(!r.open(dir.path().toStdString() + "/no/such/folder", "p"));
}

QTEST_GUILESS_MAIN(TestSdCard)
#include "test_sdcard.moc"
