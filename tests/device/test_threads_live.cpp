// The acquisition thread against simulated devices (time-scaled) and against a played-back record.

#include "DriverModel.h"
#include "ReadBT.h"
#include "Receiver.h"
#include "RecordModel.h"
#include "SimFixture.h"

#include "CsvWriter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

namespace {

void stopThread(ReadBT& t) {
    t.requestInterruption();
    QVERIFY(t.wait(5000));
    QCoreApplication::processEvents();
}

// As the main window does on connecting: every signal on, the SD card off.
void switchAllOn(ConfigurableDeviceModel& m) {
    std::string modes;
    for (unsigned i = 0; i < m.signal_count(); ++i)
        modes += m.signal_name(i) == "uSD" ? '\0' : '\1';
    m.set_signal_modes(modes);
}

bool sequential(const std::vector<int>& seqs, size_t from, size_t to) {
    for (size_t i = from + 1; i < to; ++i)
        if (seqs[i] != (seqs[i - 1] + 1) % 65536) {
            qWarning("block %zu: sequence %d after %d", i, seqs[i], seqs[i - 1]);
            return false;
        }
    return true;
}

}  // namespace

class TestThreadsLive : public QObject {
    Q_OBJECT
private slots:
    void longRunHasNoGapAndNoDuplicate();
    void droppedLinkIsReportedAndAcquisitionResumes();
    void selfStoppedDeviceIsRestartedUnderANewSdFileName();
    void missingDataOnFirmwareOneForcesDisconnection();
    void missingDataOnNewerFirmwareIsOnlyReported();
    void interruptionEndsABlockedIteration();
    void recordPlaysBackThenReportsItsEnd();
};

void TestThreadsLive::longRunHasNoGapAndNoDuplicate() {
    // Slow enough that the device's two-second buffer (0.67 s here) does not overflow on a loaded machine.
    SimFleet fleet(3);
    sim::Faults f;
    f.startSequence = 65200;  // the run crosses the wrap from 65535 to 0
    sim::setFaults("KVN-H64-1010", f);
    ConfigurableDriverModel m;
    m.setup(usbTo(10), {}, false);
    m.connect_device();
    QVERIFY(m.is_connected());
    switchAllOn(m);
    m.start();
    QVERIFY(m.is_running());

    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 1200, 60000);
    stopThread(t);
    m.stop();
    QCOMPARE(r.seqs.front(), 65200);
    QVERIFY(sequential(r.seqs, 0, r.seqs.size()));
    for (const auto& d : r.data)
        QCOMPARE(d.size(), size_t(64 * 16));
    QCOMPARE(r.noData + r.lost + r.ends, 0);
}

void TestThreadsLive::droppedLinkIsReportedAndAcquisitionResumes() {
    SimFleet fleet(20);
    sim::Faults f;
    f.dropAfterBlocks = 60;
    f.dropSeconds = 2.0;
    sim::setFaults("KVN-A32-0412L", f);
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-A32-0412L"), {}, false);
    m.connect_device();
    switchAllOn(m);
    m.start();

    ReadBT t;
    Receiver r(t);
    CoutCapture out;
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.lost >= 1, 20000);
    const size_t atLoss = r.seqs.size();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= atLoss + 60, 20000);
    stopThread(t);
    QVERIFY(m.is_connected());
    // The link goes when the 60th block of the run is due; a reader that started late has fewer.
    const size_t beforeLoss = r.lostAfter.front();
    QVERIFY2(beforeLoss >= 1 && beforeLoss <= 60, qPrintable(QString::number(beforeLoss)));
    QVERIFY(sequential(r.seqs, 0, beforeLoss));
    QVERIFY(out.count("Read ... DISCONNECTED") >= 1);
    QVERIFY(out.text().find("Reconnect ...OK\n") != std::string::npos);
    // Blocks after the recovery are in order again.
    QVERIFY(sequential(r.seqs, r.seqs.size() - 50, r.seqs.size()));
}

void TestThreadsLive::selfStoppedDeviceIsRestartedUnderANewSdFileName() {
    SimFleet fleet(20);
    sim::Faults f;
    f.stopAfterBlocks = 40;
    sim::setFaults("KVN-B08-2201", f);
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
    m.connect_device();
    switchAllOn(m);
    m.set_folder_name("viewer/restart/");
    m.set_file_name("rec");
    m.enable_sd_card(true);
    QVERIFY(m.is_sd_card_enabled());
    m.start();
    QVERIFY(m.is_running());

    ReadBT t;
    Receiver r(t);
    CoutCapture out;
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 80, 20000);
    stopThread(t);
    m.stop();
    QCOMPARE(out.count("Restart ...OK"), 1);
    QCOMPARE(m.file_name(), std::string("rec_0"));
    QCOMPARE(r.lost, 0);
    const QDir card(QString::fromStdString(sim::sdCardFolder("KVN-B08-2201")) + "/viewer/restart");
    const QStringList files = card.entryList({"*.kvb"}, QDir::Files, QDir::Name);
    QVERIFY2(files.contains("0_rec.kvb") && files.contains("0_rec_0.kvb"), qPrintable(files.join(",")));
}

void TestThreadsLive::missingDataOnFirmwareOneForcesDisconnection() {
    SimFleet fleet(20);
    sim::Faults f;
    f.gapAfterBlocks = 30;
    f.gapSeconds = 3.0;
    sim::setFaults("KVN-TRK-0031", f);
    DriverModel m;  // a read-only link
    m.setup(bluetoothTo("KVN-TRK-0031", true));
    {
        CoutCapture quiet;
        m.connect_device();
    }
    m.start();
    QCOMPARE(m.version(), std::string("HW1.0_FW1.0"));

    ReadBT t;
    Receiver r(t);
    CoutCapture out;
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.lost >= 1, 20000);
    const size_t atLoss = r.seqs.size();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= atLoss + 20, 30000);
    stopThread(t);
    QVERIFY(r.noData >= 1);
    QVERIFY(out.count("Read ... NO DATA") >= 1);
    QVERIFY(out.count("FORCE DISCONNECTION") >= 1);
    // The read-only model's connect loop speaks in the middle of the thread's line.
    QVERIFY2(out.text().find("Reconnect ...trying to connect 0...\nOK\n") != std::string::npos, out.text().c_str());
    QVERIFY(m.is_connected());
    QVERIFY(m.is_running());
}

void TestThreadsLive::missingDataOnNewerFirmwareIsOnlyReported() {
    SimFleet fleet(10);
    sim::Faults f;
    f.gapAfterBlocks = 30;
    f.gapSeconds = 3.0;
    sim::setFaults("KVN-B08-2201", f);
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
    m.connect_device();
    switchAllOn(m);
    m.start();

    ReadBT t;
    Receiver r(t);
    CoutCapture out;
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.noData >= 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 60, 30000);
    stopThread(t);
    QCOMPARE(r.lost, 0);
    QCOMPARE(out.count("FORCE DISCONNECTION"), 0);
    QCOMPARE(out.text().find("Reconnect"), std::string::npos);
    // The blocks of the gap never came; those around it are in order.
    int jumps = 0;
    for (size_t i = 1; i < r.seqs.size(); ++i)
        jumps += r.seqs[i] != r.seqs[i - 1] + 1;
    QCOMPARE(jumps, 1);
}

void TestThreadsLive::interruptionEndsABlockedIteration() {
    SimFleet fleet(1);  // real time: a read waits ~31 ms for its block
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-A32-0412R"), {}, false);
    m.connect_device();
    m.start();
    ReadBT t;
    Receiver r(t);
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.seqs.size() >= 3, 10000);
    t.requestInterruption();
    QVERIFY(t.wait(1000));

    // A device that cannot be reached: the thread is pausing between attempts and ends at once.
    sim::Faults gone;
    gone.unreachable = true;
    sim::setFaults("KVN-A32-0412R", gone);
    m.disconnect_device();
    QVERIFY(!m.is_connected());
    CoutCapture out;
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(t.isRunning(), 1000);
    QTest::qWait(300);
    t.requestInterruption();
    QVERIFY(t.wait(1000));
    QCOMPARE(out.count("Reconnect ...NOPE"), 1);
}

void TestThreadsLive::recordPlaysBackThenReportsItsEnd() {
    QTemporaryDir dir;
    const std::vector<KvnSignal> sigs = {{"EEG", 8, 8, 4, 1}, {"uSD", 1, 1, 1, 0}};
    {
        CsvWriter w;
        QVERIFY(w.setup(dir.path().toLocal8Bit().constData(), sigs, "KVN-TEST", 1));
        QVERIFY(w.writeHeaders(500, true));
        std::vector<double> v(32);
        for (int b = 0; b < 50; ++b) {
            for (size_t k = 0; k < v.size(); ++k)
                v[k] = b + k / 100.0;
            QVERIFY(w.write(v.data(), uint16_t(b * 2), 0, 0, 4, 0));
        }
        QVERIFY(w.close());
    }
    RecordModel m;
    QVERIFY(m.open(dir.path().toStdString()));
    m.connect_device();
    m.start();
    ReadBT t;
    Receiver r(t);
    // As the main window does: the end stops the acquisition.
    QObject::connect(&t, &ReadBT::signalEnd, &t, [&t] { t.requestInterruption(); });
    CoutCapture out;
    t.setModel(&m, true);
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(r.ends >= 1, 20000);
    QVERIFY(t.wait(5000));
    QCoreApplication::processEvents();
    QCOMPARE(r.endAfter.front(), size_t(50));
    for (int b = 0; b < 50; ++b) {
        QCOMPARE(r.seqs[b], b * 2);
        QCOMPARE(r.data[b].size(), size_t(32));
        QCOMPARE(r.data[b][31], b + 0.31);
    }
    QCOMPARE(r.battery, short(4));
    QCOMPARE(r.noData + r.lost, 0);
    QVERIFY(out.count("Read ... END") >= 1);
}

QTEST_GUILESS_MAIN(TestThreadsLive)
#include "test_threads_live.moc"
