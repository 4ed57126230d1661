#include "SignalLayout.h"
#include "SignalNames.h"

#include <QtTest>

class TestSignalLayout : public QObject {
    Q_OBJECT
private slots:
    // Which signals a block holds and where: the SD card and signals whose mode is 0 take no room, an aux
    // input takes one row per IMU. Written as "name@offset+size" (absent: "name-") and "=block size".
    void blockLayouts() {
        const struct {
            std::vector<KvnSignal> list;
            const char* expected;
        } cases[] = {
            {{{"EEG", 8, 8, 8, 1}, {"BVP", 1, 1, 8, 0}, {"GSR", 1, 1, 1, 1}, {"COM", 9, 9, 3, 3}, {"HAP", 1, 1, 1, 1},
              {"uSD", 1, 1, 1, 0}},
             "EEG@0+64 BVP- GSR@64+1 COM@65+27 HAP@92+1 uSD- =93"},
            {{{"uSDx", 2, 2, 1, 1}, {"uSD", 1, 1, 1, 1}, {"ANC", 2, 2, 1, 1}}, "uSDx@0+2 uSD- ANC@2+2 =4"},
            {{{"EEG", 8, 8, 8, 0}, {"uSD", 1, 1, 1, 1}}, "EEG- uSD- =0"},
        };
        for (const auto& c : cases) {
            const SignalLayout layout(c.list);
            QStringList parts;
            for (const SignalSlot& s : layout.entries())
                parts << (s.present ? QString("%1@%2+%3").arg(s.name.c_str()).arg(s.offset).arg(s.size())
                                    : QString("%1-").arg(s.name.c_str()));
            QCOMPARE(parts.join(' ') + QString(" =%1").arg(layout.blockSize()), QString(c.expected));
        }
    }

    // File stems are unique, safe as file names and never the time-stamp file's; the card's switch takes no name.
    void fileStems() {
        const std::vector<KvnSignal> list = {{"ANC", 2, 1, 1, 1}, {"ANC", 2, 1, 1, 1}, {"a/b c", 1, 1, 1, 1},
                                             {"utc", 1, 1, 1, 1}, {"", 1, 1, 1, 1},    {"ANC", 2, 1, 1, 0}};
        QStringList stems;
        for (const std::string& stem : niceNamesAndSuffixes(list)) stems << QString::fromStdString(stem);
        QCOMPARE(stems, (QStringList{"ANC_1", "ANC_2", "a_b_c", "signal_utc", "signal", "ANC_3"}));
        const std::vector<KvnSignal> full = {{"EEG", 8, 0, 8, 1}, {"BVP", 1, 0, 8, 1}, {"uSD", 1, 0, 1, 1}};
        for (std::size_t i = 0; i < 2; ++i)
            QCOMPARE(niceNameAndSuffix("d", full, i), niceNameAndSuffix("other", {full[0], full[1]}, i));
    }
};

QTEST_GUILESS_MAIN(TestSignalLayout)
#include "test_signallayout.moc"
