#include <QDir>

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

    void describesOneDeviceAndNeedsBothHalves() {
        auto driver = pair();
        QVERIFY(driver->getFrequency() == 32 && driver->blockSize() == 512 && !driver->setSetUp("{}"));
        QVERIFY(driver->start() && driver->disconnectDevice(true) && driver->getSignals().empty());
        QVERIFY(driver->connectDevice() && !driver->isRunning());
        MultiDriver twice, none;
        twice.setup("KVN-A32-0412L", "KVN-A32-0412L");
        QVERIFY(!twice.connectDevice() && !twice.isConnected() && !none.connectDevice());
        withFaults("KVN-A32-0412R", [](sim::Faults& f) { f.unreachable = true; });
        driver = pair();
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

    // Both cards record, with a side suffix each; a record's restarts (file + "_0", ...) as file + "l_0" and
    // file + "r_0" (their import as one record: the end-to-end test). One card that refuses disables both.
    void restartedRecordKeepsTheSideSuffixes() {
        auto driver = pair();
        QVERIFY(recordTo(*driver, "viewer/26-12-05/09-00-00/.", "rec") && driver->isSDCardEnabled());
        for (const char* file : {"rec", "rec_0", "rec_1"})
            QVERIFY(driver->setFile(file) && startAndRead(*driver, 2).size() == 2 && driver->stop());
        for (const char side : {'L', 'R'}) {
            const QString folder = cards_.path() + "/KVN-A32-0412" + side + "/viewer/26-12-05/09-00-00";
            const QString s(QChar(side).toLower());
            QCOMPARE(QDir(folder).entryList({"*.kvb"}), QStringList({"0_rec" + s + ".kvb", "0_rec" + s + "_0.kvb",
                                                                    "0_rec" + s + "_1.kvb"}));
        }
        withFaults("KVN-A32-0412R", [](sim::Faults& f) { f.sdCardRefused = true; });
        QVERIFY(driver->enableSDCard(false) && !driver->enableSDCard(true) && !driver->isSDCardEnabled());
        QVERIFY(!bluetoothDriver("KVN-A32-0412L")->isSDCardEnabled());
    }

    // The same halves give the same battery and flags live and imported from their cards.
    void liveAndImportedStatusAgree() {
        constexpr std::int16_t C = Battery::CHARGING, U = Battery::UNKNOWN;
        // Left battery and flags, right ones, and what the pair gives.
        const std::int16_t cases[][6] = {{C, 2, U, 4, C, 6}, {3, 5, C, 6, 3, 6}, {4, 0, 2, 1, 2, 1}};
        for (const auto& c : cases) {
            const std::string name = "st" + std::to_string(&c - cases);
            freshFleet(cards_, 4.0);
            for (int side = 0; side < 2; ++side)
                withFaults(side ? "KVN-A32-0412R" : "KVN-A32-0412L", [&](sim::Faults& f) {
                    f.batterySet = true, f.battery = c[2 * side];
                    f.errorFlagBlock = 20, f.errorFlags = std::uint16_t(c[2 * side + 1]);
                });
            auto driver = pair();
            QVERIFY(recordTo(*driver, "viewer/status/.", name));
            const auto live = startAndRead(*driver, 24);
            QVERIFY2(live.size() == 24 && driver->stop(), name.c_str());
            Eeg64Importer importer((cards_.path() + "/KVN-A32-0412L/viewer/status").toStdString(),
                                   (cards_.path() + "/KVN-A32-0412R/viewer/status").toStdString(), name);
            std::map<std::uint16_t, Block> stored;
            importer.addCallback([&stored](const BaseImporter::Block& b) {
                stored[b.sequence] = {{}, b.sequence, b.flags, b.battery};
                return true;
            });
            QVERIFY2(importer.import(false), importer.error().c_str());
            for (std::size_t i = MultiDriver::kAlignedBlocksToSync; i < live.size(); ++i) {
                const Block& b = stored[live[i].sequence];
                QVERIFY2(b.battery == live[i].battery && b.flags == live[i].flags, name.c_str());
            }
            QVERIFY2(live[20].battery == c[4] && live[20].flags == c[5], name.c_str());
        }
    }
};

QTEST_GUILESS_MAIN(TestSimPair)
#include "test_sim_pair.moc"
