// Opening recorded folders and importing SD-card records.

#include "MainWindow.h"

#include "DeviceModel.h"
#include "ImportWidget.h"
#include "OpenDialog.h"
#include "RecordModel.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

void MainWindow::onOpenButtonClicked()
{
    if (!releaseCurrentDevice(tr("Do you want to stop the current acquisition before opening a record?"))) return;
    QByteArray folder;
    {
        OpenDialog dialog(this);
        if (dialog.exec() != QDialog::Accepted) return;
        folder = dialog.selectedFolder();
    }
    if (folder.isEmpty()) return;

    auto* record = new RecordModel;
    // A folder that does not open is reported below, when connecting fails.
    record->open(folder.toStdString());
    replaceModel(record);
    model->connect_device(false);
    if (model->is_connected()) {
        refreshDeviceControls();
        if (!model) return;
        if (disconnectButton) disconnectButton->setText(tr("Close"));
        if (deviceLabel) deviceLabel->setText(tr("Record opened"));
    } else {
        // A refused record says why (a damaged or implausible description, a data file that is no file).
        const QString reason = QString::fromStdString(record->error());
        QMessageBox::warning(this, tr("Connection problem"),
                             tr("Unable to connect the device ") + modelName() + (reason.isEmpty() ? "" : "\n\n" + reason));
        if (deviceLabel) deviceLabel->setText(tr("Unable to connect"));
    }
}

void MainWindow::onImportButtonClicked()
{
    ImportWidget dialog(this);
    dialog.exec();
}
