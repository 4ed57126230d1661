// The import worker, run here and on the shared pool (also under ThreadSanitizer): aborted from the GUI thread,
// its dialog closed or destroyed mid-import; and picker searches replaced while they walk.

#include "RecordFixtures.h"

#include "CsvReader.h"
#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ImportWorker.h"
#include "ModalAnswerer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <memory>

namespace {

struct Case {
    const char* name;
    int blocks, total, setupEvery, badBlock, abortAt;  // abortAt: a percentage, or 0 for before the run
    bool libraryResult, blockedOutput, success;
    int delivered, progresses;
};

const Case kCases[] = {
    {"whole record", 1000, 1000, 0, -1, -1, true, false, true, 1000, 100},
    {"set-up blocks counted, not written", 40, 44, 10, -1, -1, true, false, true, 44, 44},
    {"unknown total", 50, 0, 0, -1, -1, true, false, true, 50, 0},
    {"library says damaged", 100, 100, 0, -1, -1, false, false, false, 100, 100},
    {"block too long for the signals", 100, 100, 0, 5, -1, true, false, false, 6, 5},
    {"aborted at 30%", 1000, 1000, 0, -1, 30, true, false, false, 300, 30},
    {"aborted before the run", 100, 100, 0, -1, 0, true, false, false, 1, 1},
    {"unwritable output", 100, 100, 0, -1, -1, true, true, false, 0, 0},
};

}  // namespace

class ThreadsImportTest : public QObject {
    Q_OBJECT
private slots:
    void workerRuns_data()
    {
        QTest::addColumn<int>("i");
        for (int i = 0; i < int(std::size(kCases)); ++i) QTest::newRow(kCases[i].name) << i;
    }

    void workerRuns()
    {
        QFETCH(int, i);
        const Case& c = kCases[i];
        FakeImporter importer;
        importer.blocks = c.blocks;
        importer.reportedFrames = c.total;
        importer.setupEvery = c.setupEvery;
        importer.badBlock = c.badBlock;
        importer.result = c.libraryResult;
        QTemporaryDir out;
        // No folder can be made below a file (permissions would not stop a test run as root).
        const QString folder = c.blockedOutput ? "/dev/null/rec" : out.path() + "/rec";
        ImportWorker worker(&importer, QFile::encodeName(folder));
        if (c.abortAt == 0) worker.abort();
        QList<int> values;
        QList<bool> results;
        connect(&worker, &ImportWorker::progress, &worker, [&](int v) {
            values << v;
            if (v == c.abortAt) worker.abort();
        }, Qt::DirectConnection);
        connect(&worker, &ImportWorker::finished, &worker, [&](bool ok) { results << ok; }, Qt::DirectConnection);
        worker.run();
        QCOMPARE(results, QList<bool>({c.success}));
        QCOMPARE(int(importer.delivered.load()), c.delivered);
        QCOMPARE(int(values.size()), c.progresses);
        for (int k = 1; k < values.size(); ++k) QVERIFY(values[k] > values[k - 1]);
        if (!c.success) return;
        QCOMPARE(values.value(values.size() - 1, 100), 100);
        CsvReader reader;
        QVERIFY2(reader.open(folder.toStdString()), reader.error().c_str());
        QCOMPARE(reader.totalBlocks(), int64_t(c.blocks));
        for (int b = 0; b < c.blocks; ++b) {
            const Frame f = reader.read();
            QCOMPARE(f.sequence, uint16_t(7 + b));
            QCOMPARE(f.battery, int16_t(b % 5));
            QCOMPARE(f.blocks.at(0).value(2, 1), FakeImporter::value(b, 5));
        }
        QVERIFY(reader.read().isEnd());
        QCOMPARE(ImportWorker::percentage(30000000, 40000000), 75);  // 30 million x 100 overflows 32 bits
    }

    void abortFromTheGuiThread()
    {
        for (int round = 0; round < 5; ++round) {
            QTemporaryDir out;
            FakeImporter importer;
            importer.blocks = importer.reportedFrames = 200000;
            ImportWorker worker(&importer, QFile::encodeName(out.path()));
            QSignalSpy finished(&worker, &ImportWorker::finished);
            QList<int> values;
            connect(&worker, &ImportWorker::progress, this, [&values](int v) { values << v; });
            worker.markStarted();
            QThreadPool::globalInstance()->start(&worker, 0);
            QTest::qWait(round * 5);
            worker.abort();
            worker.waitUntilDone();
            QTest::qWait(10);  // the queued progress reports
            QCOMPARE(finished.count(), 1);
            QCOMPARE(finished.first().first().toBool(), false);
            QVERIFY(importer.delivered.load() < importer.blocks);
            for (int i = 1; i < values.size(); ++i) QVERIFY(values[i] > values[i - 1]);
        }
    }

    void dialogClosedOrDestroyedMidImport()
    {
        QTemporaryDir card;
        QVERIFY(fixtures::writeCardRecord(card.path(), ".", "big", {{"EEG", 8, 8, 8, 1}}, 32, 20000));
        for (bool destroy : {false, true}) {
            QTemporaryDir out;
            auto w = std::make_unique<ImportWidget>();
            w->show();
            auto* input = w->findChild<QWidget*>("singlePicker")->findChild<QLineEdit*>("inputPath");
            input->setText(card.path());
            QTRY_VERIFY(w->currentImporter());
            w->findChild<QLineEdit*>("outputInput")->setText(out.path());
            std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
            fixtures::button(*w, "&Import")->click();
            QVERIFY(w->isImporting() && !fixtures::button(*w, "&Exit")->isEnabled());
            if (destroy) {
                w.reset();  // waits for the worker; its late report goes nowhere
                continue;
            }
            // A new choice and a tab change during the import leave the importer in use alone.
            const BaseImporter* inUse = w->currentImporter();
            input->setText(card.path() + "/x");
            w->findChild<QTabWidget*>()->setCurrentIndex(1);
            QTest::qWait(50);
            QCOMPARE(w->currentImporter(), inUse);
            w->close();  // the window's close button
            QVERIFY(w->isVisible());
            QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 20000);
            QCOMPARE(w->result(), int(QDialog::Rejected));
            QCOMPARE(answerer->answered(), 1);
        }
    }

    void newestSearchWins()
    {
        QTemporaryDir dir;
        for (int i = 0; i <= 300; ++i) {
            const QString folder = dir.path() + (i < 300 ? QString("/many/d%1").arg(i) : QString("/one"));
            QVERIFY(QDir().mkpath(folder) && QFile(folder + QString("/0_rec%1.kvb").arg(i)).open(QIODevice::WriteOnly));
        }
        SimpleImportConfiguration picker([](const QByteArray&, const QByteArray&) { return true; });
        auto* input = picker.findChild<QLineEdit*>("inputPath");
        auto* box = picker.findChild<QComboBox*>("recordBox");
        for (int i = 0; i < 20; ++i) input->setText(dir.path() + (i % 2 ? "/one" : "/many"));
        QTRY_VERIFY_WITH_TIMEOUT(!picker.isSearching(), 20000);
        QTest::qWait(100);  // room for a late report of an older walk
        QCOMPARE(box->count(), 1);
        QCOMPARE(box->itemText(0), QStringLiteral("/rec300"));
        input->setText(dir.path() + "/many");
        QTRY_COMPARE_WITH_TIMEOUT(box->count(), 300, 20000);
    }
};

QTEST_MAIN(ThreadsImportTest)
#include "test_threads_import.moc"
