// An LSL stream of the network as the window's device, set up by a configuration file: the hard-drive record
// holds exactly what the source pushed, the program's own re-published stream carries the same samples, a
// source that dies is reconnected with the gap in the record, and streams that cannot be shown are refused.

#include "CsvReader.h"
#include "LslPublisher.h"
#include "LslSession.h"
#include "SigViewerRt.h"
#include "WindowSession.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <map>

using namespace e2e;

namespace {
struct RecordedRow {
    long sequence = 0;
    long long timestamp = 0;
    std::vector<double> values;
};

// Every row of every signal of the only record under `parent`, with its sequence number and time stamp.
std::map<std::string, std::vector<RecordedRow>> recordRows(const QString& parent)
{
    std::map<std::string, std::vector<RecordedRow>> out;
    const QString folder = onlySubfolder(parent);
    if (folder.isEmpty()) return out;
    for (const QString& file : QDir(folder).entryList({"*.csv"}, QDir::Files)) {
        if (file == "UTC.csv" || file == "signalsInfo.csv") continue;
        QFile f(folder + "/" + file);
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QList<QByteArray> header = f.readLine().trimmed().split(',');
        if (header.size() < 7 || header[1] != "sequence" || header[4] != "timestamp") continue;
        auto& rows = out[QFileInfo(file).completeBaseName().toStdString()];
        while (!f.atEnd()) {
            const QByteArray line = f.readLine();
            if (!line.endsWith('\n')) break;
            const QList<QByteArray> fields = line.trimmed().split(',');
            RecordedRow r;
            r.sequence = fields[1].toLong();
            r.timestamp = fields[4].toLongLong();
            for (int i = 6; i < fields.size(); ++i) r.values.push_back(fields[i].toDouble());
            rows.push_back(std::move(r));
        }
    }
    return out;
}

QString writeConfig(const QTemporaryDir& dir, const QString& name, const QByteArray& json)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(json);
    return path;
}

}  // namespace

class LslDeviceWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(useOwnLslSession()); }

    void recordAndStreamEqualTheSource()
    {
        if (!LslPublisher::usable()) QSKIP("the test Python environment is missing");
        QTemporaryDir dir, records, pushed;
        LslPublisher source;
        QVERIFY(source.start("device", "e2eA_", pushed.path()));
        const QByteArray json = "{\"connection\": {\"type\": \"lsl\", \"properties\": {\"source_id\": \"e2eA_src\"}},"
                                " \"sensors\": \"dry\", \"lsl\": true, \"autostart\": true, \"harddrive\": \"" +
                                QFile::encodeName(records.path()) + "\"}";
        const QString config = writeConfig(dir, "lsl.json", json);

        Session s;
        ModalAnswerer* boxes = ModalAnswerer::pressing(QMessageBox::Ok, &s.context);
        s.recording = true;
        s.window->configure(QFile::encodeName(config).constData());
        QVERIFY(QTest::qWaitFor([&] { return byText<QPushButton>(*s.window, "Stop") &&
                                             byText<QPushButton>(*s.window, "Stop")->isEnabled(); }, 60000));
        QVERIFY2(boxes->texts.isEmpty(), qPrintable(boxes->texts.join("; ")));
        // The source's channel names on the EEG viewer; the accelerometer's X, Y, Z on its own.
        QStringList shown;
        for (const auto* viewer : s.window->findChildren<Vesk::SigViewerRt*>())
            shown << viewer->config().channelNames.mid(0, 2);
        QVERIFY2(shown.contains("Fp1") && shown.contains("Fp2") && shown.contains("X"), qPrintable(shown.join(" ")));

        // The program's own streams, read by an independent consumer while the record runs.
        QProcess consumer;
        consumer.start(LslPublisher::python(), {qEnvironmentVariable("KVN_SOURCE_DIR") + "/tests/tools/lsl_consumer.py",
                                                "e2eA_EEG_", "2", "2500", "90"});
        QVERIFY(QTest::qWaitFor([&] { return consumer.state() == QProcess::NotRunning; }, 120000));
        const QByteArray out = consumer.readAllStandardOutput();
        // 10 s at 25 blocks per second; KVN_LSL_RECORD_SECONDS makes it longer for a run by hand.
        const int seconds = std::max(10, qEnvironmentVariableIntValue("KVN_LSL_RECORD_SECONDS"));
        QVERIFY(s.waitBlocks(std::size_t(seconds) * 25, 60000 + seconds * 2000));

        // The source dies and comes back: the window says so and carries on.
        source.kill();
        QVERIFY(QTest::qWaitFor([&] { return s.statusText() == "Connection lost. Trying to reconnect"; },
                                60000));
        const std::size_t before = s.received.size();
        QVERIFY(source.start("device", "e2eA_", pushed.path(), 1000000));
        QVERIFY(QTest::qWaitFor([&] { return s.received.size() >= before + 50; }, 90000));
        QVERIFY(s.received.back().data[0] >= 1000000);
        s.stop();
        source.kill();

        const auto eeg = LslPublisher::byIndex(LslPublisher::pushedRows(pushed.path(), "e2eA_EEG"));
        const auto acc = LslPublisher::byIndex(LslPublisher::pushedRows(pushed.path(), "e2eA_Acc"));
        const auto rows = recordRows(records.path());
        QVERIFY(rows.count("EEG") && rows.count("IMU"));
        // Read by pandas, the record's columns are named as the source named its channels.
        QProcess pandas;
        pandas.start(LslPublisher::python(),
                     {"-c", "import glob,sys,pandas as p; [print(list(p.read_csv(f, nrows=1).columns[6:])) for f in "
                            "sorted(glob.glob(sys.argv[1] + '/*/[EI]*.csv'))]",
                      records.path()});
        QVERIFY(pandas.waitForFinished(120000));
        QCOMPARE(pandas.readAllStandardOutput(), QByteArray("['Fp1', 'Fp2', 'F7', 'F3', 'Fz', 'F4', 'F8', 'FC5', 'FC1', "
                                                           "'FC2', 'FC6', 'T7', 'C3', 'Cz', 'C4', 'T8', 'TP9', 'CP5', "
                                                           "'CP1', 'CP2', 'CP6', 'TP10', 'P7', 'P3', 'Pz', 'P4', 'P8', "
                                                           "'PO9', 'O1', 'Oz', 'O2', 'PO10']\n['X', 'Y', 'Z']\n"));
        // The restarted source numbers its EEG samples from 1000000, its accelerometer's from 100000.
        for (const auto& [name, published, perBlock, restart] :
             {std::make_tuple("EEG", &eeg, 20, 1000000L), std::make_tuple("IMU", &acc, 2, 100000L)}) {
            const auto& r = rows.at(name);
            QVERIFY(r.size() > std::size_t(seconds * 25 * perBlock));
            int gaps = 0;
            for (std::size_t i = 0; i < r.size(); ++i) {
                const long index = long(r[i].values[0]);
                auto it = published->find(index);
                QVERIFY2(it != published->end(), qPrintable(QString("%1: row %2 never pushed").arg(name).arg(i)));
                for (std::size_t c = 0; c < r[i].values.size(); ++c)
                    QCOMPARE(r[i].values[c], it->second.values[c]);
                if (i == 0) continue;
                const long step = index - long(r[i - 1].values[0]);
                if (step == 1) continue;
                // Only where the source was away: the samples jump to the new source and so do the sequence
                // numbers, by more than one block.
                ++gaps;
                QVERIFY2(index >= restart && r[i - 1].values[0] < restart, qPrintable(QString("%1: %2 after %3")
                                                                                    .arg(name).arg(index).arg(r[i - 1].values[0])));
                QVERIFY(std::uint16_t(r[i].sequence - r[i - 1].sequence) > 1);
            }
            QCOMPARE(gaps, 1);
            // The time column is the source's stamp of the block's first sample.
            if (std::string(name) == "EEG") {
                for (std::size_t i = 0; i < r.size(); i += std::size_t(perBlock)) {
                    const double stamp = published->at(long(r[i].values[0])).stamp;
                    QVERIFY2(std::llabs(r[i].timestamp - std::llround(stamp * 1e6)) < 1000,
                             qPrintable(QString("row %1: %2 vs %3").arg(i).arg(r[i].timestamp).arg(stamp * 1e6)));
                }
            }
        }

        // The re-published EEG and accelerometer carry the source's samples, in order, none lost.
        const QJsonArray streams =
            QJsonDocument::fromJson(out.mid(out.lastIndexOf("{\"streams\""))).object().value("streams").toArray();
        QCOMPARE(streams.size(), 2);
        for (const auto& st : streams) {
            const QJsonObject o = st.toObject();
            const bool isEeg = o.value("name").toString() == "e2eA_EEG_EEG_0";
            const auto& published = isEeg ? eeg : acc;
            QCOMPARE(o.value("channels").toInt(), isEeg ? 32 : 3);
            const QJsonArray labels = o.value("labels").toArray();
            QCOMPARE(labels.size(), isEeg ? 32 : 3);
            QCOMPARE(labels.first().toString(), QString(isEeg ? "Fp1" : "X"));
            QCOMPARE(labels.last().toString(), QString(isEeg ? "PO10" : "Z"));
            QCOMPARE(o.value("rate").toDouble(), isEeg ? 500.0 : 50.0);
            const QJsonArray samples = o.value("samples").toArray();
            QVERIFY(samples.size() >= (isEeg ? 2500 : 250));
            long expected = -1;
            for (const auto& smp : samples) {
                const QJsonArray v = smp.toArray();
                const long index = long(v[0].toDouble());
                if (expected >= 0) QCOMPARE(index, expected);
                expected = index + 1;
                QVERIFY(published.count(index));
                for (int c = 0; c < v.size(); ++c)
                    QCOMPARE(float(v[c].toDouble()), float(published.at(index).values[std::size_t(c)]));
            }
        }
    }

    // Streams that cannot be shown are refused with the reason; NaN values reach the viewers, which carry on.
    void oddStreams()
    {
        if (!LslPublisher::usable()) QSKIP("the test Python environment is missing");
        QTemporaryDir dir, pushed;
        LslPublisher source;
        QVERIFY(source.start("bad", "e2eB_", pushed.path()));
        for (const auto& [name, says] : {std::make_pair("e2eB_Zero", "no channels"),
                                         std::make_pair("e2eB_Huge", "10000 channels"),
                                         std::make_pair("e2eB_Text", "text")}) {
            MainWindow w;
            ModalAnswerer* boxes = ModalAnswerer::pressing(QMessageBox::Ok, &w);
            const QString config = writeConfig(dir, QString(name) + ".json",
                                               QByteArray("{\"connection\": {\"type\": \"lsl\", \"properties\": {\"name\": \"") +
                                                   name + "\"}}, \"autostart\": true}");
            w.configure(QFile::encodeName(config).constData());
            QVERIFY(QTest::qWaitFor([&] { return !boxes->texts.isEmpty(); }, 120000));
            QVERIFY2(boxes->texts.first().contains(says), qPrintable(boxes->texts.join("; ")));
        }

        Session s;
        ModalAnswerer* boxes = ModalAnswerer::pressing(QMessageBox::Ok, &s.context);
        const QString config = writeConfig(dir, "nan.json", "{\"connection\": {\"type\": \"lsl\", \"properties\": {\"name\": \"e2eB_NaN\"}}, "
                                                               "\"sensors\": \"dry\", \"autostart\": true}");
        s.recording = true;
        s.window->configure(QFile::encodeName(config).constData());
        QVERIFY(s.waitBlocks(60, 60000));  // 3 s of NaN every other sample on the screen
        bool sawNan = false;
        for (const Block& b : s.received)
            for (double v : b.data) sawNan = sawNan || std::isnan(v);
        QVERIFY(sawNan);
        s.window->grab();  // paints the viewers with what they hold
        s.stop();
        QVERIFY2(boxes->texts.isEmpty(), qPrintable(boxes->texts.join("; ")));
    }
};

QTEST_MAIN(LslDeviceWindowTest)
#include "test_lsl_device.moc"
