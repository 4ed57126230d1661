#include <QFile>

#include <algorithm>
#include <cmath>

#include "FirmwareProtocol.h"
#include "SimTestSupport.h"

class TestDevices : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

private slots:
    void init() { freshFleet(cards_, 4.0); }
    void cleanupTestCase() { sim::reset(); }

    void discoveryListsTheFleet() {
        auto bt = BluetoothConnection::discovery();
        std::sort(bt.begin(), bt.end());
        QCOMPARE(bt, (std::vector<std::string>{"KVN-A32-0412L", "KVN-A32-0412R", "KVN-B08-2201", "KVN-TRK-0031"}));
        QCOMPARE(UsbConnection::discovery(), (std::vector<std::string>{"COM3", "COM10", "COM11", "COM12"}));
        for (const char* name : {"KVN-B08-2201", "KVN-H64-1010"})
            withFaults(name, [](sim::Faults& f) { f.unreachable = true; });
        QCOMPARE(int(BluetoothConnection::discovery().size()), 3);
        QCOMPARE(UsbConnection::discovery(), (std::vector<std::string>{"COM3", "COM11", "COM12"}));
        QVERIFY(!bluetoothDriver("KVN-B08-2201")->isConnected() && !usbDriver(10)->isConnected());
        auto driver = bluetoothDriver("KVN-A32-0412L");
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.unreachable = true; });  // switched off under a live link
        QVERIFY(!driver->isConnected());
        // Unknown names and ports; a USB device has no Bluetooth name.
        QVERIFY(!bluetoothDriver("KVN-XXX")->isConnected() && !bluetoothDriver("KVN-B08-3003")->isConnected());
        QVERIFY(!usbDriver(4)->isConnected());
        Driver none;
        std::vector<double> data;
        QVERIFY(!none.connectDevice() && !none.start() && !none.read(data));
        QVERIFY(none.getSignals().empty() && none.getSignal(3).name.empty());
    }

    void everyDeviceConnectsStartsReadsAndStops() {
        // Bluetooth devices by name, USB ones by port; what each describes is the simulator's own table.
        const struct { const char* name; int usbPort; } fleet[] = {
            {"KVN-A32-0412L", 0}, {"KVN-A32-0412R", 0}, {"KVN-B08-2201", 0}, {"KVN-TRK-0031", 0},
            {"KVN-B08-3003", 3},  {"KVN-H64-1010", 10}, {"KVN-H128-1110", 11}, {"KVN-H256-1210", 12}};
        for (const auto& e : fleet) {
            auto driver = e.usbPort ? usbDriver(e.usbPort) : bluetoothDriver(e.name);
            QVERIFY2(driver->isConnected() && driver->connectionInformation() == e.name, e.name);
            std::size_t values = 0;  // the signals switched on, but the card, which adds no values
            for (const KvnSignal& s : driver->getSignals())
                values += s.name == "uSD" || s.mode == 0 ? 0 : std::size_t(s.channels) * s.samples;
            QVERIFY2(values > 0 && driver->blockSize() == values && !driver->getVersion().empty(), e.name);
            QVERIFY(driver->hasSDCard() && !driver->isSDCardEnabled() && !driver->isRunning());
            const unsigned rate = driver->getFrequency();
            QVERIFY2(driver->start() && driver->isRunning(), e.name);
            const auto started = std::chrono::steady_clock::now();
            const auto blocks = readBlocks(*driver, 6);
            // Paced like the radio: six blocks cannot arrive before they were made.
            QVERIFY2(blocks.size() == 6 && secondsSince(started) >= 0.9 * 6.0 / (rate * sim::timeScale()), e.name);
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                QCOMPARE(unsigned(blocks[i].sequence), unsigned(i));
                QVERIFY(blocks[i].data.size() == driver->blockSize() && blocks[i].flags == 0);
                const int battery = blocks[i].battery;
                QVERIFY(e.usbPort ? battery == -1 : battery >= 3 && battery <= 5);  // -1: charging from the cable
                for (double v : blocks[i].data) QVERIFY(std::isfinite(v));
            }
            Block b;
            QVERIFY(driver->stop() && !driver->isRunning() && !readBlock(*driver, b));  // stopped: at once, no waiting
            QVERIFY(driver->disconnectDevice() && !driver->isConnected() && !readBlock(*driver, b));
        }
    }

    void sequenceWrapsAfter65535() {
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.startSequence = 65531; });
        auto driver = bluetoothDriver("KVN-A32-0412L");
        std::vector<unsigned> sequences;
        for (const Block& b : startAndRead(*driver, 8)) sequences.push_back(b.sequence);
        QCOMPARE(sequences, (std::vector<unsigned>{65531, 65532, 65533, 65534, 65535, 0, 1, 2}));
    }

    void modesShapeTheSampleVector() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        QCOMPARE(driver->blockSize(), std::size_t(64 + 8 + 1 + 9 + 1));
        // The digital aux input takes one sample per IMU plugged in, up to four.
        QVERIFY(driver->setSignalMode(3, 3));
        QCOMPARE(driver->blockSize(), std::size_t(64 + 8 + 1 + 27 + 1));
        QVERIFY(!driver->setSignalMode(3, 5) && !driver->setSignalMode(0, 2) && !driver->setSignalMode(17, 1));
        QCOMPARE(driver->getSignal(3).mode, 3u);
        // One mode byte per signal, as the application builds them; digits are taken too.
        QVERIFY(driver->setAllSignalModes(std::string("\x01\x00\x01\x02\x00\x00", 6)));
        QCOMPARE(driver->blockSize(), std::size_t(64 + 1 + 18));
        QVERIFY(driver->setAllSignalModes("111100"));
        QCOMPARE(driver->blockSize(), std::size_t(64 + 8 + 1 + 9));
        QVERIFY(!driver->setAllSignalModes("01"));  // too short: applied as far as it goes
        QVERIFY(driver->getSignal(0).mode == 0 && driver->getSignal(1).mode == 1);

        QVERIFY(driver->setAllSignalModes("111200") && driver->start());
        Block b;
        QVERIFY(!driver->setSignalMode(0, 0) && readBlock(*driver, b));  // running: the block layout is fixed
        QCOMPARE(b.data.size(), std::size_t(64 + 8 + 1 + 18));
        // Layout: EEG 8x8, BVP 8, GSR 1, then two IMUs of nine axes; the accelerometer z sees gravity.
        const double* imu = b.data.data() + 64 + 8 + 1;
        QVERIFY(std::abs(imu[2] - 9.81) < 1.0 && std::abs(imu[9 + 2] - 9.81) < 1.0);
        QVERIFY(b.data[64 + 8] > 1.0 && b.data[64 + 8] < 8.0);  // GSR in microsiemens
    }

    void recordImportsAsRead() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        QVERIFY(driver->setSignalMode(3, 2));  // two IMUs
        QVERIFY(recordTo(*driver, "viewer\\26-12-05\\08-15-00\\.", "r005") && driver->start());  // the Windows way
        const auto live = readBlocks(*driver, 12);
        QVERIFY(live.size() == 12 && driver->stop());
        const QString folder = cards_.path() + "/KVN-B08-2201/viewer/26-12-05/08-15-00";
        QVERIFY(QFile::exists(folder + "/0_r005.kvb"));

        Importer importer(folder.toStdString(), "r005");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QVERIFY(importer.version() == "HW2.0_FW1.1" && importer.blocks_per_second() == 32);
        QCOMPARE(unsigned(importer.first_sequence()), 0u);
        QVERIFY(importer.get_signals() == driver->getSignals() && !importer.get_valid_setup_halvo());
        int setUps = 0;
        const auto stored = importAll(importer, &setUps);
        for (const Block& b : live) QVERIFY(stored.count(b.sequence) && stored.at(b.sequence) == b.data);
        QCOMPARE(setUps, 0);

        // Started again, the device writes a second file of the same base name: nothing is overwritten.
        QVERIFY(driver->start() && readBlocks(*driver, 3).size() == 3 && driver->stop());
        const auto names = importer::recordNames(folder.toStdString());
        QCOMPARE(int(names.size()), 2);
        for (const auto& name : names) QCOMPARE(importer::basename(name), std::string("r005"));
    }

    void trackerSetUpIsCheckedReportedAndRecorded() {
        auto driver = bluetoothDriver("KVN-TRK-0031");
        const std::string setUp = driver->getSetUp();
        QVERIFY(!driver->setSetUp("{not json") && driver->getSetUp() == setUp);
        QVERIFY(!bluetoothDriver("KVN-A32-0412L")->setSetUp("{}"));
        QVERIFY(recordTo(*driver, "anchors", "walk"));
        for (const Block& b : startAndRead(*driver, 3)) QCOMPARE(unsigned(b.flags), 0u);  // all three anchors named
        QVERIFY(driver->setSetUp("{\"anchors\":[]}") && driver->getSetUp() == "{\"anchors\":[]}");  // a set-up block
        for (const Block& b : readBlocks(*driver, 4)) {
            QCOMPARE(unsigned(b.flags), 0x0100u);  // anchors not configured
            QCOMPARE(b.data.size(), std::size_t(2 + 2 + 2 + 6));
            for (int k = 0; k < 6; k += 2)  // metres, volts
                QVERIFY(b.data[k] > 0.0 && b.data[k] < 20.0 && b.data[k + 1] > 3.7 && b.data[k + 1] < 4.1);
        }
        QVERIFY(driver->stop());

        Importer importer((cards_.path() + "/KVN-TRK-0031/anchors").toStdString(), "walk");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QVERIFY(importer.get_valid_setup_halvo());
        int setUps = 0;
        QVERIFY(importAll(importer, &setUps).size() >= 7);
        QCOMPARE(setUps, 1);
        QTemporaryDir out;
        QVERIFY(importer.import_posita_setup(out.filePath("setup.json").toStdString()));
        QFile file(out.filePath("setup.json"));
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll().contains("\"anchors\":[]"));
    }

    void readOnlyAndDongleLinks() {
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
    }

    void disconnectKeepsOrForgetsTheDescription() {
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->start() && driver->disconnectDevice(false) && driver->getSignals().size() == 2);
        // The device went on acquiring without a listener.
        QVERIFY(driver->connectDevice() && driver->isRunning());
        QVERIFY(driver->disconnectDevice(true) && driver->getSignals().empty());
        QVERIFY(driver->connectDevice() && !driver->isRunning());
    }

    void firmwareCommandsRunAnAuxiliaryDevice() {
        std::unique_ptr<Connection> link(new BluetoothConnection("KVN-TRK-0031"));
        QVERIFY(!FirmwareProtocol::start(link.get()) && !FirmwareProtocol::stop(nullptr));  // not open
        QVERIFY(link->connect() && FirmwareProtocol::start(link.get()));
        link->disconnect();
        auto observer = bluetoothDriver("KVN-TRK-0031");
        QVERIFY(observer->isRunning());
        QVERIFY(link->connect() && FirmwareProtocol::stop(link.get()) && !observer->isRunning());
    }

    void synchronizationStampsGiveTheClockOffset() {
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.clockOffsetSet = true, f.clockOffsetUs = 250000; });
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->synchronize().t1 > driver->synchronize().t2);  // refused: not started
        QCOMPARE(clockOffsets(*driver, 20), std::vector<double>(20, 250000.0));  // jitter: see the model's test
        QVERIFY(!driver->stopSynchronization());
    }
};

QTEST_GUILESS_MAIN(TestDevices)
#include "test_devices.moc"
