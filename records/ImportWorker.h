#pragma once

#include <QByteArray>
#include <QObject>
#include <QRunnable>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

class BaseImporter;

// Converts one SD-card record into a hard-drive record (CSV files) on a pool thread. The importer belongs to
// the caller, which must keep it alive and unused until run() has returned; a worker runs once.
class ImportWorker : public QObject, public QRunnable {
    Q_OBJECT
public:
    ImportWorker(BaseImporter* importer, const QByteArray& outputFolder, QObject* parent = nullptr);
    ~ImportWorker() override;

    void run() override;
    // Blocks until run() has returned; returns at once when it has, or when it never will (not started).
    void waitUntilDone();
    void markStarted();

    // The percentage after `done` of `total` blocks; -1 when the total says nothing (0 or less). 64-bit, so
    // that a record of hundreds of millions of blocks cannot overflow it.
    static int percentage(int64_t done, int64_t total);

    // Set before finished: why the import failed and what it kept, or what a successful import left out;
    // empty when there is nothing to add.
    QString detail() const { return detailText; }

public Q_SLOTS:
    void abort();

Q_SIGNALS:
    void finished(bool success);
    void progress(int value);

private:
    void markDone();

    BaseImporter* importer;
    std::string output;
    int lastPercentage = 0;
    QString detailText;
    // Written by the GUI thread, read by the pool thread after every block.
    std::atomic<bool> aborted{false};

    std::mutex doneMutex;
    std::condition_variable doneChanged;
    bool started = false;
    bool done = false;
};
