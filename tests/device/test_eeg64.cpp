// The dual model over the library's MultiDriver, against the simulated left and right headsets.

#include "EEG64DriverModel.h"
#include "SimFixture.h"

#include <QSignalSpy>
#include <QtTest>

#include <cmath>

class TestEeg64 : public QObject {
    Q_OBJECT
private slots:
    void connectsThePairAsOneDevice();
    void blocksAreFlaggedUntilTheHalvesAreSynchronised();
    void clockSynchronizationMeasuresRightMinusLeft();
    void anUnreachableHalfFailsTheConnection();
};

void TestEeg64::connectsThePairAsOneDevice() {
    SimFleet fleet;
    EEG64DriverModel m;
    m.setup("KVN-A32-0412L", "KVN-A32-0412R", "");
    QSignalSpy connected(&m, &DeviceModel::connected);
    QSignalSpy updated(&m, &DeviceModel::updated);
    m.connect_device();
    QCOMPARE(connected.count(), 1);
    QVERIFY(connected.at(0).at(0).toBool());
    QCOMPARE(updated.count(), 0);  // nothing from the driver level
    QVERIFY(!m.is_read_only());
    QVERIFY(!m.requires_dongle());
    QCOMPARE(m.duration(), int64_t(-1));
    QCOMPARE(m.frequency(), 32u);
    QCOMPARE(m.version(), std::string("HW3.0_FW2.1"));
    QCOMPARE(m.signal_count(), 2u);
    QCOMPARE(m.signal_name(0), std::string("EEG"));
    QCOMPARE(m.signal_channels(0), 64u);
    QCOMPARE(m.signal_samples(0), 8u);
    QVERIFY(m.has_sd_card());

    QSignalSpy file(&m, &ConfigurableDeviceModel::file_name_changed);
    m.set_file_name("pair");
    QCOMPARE(file.at(0).at(0).value<std::string>(), std::string("pair"));
    m.set_folder_name("viewer/x/");
    QCOMPARE(m.folder_name(), std::string("viewer/x/"));

    QSignalSpy disconnected(&m, &DeviceModel::disconnected);
    m.disconnect_device();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!m.is_connected());
    m.connect_device();
    QVERIFY(m.is_connected());
    m.clear();
    QVERIFY(!m.is_connected());
}

void TestEeg64::blocksAreFlaggedUntilTheHalvesAreSynchronised() {
    SimFleet fleet(5);
    EEG64DriverModel m;
    m.setup("KVN-A32-0412L", "KVN-A32-0412R", "");
    m.connect_device();
    m.set_signal_modes(std::string("\1\0", 2));
    QSignalSpy started(&m, &DeviceModel::started);
    m.start();
    QCOMPARE(started.count(), 1);
    std::vector<double> samples;
    int flagged = 0, clean = 0;
    uint16_t lastSeq = 0;
    for (int i = 0; i < 60; ++i) {
        uint16_t seq = 0, flags = 0;
        int16_t battery = 0;
        QVERIFY(m.read(samples, seq, battery, flags));
        QCOMPARE(samples.size(), size_t(64 * 8));
        if (i)
            QCOMPARE(seq, uint16_t(lastSeq + 1));
        lastSeq = seq;
        if (flags == 7) {
            QCOMPARE(clean, 0);  // never flagged again once synchronised
            ++flagged;
        } else {
            QCOMPARE(flags, uint16_t(0));
            ++clean;
        }
    }
    QVERIFY(flagged > 0);
    QVERIFY(clean > 0);
    m.stop();
    QVERIFY(!m.is_running());
}

void TestEeg64::clockSynchronizationMeasuresRightMinusLeft() {
    SimFleet fleet;
    sim::Faults left, right;
    left.clockOffsetSet = right.clockOffsetSet = true;
    left.clockOffsetUs = 10000;
    right.clockOffsetUs = 310000;
    sim::setFaults("KVN-A32-0412L", left);
    sim::setFaults("KVN-A32-0412R", right);
    EEG64DriverModel m;
    m.setup("KVN-A32-0412L", "KVN-A32-0412R", "");
    m.connect_device();
    QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);
    m.synchronize();
    QCOMPARE(synced.count(), 1);
    const double offset = synced.at(0).at(0).toDouble();
    QVERIFY2(std::fabs(offset - 300000) < 1000, qPrintable(QString::number(offset)));
    QVERIFY(synced.at(0).at(1).toDouble() >= 0);
    QCOMPARE(m.offset(), offset);

    // Not connected: the exchange cannot start and nothing is reported.
    m.disconnect_device();
    m.synchronize();
    QCOMPARE(synced.count(), 1);
}

void TestEeg64::anUnreachableHalfFailsTheConnection() {
    SimFleet fleet;
    sim::Faults gone;
    gone.unreachable = true;
    sim::setFaults("KVN-A32-0412R", gone);
    EEG64DriverModel m;
    m.setup("KVN-A32-0412L", "KVN-A32-0412R", "");
    QSignalSpy connected(&m, &DeviceModel::connected);
    m.connect_device();
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).at(0).toBool(), false);
    QVERIFY(!m.is_connected());
}

QTEST_GUILESS_MAIN(TestEeg64)
#include "test_eeg64.moc"
