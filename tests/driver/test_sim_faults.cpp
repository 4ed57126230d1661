#include <QFile>

#include <limits>
#include <thread>

#include "SimTestSupport.h"

namespace {

std::string writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
    QFile f(dir.filePath(name));
    if (f.open(QIODevice::WriteOnly)) f.write(text);
    return f.fileName().toStdString();
}

}  // namespace

class TestSimFaults : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

private slots:
    void init() { freshFleet(cards_, 10.0); }
    void cleanupTestCase() {
        for (const char* name : {"KVN_SIM_FAULTS", "KVN_SIM_TIME_SCALE", "KVN_SIM_SEED", "KVN_SDCARD_DIR"})
            qunsetenv(name);
        sim::reset();
    }

    void droppedLinkComesBackAfterItsTime() {
        // 2 s at this scale: long enough that a stalled test still finds the link down.
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.dropAfterBlocks = 5, f.dropSeconds = 20.0; });
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QCOMPARE(int(startAndRead(*driver, 10).size()), 5);
        QVERIFY(!driver->isConnected() && !driver->isRunning() && !driver->connectDevice());
        QCOMPARE(int(BluetoothConnection::discovery().size()), 3);  // out of reach meanwhile
        const auto started = std::chrono::steady_clock::now();
        while (!driver->connectDevice() && secondsSince(started) < 60.0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        // The device kept acquiring; the blocks sent while the link was down are lost.
        QVERIFY(driver->isConnected() && driver->isRunning());
        const auto after = readBlocks(*driver, 9);
        QVERIFY(after.size() == 9 && after[0].sequence > 5);  // the fault fires once
    }

    void gapDeliversNothingForAWhile() {
        // 640 blocks, 2 s at this scale: long enough that a stalled test still reads inside the gap.
        withFaults("KVN-A32-0412R", [](sim::Faults& f) { f.gapAfterBlocks = 4, f.gapSeconds = 20.0; });
        auto driver = bluetoothDriver("KVN-A32-0412R");
        driver->setTimeout(500);  // 50 ms at this scale
        QCOMPARE(int(startAndRead(*driver, 4).size()), 4);
        Block b;
        QVERIFY(!readBlock(*driver, b) && driver->isConnected() && driver->isRunning());  // gave up after its time-out
        for (int failures = 1; !readBlock(*driver, b);) QVERIFY(++failures < 1000);
        QCOMPARE(unsigned(b.sequence), 4u + 640u);
    }

    void errorFlagsBatteryAndStoppingOnTheirOwn() {
        withFaults("KVN-B08-2201", [](sim::Faults& f) { f.errorFlagBlock = 3, f.errorFlags = 0x0108; });
        auto driver = bluetoothDriver("KVN-B08-2201");
        auto blocks = startAndRead(*driver, 6);
        QCOMPARE(int(blocks.size()), 6);
        for (int i = 0; i < 6; ++i) QCOMPARE(unsigned(blocks[i].flags), i == 3 ? 0x0108u : 0u);

        for (int level : {1, -1}) {  // -1: charging
            withFaults("KVN-B08-2201", [level](sim::Faults& f) { f.batterySet = true, f.battery = level; });
            Block b;
            QVERIFY(readBlock(*driver, b) && b.battery == level);
        }

        withFaults("KVN-H64-1010", [](sim::Faults& f) { f.stopAfterBlocks = 3; });
        driver = usbDriver(10);
        QCOMPARE(int(startAndRead(*driver, 6).size()), 3);
        QVERIFY(!driver->isRunning() && driver->isConnected());
        // Restarted, it counts from the beginning and does not stop again.
        blocks = startAndRead(*driver, 6);
        QVERIFY(blocks.size() == 6 && blocks[0].sequence == 0);
    }

    void sdCardTroubleIsFlaggedNotFatal() {
        // A record folder may not climb out of the card.
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(recordTo(*driver, "../../outside", "r1"));
        const auto blocks = startAndRead(*driver, 1);
        QVERIFY(blocks.size() == 1 && driver->stop());
        QCOMPARE(unsigned(blocks[0].flags), 5u);  // file creation error
        QVERIFY(!QFile::exists(cards_.path() + "/../outside/0_r1.kvb"));
    }

    void absurdProgrammaticValuesStayHarmless() {
        sim::setTimeScale(1e300);
        sim::setTimeScale(-1.0);  // ignored
        QCOMPARE(sim::timeScale(), 1e6);
        sim::setTimeScale(10);
        withFaults("KVN-A32-0412L", [](sim::Faults& f) {
            f.gapAfterBlocks = 2, f.gapSeconds = 1e300, f.clockOffsetSet = true;
            f.clockOffsetUs = std::numeric_limits<double>::quiet_NaN(), f.clockJitterUs = 1e300;
        });
        auto driver = bluetoothDriver("KVN-A32-0412L");
        driver->setTimeout(100);
        QCOMPARE(int(startAndRead(*driver, 5).size()), 2);
        QVERIFY(exchangesClocks(*driver));
    }

    void faultsFileIsReadAndCheckedWhole() {
        QTemporaryDir dir;
        std::string error;
        QVERIFY2(sim::loadFaultsFile(writeFile(dir, "faults.json", R"({"KVN-A32-0412L": {"start_sequence": 65500}})"),
                                     error), error.c_str());
        // Every malformed file is refused whole and leaves the faults as they were.
        std::vector<QByteArray> bad = {"", "{", "[1, 2]", R"({"KVN-A32-0412L": 5})", R"({"KVN-A32-0412L": {}} x)"};
        for (const char* faults : {R"({"drop_link": {"after_blocks": -1, "seconds": 1}})",
                                   R"({"drop_link": {"after_blocks": 3}})", R"({"battery": 9})", R"({"battery": 2.5})",
                                   R"({"stop_after_block": 3})", R"({"refuse_modes": {"EEG": ["x"]}})",
                                   R"({"sd_card_refused": "yes"})", R"({"start_sequence": 70000})",
                                   R"({"gap": {"after_blocks": 1, "seconds": 1e300}})"})
            bad.push_back(QByteArray(R"({"KVN-A32-0412L": )") + faults + "}");
        for (const QByteArray& json : bad) {
            error.clear();
            QVERIFY2(!sim::loadFaultsFile(writeFile(dir, "bad.json", json), error) && !error.empty(), json.constData());
        }
        QVERIFY(!sim::loadFaultsFile(dir.filePath("missing.json").toStdString(), error));
        QCOMPARE(sim::faults("KVN-A32-0412L").startSequence, 65500L);
        // Deeply nested input is refused without exhausting the stack.
        std::map<std::string, sim::Faults> parsed;
        QVERIFY(!sim::parseFaults(std::string(100000, '[') + std::string(100000, ']'), parsed, error));
    }

    void environmentIsReadAndBadValuesIgnored() {
        QTemporaryDir dir;
        qputenv("KVN_SIM_FAULTS", writeFile(dir, "bad.json", "{\"KVN-A32-0412L\": {\"battery\": }").c_str());
        qputenv("KVN_SIM_TIME_SCALE", "-3");
        sim::reset();  // reports both on standard error
        QVERIFY(sim::timeScale() == 1.0 && !sim::faults("KVN-A32-0412L").batterySet);

        qputenv("KVN_SIM_FAULTS", writeFile(dir, "good.json", "{\"KVN-A32-0412L\": {\"battery\": 2}}").c_str());
        qputenv("KVN_SIM_TIME_SCALE", "25");
        qputenv("KVN_SIM_SEED", "12");
        qputenv("KVN_SDCARD_DIR", cards_.path().toUtf8());
        sim::reset();
        QVERIFY(sim::timeScale() == 25.0 && sim::seed() == 12 && sim::sdCardRoot() == cards_.path().toStdString());
        auto driver = bluetoothDriver("KVN-A32-0412L");
        const auto blocks = startAndRead(*driver, 1);
        QVERIFY(blocks.size() == 1 && blocks[0].battery == 2);
    }
};

QTEST_GUILESS_MAIN(TestSimFaults)
#include "test_sim_faults.moc"
