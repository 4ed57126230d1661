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

#include <set>
#include <utility>

namespace {

struct Parts {
    QLineEdit* path;
    QComboBox* records;
    QLabel* length;
    QTableWidget* table;
};

Parts partsOf(OpenDialog& d)
{
    return {d.findChild<QLineEdit*>("pathInput"), d.findChild<QComboBox*>("recordBox"),
            d.findChild<QLabel*>("lengthLabel"), d.findChild<QTableWidget*>("signalTable")};
}

const std::vector<KvnSignal> kEeg = {{"EEG", 8, 8, 8, 1}, {"uSD", 1, 1, 1, 1}};

// Renames signal `from` to `to` in a record's description (its data file stays as it is).
bool renameSignal(const QString& folder, const QString& from, const QString& to)
{
    QFile f(folder + "/signalsInfo.csv");
    if (!f.open(QIODevice::ReadOnly)) return false;
    QString text = QString::fromUtf8(f.readAll());
    f.close();
    text.replace("," + from + ",", "," + to + ",");
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return f.write(text.toUtf8()) > 0;
}

}  // namespace

class OpenDialogTest : public QObject {
    Q_OBJECT
private slots:
    void lengthTexts()
    {
        QCOMPARE(recordLengthText(0), QStringLiteral("Record length: "));
        QCOMPARE(recordLengthText(-1), QStringLiteral("Record length: "));
        QCOMPARE(recordLengthText(59), QStringLiteral("Record length: 59 seconds "));
        QCOMPARE(recordLengthText(60), QStringLiteral("Record length: 1 minutes "));
        QCOMPARE(recordLengthText(3605), QStringLiteral("Record length: 1 hours 5 seconds "));
        QCOMPARE(recordLengthText(3661), QStringLiteral("Record length: 1 hours 1 minutes 1 seconds "));
        QCOMPARE(recordLengthText(100 * 3600 + 59 * 60), QStringLiteral("Record length: 100 hours 59 minutes "));
    }

    void findsRecordsAtEveryDepth()
    {
        QTemporaryDir dir;
        const QString root = dir.path() + "/recs";
        QVERIFY(fixtures::writeHdRecord(root, kEeg, 32, 4));
        QVERIFY(fixtures::writeHdRecord(root + "/a", kEeg, 32, 4));
        QVERIFY(fixtures::writeHdRecord(root + "/a/b", kEeg, 32, 4));
        QVERIFY(QDir().mkpath(root + "/c/d"));  // no record there
        // Links to folders are not followed: neither a loop nor a second way to the same record.
        QVERIFY(QFile::link(root, root + "/c/d/loop"));
        QVERIFY(fixtures::writeHdRecord(dir.path() + "/recs2", kEeg, 32, 4));  // beside, not inside

        for (const QString& typed : {root, root + "/"}) {
            OpenDialog dialog;
            Parts p = partsOf(dialog);
            p.path->setText(typed);
            std::set<std::pair<QString, QByteArray>> found;
            for (int i = 0; i < p.records->count(); ++i) {
                p.records->setCurrentIndex(i);
                found.insert({p.records->itemText(i), dialog.selectedFolder()});
            }
            const QByteArray r = QFile::encodeName(root);
            const std::set<std::pair<QString, QByteArray>> expected = {
                {"", r + "/"}, {"/a", r + "//a"}, {"/a/b", r + "//a/b"}};
            QCOMPARE(found, expected);
        }
    }

    void firstEntryShowsItsDetails()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/one";
        // EEG 8 x 8 at 32 blocks/s, an SD card row, and a GSR channel: 65 s of record.
        const std::vector<KvnSignal> list = {{"EEG", 8, 8, 8, 1}, {"BVP", 1, 1, 8, 1}, {"GSR", 1, 1, 1, 1}};
        QVERIFY(fixtures::writeHdRecord(folder, list, 32, 32 * 65 + 3));
        QVERIFY(renameSignal(folder, "BVP", "uSD"));

        OpenDialog dialog;
        Parts p = partsOf(dialog);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Open record"));
        p.path->setText(folder);
        QCOMPARE(p.records->count(), 1);
        QCOMPARE(p.records->currentIndex(), 0);
        QCOMPARE(p.length->text(), QStringLiteral("Record length: 1 minutes 5 seconds "));
        QCOMPARE(p.table->rowCount(), 3);
        QCOMPARE(p.table->item(0, 0)->text(), QStringLiteral("EEG"));
        QCOMPARE(p.table->item(0, 1)->text(), QStringLiteral("8"));
        QCOMPARE(p.table->item(0, 2)->text(), QStringLiteral("256"));
        QCOMPARE(p.table->item(0, 2)->textAlignment(), int(Qt::AlignCenter));
        for (int c = 0; c < 3; ++c) QVERIFY(!p.table->item(1, c));  // the SD card's row stays empty
        QCOMPARE(p.table->item(2, 0)->text(), QStringLiteral("GSR"));
        QCOMPARE(p.table->item(2, 2)->text(), QStringLiteral("32"));
        // Labels skip the SD card: the list is one short, so the last row keeps its default number.
        QCOMPARE(p.table->verticalHeaderItem(0)->text(), QStringLiteral("1"));
        QCOMPARE(p.table->verticalHeaderItem(1)->text(), QStringLiteral("3"));
        QCOMPARE(p.table->model()->headerData(2, Qt::Vertical).toString(), QStringLiteral("3"));
        QCOMPARE(p.table->selectionMode(), QAbstractItemView::NoSelection);
        QCOMPARE(p.table->maximumHeight(), 200);
    }

    void newPathClearsWhatWasShown()
    {
        QTemporaryDir dir;
        QVERIFY(fixtures::writeHdRecord(dir.path() + "/r", kEeg, 32, 32 * 3));
        OpenDialog dialog;
        Parts p = partsOf(dialog);
        p.path->setText(dir.path());
        QCOMPARE(p.records->count(), 1);
        QCOMPARE(p.length->text(), QStringLiteral("Record length: 3 seconds "));
        QCOMPARE(p.table->rowCount(), 1);

        p.path->setText(dir.path() + "/does/not/exist");
        QCOMPARE(p.records->count(), 0);
        QCOMPARE(p.length->text(), QStringLiteral("Record length:"));
        QCOMPARE(p.table->rowCount(), 0);
        QVERIFY(dialog.selectedFolder().isEmpty());

        p.path->setText(QString());
        QCOMPARE(p.records->count(), 0);
        QVERIFY(dialog.selectedFolder().isEmpty());
    }

    void damagedDescriptionIsListedButNotDescribed_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("garbage") << QByteArray("\x01\x02 not a description\n,,,\n");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("header only") << QByteArray("format,device,block_rate,sensor_type,signal,channels,"
                                                   "samples_per_block,mode,filename\n");
        QTest::newRow("missing data file") << QByteArray("format,device,block_rate,sensor_type,signal,channels,"
                                                         "samples_per_block,mode,filename\n"
                                                         "1,X,32,1,EEG,8,8,1,EEG.csv\n");
        QTest::newRow("zero rate") << QByteArray("format,device,block_rate,sensor_type,signal,channels,"
                                                 "samples_per_block,mode,filename\n1,X,0,1,EEG,8,8,1,EEG.csv\n");
    }

    void damagedDescriptionIsListedButNotDescribed()
    {
        QFETCH(QByteArray, content);
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.path() + "/bad"));
        QFile f(dir.path() + "/bad/signalsInfo.csv");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();

        OpenDialog dialog;
        Parts p = partsOf(dialog);
        p.path->setText(dir.path());
        QCOMPARE(p.records->count(), 1);
        QVERIFY2(p.length->text().startsWith("Record length: unreadable record"), qPrintable(p.length->text()));
        QCOMPARE(p.table->rowCount(), 0);
        QCOMPARE(dialog.selectedFolder(), QFile::encodeName(dir.path()) + "//bad");
    }
};

QTEST_MAIN(OpenDialogTest)
#include "test_opendialog.moc"
