// The acquisition thread against scripted models: delivery, reports, forced disconnection, restarts,
// pausing and interruption.

#include "FakeModel.h"
#include "ReadBT.h"
#include "Receiver.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

void stopThread(ReadBT& t) {
    t.requestInterruption();
    QVERIFY(t.wait(5000));
}

}  // namespace

class TestThreadsReadBT : public QObject {
    Q_OBJECT
private slots:
    void firmwareVersionRule_data();
    void firmwareVersionRule();
    void blocksArriveInOrderWithTimeStamps();
    void missingDataOnOldFirmwareForcesDisconnection_data();
    void missingDataOnOldFirmwareForcesDisconnection();
    void endOfRecordIsReportedPerRead();
    void stoppedDeviceIsRestartedWithNumberedFileNames();
    void refusedRestartDisconnectsWithoutSpinning();
    void pauseStopsReadingButNotRestarting();
    void interruptionEndsAReconnectWaitPromptly();
    void anExceptionFromTheModelDoesNotEndTheProgram();
    void destroyingARunningThreadStopsIt();
};

void TestThreadsReadBT::firmwareVersionRule_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::newRow("record") << "HW0.0_FW1.0" << 1 << 0;
    QTest::newRow("dual") << "HW3.0_FW2.1" << 2 << 1;
    QTest::newRow("multi-digit") << "HW12.3FW10.25" << 10 << 25;
    QTest::newRow("trailing text") << "HW2.0_FW1.1b" << -1 << -1;
    QTest::newRow("leading text") << "xHW2.0_FW1.1" << -1 << -1;
    QTest::newRow("no hardware") << "HWFW1.1" << -1 << -1;
    QTest::newRow("empty") << "" << -1 << -1;
    QTest::newRow("overflow") << "HW1FW99999999999.1" << -1 << -1;
}

void TestThreadsReadBT::firmwareVersionRule() {
    QFETCH(QString, version);
    QFETCH(int, major);
    QFETCH(int, minor);
    int ma = 0, mi = 0;
    ReadBT::parseFirmwareVersion(version.toStdString(), ma, mi);
    QCOMPARE(ma, major);
    QCOMPARE(mi, minor);
}

void TestThreadsReadBT::blocksArriveInOrderWithTimeStamps() {
    FakeModel m;
    m.readDelayMs = 0;
    m.connect_device();
    m.start();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    const qint64 before = ReadBT::utcMicroseconds();
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 2000, 20000);
    stopThread(t);
    QCoreApplication::processEvents();
    for (size_t i = 0; i < r.seqs.size(); ++i) {
        QCOMPARE(r.seqs[i], int(i));
        QCOMPARE(r.data[i], std::vector<double>(8, double(i)));
        if (i) {
            QVERIFY(r.stamps[i] >= r.stamps[i - 1]);
            QVERIFY(r.utcs[i] >= r.utcs[i - 1] - 1000000);  // wall clock may step, not by much here
        }
    }
    QVERIFY(r.utcs.front() >= before);
    QVERIFY(r.utcs.back() <= ReadBT::utcMicroseconds());
    QCOMPARE(r.battery, short(3));
    QCOMPARE(r.noData + r.lost + r.ends, 0);
}

void TestThreadsReadBT::missingDataOnOldFirmwareForcesDisconnection_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<unsigned>("channels");
    QTest::addColumn<bool>("forced");
    QTest::newRow("1.0") << "HW1.0_FW1.0" << 8u << true;
    QTest::newRow("0.9") << "HW1.0_FW0.9" << 8u << true;
    QTest::newRow("unparsable") << "HW1.0_FW1.1x" << 8u << true;
    QTest::newRow("1.0 with 64 EEG channels") << "HW1.0_FW1.0" << 64u << false;
    QTest::newRow("1.1") << "HW2.0_FW1.1" << 8u << false;
    QTest::newRow("2.0") << "HW2.0_FW2.0" << 8u << false;
}

void TestThreadsReadBT::missingDataOnOldFirmwareForcesDisconnection() {
    QFETCH(QString, version);
    QFETCH(unsigned, channels);
    QFETCH(bool, forced);
    FakeModel m({{"EEG", channels, 8, 1}, {"uSD", 1, 1, 0}});
    m.versionText = version.toStdString();
    m.readMode = FakeModel::NoData;
    m.connect_device();
    m.start();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.noData >= 3, 10000);
    stopThread(t);
    QCoreApplication::processEvents();
    if (forced) {
        QVERIFY(m.disconnectCalls.load() >= 3);
        QVERIFY(r.lost >= 3);
        // Reconnected and restarted after each forced disconnection.
        QVERIFY(m.connectCalls.load() >= 3);
    } else {
        QCOMPARE(m.disconnectCalls.load(), 0);
        QCOMPARE(r.lost, 0);
        QCOMPARE(m.connectCalls.load(), 1);
    }
    QCOMPARE(r.seqs.size(), size_t(0));
}

void TestThreadsReadBT::endOfRecordIsReportedPerRead() {
    FakeModel m;
    m.readMode = FakeModel::End;
    m.connect_device();
    m.start();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.ends >= 3, 10000);
    stopThread(t);
    QCoreApplication::processEvents();
    QCOMPARE(r.noData, 0);
    QCOMPARE(r.lost, 0);
    QCOMPARE(r.seqs.size(), size_t(0));
}

void TestThreadsReadBT::stoppedDeviceIsRestartedWithNumberedFileNames() {
    FakeModel m;
    m.readDelayMs = 0;
    m.stopAfterBlocks = 5;
    m.connect_device();
    m.set_file_name("rec");
    m.enable_sd_card(true);
    m.start();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 20, 10000);
    stopThread(t);
    QCoreApplication::processEvents();
    {
        std::lock_guard<std::mutex> lock(m.fileMutex);
        QVERIFY(m.fileNames.size() >= 4);
        QCOMPARE(m.fileNames[0], std::string("rec"));
        QCOMPARE(m.fileNames[1], std::string("rec_0"));
        QCOMPARE(m.fileNames[2], std::string("rec_1"));
        QCOMPARE(m.fileNames[3], std::string("rec_2"));
    }
    for (size_t i = 0; i < r.seqs.size(); ++i)
        QCOMPARE(r.seqs[i], int(i));

    // A second run takes the name the device holds then as its base, and counts restarts without an SD
    // card too: the card comes on with the run's second restart, so the first name set is base + "_2".
    m.enable_sd_card(false);
    m.set_file_name("base");
    m.start();
    {
        std::lock_guard<std::mutex> lock(m.fileMutex);
        m.fileNames.clear();
    }
    m.stopAfterBlocks = 2;
    m.enableSdAtStart = m.startCalls + 2;
    Receiver r2(t);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r2.seqs.size() >= 12, 10000);
    stopThread(t);
    std::lock_guard<std::mutex> lock(m.fileMutex);
    QVERIFY(m.fileNames.size() >= 2);
    QCOMPARE(m.fileNames[0], std::string("base_2"));
    QCOMPARE(m.fileNames[1], std::string("base_3"));
}

void TestThreadsReadBT::refusedRestartDisconnectsWithoutSpinning() {
    FakeModel m;
    m.connect_device();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, false);
    t.start();
    QTest::qWait(300);
    stopThread(t);
    // One refusal, then a pause: not hundreds of connect/disconnect rounds.
    QVERIFY(m.disconnectCalls.load() >= 1);
    QVERIFY(m.disconnectCalls.load() <= 2);
    QCOMPARE(m.startCalls.load(), 0);
    QCOMPARE(r.seqs.size(), size_t(0));

    // Allowed, but the device will not start: same pause.
    FakeModel refusing;
    refusing.startable = false;
    refusing.connect_device();
    t.setModel(&refusing, true);
    t.start();
    QTest::qWait(300);
    stopThread(t);
    QVERIFY(refusing.startCalls.load() >= 1);
    QVERIFY(refusing.startCalls.load() <= 2);
}

void TestThreadsReadBT::pauseStopsReadingButNotRestarting() {
    FakeModel m;
    m.connect_device();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 3, 10000);
    t.pause(true);
    QTest::qWait(50);
    const size_t seen = r.seqs.size();
    m.stop();  // the device stops; the paused thread still restarts it
    QTRY_VERIFY_WITH_TIMEOUT(m.is_running(), 5000);
    QTest::qWait(100);
    QVERIFY(r.seqs.size() <= seen + 1);
    t.pause(false);
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= seen + 5, 10000);
    stopThread(t);

    // A new run begins unpaused.
    t.pause(true);
    const size_t before = r.seqs.size();
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= before + 3, 10000);
    stopThread(t);
}

void TestThreadsReadBT::interruptionEndsAReconnectWaitPromptly() {
    FakeModel m;
    m.connectable = false;
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(m.connectCalls.load() >= 1, 5000);
    QTest::qWait(50);  // now in the pause between attempts
    QElapsedTimer timer;
    timer.start();
    t.requestInterruption();
    QVERIFY(t.wait(1000));
    QVERIFY(m.connectCalls.load() <= 2);
    QCOMPARE(r.seqs.size(), size_t(0));
}

void TestThreadsReadBT::anExceptionFromTheModelDoesNotEndTheProgram() {
    FakeModel m;
    m.connect_device();
    m.throwOnStart = true;
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(m.startCalls.load() >= 1, 5000);
    QTest::qWait(50);
    QVERIFY(t.isRunning());
    // The thread waits before trying again, and keeps going once the model behaves.
    QCOMPARE(m.startCalls.load(), 1);
    m.throwOnStart = false;
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 3, 10000);
    stopThread(t);
}

void TestThreadsReadBT::destroyingARunningThreadStopsIt() {
    FakeModel m;
    m.connect_device();
    m.start();
    auto* t = new ReadBT;
    t->setModel(&m, true);
    t->start();
    QTRY_VERIFY_WITH_TIMEOUT(m.sequence.load() >= 3, 5000);
    delete t;  // would abort if the thread were left running
    const int seen = m.sequence;
    QTest::qWait(30);
    QCOMPARE(m.sequence.load(), seen);
}

QTEST_GUILESS_MAIN(TestThreadsReadBT)
#include "test_threads_readbt.moc"
