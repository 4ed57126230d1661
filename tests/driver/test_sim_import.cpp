// What a simulated device writes to its SD card is what the importers read back.

#include "Importer.h"

#include <QFile>

#include <map>

#include "SimTestSupport.h"

class TestSimImport : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

    std::string card(const char* device, const char* folder) const {
        return (cards_.path() + "/" + device + "/" + folder).toStdString();
    }

    // Sample blocks by sequence number; set-up blocks counted.
    static std::map<std::uint16_t, std::vector<double>> importAll(BaseImporter& importer, int& setUps) {
        std::map<std::uint16_t, std::vector<double>> blocks;
        importer.addCallback([&](const BaseImporter::Block& b) {
            if (b.type == BaseImporter::SAMPLES_BLOCK) blocks[b.sequence].assign(b.values, b.values + b.count);
            else ++setUps;
            return true;
        });
        importer.import(false);
        return blocks;
    }

private slots:
    void init() { freshFleet(cards_, 8.0); }
    void cleanupTestCase() { sim::reset(); }

    void recordImportsAsRead() {
        auto driver = bluetoothDriver("KVN-B08-2201");
        QVERIFY(driver->setSignalMode(3, 2));  // two IMUs
        QVERIFY(recordTo(*driver, "viewer\\26-12-05\\08-15-00\\.", "r005"));  // written the Windows way
        QVERIFY(driver->start());
        const auto live = readBlocks(*driver, 12);
        QCOMPARE(int(live.size()), 12);
        QVERIFY(driver->stop());
        QVERIFY(QFile::exists(QString::fromStdString(card("KVN-B08-2201", "viewer/26-12-05/08-15-00/0_r005.kvb"))));

        Importer importer(card("KVN-B08-2201", "viewer/26-12-05/08-15-00"), "r005");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QCOMPARE(importer.version(), std::string("HW2.0_FW1.1"));
        QCOMPARE(unsigned(importer.blocks_per_second()), 32u);
        QCOMPARE(unsigned(importer.first_sequence()), 0u);
        QVERIFY(importer.get_signals() == driver->getSignals());
        QVERIFY(!importer.get_valid_setup_halvo());
        int setUps = 0;
        const auto stored = importAll(importer, setUps);
        for (const Block& b : live) QVERIFY(stored.count(b.sequence) && stored.at(b.sequence) == b.data);
        QCOMPARE(setUps, 0);
    }

    void restartedRecordKeepsItsBaseName() {
        auto driver = bluetoothDriver("KVN-A32-0412L");
        QVERIFY(recordTo(*driver, "viewer/x", "r1"));
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
        QVERIFY(recordTo(*driver, "anchors", "walk") && driver->start());
        QCOMPARE(int(readBlocks(*driver, 3).size()), 3);
        QVERIFY(driver->setSetUp("{\"anchors\":[{\"id\":1,\"x\":1.0,\"y\":0.0,\"z\":2.5}]}"));  // a set-up block
        QCOMPARE(int(readBlocks(*driver, 3).size()), 3);
        QVERIFY(driver->stop());

        Importer importer(card("KVN-TRK-0031", "anchors"), "walk");
        QVERIFY2(importer.isValid(), importer.error().c_str());
        QVERIFY(importer.get_valid_setup_halvo());
        int setUps = 0;
        QVERIFY(importAll(importer, setUps).size() >= 6);
        QCOMPARE(setUps, 1);
        QTemporaryDir out;
        QVERIFY(importer.import_posita_setup(out.filePath("posita_setup.json").toStdString()));
        QFile file(out.filePath("posita_setup.json"));
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll().contains("\"x\":1.0"));
    }
};

QTEST_GUILESS_MAIN(TestSimImport)
#include "test_sim_import.moc"
