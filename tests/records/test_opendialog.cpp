#include "RecordFixtures.h"

#include "OpenDialog.h"
#include "RecordTexts.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The dialog's entries after `text` was typed: each with the folder it opens, the start of the length it shows
// and the number of signals it describes.
QStringList listed(OpenDialog& d, const QString& text)
{
    d.findChild<QLineEdit*>("pathInput")->setText(text);
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

class OpenDialogTest : public QObject {
    Q_OBJECT
private slots:
    void findsRecordsAtEveryDepth()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/recs";
        for (const QString& folder : {root, root + "/a", root + "/a/b", dir.path() + "/recs2"})  // recs2 is beside
            QVERIFY(fixtures::writeHdRecord(folder, {{"EEG", 8, 8, 8, 1}}, 32, 32 * 3));
        // Links to folders are not followed: neither a loop nor a second way to the same record.
        QVERIFY(QDir().mkpath(root + "/c/d") && QFile::link(root, root + "/c/d/loop"));
        // A damaged description is listed, but not described.
        QFile bad(root + "/c/signalsInfo.csv");
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("\x01\x02 not a description\n,,,\n") > 0);
        bad.close();

        OpenDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Open record"));
        const QStringList expected = {" " + root + "/ 3 seconds 1", "/a " + root + "//a 3 seconds 1",
                                      "/a/b " + root + "//a/b 3 seconds 1", "/c " + root + "//c unreadable record 0"};
        QCOMPARE(listed(dialog, root), expected);
        QCOMPARE(listed(dialog, root + "/"), expected);
        QCOMPARE(listed(dialog, root + "/nowhere"), QStringList());
        QCOMPARE(dialog.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length:"));
        QVERIFY(dialog.selectedFolder().isEmpty());
    }

    void showsTheChosenRecord()
    {
        QTemporaryDir dir;
        // EEG 8 x 8 at 32 blocks/s, a BVP renamed to the SD card, and a GSR: 65 s of record.
        const std::vector<KvnSignal> list = {{"EEG", 8, 8, 8, 1}, {"BVP", 1, 1, 8, 1}, {"GSR", 1, 1, 1, 1}};
        QVERIFY(fixtures::writeHdRecord(dir.path(), list, 32, 32 * 65 + 3));
        QFile f(dir.path() + "/signalsInfo.csv");
        QVERIFY(f.open(QIODevice::ReadWrite));
        const QByteArray text = f.readAll().replace(",BVP,", ",uSD,");
        QVERIFY(f.seek(0) && f.write(text) == text.size());
        f.close();

        OpenDialog dialog;
        QCOMPARE(listed(dialog, dir.path()).size(), 1);
        QCOMPARE(dialog.findChild<QLabel*>("lengthLabel")->text(), QStringLiteral("Record length: 1 minutes 5 seconds "));
        auto* table = dialog.findChild<QTableWidget*>("signalTable");
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(table->item(0, 0)->text() + table->item(0, 1)->text() + " " + table->item(0, 2)->text(),
                 QStringLiteral("EEG8 256"));
        QVERIFY(!table->item(1, 0));  // the SD card's row stays empty
        QCOMPARE(table->item(2, 0)->text() + table->item(2, 1)->text() + " " + table->item(2, 2)->text(),
                 QStringLiteral("GSR1 32"));
        QCOMPARE(recordLengthText(-1), QStringLiteral("Record length: "));  // a live device's unknown length
        QCOMPARE(recordLengthText(100 * 3600 + 61), QStringLiteral("Record length: 100 hours 1 minutes 1 seconds "));
        QCOMPARE(recordLengthText(3605), QStringLiteral("Record length: 1 hours 5 seconds "));
    }
};

QTEST_MAIN(OpenDialogTest)
#include "test_opendialog.moc"
