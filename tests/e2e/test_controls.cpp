// The window's controls and status line around an acquisition, against the simulated devices.

#include "WindowSession.h"

#include <QDirIterator>

using namespace e2e;

class ControlsTest : public QObject {
    Q_OBJECT
private slots:
    void init() { QVERIFY(freshFleet()); }

    void cancelledSensorQuestionLeavesUnknown()
    {
        Session s;
        QVERIFY(s.connectTo("Usb", "COM10", QString()));
        QVERIFY(s.sensorQuestions >= 1);
        QCOMPARE(s.deviceTitle(), QStringLiteral("KVN-H64-1010 - HW4.0_FW3.0 - EEG sensors: Unknown"));
        QCOMPARE(s.statusText(), QStringLiteral("Connected"));
        QCOMPARE(s.window->findChild<QLabel*>("batteryLabel")->text(), QStringLiteral("Battery: ? %"));
        QVERIFY(s.button("Disconnect"));
    }

    // The SD card gets the dated folder and the user's file name at Start; the input shows what was typed again.
    void sdCardRecordNamesAndRefresh()
    {
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-A32-0412R"));
        auto* box = s.window->findChild<QCheckBox*>("sdCardBox");
        auto* input = s.window->findChild<QLineEdit*>("sdCardPathInput");
        QVERIFY(box->isEnabled() && !box->isChecked() && !input->isEnabled());
        box->setChecked(true);
        QVERIFY(box->isChecked() && input->isEnabled());
        input->setText("sub/r005");
        QCOMPARE(s.statusText(), QStringLiteral("To write in folder sub and file r005"));
        s.start();
        QVERIFY(s.waitBlocks(40, 20000));
        s.stop();
        QVERIFY(input->text() == "sub/r005" && box->isChecked());

        // The device wrote its record under the dated folder.
        QStringList records;
        QDirIterator it(QString::fromStdString(sim::sdCardFolder("KVN-A32-0412R")), {"0_r005*"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) records << it.next();
        QCOMPARE(records.size(), 1);
        QVERIFY2(QRegularExpression("/viewer/\\d\\d-\\d\\d-\\d\\d/\\d\\d-\\d\\d-\\d\\d/sub/0_r005").match(records[0]).hasMatch(),
                 qPrintable(records[0]));
    }

    void refusedSdCardIsReportedAndUnchecked()
    {
        sim::Faults f;
        f.sdCardRefused = true;
        sim::setFaults("KVN-B08-2201", f);
        Session s;
        QVERIFY(s.connectTo("Bluetooth", "KVN-B08-2201"));
        ModalAnswerer* ok = ModalAnswerer::pressing(QMessageBox::Ok, this);
        auto* box = s.window->findChild<QCheckBox*>("sdCardBox");
        box->setChecked(true);
        QCOMPARE(ok->answered(), 1);
        QCOMPARE(ok->titles.value(0), QStringLiteral("SD card error"));
        QCOMPARE(ok->texts.value(0),
                 QStringLiteral("SD card record cannot be enabled. Check that it is correctly inserted and working."));
        QVERIFY(!box->isChecked());
        QVERIFY(!s.window->findChild<QLineEdit*>("sdCardPathInput")->isEnabled());
        delete ok;
    }

    // Answering No to "stop before connecting" abandons the acquisition; the hard-drive record is still whole.
    void abandonedAcquisitionKeepsItsRecord()
    {
        Session s;
        QTemporaryDir records;
        QVERIFY(s.acquireFromHeadset(64, records.path()));

        int questions = 0;
        QString title;
        ModalAnswerer answers([&](QWidget* modal) -> bool {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                ++questions;
                title = box->windowTitle();
                s.recording = false;  // what arrives from now on is dropped by the window too
                box->button(QMessageBox::No)->click();
                return true;
            }
            if (auto* wizard = qobject_cast<QWizard*>(modal)) {
                wizard->reject();
                return true;
            }
            return false;
        });
        s.button("Connect")->click();
        QCOMPARE(questions, 1);
        QCOMPARE(title, QStringLiteral("Running adquisition"));
        QCOMPARE(s.statusText(), QStringLiteral("No device connected"));
        QVERIFY(!s.button("Stop")->isEnabled());

        QString error;
        const std::size_t n = readRecord(onlySubfolder(records.path()), &error).size();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QVERIFY2(n + 2 >= s.received.size(), qPrintable(QString("%1 of %2 blocks on disk").arg(n).arg(s.received.size())));
    }

    // A second connection while the first attempt still runs: the first model outlives its attempt, and its
    // late answer changes nothing.
    void replacedWhileConnecting()
    {
        sim::Faults f;
        f.connectSeconds = 4.0;  // about a second at the test's time scale
        sim::setFaults("KVN-A32-0412R", f);
        Session s;
        {
            UserAnswers answers("Bluetooth", "KVN-A32-0412R");
            s.button("Connect")->click();
            QCOMPARE(s.statusText(), QStringLiteral("Connecting ..."));
        }
        QVERIFY(s.connectTo("Bluetooth", "KVN-A32-0412L"));
        QTest::qWait(1500);  // the first attempt succeeds meanwhile
        QVERIFY(s.deviceTitle().startsWith("KVN-A32-0412L") && s.button("Start")->isEnabled());
        QVERIFY2(s.warnings.isEmpty(), qPrintable(s.warnings.join("|")));
    }

    // Only an acquisition in progress takes the thread's reports; one stopped since may still have some queued.
    void noDataCountsSeconds()
    {
        Session s;
        QVERIFY(QMetaObject::invokeMethod(s.window, "onNoData"));
        QCOMPARE(s.statusText(), QStringLiteral("No device connected"));
        QVERIFY(s.acquireFromHeadset(1));
        s.window->findChild<ReadBT*>("readThread")->pause(true);
        // Until a read that was under way when the pause came has been delivered.
        for (std::size_t seen = 0; seen != s.received.size();) {
            seen = s.received.size();
            QTest::qWait(200);
        }
        QVERIFY(QMetaObject::invokeMethod(s.window, "onNoData"));
        QCOMPARE(s.statusText(), QStringLiteral("Cannot receive data"));
        QVERIFY(QMetaObject::invokeMethod(s.window, "onNoData"));
        QCOMPARE(s.statusText(), QStringLiteral("Cannot receive data for 0 seconds"));
        QTest::qWait(1100);
        QVERIFY(QMetaObject::invokeMethod(s.window, "onNoData"));
        QCOMPARE(s.statusText(), QStringLiteral("Cannot receive data for 1 seconds"));
    }

    void closingWhileAcquiringAsksAndStops()
    {
        Session s;
        QVERIFY(s.acquireFromHeadset(10));
        ModalAnswerer* yes = ModalAnswerer::pressing(QMessageBox::Yes, this);
        s.window->close();
        QCOMPARE(yes->answered(), 1);
        QCOMPARE(yes->texts.value(0), QStringLiteral("Do you want to stop the current acquisition before disconnecting?"));
        QCOMPARE(s.statusText(), QStringLiteral("No device connected"));
        delete yes;
    }
};

QTEST_MAIN(ControlsTest)
#include "test_controls.moc"
