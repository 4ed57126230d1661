// Reading back, split and damaged records are tested through the importers (test_importer.cpp).
#include "SdCardFormat.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>

// RecordHeader has a field named like Qt's "signals" keyword.
#undef signals

using namespace sdcard;

namespace {

RecordHeader eegHeader(uint16_t blockRate = 32) {
    return {"HW3.0_FW2.1", blockRate, 65530,
            {{"EEG", 4, 4, 8, 1}, {"GSR", 1, 1, 1, 0}, {"COM", 9, 9, 2, 2}, {"uSD", 1, 1, 1, 1}},
            R"({"anchors":[[0,0,0],[1,0,0]]})"};
}

}  // namespace

class TestSdCard : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;
    const std::string card = tmp_.path().toStdString();

private slots:
    void writerRefusesBadNamesAndBlocks() {
        SdCardWriter w;
        QVERIFY(!w.open(card, "../outside", "x", eegHeader()) && !w.error().empty());
        QVERIFY(!w.open(card, "a/../../outside", "x", eegHeader()));
        QVERIFY(!w.open(card, "a", "", eegHeader()) && !w.open(card, "a", "x", eegHeader(0)));
        QVERIFY(w.open(card, "/abs/sub", "x.y/z", eegHeader()));  // no folder or extension smuggled in by a name
        QCOMPARE(QString::fromStdString(w.recordFolder() + "/" + w.recordName()), tmp_.path() + "/abs/sub/x_y_z");
        QVERIFY(w.close() && w.open(card, "viewer\\26-12-05\\.", "x", eegHeader()));  // the device's separators
        QCOMPARE(QString::fromStdString(w.recordFolder()), tmp_.path() + "/viewer/26-12-05");
        std::vector<double> v(eegHeader().valuesPerBlock() + 1);
        QVERIFY(!w.writeBlock(0, 0, 0, v.data(), v.size()) && !w.writeBlock(0, 0, 0, nullptr, v.size() - 1));
        QVERIFY(w.writeBlock(0, 0, 0, v.data(), v.size() - 1) && w.blocksWritten() == 1 && w.close());
        std::ofstream(card + "/plainfile") << "x";
        QVERIFY(!w.open(card + "/plainfile", "a", "x", eegHeader()) && !w.isOpen());
        QVERIFY(!w.writeBlock(0, 0, 0, nullptr, 0));
        // Nothing the reader would refuse is written: sizes no device has.
        for (const KvnSignal& s : {KvnSignal("EEG", 1025, 1025, 1, 1), KvnSignal("EEG", 1, 1, 4097, 1),
                                   KvnSignal("EEG", 1, 1, 4000, 1), KvnSignal("EEG", 1024, 1024, 64, 1)}) {
            RecordHeader h = eegHeader();
            h.signals = {s};
            QVERIFY2(!w.open(card, "limits", "x", h) && w.error().find("claims") != std::string::npos, w.error().c_str());
        }
    }

    void partsEndWithTheirContinuationWithinTheLimit() {
        // Every part but the last ends with a continuation block, and stays within the size limit with it.
        const uint64_t limit = 2000;
        SdCardWriter w(limit);
        QVERIFY(w.open(card, "split", "p", eegHeader()));
        std::vector<double> v(eegHeader().valuesPerBlock(), 1.5);
        for (int b = 0; b < 20; ++b)
            QVERIFY(w.writeBlock(uint16_t(b), 0, 0, v.data(), v.size()));
        QVERIFY(w.close() && w.parts() > 2);
        for (unsigned k = 0; k < w.parts(); ++k) {
            std::ifstream in(w.recordFolder() + "/" + partFileName(k, "p"), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), {});
            const bool last = k + 1 == w.parts();
            QVERIFY(bytes.size() <= limit);
            const std::string tail = bytes.substr(bytes.size() - BLOCK_OVERHEAD, 4);
            QCOMPARE(tail == std::string("\x0c\xb1\x15\x00", 4), !last);  // marker, then type 21
        }
    }
};

QTEST_GUILESS_MAIN(TestSdCard)
#include "test_sdcard.moc"
