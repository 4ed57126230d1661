#include "RecordFixtures.h"

#include "CsvReader.h"
#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ModalAnswerer.h"
#include "SignalNames.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const std::vector<KvnSignal> kTracker = {
    {"ANC", 2, 2, 1, 1}, {"ANC", 2, 2, 1, 1}, {"IMU", 6, 6, 1, 0}, {"uSD", 1, 1, 1, 1}};
const std::vector<KvnSignal> kEeg = {{"EEG", 8, 8, 8, 1}, {"uSD", 1, 1, 1, 1}};

QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

template <typename T>
T* child(QWidget& w, const char* name)
{
    return w.findChild<T*>(name);
}

// Points the single-device picker at `folder` and waits until the dialog shows a record (or none).
bool choose(ImportWidget& w, const QString& folder, bool expectRecord = true)
{
    auto* picker = child<SimpleImportConfiguration>(w, "singlePicker");
    picker->findChild<QLineEdit*>("inputPath")->setText(folder);
    for (int i = 0; i < 500 && (picker->isSearching() || bool(w.currentImporter()) != expectRecord); ++i)
        QTest::qWait(10);
    return bool(w.currentImporter()) == expectRecord;
}

bool waitForImportEnd(ImportWidget& w)
{
    for (int i = 0; i < 3000 && w.isImporting(); ++i) QTest::qWait(10);
    return !w.isImporting();
}

}  // namespace

class ImportWidgetTest : public QObject {
    Q_OBJECT
private slots:
    void startsWithNothingToImport()
    {
        ImportWidget w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Import SD record"));
        auto* tabs = w.findChild<QTabWidget*>();
        QCOMPARE(tabs->count(), 2);
        QCOMPARE(tabs->tabText(0), QStringLiteral("Single device"));
        QCOMPARE(tabs->tabText(1), QStringLiteral("EEG 64 device"));
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(!button(w, "&Import")->isEnabled());
        QVERIFY(button(w, "&Exit")->isEnabled());
        QCOMPARE(child<QLabel>(w, "lengthLabel")->text(), QStringLiteral("Record length:"));
        QCOMPARE(child<QLabel>(w, "sequenceLabel")->text(), QStringLiteral("First sequence:"));
        QVERIFY(child<QLabel>(w, "setupLabel")->isHidden());
        QVERIFY(child<QCheckBox>(w, "setupBox")->isHidden());
        QCOMPARE(w.findChild<QProgressBar*>()->maximum(), 100);
    }

    void showsTheChosenRecord()
    {
        QTemporaryDir card;
        QVERIFY(!fixtures::writeCardRecord(card.path() + "/trk", ".", "t1", kTracker, 16, 16 * 62, 300,
                                           "{\"anchors\": [1, 2]}", "HW1.0_FW1.0").empty());
        QVERIFY(!fixtures::writeCardRecord(card.path() + "/eeg", ".", "e1", kEeg, 32, 40).empty());

        ImportWidget w;
        QVERIFY(choose(w, card.path() + "/trk"));
        QCOMPARE(child<QLabel>(w, "lengthLabel")->text(), QStringLiteral("Record length: 1 minutes 2 seconds "));
        QCOMPARE(child<QLabel>(w, "sequenceLabel")->text(), QStringLiteral("First sequence: 300"));
        auto* table = child<QTableWidget>(w, "signalTable");
        QCOMPARE(table->columnCount(), 4);
        QCOMPARE(table->rowCount(), 4);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(table->item(i, 0)->text(), QString::fromStdString(niceNameAndSuffix("HW1.0_FW1.0", kTracker, i)));
        QVERIFY(table->item(0, 0)->text() != table->item(1, 0)->text());
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("2"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("16"));
        QCOMPARE(table->item(0, 3)->text(), QStringLiteral("1"));
        QVERIFY(table->item(0, 1)->foreground().color() != QColor(128, 128, 128));
        for (int c = 1; c < 4; ++c) QCOMPARE(table->item(2, c)->foreground().color(), QColor(128, 128, 128));
        QCOMPARE(table->item(2, 3)->text(), QStringLiteral("0"));
        QVERIFY(!table->item(3, 0));  // the SD card
        auto* setupBox = child<QCheckBox>(w, "setupBox");
        QVERIFY(!child<QLabel>(w, "setupLabel")->isHidden());
        QCOMPARE(child<QLabel>(w, "setupLabel")->text(), QStringLiteral("Halvo Record"));
        QVERIFY(!setupBox->isHidden() && setupBox->isChecked() && !setupBox->isEnabled());
        QCOMPARE(setupBox->text(), QStringLiteral("SetUp Recorded"));

        // A record without anchors hides the positioning row again.
        QVERIFY(choose(w, card.path() + "/eeg"));
        QVERIFY(child<QLabel>(w, "setupLabel")->isHidden());
        QVERIFY(setupBox->isHidden());
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("256"));

        // Nothing there: the display empties.
        QVERIFY(choose(w, card.path() + "/none", false));
        QCOMPARE(table->rowCount(), 0);
        QCOMPARE(child<QLabel>(w, "lengthLabel")->text(), QStringLiteral("Record length:"));

        // The EEG 64 tab has no pair chosen: no record.
        QVERIFY(choose(w, card.path() + "/eeg"));
        w.findChild<QTabWidget*>()->setCurrentIndex(1);
        QVERIFY(!w.currentImporter());
        w.findChild<QTabWidget*>()->setCurrentIndex(0);
        QVERIFY(w.currentImporter());
    }

    void importNeedsARecordAndAnOutputFolder()
    {
        QTemporaryDir card;
        QVERIFY(!fixtures::writeCardRecord(card.path(), ".", "e1", kEeg, 32, 4).empty());
        ImportWidget w;
        QPushButton* import = button(w, "&Import");
        auto* output = child<QLineEdit>(w, "outputInput");
        output->setText("x");
        QVERIFY(!import->isEnabled());  // no record yet
        output->clear();
        QVERIFY(choose(w, card.path()));
        QVERIFY(!import->isEnabled());
        output->setText("o");
        QVERIFY(import->isEnabled());
        output->clear();
        QVERIFY(!import->isEnabled());
    }

    void importWritesTheRecordAndItsSetup()
    {
        QTemporaryDir card, out;
        const auto written = fixtures::writeCardRecord(card.path(), "sd", "t1", kTracker, 16, 200, 9,
                                                       "{\"anchors\": [1, 2]}", "HW1.0_FW1.0");
        QVERIFY(!written.empty());
        ImportWidget w;
        w.show();
        QVERIFY(choose(w, card.path()));
        child<QLineEdit>(w, "outputInput")->setText(out.path());
        std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
        button(w, "&Import")->click();
        QVERIFY(w.isImporting());
        QVERIFY(!button(w, "&Exit")->isEnabled());
        QVERIFY(!button(w, "&Import")->isEnabled());
        QVERIFY(waitForImportEnd(w));
        QCOMPARE(answerer->titles, QStringList({"SD record import"}));
        QCOMPARE(answerer->texts, QStringList({"Record imported successfully"}));
        QCOMPARE(w.findChild<QProgressBar*>()->value(), 100);
        QVERIFY(button(w, "&Exit")->isEnabled());
        QVERIFY(!button(w, "&Import")->isEnabled());  // the record must be chosen again
        QVERIFY(!w.currentImporter());
        QVERIFY(QFile::exists(out.path() + "/posita_setup.json"));

        CsvReader reader;
        QVERIFY2(reader.open(out.path().toStdString()), reader.error().c_str());
        QCOMPARE(reader.totalBlocks(), int64_t(written.size()));
        QCOMPARE(reader.numberOfSignals(), std::size_t(2));  // the switched-off IMU and the SD card record nothing
        for (const auto& block : written) {
            const Frame f = reader.read();
            QCOMPARE(f.sequence, block.sequence);
            QCOMPARE(f.battery, block.battery);
            QCOMPARE(f.flags, block.flags);
            QCOMPARE(f.blocks.size(), std::size_t(2));
            QCOMPARE(f.blocks[0].value(0, 0), block.values[0]);
            QCOMPARE(f.blocks[1].value(0, 1), block.values[3]);
        }
        QVERIFY(reader.read().isEnd());
    }

    void eeg64PairImportsAsOneHeadset()
    {
        QTemporaryDir card, out;
        const auto left = fixtures::writeCardRecord(card.path() + "/L", "sd", "s7l", fixtures::halfSignals(), 32, 30, 0, {},
                                                  "HW3.0_FW2.1", 1000.0);
        const auto right = fixtures::writeCardRecord(card.path() + "/R", "sd", "s7r", fixtures::halfSignals(), 32, 30, 0, {},
                                                   "HW3.0_FW2.1", 2000.0);
        QVERIFY(!left.empty() && !right.empty());
        ImportWidget w;
        w.show();
        w.findChild<QTabWidget*>()->setCurrentIndex(1);
        auto* pair = child<Eeg64ImportConfiguration>(w, "eeg64Picker");
        pair->leftPicker()->findChild<QLineEdit*>("inputPath")->setText(card.path() + "/L");
        QTest::qWait(20);
        QVERIFY(!w.currentImporter());  // one half is not a headset
        pair->rightPicker()->findChild<QLineEdit*>("inputPath")->setText(card.path() + "/R");
        QTRY_VERIFY(w.currentImporter());
        auto* table = child<QTableWidget>(w, "signalTable");
        QCOMPARE(table->item(0, 1)->text(), QStringLiteral("64"));
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("256"));

        child<QLineEdit>(w, "outputInput")->setText(out.path());
        std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
        button(w, "&Import")->click();
        QVERIFY(waitForImportEnd(w));
        QCOMPARE(answerer->texts, QStringList({"Record imported successfully"}));
        CsvReader reader;
        QVERIFY2(reader.open(out.path().toStdString()), reader.error().c_str());
        QCOMPARE(reader.totalBlocks(), int64_t(30));
        QCOMPARE(reader.signalChannels(0), 64u);
        const Frame f = reader.read();
        QCOMPARE(f.blocks[0].value(0, 0), left[0].values[0]);    // left channels first
        QCOMPARE(f.blocks[0].value(0, 32), right[0].values[0]);  // then the right ones
        QCOMPARE(f.blocks[0].value(7, 63), right[0].values[7 * 32 + 31]);
    }

    void failedImportsSayNotImported_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("unwritable output") << "output";
        QTest::newRow("cut in the middle of a block") << "truncate";
        QTest::newRow("not a record") << "garbage";
    }

    void failedImportsSayNotImported()
    {
        QFETCH(QString, damage);
        QTemporaryDir card, out;
        QVERIFY(!fixtures::writeCardRecord(card.path(), ".", "e1", kEeg, 32, 50).empty());
        const QString file = card.path() + "/0_e1.kvb";
        QString output = out.path();
        if (damage == "output") {
            QFile blocker(out.path() + "/blocker");
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            output = out.path() + "/blocker/sub";
        } else if (damage == "truncate") {
            QFile f(file);
            QVERIFY(f.resize(f.size() - 100));
        } else {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(QByteArray(4096, '\x5a'));
        }
        ImportWidget w;
        w.show();
        QVERIFY(choose(w, card.path()));
        child<QLineEdit>(w, "outputInput")->setText(output);
        std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
        button(w, "&Import")->click();
        QVERIFY(waitForImportEnd(w));
        QCOMPARE(answerer->texts, QStringList({"Record not imported"}));
        QVERIFY(button(w, "&Exit")->isEnabled());
        QVERIFY(!QFile::exists(output + "/posita_setup.json"));
    }

    void closingDuringAnImportAbortsItFirst()
    {
        QTemporaryDir card, out;
        QVERIFY(!fixtures::writeCardRecord(card.path(), ".", "big", kEeg, 32, 20000).empty());
        ImportWidget w;
        w.show();
        QVERIFY(choose(w, card.path()));
        child<QLineEdit>(w, "outputInput")->setText(out.path());
        std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
        button(w, "&Import")->click();
        const BaseImporter* inUse = w.currentImporter();
        // A new choice and a tab change during the import leave the importer in use alone.
        child<SimpleImportConfiguration>(w, "singlePicker")->findChild<QLineEdit*>("inputPath")->setText(card.path() + "/x");
        w.findChild<QTabWidget*>()->setCurrentIndex(1);
        QTest::qWait(50);
        QCOMPARE(w.currentImporter(), inUse);
        w.close();  // the window's close button
        QVERIFY(w.isVisible());
        QVERIFY(waitForImportEnd(w));
        QTRY_VERIFY(!w.isVisible());
        QCOMPARE(w.result(), int(QDialog::Rejected));
        QCOMPARE(answerer->answered(), 1);
    }

    void destroyedDuringAnImport()
    {
        QTemporaryDir card, out;
        QVERIFY(!fixtures::writeCardRecord(card.path(), ".", "big", kEeg, 32, 20000).empty());
        auto* w = new ImportWidget;
        QVERIFY(choose(*w, card.path()));
        child<QLineEdit>(*w, "outputInput")->setText(out.path());
        button(*w, "&Import")->click();
        QVERIFY(w->isImporting());
        delete w;  // waits for the worker; its late report goes nowhere
        QTest::qWait(50);
    }
};

QTEST_MAIN(ImportWidgetTest)
#include "test_importwidget.moc"
