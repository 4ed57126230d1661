// The live single-device models and their driver proxy against simulated devices: the connect loop,
// configuration read back from the device, the signals of the proxy around auxiliary devices, and the clock
// synchronization with its log.

#include "DriverModel.h"
#include "DriverProxy.h"
#include "SimFixture.h"

#include "Driver.h"

#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace {

unsigned indexOf(const DeviceModel& m, const std::string& name) {
    for (unsigned i = 0; i < m.signal_count(); ++i)
        if (m.signal_name(i) == name)
            return i;
    return ~0u;
}

QStringList lines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// Switches to a temporary working directory, where synchronization logs go.
struct InTempDir {
    QTemporaryDir dir;
    QString old = QDir::currentPath();
    InTempDir() { QDir::setCurrent(dir.path()); }
    ~InTempDir() { QDir::setCurrent(old); }
    QStringList logs() const { return QDir(dir.path()).entryList({"sync_*.csv"}, QDir::Files); }
};

}  // namespace

class TestProxy : public QObject {
    Q_OBJECT
private slots:
    void readOnlyModelConnectsAndDescribesTheDevice();
    void connectLoopGivesUpAfterTenAttempts();
    void configurationIsReportedAsTheDeviceHasIt();
    void proxySignalsAroundStartAndStop();
    void auxiliaryDevicesAreStartedAndStoppedWithTheMainOne();
    void auxiliaryDeviceWithoutTypeIsAnError();
    void syncLogName();
    void synchronizationConvergesToTheClockOffset();
    void cancelledSynchronizationEmitsNothing();
    void synchronizationWithoutDeviceGivesTheFallbackResult();
};

void TestProxy::readOnlyModelConnectsAndDescribesTheDevice() {
    SimFleet fleet;
    DriverModel m;
    m.setup(bluetoothTo("KVN-TRK-0031", true));
    QSignalSpy connected(&m, &DeviceModel::connected);
    {
        CoutCapture out;
        m.connect_device();
        QCOMPARE(out.text(), std::string("trying to connect 0...\n"));
    }
    QCOMPARE(connected.count(), 1);
    QVERIFY(connected.at(0).at(0).toBool());
    QVERIFY(m.is_read_only());
    QVERIFY(!m.requires_dongle());
    QCOMPARE(m.duration(), int64_t(-1));
    QCOMPARE(m.version(), std::string("HW1.0_FW1.0"));
    QCOMPARE(m.frequency(), 16u);
    QCOMPARE(m.description(), std::string("KVN-TRK-0031"));
    QCOMPARE(m.signal_count(), 5u);
    QCOMPARE(m.signal_name(0), std::string("ANC"));
    QCOMPARE(m.signal_channels(3), 6u);
    QCOMPARE(m.signal_name(4), std::string("uSD"));
    QVERIFY(!m.has_eeg_signal());
    QVERIFY(m.has_sd_card());
    QCOMPARE(m.signal_name(99), std::string());

    m.start();
    QVERIFY(m.is_running());
    std::vector<double> samples;
    uint16_t seq = 0, flags = 0;
    int16_t battery = 0;
    QVERIFY(m.read(samples, seq, battery, flags));
    QCOMPARE(samples.size(), size_t(2 + 2 + 2 + 6));
    m.stop();
    QVERIFY(!m.is_running());
    QSignalSpy disconnected(&m, &DeviceModel::disconnected);
    m.disconnect_device();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!m.is_connected());
}

void TestProxy::connectLoopGivesUpAfterTenAttempts() {
    SimFleet fleet;
    sim::Faults f;
    f.unreachable = true;
    sim::setFaults("KVN-TRK-0031", f);
    sim::setFaults("KVN-B08-2201", f);
    {
        DriverModel m;
        m.setup(bluetoothTo("KVN-TRK-0031", true));
        QSignalSpy connected(&m, &DeviceModel::connected);
        CoutCapture out;
        m.connect_device();
        QCOMPARE(connected.count(), 1);
        QCOMPARE(connected.at(0).at(0).toBool(), false);
        std::string expected;
        for (int i = 0; i < 10; ++i)
            expected += "trying to connect " + std::to_string(i) + "...\n";
        QCOMPARE(out.text(), expected);
    }
    {
        ConfigurableDriverModel m;
        m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
        QSignalSpy connected(&m, &DeviceModel::connected);
        CoutCapture out;
        m.connect_device();
        QCOMPARE(connected.at(0).at(0).toBool(), false);
        QCOMPARE(out.text(), std::string());  // the configurable model says nothing
    }
}

void TestProxy::configurationIsReportedAsTheDeviceHasIt() {
    SimFleet fleet;
    sim::Faults f;
    f.refusedModes["COM"] = {3};
    f.sdCardRefused = true;
    sim::setFaults("KVN-B08-2201", f);
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-B08-2201"), {}, true);
    m.connect_device();
    QVERIFY(m.is_connected());
    QVERIFY(!m.is_read_only());
    QVERIFY(!m.requires_dongle());
    QCOMPARE(m.duration(), int64_t(-1));
    QVERIFY(m.has_eeg_signal());
    const unsigned com = indexOf(m, "COM");
    QVERIFY(com < m.signal_count());

    QSignalSpy changed(&m, &ConfigurableDeviceModel::signal_changed);
    m.set_signal_mode(com, 2);
    QCOMPARE(changed.at(0).at(1).toUInt(), 2u);
    m.set_signal_mode(com, 3);  // refused: the mode in effect is reported
    QCOMPARE(changed.at(1).at(0).toUInt(), com);
    QCOMPARE(changed.at(1).at(1).toUInt(), 2u);
    m.set_signal_mode(com, 256 + 1);  // never narrowed into mode 1
    QCOMPARE(changed.at(2).at(1).toUInt(), 2u);
    QCOMPARE(m.signal_mode(com), 2);

    QSignalSpy card(&m, &ConfigurableDeviceModel::sd_card_enabled);
    m.enable_sd_card(true);
    QCOMPARE(card.count(), 0);
    QVERIFY(!m.is_sd_card_enabled());

    QSignalSpy file(&m, &ConfigurableDeviceModel::file_name_changed);
    QSignalSpy folder(&m, &ConfigurableDeviceModel::folder_name_changed);
    m.set_file_name("run1");
    m.set_folder_name("viewer/24-03-05/09-07-02/");
    QCOMPARE(file.at(0).at(0).value<std::string>(), m.file_name());
    QCOMPARE(m.file_name(), std::string("run1"));
    QCOMPARE(folder.at(0).at(0).value<std::string>(), m.folder_name());

    // All modes at once: every signal on, the card off.
    std::string modes(m.signal_count(), '\1');
    modes[indexOf(m, "uSD")] = '\0';
    m.set_signal_modes(modes);
    for (unsigned i = 0; i < m.signal_count(); ++i)
        QCOMPARE(m.signal_mode(i), m.signal_name(i) == "uSD" ? 0 : 1);

    sim::Faults accepting;
    sim::setFaults("KVN-B08-2201", accepting);
    m.enable_sd_card(true);
    QCOMPARE(card.count(), 1);
    QVERIFY(m.is_sd_card_enabled());
}

void TestProxy::proxySignalsAroundStartAndStop() {
    SimFleet fleet;
    DriverProxy proxy;
    QSignalSpy updated(&proxy, &DriverProxy::updated);
    proxy.setup(bluetoothTo("KVN-A32-0412L"), true);
    QCOMPARE(updated.count(), 1);
    QVERIFY(proxy.requiresDongle());
    QVERIFY(proxy.otherDevices().empty());

    QSignalSpy connected(&proxy, &DriverProxy::connected);
    QSignalSpy disconnected(&proxy, &DriverProxy::disconnected);
    QSignalSpy started(&proxy, &DriverProxy::started);
    QSignalSpy stopped(&proxy, &DriverProxy::stopped);
    QSignalSpy lost(&proxy, &DriverProxy::connectionLost);

    QVERIFY(!proxy.stop());  // not running: no stopped
    QCOMPARE(stopped.count(), 0);
    proxy.disconnectDevice();  // was not connected: no disconnected
    QCOMPARE(disconnected.count(), 0);

    proxy.connectDevice();
    QCOMPARE(connected.count(), 1);
    QCOMPARE(updated.count(), 2);
    QCOMPARE(started.count(), 0);
    QVERIFY(proxy.start());
    QCOMPARE(started.count(), 1);
    // Connecting a running device reports it running.
    proxy.connectDevice();
    QCOMPARE(started.count(), 2);
    QVERIFY(proxy.stop());
    QCOMPARE(stopped.count(), 1);
    proxy.disconnectDevice(false);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(lost.count(), 0);
}

void TestProxy::auxiliaryDevicesAreStartedAndStoppedWithTheMainOne() {
    SimFleet fleet;
    PropertyMap tracker;
    tracker.set("type", "bluetooth");
    tracker.set("device", "KVN-TRK-0031");
    PropertyMap unknown;  // an unusable description is skipped, not dereferenced
    unknown.set("type", "carrier-pigeon");
    unknown.set("device", "X");
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-A32-0412R"), {unknown, tracker}, false);
    m.connect_device();
    QVERIFY(m.is_connected());

    // Watch the tracker through a link of its own.
    Driver watcher(bluetoothTo("KVN-TRK-0031", true));
    QVERIFY(watcher.connectDevice());
    QVERIFY(!watcher.isRunning());

    // The proxy's signals, in order: the link is rebuilt around the auxiliary pass, then the device starts.
    QStringList order;
    const DriverProxy& proxy = m.proxy();
    QObject::connect(&proxy, &DriverProxy::connected, [&] { order << "connected"; });
    QObject::connect(&proxy, &DriverProxy::disconnected, [&] { order << "disconnected"; });
    QObject::connect(&proxy, &DriverProxy::updated, [&] { order << "updated"; });
    QObject::connect(&proxy, &DriverProxy::started, [&] { order << "started"; });
    QObject::connect(&proxy, &DriverProxy::stopped, [&] { order << "stopped"; });

    QSignalSpy started(&m, &DeviceModel::started);
    m.start();
    QVERIFY(m.is_running());
    QCOMPARE(started.count(), 1);
    QVERIFY(watcher.isRunning());
    QCOMPARE(order, QStringList({"disconnected", "connected", "updated", "started"}));

    order.clear();
    m.stop();
    QVERIFY(!m.is_running());
    QVERIFY(!watcher.isRunning());
    QVERIFY(m.is_connected());
    QCOMPARE(order, QStringList({"disconnected", "connected", "updated", "stopped"}));
}

void TestProxy::auxiliaryDeviceWithoutTypeIsAnError() {
    SimFleet fleet;
    PropertyMap noType;
    noType.set("device", "KVN-TRK-0031");
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-A32-0412R"), {noType}, false);
    m.connect_device();
    try {
        m.start();
        QFAIL("start went on without the auxiliary device's type");
    } catch (const std::invalid_argument& e) {
        QCOMPARE(std::string(e.what()), std::string("type property not in the map"));
    }
    QVERIFY(!m.is_running());
}

void TestProxy::syncLogName() {
    QCOMPARE(DriverProxy::syncLogName(QDateTime(QDate(2024, 3, 5), QTime(9, 7, 2))),
             QString("sync_2024-3-5_9-7-2.csv"));
    QCOMPARE(DriverProxy::syncLogName(QDateTime(QDate(2031, 12, 31), QTime(23, 59, 59))),
             QString("sync_2031-12-31_23-59-59.csv"));
    QCOMPARE(DriverProxy::syncLogName(QDateTime(QDate(2025, 1, 1), QTime(0, 0, 0))),
             QString("sync_2025-1-1_0-0-0.csv"));
}

void TestProxy::synchronizationConvergesToTheClockOffset() {
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
    const QDateTime before = QDateTime::currentDateTime();
    m.synchronize();
    QCOMPARE(synced.count(), 1);
    const double offset = synced.at(0).at(0).toDouble();
    const double tof = synced.at(0).at(1).toDouble();
    QCOMPARE(offset, m.offset());
    QCOMPARE(tof, m.tof());
    QVERIFY2(std::fabs(offset - 250000) < 1000, qPrintable(QString::number(offset)));
    QVERIFY(tof >= 0 && tof < 100000);

    const QStringList logs = here.logs();
    QCOMPARE(logs.size(), 1);
    QCOMPARE(m.proxy().syncLogFileName(), logs.front());
    QVERIFY(QRegularExpression("^sync_\\d{4}-\\d{1,2}-\\d{1,2}_\\d{1,2}-\\d{1,2}-\\d{1,2}\\.csv$")
                .match(logs.front())
                .hasMatch());
    QVERIFY(logs.front() == DriverProxy::syncLogName(before) ||
            logs.front() == DriverProxy::syncLogName(before.addSecs(1)));

    // One line per accepted exchange, "t0, t1, t2, t3"; converged after more than 100 of them.
    const QStringList rows = lines(logs.front());
    QVERIFY2(rows.size() > 100 && rows.size() <= 300, qPrintable(QString::number(rows.size())));
    for (const QString& row : rows) {
        const QStringList t = row.split(", ");
        QCOMPARE(t.size(), 4);
        bool ok[4];
        quint32 v[4];
        for (int i = 0; i < 4; ++i)
            v[i] = t[i].toUInt(&ok[i]);
        QVERIFY(ok[0] && ok[1] && ok[2] && ok[3]);
        QVERIFY(v[1] <= v[2]);
    }
}

void TestProxy::cancelledSynchronizationEmitsNothing() {
    SimFleet fleet(1);  // real-time exchanges, so the canceller sees the log grow
    InTempDir here;
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-B08-2201"), {}, false);
    m.connect_device();
    QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);

    // Cancel from another thread once a few exchanges are in the log.
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        while (!done) {
            const QStringList logs = here.logs();
            if (!logs.isEmpty() && lines(here.dir.filePath(logs.front())).size() >= 5) {
                m.cancel_synchronization();
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    m.synchronize();
    done = true;
    canceller.join();
    QCOMPARE(synced.count(), 0);
    QCOMPARE(m.offset(), 0.0);
    QCOMPARE(m.tof(), 0.0);
    const int logged = lines(here.dir.filePath(here.logs().front())).size();
    QVERIFY2(logged < 100, qPrintable(QString::number(logged)));

    // The device left its synchronization mode: a new synchronization works.
    m.synchronize();
    QCOMPARE(synced.count(), 1);
}

void TestProxy::synchronizationWithoutDeviceGivesTheFallbackResult() {
    SimFleet fleet;
    InTempDir here;
    ConfigurableDriverModel m;
    m.setup(bluetoothTo("KVN-B08-2201"), {}, false);  // never connected
    QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);
    CoutCapture out;
    m.synchronize();
    QCOMPARE(out.count("cannot start synchronization"), 1);
    QCOMPARE(out.count("Warning: Synchronization protocol error"), 300);
    QCOMPARE(out.count("cannot stop synchronization"), 1);
    QCOMPARE(synced.count(), 1);
    QCOMPARE(synced.at(0).at(0).toDouble(), 0.0);
    QVERIFY(std::isinf(synced.at(0).at(1).toDouble()));
    QCOMPARE(lines(here.dir.filePath(here.logs().front())).size(), 0);
}

QTEST_GUILESS_MAIN(TestProxy)
#include "test_proxy.moc"
