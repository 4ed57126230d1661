#pragma once

#include "BioSensorFilter.h"

#include <QDialog>
#include <map>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace Vesk {

// Per sampling rate, the values the dialog proposes for each kind of filter.
struct FilterDefaults {
    BioSensor::BioSensorFilter lowpass;
    BioSensor::BioSensorFilter highpass;
    BioSensor::BioSensorFilter bandpass;
    BioSensor::BioSensorFilter notch;  // the "Europe" region; "USA/Japan" is 10 Hz higher
};

// Switches a mains notch and one other Butterworth filter on or off for a viewer's display.
class SigFiltersDialog : public QDialog {
    Q_OBJECT
public:
    SigFiltersDialog(QWidget* parent, const QString& title,
                     const std::vector<BioSensor::BioSensorFilter>& defaultFilters, int samplingRate);

    // The defaults for a rate; a rate the table does not list gets (and keeps) defaults derived from it.
    const FilterDefaults& defaultsFor(int samplingRate);
    static std::map<int, FilterDefaults> defaultTable();
    // Defaults for a rate the table does not list, derived from the rate.
    static FilterDefaults derivedDefaults(int samplingRate);

    bool defaultUpdatingEnabled() const { return defaultUpdating_; }
    int samplingRate() const { return samplingRate_; }

    QCheckBox* notchCheck() const { return notchCheck_; }
    QComboBox* regionCombo() const { return regionCombo_; }
    QDoubleSpinBox* notchHigh() const { return notchHigh_; }
    QDoubleSpinBox* notchLow() const { return notchLow_; }
    QDoubleSpinBox* notchOrder() const { return notchOrder_; }
    QLineEdit* notchType() const { return notchType_; }
    QCheckBox* otherCheck() const { return otherCheck_; }
    QComboBox* otherCombo() const { return otherCombo_; }
    QDoubleSpinBox* otherHigh() const { return otherHigh_; }
    QDoubleSpinBox* otherLow() const { return otherLow_; }
    QDoubleSpinBox* otherOrder() const { return otherOrder_; }
    QLineEdit* otherType() const { return otherType_; }
    QPushButton* okButton() const { return okButton_; }
    QPushButton* cancelButton() const { return cancelButton_; }

signals:
    void filterSettingsModified(std::vector<BioSensor::BioSensorFilter> filters);

public slots:
    void enDisableNotch(int state);
    void enDisableOther(int state);
    void setOtherFilterDefaults(const QString& text);
    void setNotchDefaults();
    void setDefaultUpdatingEnabled(bool enabled);
    void setHighNotchValue(double value);
    void setLowNotchValue(double value);
    void setHighOtherValue(double value);
    void setLowOtherValue(double value);
    void setOtherOrderValue(int value);
    void setNotchOrderValue(int value);
    int exec(std::vector<BioSensor::BioSensorFilter> currentFilters);

private slots:
    void _setFiltersFromDesign(std::vector<BioSensor::BioSensorFilter> defaultFilters);
    void _checkAndAccept();

private:
    void enableNotchWidgets(bool enabled);
    void rangeError(const QString& text);

    int samplingRate_;
    std::map<int, FilterDefaults> table_;
    bool defaultUpdating_ = false;

    QGroupBox* notchGroup_;
    QCheckBox* notchCheck_;
    QComboBox* regionCombo_;
    QDoubleSpinBox* notchHigh_;
    QDoubleSpinBox* notchLow_;
    QLineEdit* notchType_;
    QDoubleSpinBox* notchOrder_;
    QGroupBox* otherGroup_;
    QCheckBox* otherCheck_;
    QComboBox* otherCombo_;
    QDoubleSpinBox* otherHigh_;
    QDoubleSpinBox* otherLow_;
    QLineEdit* otherType_;
    QDoubleSpinBox* otherOrder_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
};

}  // namespace Vesk
