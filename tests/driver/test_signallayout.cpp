#include "SignalLayout.h"

#include <QtTest>

// Offsets, sizes and presence of every signal, written as "name@offset+size" (absent: "name-").
static QString describe(const SignalLayout& layout) {
    QStringList parts;
    for (const SignalSlot& s : layout.entries())
        parts << (s.present ? QString("%1@%2+%3").arg(s.name.c_str()).arg(s.offset).arg(s.size())
                            : QString("%1-").arg(s.name.c_str()));
    return parts.join(' ') + QString(" =%1").arg(layout.blockSize());
}

class TestSignalLayout : public QObject {
    Q_OBJECT
private slots:
    // Which signals a block holds and where: the SD card and signals whose mode is 0 take no room, an aux
    // input takes one row per IMU, and the EEG 64 pair is one 64-channel signal.
    void blockLayouts() {
        const struct {
            const char* what;
            std::vector<KvnSignal> list;
            const char* expected;
        } cases[] = {
            {"SD card on or off takes no room",
             {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}},
             "EEG@0+256 uSD- =256"},
            {"mode 0 is skipped, later offsets close up",
             {{"EEG", 8, 8, 8, 1}, {"BVP", 1, 1, 8, 0}, {"GSR", 1, 1, 1, 1}, {"COM", 9, 9, 3, 3}, {"HAP", 1, 1, 1, 1},
              {"uSD", 1, 1, 1, 0}},
             "EEG@0+64 BVP- GSR@64+1 COM@65+27 HAP@92+1 uSD- =93"},
            {"only the exact name is the SD card",
             {{"uSDx", 2, 2, 1, 1}, {"uSD", 1, 1, 1, 1}, {"ANC", 2, 2, 1, 1}},
             "uSDx@0+2 uSD- ANC@2+2 =4"},
            {"pair of 64 channels", {{"EEG", 64, 64, 8, 1}, {"uSD", 1, 1, 1, 0}}, "EEG@0+512 uSD- =512"},
            {"nothing on", {{"EEG", 8, 8, 8, 0}, {"uSD", 1, 1, 1, 1}}, "EEG- uSD- =0"},
        };
        for (const auto& c : cases)
            QVERIFY2(describe(SignalLayout(c.list)) == c.expected, c.what);
        QCOMPARE(SignalLayout().blockSize(), std::size_t(0));

        const SignalLayout b08(cases[1].list);
        QCOMPARE(b08.present().size(), std::size_t(4));
        QCOMPARE(b08.find(SignalKind::Aux)->index, std::size_t(3));
        QCOMPARE(b08.find("uSD")->kind, SignalKind::SdCard);
        QVERIFY(!b08.find("ANC") && !b08.find(SignalKind::Anchor));
    }

    // An aux input's rows are IMUs taken at the block's time; its units follow the inertial sensors.
    void kindsRatesAndUnits() {
        const std::pair<const char*, SignalKind> kinds[] = {
            {"EEG", SignalKind::Eeg},   {"COM2", SignalKind::Aux},    {"ANC", SignalKind::Anchor},
            {"uSD", SignalKind::SdCard}, {"HAP", SignalKind::Haptic}, {"IMU", SignalKind::Imu},
            {"DOUT", SignalKind::Digital}, {"DOU", SignalKind::Other}, {"", SignalKind::Other}};
        for (const auto& [name, kind] : kinds)
            QVERIFY2(signalKind(name) == kind, name);
        QCOMPARE(samplingRate("COM", 4, 32), 32u);
        QCOMPARE(samplingRate("EEG", 8, 32), 256u);

        const SignalLayout layout({{"COM", 9, 9, 2, 2}, {"ANC", 3, 3, 1, 1}, {"EEG", 1, 1, 1, 1}});
        QVERIFY(layout[0].oneSamplePerBlock() && !layout[2].oneSamplePerBlock());
        QStringList units;
        for (unsigned c = 0; c < 10; ++c) units << unitSymbol(layout[0].unit(c));
        for (unsigned c = 0; c < 3; ++c) units << unitSymbol(layout[1].unit(c));
        units << unitSymbol(layout[2].unit(0));
        QCOMPARE(units.join(','), QString("m/s2,m/s2,m/s2,deg/s,deg/s,deg/s,uT,uT,uT,,m,V,,uV"));
        QCOMPARE(QString(SignalLayout::imuAxis(4)) + SignalLayout::imuAxis(9), QString("GyroY"));
    }
};

QTEST_GUILESS_MAIN(TestSignalLayout)
#include "test_signallayout.moc"
