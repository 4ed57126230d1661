// Before any Qt header: the record header has a member named like a Qt keyword.
#include "SdCardFormat.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cmath>
#include <set>

#include "FirmwareProtocol.h"
#include "SimTestSupport.h"

namespace {

struct Expected {
    const char* name;
    int usbPort;  // 0: Bluetooth
    const char* version;
    unsigned rate;
    std::vector<KvnSignal> list;
};

std::vector<Expected> fleetTable() {
    auto sig = [](const char* n, unsigned c, unsigned s, unsigned m) { return KvnSignal(n, c, c, s, m); };
    std::vector<KvnSignal> biosensing = {sig("EEG", 8, 8, 1), sig("BVP", 1, 8, 1), sig("GSR", 1, 1, 1),
                                         sig("COM", 9, 1, 1), sig("HAP", 1, 1, 1), sig("uSD", 1, 1, 0)};
    return {
        {"KVN-A32-0412L", 0, "HW3.0_FW2.1", 32, {sig("EEG", 32, 8, 1), sig("uSD", 1, 1, 0)}},
        {"KVN-A32-0412R", 0, "HW3.0_FW2.1", 32, {sig("EEG", 32, 8, 1), sig("uSD", 1, 1, 0)}},
        {"KVN-B08-2201", 0, "HW2.0_FW1.1", 32, biosensing},
        {"KVN-TRK-0031", 0, "HW1.0_FW1.0", 16,
         {sig("ANC", 2, 1, 1), sig("ANC", 2, 1, 1), sig("ANC", 2, 1, 1), sig("IMU", 6, 1, 1), sig("uSD", 1, 1, 0)}},
        {"KVN-B08-3003", 3, "HW2.0_FW1.1", 32, biosensing},
        {"KVN-H64-1010", 10, "HW4.0_FW3.0", 64, {sig("EEG", 64, 16, 1), sig("uSD", 1, 1, 0)}},
    };
}

// Amplitude of the component at a quarter of the sampling rate, from one channel's samples.
double carrierAmplitude(const std::vector<double>& x) {
    double i = 0, q = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        static const double c[4] = {1, 0, -1, 0}, s[4] = {0, 1, 0, -1};
        i += x[n] * c[n % 4];
        q += x[n] * s[n % 4];
    }
    return 2.0 * std::sqrt(i * i + q * q) / static_cast<double>(x.size());
}

}  // namespace

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
        QCOMPARE(UsbConnection::discovery(), (std::vector<std::string>{"COM3", "COM10"}));

        sim::Faults off;
        off.unreachable = true;
        sim::setFaults("KVN-B08-2201", off);
        sim::setFaults("KVN-H64-1010", off);
        bt = BluetoothConnection::discovery();
        QVERIFY(std::find(bt.begin(), bt.end(), "KVN-B08-2201") == bt.end());
        QCOMPARE(UsbConnection::discovery(), (std::vector<std::string>{"COM3"}));
    }

    void everyDeviceConnectsStartsReadsAndStops() {
        for (const Expected& e : fleetTable()) {
            const QByteArray what = e.name;
            auto driver = e.usbPort ? usbDriver(e.usbPort) : bluetoothDriver(e.name);
            QVERIFY2(driver->isConnected(), what);
            QCOMPARE(driver->connectionInformation(), std::string(e.name));
            QCOMPARE(driver->getVersion(), std::string(e.version));
            QCOMPARE(unsigned(driver->getFrequency()), e.rate);
            QVERIFY2(driver->getSignals() == e.list, what);
            QVERIFY(driver->hasSDCard());
            QVERIFY(!driver->isSDCardEnabled());
            QVERIFY(!driver->isRunning());

            QVERIFY2(driver->start(), what);
            QVERIFY(driver->isRunning());
            const auto started = std::chrono::steady_clock::now();
            auto blocks = readBlocks(*driver, 6);
            const double took = secondsSince(started);
            QCOMPARE(int(blocks.size()), 6);
            // Paced like the radio: six blocks cannot arrive before they were made.
            QVERIFY2(took >= 0.9 * 6.0 / (e.rate * sim::timeScale()), what);
            for (std::size_t i = 0; i < blocks.size(); ++i) {
                QCOMPARE(blocks[i].data.size(), driver->blockSize());
                QCOMPARE(unsigned(blocks[i].sequence), unsigned(i));
                QCOMPARE(unsigned(blocks[i].flags), 0u);
                if (e.usbPort)
                    QCOMPARE(int(blocks[i].battery), -1);  // charging from the cable
                else
                    QVERIFY(blocks[i].battery >= 3 && blocks[i].battery <= 5);
                for (double v : blocks[i].data) QVERIFY(std::isfinite(v));
            }
            QVERIFY(driver->stop());
            QVERIFY(!driver->isRunning());
            Block b;
            QVERIFY(!readBlock(*driver, b));  // stopped: at once, no waiting
            QVERIFY(driver->disconnectDevice());
            QVERIFY(!driver->isConnected());
            QVERIFY(!readBlock(*driver, b));
        }
    }

    void unknownDevicesAndPortsDoNotConnect() {
        QVERIFY(!bluetoothDriver("KVN-XXX")->isConnected());
        QVERIFY(!bluetoothDriver("KVN-B08-3003")->isConnected());  // a USB device has no Bluetooth name
        QVERIFY(!usbDriver(4)->isConnected());
        Driver none;
        QVERIFY(!none.connectDevice());
        QVERIFY(!none.start());
        QVERIFY(none.getSignals().empty());
        QCOMPARE(none.getSignal(3).name, std::string());
        std::vector<double> data;
        QVERIFY(!none.read(data));
        QCOMPARE(none.connectionInformation(), std::string());
    }

    void sequenceWrapsAfter65535() {
        sim::Faults f;
        f.startSequence = 65531;
        sim::setFaults("KVN-A32-0412L", f);
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->start());
        auto blocks = readBlocks(*driver, 8);
        QCOMPARE(int(blocks.size()), 8);
        const unsigned expected[] = {65531, 65532, 65533, 65534, 65535, 0, 1, 2};
        for (int i = 0; i < 8; ++i) QCOMPARE(unsigned(blocks[i].sequence), expected[i]);
    }

    void modesShapeTheSampleVector() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        QCOMPARE(driver->blockSize(), std::size_t(64 + 8 + 1 + 9 + 1));
        // The digital aux input takes one sample per IMU plugged in, up to four.
        QVERIFY(driver->setSignalMode(3, 3));
        QCOMPARE(driver->getSignal(3).samples, 3u);
        QCOMPARE(driver->blockSize(), std::size_t(64 + 8 + 1 + 27 + 1));
        QVERIFY(!driver->setSignalMode(3, 5));
        QCOMPARE(driver->getSignal(3).mode, 3u);
        QVERIFY(!driver->setSignalMode(0, 2));
        QVERIFY(!driver->setSignalMode(17, 1));

        // One mode byte per signal, as the application builds them; digits are taken too.
        QVERIFY(driver->setAllSignalModes(std::string("\x01\x00\x01\x02\x00\x00", 6)));
        QCOMPARE(driver->blockSize(), std::size_t(64 + 1 + 18));
        QVERIFY(driver->setAllSignalModes("111100"));
        QCOMPARE(driver->blockSize(), std::size_t(64 + 8 + 1 + 9));
        QVERIFY(!driver->setAllSignalModes("01"));  // too short: applied as far as it goes
        QCOMPARE(driver->getSignal(0).mode, 0u);
        QCOMPARE(driver->getSignal(1).mode, 1u);

        QVERIFY(driver->setAllSignalModes("111200"));
        QVERIFY(driver->start());
        QVERIFY(!driver->setSignalMode(0, 0));  // not while running: the block layout is fixed
        Block b;
        QVERIFY(readBlock(*driver, b));
        QCOMPARE(b.data.size(), std::size_t(64 + 8 + 1 + 18));
        // Layout: EEG 8x8, BVP 8, GSR 1, then two IMUs of nine axes; the accelerometer z sees gravity.
        const double* imu = b.data.data() + 64 + 8 + 1;
        QVERIFY(std::abs(imu[2] - 9.81) < 1.0);
        QVERIFY(std::abs(imu[9 + 2] - 9.81) < 1.0);
        QVERIFY(b.data[64 + 8] > 1.0 && b.data[64 + 8] < 8.0);  // GSR in microsiemens
    }

    void eegLooksLikeEegWithAMixOfContacts() {
        // Two seconds of both halves and the 64-channel headset.
        std::vector<int> levels(5, 0);
        for (const char* name : {"KVN-A32-0412L", "KVN-A32-0412R"}) {
            auto driver = bluetoothDriver(name);
            QVERIFY(driver->start());
            std::vector<std::vector<double>> channels(32);
            for (const Block& b : readBlocks(*driver, 64)) {
                QCOMPARE(b.data.size(), std::size_t(256));
                for (std::size_t s = 0; s < 8; ++s)
                    for (std::size_t c = 0; c < 32; ++c) channels[c].push_back(b.data[s * 32 + c]);
            }
            for (const auto& x : channels) {
                QCOMPARE(x.size(), std::size_t(512));
                double peak = 0;
                for (double v : x) peak = std::max(peak, std::abs(v));
                QVERIFY2(peak < 300.0, "microvolts");
                double a = carrierAmplitude(x);
                levels[a < 10 ? 1 : a < 25 ? 2 : a < 50 ? 3 : 4]++;
            }
        }
        QVERIFY2(levels[1] > 16, "most contacts good");
        QVERIFY2(levels[2] + levels[3] + levels[4] > 4, "some contacts not good");
    }

    void sameSeedSameValues() {
        auto first = [] {
            auto driver = bluetoothDriver("KVN-A32-0412R");
            driver->start();
            Block b;
            readBlock(*driver, b);
            return b.data;
        };
        const auto a = first();
        sim::reset();
        sim::setSeed(7);
        sim::setTimeScale(4.0);
        QVERIFY(a == first());
        sim::reset();
        sim::setSeed(8);
        sim::setTimeScale(4.0);
        QVERIFY(a != first());
    }

    void trackerReportsAnchorsAndItsSetUp() {
        auto driver = bluetoothDriver("KVN-TRK-0031");
        const std::string setUp = driver->getSetUp();
        QVERIFY(driver->start());
        Block first;
        QVERIFY(readBlock(*driver, first));
        QCOMPARE(unsigned(first.flags), 0u);  // the set-up it came with names all three anchors
        QVERIFY(driver->stop());
        QVERIFY(setUp.find("anchors") != std::string::npos);
        QVERIFY(!driver->setSetUp("{not json"));
        QCOMPARE(driver->getSetUp(), setUp);
        QVERIFY(driver->setSetUp("{\"anchors\":[]}"));
        QCOMPARE(driver->getSetUp(), std::string("{\"anchors\":[]}"));
        QVERIFY(!bluetoothDriver("KVN-A32-0412L")->setSetUp("{}"));

        QVERIFY(driver->start());
        for (const Block& b : readBlocks(*driver, 4)) {
            QCOMPARE(unsigned(b.flags), 0x0100u);  // anchors not configured
            QCOMPARE(b.data.size(), std::size_t(2 + 2 + 2 + 6));
            for (int k = 0; k < 3; ++k) {
                QVERIFY(b.data[2 * k] > 0.0 && b.data[2 * k] < 20.0);       // metres
                QVERIFY(b.data[2 * k + 1] > 3.7 && b.data[2 * k + 1] < 4.1);  // volts
            }
        }
    }

    void sdCardRecordMatchesTheLiveBlocks() {
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->enableSDCard(true));
        QVERIFY(driver->isSDCardEnabled());
        QVERIFY(driver->setDirectory("viewer/26-12-05/08-15-00/."));
        QVERIFY(driver->setFile("r005"));
        QCOMPARE(driver->getDirectory(), std::string("viewer/26-12-05/08-15-00/."));
        QCOMPARE(driver->getFile(), std::string("r005"));
        QCOMPARE(driver->blockSize(), std::size_t(256));  // the SD card adds nothing to the live block
        QVERIFY(driver->start());
        auto live = readBlocks(*driver, 10);
        QCOMPARE(int(live.size()), 10);
        QVERIFY(driver->stop());

        const QString folder = cards_.path() + "/KVN-A32-0412L/viewer/26-12-05/08-15-00";
        QVERIFY2(QFile::exists(folder + "/0_r005.kvb"), qPrintable(folder));
        sdcard::SdCardReader reader;
        QVERIFY2(reader.open(folder.toStdString(), "r005"), reader.error().c_str());
        QCOMPARE(reader.header().version, std::string("HW3.0_FW2.1"));
        QCOMPARE(unsigned(reader.header().blockRate), 32u);
        QCOMPARE(unsigned(reader.header().firstSequence), 0u);
        QVERIFY(reader.scan());
        QVERIFY(reader.sampleBlocks() >= 10);
        QVERIFY(reader.rewind());
        for (const Block& b : live) {
            sdcard::SdCardReader::Block card;
            QVERIFY(reader.next(card) == sdcard::SdCardReader::Status::Block);
            QCOMPARE(card.sequence, b.sequence);
            QVERIFY(card.values == b.data);
        }
    }

    void readOnlyLinksCannotConfigure() {
        Driver driver(new BluetoothConnection("KVN-B08-2201", false, PropertyMap(), true));
        QVERIFY(driver.connectDevice());
        QVERIFY(!driver.setSignalMode(0, 0));
        QVERIFY(!driver.enableSDCard(true));
        QVERIFY(!driver.setFile("x"));
        QVERIFY(driver.start());
        Block b;
        QVERIFY(readBlock(driver, b));
    }

    void bleNeedsTheDongle() {
        sim::setDonglePresent(false);
        PropertyMap ble;
        ble.set("device", "KVN-A32-0412L");
        Driver driver(ConnectionFactory::createAndSetup("ble", ble));
        QVERIFY(!driver.connectDevice());
        sim::setDonglePresent(true);
        QVERIFY(driver.connectDevice());
        auto plain = bluetoothDriver("KVN-A32-0412L");
        sim::setDonglePresent(false);  // unplugged: only the link through it is lost
        QVERIFY(!driver.isConnected());
        QVERIFY(plain->isConnected());
    }

    void disconnectKeepsOrForgetsTheDescription() {
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->start());
        QVERIFY(driver->disconnectDevice(false));
        QCOMPARE(driver->getSignals().size(), std::size_t(2));
        // The device went on acquiring without a listener.
        QVERIFY(driver->connectDevice());
        QVERIFY(driver->isRunning());
        QVERIFY(driver->disconnectDevice(true));
        QVERIFY(driver->getSignals().empty());
        QVERIFY(driver->connectDevice());
        QVERIFY(!driver->isRunning());
    }

    void firmwareCommandsRunAnAuxiliaryDevice() {
        PropertyMap aux;
        aux.set("type", "bluetooth");
        aux.set("device", "KVN-TRK-0031");
        std::unique_ptr<Connection> link(ConnectionFactory::createAndSetup("bluetooth", aux));
        QVERIFY(!FirmwareProtocol::start(link.get()));  // not open
        QVERIFY(link->connect());
        QVERIFY(FirmwareProtocol::start(link.get()));
        link->disconnect();
        auto observer = bluetoothDriver("KVN-TRK-0031");
        QVERIFY(observer->isRunning());
        QVERIFY(link->connect());
        QVERIFY(FirmwareProtocol::stop(link.get()));
        QVERIFY(!observer->isRunning());
        QVERIFY(!FirmwareProtocol::stop(nullptr));
    }

    void synchronizationStampsGiveTheClockOffset() {
        sim::Faults f;
        f.clockOffsetSet = true;
        f.clockOffsetUs = 250000;
        sim::setFaults("KVN-A32-0412L", f);
        auto driver = bluetoothDriver("KVN-A32-0412L");
        BaseDriver::SynchronizationData d;
        QVERIFY(!driver->synchronize(d));  // not started
        const auto refused = driver->synchronize();
        QVERIFY(refused.t1 > refused.t2);
        QVERIFY(driver->startSynchronization());
        for (int i = 0; i < 20; ++i) {
            QVERIFY(driver->synchronize(d));
            QVERIFY(d.t1 <= d.t2);
            const auto up = static_cast<std::int32_t>(d.t1 - d.t0);
            const auto down = static_cast<std::int32_t>(d.t2 - d.t3);
            QCOMPARE((double(up) + double(down)) / 2.0, 250000.0);
            const double tof = (double(up) - double(down)) / 2.0;
            QVERIFY(tof > 1000 && tof < 3000);
        }
        QVERIFY(driver->stopSynchronization());

        // A device clock behind ours, with jitter.
        f.clockOffsetUs = -40000;
        f.clockJitterUs = 50;
        sim::setFaults("KVN-A32-0412L", f);
        QVERIFY(driver->startSynchronization());
        for (int i = 0; i < 20; ++i) {
            QVERIFY(driver->synchronize(d));
            const auto up = static_cast<std::int32_t>(d.t1 - d.t0);
            const auto down = static_cast<std::int32_t>(d.t2 - d.t3);
            QVERIFY(std::abs((double(up) + double(down)) / 2.0 + 40000.0) <= 50.0);
        }
        QVERIFY(driver->stopSynchronization());
        QVERIFY(!driver->stopSynchronization());
    }
};

QTEST_GUILESS_MAIN(TestDevices)
#include "test_devices.moc"
