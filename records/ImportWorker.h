#pragma once

#include <QByteArray>
#include <QFuture>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <string>

class BaseImporter;

// Converts one SD-card record into a hard-drive record (CSV files) on a pool thread. The importer belongs to
// the caller, which must keep it alive and unused until run() has returned; a worker runs once.
class ImportWorker : public QObject {
    Q_OBJECT
public:
    ImportWorker(BaseImporter* importer, const QByteArray& outputFolder, QObject* parent = nullptr);
    // Aborts a run under way and waits for it; one the pool has not begun yet never begins.
    ~ImportWorker() override;

    // run() on the global thread pool.
    void start();
    // The import itself, on the calling thread.
    void run();
    // Blocks until a started run() has returned; returns at once when it has, or when it never will.
    void waitUntilDone();

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
    BaseImporter* importer;
    std::string output;
    int lastPercentage = 0;
    QString detailText;
    // Written by the GUI thread, read by the pool thread after every block.
    std::atomic<bool> aborted{false};
    QFuture<void> future;
};
