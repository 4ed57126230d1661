#include "RecordingSession.h"

#include "CsvWriter.h"
#include "DeviceModel.h"
#include "LslOutletSet.h"

#include <QCoreApplication>
#include <QFileInfo>

RecordingSession::RecordingSession(QObject* parent) : QObject(parent) {}

void RecordingSession::open(const DeviceModel* model, CsvWriter* record, LslOutletSet* outlets,
                            std::size_t displayCapacity)
{
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        open_ = model != nullptr;
        model_ = model;
        record_ = record && record->isOpen() ? record : nullptr;
        outlets_ = outlets;
        blockRate_ = model ? model->frequency() : 0;
        blocks_ = 0;
        failure_.clear();
    }
    std::lock_guard<std::mutex> lock(displayMutex_);
    display_.clear();
    displayCapacity_ = displayCapacity ? displayCapacity : 1;
    dropped_ = 0;
    notified_ = false;
}

void RecordingSession::close()
{
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        open_ = false;
        model_ = nullptr;
        record_ = nullptr;
        outlets_ = nullptr;
    }
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
    bool recordStopped = false;
    {
        std::lock_guard<std::mutex> lock(sinkMutex_);
        if (!open_) return;
        ++blocks_;
        if (outlets_) outlets_->pushBlock(data, timestamp, seq);
        if (record_ && flags != 7) recordStopped = !recordBlock(data, seq, battery, flags, timestamp, utc);
    }
    if (recordStopped) emit recordFailed();
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

bool RecordingSession::recordBlock(const std::vector<double>& data, int seq, short battery, ushort flags,
                                   qint64 timestamp, qint64 utc)
{
    if (!record_->write(data.data(), uint16_t(seq), timestamp, utc, battery, flags)) {
        stopRecord(QString::fromStdString(record_->error()));
        return false;
    }
    gaps_.add(uint16_t(seq), utc);
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
