#pragma once

#include "RecordingNames.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

class CsvWriter;
class DeviceModel;
class LslOutletSet;

// The sinks of one acquisition: the hard-drive record and the LSL streams that Start opened, the block count and
// the gaps of the record. Blocks come in on the acquisition thread, which only queues them: a writer thread of
// the session hands every one to the open sinks, so neither a busy window nor a slow disk holds up the reads.
// The display takes its copies from a bounded queue on the GUI thread; a window that cannot keep up loses blocks
// from the screen only.
class RecordingSession : public QObject {
    Q_OBJECT
public:
    struct Block {
        std::vector<double> data;
        int seq = 0;
        short battery = 0;
        ushort flags = 0;
        qint64 timestamp = 0;
        qint64 utc = 0;
    };

    explicit RecordingSession(QObject* parent = nullptr);
    ~RecordingSession() override;

    // Both with no block on its way in (before the acquisition thread starts, after it ended). `record` is an
    // open writer or null, `outlets` an open set or null; neither is owned. close() waits until every queued
    // block reached them, and leaves closing them to the caller. The display queue holds at most
    // `displayCapacity` blocks.
    void open(const DeviceModel* model, CsvWriter* record, LslOutletSet* outlets, std::size_t displayCapacity);
    void close();
    bool isOpen() const;

    // Any thread. Blocks with flags 7 (a pair not aligned yet) are streamed and shown but never recorded.
    void addBlock(const std::vector<double>& data, int seq, short battery, ushort flags, qint64 timestamp,
                  qint64 utc);

    // GUI thread: the blocks waiting for the display, oldest first; `dropped` is how many the queue let go
    // since the last take.
    std::vector<Block> takeForDisplay(std::size_t& dropped);

    // Blocks handed in since open.
    qint64 blockCount() const;
    // The gaps found in what the record took; kept after close for the record's description.
    RecordGaps gaps() const;
    void resetGaps(unsigned blockRate);
    // Why the record stopped on its own (a failed write, its folder removed), once: empty when it did not, or
    // when the reason was taken already.
    QString takeRecordFailure();

signals:
    // Blocks wait for the display; not sent again until they are taken.
    void displayPending();
    // The record stopped on its own and is closed; takeRecordFailure() tells why.
    void recordFailed();

private:
    void writeBlocks();
    // False when the record stopped at this block.
    bool recordBlock(const Block& b);
    void stopRecord(const QString& reason);

    // Set while no writer thread runs; while one runs, only it uses them.
    const DeviceModel* model_ = nullptr;
    CsvWriter* record_ = nullptr;
    LslOutletSet* outlets_ = nullptr;
    unsigned blockRate_ = 0;
    std::thread writer_;

    // The writer's queue, the count, the gaps and the failure.
    mutable std::mutex sinkMutex_;
    std::condition_variable sinkWake_;
    std::deque<Block> sinkQueue_;
    bool open_ = false;
    qint64 blocks_ = 0;
    RecordGaps gaps_;
    QString failure_;

    // The display's queue; held only to move blocks in and out.
    mutable std::mutex displayMutex_;
    std::deque<Block> display_;
    std::size_t displayCapacity_ = 0;
    std::size_t dropped_ = 0;
    bool notified_ = false;
};
