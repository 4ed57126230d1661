#include "FakeDeviceModel.h"
#include "RecordingNames.h"
#include "StatusTexts.h"

#include <QJsonArray>
#include <QtTest>

#include <cmath>

class RecordingTextsTest : public QObject {
    Q_OBJECT
private slots:
    void flagsTable()
    {
        QCOMPARE(flagMessage(0).title, QString());
        QCOMPARE(flagMessage(1).shortMessage, QStringLiteral("Adquisiton error: SD card removed"));
        QCOMPARE(flagMessage(1).longMessage,
                 QStringLiteral("The SD card was removed. The adquisition is still working, but no recording will take place."));
        QCOMPARE(flagMessage(6).longMessage,
                 QStringLiteral("Unable to write to te SD card. Verify that there is enough space. The adquisition is "
                                "still working, but no recording will take place."));
        QCOMPARE(flagMessage(7).title, QStringLiteral("EEG 64 error"));
        QCOMPARE(flagMessage(7).shortMessage, QStringLiteral("Adquisiton error: Data not synchronized"));
        // Exact values first, then bit 0x0008, then bit 0x0100, then anything else.
        QCOMPARE(flagMessage(9).title, QStringLiteral("Biosensing error"));
        QCOMPARE(flagMessage(0x0108).title, QStringLiteral("Biosensing error"));
        QCOMPARE(flagMessage(0x0100).title, QStringLiteral("Halvo error"));
        QCOMPARE(flagMessage(0x0010).title, QStringLiteral("Undefined Error"));
        QCOMPARE(flagMessage(0x0010).shortMessage, QStringLiteral("Adquisiton error"));
        QCOMPARE(flagMessage(65535).title, QStringLiteral("Biosensing error"));
    }

    void batteryAndDurations()
    {
        QCOMPARE(batteryText(-1), QStringLiteral("Battery: charging"));
        QCOMPARE(batteryText(-2), QStringLiteral("Battery: ? %"));
        QCOMPARE(batteryText(0), QStringLiteral("Battery: 0 - 20 %"));
        QCOMPARE(batteryText(2), QStringLiteral("Battery: 40 - 60 %"));
        QCOMPARE(batteryText(4), QStringLiteral("Battery: 80 - 100 %"));
        QCOMPARE(batteryText(5), QStringLiteral("Battery: 100%"));
        QCOMPARE(formatDuration(0), QStringLiteral("00 s"));
        QCOMPARE(formatDuration(5), QStringLiteral("05 s"));
        QCOMPARE(formatDuration(65), QStringLiteral("01 m 05 s"));
        QCOMPARE(formatDuration(120), QStringLiteral("02 m 00 s"));
        QCOMPARE(formatDuration(3725), QStringLiteral("01 h 02 m 05 s"));
        QCOMPARE(formatDuration(3600), QStringLiteral("01 h 00 m 00 s"));
        QCOMPARE(formatDuration(360000), QStringLiteral("100 h 00 m 00 s"));
    }

    void recordNames()
    {
        const QDateTime start(QDate(2026, 12, 5), QTime(8, 15, 0));
        QCOMPARE(hdRecordFolderName("X1", start), QStringLiteral("X1-2026-12-05_08-15-00"));
        // Always one folder: a played-back record's path, separators and control characters in a device name.
        QCOMPARE(hdRecordFolderName("/data/rec 1", start), QStringLiteral("rec 1-2026-12-05_08-15-00"));
        QCOMPARE(hdRecordFolderName("a\\b:c\nd", start), QStringLiteral("a_b_c_d-2026-12-05_08-15-00"));
        QCOMPARE(hdRecordFolderName("/data/..", start), QStringLiteral("record-2026-12-05_08-15-00"));
        QCOMPARE(sdFolderName(start, "r005"), QStringLiteral("viewer/26-12-05/08-15-00/."));
        QCOMPARE(sdFileName("r005"), QStringLiteral("r005"));
        QCOMPARE(sdFolderName(start, "sub/r005"), QStringLiteral("viewer/26-12-05/08-15-00/sub"));
        QCOMPARE(sdFileName("sub/r005"), QStringLiteral("r005"));
        // The refresh shows what the user typed again.
        QCOMPARE(sdInputText(sdFolderName(start, "sub/r005"), "r005"), QStringLiteral("sub/r005"));
        QCOMPARE(sdInputText(sdFolderName(start, "r005"), "r005"), QStringLiteral("r005"));
        QCOMPARE(sdInputText("mine", "r1"), QStringLiteral("mine/r1"));
        QCOMPARE(sdInputText("", ""), QString());
        QCOMPARE(sdCardPath("viewer\\26-12-05\\08-15-00\\.", "./r005"), QStringLiteral("viewer/26-12-05/08-15-00/r005"));
        QCOMPARE(sdCardPath(".", "r"), QStringLiteral("./r"));
        QCOMPARE(sdCardPath("", ""), QStringLiteral("/"));
    }

    void signalsInfoDescribesTheDevice()
    {
        FakeDeviceModel m;
        m.name = "KVN-B08-2201";
        m.rate = 16;
        m.sigs = {{"EEG", 8, 8, 1}, {"BVP", 1, 8, 0}, {"COM", 9, 3, 3}, {"uSD", 1, 1, 0}};
        const QDateTime start(QDate(2026, 12, 5), QTime(8, 15, 0));
        QJsonObject info = signalsInfo(m, start, 2, true);
        QCOMPARE(info.value("device").toString(), QStringLiteral("KVN-B08-2201"));
        QCOMPARE(info.value("record_date").toString(), start.toString(Qt::TextDate));
        QCOMPARE(info.value("eeg_sensor_type").toString(), QStringLiteral("Water"));
        QVERIFY(!info.contains("sd_card_path"));  // SD card off
        const QJsonArray sigs = info.value("signals").toArray();
        QCOMPARE(sigs.size(), 4);  // EEG, BVP (mode 0 included), COM, then UTC; no uSD
        QCOMPARE(sigs[0].toObject().value("sampling_rate").toInt(), 128);
        QCOMPARE(sigs[0].toObject().value("samples_per_block").toInt(), 8);
        QCOMPARE(sigs[1].toObject().value("mode").toInt(), 0);
        QCOMPARE(sigs[2].toObject().value("sampling_rate").toInt(), 16);
        QCOMPARE(sigs[2].toObject().value("samples_per_block").toInt(), 3);
        const QJsonObject utc = sigs[3].toObject();
        QCOMPARE(utc.value("type").toString(), QStringLiteral("UTC"));
        QCOMPARE(utc.value("filename").toString(), QStringLiteral("UTC.csv"));
        QCOMPARE(utc.value("sampling_rate").toInt(), 16);
        QStringList files;
        for (const auto& s : sigs) files << s.toObject().value("filename").toString();
        QCOMPARE(files.removeDuplicates(), 0);
        for (const QString& f : files) QVERIFY(f.endsWith(".csv"));

        m.sigs[3].mode = 1;
        m.folderName = "viewer/26-12-05/08-15-00/.";
        m.fileName = "r005";
        info = signalsInfo(m, start, 0, false);
        QCOMPARE(info.value("sd_card_path").toString(), QStringLiteral("viewer/26-12-05/08-15-00/./r005"));
        QCOMPARE(info.value("eeg_sensor_type").toString(), QStringLiteral("Unknown"));
        QCOMPARE(info.value("signals").toArray().size(), 3);
        m.readOnly = true;  // still configurable class: the path depends on the SD card only
        QVERIFY(signalsInfo(m, start, 0, false).contains("sd_card_path"));
    }

    // Gaps by sequence number: a wrap past 65535 is no gap, a gap across it is one, and the UTC stamps tell how
    // many times the sequence wrapped during a long one.
    void gapsFromSequenceAndClock()
    {
        struct Case {
            const char* what;
            std::vector<std::pair<int, int64_t>> blocks;  // sequence, utc in ms
            std::vector<RecordGaps::Gap> expected;
        };
        const int64_t s = 1000;  // ms
        const Case cases[] = {
            {"no gap, wrapping", {{65534, 0}, {65535, 16}, {0, 31}, {1, 47}}, {}},
            {"three lost", {{10, 1 * s}, {11, 1 * s + 16}, {15, 1 * s + 78}}, {{12, 14, 3, 2, 0.0465}}},
            {"across the wrap", {{65534, s}, {1, s + 47}}, {{65535, 0, 2, 1, 0.03175}}},
            {"two in a row", {{1, s}, {3, s + 31}, {4, s + 47}, {9, s + 125}},
             {{2, 2, 1, 1, 0.01475}, {5, 8, 4, 3, 0.06225}}},
            // 65536 + 2 blocks lost: the sequence alone would say 2.
            {"longer than a wrap", {{100, s}, {103, s + (65539 * 125) / 8}}, {{101, 102, 65538, 1, 1024.03125}}},
        };
        for (const Case& c : cases) {
            RecordGaps gaps;
            gaps.reset(64);
            for (const auto& [seq, ms] : c.blocks) gaps.add(uint16_t(seq), (ms + 1000000) * 1000);
            QCOMPARE(gaps.gaps().size(), c.expected.size());
            for (std::size_t k = 0; k < c.expected.size(); ++k) {
                const RecordGaps::Gap& got = gaps.gaps()[k];
                const RecordGaps::Gap& want = c.expected[k];
                QVERIFY2(got.firstSequence == want.firstSequence && got.lastSequence == want.lastSequence &&
                             got.missingBlocks == want.missingBlocks && got.beforeBlock == want.beforeBlock,
                         c.what);
                QVERIFY2(std::fabs(got.seconds - want.seconds) < 1e-3, qPrintable(QString("%1: %2 s").arg(c.what).arg(got.seconds)));
            }
            QCOMPARE(gaps.toJson().size(), int(c.expected.size()));
        }
    }
};

QTEST_GUILESS_MAIN(RecordingTextsTest)
#include "test_recordingtexts.moc"
