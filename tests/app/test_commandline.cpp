#include "CommandLine.h"
#include "CsvReader.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void helpWordsPrintUsageAndExit()
    {
        for (const char* word : {"--help", "-h", "help"}) QVERIFY2(isHelpArgument(word), word);
        for (const char* nearMiss : {"--Help", "HELP", "Help", "-help", "---help", "--h", "h", "-H", "help ",
                                     " help", "--help=1", "", "helpme"})
            QVERIFY2(!isHelpArgument(nearMiss), nearMiss);
        QVERIFY(!isHelpArgument(nullptr));

        // The program prints the usage line for them and ends.
        QProcess p;
        p.start(KVN_VIEWER_EXE, {"help", "config.json", "--help"});
        QVERIFY(p.waitForFinished(30000));
        QVERIFY(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);
        QCOMPARE(QString::fromLocal8Bit(p.readAllStandardOutput()),
                 QStringLiteral("Usage: ") + KVN_VIEWER_EXE + " [configuration-file]\n");
    }

    // Logout, shutdown and Ctrl+C end the program as closing its window does: the record is closed whole
    // instead of losing the blocks the writer still buffers.
    void terminationSignalsCloseTheRecord_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void terminationSignalsCloseTheRecord()
    {
        QFETCH(int, signalNumber);
        QTemporaryDir dir;
        const QString records = dir.filePath("records");
        QFile config(dir.filePath("start.json"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QStringLiteral(R"({"connection": {"type": "bluetooth", "properties": {"device": "KVN-A32-0412L"}},
            "sensors": "water", "harddrive": "%1", "autostart": true})").arg(records).toUtf8());
        config.close();
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KVN_SDCARD_DIR", dir.filePath("sd"));
        env.insert("KVN_SIM_TIME_SCALE", "4");
        p.setProcessEnvironment(env);
        p.start(KVN_VIEWER_EXE, {config.fileName()});
        QVERIFY(p.waitForStarted());
        QString folder;
        int linesSeen = 0;
        QVERIFY(QTest::qWaitFor([&] {
            const QStringList made = QDir(records).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            if (made.isEmpty()) return false;
            folder = records + "/" + made.first();
            QFile utc(folder + "/UTC.csv");
            linesSeen = utc.open(QIODevice::ReadOnly) ? int(utc.readAll().count('\n')) : 0;
            return linesSeen > 40;
        }, 60000));
        ::kill(pid_t(p.processId()), signalNumber);
        QVERIFY(p.waitForFinished(60000));
        QVERIFY(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);

        for (const QString& name : QDir(folder).entryList({"*.csv"}, QDir::Files)) {
            QFile f(folder + "/" + name);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY2(f.readAll().endsWith('\n'), qPrintable(name));
        }
        CsvReader reader;
        QVERIFY2(reader.open(folder.toStdString()) && reader.start(), reader.error().c_str());
        int blocks = 0;
        while (!reader.read().isEnd()) ++blocks;
        QVERIFY2(blocks >= linesSeen - 1, qPrintable(QString("%1 blocks, %2 seen").arg(blocks).arg(linesSeen)));
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_commandline.moc"
