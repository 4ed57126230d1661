// Connecting, opening, disconnecting, starting and stopping: the window's side of the device's life.

#include "MainWindow.h"

#include "Battery.h"
#include "ConnectionDialog.h"
#include "Connection.h"
#include "ConnectionFactory.h"
#include "DeviceModel.h"
#include "DriverModel.h"
#include "EEG64DriverModel.h"
#include "LslOutletSet.h"
#include "RecordingNames.h"
#include "SignalsWidget.h"
#include "StatusTexts.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <stdexcept>

QString MainWindow::modelName() const
{
    return model ? QString::fromStdString(model->description()) : QString();
}

void MainWindow::stopReadThread()
{
    readThread.requestInterruption();
    if (readThread.wait(1000)) return;
    // The thread is inside the model (a slow connect attempt, a read on a dying link): nothing may touch the
    // model until it is out, however long that takes.
    if (deviceLabel) {
        deviceLabel->setText(tr("Waiting for the device to finish its current operation ..."));
        deviceLabel->repaint();
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    readThread.wait();
    QApplication::restoreOverrideCursor();
}

bool MainWindow::acquisitionInProgress() const
{
    return acquiring || readThread.isRunning();
}

void MainWindow::abandonAcquisition()
{
    acquiring = false;
    stopReadThread();
    if (stopButton) stopButton->setEnabled(false);
    // What the record still buffers is written before the model can go.
    endRecordingSession();
}

void MainWindow::endRecordingSession()
{
    session.close();
    closeHardDriveRecord();
    if (outlets) outlets->closeOutlets();
}

bool MainWindow::settleRunningAcquisition(const QString& question)
{
    if (!askBeforeClosing) {
        onStopButtonClicked();
        abandonAcquisition();  // a device that would not stop leaves nothing open either
        return true;
    }
    const auto answer = QMessageBox::question(this, tr("Running adquisition"), question,
                                              QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                              QMessageBox::Yes);
    if (answer == QMessageBox::Yes) {
        onStopButtonClicked();
        return true;
    }
    if (answer == QMessageBox::No) {
        abandonAcquisition();
        return true;
    }
    return false;
}

bool MainWindow::releaseCurrentDevice(const QString& question)
{
    // During a link drop the model reports neither connected nor running, yet the thread still uses it.
    const bool running = acquisitionInProgress() || (model && model->is_connected() && model->is_running());
    if (running && !settleRunningAcquisition(question)) return false;
    abandonAcquisition();
    // A device lost mid-acquisition still fills the controls: they go with it.
    if (model && (model->is_connected() || running)) {
        model->disconnect_device(false);
        model->clear();
        resetDeviceControls();
    }
    return true;
}

bool MainWindow::connectAttemptUses(const DeviceModel* candidate) const
{
    for (const auto& worker : connectWorkers)
        if (worker.second == candidate) return true;
    return false;
}

void MainWindow::replaceModel(DeviceModel* newModel)
{
    abandonAcquisition();
    DeviceModel* old = model.release();
    model.reset(newModel);
    outlets = std::make_unique<LslOutletSet>(model.get());
    if (!old) return;
    old->disconnect(this);
    if (!connectAttemptUses(old)) delete old;  // otherwise deleted when its connect attempt ends
}

void MainWindow::startConnectWorker()
{
    DeviceModel* target = model.get();
    QThread* worker = QThread::create([target] { target->connect_device(false); });
    connectWorkers.emplace_back(worker, target);
    connect(worker, &QThread::finished, this, [this, worker] {
        for (auto it = connectWorkers.begin(); it != connectWorkers.end(); ++it) {
            if (it->first != worker) continue;
            DeviceModel* used = it->second;
            connectWorkers.erase(it);
            if (used != model.get() && !connectAttemptUses(used)) delete used;
            break;
        }
        worker->deleteLater();
    });
    worker->start();
}

void MainWindow::onConnectButtonClicked()
{
    if (!releaseCurrentDevice(tr("Do you want to stop the current acquisition before connecting to another device?")))
        return;
    ConnectionDialog wizard(lastConnection, nullptr);
    if (wizard.exec() != QDialog::Accepted) return;
    const std::string type = wizard.type();
    applyConnection(type, wizard.properties(), wizard.otherDevices(), type == "ble");
}

void MainWindow::applyConnection(std::string type, PropertyMap properties, std::vector<PropertyMap> other_devices,
                                 bool requires_dongle)
{
    lastConnection = properties;
    if (type.rfind("eeg64", 0) == 0) {
        auto* dual = new EEG64DriverModel;
        dual->setup(properties.getOr("left", ""), properties.getOr("right", ""), properties.getOr("path", ""));
        replaceModel(dual);
        sensorType = 2;
    } else {
        std::unique_ptr<Connection> connection(ConnectionFactory::createAndSetup(type, properties));
        if (!connection) {
            // An unknown type or an unusable port would otherwise leave a model with no device behind it.
            if (deviceLabel) deviceLabel->setText(tr("Unable to connect"));
            QMessageBox::warning(this, tr("Connection problem"),
                                 tr("Unable to connect the device ") + QString::fromStdString(type) +
                                     tr(": the connection description is not usable."));
            return;
        }
        connection->setTimeout(1000);
        if (connection->readOnly()) {
            auto* single = new DriverModel;
            single->setup(connection.release());
            replaceModel(single);
        } else {
            auto* configurable = new ConfigurableDriverModel;
            configurable->setup(connection.release(), other_devices, requires_dongle);
            replaceModel(configurable);
        }
    }
    if (deviceLabel) deviceLabel->setText(tr("Connecting ..."));
    // The acquisition thread's own reconnect attempts report here too; those are its business (a late "false"
    // would disconnect the device under it, or warn after the acquisition ended). Reports of the connect
    // worker come back queued; those made on this thread (Reconnect) are answered at once.
    DeviceModel* const target = model.get();
    connect(target, &DeviceModel::connected, this, [this, target](bool success) {
        if (QThread::currentThread() == &readThread) return;
        if (QThread::currentThread() == thread()) {
            if (model.get() == target) onConnected(success);
            return;
        }
        QMetaObject::invokeMethod(this, [this, target, success] {
            if (model.get() == target) onConnected(success);
        }, Qt::QueuedConnection);
    }, Qt::DirectConnection);
    startConnectWorker();
}

void MainWindow::onConnected(bool success)
{
    if (!model || (sender() && sender() != model.get())) return;
    if (success) {
        if (readThread.isRunning()) return;
        if (!model->is_read_only()) {
            if (auto* configurable = qobject_cast<ConfigurableDeviceModel*>(model.get())) {
                std::string modes;
                for (unsigned i = 0; i < model->signal_count(); ++i)
                    modes.push_back(char(isSdCard(model->signal_name(i)) ? 0 : 1));
                configurable->set_signal_modes(modes);
            }
        }
        refreshDeviceControls();
        if (deviceLabel) deviceLabel->setText(tr("Connected"));
        if (disconnectButton) disconnectButton->setText(tr("Disconnect"));
        return;
    }
    model->disconnect_device(true);
    if (readThread.isRunning()) return;
    if (deviceLabel) deviceLabel->setText(tr("Unable to connect"));
    const QString why = QString::fromStdString(model->connection_error());
    QMessageBox::warning(this, tr("Connection problem"),
                         tr("Unable to connect the device ") + modelName() + (why.isEmpty() ? QString() : "\n" + why));
}

void MainWindow::onDisconnectButtonClicked()
{
    if (!model) return;
    const QString name = modelName();
    if ((model->is_running() || acquisitionInProgress()) &&
        !settleRunningAcquisition(tr("Do you want to stop the current acquisition before disconnecting?")))
        return;
    // Disconnecting ends the acquisition, even when the device would not stop.
    abandonAcquisition();
    model->clear();
    if (model->is_connected())
        QMessageBox::warning(this, tr("Disconnection problem"), tr("Unable to disconnect from ") + name);
    else
        resetDeviceControls();
}

void MainWindow::onStartButtonClicked()
{
    if (!model || acquisitionInProgress()) return;
    noDataShown = false;
    recordProblem.clear();
    const QDateTime start = QDateTime::currentDateTime();
    if (qobject_cast<ConfigurableDeviceModel*>(model.get()) && sdCardBox && sdCardBox->isChecked() &&
        !setupSdCardRecord(start)) {
        QMessageBox::warning(this, tr("SD record error"), tr("Unable to write on the desired folder"));
        return;
    }
    if (hdBox && hdBox->isChecked()) {
        if (!hdFolderInput || hdFolderInput->text().trimmed().isEmpty()) {
            QMessageBox::warning(this, tr("HD record error"),
                                 tr("No folder is chosen for the hard drive record. Choose one with "
                                    "\"Select folder\", or untick \"Hard drive record\"."));
            return;
        }
        if (!setupHardDriveRecord(start)) {
            QMessageBox::warning(this, tr("HD record error"), tr("Unable to write on the desired folder"));
            return;
        }
    }
    // The streams open before the device starts: they miss no block, and creating them (which takes a while)
    // does not leave a backlog of blocks for the first reads, whose times the streams' clocks start from.
    const bool streaming = lslBox && lslBox->isChecked();
    if (streaming) {
        warnLslUnavailableOnce();
        outlets->openOutlets();
    }
    model->start();
    QThread::msleep(32);
    if (!model->is_running()) {
        // Nothing will be written: the record and the streams just opened must not stay open.
        closeHardDriveRecord();
        outlets->closeOutlets();
        if (deviceLabel) deviceLabel->setText(tr("Unable to start acquiring data"));
        return;
    }
    signalsWidget->resetViewers();
    acquiring = true;
    // About two seconds of blocks wait for a busy display; beyond that the oldest are not shown.
    session.open(model.get(), csvWriter.isOpen() ? &csvWriter : nullptr, streaming ? outlets.get() : nullptr,
                 std::max<std::size_t>(64, 2 * std::size_t(model->frequency())));
    readThread.setModel(model.get(), true);
    readThread.start(QThread::InheritPriority);
    blockCounter = 0;
    blocksNotShown = 0;
    showRecordingTime(QString());
    for (QWidget* w : std::initializer_list<QWidget*>{startButton, hdBox, selectFolderButton, sdCardBox,
                                                      hdFolderInput, sdCardPathInput})
        if (w) w->setEnabled(false);
    if (stopButton) stopButton->setEnabled(true);
    if (lslBox) lslBox->setEnabled(false);
    trayMessage(modelName(), tr("Recording started"));
}

void MainWindow::onStopButtonClicked()
{
    acquiring = false;
    stopReadThread();
    if (!model) return;
    model->stop();
    refreshDeviceControls();
    if (model->is_running()) return;
    // Whatever the boxes show now (a disconnection unticks them), nothing opened at Start stays open.
    endRecordingSession();
    if (lslBox) lslBox->setEnabled(true);
    if (startButton) startButton->setEnabled(true);
    if (stopButton) stopButton->setEnabled(false);
    if (hdBox) hdBox->setEnabled(true);
    const bool hd = hdBox && hdBox->isChecked();
    if (selectFolderButton) selectFolderButton->setEnabled(hd);
    if (hdFolderInput) hdFolderInput->setEnabled(hd);
    if (sdCardPathInput) sdCardPathInput->setEnabled(sdCardBox && sdCardBox->isChecked());
    trayMessage(modelName(), tr("Recording stopped"));
    if (deviceLabel) deviceLabel->setText(tr("Data acquisition stopped"));
}

void MainWindow::onReconnectButtonClicked()
{
    if (!model) return;
    model->disconnect_device(false);
    if (model->is_connected()) {
        refreshDeviceControls();
        return;
    }
    for (int attempt = 0; attempt < 11 && model; ++attempt) {
        model->disconnect_device(false);
        QThread::msleep(250);
        model->connect_device(false);
        if (attempt < 10 && model && model->is_connected()) {
            refreshDeviceControls();
            return;
        }
    }
}

void MainWindow::resetDeviceControls()
{
    if (hdBox) hdBox->setEnabled(false);
    if (selectFolderButton) selectFolderButton->setEnabled(false);
    if (hdFolderInput) hdFolderInput->clear();
    if (hdBox) hdBox->setChecked(false);
    if (sdCardBox) sdCardBox->setEnabled(false);
    if (sdCardPathInput) {
        sdCardPathInput->clear();
        sdCardPathInput->setEnabled(false);
    }
    if (sdCardBox) sdCardBox->setChecked(false);
    if (disconnectButton) disconnectButton->setEnabled(false);
    if (startButton) startButton->setEnabled(false);
    if (deviceBox) deviceBox->setTitle(tr("Device"));
    if (signalsWidget) signalsWidget->clear();
    if (deviceLabel) deviceLabel->setText(tr("No device connected"));
    if (batteryLabel) batteryLabel->setText(tr("Battery: ? %"));
    sensorType = 0;
    if (lslBox) {
        lslBox->setEnabled(false);
        lslBox->setChecked(false);
    }
}

void MainWindow::refreshDeviceControls()
{
    if (!model) return;
    if (hdBox) hdBox->setEnabled(true);
    if (lslBox) lslBox->setEnabled(true);
    if (sdCardBox) sdCardBox->setEnabled(!model->is_read_only() && model->has_sd_card());

    bool hasEeg = false;
    for (unsigned i = 0; i < model->signal_count(); ++i) {
        if (signalsWidget) signalsWidget->setSignalTabsEnabled(int(i), model->signal_mode(i));
        if (signalKind(model->signal_name(i)) != SignalKind::Eeg) continue;
        hasEeg = true;
        if (sensorType != 0) continue;
        bool ok = false;
        const QStringList items{tr("Dry"), tr("Water"), tr("Textile")};
        const QString item = QInputDialog::getItem(this, tr("EEG sensor type"),
                                                   tr("Which type of EEG sensors are your using?"), items, 0, false, &ok);
        if (ok && items.contains(item)) sensorType = items.indexOf(item) + 1;
        if (!model) return;  // the dialog's event loop may have delivered a replacement
    }

    QString title = modelName() + " - " + QString::fromStdString(model->version());
    if (hasEeg) title += tr(" - EEG sensors: ") + sensorTypeText(sensorType);
    if (deviceBox) deviceBox->setTitle(title);

    auto* configurable = qobject_cast<ConfigurableDeviceModel*>(model.get());
    if (model->has_sd_card() && configurable) {
        if (sdCardPathInput)
            sdCardPathInput->setText(sdInputText(QString::fromStdString(configurable->folder_name()),
                                                 QString::fromStdString(configurable->file_name())));
        const bool enabled = !model->is_read_only() && model->is_sd_card_enabled();
        if (sdCardPathInput) sdCardPathInput->setEnabled(enabled);
        if (sdCardBox) sdCardBox->setChecked(enabled);
    }
    if (disconnectButton) disconnectButton->setEnabled(true);
    if (startButton) startButton->setEnabled(true);
    if (deviceLabel) deviceLabel->setText(tr("Connected to ") + modelName());
    showBatteryLevel(Battery::UNKNOWN);
    if (signalsWidget && signalsWidget->isEmpty()) signalsWidget->configureSignals(*model, sensorType);
}
