#include <QFile>

#include <cmath>

#include "FirmwareProtocol.h"
#include "SimTestSupport.h"

class TestDevices : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

private slots:
    void init() { freshFleet(cards_, 4.0); }
    void cleanupTestCase() { sim::reset(); }

    void unreachableAndUnknownDevicesNeverConnect() {
        const std::size_t bluetooth = BluetoothConnection::discovery().size(), usb = UsbConnection::discovery().size();
        for (const char* name : {"KVN-B08-2201", "KVN-H64-1010"})
            withFaults(name, [](sim::Faults& f) { f.unreachable = true; });
        QVERIFY(BluetoothConnection::discovery().size() == bluetooth - 1 && UsbConnection::discovery().size() == usb - 1);
        QVERIFY(!bluetoothDriver("KVN-B08-2201")->isConnected() && !usbDriver(10)->isConnected());
        auto driver = bluetoothDriver("KVN-A32-0412L");
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.unreachable = true; });  // switched off under a live link
        QVERIFY(!driver->isConnected());
        // Unknown names and ports; a USB device has no Bluetooth name.
        QVERIFY(!bluetoothDriver("KVN-XXX")->isConnected() && !bluetoothDriver("KVN-B08-3003")->isConnected());
        QVERIFY(!usbDriver(4)->isConnected());
        Driver none;
        std::vector<double> data;
        QVERIFY(!none.connectDevice() && !none.start() && !none.read(data) && none.getSignal(3).name.empty());
        BluetoothConnection closed("KVN-TRK-0031");  // the auxiliary commands on a link that is not open
        QVERIFY(!FirmwareProtocol::start(&closed) && !FirmwareProtocol::stop(nullptr));
    }

    void everyDeviceConnectsStartsReadsAndStops() {
        const struct { const char* name; int usbPort; } fleet[] = {
            {"KVN-A32-0412L", 0}, {"KVN-A32-0412R", 0}, {"KVN-B08-2201", 0}, {"KVN-TRK-0031", 0},
            {"KVN-B08-3003", 3},  {"KVN-H64-1010", 10}, {"KVN-H128-1110", 11}, {"KVN-H256-1210", 12}};
        for (const auto& e : fleet) {
            auto driver = e.usbPort ? usbDriver(e.usbPort) : bluetoothDriver(e.name);
            QVERIFY2(driver->isConnected() && driver->connectionInformation() == e.name, e.name);
            const unsigned rate = driver->getFrequency();
            QVERIFY2(driver->start() && driver->isRunning(), e.name);
            const auto started = std::chrono::steady_clock::now();
            const auto blocks = readBlocks(*driver, 6);
            // Paced like the radio: six blocks cannot arrive before they were made.
            QVERIFY2(blocks.size() == 6 && secondsSince(started) >= 0.9 * 6.0 / (rate * sim::timeScale()), e.name);
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                QVERIFY(blocks[i].sequence == i && blocks[i].data.size() == driver->blockSize() && blocks[i].flags == 0);
                QVERIFY(e.usbPort ? blocks[i].battery == -1 : blocks[i].battery >= 3 && blocks[i].battery <= 5);
                for (double v : blocks[i].data) QVERIFY(std::isfinite(v));
            }
            Block b;
            QVERIFY(driver->stop() && !driver->isRunning() && !readBlock(*driver, b));  // stopped: at once, no waiting
            QVERIFY(driver->disconnectDevice() && !driver->isConnected() && !readBlock(*driver, b));
        }
    }

    void modesShapeTheSampleVector() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        // The digital aux input takes one sample per IMU plugged in, up to four.
        QVERIFY(!driver->setSignalMode(3, 5) && !driver->setSignalMode(0, 2) && !driver->setSignalMode(17, 1));
        // One mode byte per signal, as the application builds them; digits are taken too.
        QVERIFY(driver->setAllSignalModes(std::string("\x01\x00\x01\x02\x00\x00", 6)));
        QCOMPARE(driver->blockSize(), std::size_t(64 + 1 + 18));
        QVERIFY(!driver->setAllSignalModes("01"));  // too short: applied as far as it goes
        QVERIFY(driver->getSignal(0).mode == 0 && driver->getSignal(1).mode == 1);
        QVERIFY(driver->setAllSignalModes("111200") && driver->start());
        Block b;
        QVERIFY(!driver->setSignalMode(0, 0) && readBlock(*driver, b));  // running: the block layout is fixed
        QCOMPARE(b.data.size(), std::size_t(64 + 8 + 1 + 18));
        // EEG 8x8, BVP 8, GSR 1, then two IMUs of nine axes; the accelerometer z sees gravity.
        const double* imu = b.data.data() + 64 + 8 + 1;
        QVERIFY(std::abs(imu[2] - 9.81) < 1.0 && std::abs(imu[9 + 2] - 9.81) < 1.0);
    }

    // Started again, the device writes a second file of the same base name: nothing is overwritten.
    void restartedRecordKeepsTheFirst() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        QVERIFY(recordTo(*driver, "viewer\\26-12-05\\08-15-00\\.", "r005"));  // the Windows way
        for (int run = 0; run < 2; ++run) QVERIFY(startAndRead(*driver, 3).size() == 3 && driver->stop());
        const auto names = importer::recordNames((cards_.path() + "/KVN-B08-2201/viewer/26-12-05/08-15-00").toStdString());
        QCOMPARE(int(names.size()), 2);
        for (const auto& name : names) QCOMPARE(importer::basename(name), std::string("r005"));
    }

    void trackerSetUpIsCheckedAndRecorded() {
        auto driver = bluetoothDriver("KVN-TRK-0031");
        const std::string setUp = driver->getSetUp();
        QVERIFY(!driver->setSetUp("{not json") && driver->getSetUp() == setUp);
        QVERIFY(!bluetoothDriver("KVN-A32-0412L")->setSetUp("{}"));
        QVERIFY(recordTo(*driver, "anchors", "walk"));
        for (const Block& b : startAndRead(*driver, 3)) QCOMPARE(unsigned(b.flags), 0u);  // all three anchors named
        QVERIFY(driver->setSetUp("{\"anchors\":[]}"));  // a set-up block
        for (const Block& b : readBlocks(*driver, 4)) QCOMPARE(unsigned(b.flags), 0x0100u);  // anchors not configured
        QVERIFY(driver->stop());
        Importer importer((cards_.path() + "/KVN-TRK-0031/anchors").toStdString(), "walk");
        int setUps = 0;
        QVERIFY(importer.get_valid_setup_halvo() && importAll(importer, &setUps).size() >= 7 && setUps == 1);
    }

    void readOnlyDongleAndDisconnectedLinks() {
        Driver readOnly(new BluetoothConnection("KVN-B08-2201", false, PropertyMap(), true));
        QVERIFY(readOnly.connectDevice());
        QVERIFY(!readOnly.setSignalMode(0, 0) && !readOnly.enableSDCard(true) && !readOnly.setFile("x"));
        QCOMPARE(int(startAndRead(readOnly, 1).size()), 1);

        sim::setDonglePresent(false);
        PropertyMap ble;
        ble.set("device", "KVN-A32-0412L");
        Driver driver(ConnectionFactory::createAndSetup("ble", ble));
        QVERIFY(!driver.connectDevice());
        sim::setDonglePresent(true);
        QVERIFY(driver.connectDevice());
        auto plain = bluetoothDriver("KVN-A32-0412L");
        sim::setDonglePresent(false);  // unplugged: only the link through it is lost
        QVERIFY(!driver.isConnected() && plain->isConnected());

        // The device goes on acquiring without a listener; forgetting the description stops nothing either.
        QVERIFY(plain->start() && plain->disconnectDevice(false) && plain->getSignals().size() == 2);
        QVERIFY(plain->connectDevice() && plain->isRunning());
        QVERIFY(plain->disconnectDevice(true) && plain->getSignals().empty());
        QVERIFY(plain->connectDevice() && !plain->isRunning());
    }
};

QTEST_GUILESS_MAIN(TestDevices)
#include "test_devices.moc"
