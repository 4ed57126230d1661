#include "FakeDeviceModel.h"
#include "RecordingNames.h"
#include "StatusTexts.h"

#include <QJsonArray>
#include <QtTest>

#include <cmath>

class RecordingTextsTest : public QObject {
    Q_OBJECT
private slots:
    // Exact values first, then bit 0x0008, then bit 0x0100, then anything else.
    void flagPrecedence()
    {
        const std::pair<int, const char*> titles[] = {{0, ""}, {7, "EEG 64 error"}, {0x0108, "Biosensing error"},
            {0x0100, "Halvo error"}, {0x0010, "Undefined Error"}, {65535, "Biosensing error"}};
        for (const auto& [flag, title] : titles) QCOMPARE(flagMessage(flag).title, QString(title));
    }

    // Always one folder: a played-back record's path, separators and control characters in a device name.
    void hardDriveFolderIsOneFolder()
    {
        const QDateTime start(QDate(2026, 12, 5), QTime(8, 15, 0));
        QCOMPARE(hdRecordFolderName("/data/rec 1", start), QStringLiteral("rec 1-2026-12-05_08-15-00"));
        QCOMPARE(hdRecordFolderName("a\\b:c\nd", start), QStringLiteral("a_b_c_d-2026-12-05_08-15-00"));
        QCOMPARE(hdRecordFolderName("/data/..", start), QStringLiteral("record-2026-12-05_08-15-00"));
        QCOMPARE(sdCardPath("viewer\\26-12-05\\08-15-00\\.", "./r005"), QStringLiteral("viewer/26-12-05/08-15-00/r005"));
    }

    // Every signal but the SD card (wherever it stands) gets its own file, mode 0 too; an aux input's rate is the block rate; UTC comes last.
    void signalsInfoDescribesTheDevice()
    {
        FakeDeviceModel m;
        m.rate = 16;
        m.sigs = {{"EEG", 8, 8, 1}, {"uSD", 1, 1, 0}, {"BVP", 1, 8, 0}, {"COM", 9, 3, 3}};
        const QDateTime start(QDate(2026, 12, 5), QTime(8, 15, 0));
        QJsonObject info = signalsInfo(m, start, 2, true);
        QVERIFY(!info.contains("sd_card_path"));
        QStringList described;
        for (const auto& v : info.value("signals").toArray()) {
            const QJsonObject s = v.toObject();
            described << QString("%1 %2 %3x%4@%5").arg(s.value("type").toString(), s.value("filename").toString())
                             .arg(s.value("mode").toInt()).arg(s.value("samples_per_block").toInt())
                             .arg(s.value("sampling_rate").toInt());
        }
        QCOMPARE(described, (QStringList{"EEG EEG.csv 1x8@128", "BVP BVP.csv 0x8@128", "Aux COM.csv 3x3@16",
                                         "UTC UTC.csv 1x1@16"}));

        m.sigs[1].mode = 1;
        m.folderName = "viewer/26-12-05/08-15-00/.";
        m.fileName = "r005";
        m.readOnly = true;  // still a configurable class: the path depends on the SD card only
        info = signalsInfo(m, start, 0, false);
        QCOMPARE(info.value("sd_card_path").toString(), QStringLiteral("viewer/26-12-05/08-15-00/./r005"));
        QCOMPARE(info.value("signals").toArray().size(), 3);
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
