// What a simulated device writes to its SD card is what the importers read back.

#include "Importer.h"
#include "SdCardFormat.h"

#include <QDir>
#include <QFile>

#include <map>

#include "MultiDriver.h"
#include "SimTestSupport.h"

namespace {

// Sample blocks of an importer, by sequence number.
std::map<std::uint16_t, std::vector<double>> importAll(BaseImporter& importer, int* setUpBlocks = nullptr) {
    std::map<std::uint16_t, std::vector<double>> blocks;
    importer.addCallback([&](const BaseImporter::Block& b) {
        if (b.type == BaseImporter::SAMPLES_BLOCK) blocks[b.sequence].assign(b.values, b.values + b.count);
        else if (setUpBlocks) ++*setUpBlocks;
        return true;
    });
    importer.import(false);
    return blocks;
}

}  // namespace

class TestSimImport : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

    std::string card(const char* device, const char* folder) const {
        return (cards_.path() + "/" + device + "/" + folder).toStdString();
    }

private slots:
    void init() { freshFleet(cards_, 8.0); }
    void cleanupTestCase() { sim::reset(); }

    void singleDeviceRecordImportsAsRead() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        QVERIFY(driver->setSignalMode(3, 2));  // two IMUs
        QVERIFY(driver->enableSDCard(true));
        QVERIFY(driver->setDirectory("viewer\\26-12-05\\08-15-00\\."));  // written the Windows way
        QVERIFY(driver->setFile("r005"));
        QVERIFY(driver->start());
        const auto live = readBlocks(*driver, 12);
        QCOMPARE(int(live.size()), 12);
        QVERIFY(driver->stop());

        Importer importer(card("KVN-B08-2201", "viewer/26-12-05/08-15-00"), "r005");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QCOMPARE(importer.version(), std::string("HW2.0_FW1.1"));
        QCOMPARE(unsigned(importer.blocks_per_second()), 32u);
        QCOMPARE(unsigned(importer.first_sequence()), 0u);
        QVERIFY(importer.get_signals() == driver->getSignals());
        QVERIFY(!importer.get_valid_setup_halvo());
        QVERIFY(importer.total_frames() >= 12);
        const auto stored = importAll(importer);
        for (const Block& b : live) {
            QVERIFY(stored.count(b.sequence));
            QVERIFY(stored.at(b.sequence) == b.data);
        }
    }

    void restartedRecordKeepsItsBaseName() {
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(driver->enableSDCard(true));
        QVERIFY(driver->setDirectory("viewer/x"));
        QVERIFY(driver->setFile("r1"));
        for (int run = 0; run < 2; ++run) {
            QVERIFY(driver->start());
            QCOMPARE(int(readBlocks(*driver, 3).size()), 3);
            QVERIFY(driver->stop());
        }
        const auto names = importer::recordNames(card("KVN-A32-0412L", "viewer/x"));
        QCOMPARE(int(names.size()), 2);  // nothing on the card was overwritten
        for (const auto& name : names) QCOMPARE(importer::basename(name), std::string("r1"));
    }

    void trackerRecordCarriesItsSetUp() {
        auto driver = bluetoothDriver("KVN-TRK-0031");
        QVERIFY(driver->enableSDCard(true));
        QVERIFY(driver->setDirectory("anchors"));
        QVERIFY(driver->setFile("walk"));
        QVERIFY(driver->start());
        QCOMPARE(int(readBlocks(*driver, 3).size()), 3);
        const std::string moved =
            "{\"anchors\":[{\"id\":1,\"x\":1.0,\"y\":0.0,\"z\":2.5},{\"id\":2,\"x\":6.0,\"y\":0.0,\"z\":2.5},"
            "{\"id\":3,\"x\":3.0,\"y\":5.0,\"z\":2.5}]}";
        QVERIFY(driver->setSetUp(moved));  // changed during the record: a set-up block
        QCOMPARE(int(readBlocks(*driver, 3).size()), 3);
        QVERIFY(driver->stop());

        Importer importer(card("KVN-TRK-0031", "anchors"), "walk");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QVERIFY(importer.get_valid_setup_halvo());
        int setUps = 0;
        QVERIFY(importAll(importer, &setUps).size() >= 6);
        QCOMPARE(setUps, 1);
        QTemporaryDir out;
        const QString path = out.path() + "/posita_setup.json";
        QVERIFY(importer.import_posita_setup(path.toStdString()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("anchors"));
    }

    void pairRecordImportsAsTheMergedStream() {
        MultiDriver driver;
        driver.setup("KVN-A32-0412L", "KVN-A32-0412R");
        driver.setTimeout(1000);
        QVERIFY(driver.connectDevice());
        QVERIFY(driver.enableSDCard(true));
        QVERIFY(driver.setDirectory("viewer/pair"));
        QVERIFY(driver.setFile("r005"));
        QVERIFY(driver.start());
        const auto live = readBlocks(driver, 20);
        QCOMPARE(int(live.size()), 20);
        QVERIFY(driver.stop());

        Eeg64Importer importer(card("KVN-A32-0412L", "viewer/pair"), card("KVN-A32-0412R", "viewer/pair"), "r005");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        const auto signals_ = importer.get_signals();
        QVERIFY(!signals_.empty());
        QCOMPARE(signals_[0].channels, 64u);
        const auto stored = importAll(importer);
        for (const Block& b : live) {
            QVERIFY(stored.count(b.sequence));
            QVERIFY(stored.at(b.sequence) == b.data);
        }
    }
};

QTEST_GUILESS_MAIN(TestSimImport)
#include "test_sim_import.moc"
