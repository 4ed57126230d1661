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

// The dialog's entries after `text` was typed, each with the folder it opens.
QStringList listed(OpenDialog& d, const QString& text)
{
    d.findChild<QLineEdit*>("pathInput")->setText(text);
    auto* box = d.findChild<QComboBox*>("recordBox");
    QStringList list;
    for (int i = 0; i < box->count(); ++i) {
        box->setCurrentIndex(i);
        list << box->itemText(i) + " -> " + QFile::decodeName(d.selectedFolder());
    }
    list.sort();
    return list;
}

QString lengthText(OpenDialog& d) { return d.findChild<QLabel*>("lengthLabel")->text(); }

QString rowText(QTableWidget* t, int r)
{
    return t->item(r, 0)->text() + " " + t->item(r, 1)->text() + " " + t->item(r, 2)->text();
}

}  // namespace

class OpenDialogTest : public QObject {
    Q_OBJECT
private slots:
    void lengthTexts()
    {
        QCOMPARE(recordLengthText(-1), QStringLiteral("Record length: "));
        QCOMPARE(recordLengthText(59), QStringLiteral("Record length: 59 seconds "));
        QCOMPARE(recordLengthText(3605), QStringLiteral("Record length: 1 hours 5 seconds "));
        QCOMPARE(recordLengthText(100 * 3600 + 61), QStringLiteral("Record length: 100 hours 1 minutes 1 seconds "));
    }

    void findsRecordsAtEveryDepth()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/recs";
        const std::vector<KvnSignal> eeg = {{"EEG", 8, 8, 8, 1}};
        for (const QString& folder : {root, root + "/a", root + "/a/b", dir.path() + "/recs2"})  // recs2 is beside
            QVERIFY(fixtures::writeHdRecord(folder, eeg, 32, 4));
        // Links to folders are not followed: neither a loop nor a second way to the same record.
        QVERIFY(QDir().mkpath(root + "/c/d") && QFile::link(root, root + "/c/d/loop"));

        OpenDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Open record"));
        const QStringList expected = {" -> " + root + "/", "/a -> " + root + "//a", "/a/b -> " + root + "//a/b"};
        QCOMPARE(listed(dialog, root), expected);
        QCOMPARE(lengthText(dialog), QStringLiteral("Record length: 0 seconds ").left(15));
        QCOMPARE(listed(dialog, root + "/"), expected);
        QCOMPARE(listed(dialog, root + "/nowhere"), QStringList());
        QCOMPARE(lengthText(dialog), QStringLiteral("Record length:"));
        QCOMPARE(dialog.findChild<QTableWidget*>("signalTable")->rowCount(), 0);
        QVERIFY(dialog.selectedFolder().isEmpty());
    }

    void showsTheChosenRecord()
    {
        QTemporaryDir dir;
        // EEG 8 x 8 at 32 blocks/s, a BVP renamed to the SD card, and a GSR: 65 s of record.
        const std::vector<KvnSignal> list = {{"EEG", 8, 8, 8, 1}, {"BVP", 1, 1, 8, 1}, {"GSR", 1, 1, 1, 1}};
        QVERIFY(fixtures::writeHdRecord(dir.path() + "/one", list, 32, 32 * 65 + 3));
        QFile f(dir.path() + "/one/signalsInfo.csv");
        QVERIFY(f.open(QIODevice::ReadWrite));
        const QByteArray text = f.readAll().replace(",BVP,", ",uSD,");
        QVERIFY(f.seek(0) && f.write(text) == text.size());
        f.close();

        OpenDialog dialog;
        QCOMPARE(listed(dialog, dir.path()).size(), 1);
        QCOMPARE(lengthText(dialog), QStringLiteral("Record length: 1 minutes 5 seconds "));
        auto* table = dialog.findChild<QTableWidget*>("signalTable");
        QCOMPARE(table->rowCount(), 3);
        QCOMPARE(rowText(table, 0), QStringLiteral("EEG 8 256"));
        QCOMPARE(rowText(table, 2), QStringLiteral("GSR 1 32"));
        for (int c = 0; c < 3; ++c) QVERIFY(!table->item(1, c));  // the SD card's row stays empty
        // Labels skip the SD card: the list is one short, so the last row keeps its default number.
        QCOMPARE(table->verticalHeaderItem(0)->text() + table->verticalHeaderItem(1)->text() +
                     table->model()->headerData(2, Qt::Vertical).toString(),
                 QStringLiteral("133"));
    }

    void damagedDescriptionIsListedButNotDescribed_data()
    {
        const QByteArray header = "format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename\n";
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("garbage") << QByteArray("\x01\x02 not a description\n,,,\n");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("header only") << header;
        QTest::newRow("missing data file") << header + "1,X,32,1,EEG,8,8,1,EEG.csv\n";
    }

    void damagedDescriptionIsListedButNotDescribed()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QFile f(dir.path() + "/bad/signalsInfo.csv");
        QVERIFY(QDir().mkpath(dir.path() + "/bad") && f.open(QIODevice::WriteOnly) && f.write(content) >= 0);
        f.close();
        OpenDialog dialog;
        QCOMPARE(listed(dialog, dir.path()), QStringList({"/bad -> " + dir.path() + "//bad"}));
        QVERIFY2(lengthText(dialog).startsWith("Record length: unreadable record"), qPrintable(lengthText(dialog)));
        QCOMPARE(dialog.findChild<QTableWidget*>("signalTable")->rowCount(), 0);
    }
};

QTEST_MAIN(OpenDialogTest)
#include "test_opendialog.moc"
