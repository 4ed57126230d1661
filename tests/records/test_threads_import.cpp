// The records dialogs' work on the shared pool, meant to run under ThreadSanitizer too: the import worker
// aborted from the GUI thread while it runs, the import dialog closed and destroyed mid-import, and the
// pickers' searches replaced while they walk.

#include "RecordFixtures.h"

#include "FakeImporter.h"
#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ImportWorker.h"
#include "ModalAnswerer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <memory>

namespace {

QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

}  // namespace

class ThreadsImportTest : public QObject {
    Q_OBJECT
private slots:
    void abortFromTheGuiThread()
    {
        for (int round = 0; round < 5; ++round) {
            QTemporaryDir out;
            FakeImporter importer;
            importer.blocks = 200000;
            importer.reportedFrames = 200000;
            ImportWorker worker(&importer, QFile::encodeName(out.path()));
            QSignalSpy finished(&worker, &ImportWorker::finished);
            QList<int> values;
            connect(&worker, &ImportWorker::progress, this, [&values](int v) { values << v; });
            worker.markStarted();
            QThreadPool::globalInstance()->start(&worker, 0);
            QTest::qWait(round * 5);
            worker.abort();
            QVERIFY(finished.wait(20000) || finished.count() == 1);
            worker.waitUntilDone();
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished.first().first().toBool(), false);
            QVERIFY(importer.delivered.load() < importer.blocks);
            QTest::qWait(10);  // the last queued progress reports
            for (int i = 1; i < values.size(); ++i) QVERIFY(values[i] > values[i - 1]);
        }
    }

    void dialogClosedAndDestroyedMidImport()
    {
        QTemporaryDir card;
        const std::vector<KvnSignal> eeg = {{"EEG", 8, 8, 8, 1}, {"uSD", 1, 1, 1, 1}};
        QVERIFY(!fixtures::writeCardRecord(card.path(), ".", "big", eeg, 32, 20000).empty());
        for (bool destroy : {false, true}) {
            QTemporaryDir out;
            auto w = std::make_unique<ImportWidget>();
            w->show();
            auto* picker = w->findChild<SimpleImportConfiguration*>("singlePicker");
            picker->findChild<QLineEdit*>("inputPath")->setText(card.path());
            QTRY_VERIFY(w->currentImporter());
            w->findChild<QLineEdit*>("outputInput")->setText(out.path());
            std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
            button(*w, "&Import")->click();
            QVERIFY(w->isImporting());
            if (destroy) {
                w.reset();
                continue;
            }
            w->reject();  // Escape
            QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 20000);
            QCOMPARE(answerer->answered(), 1);
        }
    }

    void searchesReplacedWhileWalking()
    {
        QTemporaryDir dir;
        for (int i = 0; i < 300; ++i) {
            QDir().mkpath(dir.path() + QString("/many/d%1").arg(i));
            QFile f(dir.path() + QString("/many/d%1/0_rec%1.kvb").arg(i));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        SimpleImportConfiguration picker([](const QByteArray&, const QByteArray&) { return true; });
        auto* input = picker.findChild<QLineEdit*>("inputPath");
        for (int i = 0; i < 20; ++i) input->setText(dir.path() + (i % 2 ? "/many" : "/man"));
        input->setText(dir.path() + "/many");
        QTRY_VERIFY_WITH_TIMEOUT(!picker.isSearching(), 20000);
        QTest::qWait(50);
        QCOMPARE(picker.findChild<QComboBox*>("recordBox")->count(), 300);
    }
};

QTEST_MAIN(ThreadsImportTest)
#include "test_threads_import.moc"
