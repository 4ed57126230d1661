#include <QDir>
#include <QFile>

#include "Battery.h"

#include "MultiDriver.h"
#include "SimTestSupport.h"

class TestSimPair : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

    static std::unique_ptr<MultiDriver> pair() {
        auto driver = std::make_unique<MultiDriver>();
        driver->setup("KVN-A32-0412L", "KVN-A32-0412R", "");
        driver->setTimeout(1000);
        driver->connectDevice();
        return driver;
    }

private slots:
    void init() { freshFleet(cards_, 4.0); }
    void cleanupTestCase() { sim::reset(); }

    void describesOneSixtyFourChannelDevice() {
        auto driver = pair();
        QVERIFY(driver->isConnected() && driver->connectionInformation() == "KVN-A32-0412L+KVN-A32-0412R");
        QVERIFY(driver->getVersion() == "HW3.0_FW2.1" && driver->getFrequency() == 32 && driver->blockSize() == 512);
        QVERIFY(driver->getSignals() ==
                (std::vector<KvnSignal>{KvnSignal("EEG", 64, 64, 8, 1), KvnSignal("uSD", 1, 1, 1, 0)}));
        QVERIFY(driver->setAllSignalModes(std::string("\x01\x00", 2)));
        QVERIFY(!driver->setSignalMode(2, 1) && !driver->setSetUp("{}"));
        QVERIFY(driver->start() && driver->disconnectDevice(true));
        QVERIFY(!driver->isConnected() && driver->getSignals().empty());
        QVERIFY(driver->connectDevice() && !driver->isRunning());
    }

    void incompletePairsNeverConnect() {
        MultiDriver twice, none;
        twice.setup("KVN-A32-0412L", "KVN-A32-0412L");
        QVERIFY(!twice.connectDevice() && !twice.isConnected());
        QVERIFY(!none.connectDevice());
        withFaults("KVN-A32-0412R", [](sim::Faults& f) { f.unreachable = true; });
        auto driver = pair();
        std::vector<double> data;
        QVERIFY(!driver->isConnected() && !driver->start() && !driver->read(data) && driver->getSignals().empty());
    }

    void blocksMergeAndFlagSevenUntilAligned() {
        auto driver = pair();
        auto blocks = startAndRead(*driver, 24);
        QCOMPARE(int(blocks.size()), 24);
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            QVERIFY(blocks[i].data.size() == 512 && blocks[i].sequence == i);
            QCOMPARE(unsigned(blocks[i].flags), i >= MultiDriver::kAlignedBlocksToSync ? 0u : 7u);
        }
        // Each merged sample holds the left channels, then the right ones: compare with the halves alone.
        freshFleet(cards_, 4.0);
        auto left = bluetoothDriver("KVN-A32-0412L"), right = bluetoothDriver("KVN-A32-0412R");
        Block l, r;
        QVERIFY(left->start() && right->start() && readBlock(*left, l) && readBlock(*right, r));
        for (std::size_t s = 0; s < 8; ++s)
            for (std::size_t c = 0; c < 32; ++c) {
                QCOMPARE(blocks[0].data[s * 64 + c], l.data[s * 32 + c]);
                QCOMPARE(blocks[0].data[s * 64 + 32 + c], r.data[s * 32 + c]);
            }
    }

    // Blocks lost on one side (a gap, or a link lost and found again) are skipped on the other; the halves run
    // side by side from the start, so the blocks after that are aligned and carry no "not synchronised" flags.
    void blocksLostOnOneSideAreSkippedOnTheOther() {
        for (bool linkLost : {false, true}) {
            freshFleet(cards_, 4.0);
            withFaults("KVN-A32-0412R", [linkLost](sim::Faults& f) {
                (linkLost ? f.dropAfterBlocks : f.gapAfterBlocks) = 20;
                f.dropSeconds = f.gapSeconds = 0.25;  // 8 blocks
            });
            auto driver = pair();
            QVERIFY(driver->start());
            std::vector<Block> blocks;
            int failed = 0;
            for (Block b; blocks.size() < 40;) {
                if (readBlock(*driver, b)) {
                    blocks.push_back(b);
                } else {
                    ++failed;
                    QVERIFY(QTest::qWaitFor([&] { return driver->connectDevice() && driver->isConnected(); }, 20000));
                }
            }
            QCOMPARE(failed, linkLost ? 1 : 0);
            for (int i = 0; i < 20; ++i) {
                QCOMPARE(unsigned(blocks[i].sequence), unsigned(i));
                QCOMPARE(unsigned(blocks[i].flags), i < int(MultiDriver::kAlignedBlocksToSync) ? 7u : 0u);
            }
            QVERIFY(blocks[20].sequence >= 28);
            for (int i = 20; i < 40; ++i) {
                QVERIFY(blocks[i].sequence > blocks[i - 1].sequence);
                QCOMPARE(unsigned(blocks[i].flags), 0u);
            }
        }
    }

    void restartKeepsTheHalvesSideBySide() {
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.stopAfterBlocks = 4; });
        auto driver = pair();
        QCOMPARE(int(startAndRead(*driver, 10).size()), 4);
        QVERIFY(!driver->isRunning());
        const auto blocks = startAndRead(*driver, 3);  // both start again: the sequences match from the first block
        QVERIFY(blocks.size() == 3 && blocks[0].sequence == 0);
    }

    // Both cards record, with a side suffix each; the restarts of a record (named file + "_0", file + "_1", ... by
    // the acquisition thread) are written as file + "l_0" and file + "r_0" and import with the record as one,
    // holding every block read live.
    void restartedRecordImportsAsOneRecord() {
        auto driver = pair();
        QVERIFY(recordTo(*driver, "viewer/26-12-05/09-00-00/.", "rec") && driver->isSDCardEnabled());
        std::vector<Block> live;
        for (const char* file : {"rec", "rec_0", "rec_1"}) {
            QVERIFY(driver->setFile(file));
            const auto blocks = startAndRead(*driver, 24);
            QVERIFY(blocks.size() == 24 && driver->stop());
            live.insert(live.end(), blocks.begin(), blocks.end());
        }
        QCOMPARE(driver->getFile(), std::string("rec_1"));
        const QString left = cards_.path() + "/KVN-A32-0412L/viewer/26-12-05/09-00-00";
        const QString right = cards_.path() + "/KVN-A32-0412R/viewer/26-12-05/09-00-00";
        QCOMPARE(QDir(left).entryList({"*.kvb"}), QStringList({"0_recl.kvb", "0_recl_0.kvb", "0_recl_1.kvb"}));
        QCOMPARE(QDir(right).entryList({"*.kvb"}), QStringList({"0_recr.kvb", "0_recr_0.kvb", "0_recr_1.kvb"}));

        Eeg64Importer importer(left.toStdString(), right.toStdString(), "rec");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QVERIFY(importer.pieces() == 3 && importer.get_signals().at(0).channels == 64u);
        std::vector<Block> stored;
        importer.addCallback([&stored](const BaseImporter::Block& b) {
            stored.push_back({std::vector<double>(b.values, b.values + b.count), b.sequence, b.flags, b.battery});
            return true;
        });
        QVERIFY2(importer.import(false), importer.error().c_str());
        // Every live block, in order (the cards also hold the blocks made after the last read of each run).
        std::size_t found = 0;
        for (const Block& b : stored)
            if (found < live.size() && b.sequence == live[found].sequence && b.data == live[found].data) ++found;
        QCOMPARE(found, live.size());

        // One card that refuses disables both.
        withFaults("KVN-A32-0412R", [](sim::Faults& f) { f.sdCardRefused = true; });
        QVERIFY(driver->enableSDCard(false) && !driver->enableSDCard(true) && !driver->isSDCardEnabled());
        QVERIFY(!bluetoothDriver("KVN-A32-0412L")->isSDCardEnabled());
    }

    // The same halves give the same battery and flags live and imported from their cards.
    void liveAndImportedStatusAgree() {
        const struct {
            std::int16_t leftBattery;
            std::uint16_t leftFlags;
            std::int16_t rightBattery;
            std::uint16_t rightFlags;
            std::int16_t battery;
            std::uint16_t flags;
        } cases[] = {{Battery::CHARGING, 2, Battery::UNKNOWN, 4, Battery::CHARGING, 6},
                     {3, 5, Battery::CHARGING, 6, 3, 6},
                     {4, 0, 2, 1, 2, 1}};
        for (const auto& c : cases) {
            const QByteArray row = QByteArray::number(int(&c - cases));
            freshFleet(cards_, 4.0);
            const auto halfFaults = [](std::int16_t battery, std::uint16_t flags) {
                return [=](sim::Faults& f) {
                    f.batterySet = true, f.battery = battery;
                    f.errorFlagBlock = 20, f.errorFlags = flags;
                };
            };
            withFaults("KVN-A32-0412L", halfFaults(c.leftBattery, c.leftFlags));
            withFaults("KVN-A32-0412R", halfFaults(c.rightBattery, c.rightFlags));
            auto driver = pair();
            QVERIFY(recordTo(*driver, "viewer/status/.", "st" + std::to_string(&c - cases)));
            const auto live = startAndRead(*driver, 24);
            QVERIFY2(live.size() == 24 && driver->stop(), row);
            Eeg64Importer importer((cards_.path() + "/KVN-A32-0412L/viewer/status").toStdString(),
                                   (cards_.path() + "/KVN-A32-0412R/viewer/status").toStdString(),
                                   "st" + std::to_string(&c - cases));
            std::map<std::uint16_t, Block> stored;
            importer.addCallback([&stored](const BaseImporter::Block& b) {
                stored[b.sequence] = {{}, b.sequence, b.flags, b.battery};
                return true;
            });
            QVERIFY2(importer.import(false), importer.error().c_str());
            for (std::size_t i = MultiDriver::kAlignedBlocksToSync; i < live.size(); ++i) {
                const Block& b = stored[live[i].sequence];
                QVERIFY2(b.battery == live[i].battery && b.flags == live[i].flags,
                         row + " block " + QByteArray::number(int(i)));
            }
            QVERIFY2(live[20].flags == c.flags && live[20].battery == c.battery, row);
        }
    }

    void synchronizationMeasuresRightAgainstLeft() {
        withFaults("KVN-A32-0412L", [](sim::Faults& f) { f.clockOffsetSet = true, f.clockOffsetUs = 100000; });
        withFaults("KVN-A32-0412R", [](sim::Faults& f) { f.clockOffsetSet = true, f.clockOffsetUs = 350000; });
        auto driver = pair();
        QVERIFY(driver->synchronize().t1 > driver->synchronize().t2);  // refused: not started
        QCOMPARE(clockOffsets(*driver, 10), std::vector<double>(10, 250000.0));
    }
};

QTEST_GUILESS_MAIN(TestSimPair)
#include "test_sim_pair.moc"
