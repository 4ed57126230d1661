// What the window does with each block and with the acquisition thread's reports.

#include "MainWindow.h"

#include "DeviceModel.h"
#include "LslLibrary.h"
#include "LslOutletSet.h"
#include "RecordModel.h"
#include "SignalsWidget.h"
#include "StatusTexts.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QThread>

void MainWindow::showPendingBlocks()
{
    std::size_t dropped = 0;
    std::vector<RecordingSession::Block> blocks = session.takeForDisplay(dropped);
    if (!model || !acquiring) return;
    if (dropped) {
        // Recorded and streamed all the same; the recording time counts them.
        blocksNotShown += qint64(dropped);
        blockCounter += qint64(dropped);
        sinceBlocksNotShown.start();
    }
    for (RecordingSession::Block& b : blocks)
        onNewDataReceived(std::move(b.data), b.seq, b.battery, b.flags, b.timestamp, b.utc);
}

// The display's part of a block; the session has already recorded and streamed it.
void MainWindow::onNewDataReceived(std::vector<double> data, int, short battLevel, ushort flags, qlonglong,
                                   qlonglong)
{
    noDataShown = false;
    if (!model || !acquiring) return;
    if (signalsWidget) signalsWidget->dispatchData(*model, data);
    if (flags == 0) {
        showRecordingTime(QString());
    } else {
        const FlagMessage m = flagMessage(flags);
        setErrorMessage(m.title, m.shortMessage, m.longMessage);
    }
    showBatteryLevel(battLevel);
}

void MainWindow::hardDriveRecordFailed(const QString& reason)
{
    // What reached the files before the failure stays a readable record: close it now (the session closed it
    // already when it stopped on its own), and let the display and the streams go on.
    const QString folder = QString::fromStdString(csvWriter.folder());
    if (csvWriter.isOpen()) csvWriter.close();
    finishSignalsInfo();
    recordProblem = tr("Hard drive record stopped: ") + reason;
    if (deviceLabel) deviceLabel->setText(recordProblem);
    showNonModalWarning(tr("HD record error"),
                        tr("The hard drive record stopped: %1.\n\nWhat was written before stays readable in %2. "
                           "The display and the LSL streams go on.")
                            .arg(reason, folder));
}

void MainWindow::showNonModalWarning(const QString& title, const QString& text)
{
    // Not modal: an unattended acquisition must not wait for somebody to close it.
    auto* box = new QMessageBox(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void MainWindow::setErrorMessage(QString, QString short_message, QString)
{
    showRecordingTime(short_message);
}

void MainWindow::showRecordingTime(QString suffix)
{
    ++blockCounter;
    const unsigned rate = model ? model->frequency() : 0;
    const qint64 elapsed = rate ? blockCounter / qint64(rate) : 0;
    const qint64 total = model ? model->duration() : -1;
    QString text = tr("Recording time: ") + formatDuration(elapsed);
    if (total >= 0) text += "/" + formatDuration(total);
    text += " " + suffix;
    if (!recordProblem.isEmpty()) text += " - " + recordProblem;
    // Said for a while after the last block the display let go, then the line is back to normal.
    if (blocksNotShown > 0 && sinceBlocksNotShown.isValid() && sinceBlocksNotShown.elapsed() < 2000)
        text += " - " + tr("Display cannot keep up: %1 blocks not shown").arg(blocksNotShown);
    if (deviceLabel) deviceLabel->setText(text);
}

void MainWindow::showBatteryLevel(short level)
{
    if (batteryLabel) batteryLabel->setText(batteryText(level));
}

void MainWindow::onNoData()
{
    // Reports queued by a thread that has been stopped since describe an acquisition that is over.
    if (!acquiring) return;
    if (!noDataShown) {
        noDataSince.start();
        noDataShown = true;
        if (deviceLabel) deviceLabel->setText(tr("Cannot receive data"));
        return;
    }
    if (deviceLabel)
        deviceLabel->setText(tr("Cannot receive data for ") + QString::number(noDataSince.elapsed() / 1000) +
                             tr(" seconds"));
}

void MainWindow::onLostConnection()
{
    if (!acquiring) return;
    const QString text = tr("Connection lost. Trying to reconnect");
    if (deviceLabel) deviceLabel->setText(text);
    trayMessage(tr("KVN Viewer"), text);
    if (lastConnection.exists("name") && lastConnection.text("name").rfind("KVN-TRK", 0) == 0 && signalsWidget && model)
        signalsWidget->dispatchZeros(*model);
}

void MainWindow::onSignalEnd()
{
    // The record's last blocks are shown before it stops.
    showPendingBlocks();
    if (deviceLabel) deviceLabel->setText(tr("It's over"));
    onStopButtonClicked();
    // A damaged record plays every whole block it has; what it could not play is said once it is over.
    auto* record = qobject_cast<RecordModel*>(model.get());
    if (record && !record->error().empty())
        showNonModalWarning(tr("Damaged record"), tr("Part of the record could not be played back:\n\n") +
                                                      QString::fromStdString(record->error()));
}

void MainWindow::onDongleLost()
{
    if (!model) return;
    if (model->is_running() || acquisitionInProgress()) onStopButtonClicked();
    abandonAcquisition();
    if (model) model->disconnect_device(false);
}

void MainWindow::onDongleFound(uint)
{
    for (int attempt = 0; attempt < 11 && model && !model->is_connected(); ++attempt) {
        model->disconnect_device(false);
        QThread::msleep(250);
        model->connect_device(false);
    }
    if (!model || !model->is_connected()) return;
    refreshDeviceControls();
    onStartButtonClicked();
}

void MainWindow::onSignalModeChanged(int signal, int mode)
{
    if (signalsWidget) signalsWidget->setSignalTabsEnabled(signal, mode);
}

void MainWindow::warnLslUnavailableOnce()
{
    LslLibrary& lsl = LslLibrary::instance();
    if (lsl.available() || lslWarningShown) return;
    lslWarningShown = true;
    showNonModalWarning(tr("LSL unavailable"),
                        tr("The Lab Streaming Layer library could not be loaded, so no stream will be "
                           "published. Acquisition and recording go on.\n\n") + lsl.error());
}
