// What the window does with each block and with the acquisition thread's reports.

#include "MainWindow.h"

#include "DeviceModel.h"
#include "LslLibrary.h"
#include "LslOutletSet.h"
#include "RecordModel.h"
#include "SignalsWidget.h"
#include "StatusTexts.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QThread>

void MainWindow::onNewDataReceived(std::vector<double> data, int seq, short battLevel, ushort flags,
                                   qlonglong timestamp, qlonglong utc)
{
    noDataShown = false;
    if (!model || !acquiring) return;
    if (lslBox && lslBox->isChecked() && outlets) outlets->pushBlock(data, timestamp, seq);
    if (signalsWidget) signalsWidget->dispatchData(*model, data);
    if (flags == 0) {
        showRecordingTime(QString());
    } else {
        const FlagMessage m = flagMessage(flags);
        setErrorMessage(m.title, m.shortMessage, m.longMessage);
    }
    showBatteryLevel(battLevel);
    // Flags 7: the two halves of a pair are not aligned yet; such blocks are shown but never recorded.
    if (hdBox && hdBox->isChecked() && flags != 7 && csvWriter.isOpen()) {
        if (!csvWriter.write(data.data(), uint16_t(seq), timestamp, utc, battLevel, flags)) {
            hardDriveRecordFailed(QString::fromStdString(csvWriter.error()));
            return;
        }
        recordGaps.add(uint16_t(seq), utc);
        // Files of a removed folder still take writes, which then reach nothing: look once a second.
        const unsigned rate = model->frequency();
        if (csvWriter.blocksWritten() % (rate ? rate : 1) == 0 &&
            !QFileInfo(QString::fromStdString(csvWriter.folder())).isDir())
            hardDriveRecordFailed(tr("the folder %1 was removed").arg(QString::fromStdString(csvWriter.folder())));
    }
}

void MainWindow::hardDriveRecordFailed(const QString& reason)
{
    // What reached the files before the failure stays a readable record: close it now, and let the display
    // and the streams go on.
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
