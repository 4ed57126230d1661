// One driver called from four threads at once, as the application does (GUI thread, connect worker, pool
// thread, acquisition thread). Run under ThreadSanitizer as well.

#include <atomic>
#include <set>
#include <thread>

#include "MultiDriver.h"
#include "SimTestSupport.h"

class TestThreads : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

    // Runs `body(i)` on a thread until `stop`; returns the number of rounds.
    template <typename F>
    static std::thread loop(std::atomic<bool>& stop, std::atomic<long>& rounds, F body) {
        return std::thread([&stop, &rounds, body] {
            for (long i = 0; !stop.load(); ++i) {
                body(i);
                rounds.fetch_add(1);
            }
        });
    }

private slots:
    void init() { freshFleet(cards_, 20.0); }
    void cleanupTestCase() { sim::reset(); }

    void oneDriverFourThreads() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        driver->setTimeout(200);
        QVERIFY(driver->start());

        // Every block size the reader may see: EEG 64 (+BVP 8) (+GSR 1) + COM 9 x 0..4 (+HAP 1).
        std::set<std::size_t> valid;
        for (int bvp = 0; bvp < 2; ++bvp)
            for (int imus = 0; imus <= 4; ++imus)
                for (int hap = 0; hap < 2; ++hap)
                    for (int eeg = 0; eeg < 2; ++eeg) valid.insert(64 * eeg + 8 * bvp + 1 + 9 * imus + hap);

        std::atomic<bool> stop{false};
        std::atomic<long> reads{0}, blocks{0}, bad{0}, modes{0}, names{0}, links{0};
        std::vector<std::thread> threads;
        threads.push_back(loop(stop, reads, [&](long) {
            Block b;
            if (readBlock(*driver, b)) {
                blocks.fetch_add(1);
                if (!valid.count(b.data.size())) bad.fetch_add(1);
            }
            if (!driver->isConnected()) driver->connectDevice();
            if (!driver->isRunning()) driver->start();
        }));
        threads.push_back(loop(stop, modes, [&](long i) {
            driver->setSignalMode(3, static_cast<std::uint8_t>(i % 5));
            driver->setAllSignalModes(i % 2 ? "111100" : "101210");
            (void)driver->getSignals();
            (void)driver->getSignal(static_cast<std::size_t>(i % 7));
            (void)driver->blockSize();
            (void)driver->getVersion();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }));
        threads.push_back(loop(stop, names, [&](long i) {
            driver->setFile("r" + std::to_string(i % 3));
            driver->setDirectory("viewer/t" + std::to_string(i % 2));
            (void)driver->getFile();
            (void)driver->getDirectory();
            driver->enableSDCard(i % 4 == 0);
            (void)driver->isSDCardEnabled();
            (void)driver->connectionInformation();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }));
        threads.push_back(loop(stop, links, [&](long i) {
            switch (i % 6) {
            case 0: driver->stop(); break;
            case 1: driver->start(); break;
            case 2: driver->disconnectDevice(i % 12 == 2); break;
            case 3: driver->connectDevice(); break;
            case 4: driver->reloadInformation(); break;
            default: (void)driver->isRunning(); break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(15));
        }));

        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        stop = true;
        for (auto& t : threads) t.join();
        QCOMPARE(bad.load(), 0L);
        QVERIFY(blocks.load() > 0);
        QVERIFY(modes.load() > 0 && names.load() > 0 && links.load() > 0);
        // Still a working device afterwards.
        QVERIFY(driver->connectDevice());
        driver->stop();
        QVERIFY(driver->setAllSignalModes("111100"));
        QVERIFY(driver->start());
        Block b;
        QVERIFY(readBlock(*driver, b));
        QCOMPARE(b.data.size(), std::size_t(82));
    }

    void pairAcrossThreadsAndAWokenRead() {
        MultiDriver driver;
        driver.setup("KVN-A32-0412L", "KVN-A32-0412R");
        driver.setTimeout(5000);
        QVERIFY(driver.connectDevice());
        QVERIFY(driver.start());
        std::atomic<bool> stop{false};
        std::atomic<long> reads{0}, other{0};
        std::thread reader = loop(stop, reads, [&](long) {
            Block b;
            readBlock(driver, b);
        });
        std::thread control = loop(stop, other, [&](long i) {
            if (i % 3 == 0) driver.stop();
            if (i % 3 == 1) driver.start();
            driver.setFile("p" + std::to_string(i % 2));
            (void)driver.getSignals();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        stop = true;
        control.join();
        reader.join();
        QVERIFY(reads.load() > 0);
    }

    void closingTheLinkWakesAWaitingRead() {
        sim::setTimeScale(1.0);
        sim::Faults f;
        f.gapAfterBlocks = 0;
        f.gapSeconds = 60.0;
        sim::setFaults("KVN-A32-0412L", f);
        auto driver = bluetoothDriver("KVN-A32-0412L");
        driver->setTimeout(30000);
        QVERIFY(driver->start());
        std::atomic<bool> result{true};
        std::thread reader([&] {
            Block b;
            result = readBlock(*driver, b);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto started = std::chrono::steady_clock::now();
        driver->disconnectDevice();
        reader.join();
        QVERIFY(!result.load());
        QVERIFY(secondsSince(started) < 10.0);  // far below the 30 s time-out
    }
};

QTEST_GUILESS_MAIN(TestThreads)
#include "test_threads.moc"
