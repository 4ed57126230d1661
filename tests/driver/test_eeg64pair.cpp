// What the live EEG 64 pair and the import of its cards share: the merge of the halves' battery and flags, and
// the names of the halves' records, including the restarts written by earlier versions.

#include "Battery.h"
#include "Eeg64Pair.h"
#include "Importer.h"
#include "SdCardFormat.h"

#include <QTemporaryDir>
#include <QtTest>

// RecordHeader has a field named like Qt's "signals" keyword.
#undef signals

namespace {

constexpr int16_t C = Battery::CHARGING, U = Battery::UNKNOWN;

// One half's record of `blocks` blocks from `firstSeq`; each value tells the record (`tag`) and the block.
bool writeHalf(const std::string& card, const std::string& name, uint16_t firstSeq, int blocks, int tag) {
    const std::vector<KvnSignal> half = {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}};
    sdcard::RecordHeader h{"HW3.0_FW2.1", 32, firstSeq, half, {}};
    sdcard::SdCardWriter w;
    if (!w.open(card, ".", name, h))
        return false;
    std::vector<double> values(h.valuesPerBlock());
    for (int b = 0; b < blocks; ++b) {
        std::fill(values.begin(), values.end(), tag * 1000.0 + b);
        w.writeBlock(static_cast<uint16_t>(firstSeq + b), 3, 0, values.data(), values.size());
    }
    return w.close();
}

}  // namespace

class TestEeg64Pair : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;

private slots:
    void mergeStatusTable() {
        const struct {
            int16_t lb;
            uint16_t lf;
            int16_t rb;
            uint16_t rf;
            int16_t battery;
            uint16_t flags;
        } cases[] = {
            {3, 0, 5, 0, 3, 0},          // two levels: the lower
            {0, 1, 5, 2, 0, 3},          //
            {C, 0, 4, 0, 4, 0},          // a level beats charging ...
            {U, 0, 1, 0, 1, 0},          // ... and unknown
            {C, 2, U, 4, C, 6},          // charging beats unknown
            {C, 0, C, 0, C, 0},          //
            {U, 0, U, 0, U, 0},          //
            {9, 0, -7, 0, U, 0},         // not a level nor charging: unknown
            {9, 0, 2, 0, 2, 0},          //
            {2, 5, 2, 6, 2, 6},          // two SD card errors that would OR to "not synchronised"
            {2, 3, 2, 4, 2, 4},          //
            {2, 7, 2, 0, 2, 7},          // a half that is not synchronised itself
            {2, 0x100, 2, 0x8, 2, 0x108},
        };
        for (const auto& c : cases) {
            const QByteArray row = QByteArray::number(int(&c - cases));
            for (bool swapped : {false, true}) {  // the rule has no favourite side
                const eeg64::Status s = swapped ? eeg64::mergeStatus(c.rb, c.rf, c.lb, c.lf)
                                                : eeg64::mergeStatus(c.lb, c.lf, c.rb, c.rf);
                QVERIFY2(s.battery == c.battery && s.flags == c.flags,
                         row + ": " + QByteArray::number(s.battery) + " " + QByteArray::number(s.flags));
            }
        }
    }

    void restartNames() {
        const std::pair<const char*, const char*> suffixes[] = {
            {"rec_0", "_0"}, {"rec_12", "_12"}, {"rec", ""}, {"rec_", ""}, {"rec_1x", ""}, {"recl_0", ""},
            {"rec_123456789012345678", "_123456789012345678"}, {"rec_1234567890123456789", ""}, {"rec_1_2", ""}};
        for (const auto& [name, suffix] : suffixes)
            QCOMPARE(QString::fromStdString(eeg64::restartSuffix(name, "rec")), QString(suffix));
        QCOMPARE(eeg64::restartSuffix("a_1_2", "a_1"), std::string("_2"));
        QCOMPARE(eeg64::restartSuffix("rec_0", "re"), std::string());

        QCOMPARE(eeg64::halfName("rec", 'l', "_0"), std::string("recl_0"));
        QCOMPARE(eeg64::halfName("rec_5", 'r'), std::string("rec_5r"));
        QCOMPARE(importer::basename(eeg64::halfName("rec", 'r', "_3")), std::string("recr"));

        const std::pair<const char*, const char*> pairs[] = {
            {"recl_0", "rec_0"}, {"recl", "rec"}, {"rec_0l", "rec_0"}, {"recr_3", "recr_3"},
            {"rec", "rec"},      {"l", ""},       {"l_2", "_2"},       {"", ""}};
        for (const auto& [half, pair] : pairs)
            QCOMPARE(QString::fromStdString(eeg64::pairName(half, 'l')), QString(pair));
    }

    // A card may hold restarts named by earlier versions ("q_0l"): they join the record in their place; when a
    // restart is there under both names, the documented one is read.
    void importerReadsBothRestartNames() {
        const std::string d = tmp_.path().toStdString();
        int tag = 0;
        for (const char* name : {"ql", "qr", "q_0l", "q_0r", "ql_1", "qr_1", "q_2l", "ql_2", "qr_2"})
            QVERIFY(writeHalf(d, name, 10, 3, ++tag));
        QVERIFY(writeHalf(d, "q_xl", 10, 3, 99) && writeHalf(d, "qq_3l", 10, 3, 99));  // strangers
        Eeg64Importer imp(d, d, "q");
        QVERIFY2(imp.isValid(), imp.error().c_str());
        QCOMPARE(imp.pieces(), std::size_t(4));
        std::vector<std::pair<double, double>> seen;  // per block: the left's and the right's first value
        imp.addCallback([&seen](const BaseImporter::Block& b) {
            seen.emplace_back(b.values[0], b.values[32]);
            return true;
        });
        QVERIFY2(imp.import(false), imp.error().c_str());
        std::vector<std::pair<double, double>> expected;
        const std::pair<int, int> tags[] = {{1, 2}, {3, 4}, {5, 6}, {8, 9}};  // "q_2l" (7) gives way to "ql_2"
        for (const auto& [l, r] : tags)
            for (int b = 0; b < 3; ++b)
                expected.emplace_back(l * 1000.0 + b, r * 1000.0 + b);
        QCOMPARE(seen, expected);
    }
};

QTEST_GUILESS_MAIN(TestEeg64Pair)
#include "test_eeg64pair.moc"
