#include "BiosensingConfigurator.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

BiosensingConfigurator::BiosensingConfigurator(const QString& inputName, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(tr("Digital Aux input configuration"));
    setMinimumWidth(300);

    auto* form = new QFormLayout(this);
    form->addRow(new QLabel(tr("Which device is connected to ") + inputName));
    sensorType_ = new QComboBox;
    sensorType_->setEditable(false);
    sensorType_->addItems({tr("None"), tr("IMU")});
    sensorType_->setCurrentIndex(0);
    form->addRow(tr("Type of sensor"), sensorType_);
    imuCount_ = new QSpinBox;
    imuCount_->setRange(1, 8);
    imuCount_->setEnabled(false);
    form->addRow(tr("Number of IMUs"), imuCount_);
    auto* ok = new QPushButton(tr("Ok"));
    form->addRow(ok);

    connect(sensorType_, SIGNAL(currentIndexChanged(int)), this, SLOT(OnSelectorItemChanged(int)));
    connect(ok, SIGNAL(clicked()), this, SLOT(accept()));
}

void BiosensingConfigurator::OnSelectorItemChanged(int item) { imuCount_->setEnabled(item == 1); }

unsigned BiosensingConfigurator::mode() const
{
    return sensorType_->currentIndex() == 1 ? static_cast<unsigned>(imuCount_->value()) : 0u;
}

unsigned BiosensingConfigurator::ask(const QString& inputName, QWidget* parent)
{
    BiosensingConfigurator dialog(inputName, parent);
    return dialog.exec() == QDialog::Accepted ? dialog.mode() : 0u;
}
