// The whole acquisition path driven as a user would: Connect through the wizard, Start with the hard-drive
// record and LSL on, Stop; then the record folder is checked against what the window received.

#include "CsvReader.h"
#include "WindowSession.h"
#include "LslSession.h"
#include "Simulation.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QWizard>
#include <QtTest>

using namespace e2e;

namespace {

QString onlySubfolder(const QString& parent)
{
    const QStringList entries = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return entries.size() == 1 ? QDir(parent).filePath(entries.first()) : QString();
}

// Every block the window received and accepted, in order, from the record on disk.
void compareRecord(const QString& folder, const std::vector<Block>& received, bool skipFlags7)
{
    CsvReader reader;
    QVERIFY2(reader.open(folder.toStdString()), reader.error().c_str());
    QVERIFY(reader.start());
    std::size_t k = 0;
    while (true) {
        Frame f = reader.read();
        if (f.isEnd()) break;
        while (k < received.size() && skipFlags7 && received[k].flags == 7) ++k;
        QVERIFY2(k < received.size(), "the record holds more blocks than the window received");
        const Block& b = received[k++];
        QCOMPARE(int(f.sequence), b.seq);
        QCOMPARE(f.battery, b.battery);
        QCOMPARE(f.flags, b.flags);
        std::vector<double> values;
        for (const DataBlock& d : f.blocks) values.insert(values.end(), d.data(), d.data() + d.rows() * d.cols());
        QCOMPARE(values.size(), b.data.size());
        QVERIFY(values == b.data);
    }
    while (k < received.size() && skipFlags7 && received[k].flags == 7) ++k;
    QVERIFY2(received.size() == k, qPrintable(QString("%1 blocks missing").arg(received.size() - k)));
}

}  // namespace

class AcquisitionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(useOwnLslSession()); }

    void init()
    {
        QVERIFY(sdDir.isValid());
        resetSimulation(sdDir.path());
    }

    void headsetRecordsEveryBlock()
    {
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-A32-0412L"));
        QCOMPARE(s.sensorQuestions, 1);
        QCOMPARE(s.window->findChild<QGroupBox*>()->title(),
                 QStringLiteral("KVN-A32-0412L - HW3.0_FW2.1 - EEG sensors: Water"));
        QCheckBox* sd = byText<QCheckBox>(*s.window, "SD card record");
        QVERIFY(sd->isEnabled() && !sd->isChecked());

        QTemporaryDir records;
        s.enableHardDrive(records.path());
        s.start();
        QVERIFY(!byText<QPushButton>(*s.window, "Start")->isEnabled());
        QVERIFY(byText<QPushButton>(*s.window, "Stop")->isEnabled());
        QVERIFY(s.waitBlocks(200, 30000));
        s.stop();
        QCOMPARE(s.statusText(), QStringLiteral("Data acquisition stopped"));

        const QString folder = onlySubfolder(records.path());
        QVERIFY(QFileInfo(folder).fileName().startsWith("KVN-A32-0412L-20"));
        QFile json(folder + "/signalsInfo.json");
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonObject info = QJsonDocument::fromJson(json.readAll()).object();
        QCOMPARE(info.value("device").toString(), QStringLiteral("KVN-A32-0412L"));
        QCOMPARE(info.value("eeg_sensor_type").toString(), QStringLiteral("Water"));
        const QJsonArray sigs = info.value("signals").toArray();
        QCOMPARE(sigs.size(), 2);
        QCOMPARE(sigs[0].toObject().value("channels").toInt(), 32);
        QCOMPARE(sigs[0].toObject().value("sampling_rate").toInt(), 256);
        for (const auto& sig : sigs)
            QVERIFY2(QFile::exists(folder + "/" + sig.toObject().value("filename").toString()),
                     qPrintable(sig.toObject().value("filename").toString()));

        // Sequence numbers run on without a gap or a repeat, and the closed record says so.
        for (std::size_t i = 1; i < s.received.size(); ++i)
            QCOMPARE((s.received[i - 1].seq + 1) % 65536, s.received[i].seq);
        compareRecord(folder, s.received, false);
        QFile closed(folder + "/signalsInfo.json");
        QVERIFY(closed.open(QIODevice::ReadOnly));
        const QJsonObject finished = QJsonDocument::fromJson(closed.readAll()).object();
        QVERIFY(finished.value("gaps").isArray() && finished.value("gaps").toArray().isEmpty());
        QVERIFY(finished.value("gap_detection").toString().contains("sequence"));
        // The CSV description names the device and its sensors, not the folder.
        CsvReader reader;
        QVERIFY(reader.open(folder.toStdString()));
        QCOMPARE(QString::fromStdString(reader.deviceName()), QStringLiteral("KVN-A32-0412L"));
        QCOMPARE(reader.sensorType(), 2);
    }

    void linkDropIsRecoveredWithoutLosingTheRecord()
    {
        sim::Faults faults;
        faults.dropAfterBlocks = 60;
        faults.dropSeconds = 1.0;
        sim::setFaults("KVN-B08-2201", faults);
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-B08-2201"));
        QTemporaryDir records;
        s.enableHardDrive(records.path());
        s.start();
        bool lost = false;
        QVERIFY(QTest::qWaitFor([&] {
            if (qEnvironmentVariableIsSet("KVN_TRACE")) qDebug() << s.received.size() << s.statusText();
            lost |= s.statusText().startsWith("Connection lost");
            return lost && s.received.size() >= 160;
        }, 60000));
        s.stop();
        QVERIFY(lost);
        const QString folder = onlySubfolder(records.path());
        compareRecord(folder, s.received, false);
        // The device's own sequence numbers go on after the drop; none repeats. Every jump is a gap that the
        // closed record lists with the sequence numbers it lacks.
        QJsonArray jumps;
        for (std::size_t i = 1; i < s.received.size(); ++i) {
            QVERIFY(s.received[i].seq != s.received[i - 1].seq);
            const int missing = (s.received[i].seq - s.received[i - 1].seq - 1 + 65536) % 65536;
            if (missing == 0) continue;
            QJsonObject gap;
            gap.insert("first_sequence", (s.received[i - 1].seq + 1) % 65536);
            gap.insert("last_sequence", (s.received[i].seq + 65535) % 65536);
            gap.insert("missing_blocks", missing);
            gap.insert("blocks_before", int(i));
            jumps.append(gap);
        }
        QVERIFY2(!jumps.isEmpty(), "the link drop lost no block");
        QFile json(folder + "/signalsInfo.json");
        QVERIFY(json.open(QIODevice::ReadOnly));
        QJsonArray listed = QJsonDocument::fromJson(json.readAll()).object().value("gaps").toArray();
        for (int k = 0; k < listed.size(); ++k) {
            QJsonObject gap = listed[k].toObject();
            // The link was down for a while, not for minutes.
            QVERIFY2(gap.value("seconds").toDouble() > 0 && gap.value("seconds").toDouble() < 60,
                     qPrintable(QString::number(gap.value("seconds").toDouble())));
            gap.remove("seconds");
            listed[k] = gap;
        }
        QCOMPARE(listed, jumps);
    }

    void eeg64PairShowsButDoesNotRecordUnsynchronisedBlocks()
    {
        Session s;
        QVERIFY(s.connectTo("EEG 64", QString()));
        QCOMPARE(s.sensorQuestions, 0);  // the pair is water
        QVERIFY(s.window->findChild<QGroupBox*>()->title().endsWith(" - EEG sensors: Water"));
        QTemporaryDir records;
        s.enableHardDrive(records.path());
        s.start();
        QVERIFY(s.waitBlocks(120, 60000));
        s.stop();
        const bool sawFlags7 = std::any_of(s.received.begin(), s.received.end(), [](const Block& b) { return b.flags == 7; });
        QVERIFY(sawFlags7);
        QCOMPARE(s.received.front().data.size(), std::size_t(64 * 8));
        compareRecord(onlySubfolder(records.path()), s.received, true);
    }

    // An independent consumer sees one stream per active signal, with the values the window received, and
    // the streams go at Stop and come back with the same names at the next Start.
    void lslStreamsFollowStartAndStop()
    {
        const QString python = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/.venv/bin/python";
        if (!QFile::exists(python)) QSKIP("the test Python environment is missing");
        sim::setTimeScale(1.0);
        Session s;
        QVERIFY(s.connectTo("Usb", "COM3"));
        byText<QCheckBox>(*s.window, "Enable LSL server")->setChecked(true);

        for (int round = 0; round < 2; ++round) {
            s.received.clear();
            s.start();
            QProcess consumer;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("PYLSL_LIB", qEnvironmentVariable("KVN_LSL_LIBRARY"));
            consumer.setProcessEnvironment(env);
            consumer.start(python, {QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/tests/tools/lsl_consumer.py",
                                    "KVN-B08-3003_", "4", "64", "40"});
            // The window must go on receiving blocks while the consumer listens.
            QVERIFY(QTest::qWaitFor([&] { return consumer.state() == QProcess::NotRunning; }, 60000));
            s.stop();
            // After Stop the streams are gone from the network.
            QProcess after;
            after.setProcessEnvironment(env);
            after.start(python, {QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/tests/tools/lsl_consumer.py",
                                 "KVN-B08-3003_", "1", "0", "3"});
            QVERIFY(after.waitForFinished(30000));
            QVERIFY2(after.readAllStandardOutput().contains("{\"streams\": []}"), "streams outlived Stop");
            const QByteArray out = consumer.readAllStandardOutput();
            const QJsonArray streams =
                QJsonDocument::fromJson(out.mid(out.indexOf("READY") + 5).trimmed()).object().value("streams").toArray();
            QStringList names;
            for (const auto& st : streams) names << st.toObject().value("name").toString();
            // EEG, BVP, GSR and HAP are on; COM has nothing plugged in (mode 0) and uSD is never streamed.
            QVERIFY2(names.contains("KVN-B08-3003_EEG_0"), qPrintable(names.join(",")));
            QVERIFY(names.contains("KVN-B08-3003_BVP_1"));
            QVERIFY(names.contains("KVN-B08-3003_GSR_2"));
            QVERIFY(!names.contains("KVN-B08-3003_COM_3"));
            for (const auto& st : streams) {
                const QJsonObject o = st.toObject();
                QCOMPARE(o.value("source_id").toString(), o.value("name").toString());
                if (o.value("name").toString().endsWith("_EEG_0")) {
                    QCOMPARE(o.value("type").toString(), QStringLiteral("EEG"));
                    QCOMPARE(o.value("channels").toInt(), 8);
                    QCOMPARE(o.value("rate").toDouble(), 256.0);
                    // Every sample the consumer saw is one the window received, as float32.
                    const QJsonArray samples = o.value("samples").toArray();
                    QVERIFY2(samples.size() > 0, out.constData());
                    const QJsonArray first = samples[0].toArray();
                    bool found = false;
                    for (const Block& b : s.received)
                        for (int smp = 0; smp < 8 && !found; ++smp) {
                            bool same = true;
                            for (int c = 0; c < 8; ++c) same &= float(b.data[smp * 8 + c]) == float(first[c].toDouble());
                            found = same;
                        }
                    QVERIFY(found);
                }
            }
        }
    }

private:
    QTemporaryDir sdDir;
};

QTEST_MAIN(AcquisitionTest)
#include "test_acquisition.moc"
