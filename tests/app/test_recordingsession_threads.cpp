// The recording session between the acquisition thread and the window: blocks from another thread reach the
// record whole (through the session's writer thread) while the display's queue stays bounded, and a record that
// stops on its own says why, once.

#include "CsvReader.h"
#include "CsvWriter.h"
#include "FakeDeviceModel.h"
#include "RecordingSession.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

void makeEegModel(FakeDeviceModel& m)
{
    m.rate = 16;
    m.sigs = {{"EEG", 4, 2, 1}, {"uSD", 1, 1, 0}};
}

bool openRecord(CsvWriter& writer, const QString& folder, const FakeDeviceModel& m)
{
    std::vector<KvnSignal> list;
    for (const auto& s : m.sigs) list.emplace_back(s.name, s.channels, 0, s.samples, unsigned(s.mode));
    const QByteArray path = QFile::encodeName(folder);
    return writer.setup(path.constData(), list, m.name, 1) && writer.writeHeaders(int(m.rate), true);
}

std::vector<double> blockValues(int k) { return std::vector<double>(8, k + 0.25); }

// Adds `count` blocks from a thread of its own, every tenth one flagged 7.
void feedFromAnotherThread(RecordingSession& session, int count)
{
    std::unique_ptr<QThread> feeder(QThread::create([&session, count] {
        for (int k = 0; k < count; ++k)
            session.addBlock(blockValues(k), k % 65536, 3, ushort(k % 10 == 9 ? 7 : 0), 1000 + k, 2000000 + k * 62500);
    }));
    feeder->start();
    feeder->wait();
}

}  // namespace

class RecordingSessionTest : public QObject {
    Q_OBJECT
private slots:
    // A display that takes nothing for a while: it gets the newest blocks up to the bound and a count of the
    // others; the record has every block except the unaligned ones, in order.
    void recordIsWholeWhileTheDisplayQueueStaysBounded()
    {
        QTemporaryDir dir;
        FakeDeviceModel model;
        makeEegModel(model);
        CsvWriter writer;
        QVERIFY(openRecord(writer, dir.path(), model));
        RecordingSession session;
        QSignalSpy pending(&session, &RecordingSession::displayPending);
        session.open(&model, &writer, nullptr, 16);
        feedFromAnotherThread(session, 500);
        QCOMPARE(pending.count(), 1);  // one wake-up until the display takes
        QCOMPARE(session.blockCount(), qint64(500));

        std::size_t dropped = 0;
        const std::vector<RecordingSession::Block> shown = session.takeForDisplay(dropped);
        QCOMPARE(shown.size(), std::size_t(16));
        QCOMPARE(dropped, std::size_t(500 - 16));
        for (std::size_t i = 0; i < shown.size(); ++i) {
            QCOMPARE(shown[i].seq, int(500 - 16 + i));
            QVERIFY(shown[i].data == blockValues(shown[i].seq));
        }
        // Taken: the next block wakes the display again, and nothing is counted twice.
        session.addBlock(blockValues(500), 500, 3, 0, 0, 0);
        QCOMPARE(pending.count(), 2);
        QCOMPARE(session.takeForDisplay(dropped).size(), std::size_t(1));
        QCOMPARE(dropped, std::size_t(0));

        session.close();
        session.addBlock(blockValues(501), 501, 3, 0, 0, 0);  // after close: goes nowhere
        QCOMPARE(session.takeForDisplay(dropped).size(), std::size_t(0));
        QVERIFY(writer.close());

        CsvReader reader;
        QVERIFY2(reader.open(dir.path().toStdString()) && reader.start(), reader.error().c_str());
        int expected = 0;
        for (Frame f = reader.read(); !f.isEnd(); f = reader.read()) {
            while (expected % 10 == 9) ++expected;
            QCOMPARE(int(f.sequence), expected);
            QCOMPARE(f.blocks.at(0).data()[0], expected + 0.25);
            ++expected;
        }
        QCOMPARE(expected, 501);
    }

    // The record's folder removed under it: the session closes the record, reports it once, and goes on
    // feeding the display.
    void removedFolderStopsTheRecordOnce()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("record");
        QVERIFY(QDir().mkpath(folder));
        FakeDeviceModel model;
        makeEegModel(model);
        CsvWriter writer;
        QVERIFY(openRecord(writer, folder, model));
        RecordingSession session;
        QSignalSpy failed(&session, &RecordingSession::recordFailed);
        session.open(&model, &writer, nullptr, 64);
        QVERIFY(QDir(folder).removeRecursively());
        feedFromAnotherThread(session, 40);
        std::size_t dropped = 0;
        QCOMPARE(session.takeForDisplay(dropped).size(), std::size_t(40));
        session.close();  // the writer has written (or refused) every block once this returns
        QCOMPARE(failed.count(), 1);
        QVERIFY(!writer.isOpen());
        const QString reason = session.takeRecordFailure();
        QVERIFY2(reason.contains("was removed") && reason.contains(folder), qPrintable(reason));
        QVERIFY(session.takeRecordFailure().isEmpty());
    }
};

QTEST_MAIN(RecordingSessionTest)
#include "test_recordingsession_threads.moc"
