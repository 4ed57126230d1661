#include "RecordFixtures.h"

#include "CsvReader.h"
#include "FakeImporter.h"
#include "ImportWorker.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    bool finished = false;
    bool success = false;
    int finishedCount = 0;
    QList<int> values;          // progress, in order
    QList<int64_t> deliveredAt;  // blocks delivered when each progress was emitted
};

// Runs the worker on this thread, recording what it emits as it emits it.
Run runWorker(ImportWorker& worker, FakeImporter& importer, std::function<void(int)> onProgress = {})
{
    Run r;
    QObject::connect(&worker, &ImportWorker::progress, &worker, [&](int v) {
        r.values << v;
        r.deliveredAt << importer.delivered.load();
        if (onProgress) onProgress(v);
    }, Qt::DirectConnection);
    QObject::connect(&worker, &ImportWorker::finished, &worker, [&](bool ok) {
        r.finished = true;
        r.success = ok;
        ++r.finishedCount;
    }, Qt::DirectConnection);
    worker.run();
    return r;
}

}  // namespace

class ImportWorkerTest : public QObject {
    Q_OBJECT
private slots:
    void percentages()
    {
        QCOMPARE(ImportWorker::percentage(10, 1000), 1);
        QCOMPARE(ImportWorker::percentage(9, 1000), 0);
        QCOMPARE(ImportWorker::percentage(1000, 1000), 100);
        QCOMPARE(ImportWorker::percentage(1, 0), -1);
        QCOMPARE(ImportWorker::percentage(1, -5), -1);
        QCOMPARE(ImportWorker::percentage(1500, 1000), 100);
        // 30 million blocks times 100 does not fit in 32 bits.
        QCOMPARE(ImportWorker::percentage(30000000, 40000000), 75);
    }

    void progressGrowsOncePerPercentAndCsvHoldsTheRecord()
    {
        QTemporaryDir out;
        FakeImporter importer;
        importer.blocks = 1000;
        importer.reportedFrames = 1000;
        ImportWorker worker(&importer, QFile::encodeName(out.path()));
        QVERIFY(!worker.autoDelete());
        const Run r = runWorker(worker, importer);
        QVERIFY(r.finished && r.success);
        QCOMPARE(r.finishedCount, 1);
        QCOMPARE(r.values.size(), 100);
        for (int i = 0; i < 100; ++i) QCOMPARE(r.values[i], i + 1);
        QCOMPARE(r.deliveredAt.first(), int64_t(10));
        QCOMPARE(r.deliveredAt.last(), int64_t(1000));

        CsvReader reader;
        QVERIFY2(reader.open(out.path().toStdString()), reader.error().c_str());
        QCOMPARE(reader.totalBlocks(), int64_t(1000));
        QCOMPARE(reader.blockRate(), 16u);
        QCOMPARE(reader.sensorType(), 1);
        QVERIFY(!reader.hasUtc());
        const Frame first = reader.read();
        QCOMPARE(first.sequence, uint16_t(7));
        QCOMPARE(first.blocks.size(), std::size_t(1));
        QCOMPARE(first.blocks[0].rows(), std::size_t(3));
        QCOMPARE(first.blocks[0].value(1, 0), FakeImporter::value(0, 2));
    }

    void setupBlocksAreCountedButNotWritten()
    {
        QTemporaryDir out;
        FakeImporter importer;
        importer.blocks = 40;
        importer.setupEvery = 10;
        importer.reportedFrames = 44;
        ImportWorker worker(&importer, QFile::encodeName(out.path()));
        const Run r = runWorker(worker, importer);
        QVERIFY(r.success);
        QCOMPARE(r.values.last(), 100);
        CsvReader reader;
        QVERIFY(reader.open(out.path().toStdString()));
        QCOMPARE(reader.totalBlocks(), int64_t(40));
        for (int64_t b = 0; b < 40; ++b) {
            const Frame f = reader.read();
            QCOMPARE(f.sequence, uint16_t(7 + b));
            QCOMPARE(f.blocks[0].value(0, 0), FakeImporter::value(b, 0));
        }
    }

    void unknownTotalReportsNoProgress()
    {
        QTemporaryDir out;
        FakeImporter importer;
        importer.blocks = 50;
        importer.reportedFrames = 0;
        ImportWorker worker(&importer, QFile::encodeName(out.path()));
        const Run r = runWorker(worker, importer);
        QVERIFY(r.success);
        QVERIFY(r.values.isEmpty());
    }

    void unwritableOutputFailsBeforeImporting()
    {
        // A folder cannot be made below a plain file (permissions would not stop a test run as root).
        QTemporaryDir out;
        QFile blocker(out.path() + "/blocker");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        FakeImporter importer;
        ImportWorker worker(&importer, QFile::encodeName(out.path() + "/blocker/folder"));
        const Run r = runWorker(worker, importer);
        QVERIFY(r.finished && !r.success);
        QCOMPARE(importer.imports.load(), 0);
    }

    void failuresAreNotReportedAsSuccess()
    {
        {
            // The library says the record is damaged.
            QTemporaryDir out;
            FakeImporter importer;
            importer.result = false;
            ImportWorker worker(&importer, QFile::encodeName(out.path()));
            QVERIFY(!runWorker(worker, importer).success);
        }
        {
            // A block that does not fit the signals would be read past its end: the import stops there.
            QTemporaryDir out;
            FakeImporter importer;
            importer.badBlock = 5;
            ImportWorker worker(&importer, QFile::encodeName(out.path()));
            QVERIFY(!runWorker(worker, importer).success);
            QCOMPARE(importer.delivered.load(), int64_t(6));
        }
    }

    void abortStopsTheImport()
    {
        QTemporaryDir out;
        FakeImporter importer;
        importer.blocks = 1000;
        importer.reportedFrames = 1000;
        ImportWorker worker(&importer, QFile::encodeName(out.path()));
        const Run r = runWorker(worker, importer, [&worker](int v) {
            if (v == 30) worker.abort();
        });
        QVERIFY(r.finished && !r.success);
        QCOMPARE(r.values.last(), 30);
        QCOMPARE(importer.delivered.load(), int64_t(300));

        // An abort that comes before the pool runs the worker is not forgotten.
        QTemporaryDir out2;
        FakeImporter early;
        ImportWorker late(&early, QFile::encodeName(out2.path()));
        late.abort();
        QVERIFY(!runWorker(late, early).success);
        QCOMPARE(early.delivered.load(), int64_t(1));
    }
};

QTEST_MAIN(ImportWorkerTest)
#include "test_importworker.moc"
