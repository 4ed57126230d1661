#include "SignalNames.h"

#include <QtTest>

class TestSignalNames : public QObject {
    Q_OBJECT
private slots:
    void displayNames();
    void fileStemsAreUniqueAndSafe();
    void stemsDoNotDependOnTheSdCardSignal();
};

void TestSignalNames::displayNames() {
    QCOMPARE(QString::fromStdString(decoder_output_type("EEG")), QString("EEG"));
    QCOMPARE(QString::fromStdString(decoder_output_type("COM")), QString("Aux"));
    QCOMPARE(QString::fromStdString(decoder_output_type("ANC")), QString("Anchor"));
    QCOMPARE(QString::fromStdString(decoder_output_type("DOUT")), QString("Digital out"));
    QCOMPARE(QString::fromStdString(decoder_output_type("XYZ")), QString("XYZ"));
    QCOMPARE(QString::fromStdString(decoder_output_type("")), QString(""));
}

void TestSignalNames::fileStemsAreUniqueAndSafe() {
    const std::vector<KvnSignal> list = {{"ANC", 2, 1, 1, 1}, {"IMU", 6, 1, 1, 1}, {"ANC", 2, 1, 1, 1},
                                         {"a/b c", 1, 1, 1, 1}, {"utc", 1, 1, 1, 1},  {"", 1, 1, 1, 1},
                                         {"ANC", 2, 1, 1, 0}};
    QStringList stems;
    for (std::size_t i = 0; i < list.size(); ++i)
        stems << QString::fromStdString(niceNameAndSuffix("KVN-TRK-0031", list, i));
    QCOMPARE(stems, (QStringList{"ANC_1", "IMU", "ANC_2", "a_b_c", "signal_utc", "signal", "ANC_3"}));
    QCOMPARE(QString::fromStdString(niceNameAndSuffix("x", list, 99)), QString("signal99"));
    QCOMPARE(QString::fromStdString(niceNameAndSuffix("x", {}, 0)), QString("signal0"));
}

void TestSignalNames::stemsDoNotDependOnTheSdCardSignal() {
    // The recorder names files from the full list; signalsInfo.json from the list without "uSD".
    const std::vector<KvnSignal> full = {{"EEG", 8, 0, 8, 1}, {"BVP", 1, 0, 8, 1}, {"uSD", 1, 0, 1, 1}};
    const std::vector<KvnSignal> shown = {full[0], full[1]};
    for (std::size_t i = 0; i < shown.size(); ++i)
        QCOMPARE(niceNameAndSuffix("d", full, i), niceNameAndSuffix("other", shown, i));
}

QTEST_GUILESS_MAIN(TestSignalNames)
#include "test_signalnames.moc"
