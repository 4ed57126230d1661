#include "ImportWorker.h"

#include "CsvWriter.h"
#include "Importer.h"

#include <QThreadPool>
#include <QtConcurrent>

#include <memory>
#include <vector>

namespace {

// What the callbacks share with run(). The importer keeps its callbacks after the import, so they hold this
// by shared pointer and do nothing once the run is over.
struct RunState {
    std::unique_ptr<CsvWriter> writer;
    int64_t total = 0;
    int64_t counter = 0;
    bool writeFailed = false;
    bool active = true;
};

}  // namespace

ImportWorker::ImportWorker(BaseImporter* importer_, const QByteArray& outputFolder, QObject* parent)
    : QObject(parent), importer(importer_), output(outputFolder.toStdString())
{
}

ImportWorker::~ImportWorker()
{
    abort();
    future.cancel();  // a run the pool has not begun is dropped
    future.waitForFinished();
}

int ImportWorker::percentage(int64_t doneBlocks, int64_t total)
{
    if (total <= 0) return -1;
    const int64_t value = doneBlocks * 100 / total;
    return value > 100 ? 100 : int(value);
}

void ImportWorker::abort() { aborted = true; }

void ImportWorker::start() { future = QtConcurrent::run(QThreadPool::globalInstance(), [this] { run(); }); }

void ImportWorker::waitUntilDone() { future.waitForFinished(); }

void ImportWorker::run()
{
    // The abort flag is not cleared here: an abort that came before the pool got to this worker still counts.
    lastPercentage = 0;
    detailText.clear();
    if (!importer) {
        emit finished(false);
        return;
    }
    auto state = std::make_shared<RunState>();
    state->total = importer->total_frames();
    const std::vector<KvnSignal> signalList = importer->get_signals();
    state->writer = std::make_unique<CsvWriter>(output.c_str(), signalList.data(), signalList.size(), std::string(), 1);
    if (!state->writer->writeHeaders(importer->blocks_per_second(), false)) {
        detailText = QString::fromStdString(importer->error().empty() ? state->writer->error() : importer->error());
        emit finished(false);
        return;
    }

    importer->addCallback([state](const BaseImporter::Block& block) {
        if (!state->active) return false;
        if (block.type == BaseImporter::SETUP_BLOCK) return true;
        // A block that does not fit the header's layout would be read past its end.
        if (block.count != state->writer->valuesPerBlock() || (block.count > 0 && !block.values) ||
            !state->writer->write(block.values, block.sequence, block.battery, block.flags)) {
            state->writeFailed = true;
            return false;
        }
        return true;
    });
    importer->addCallback([this, state](const BaseImporter::Block&) {
        if (!state->active) return false;
        const int value = percentage(state->counter + 1, state->total);
        if (value > lastPercentage) {
            lastPercentage = value;
            emit progress(value);
        }
        ++state->counter;
        return !aborted.load(std::memory_order_relaxed);
    });

    const bool imported = importer->import(false);
    // A record whose rows did not all reach the disk is no success either.
    const bool closed = state->writer->close();
    const bool success = imported && !state->writeFailed && closed;
    if (success) {
        detailText = QString::fromStdString(importer->note());
    } else {
        // Say why, and that the blocks before it are not lost.
        const std::string why = state->writeFailed || (imported && !closed) || importer->error().empty()
                                    ? state->writer->error()
                                    : importer->error();
        detailText = QString::fromStdString(why);
        const uint64_t kept = state->writer->blocksWritten();
        if (kept > 0)
            detailText += tr("\nThe %1 whole blocks before it were written to %2.")
                              .arg(kept)
                              .arg(QString::fromStdString(output));
    }
    state->active = false;
    state->writer.reset();
    emit finished(success);
}
