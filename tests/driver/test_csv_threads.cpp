// The CSV writer hands its rows to an output thread of its own; this runs it hard (a hand-over every block,
// explicit flushes, a writer set up on one thread and used on another) so ThreadSanitizer sees the exchange.
#include "CsvReader.h"
#include "CsvWriter.h"

#include <QTemporaryDir>
#include <QtTest>

#include <thread>

class TestCsvThreads : public QObject {
    Q_OBJECT
private slots:
    void everyBlockArrivesInOrder() {
        QTemporaryDir dir;
        const int blocks = 3000;
        CsvWriter w;
        QVERIFY(w.setup(dir.path().toLocal8Bit().constData(), {{"EEG", 8, 8, 4, 1}, {"GSR", 1, 1, 1, 1}}, "pair", 1));
        QVERIFY(w.writeHeaders(3, true));  // a block rate of 3: every block is handed over at once
        bool ok = true;
        std::thread producer([&] {
            std::vector<double> v(8 * 4 + 1);
            for (int b = 0; b < blocks && ok; ++b) {
                for (std::size_t k = 0; k < v.size(); ++k)
                    v[k] = b + k / 100.0;
                ok = w.write(v.data(), static_cast<uint16_t>(b), b, b, 3, 0) && (b % 500 != 0 || w.flush());
            }
            ok = w.close() && ok;
        });
        producer.join();
        QVERIFY2(ok, w.error().c_str());
        CsvReader r;
        QVERIFY2(r.open(dir.path().toStdString()), r.error().c_str());
        QCOMPARE(r.totalBlocks(), int64_t(blocks));
        for (int b = 0; b < blocks; ++b) {
            const Frame f = r.read();
            QVERIFY(f.sequence == uint16_t(b) && f.blocks.at(0).value(3, 7) == b + (3 * 8 + 7) / 100.0 &&
                    f.blocks.at(1).value(0, 0) == b + 32 / 100.0);
        }
        QVERIFY(r.read().isEnd());
    }
};

QTEST_GUILESS_MAIN(TestCsvThreads)
#include "test_csv_threads.moc"
