// A GUI thread kept busy for two seconds while a simulated headset records to the hard drive: the record still
// holds every block the acquisition thread read, with no gap and no duplicate, while the display lets blocks go,
// says so in the status line, and comes back to normal once the window catches up.

#include "WindowSession.h"

#include <QThread>
#include <QTimer>

using namespace e2e;

class StarvedGuiTest : public QObject {
    Q_OBJECT
private slots:
    // Twice real time: quick, yet slow enough for the acquisition thread under ThreadSanitizer.
    void initTestCase() { QVERIFY(freshFleet(2.0)); }

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
        const QString folder = onlySubfolder(records.path());
        QCOMPARE(recordedPrefix(folder, s.received), int(s.received.size()));
        for (std::size_t n = 1; n < s.received.size(); ++n) QCOMPARE((s.received[n - 1].seq + 1) % 65536, s.received[n].seq);
        const QJsonValue gaps = recordInfo(folder).value("gaps");
        QVERIFY2(gaps.isArray() && gaps.toArray().isEmpty(), "the record lists no gaps or a gap");

        // The same record read by pandas alone.
        if (!haveTestPython()) QSKIP("no virtual environment with pandas");
        const QStringList fields = QString::fromUtf8(runTool("check_records.py", {folder})).trimmed().split('\t');
        QVERIFY2(fields.size() >= 3 && fields[0] == "OK", qPrintable(fields.join(" | ")));
        QCOMPARE(fields[2].toULongLong(), quint64(s.received.size()));
        QVERIFY2(fields.size() < 4 || fields[3].isEmpty(), qPrintable("sequence breaks at " + fields.value(3)));
    }
};

QTEST_MAIN(StarvedGuiTest)
#include "test_starved_gui_threads.moc"
