// The acquisition's life through the window when things go wrong: clicks during a link drop, a disk that stops
// taking the record, folders that are taken or missing, a hidden window whose questions are answered.

#include "WindowSession.h"

#include <QDateTime>
#include <QTemporaryFile>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>

using namespace e2e;

class LifecycleTest : public QObject {
    Q_OBJECT
private slots:
    void init() { QVERIFY(freshFleet()); }

    // During a link drop the model reports neither connected nor running while the thread still reconnects
    // through it (here inside slow connect attempts). Connect and Disconnect must end that acquisition first.
    void clicksDuringALinkDrop_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("device");  // one each: a device whose link is down stays down for the process
        QTest::newRow("connect to another device") << "Connect" << "KVN-A32-0412L";
        QTest::newRow("disconnect") << "Disconnect" << "KVN-A32-0412R";
    }
    void clicksDuringALinkDrop()
    {
        QFETCH(QString, button);
        QFETCH(QString, device);
        sim::Faults faults;
        faults.dropAfterBlocks = 40;
        faults.dropSeconds = 600;
        faults.connectSeconds = 0.3;
        sim::setFaults(device.toStdString(), faults);
        Session s;
        QVERIFY(s.connectTo("Bluetooth", device));
        QTemporaryDir records;
        s.enableHardDrive(records.path());
        s.start();
        QVERIFY(QTest::qWaitFor([&] { return s.statusText().startsWith("Connection lost"); }, 30000));
        QVERIFY(s.threadRunning());

        UserAnswers answers("Bluetooth", "KVN-B08-2201");
        answers.questionReply = QMessageBox::Yes;
        s.button(button)->click();
        s.recording = false;
        QCOMPARE(answers.questions.size(), 1);
        QVERIFY2(answers.questions[0].startsWith("Running adquisition: Do you want to stop the current acquisition"),
                 qPrintable(answers.questions[0]));
        QVERIFY(!s.threadRunning());
        QVERIFY(!s.button("Stop")->isEnabled());
        if (button == "Connect") {
            QVERIFY(QTest::qWaitFor([&] { return s.button("Start")->isEnabled(); }, 20000));
            QVERIFY(s.deviceTitle().startsWith("KVN-B08-2201"));
        } else {
            QCOMPARE(s.statusText(), QStringLiteral("No device connected"));
            QTest::qWait(300);
            QCOMPARE(s.statusText(), QStringLiteral("No device connected"));  // no recording time counting on
        }
        // The record was closed whole at the question, with every block received before the drop.
        QCOMPARE(recordedPrefix(onlySubfolder(records.path()), s.received), int(s.received.size()));
        QVERIFY(s.received.size() >= 40);
    }

    // A disk that stops taking the record (here the file size limit) is reported at once; the display goes on
    // and what was written before stays a readable record.
    void hardDriveWriteFailureIsReported()
    {
        Session s;
        QVERIFY(s.connectTo("Usb", "COM10"));
        QTemporaryDir records;
        s.enableHardDrive(records.path());
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit limited = old;
        limited.rlim_cur = 300 * 1024;
        setrlimit(RLIMIT_FSIZE, &limited);
        s.start();
        auto* label = s.window->findChild<QLabel*>("deviceLabel");
        const bool failed = QTest::qWaitFor([&] { return label->text().contains("Hard drive record stopped"); }, 30000);
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(failed);
        QVERIFY2(label->text().contains("cannot write") && label->text().contains("File too large"),
                 qPrintable(label->text()));
        QMessageBox* warning = shownBox(*s.window, "HD record error");
        QVERIFY(warning && !warning->isModal());
        QVERIFY2(warning->text().contains(records.path()), qPrintable(warning->text()));

        const std::size_t atFailure = s.received.size();
        QVERIFY(s.waitBlocks(atFailure + 64, 20000));  // the display goes on
        QVERIFY(label->text().contains("Hard drive record stopped"));
        s.stop();
        const int kept = recordedPrefix(onlySubfolder(records.path()), s.received);
        QVERIFY2(kept > 0 && std::size_t(kept) < atFailure, qPrintable(QString::number(kept)));
    }

    // Each Start gets a folder of its own: a name already taken (two Starts in one second) gets a suffix, and
    // nothing of the earlier record is touched.
    void startNeverWritesIntoAnEarlierRecord()
    {
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-A32-0412R"));
        QTemporaryDir records;
        const QDateTime now = QDateTime::currentDateTime();
        for (int k = 0; k < 20; ++k) {
            const QString taken = records.path() + "/KVN-A32-0412R-" + now.addSecs(k).toString("yyyy-MM-dd_HH-mm-ss");
            QVERIFY(QDir().mkpath(taken));
            QFile marker(taken + "/signalsInfo.json");
            QVERIFY(marker.open(QIODevice::WriteOnly));
            marker.write("earlier");
        }
        s.enableHardDrive(records.path());
        for (int run = 0; run < 2; ++run) {
            s.start();
            QVERIFY(s.waitBlocks(std::size_t(8 * (run + 1)), 20000));
            s.stop();
        }
        const QStringList all = subfolders(records.path());
        const QStringList made = all.filter(QRegularExpression("_[0-9]+$"));
        QCOMPARE(all.size(), 22);
        QCOMPARE(made.size(), 2);
        for (const QString& name : all) {
            QFile marker(records.path() + "/" + name + "/signalsInfo.json");
            QVERIFY(marker.open(QIODevice::ReadOnly));
            QCOMPARE(marker.readAll() == "earlier", !made.contains(name));
        }
    }

    // Ticked with no folder (the folder dialog cancelled), the record would land in the working directory.
    void hardDriveRecordWithoutAFolderIsRefused()
    {
        QTemporaryDir cwd;
        const QString before = QDir::currentPath();
        QDir::setCurrent(cwd.path());
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-A32-0412R"));
        QStringList seen;
        ModalAnswerer answerer([&](QWidget* modal) {
            seen << modal->windowTitle();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) seen.last() += ": " + box->text();
            static_cast<QDialog*>(modal)->reject();
            return true;
        });
        byText<QCheckBox>(*s.window, "Hard drive record")->setChecked(true);
        s.button("Start")->click();
        QDir::setCurrent(before);
        QCOMPARE(seen.size(), 2);
        QVERIFY2(seen[1].startsWith("HD record error: No folder is chosen for the hard drive record."),
                 qPrintable(seen[1]));
        QVERIFY(s.button("Start")->isEnabled() && !s.threadRunning());
        QCOMPARE(QDir(cwd.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // "hide": the window is hidden while questions are asked. Answering them must not end the program: it ends
    // through the window's close only, with the autostarted record whole.
    void hiddenWindowLivesUntilClosed()
    {
        QTemporaryDir records;
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(QStringLiteral(R"({"connection": {"type": "bluetooth", "properties": {"device": "KVN-A32-0412L"}},
            "hide": true, "harddrive": "%1", "autostart": true, "sensors": "wet"})").arg(records.path()).toUtf8());
        file.close();
        MainWindow* w = new MainWindow(nullptr);
        int answered = 0;
        ModalAnswerer answerer([&](QWidget* modal) {
            ++answered;
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box && box->button(QMessageBox::Yes))
                box->button(QMessageBox::Yes)->click();  // stop the acquisition when closing
            else
                static_cast<QDialog*>(modal)->accept();
            return true;
        });
        bool closedByUs = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            const QStringList made = subfolders(records.path());
            if (answered < 2 || made.isEmpty()) return;
            QFile utc(records.path() + "/" + made[0] + "/UTC.csv");
            if (!utc.open(QIODevice::ReadOnly) || utc.readAll().count('\n') < 40) return;
            poll.stop();
            closedByUs = true;
            w->close();
        });
        poll.start(50);
        QTimer::singleShot(60000, qApp, [] { qApp->exit(1); });
        w->configure(QFile::encodeName(file.fileName()).constData());
        const int code = qApp->exec();
        QVERIFY2(closedByUs, qPrintable(QString("the program ended after %1 answers").arg(answered)));
        QCOMPARE(code, 0);
        QVERIFY(!w->isVisible());
        delete w;
        QString error;
        QVERIFY(readRecord(onlySubfolder(records.path()), &error).size() >= 40 && error.isEmpty());
    }
};

QTEST_MAIN(LifecycleTest)
#include "test_lifecycle.moc"
