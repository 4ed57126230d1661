#include "BdfExportRun.h"

#include "BdfExporter.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFutureWatcher>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QtConcurrent>

#include <atomic>

namespace {

struct Outcome {
    bool ok = false;
    bool cancelled = false;
    QString error;
};

}  // namespace

bool runBdfExport(QWidget* parent, const QString& suggestedName,
                  std::function<std::unique_ptr<ExportSource>(QString& error)> makeSource)
{
    const QString bdfFilter = QObject::tr("BDF+ files (*.bdf)");
    const QString edfFilter = QObject::tr("EDF+ files (*.edf)");
    QString filter = bdfFilter;
    QString path = QFileDialog::getSaveFileName(parent, QObject::tr("Export to BDF+"), suggestedName + ".bdf",
                                                bdfFilter + ";;" + edfFilter, &filter);
    if (path.isEmpty()) return false;
    const bool edf = filter == edfFilter || path.endsWith(".edf", Qt::CaseInsensitive);
    if (QFileInfo(path).suffix().isEmpty()) path += edf ? ".edf" : ".bdf";
    // The file dialog has asked whether to replace an existing file; the exporter never replaces one itself.
    if (QFileInfo::exists(path) && !QFile::remove(path)) {
        QMessageBox::warning(parent, QObject::tr("Export to BDF+"), QObject::tr("Cannot replace %1").arg(path));
        return false;
    }

    QProgressDialog progress(QObject::tr("Writing %1").arg(QFileInfo(path).fileName()), QObject::tr("&Cancel"), 0, 100, parent);
    progress.setWindowTitle(QObject::tr("Export to BDF+"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progress.setMinimumDuration(0);
    progress.setValue(0);

    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto percent = std::make_shared<std::atomic<int>>(0);
    QObject::connect(&progress, &QProgressDialog::canceled, &progress, [cancel] { *cancel = true; });
    const std::string file = QFile::encodeName(path).toStdString();
    QFutureWatcher<Outcome> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<Outcome>::finished, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &progress, [&progress, percent] {
        if (!progress.wasCanceled()) progress.setValue(*percent);
    });
    poll.start(100);
    watcher.setFuture(QtConcurrent::run([makeSource, file, edf, cancel, percent]() {
        Outcome outcome;
        std::unique_ptr<ExportSource> source = makeSource(outcome.error);
        if (!source) return outcome;
        BdfExporter exporter;
        outcome.ok = exporter.write(*source, file, edf ? BdfExporter::Format::Edf : BdfExporter::Format::Bdf,
                                    [cancel, percent](double f) {
                                        *percent = int(f * 100);
                                        return !*cancel;
                                    });
        outcome.cancelled = exporter.cancelled();
        outcome.error = QString::fromStdString(exporter.error());
        return outcome;
    }));
    loop.exec();
    poll.stop();
    progress.close();

    const Outcome outcome = watcher.result();
    if (outcome.ok)
        QMessageBox::information(parent, QObject::tr("Export to BDF+"), QObject::tr("Record exported to %1").arg(path));
    else if (!outcome.cancelled)
        QMessageBox::warning(parent, QObject::tr("Export to BDF+"), QObject::tr("Record not exported: %1").arg(outcome.error));
    return outcome.ok;
}
