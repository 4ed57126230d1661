#include "RecordingSession.h"

#include "CsvWriter.h"
#include "DeviceModel.h"
#include "LslOutletSet.h"

#include <QCoreApplication>
#include <QFileInfo>

RecordingSession::RecordingSession(QObject* parent) : QObject(parent) {}

RecordingSession::~RecordingSession() { close(); }

void RecordingSession::open(const DeviceModel* model, CsvWriter* record, LslOutletSet* outlets,
                            std::size_t displayCapacity)
{
    close();
    model_ = model;
    record_ = record && record->isOpen() ? record : nullptr;
    outlets_ = outlets;
    blockRate_ = model ? model->frequency() : 0;
    {
        std::lock_guard<std::mutex> lock(displayMutex_);
        display_.clear();
        displayCapacity_ = displayCapacity ? displayCapacity : 1;
        dropped_ = 0;
        notified_ = false;
    }
    std::lock_guard<std::mutex> lock(sinkMutex_);
    open_ = model != nullptr;
    blocks_ = 0;
    failure_.clear();
    sinkQueue_.clear();
    if (open_ && (record_ || outlets_)) writer_ = std::thread([this] { writeBlocks(); });
}

void RecordingSession::close()
{
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        open_ = false;
    }
    sinkWake_.notify_all();
    // The writer empties its queue before it ends: every block taken in reaches the sinks.
    if (writer_.joinable()) writer_.join();
    model_ = nullptr;
    record_ = nullptr;
    outlets_ = nullptr;
    std::lock_guard<std::mutex> lock(displayMutex_);
    display_.clear();
    dropped_ = 0;
}

bool RecordingSession::isOpen() const
{
    std::lock_guard<std::mutex> lock(sinkMutex_);
    return open_;
}

void RecordingSession::addBlock(const std::vector<double>& data, int seq, short battery, ushort flags,
                                qint64 timestamp, qint64 utc)
{
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        if (!open_) return;
        ++blocks_;
        if (writer_.joinable()) sinkQueue_.push_back(Block{data, seq, battery, flags, timestamp, utc});
    }
    sinkWake_.notify_one();
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(displayMutex_);
        // The oldest goes first: a window that catches up shows what is happening now.
        if (display_.size() >= displayCapacity_) {
            display_.pop_front();
            ++dropped_;
        }
        display_.push_back(Block{data, seq, battery, flags, timestamp, utc});
        notify = !notified_;
        notified_ = true;
    }
    if (notify) emit displayPending();
}

void RecordingSession::writeBlocks()
{
    std::deque<Block> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(sinkMutex_);
            sinkWake_.wait(lock, [this] { return !sinkQueue_.empty() || !open_; });
            if (sinkQueue_.empty()) return;  // closed, and nothing left to write
            batch.swap(sinkQueue_);
        }
        for (const Block& b : batch) {
            // LSL stamps come from the block's read time, so a writer running late moves no sample in time.
            if (outlets_) outlets_->pushBlock(b.data, b.timestamp, b.seq);
            // Flags 7: the two halves of a pair are not aligned yet; such blocks are shown but never recorded.
            if (record_ && b.flags != 7 && !recordBlock(b)) emit recordFailed();
        }
        batch.clear();
    }
}

bool RecordingSession::recordBlock(const Block& b)
{
    if (!record_->write(b.data.data(), uint16_t(b.seq), b.timestamp, b.utc, b.battery, b.flags)) {
        stopRecord(QString::fromStdString(record_->error()));
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        gaps_.add(uint16_t(b.seq), b.utc);
    }
    // Files of a removed folder still take writes, which then reach nothing: look once a second.
    if (record_->blocksWritten() % (blockRate_ ? blockRate_ : 1) == 0 &&
        !QFileInfo(QString::fromStdString(record_->folder())).isDir()) {
        stopRecord(QCoreApplication::translate("MainWindow", "the folder %1 was removed")
                       .arg(QString::fromStdString(record_->folder())));
        return false;
    }
    return true;
}

void RecordingSession::stopRecord(const QString& reason)
{
    // What reached the files before the failure stays a readable record: closed here, at once; the display and
    // the streams go on.
    record_->close();
    record_ = nullptr;
    std::lock_guard<std::mutex> lock(sinkMutex_);
    failure_ = reason;
}

std::vector<RecordingSession::Block> RecordingSession::takeForDisplay(std::size_t& dropped)
{
    std::lock_guard<std::mutex> lock(displayMutex_);
    std::vector<Block> blocks(std::make_move_iterator(display_.begin()), std::make_move_iterator(display_.end()));
    display_.clear();
    dropped = dropped_;
    dropped_ = 0;
    notified_ = false;
    return blocks;
}

qint64 RecordingSession::blockCount() const
{
    std::lock_guard<std::mutex> lock(sinkMutex_);
    return blocks_;
}

RecordGaps RecordingSession::gaps() const
{
    std::lock_guard<std::mutex> lock(sinkMutex_);
    return gaps_;
}

void RecordingSession::resetGaps(unsigned blockRate)
{
    std::lock_guard<std::mutex> lock(sinkMutex_);
    gaps_.reset(blockRate);
}

QString RecordingSession::takeRecordFailure()
{
    std::lock_guard<std::mutex> lock(sinkMutex_);
    QString reason;
    reason.swap(failure_);
    return reason;
}
