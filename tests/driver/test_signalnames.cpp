#include "SignalNames.h"

#include <QtTest>

class TestSignalNames : public QObject {
    Q_OBJECT
private slots:
    void displayNamesAndFileStems() {
        const std::pair<const char*, const char*> names[] = {
            {"EEG", "EEG"}, {"COM", "Aux"}, {"ANC", "Anchor"}, {"DOUT", "Digital out"}, {"XYZ", "XYZ"}, {"", ""}};
        for (const auto& [type, shown] : names)
            QCOMPARE(QString::fromStdString(decoder_output_type(type)), QString(shown));
        // File stems are unique and safe as file names.
        const std::vector<KvnSignal> list = {{"ANC", 2, 1, 1, 1},   {"IMU", 6, 1, 1, 1}, {"ANC", 2, 1, 1, 1},
                                             {"a/b c", 1, 1, 1, 1}, {"utc", 1, 1, 1, 1}, {"", 1, 1, 1, 1},
                                             {"ANC", 2, 1, 1, 0}};
        QStringList stems;
        for (std::size_t i = 0; i < list.size() + 1; ++i)
            stems << QString::fromStdString(niceNameAndSuffix("KVN-TRK-0031", list, i));
        QCOMPARE(stems, (QStringList{"ANC_1", "IMU", "ANC_2", "a_b_c", "signal_utc", "signal", "ANC_3", "signal7"}));
        // All stems at once (what the writer and the import dialog use) are the same stems.
        QStringList together;
        for (const std::string& stem : niceNamesAndSuffixes(list))
            together << QString::fromStdString(stem);
        QCOMPARE(together, stems.mid(0, int(list.size())));
        // The recorder names files from the full list, signalsInfo.json from the list without "uSD".
        const std::vector<KvnSignal> full = {{"EEG", 8, 0, 8, 1}, {"BVP", 1, 0, 8, 1}, {"uSD", 1, 0, 1, 1}};
        for (std::size_t i = 0; i < 2; ++i)
            QCOMPARE(niceNameAndSuffix("d", full, i), niceNameAndSuffix("other", {full[0], full[1]}, i));
    }
};

QTEST_GUILESS_MAIN(TestSignalNames)
#include "test_signalnames.moc"
