#include "RecordFixtures.h"

#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ModalAnswerer.h"
#include "OpenDialog.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressDialog>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Answers the save dialog with `path`, lets the progress dialog run, and records the message that ends the export.
std::unique_ptr<ModalAnswerer> exportAnswerer(const QString& path, QStringList& messages) {
    return std::make_unique<ModalAnswerer>([path, &messages](QWidget* modal) {
        if (auto* files = qobject_cast<QFileDialog*>(modal)) {
            files->selectFile(path);
            QMetaObject::invokeMethod(files, "accept");
            return true;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            messages << box->text();
            box->accept();
            return true;
        }
        return false;
    });
}

}  // namespace

class BdfExportDialogsTest : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_;

private slots:
    void openDialogExportsChosenRecord() {
        const QString records = tmp_.path() + "/records";
        QVERIFY(fixtures::writeHdRecord(records + "/KVN-TEST-2026-12-05_08-15-00", {{"EEG", 8, 8, 8, 1}, {"GSR", 1, 1, 1, 1}}, 96));
        OpenDialog dialog;
        auto* exportButton = dialog.findChild<QPushButton*>("exportButton");
        QVERIFY(exportButton && !exportButton->isEnabled());
        dialog.findChild<QLineEdit*>("pathInput")->setText(records);
        QVERIFY(QTest::qWaitFor([&dialog] { return !dialog.isSearching(); }, 20000));
        QVERIFY(exportButton->isEnabled());

        QStringList messages;
        const QString out = tmp_.path() + "/open.bdf";
        auto answerer = exportAnswerer(out, messages);
        exportButton->click();
        QVERIFY2(messages.size() == 1 && messages[0].startsWith("Record exported to"), qPrintable(messages.join('|')));
        QVERIFY(QFileInfo(out).size() > 96 * 8 * 8 * 3);
        // The dialog is still there for the record: nothing of its own changed.
        QCOMPARE(QFile::decodeName(dialog.selectedFolder()), records + "//KVN-TEST-2026-12-05_08-15-00");

        // A record whose files went away since it was listed: a warning, and no file.
        QVERIFY(QFile::remove(records + "/KVN-TEST-2026-12-05_08-15-00/EEG.csv"));
        messages.clear();
        answerer.reset();
        const QString failed = tmp_.path() + "/failed.edf";
        auto second = exportAnswerer(failed, messages);
        exportButton->click();
        QVERIFY2(messages.size() == 1 && messages[0].startsWith("Record not exported: "), qPrintable(messages.join('|')));
        QVERIFY(!QFileInfo::exists(failed));

        // No record listed: nothing to export.
        dialog.findChild<QLineEdit*>("pathInput")->setText(tmp_.path() + "/nothing");
        QVERIFY(QTest::qWaitFor([&dialog] { return !dialog.isSearching(); }, 20000));
        QVERIFY(!exportButton->isEnabled());
    }

    void importDialogExportsCardRecord() {
        const QString card = tmp_.path() + "/card";
        QVERIFY(fixtures::writeCardRecord(card, ".", "r005", {{"EEG", 8, 8, 8, 1}, {"uSD", 1, 1, 1, 1}}, 32, 64));
        ImportWidget w;
        auto* exportButton = w.findChild<QPushButton*>("exportButton");
        QVERIFY(exportButton && !exportButton->isEnabled());
        auto* picker = w.findChild<SimpleImportConfiguration*>("singlePicker");
        picker->findChild<QLineEdit*>("inputPath")->setText(card);
        QVERIFY(QTest::qWaitFor([&] { return exportButton->isEnabled(); }, 5000));

        QStringList messages;
        const QString out = tmp_.path() + "/card.bdf";
        auto answerer = exportAnswerer(out, messages);
        exportButton->click();
        QVERIFY2(messages.size() == 1 && messages[0].startsWith("Record exported to"), qPrintable(messages.join('|')));
        QVERIFY(QFileInfo::exists(out));
        // The dialog's own importer is untouched: the CSV import still runs.
        QVERIFY(w.currentImporter());
        w.findChild<QLineEdit*>("outputInput")->setText(tmp_.path() + "/csv");
        QVERIFY(fixtures::button(w, "&Import")->isEnabled());
    }
};

QTEST_MAIN(BdfExportDialogsTest)
#include "test_bdfexportdialogs.moc"
