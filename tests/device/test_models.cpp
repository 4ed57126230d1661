// The base slots of DeviceModel and ConfigurableDeviceModel: which operations they call and which signals
// they emit in the states that matter.

#include "FakeModel.h"

#include <QSignalSpy>
#include <QtTest>

class TestModels : public QObject {
    Q_OBJECT
private slots:
    void connectEmitsResultEvenWhenNothingAttempted();
    void disconnectStartStopReportTheStateReached();
    void enableSdCardVisitsEveryCardAndReportsOnlySuccess();
    void setSignalModeReportsTheModeReadBack();
    void fileAndFolderNamesReportTheValueReadBack();
    void synchronizeClearsAnOldCancelAndACancelEmitsNothing();
    void queriesOverTheSignalList();
};

void TestModels::connectEmitsResultEvenWhenNothingAttempted() {
    FakeModel m;
    QSignalSpy spy(&m, &DeviceModel::connected);

    m.connectable = false;
    m.connect_device();
    QCOMPARE(m.connectCalls.load(), 1);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.takeFirst().at(0).toBool(), false);

    m.connectable = true;
    m.connect_device();
    QCOMPARE(spy.takeFirst().at(0).toBool(), true);
    QCOMPARE(m.connectCalls.load(), 2);

    // Already connected: no attempt without force, one with force, a report each time.
    m.connect_device(false);
    QCOMPARE(m.connectCalls.load(), 2);
    QCOMPARE(spy.takeFirst().at(0).toBool(), true);
    m.connect_device(true);
    QCOMPARE(m.connectCalls.load(), 3);
    QCOMPARE(spy.takeFirst().at(0).toBool(), true);
}

void TestModels::disconnectStartStopReportTheStateReached() {
    FakeModel m;
    QSignalSpy disconnected(&m, &DeviceModel::disconnected);
    QSignalSpy started(&m, &DeviceModel::started);
    QSignalSpy stopped(&m, &DeviceModel::stopped);

    // Disconnected already: nothing attempted, still reported.
    m.disconnect_device();
    QCOMPARE(m.disconnectCalls.load(), 0);
    QCOMPARE(disconnected.count(), 1);
    m.disconnect_device(true);
    QCOMPARE(m.disconnectCalls.load(), 1);
    QCOMPARE(disconnected.count(), 2);

    // Start refused while disconnected: no report.
    m.start();
    QCOMPARE(m.startCalls.load(), 1);
    QCOMPARE(started.count(), 0);

    m.connect_device();
    m.start();
    QCOMPARE(started.count(), 1);
    m.start();  // running already: no second start, reported again
    QCOMPARE(m.startCalls.load(), 2);
    QCOMPARE(started.count(), 2);

    m.stop();
    QCOMPARE(m.stopCalls.load(), 1);
    QCOMPARE(stopped.count(), 1);
    m.stop();
    QCOMPARE(m.stopCalls.load(), 1);
    QCOMPARE(stopped.count(), 2);

    // clear closes the device and says nothing.
    m.clear();
    QCOMPARE(m.clearCalls.load(), 1);
    QVERIFY(!m.is_connected());
    QCOMPARE(disconnected.count(), 2);
}

void TestModels::enableSdCardVisitsEveryCardAndReportsOnlySuccess() {
    {
        FakeModel none({{"EEG", 8, 8, 1}, {"uSDX", 1, 1, 0}, {"usd", 1, 1, 0}});
        QSignalSpy enabled(&none, &ConfigurableDeviceModel::sd_card_enabled);
        QSignalSpy updated(&none, &DeviceModel::updated);
        none.enable_sd_card(true);
        QCOMPARE(enabled.count(), 0);
        QCOMPARE(updated.count(), 0);
        QCOMPARE(none.signal_mode(1), 0);
        QVERIFY(!none.has_sd_card());
    }
    {
        FakeModel two({{"uSD", 1, 1, 0}, {"EEG", 8, 8, 1}, {"uSD", 1, 1, 0}});
        QSignalSpy enabled(&two, &ConfigurableDeviceModel::sd_card_enabled);
        QSignalSpy updated(&two, &DeviceModel::updated);
        two.enable_sd_card();
        QCOMPARE(two.signal_mode(0), 1);
        QCOMPARE(two.signal_mode(2), 1);
        QCOMPARE(enabled.count(), 2);
        QCOMPARE(enabled.at(0).at(0).toBool(), true);
        QCOMPARE(updated.count(), 2);
        QVERIFY(two.is_sd_card_enabled());
        two.enable_sd_card(false);
        QCOMPARE(enabled.count(), 4);
        QCOMPARE(enabled.at(3).at(0).toBool(), false);
        QVERIFY(!two.is_sd_card_enabled());
    }
    {
        FakeModel refusing;
        refusing.refusedModes = {1};
        QSignalSpy enabled(&refusing, &ConfigurableDeviceModel::sd_card_enabled);
        refusing.enable_sd_card(true);
        QCOMPARE(enabled.count(), 0);
        QVERIFY(!refusing.is_sd_card_enabled());
        // Disabling a card that is off already succeeds.
        refusing.enable_sd_card(false);
        QCOMPARE(enabled.count(), 1);
        QCOMPARE(enabled.at(0).at(0).toBool(), false);
    }
}

void TestModels::setSignalModeReportsTheModeReadBack() {
    FakeModel m({{"EEG", 8, 8, 1}, {"COM", 9, 1, 2}});
    m.refusedModes = {5};
    QSignalSpy changed(&m, &ConfigurableDeviceModel::signal_changed);
    QSignalSpy updated(&m, &DeviceModel::updated);

    m.set_signal_mode(1, 3);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toUInt(), 1u);
    QCOMPARE(changed.at(0).at(1).toUInt(), 3u);

    m.set_signal_mode(1, 5);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(1).at(1).toUInt(), 3u);
    QCOMPARE(updated.count(), 2);

    m.set_signal_modes(std::string("\x00\x01", 2));
    QCOMPARE(m.signal_mode(0), 0);
    QCOMPARE(m.signal_mode(1), 1);
    QCOMPARE(updated.count(), 3);
}

void TestModels::fileAndFolderNamesReportTheValueReadBack() {
    FakeModel m;
    m.fileLimit = "4";
    QSignalSpy file(&m, &ConfigurableDeviceModel::file_name_changed);
    QSignalSpy folder(&m, &ConfigurableDeviceModel::folder_name_changed);
    QSignalSpy updated(&m, &DeviceModel::updated);
    m.set_file_name("recording");
    QCOMPARE(file.count(), 1);
    QCOMPARE(file.at(0).at(0).value<std::string>(), std::string("reco"));
    m.set_folder_name("viewer/24-03-05/09-07-02/");
    QCOMPARE(folder.at(0).at(0).value<std::string>(), std::string("viewer/24-03-05/09-07-02/"));
    QCOMPARE(updated.count(), 2);
}

void TestModels::synchronizeClearsAnOldCancelAndACancelEmitsNothing() {
    FakeModel m;
    m.syncOk.assign(10, true);
    QSignalSpy synced(&m, &ConfigurableDeviceModel::synchronized);

    m.cancel_synchronization();  // a stale request must not spoil the next synchronization
    m.synchronize();
    QCOMPARE(synced.count(), 1);
    QCOMPARE(synced.at(0).at(0).toDouble(), 42.0);
    QCOMPARE(synced.at(0).at(1).toDouble(), 3.0);

    m.cancelAfterExchanges = 5;
    m.synchronize();
    QCOMPARE(synced.count(), 1);
}

void TestModels::queriesOverTheSignalList() {
    FakeModel plain({{"BVP", 1, 8, 1}, {"EE", 1, 1, 1}});
    QVERIFY(!plain.has_eeg_signal());
    QVERIFY(!plain.has_sd_card());
    QVERIFY(!plain.is_sd_card_enabled());

    FakeModel eeg({{"EEG64", 64, 8, 1}, {"uSD", 1, 1, 2}, {"uSD", 1, 1, 0}});
    QVERIFY(eeg.has_eeg_signal());
    QVERIFY(eeg.has_sd_card());
    QVERIFY(eeg.is_sd_card_enabled());  // the first card decides

    FakeModel empty(std::vector<FakeSignal>{});
    QVERIFY(!empty.has_eeg_signal());
    QVERIFY(!empty.has_sd_card());
}

QTEST_GUILESS_MAIN(TestModels)
#include "test_models.moc"
