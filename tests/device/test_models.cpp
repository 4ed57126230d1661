// The models over simulated devices and records: the base slots (which operations run, which signals report
// the state reached), auxiliary devices, clock synchronization with its log, the EEG 64 pair, and playback of a
// record written by CsvWriter.

#include "DriverModel.h"
#include "DriverProxy.h"
#include "EEG64DriverModel.h"
#include "RecordModel.h"
#include "Support.h"

#include "Driver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {

// Runs in a temporary working directory, where synchronization logs go.
struct InTempDir {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    InTempDir() { QDir::setCurrent(dir.path()); }
    ~InTempDir() { QDir::setCurrent(old); }
    QStringList logs() const { return QDir(dir.path()).entryList({"sync_*.csv"}, QDir::Files); }
    QStringList logLines() const {
        QFile f(dir.filePath(logs().value(0)));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                           : QStringList();
    }
};

}  // namespace

class TestModels : public QObject {
    Q_OBJECT
private slots:
    void baseSlotsReportTheStateReached() {
        SimFleet fleet;
        DriverModel m;  // its connect loop says "trying to connect <n>..." once per attempt
        m.setup(bluetoothTo("KVN-TRK-0031", true));
        QSignalSpy connected(&m, &DeviceModel::connected), disconnected(&m, &DeviceModel::disconnected);
        QSignalSpy started(&m, &DeviceModel::started), stopped(&m, &DeviceModel::stopped);
        CoutCapture out;
        m.disconnect_device();  // disconnected already: reported all the same
        m.start();              // refused while disconnected: not reported
        QVERIFY(disconnected.count() == 1 && started.isEmpty());
        m.connect_device();
        m.connect_device();  // connected already: no attempt, reported
        m.connect_device(true);
        QCOMPARE(out.count("trying to connect 0...\n"), 2);
        QVERIFY(connected.count() == 3 && connected[2][0].toBool());

        m.start();
        m.start();  // running already: reported again
        m.stop();
        m.stop();
        QVERIFY(started.count() == 2 && stopped.count() == 2);

        // An unreachable device: ten attempts, then failure is reported.
        sim::Faults gone;
        gone.unreachable = true;
        sim::setFaults("KVN-TRK-0031", gone);
        m.disconnect_device();
        m.connect_device();
        QVERIFY(connected.count() == 4 && !connected[3][0].toBool());
        QCOMPARE(out.count("trying to connect "), 12);
        QCOMPARE(out.count("trying to connect 9...\n"), 1);
    }

    void configurableSlotsReportWhatTheDeviceHolds() {
        SimFleet fleet;
        sim::Faults f;
        f.refusedModes["COM"] = {3};
        f.sdCardRefused = true;
        sim::setFaults("KVN-B08-2201", f);
        ConfigurableDriverModel m;
        m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
        m.connect_device();
        const unsigned com = 3;  // the simulated device's COM signal

        QSignalSpy changed(&m, &ConfigurableDeviceModel::signal_changed);
        QSignalSpy enabled(&m, &ConfigurableDeviceModel::sd_card_enabled);
        m.set_signal_mode(com, 2);
        m.set_signal_mode(com, 3);        // refused: the mode in effect is reported
        m.set_signal_mode(com, 256 + 1);  // never narrowed into mode 1
        QCOMPARE(changed.count(), 3);
        for (const QList<QVariant>& c : changed)
            QVERIFY(c[0].toUInt() == com && c[1].toUInt() == 2u);

        m.enable_sd_card(true);  // refused: nothing reported
        QVERIFY(enabled.isEmpty() && !m.is_sd_card_enabled());
        m.enable_sd_card(false);  // off already: a success
        sim::setFaults("KVN-B08-2201", sim::Faults());
        m.enable_sd_card(true);
        QVERIFY(enabled.count() == 2 && !enabled[0][0].toBool() && enabled[1][0].toBool() && m.is_sd_card_enabled());
    }

    void recordPlaysEveryBlockBackThenTheEndOnce() {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path(), 1000, 12));
        RecordModel m;
        QVERIFY(m.open(dir.path().toStdString()));
        m.connect_device();
        m.start();
        Read r;
        QVERIFY(r(m) && r(m));
        m.stop();  // a new start plays from the first block
        m.start();
        const int16_t battery[] = {-2, -2, -2, -1, 0, 5, 3};  // out of range: unknown
        for (int b = 0; b < 12; ++b) {
            QVERIFY(r(m));
            QVERIFY2(r.seq == uint16_t(65530 + b) && r.battery == battery[b % 7] && r.flags == flagsOf(b),
                     qPrintable(QString("block %1").arg(b)));
            QCOMPARE(r.samples.size(), kValues);
            for (std::size_t k = 0; k < kValues; ++k)
                QCOMPARE(r.samples[k], valueOf(b, k));  // exact: the record is lossless
        }
        // The end marker: false with flags 65535, samples untouched, running cleared; past it no second marker.
        const std::vector<double> last = r.samples;
        QVERIFY(!r(m) && r.flags == 65535 && r.samples == last && !m.is_running());
        r.flags = 0;
        QVERIFY(!r(m) && r.flags == 0);
        m.start();  // the acquisition thread's restart after the end plays the record again
        QVERIFY(r(m) && r.seq == 65530);

        m.clear();
        QVERIFY(!m.is_connected() && dir.remove());
        QSignalSpy connected(&m, &DeviceModel::connected);
        m.connect_device();  // connecting opens the folder again: a vanished record fails
        QVERIFY(!connected[0][0].toBool());
    }

    void unreadableOrRatelessRecordIsHandledCleanly() {
        QCOMPARE(RecordModel::pauseMilliseconds(0), 1000u);  // no rate: paced, not unpaced

        QTemporaryDir dir;
        RecordModel empty;
        QVERIFY(!empty.open(dir.path().toStdString()) && !empty.error().empty());
        empty.connect_device();
        empty.start();
        Read r;
        QVERIFY(!empty.is_connected() && !empty.is_running() && !r(empty));

        // A block rate of 0: refused, or played at one block a second.
        QVERIFY(writeRecord(dir.path(), 32, 10));
        QFile info(dir.filePath("signalsInfo.csv"));
        QVERIFY(info.open(QIODevice::ReadWrite));
        QByteArray text = info.readAll();
        QVERIFY(text.contains(",KVN-TEST-0001,32,"));
        text.replace(",KVN-TEST-0001,32,", ",KVN-TEST-0001,0,");
        QVERIFY(info.seek(0) && info.resize(0) && info.write(text) == text.size());
        info.close();
        RecordModel m;
        m.open(dir.path().toStdString());
        m.connect_device();
        m.start();
        QVERIFY(m.frequency() == 0 && m.duration() >= 0);
        if (m.is_running()) {
            QElapsedTimer timer;
            timer.start();
            QVERIFY(r(m) && timer.elapsed() >= 900);
        }
    }

    void auxiliaryDevicesFollowTheMainOne() {
        SimFleet fleet;
        PropertyMap tracker, unknown;
        tracker.set("type", "bluetooth");
        tracker.set("device", "KVN-TRK-0031");
        unknown.set("type", "carrier-pigeon");  // unusable: skipped, not dereferenced
        unknown.set("device", "X");
        ConfigurableDriverModel m;
        m.setup(bluetoothTo("KVN-A32-0412R"), {unknown, tracker}, false);
        m.connect_device();
        Driver watcher(bluetoothTo("KVN-TRK-0031", true));
        QVERIFY(watcher.connectDevice() && !watcher.isRunning());
        // The link is rebuilt around the auxiliary pass: the main device is still there afterwards.
        m.start();
        QVERIFY(m.is_running() && watcher.isRunning());
        m.stop();
        QVERIFY(!m.is_running() && !watcher.isRunning() && m.is_connected());
    }

    void synchronizationConvergesAndLogsEveryExchange() {
        SimFleet fleet;
        InTempDir here;
        sim::Faults f;
        f.clockOffsetSet = true;
        f.clockOffsetUs = 250000;
        f.clockJitterUs = 50;
        sim::setFaults("KVN-B08-2201", f);
        ConfigurableDriverModel m;
        m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
        m.connect_device();
        QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);
        m.synchronize();
        QCOMPARE(synced.count(), 1);
        const double offset = synced[0][0].toDouble(), tof = synced[0][1].toDouble();
        QVERIFY2(std::fabs(offset - 250000) < 1000, qPrintable(QString::number(offset)));
        QVERIFY(tof >= 0 && tof < 100000 && offset == m.offset() && tof == m.tof());
        QCOMPARE(here.logs(), QStringList(m.proxy().syncLogFileName()));

        // One line "t0, t1, t2, t3" per accepted exchange; converged after more than 100 of them.
        const QStringList rows = here.logLines();
        QVERIFY2(rows.size() > 100 && rows.size() <= 300, qPrintable(QString::number(rows.size())));
        const QRegularExpression exchange("^(\\d+), (\\d+), (\\d+), (\\d+)$");
        for (const QString& row : rows) {
            const QRegularExpressionMatch t = exchange.match(row);
            QVERIFY2(t.hasMatch() && t.captured(2).toUInt() <= t.captured(3).toUInt(), qPrintable(row));
        }
    }

    void synchronizationCancelledOrWithoutDevice() {
        SimFleet fleet(1);  // real-time exchanges, so the canceller sees the log grow
        InTempDir here;
        ConfigurableDriverModel m;
        m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
        m.connect_device();
        QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);
        std::atomic<bool> done{false};
        std::thread canceller([&] {
            while (!done && here.logLines().size() < 5)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            m.cancel_synchronization();
        });
        m.synchronize();
        done = true;
        canceller.join();
        QVERIFY(synced.isEmpty() && m.offset() == 0.0 && m.tof() == 0.0);
        QVERIFY2(here.logLines().size() < 100, qPrintable(QString::number(here.logLines().size())));
        // The device left its synchronization mode, and the old cancel does not spoil a new synchronization.
        m.synchronize();
        QCOMPARE(synced.count(), 1);

        // Without a device every exchange fails, and the fallback result is reported.
        m.disconnect_device();
        CoutCapture out;
        m.synchronize();
        QCOMPARE(out.count("cannot start synchronization\n"), 1);
        QCOMPARE(out.count("Warning: Synchronization protocol error\n"), 300);
        QCOMPARE(out.count("cannot stop synchronization\n"), 1);
        QVERIFY(synced.count() == 2 && synced[1][0].toDouble() == 0.0 && std::isinf(synced[1][1].toDouble()));
    }

    void eeg64PairOffsetIsRightMinusLeft() {
        SimFleet fleet(5);
        sim::Faults left, right;
        left.clockOffsetSet = right.clockOffsetSet = true;
        left.clockOffsetUs = 10000;
        right.clockOffsetUs = 310000;
        sim::setFaults("KVN-A32-0412L", left);
        sim::setFaults("KVN-A32-0412R", right);
        EEG64DriverModel m;
        m.setup("KVN-A32-0412L", "KVN-A32-0412R", "");
        m.connect_device();
        // Its blocks are the pair driver's, checked whole end to end.
        QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);
        m.synchronize();
        QCOMPARE(synced.count(), 1);
        QVERIFY2(std::fabs(m.offset() - 300000) < 1000, qPrintable(QString::number(m.offset())));
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
