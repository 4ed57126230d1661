// The import worker, also run by its dialog closed or destroyed mid-import, and picker searches replaced mid-walk.

#include "RecordFixtures.h"

#include "CsvReader.h"
#include "Importer.h"
#include "ImportConfiguration.h"
#include "ImportWidget.h"
#include "ImportWorker.h"
#include "ModalAnswerer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A run of the worker on a made-up record: `blocks` sample blocks of an EEG 2 x 3 from sequence 7, a set-up
// block after every `setupEvery`-th one, `total` as its reported size; and what the run must do.
struct Case {
    const char* name;
    int blocks, total, setupEvery, badBlock;  // the bad block's value count does not fit the signals
    int abortAt;                              // a percentage, or 0 for before the run
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

class FakeImporter : public BaseImporter {
public:
    explicit FakeImporter(const Case& c) : c(c) {}
    const Case& c;
    int delivered = 0;

    static double value(int block, std::size_t k) { return block + double(k) / 8.0; }
    std::string version() const override { return "HW1.0_FW1.0"; }
    uint16_t first_sequence() const override { return 7; }
    int64_t total_frames() const override { return c.total; }
    uint16_t blocks_per_second() const override { return 16; }
    std::vector<KvnSignal> get_signals() const override { return {{"EEG", 2, 2, 3, 1}, {"uSD", 1, 1, 1, 1}}; }
    bool get_valid_setup_halvo() const override { return false; }
    bool import_posita_setup(const std::string&) override { return false; }
    bool import(bool) override
    {
        const std::string setup = "{\"anchors\": 3}";
        std::vector<double> values(6);
        for (int b = 0; b < c.blocks; ++b) {
            for (std::size_t k = 0; k < values.size(); ++k) values[k] = value(b, k);
            ++delivered;
            const std::size_t count = b == c.badBlock ? 7 : 6;
            if (!deliver({uint16_t(7 + b), int16_t(b % 5), 0, values.data(), SAMPLES_BLOCK, count})) return false;
            if (c.setupEvery > 0 && (b + 1) % c.setupEvery == 0) {
                ++delivered;
                if (!deliver({0, 0, 0, nullptr, SETUP_BLOCK, 0, &setup})) return false;
            }
        }
        return c.libraryResult;
    }
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
        FakeImporter importer(c);
        QTemporaryDir out;  // no folder can be made below a file, even by root
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
        QCOMPARE(importer.delivered, c.delivered);
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
            QCOMPARE(f.blocks.at(0).value(2, 1), FakeImporter::value(b, 5));
        }
    }

    void percentageOfAHugeRecord() { QCOMPARE(ImportWorker::percentage(30000000, 40000000), 75); }  // > 2^31 / 100

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
            QTRY_VERIFY_WITH_TIMEOUT(w->currentImporter(), 30000);
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
        QVERIFY(QDir().mkpath(dir.path() + "/many") && QDir().mkpath(dir.path() + "/one"));
        for (int i = 0; i < 300; ++i)
            QVERIFY(QFile(dir.path() + QString("/many/0_rec%1.kvb").arg(i)).open(QIODevice::WriteOnly));
        QVERIFY(QFile(dir.path() + "/one/0_fresh.kvb").open(QIODevice::WriteOnly));
        SimpleImportConfiguration picker([](const QByteArray&, const QByteArray&) { return true; });
        auto* input = picker.findChild<QLineEdit*>("inputPath");
        auto* box = picker.findChild<QComboBox*>("recordBox");
        for (int i = 0; i < 20; ++i) input->setText(dir.path() + (i % 2 ? "/one" : "/many"));
        QTRY_VERIFY_WITH_TIMEOUT(!picker.isSearching(), 20000);
        QTest::qWait(100);  // room for a late report of an older walk
        QCOMPARE(box->count(), 1);
        QCOMPARE(box->itemText(0), QStringLiteral("/fresh"));
        input->setText(dir.path() + "/many");
        QTRY_COMPARE_WITH_TIMEOUT(box->count(), 300, 20000);
    }
};

QTEST_MAIN(ThreadsImportTest)
#include "test_threads_import.moc"
