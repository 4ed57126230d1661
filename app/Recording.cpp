// The SD card and hard-drive records of an acquisition.

#include "MainWindow.h"

#include "DeviceModel.h"
#include "RecordingNames.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

std::vector<KvnSignal> MainWindow::csvSignalList() const
{
    std::vector<KvnSignal> list;
    if (!model) return list;
    for (unsigned i = 0; i < model->signal_count(); ++i)
        list.emplace_back(model->signal_name(i), model->signal_channels(i), 0, model->signal_samples(i),
                          unsigned(model->signal_mode(i)));
    return list;
}

bool MainWindow::setupSdCardRecord(const QDateTime& start)
{
    auto* configurable = qobject_cast<ConfigurableDeviceModel*>(model.get());
    if (!configurable) return false;
    configurable->enable_sd_card(true);
    const QString text = sdCardPathInput ? sdCardPathInput->text() : QString();
    configurable->set_file_name(sdFileName(text).toStdString());
    configurable->set_folder_name(sdFolderName(start, text).toStdString());
    return configurable->is_sd_card_enabled();
}

bool MainWindow::setupHardDriveRecord(const QDateTime& start)
{
    QDir base(hdFolderInput ? hdFolderInput->text() : QString());
    if (!base.mkpath(QStringLiteral("."))) return false;
    // Each Start gets a folder of its own, even two within one second: mkdir fails on a name that is taken,
    // so nothing of an earlier record is ever written over.
    const QString name = hdRecordFolderName(modelName(), start);
    QString folder;
    for (int n = 1; n < 1000 && folder.isEmpty(); ++n) {
        const QString candidate = n == 1 ? name : name + "_" + QString::number(n);
        if (base.mkdir(candidate)) folder = QFileInfo(base.filePath(candidate)).absoluteFilePath();
        else if (!base.exists(candidate)) return false;
    }
    if (folder.isEmpty()) return false;
    recordStart = start;
    recordFolder = folder;
    session.resetGaps(model->frequency());
    writeSignalsInfo(start, folder, true);
    const QByteArray path = QFile::encodeName(folder);
    // The description names the device and its sensors, as the record's other readers need them.
    csvWriter.setup(path.constData(), csvSignalList(), modelName().toStdString(), sensorType);
    std::vector<std::vector<std::string>> names;
    for (unsigned i = 0; i < model->signal_count(); ++i)
        names.push_back(model->signal_labels(i));
    csvWriter.setChannelNames(std::move(names));
    return csvWriter.writeHeaders(int(model->frequency()), true);
}

void MainWindow::closeHardDriveRecord()
{
    // A record that stopped on its own during the last blocks is reported here, before a new Start can come.
    const QString failure = session.takeRecordFailure();
    if (!failure.isEmpty()) {
        hardDriveRecordFailed(failure);
        return;
    }
    if (!csvWriter.isOpen()) return;
    const bool closed = csvWriter.close();
    finishSignalsInfo();
    if (!closed) hardDriveRecordFailed(QString::fromStdString(csvWriter.error()));
}

void MainWindow::finishSignalsInfo()
{
    if (recordFolder.isEmpty()) return;
    writeSignalsInfo(recordStart, recordFolder, true, true);
    recordFolder.clear();
}

void MainWindow::writeSignalsInfo(QDateTime startTime, QString folder, bool withUtc, bool closing)
{
    if (!model) return;
    QJsonObject info = signalsInfo(*model, startTime, sensorType, withUtc);
    if (closing) info.insert("gaps", session.gaps().toJson());
    QFile file(folder + "/signalsInfo.json");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) return;
    file.write(QJsonDocument(info).toJson(QJsonDocument::Indented));
}

void MainWindow::onHDBoxStateChanged(int state)
{
    const bool checked = state == Qt::Checked;
    if (hdFolderInput) hdFolderInput->setEnabled(checked);
    if (selectFolderButton) selectFolderButton->setEnabled(checked);
    if (checked && hdFolderInput && hdFolderInput->text().isEmpty()) onHDFolderButtonClicked();
}

void MainWindow::onHDFolderButtonClicked()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Where do you want to save the signal imported?"),
                                                             QString(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty() && hdFolderInput) hdFolderInput->setText(folder);
}

void MainWindow::onSDCardBoxStateChanged(int)
{
    auto* configurable = qobject_cast<ConfigurableDeviceModel*>(model.get());
    if (!configurable || !sdCardBox) return;
    configurable->enable_sd_card(sdCardBox->isChecked());
    const bool enabled = configurable->is_sd_card_enabled();
    if (enabled == sdCardBox->isChecked())
        onSDCardPathInputChanged(sdCardPathInput ? sdCardPathInput->text() : QString());
    else
        QMessageBox::warning(this, tr("SD card error"),
                             tr("SD card record cannot be enabled. Check that it is correctly inserted and working."));
    if (sdCardBox) sdCardBox->setChecked(enabled);
    if (sdCardPathInput) sdCardPathInput->setEnabled(enabled);
}

void MainWindow::onSDCardPathInputChanged(QString text)
{
    const QFileInfo info(text);
    if (deviceLabel) deviceLabel->setText(tr("To write in folder ") + info.path() + tr(" and file ") + info.fileName());
}
