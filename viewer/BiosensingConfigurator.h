#pragma once

#include <QDialog>

class QComboBox;
class QSpinBox;

// Asks what is plugged into a digital aux input: nothing, or a number of IMUs.
class BiosensingConfigurator : public QDialog {
    Q_OBJECT
public:
    explicit BiosensingConfigurator(const QString& inputName, QWidget* parent = nullptr);

    // The input's mode: the number of IMUs, or 0 for none.
    unsigned mode() const;
    // Runs the question modally; a dialog closed without "Ok" counts as nothing connected.
    static unsigned ask(const QString& inputName, QWidget* parent);

    QComboBox* sensorType() const { return sensorType_; }
    QSpinBox* imuCount() const { return imuCount_; }

private slots:
    void OnSelectorItemChanged(int item);

private:
    QComboBox* sensorType_;
    QSpinBox* imuCount_;
};
