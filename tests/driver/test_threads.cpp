// One driver called from four threads at once, as the application does (GUI thread, connect worker, pool
// thread, acquisition thread). Run under ThreadSanitizer as well.

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <thread>

#include "MultiDriver.h"
#include "SimTestSupport.h"

class TestThreads : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

    static void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    // Runs each body(round) on a thread of its own for `ms`; returns the rounds each thread made.
    static std::vector<long> runConcurrently(int ms, const std::vector<std::function<void(long)>>& bodies) {
        std::atomic<bool> stop{false};
        std::vector<long> rounds(bodies.size(), 0);
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < bodies.size(); ++t)
            threads.emplace_back([&, t] { for (long& i = rounds[t]; !stop.load(); ++i) bodies[t](i); });
        pause(ms);
        stop = true;
        for (auto& t : threads) t.join();
        return rounds;
    }

private slots:
    void init() { freshFleet(cards_, 20.0); }
    void cleanupTestCase() { sim::reset(); }

    void oneDriverFourThreads() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        driver->setTimeout(200);
        QVERIFY(driver->start());
        // Every block size the reader may see: (EEG 64) (+BVP 8) + GSR 1 + COM 9 x 0..4 (+HAP 1).
        std::set<std::size_t> valid;
        for (int mask = 0; mask < 8; ++mask)
            for (int imus = 0; imus <= 4; ++imus)
                valid.insert(64 * (mask & 1) + 8 * (mask >> 1 & 1) + 1 + 9 * imus + (mask >> 2));
        std::atomic<long> blocks{0}, bad{0};
        const auto rounds = runConcurrently(1500, {
            [&](long) {
                Block b;
                if (readBlock(*driver, b)) ++blocks, bad += !valid.count(b.data.size());
                if (!driver->isConnected()) driver->connectDevice();
                if (!driver->isRunning()) driver->start();
            },
            [&](long i) {
                driver->setSignalMode(3, static_cast<std::uint8_t>(i % 5));
                driver->setAllSignalModes(i % 2 ? "111100" : "101210");
                (void)driver->getSignals(), (void)driver->getSignal(std::size_t(i % 7)), (void)driver->getVersion();
                pause(1);
            },
            [&](long i) {
                driver->setFile("r" + std::to_string(i % 3));
                driver->setDirectory("viewer/t" + std::to_string(i % 2));
                driver->enableSDCard(i % 4 == 0);
                (void)driver->getFile(), (void)driver->getDirectory(), (void)driver->isSDCardEnabled();
                pause(1);
            },
            [&](long i) {
                switch (i % 6) {
                case 0: driver->stop(); break;
                case 1: driver->start(); break;
                case 2: driver->disconnectDevice(i % 12 == 2); break;
                case 3: driver->connectDevice(); break;
                case 4: driver->reloadInformation(); break;
                default: (void)driver->isRunning(); break;
                }
                pause(15);
            }});
        QVERIFY(bad == 0 && blocks > 0 && *std::min_element(rounds.begin(), rounds.end()) > 0);
        // Still a working device afterwards.
        QVERIFY(driver->connectDevice());
        driver->stop();
        QVERIFY(driver->setAllSignalModes("111100"));
        const auto after = startAndRead(*driver, 1);
        QVERIFY(after.size() == 1 && after[0].data.size() == 82);
    }

    void pairAcrossThreads() {
        MultiDriver driver;
        driver.setup("KVN-A32-0412L", "KVN-A32-0412R");
        driver.setTimeout(5000);
        QVERIFY(driver.connectDevice() && driver.start());
        const auto rounds = runConcurrently(600, {
            [&](long) { Block b; readBlock(driver, b); },
            [&](long i) {
                if (i % 3 == 0) driver.stop(); else if (i % 3 == 1) driver.start(); else (void)driver.getSignals();
                driver.setFile("p" + std::to_string(i % 2));
                pause(10);
            }});
        QVERIFY(rounds[0] > 0);
    }

    void closingTheLinkWakesAWaitingRead() {
        sim::setTimeScale(1.0);
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.gapAfterBlocks = 0, f.gapSeconds = 60.0; });
        auto driver = bluetoothDriver("KVN-A32-0412L");
        driver->setTimeout(30000);
        QVERIFY(driver->start());
        std::atomic<bool> result{true};
        Block b;
        std::thread reader([&] { result = readBlock(*driver, b); });
        pause(100);
        const auto started = std::chrono::steady_clock::now();
        driver->disconnectDevice();
        reader.join();
        QVERIFY(!result.load() && secondsSince(started) < 10.0);  // far below the 30 s time-out
    }
};

QTEST_GUILESS_MAIN(TestThreads)
#include "test_threads.moc"
