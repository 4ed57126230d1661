#include <QFile>

#include <limits>
#include <thread>

#include "SimTestSupport.h"

namespace {

void writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

}  // namespace

class TestSimFaults : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

private slots:
    void init() { freshFleet(cards_, 10.0); }
    void cleanupTestCase() {
        qunsetenv("KVN_SIM_FAULTS");
        qunsetenv("KVN_SIM_TIME_SCALE");
        sim::reset();
    }

    void droppedLinkComesBackAfterItsTime() {
        sim::Faults f;
        f.dropAfterBlocks = 5;
        f.dropSeconds = 3.0;  // 0.3 s at ten times real time
        sim::setFaults("KVN-A32-0412L", f);
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 10).size()), 5);
        QVERIFY(!driver->isConnected());
        QVERIFY(!driver->isRunning());  // cannot be asked without a link
        QVERIFY(!driver->connectDevice());
        QVERIFY(BluetoothConnection::discovery().size() == 3);  // out of reach meanwhile

        const auto started = std::chrono::steady_clock::now();
        while (!driver->connectDevice() && secondsSince(started) < 5.0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        QVERIFY(driver->isConnected());
        // The device kept acquiring; the blocks sent while the link was down are lost.
        QVERIFY(driver->isRunning());
        Block b;
        QVERIFY(readBlock(*driver, b));
        QVERIFY(b.sequence > 5);
        // The fault fires once.
        QCOMPARE(int(readBlocks(*driver, 8).size()), 8);
        QVERIFY(driver->isConnected());
    }

    void gapDeliversNothingForAWhile() {
        sim::Faults f;
        f.gapAfterBlocks = 4;
        f.gapSeconds = 2.0;  // 64 blocks, 0.2 s here
        sim::setFaults("KVN-A32-0412R", f);
        auto driver = bluetoothDriver("KVN-A32-0412R");
        driver->setTimeout(500);  // 50 ms at this scale
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 4).size()), 4);
        Block b;
        QVERIFY(!readBlock(*driver, b));  // waits its time-out, then gives up
        QVERIFY(driver->isConnected());
        QVERIFY(driver->isRunning());
        int failures = 1;
        while (!readBlock(*driver, b)) QVERIFY(++failures < 20);
        QCOMPARE(unsigned(b.sequence), 4u + 64u);
        QCOMPARE(unsigned(b.flags), 0u);
    }

    void errorFlagOnOneBlock() {
        sim::Faults f;
        f.errorFlagBlock = 3;
        f.errorFlags = 0x0108;
        sim::setFaults("KVN-B08-2201", f);
        auto driver = bluetoothDriver("KVN-B08-2201");
        QVERIFY(driver->start());
        auto blocks = readBlocks(*driver, 6);
        QCOMPARE(int(blocks.size()), 6);
        for (int i = 0; i < 6; ++i) QCOMPARE(unsigned(blocks[i].flags), i == 3 ? 0x0108u : 0u);
    }

    void deviceStopsByItself() {
        sim::Faults f;
        f.stopAfterBlocks = 3;
        sim::setFaults("KVN-H64-1010", f);
        auto driver = usbDriver(10);
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 6).size()), 3);
        QVERIFY(!driver->isRunning());
        QVERIFY(driver->isConnected());
        // Restarted, it counts from the beginning and does not stop again.
        QVERIFY(driver->start());
        auto blocks = readBlocks(*driver, 6);
        QCOMPARE(int(blocks.size()), 6);
        QCOMPARE(unsigned(blocks[0].sequence), 0u);
    }

    void batteryAndCharging() {
        sim::Faults f;
        f.batterySet = true;
        f.battery = 1;
        sim::setFaults("KVN-TRK-0031", f);
        auto driver = bluetoothDriver("KVN-TRK-0031");
        QVERIFY(driver->start());
        Block b;
        QVERIFY(readBlock(*driver, b));
        QCOMPARE(int(b.battery), 1);
        f.battery = -1;  // charging
        sim::setFaults("KVN-TRK-0031", f);
        QVERIFY(readBlock(*driver, b));
        QCOMPARE(int(b.battery), -1);
    }

    void refusedModesAndSdCard() {
        sim::Faults f;
        f.refusedModes["COM"] = {2, 3};
        f.sdCardRefused = true;
        sim::setFaults("KVN-B08-3003", f);
        auto driver = usbDriver(3);
        QVERIFY(!driver->setSignalMode(3, 2));
        QCOMPARE(driver->getSignal(3).mode, 1u);
        QVERIFY(driver->setSignalMode(3, 4));
        QVERIFY(!driver->enableSDCard(true));
        QVERIFY(!driver->isSDCardEnabled());
        QVERIFY(driver->enableSDCard(false));
        QVERIFY(!driver->setAllSignalModes("111201"));
        QCOMPARE(driver->getSignal(0).mode, 1u);
        QCOMPARE(driver->getSignal(3).mode, 4u);
        QCOMPARE(driver->getSignal(5).mode, 0u);
    }

    void unreachableDeviceNeverConnects() {
        sim::Faults f;
        f.unreachable = true;
        sim::setFaults("KVN-A32-0412L", f);
        QVERIFY(!bluetoothDriver("KVN-A32-0412L")->isConnected());
        sim::setFaults("KVN-A32-0412L", sim::Faults());
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->isConnected());
        sim::setFaults("KVN-A32-0412L", f);  // switched off under a live link
        QVERIFY(!driver->isConnected());
    }

    void sdCardTroubleIsFlaggedNotFatal() {
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->enableSDCard(true));
        QVERIFY(driver->setDirectory("../../outside"));  // may not climb out of the card
        QVERIFY(driver->setFile("r1"));
        QVERIFY(driver->start());
        Block b;
        QVERIFY(readBlock(*driver, b));
        QCOMPARE(unsigned(b.flags), 5u);  // file creation error
        QVERIFY(driver->stop());
        QVERIFY(!QFile::exists(cards_.path() + "/../outside/0_r1.kvb"));
    }

    void absurdProgrammaticValuesStayHarmless() {
        sim::setTimeScale(1e300);
        QCOMPARE(sim::timeScale(), 1e6);
        sim::setTimeScale(-1);
        QCOMPARE(sim::timeScale(), 1e6);
        sim::setTimeScale(10);
        sim::Faults f;
        f.gapAfterBlocks = 2;
        f.gapSeconds = 1e300;
        f.clockOffsetSet = true;
        f.clockOffsetUs = std::numeric_limits<double>::quiet_NaN();
        f.clockJitterUs = 1e300;
        sim::setFaults("KVN-A32-0412L", f);
        auto driver = bluetoothDriver("KVN-A32-0412L");
        driver->setTimeout(100);
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 5).size()), 2);
        QVERIFY(driver->startSynchronization());
        BaseDriver::SynchronizationData d;
        QVERIFY(driver->synchronize(d));
    }

    void faultsFileIsReadAndCheckedWhole() {
        QTemporaryDir dir;
        const QString good = dir.path() + "/faults.json";
        writeFile(good, R"({"KVN-A32-0412L": {"drop_link": {"after_blocks": 100, "seconds": 2.5},
            "gap": {"after_blocks": 7, "seconds": 1}, "error_flag": {"block": 10, "flags": 2},
            "stop_after_blocks": 200, "sd_card_refused": true, "battery": 3, "clock_offset_us": -1200,
            "clock_jitter_us": 40, "refuse_modes": {"EEG": [0]}, "start_sequence": 65500},
            "KVN-TRK-0031": {"charging": true, "unreachable": false}})");
        std::string error;
        QVERIFY2(sim::loadFaultsFile(good.toStdString(), error), error.c_str());
        sim::Faults f = sim::faults("KVN-A32-0412L");
        QCOMPARE(f.dropAfterBlocks, 100L);
        QCOMPARE(f.dropSeconds, 2.5);
        QCOMPARE(f.gapAfterBlocks, 7L);
        QCOMPARE(f.errorFlagBlock, 10L);
        QCOMPARE(unsigned(f.errorFlags), 2u);
        QCOMPARE(f.stopAfterBlocks, 200L);
        QVERIFY(f.sdCardRefused);
        QVERIFY(f.batterySet);
        QCOMPARE(int(f.battery), 3);
        QVERIFY(f.clockOffsetSet);
        QCOMPARE(f.clockOffsetUs, -1200.0);
        QCOMPARE(f.clockJitterUs, 40.0);
        QCOMPARE(f.refusedModes["EEG"], std::vector<unsigned>{0});
        QCOMPARE(f.startSequence, 65500L);
        QCOMPARE(int(sim::faults("KVN-TRK-0031").battery), -1);

        // Every malformed file is refused whole and leaves the faults as they were.
        const char* bad[] = {
            "",
            "{",
            "[1, 2]",
            R"({"KVN-A32-0412L": 5})",
            R"({"KVN-A32-0412L": {"drop_link": {"after_blocks": -1, "seconds": 1}}})",
            R"({"KVN-A32-0412L": {"drop_link": {"after_blocks": 3}}})",
            R"({"KVN-A32-0412L": {"battery": 9}})",
            R"({"KVN-A32-0412L": {"battery": 2.5}})",
            R"({"KVN-A32-0412L": {"stop_after_block": 3}})",
            R"({"KVN-A32-0412L": {"refuse_modes": {"EEG": ["x"]}}})",
            R"({"KVN-A32-0412L": {"sd_card_refused": "yes"}})",
            R"({"KVN-A32-0412L": {"start_sequence": 70000}})",
            R"({"KVN-A32-0412L": {"gap": {"after_blocks": 1, "seconds": 1e300}}})",
            "{\"KVN-A32-0412L\": {\"battery\": 1}} trailing",
        };
        int n = 0;
        for (const char* text : bad) {
            const QString path = dir.path() + QString("/bad%1.json").arg(n++);
            writeFile(path, text);
            error.clear();
            QVERIFY2(!sim::loadFaultsFile(path.toStdString(), error), text);
            QVERIFY2(!error.empty(), text);
        }
        QVERIFY(!sim::loadFaultsFile((dir.path() + "/missing.json").toStdString(), error));
        QCOMPARE(sim::faults("KVN-A32-0412L").startSequence, 65500L);

        // Deeply nested input is refused without exhausting the stack.
        std::map<std::string, sim::Faults> parsed;
        QVERIFY(!sim::parseFaults(std::string(100000, '[') + std::string(100000, ']'), parsed, error));
    }

    void environmentIsReadAndBadValuesIgnored() {
        QTemporaryDir dir;
        const QString bad = dir.path() + "/bad.json";
        writeFile(bad, "{\"KVN-A32-0412L\": {\"battery\": }");
        qputenv("KVN_SIM_FAULTS", bad.toUtf8());
        qputenv("KVN_SIM_TIME_SCALE", "-3");
        sim::reset();  // reports both on standard error
        QCOMPARE(sim::timeScale(), 1.0);
        QVERIFY(!sim::faults("KVN-A32-0412L").batterySet);

        const QString good = dir.path() + "/good.json";
        writeFile(good, "{\"KVN-A32-0412L\": {\"battery\": 2}}");
        qputenv("KVN_SIM_FAULTS", good.toUtf8());
        qputenv("KVN_SIM_TIME_SCALE", "25");
        qputenv("KVN_SIM_SEED", "12");
        qputenv("KVN_SDCARD_DIR", cards_.path().toUtf8());
        sim::reset();
        QCOMPARE(sim::timeScale(), 25.0);
        QCOMPARE(sim::seed(), std::uint64_t(12));
        QCOMPARE(sim::sdCardRoot(), cards_.path().toStdString());
        QCOMPARE(int(sim::faults("KVN-A32-0412L").battery), 2);
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->start());
        Block b;
        QVERIFY(readBlock(*driver, b));
        QCOMPARE(int(b.battery), 2);
        qunsetenv("KVN_SIM_SEED");
        qunsetenv("KVN_SDCARD_DIR");
    }
};

QTEST_GUILESS_MAIN(TestSimFaults)
#include "test_sim_faults.moc"
