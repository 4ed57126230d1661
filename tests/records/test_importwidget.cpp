#include "RecordFixtures.h"

#include "CsvReader.h"
#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ModalAnswerer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile(path).open(QIODevice::WriteOnly);
}

QComboBox* boxOf(QWidget* picker) { return picker->findChild<QComboBox*>("recordBox"); }

// Types `text` into a picker; its listing, sorted, once the search has reported.
QStringList search(QWidget* picker, const QString& text)
{
    picker->findChild<QLineEdit*>("inputPath")->setText(text);
    for (int i = 0; i < 500 && static_cast<SimpleImportConfiguration*>(picker)->isSearching(); ++i) QTest::qWait(10);
    QTest::qWait(20);  // the watcher's report is queued
    QStringList list;
    for (int i = 0; i < boxOf(picker)->count(); ++i) list << boxOf(picker)->itemText(i);
    list.sort();
    return list;
}

// Imports the dialog's record into `output`: the title and text of the message that ends the import.
QString importInto(ImportWidget& w, const QString& output)
{
    w.findChild<QLineEdit*>("outputInput")->setText(output);
    std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
    fixtures::button(w, "&Import")->click();
    for (int i = 0; i < 3000 && w.isImporting(); ++i) QTest::qWait(10);
    return answerer->titles.join('|') + ": " + answerer->texts.join('|');
}

const QString kImported = "SD record import: Record imported successfully";

}  // namespace

class ImportWidgetTest : public QObject {
    Q_OBJECT
private slots:
    void showsAndImportsTheChosenRecord()
    {
        QTemporaryDir card, out;
        const std::vector<KvnSignal> tracker = {
            {"ANC", 2, 2, 1, 1}, {"ANC", 2, 2, 1, 1}, {"IMU", 6, 6, 1, 0}, {"uSD", 1, 1, 1, 1}};
        QVERIFY(fixtures::writeCardRecord(card.path() + "/trk", "sd", "t1", tracker, 16, 16 * 62, 300,
                                          "{\"anchors\": [1, 2]}", "HW1.0_FW1.0"));
        QVERIFY(fixtures::writeCardRecord(card.path() + "/eeg", ".", "e1", {{"EEG", 8, 8, 8, 1}}, 32, 40));
        // Around the records: files that are not first files, a folder named like one, a link back up.
        for (const char* name : {"/trk/1_t1.kvb", "/trk/sd/x0_t2.kvb", "/eeg/a/1_e2.kvb"}) touch(card.path() + name);
        QVERIFY(QDir().mkpath(card.path() + "/trk/0_folder.kvb") && QFile::link(card.path(), card.path() + "/trk/up"));
        ImportWidget w;
        w.show();
        auto* tabs = w.findChild<QTabWidget*>();
        QCOMPARE(QStringList({w.windowTitle(), tabs->tabText(0), tabs->tabText(1)}),
                 QStringList({"Import SD record", "Single device", "EEG 64 device"}));
        auto* picker = w.findChild<QWidget*>("singlePicker");
        auto* table = w.findChild<QTableWidget*>("signalTable");
        auto* setupBox = w.findChild<QCheckBox*>("setupBox");
        // Given with a trailing slash, the folder itself is shorter than the text.
        QCOMPARE(search(picker, card.path() + "/eeg/"), QStringList({"/e1"}));
        QVERIFY(setupBox->isHidden());  // no anchors
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("256"));
        QVERIFY(!fixtures::button(w, "&Import")->isEnabled());  // no output folder

        QCOMPARE(search(picker, card.path() + "/trk"), QStringList({"/sd/t1"}));
        QCOMPARE(w.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length: 1 minutes 2 seconds "));
        QCOMPARE(w.findChild<QLabel*>("sequenceLabel")->text(), QStringLiteral("First sequence: 300"));
        QCOMPARE(table->rowCount(), 4);
        QVERIFY(table->item(0, 0)->text() != table->item(1, 0)->text());  // two anchors, two names
        QCOMPARE(table->item(0, 1)->text() + " " + table->item(0, 2)->text(), QStringLiteral("2 16"));
        QCOMPARE(table->item(2, 3)->text(), QStringLiteral("0"));
        QCOMPARE(table->item(2, 1)->foreground().color(), QColor(128, 128, 128));  // switched off
        QVERIFY(!table->item(3, 0));                                                // the SD card
        QCOMPARE(w.findChild<QLabel*>("setupLabel")->text() + "|" + setupBox->text(),
                 QStringLiteral("Halvo Record|SetUp Recorded"));
        QVERIFY(!setupBox->isHidden() && setupBox->isChecked() && !setupBox->isEnabled());

        QCOMPARE(importInto(w, out.path()), kImported);
        QVERIFY(!fixtures::button(w, "&Import")->isEnabled());  // an importer delivers its record once
        QVERIFY(QFile::exists(out.path() + "/posita_setup.json"));
        CsvReader reader;
        QVERIFY2(reader.open(out.path().toStdString()), reader.error().c_str());
        QCOMPARE(reader.totalBlocks(), int64_t(16 * 62));
        QCOMPARE(reader.numberOfSignals(), std::size_t(2));  // the switched-off IMU and the SD card record nothing
        const Frame f = reader.read();
        QCOMPARE(f.sequence, uint16_t(300));
        QCOMPARE(f.blocks.at(1).value(0, 1), fixtures::sampleValue(0, 3));

        search(picker, card.path() + "/nowhere");
        QVERIFY(!w.currentImporter());
        QCOMPARE(table->rowCount(), 0);
        QCOMPARE(w.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length:"));
    }

    void eeg64HalvesFilteredPairedAndImportedAsOneHeadset()
    {
        QTemporaryDir card, out;
        const QString l = card.path() + "/L", r = card.path() + "/R";
        QVERIFY(fixtures::writeCardRecord(l, "sd", "s7l", fixtures::kHalf, 32, 30, 0, {}, "HW3.0_FW2.1", 1000.0));
        QVERIFY(fixtures::writeCardRecord(r, "sd", "s7r", fixtures::kHalf, 32, 30, 0, {}, "HW3.0_FW2.1", 2000.0));
        QVERIFY(fixtures::writeCardRecord(l, ".", "small_l", {{"EEG", 8, 8, 8, 1}}, 32, 4));  // 8 channels
        QVERIFY(fixtures::writeCardRecord(l, ".", "bvpl", {{"BVP", 32, 32, 8, 1}}, 32, 4));   // not EEG
        QVERIFY(fixtures::writeCardRecord(r, ".", "s8r_0", fixtures::kHalf, 32, 4));
        QVERIFY(fixtures::writeCardRecord(r, ".", "s7l", fixtures::kHalf, 32, 4));  // wrong side
        touch(l + "/0_brokenl.kvb");

        ImportWidget w;
        w.show();
        w.findChild<QTabWidget*>()->setCurrentIndex(1);
        auto* pair = w.findChild<Eeg64ImportConfiguration*>("eeg64Picker");
        QStringList titles;
        for (auto* g : pair->findChildren<QGroupBox*>()) titles << g->title();
        QCOMPARE(titles, QStringList({"Left record", "Right record"}));
        QCOMPARE(search(pair->leftPicker(), l), QStringList({"/sd/s7l"}));
        QVERIFY(!w.currentImporter());  // one half is not a headset
        QCOMPARE(search(pair->rightPicker(), r), QStringList({"/s8r_0", "/sd/s7r"}));
        QComboBox* right = boxOf(pair->rightPicker());
        right->setCurrentIndex(right->findText("/s8r_0"));
        QCOMPARE(pair->rightPicker()->currentBaseName(), QByteArray("s8"));  // no restart suffix, no side
        QVERIFY(!w.currentImporter());
        right->setCurrentIndex(right->findText("/sd/s7r"));
        QVERIFY(w.currentImporter());
        QCOMPARE(w.findChild<QTableWidget*>("signalTable")->item(0, 1)->text(), QStringLiteral("64"));

        QCOMPARE(importInto(w, out.path()), kImported);
        CsvReader reader;
        QVERIFY2(reader.open(out.path().toStdString()), reader.error().c_str());
        QCOMPARE(reader.totalBlocks(), int64_t(30));
        const Frame f = reader.read();
        QCOMPARE(f.blocks.at(0).value(0, 0), 1000.0 + fixtures::sampleValue(0, 0));  // left channels first
        QCOMPARE(f.blocks.at(0).value(0, 32), 2000.0 + fixtures::sampleValue(0, 0));
        QCOMPARE(f.blocks.at(0).value(7, 63), 2000.0 + fixtures::sampleValue(0, 7 * 32 + 31));
    }

    void damagedRecordsAreNotImported()
    {
        for (bool truncate : {true, false}) {
            QTemporaryDir card, out;
            QVERIFY(fixtures::writeCardRecord(card.path(), ".", "e1", {{"EEG", 8, 8, 8, 1}}, 32, 50));
            QFile f(card.path() + "/0_e1.kvb");
            // Cut in the middle of a block, or not a record at all.
            QVERIFY(truncate ? f.resize(f.size() - 100) : f.open(QIODevice::WriteOnly) && f.write(QByteArray(4096, 'Z')));
            f.close();
            ImportWidget w;
            w.show();
            search(w.findChild<QWidget*>("singlePicker"), card.path());
            QCOMPARE(importInto(w, out.path()), QStringLiteral("SD record import: Record not imported"));
            QVERIFY(fixtures::button(w, "&Exit")->isEnabled());
            QVERIFY(!QFile::exists(out.path() + "/posita_setup.json"));
        }
    }
};

QTEST_MAIN(ImportWidgetTest)
#include "test_importwidget.moc"
