#include <QFile>

#include "MultiDriver.h"
#include "SimTestSupport.h"

class TestSimPair : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

    static std::unique_ptr<MultiDriver> pair(bool connect = true) {
        auto driver = std::make_unique<MultiDriver>();
        driver->setup("KVN-A32-0412L", "KVN-A32-0412R", "");
        driver->setTimeout(1000);
        if (connect) driver->connectDevice();
        return driver;
    }

private slots:
    void init() { freshFleet(cards_, 4.0); }
    void cleanupTestCase() { sim::reset(); }

    void describesOneSixtyFourChannelDevice() {
        auto driver = pair(false);
        QCOMPARE(driver->connectionInformation(), std::string("KVN-A32-0412L+KVN-A32-0412R"));
        QVERIFY(driver->getSignals().empty());
        QVERIFY(driver->connectDevice());
        QVERIFY(driver->isConnected());
        QCOMPARE(driver->getVersion(), std::string("HW3.0_FW2.1"));
        QCOMPARE(unsigned(driver->getFrequency()), 32u);
        const std::vector<KvnSignal> expected = {KvnSignal("EEG", 64, 64, 8, 1), KvnSignal("uSD", 1, 1, 1, 0)};
        QVERIFY(driver->getSignals() == expected);
        QCOMPARE(driver->blockSize(), std::size_t(512));
        QVERIFY(driver->getConnection() != nullptr);
        QVERIFY(driver->setAllSignalModes(std::string("\x01\x00", 2)));
        QVERIFY(!driver->setSignalMode(2, 1));
        QVERIFY(!driver->setSetUp("{}"));
    }

    void sameDeviceTwiceNeverConnects() {
        MultiDriver driver;
        driver.setup("KVN-A32-0412L", "KVN-A32-0412L");
        QVERIFY(!driver.connectDevice());
        QVERIFY(!driver.isConnected());
        MultiDriver none;
        QVERIFY(!none.connectDevice());
    }

    void halfMissingMeansNotConnected() {
        sim::Faults off;
        off.unreachable = true;
        sim::setFaults("KVN-A32-0412R", off);
        auto driver = pair();
        QVERIFY(!driver->isConnected());
        QVERIFY(driver->getSignals().empty());
        QVERIFY(!driver->start());
        std::vector<double> data;
        QVERIFY(!driver->read(data));
    }

    void blocksMergeAndFlagSevenUntilAligned() {
        auto driver = pair();
        QVERIFY(driver->start());
        QVERIFY(driver->isRunning());
        auto blocks = readBlocks(*driver, 24);
        QCOMPARE(int(blocks.size()), 24);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            QCOMPARE(blocks[i].data.size(), std::size_t(512));
            QCOMPARE(unsigned(blocks[i].sequence), unsigned(i));
            const bool settled = i >= MultiDriver::kAlignedBlocksToSync;
            QCOMPARE(unsigned(blocks[i].flags), settled ? 0u : 7u);
        }

        // Each merged sample holds the left channels, then the right ones: compare with the halves alone.
        sim::reset();
        sim::setSeed(7);
        sim::setTimeScale(4.0);
        auto left = bluetoothDriver("KVN-A32-0412L");
        auto right = bluetoothDriver("KVN-A32-0412R");
        QVERIFY(left->start() && right->start());
        Block l, r;
        QVERIFY(readBlock(*left, l) && readBlock(*right, r));
        for (std::size_t s = 0; s < 8; ++s)
            for (std::size_t c = 0; c < 32; ++c) {
                QCOMPARE(blocks[0].data[s * 64 + c], l.data[s * 32 + c]);
                QCOMPARE(blocks[0].data[s * 64 + 32 + c], r.data[s * 32 + c]);
            }
    }

    void aBlockLostOnOneSideIsSkippedOnTheOther() {
        sim::Faults f;
        f.gapAfterBlocks = 20;
        f.gapSeconds = 0.25;  // 8 blocks
        sim::setFaults("KVN-A32-0412R", f);
        auto driver = pair();
        QVERIFY(driver->start());
        auto blocks = readBlocks(*driver, 40);
        QCOMPARE(int(blocks.size()), 40);
        for (int i = 0; i < 20; ++i) QCOMPARE(unsigned(blocks[i].sequence), unsigned(i));
        QCOMPARE(unsigned(blocks[20].sequence), 28u);
        QCOMPARE(unsigned(blocks[20].flags), 7u);  // alignment starts over
        QCOMPARE(unsigned(blocks[39].flags), 0u);
    }

    void restartKeepsTheHalvesSideBySide() {
        sim::Faults f;
        f.stopAfterBlocks = 4;
        sim::setFaults("KVN-A32-0412L", f);
        auto driver = pair();
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 10).size()), 4);
        QVERIFY(!driver->isRunning());
        QVERIFY(driver->start());  // both start again, so the sequences match from the first block
        auto blocks = readBlocks(*driver, 3);
        QCOMPARE(int(blocks.size()), 3);
        QCOMPARE(unsigned(blocks[0].sequence), 0u);
    }

    void bothCardsRecordWithSideSuffixes() {
        auto driver = pair();
        QVERIFY(driver->enableSDCard(true));
        QVERIFY(driver->isSDCardEnabled());
        QCOMPARE(driver->getSignal(1).mode, 1u);
        QVERIFY(driver->setDirectory("viewer/26-12-05/08-15-00/."));
        QVERIFY(driver->setFile("r005"));
        QCOMPARE(driver->getFile(), std::string("r005"));
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 4).size()), 4);
        QVERIFY(driver->stop());
        const QString day = "/viewer/26-12-05/08-15-00/";
        QVERIFY(QFile::exists(cards_.path() + "/KVN-A32-0412L" + day + "0_r005l.kvb"));
        QVERIFY(QFile::exists(cards_.path() + "/KVN-A32-0412R" + day + "0_r005r.kvb"));
    }

    void oneRefusingCardDisablesBoth() {
        sim::Faults f;
        f.sdCardRefused = true;
        sim::setFaults("KVN-A32-0412R", f);
        auto driver = pair();
        QVERIFY(!driver->enableSDCard(true));
        QVERIFY(!driver->isSDCardEnabled());
        auto left = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(!left->isSDCardEnabled());
    }

    void synchronizationMeasuresRightAgainstLeft() {
        sim::Faults l, r;
        l.clockOffsetSet = r.clockOffsetSet = true;
        l.clockOffsetUs = 100000;
        r.clockOffsetUs = 350000;
        sim::setFaults("KVN-A32-0412L", l);
        sim::setFaults("KVN-A32-0412R", r);
        auto driver = pair();
        BaseDriver::SynchronizationData d;
        QVERIFY(!driver->synchronize(d));
        QVERIFY(driver->startSynchronization());
        for (int i = 0; i < 10; ++i) {
            QVERIFY(driver->synchronize(d));
            QVERIFY(d.t1 <= d.t2);
            const auto up = static_cast<std::int32_t>(d.t1 - d.t0);
            const auto down = static_cast<std::int32_t>(d.t2 - d.t3);
            QCOMPARE((double(up) + double(down)) / 2.0, 250000.0);
        }
        QVERIFY(driver->stopSynchronization());
    }

    void disconnectAndClear() {
        auto driver = pair();
        QVERIFY(driver->start());
        QVERIFY(driver->disconnectDevice(true));
        QVERIFY(!driver->isConnected());
        QVERIFY(driver->getSignals().empty());
        QVERIFY(driver->connectDevice());
        QVERIFY(!driver->isRunning());
    }
};

QTEST_GUILESS_MAIN(TestSimPair)
#include "test_sim_pair.moc"
