// A GUI thread kept busy for two seconds while a simulated headset records to the hard drive: the record still
// holds every block the acquisition thread read, with no gap and no duplicate, while the display lets blocks go,
// says so in the status line, and comes back to normal once the window catches up.

#include "CsvReader.h"
#include "Simulation.h"
#include "WindowSession.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

using namespace e2e;

class StarvedGuiTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(sdDir.isValid());
        // Twice real time: quick, yet slow enough for the acquisition thread under ThreadSanitizer.
        resetSimulation(sdDir.path(), 2.0);
    }

    void recordHoldsEveryBlockWhileTheDisplayStarves()
    {
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-A32-0412L"));
        QTemporaryDir records;
        s.enableHardDrive(records.path());
        s.start();
        QVERIFY(s.waitBlocks(40, 30000));
        const QString normal = s.statusText();
        QVERIFY2(normal.startsWith("Recording time: ") && !normal.contains("cannot keep up"), qPrintable(normal));

        // A slot that keeps the GUI thread for two seconds: longer than the display's queue lasts.
        const std::size_t beforeBusy = s.received.size();
        bool busyDone = false;
        QTimer::singleShot(0, s.window, [&] {
            QThread::msleep(2000);
            busyDone = true;
        });
        const QString late = "Display cannot keep up: ";
        QVERIFY(QTest::qWaitFor([&] { return busyDone && s.statusText().contains(late); }, 30000));
        const QString behind = s.statusText();
        QVERIFY2(behind.startsWith("Recording time: ") && behind.contains(QRegularExpression(late + "[1-9][0-9]* blocks not shown")),
                 qPrintable(behind));
        // Back to the plain recording time once the window keeps up again.
        QVERIFY(QTest::qWaitFor([&] { return !s.statusText().contains(late); }, 30000));
        QVERIFY2(s.statusText().startsWith("Recording time: "), qPrintable(s.statusText()));
        QVERIFY(s.waitBlocks(s.received.size() + 20, 30000));
        s.stop();
        QVERIFY(s.received.size() > beforeBusy + 64);

        // Every block read, in order, once: the record against what the acquisition thread emitted.
        const QStringList made = QDir(records.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(made.size(), 1);
        const QString folder = records.path() + "/" + made[0];
        CsvReader reader;
        QVERIFY2(reader.open(folder.toStdString()) && reader.start(), reader.error().c_str());
        std::size_t n = 0;
        for (Frame f = reader.read(); !f.isEnd(); f = reader.read(), ++n) {
            QVERIFY2(n < s.received.size(), "the record holds more blocks than the thread emitted");
            QCOMPARE(int(f.sequence), s.received[n].seq);
            std::vector<double> values;
            for (const DataBlock& d : f.blocks) values.insert(values.end(), d.data(), d.data() + d.rows() * d.cols());
            QVERIFY(values == s.received[n].data);
            if (n > 0) QCOMPARE((s.received[n - 1].seq + 1) % 65536, s.received[n].seq);
        }
        QCOMPARE(n, s.received.size());
        QFile json(folder + "/signalsInfo.json");
        QVERIFY(json.open(QIODevice::ReadOnly));
        const QJsonArray gaps = QJsonDocument::fromJson(json.readAll()).object().value("gaps").toArray();
        QVERIFY2(gaps.isEmpty(), "the record lists a gap");

        // The same record read by pandas alone.
        const QString python = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/.venv/bin/python";
        if (!QFile::exists(python)) QSKIP("no virtual environment with pandas");
        QProcess p;
        p.start(python, {QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/tests/tools/check_records.py", folder});
        QVERIFY(p.waitForFinished(120000));
        const QStringList fields = QString::fromUtf8(p.readAllStandardOutput()).trimmed().split('\t');
        QVERIFY2(fields.size() >= 3 && fields[0] == "OK", qPrintable(fields.join(" | ") + p.readAllStandardError()));
        QCOMPARE(fields[2].toULongLong(), quint64(s.received.size()));
        QVERIFY2(fields.size() < 4 || fields[3].isEmpty(), qPrintable("sequence breaks at " + fields.value(3)));
    }

private:
    QTemporaryDir sdDir;
};

QTEST_MAIN(StarvedGuiTest)
#include "test_starved_gui_threads.moc"
