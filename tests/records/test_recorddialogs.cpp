#include "RecordFixtures.h"

#include "ElidingComboBox.h"
#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ModalAnswerer.h"
#include "OpenDialog.h"
#include "RecordTexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QComboBox* boxOf(QWidget* picker) { return picker->findChild<QComboBox*>("recordBox"); }

// Types `text` into a picker; its listing, sorted, once the search has reported.
QStringList search(QWidget* picker, const QString& text)
{
    picker->findChild<QLineEdit*>("inputPath")->setText(text);
    auto* config = static_cast<SimpleImportConfiguration*>(picker);
    if (!QTest::qWaitFor([config] { return !config->isSearching(); }, 20000)) return {"search never ended"};
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

// The dialog's entries after `text` was typed: each with the folder it opens, the start of the length it shows
// and the number of signals it describes.
QStringList listed(OpenDialog& d, const QString& text)
{
    d.findChild<QLineEdit*>("pathInput")->setText(text);
    if (!QTest::qWaitFor([&d] { return !d.isSearching(); }, 20000))
        return {"search never ended"};
    auto* box = d.findChild<QComboBox*>("recordBox");
    QStringList list;
    for (int i = 0; i < box->count(); ++i) {
        box->setCurrentIndex(i);
        list << box->itemText(i) + " " + QFile::decodeName(d.selectedFolder()) + " " +
                    d.findChild<QLabel*>("lengthLabel")->text().section(' ', 2, 3) + " " +
                    QString::number(d.findChild<QTableWidget*>("signalTable")->rowCount());
    }
    list.sort();
    return list;
}

}  // namespace

class RecordDialogsTest : public QObject {
    Q_OBJECT
private slots:
    void importDialogShowsAndImportsTheChosenRecord()
    {
        QTemporaryDir card, out;
        const std::vector<KvnSignal> tracker = {
            {"ANC", 2, 2, 1, 1}, {"ANC", 2, 2, 1, 1}, {"IMU", 6, 6, 1, 0}, {"uSD", 1, 1, 1, 1}};
        QVERIFY(fixtures::writeCardRecord(card.path() + "/trk", "sd", "t1", tracker, 16, 16 * 62, 300,
                                          "{\"anchors\": [1, 2]}", "HW1.0_FW1.0"));
        QVERIFY(fixtures::writeCardRecord(card.path() + "/eeg", ".", "e1", {{"EEG", 8, 8, 8, 1}}, 32, 40));
        // Around the records: files that are not first files, a folder named like one, a link back up.
        for (const char* name : {"/trk/1_t1.kvb", "/trk/sd/x0_t2.kvb", "/eeg/1_e2.kvb"})
            QVERIFY(QFile(card.path() + name).open(QIODevice::WriteOnly));
        QVERIFY(QDir().mkpath(card.path() + "/trk/0_folder.kvb") && QFile::link(card.path(), card.path() + "/trk/up"));
        ImportWidget w;
        auto* picker = w.findChild<QWidget*>("singlePicker");
        auto* table = w.findChild<QTableWidget*>("signalTable");
        auto* setupBox = w.findChild<QCheckBox*>("setupBox");
        QCOMPARE(search(picker, card.path() + "/eeg/"), QStringList({"/e1"}));  // its folder is shorter than the text
        QVERIFY(setupBox->isHidden());  // no anchors
        QCOMPARE(table->item(0, 2)->text(), QStringLiteral("256"));
        QVERIFY(!fixtures::button(w, "&Import")->isEnabled());  // no output folder

        QCOMPARE(search(picker, card.path() + "/trk"), QStringList({"/sd/t1"}));
        QCOMPARE(w.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length: 1 minutes 2 seconds "));
        QCOMPARE(w.findChild<QLabel*>("sequenceLabel")->text(), QStringLiteral("First sequence: 300"));
        QCOMPARE(table->rowCount(), 4);
        QVERIFY(table->item(0, 0)->text() != table->item(1, 0)->text());  // two anchors, two names
        QCOMPARE(table->item(0, 1)->text() + " " + table->item(0, 2)->text() + " " + table->item(2, 3)->text(),
                 QStringLiteral("2 16 0"));  // channels, sampling rate; mode
        QCOMPARE(table->item(2, 1)->foreground().color(), QColor(128, 128, 128));  // switched off
        QVERIFY(!table->item(3, 0));                                                // the SD card
        QVERIFY(!setupBox->isHidden() && setupBox->isChecked() && !setupBox->isEnabled());

        QCOMPARE(importInto(w, out.path()), QStringLiteral("SD record import: Record imported successfully"));
        QVERIFY(!fixtures::button(w, "&Import")->isEnabled());  // an importer delivers its record once
        QVERIFY(QFile::exists(out.path() + "/posita_setup.json") && QFile::exists(out.path() + "/signalsInfo.csv"));

        // A record whose last block is cut short (the card lost power) gives every whole block, and says so.
        QFile eeg(card.path() + "/eeg/0_e1.kvb");
        QVERIFY(eeg.resize(eeg.size() - 100));
        search(picker, card.path() + "/eeg");
        QCOMPARE(importInto(w, out.path() + "/cut"),
                 "SD record import: Record imported successfully\n\n" + eeg.fileName() +
                     ": the last block is cut short; its 432 bytes were left out");
        QVERIFY(fixtures::button(w, "&Exit")->isEnabled());
        QVERIFY(!QFile::exists(out.path() + "/cut/posita_setup.json"));
        // Damage before the end is a failure that says where, and keeps the blocks before it.
        QByteArray bytes = (eeg.open(QIODevice::ReadWrite), eeg.readAll());
        bytes[bytes.size() - 1000] = char(bytes[bytes.size() - 1000] ^ 1);
        QVERIFY(eeg.seek(0) && eeg.write(bytes) == bytes.size() && (eeg.close(), true));
        search(picker, card.path() + "/eeg/");  // another text: the record is chosen again
        const QString failed = importInto(w, out.path() + "/damaged");
        QVERIFY2(failed.startsWith("SD record import: Record not imported\n\n" + eeg.fileName() +
                                   ": damaged block (checksum mismatch) at byte ") &&
                     failed.contains("whole blocks before it were written to " + out.path() + "/damaged."),
                 qPrintable(failed));

        search(picker, card.path() + "/nowhere");
        QCOMPARE(table->rowCount(), 0);
        QCOMPARE(w.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length:"));
    }

    void eeg64HalvesFilteredAndPaired()
    {
        QTemporaryDir card;
        const QString l = card.path() + "/L", r = card.path() + "/R";
        for (const QString& path : {l + "/sd/s7l", r + "/sd/s7r", r + "/s8r_0", r + "/s7l"})  // the last: wrong side
            QVERIFY(fixtures::writeCardRecord(QFileInfo(path).path(), ".", QFileInfo(path).fileName().toStdString(),
                                              {{"EEG", 32, 32, 8, 1}, {"uSD", 1, 1, 1, 1}}, 32, 4));
        QVERIFY(fixtures::writeCardRecord(l, ".", "small_l", {{"EEG", 8, 8, 8, 1}}, 32, 4));  // 8 channels
        QVERIFY(fixtures::writeCardRecord(l, ".", "bvpl", {{"BVP", 32, 32, 8, 1}}, 32, 4));   // not EEG
        QVERIFY(QFile(l + "/0_brokenl.kvb").open(QIODevice::WriteOnly));

        ImportWidget w;
        w.findChild<QTabWidget*>()->setCurrentIndex(1);
        auto* pair = w.findChild<Eeg64ImportConfiguration*>("eeg64Picker");
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
    }

    void openDialogFindsAndDescribesRecords()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/recs";
        for (const QString& folder : {root, root + "/a/b", dir.path() + "/recs2"})  // recs2 is beside, not inside
            QVERIFY(fixtures::writeHdRecord(folder, {{"EEG", 8, 8, 8, 1}}, 32 * 3));
        QVERIFY(fixtures::writeHdRecord(root + "/a", {{"GSR", 1, 1, 1, 1}, {"EEG", 8, 8, 8, 1}}, 32 * 65 + 3));  // 65 s
        // Links to folders are not followed: neither a loop nor a second way to the same record.
        QVERIFY(QDir().mkpath(root + "/c/d") && QFile::link(root, root + "/c/d/loop"));
        // A damaged description is listed, but not described.
        QFile bad(root + "/c/signalsInfo.csv");
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("\x01\x02 not a description\n,,,\n") > 0);
        bad.close();

        OpenDialog dialog;
        const QStringList expected = {" " + root + "/ 3 seconds 1", "/a " + root + "//a 1 minutes 2",
                                      "/a/b " + root + "//a/b 3 seconds 1", "/c " + root + "//c unreadable record 0"};
        QCOMPARE(listed(dialog, root), expected);
        QCOMPARE(listed(dialog, root + "/"), expected);
        auto* box = dialog.findChild<QComboBox*>("recordBox");
        box->setCurrentIndex(box->findText("/a"));
        QCOMPARE(dialog.findChild<QLabel*>("lengthLabel")->text(),
                 QStringLiteral("Record length: 1 minutes 5 seconds "));
        auto* table = dialog.findChild<QTableWidget*>("signalTable");
        QCOMPARE(table->item(1, 0)->text() + table->item(1, 1)->text() + " " + table->item(1, 2)->text(),
                 QStringLiteral("EEG8 256"));  // name, channels, sampling rate
        QCOMPARE(listed(dialog, root + "/nowhere"), QStringList());
        QCOMPARE(dialog.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length:"));
        QVERIFY(dialog.selectedFolder().isEmpty());
        QCOMPARE(recordLengthText(-1), QStringLiteral("Record length: "));  // a live device's unknown length
        QCOMPARE(recordLengthText(3605), QStringLiteral("Record length: 1 hours 5 seconds "));
    }

    void openDialogSearchesAwayFromTheWindowAndShowsLongNamesWhole()
    {
        // A walk of a large tree is dropped as soon as another path is typed; only the last one's records show.
        // A record name of 60 characters is shown whole in the closed box at the dialog's own size, with the full
        // text as tool tip. (The import pickers use the same box.)
        const QString record = (QString("session_%1_").arg("2026-12-06T20-15-16") + QString(60, 'x')).left(60);
        QTemporaryDir root;
        QVERIFY(fixtures::writeHdRecord(root.path() + "/" + record, {{"EEG", 8, 8, 8, 1}}, 10));
        OpenDialog open;
        open.show();
        QVERIFY(QTest::qWaitForWindowExposed(&open));
        auto* progress = open.findChild<QProgressBar*>("searchProgress");
        QVERIFY(progress && progress->isHidden());
        open.findChild<QLineEdit*>("pathInput")->setText("/");
        QVERIFY(open.isSearching() && !progress->isHidden());  // the walk runs on a pool thread
        open.findChild<QLineEdit*>("pathInput")->setText(root.path());
        QVERIFY(QTest::qWaitFor([&open] { return !open.isSearching(); }, 20000));
        QVERIFY(progress->isHidden());
        auto* openBox = qobject_cast<ElidingComboBox*>(boxOf(&open));
        QVERIFY(openBox && openBox->count() == 1);
        QCOMPARE(openBox->currentText(), "/" + record);
        QCOMPARE(openBox->shownText(), openBox->currentText());
        QCOMPARE(openBox->toolTip(), openBox->currentText());
        // Too narrow a box cuts the middle; both ends stay.
        openBox->setFixedWidth(150);
        QVERIFY(openBox->shownText().startsWith("/ses") && openBox->shownText().endsWith("xx") &&
                openBox->shownText().contains(QChar(0x2026)));
        open.findChild<QLineEdit*>("pathInput")->setText(QString());
        QVERIFY(!open.isSearching() && openBox->count() == 0);
    }

    void reimportIntoARecordAsksForANewFolder()
    {
        QTemporaryDir card, out;
        QVERIFY(fixtures::writeCardRecord(card.path(), ".", "e1", {{"EEG", 8, 8, 8, 1}}, 32, 40));
        ImportWidget w;
        auto* picker = w.findChild<QWidget*>("singlePicker");
        search(picker, card.path());
        QCOMPARE(importInto(w, out.path() + "/rec"), QStringLiteral("SD record import: Record imported successfully"));
        QVERIFY(QDir().mkpath(out.path() + "/rec_1"));  // taken already

        // Declined: nothing imported, the record kept, the output folder as it was.
        QCOMPARE(search(picker, card.path() + "/"), QStringList({"/e1"}));  // a fresh importer
        {
            std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::No));
            w.findChild<QLineEdit*>("outputInput")->setText(out.path() + "/rec");
            fixtures::button(w, "&Import")->click();
            QCOMPARE(answerer->texts.size(), 1);
            QVERIFY2(answerer->texts[0].contains("already holds a record") && answerer->texts[0].contains("/rec_2"),
                     qPrintable(answerer->texts[0]));
            QVERIFY(!w.isImporting());
            QCOMPARE(w.findChild<QLineEdit*>("outputInput")->text(), out.path() + "/rec");
        }
        // Accepted: imported into the proposed folder.
        std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Yes));
        fixtures::button(w, "&Import")->click();
        QVERIFY(QTest::qWaitFor([&w] { return !w.isImporting(); }, 30000));
        QVERIFY(QTest::qWaitFor([&answerer] { return answerer->texts.size() == 2; }, 10000));
        QCOMPARE(answerer->texts[1], QStringLiteral("Record imported successfully"));
        QCOMPARE(w.findChild<QLineEdit*>("outputInput")->text(), out.path() + "/rec_2");
        QVERIFY(QFile::exists(out.path() + "/rec_2/signalsInfo.csv") && QFile::exists(out.path() + "/rec/signalsInfo.csv"));
        QCOMPARE(ImportWidget::freeFolderBeside(out.path() + "/rec/"), out.path() + "/rec_3");
    }
};

QTEST_MAIN(RecordDialogsTest)
#include "test_recorddialogs.moc"
