#include "CommandLine.h"

#include <QProcess>
#include <QtTest>

class CommandLineTest : public QObject {
    Q_OBJECT
private slots:
    void helpWordsMatchExactly()
    {
        for (const char* word : {"--help", "-h", "help"}) QVERIFY2(isHelpArgument(word), word);
        for (const char* nearMiss : {"--Help", "HELP", "Help", "-help", "---help", "--h", "h", "-H", "help ",
                                     " help", "--help=1", "", "helpme"})
            QVERIFY2(!isHelpArgument(nearMiss), nearMiss);
        QVERIFY(!isHelpArgument(nullptr));
    }

    void helpPrintsUsageAndExits_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("--help") << QStringList{"--help"};
        QTest::newRow("-h") << QStringList{"-h"};
        QTest::newRow("help with more arguments") << QStringList{"help", "config.json", "--help"};
    }
    void helpPrintsUsageAndExits()
    {
        QFETCH(QStringList, args);
        QProcess p;
        p.start(KVN_VIEWER_EXE, args);
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(QString::fromLocal8Bit(p.readAllStandardOutput()),
                 QStringLiteral("Usage: ") + KVN_VIEWER_EXE + " [configuration-file]\n");
    }

    // A near miss is a configuration file name: the window starts instead of the usage line.
    void nearMissStartsTheWindow()
    {
        QProcess p;
        p.start(KVN_VIEWER_EXE, {"--Help"});
        QVERIFY(p.waitForStarted());
        QVERIFY(!p.waitForFinished(1500));
        QVERIFY(!p.readAllStandardOutput().contains("Usage:"));
        p.kill();
        p.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_commandline.moc"
