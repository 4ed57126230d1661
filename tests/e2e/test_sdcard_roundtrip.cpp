// A record a simulated device writes to its SD card, imported through the import dialog and opened through
// the open dialog, plays back exactly the blocks the device produced.

#include "BluetoothConnection.h"
#include "Driver.h"
#include "Simulation.h"

#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ModalAnswerer.h"
#include "OpenDialog.h"
#include "RecordModel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

struct LiveBlock {
    std::vector<double> values;
    uint16_t sequence = 0;
    int16_t battery = 0;
    uint16_t flags = 0;
};

QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

}  // namespace

class SdCardRoundTrip : public QObject {
    Q_OBJECT
    QTemporaryDir cards;

private slots:
    void init()
    {
        sim::reset();
        sim::clearFaults();
        sim::setSeed(11);
        sim::setSdCardRoot(cards.path().toStdString());
        sim::setTimeScale(10.0);
    }
    void cleanup() { sim::reset(); }

    void recordImportOpenPlayBack_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QByteArray>("modes");
        // EEG, BVP, GSR, COM with two IMUs, HAP off, SD card on.
        QTest::newRow("biosignals") << "KVN-B08-2201" << QByteArray("\x01\x01\x01\x02\x00\x01", 6);
        // Three anchors, IMU, SD card on.
        QTest::newRow("tracker") << "KVN-TRK-0031" << QByteArray("\x01\x01\x01\x01\x01", 5);
    }

    void recordImportOpenPlayBack()
    {
        QFETCH(QString, device);
        QFETCH(QByteArray, modes);
        const int liveBlocks = 48;

        // 1. Record on the card while reading live.
        std::vector<LiveBlock> live;
        std::vector<KvnSignal> deviceSignals;
        {
            Driver driver(new BluetoothConnection(device.toStdString()));
            driver.setTimeout(1000);
            QVERIFY(driver.connectDevice());
            QVERIFY(driver.setAllSignalModes(modes.toStdString()));
            QVERIFY(driver.enableSDCard(true));
            QVERIFY(driver.setDirectory("viewer/26-12-06/07-00-00/."));
            QVERIFY(driver.setFile("r001"));
            deviceSignals = driver.getSignals();
            QVERIFY(driver.start());
            for (int i = 0; i < liveBlocks; ++i) {
                LiveBlock b;
                QVERIFY(driver.readWithBattery(b.values, b.sequence, b.battery, b.flags));
                live.push_back(std::move(b));
            }
            QVERIFY(driver.stop());
            driver.disconnectDevice();
        }

        // 2. Import the card's record through the dialog.
        QTemporaryDir out;
        {
            ImportWidget import;
            import.show();
            auto* picker = import.findChild<SimpleImportConfiguration*>("singlePicker");
            picker->findChild<QLineEdit*>("inputPath")->setText(QString::fromStdString(sim::sdCardFolder(device.toStdString())));
            QTRY_VERIFY(import.currentImporter());
            QCOMPARE(picker->findChild<QComboBox*>("recordBox")->currentText(),
                     QStringLiteral("/viewer/26-12-06/07-00-00/r001"));
            import.findChild<QLineEdit*>("outputInput")->setText(out.path());
            std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
            button(import, "&Import")->click();
            QTRY_VERIFY_WITH_TIMEOUT(!import.isImporting(), 30000);
            QCOMPARE(answerer->texts, QStringList({"Record imported successfully"}));
        }

        // 3. Find it with the open dialog and play it back.
        QByteArray folder;
        {
            OpenDialog open;
            open.findChild<QLineEdit*>("pathInput")->setText(out.path());
            QCOMPARE(open.findChild<QComboBox*>("recordBox")->count(), 1);
            folder = open.selectedFolder();
        }
        QCOMPARE(folder, QFile::encodeName(out.path()) + "/");
        RecordModel record;
        QVERIFY2(record.open(folder.toStdString()), record.error().c_str());
        record.connect_device(false);
        QVERIFY(record.is_connected());
        // Every recorded signal is there, in the device's order.
        std::vector<std::string> recorded;
        for (std::size_t i = 0; i < deviceSignals.size(); ++i)
            if (deviceSignals[i].name != "uSD" && uint8_t(modes[int(i)]) != 0) recorded.push_back(deviceSignals[i].name);
        QCOMPARE(std::size_t(record.signal_count()), recorded.size());
        for (unsigned i = 0; i < record.signal_count(); ++i)
            QCOMPARE(record.signal_name(i).substr(0, 3), recorded[i].substr(0, 3));

        record.start();
        QVERIFY(record.is_running());
        std::vector<double> samples;
        uint16_t sequence = 0, flags = 0;
        int16_t battery = 0;
        for (const LiveBlock& b : live) {
            QVERIFY(record.read(samples, sequence, battery, flags));
            QCOMPARE(sequence, b.sequence);
            QCOMPARE(battery, b.battery);
            QCOMPARE(flags, b.flags);
            QVERIFY(samples == b.values);
        }
        // The card may hold the few blocks the device made after the last live read; then the end.
        int more = 0;
        while (record.read(samples, sequence, battery, flags)) QVERIFY(++more < 32);
        QCOMPARE(flags, uint16_t(65535));
        QVERIFY(!record.is_running());
    }
};

QTEST_MAIN(SdCardRoundTrip)
#include "test_sdcard_roundtrip.moc"
