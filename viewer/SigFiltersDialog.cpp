#include "SigFiltersDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>
#include <cmath>

using BioSensor::BioSensorFilter;

namespace Vesk {

namespace {

BioSensorFilter record(int type, double high, double low, int order)
{
    BioSensorFilter f;
    f.type = type;
    f.high = high;
    f.low = low;
    f.order = order;
    return f;
}

FilterDefaults defaults(const BioSensorFilter& bandpass, const BioSensorFilter& notch)
{
    FilterDefaults d;
    d.lowpass = record(BioSensorFilter::LOWPASS, 60.0, 0.0, 4);
    d.highpass = record(BioSensorFilter::HIGHPASS, 0.0, 0.5, 4);
    d.bandpass = bandpass;
    d.notch = notch;
    return d;
}

QDoubleSpinBox* frequencyBox()
{
    auto* box = new QDoubleSpinBox;
    box->setDecimals(2);
    box->setRange(0.01, 1024.0);
    return box;
}

QDoubleSpinBox* orderBox()
{
    auto* box = new QDoubleSpinBox;
    box->setRange(2.0, 8.0);
    return box;
}

}  // namespace

FilterDefaults SigFiltersDialog::derivedDefaults(int samplingRate)
{
    FilterDefaults d;
    if (samplingRate <= 0)
        return d;
    const double rate = samplingRate;
    const auto round2 = [](double v) { return std::round(v * 100.0) / 100.0; };
    // Well inside the Nyquist frequency, as the listed rates are, and never above the listed 60 Hz.
    const double high = round2(std::min(60.0, 0.4 * rate));
    const double low = round2(std::min(0.5, high / 10.0));
    d.lowpass = record(BioSensorFilter::LOWPASS, high, 0.0, 4);
    d.highpass = record(BioSensorFilter::HIGHPASS, 0.0, low, 4);
    d.bandpass = record(BioSensorFilter::BANDPASS, high, low, 4);
    // Mains hum (and the +10 Hz of the other region) only exists below the Nyquist frequency; slower rates
    // get a band just under it.
    if (rate / 2.0 > 64.0)
        d.notch = record(BioSensorFilter::NOTCH, 52.0, 48.0, 4);
    else
        d.notch = record(BioSensorFilter::NOTCH, round2(0.45 * rate), round2(0.4 * rate), 2);
    return d;
}

std::map<int, FilterDefaults> SigFiltersDialog::defaultTable()
{
    const int N = BioSensorFilter::NOTCH, B = BioSensorFilter::BANDPASS;
    return {
        {64, defaults(record(B, 60.0, 0.5, 4), record(N, 52.0, 48.0, 4))},
        {256, defaults(record(B, 60.0, 0.5, 4), record(N, 52.0, 48.0, 4))},
        {512, defaults(record(B, 60.0, 0.5, 4), record(N, 54.0, 46.0, 5))},
        {1024, defaults(record(B, 60.0, 0.5, 4), record(N, 57.0, 43.0, 4))},
        {2048, defaults(record(B, 60.0, 0.5, 3), record(N, 60.0, 40.0, 3))},
    };
}

SigFiltersDialog::SigFiltersDialog(QWidget* parent, const QString& title,
                                   const std::vector<BioSensorFilter>& defaultFilters, int samplingRate)
    : QDialog(parent), samplingRate_(samplingRate), table_(defaultTable())
{
    setWindowTitle(title.trimmed().isEmpty() ? tr("Visualizing filters") : title.trimmed() + tr(" visualizing filters"));

    auto buildGroup = [](QGroupBox* group, QCheckBox*& check, QComboBox*& combo, QDoubleSpinBox*& high,
                         QDoubleSpinBox*& low, QLineEdit*& type, QDoubleSpinBox*& order, const QStringList& items) {
        auto* grid = new QGridLayout(group);
        check = new QCheckBox(tr("Enabled"));
        combo = new QComboBox;
        combo->addItems(items);
        high = frequencyBox();
        low = frequencyBox();
        type = new QLineEdit(tr("Butterworth"));
        type->setReadOnly(true);
        // Wide enough for the whole word, shown from its start.
        type->setMinimumWidth(type->fontMetrics().boundingRect(type->text()).width() + 16);
        type->setCursorPosition(0);
        order = orderBox();
        grid->addWidget(check, 0, 0);
        grid->addWidget(combo, 1, 0, 1, 2);
        grid->addWidget(new QLabel(tr("High (Hz)")), 2, 0);
        grid->addWidget(high, 2, 1);
        grid->addWidget(new QLabel(tr("Low (Hz)")), 3, 0);
        grid->addWidget(low, 3, 1);
        grid->addWidget(new QLabel(tr("Type")), 4, 0);
        grid->addWidget(type, 4, 1);
        grid->addWidget(new QLabel(tr("Order")), 5, 0);
        grid->addWidget(order, 5, 1);
    };

    notchGroup_ = new QGroupBox(tr("Notch Filter"));
    buildGroup(notchGroup_, notchCheck_, regionCombo_, notchHigh_, notchLow_, notchType_, notchOrder_,
               {tr("Europe"), tr("USA/Japan")});
    notchHigh_->setReadOnly(true);
    notchLow_->setReadOnly(true);
    notchOrder_->setReadOnly(true);

    otherGroup_ = new QGroupBox(tr("Other Filters"));
    buildGroup(otherGroup_, otherCheck_, otherCombo_, otherHigh_, otherLow_, otherType_, otherOrder_,
               {tr("Lowpass"), tr("Highpass"), tr("Bandpass")});

    okButton_ = new QPushButton(tr("Ok"));
    cancelButton_ = new QPushButton(tr("Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(okButton_);
    buttons->addWidget(cancelButton_);

    auto* grid = new QGridLayout(this);
    grid->addWidget(notchGroup_, 0, 0);
    grid->addWidget(otherGroup_, 0, 1);
    grid->addLayout(buttons, 1, 0, 1, 2);

    connect(notchCheck_, SIGNAL(stateChanged(int)), this, SLOT(enDisableNotch(int)));
    connect(otherCheck_, SIGNAL(stateChanged(int)), this, SLOT(enDisableOther(int)));
    connect(okButton_, SIGNAL(clicked()), this, SLOT(_checkAndAccept()));
    connect(cancelButton_, SIGNAL(clicked()), this, SLOT(reject()));
    setDefaultUpdatingEnabled(true);
    connect(regionCombo_, SIGNAL(currentIndexChanged(const QString&)), this, SLOT(setNotchDefaults()));

    enableNotchWidgets(false);
    notchCheck_->setChecked(false);
    otherHigh_->setEnabled(false);
    otherLow_->setEnabled(false);
    otherOrder_->setEnabled(false);
    otherType_->setEnabled(false);
    otherCheck_->setChecked(false);
    otherCombo_->setEnabled(false);

    _setFiltersFromDesign(defaultFilters);
}

const FilterDefaults& SigFiltersDialog::defaultsFor(int samplingRate)
{
    auto it = table_.find(samplingRate);
    if (it == table_.end())
        it = table_.emplace(samplingRate, derivedDefaults(samplingRate)).first;
    return it->second;
}

void SigFiltersDialog::enableNotchWidgets(bool enabled)
{
    notchHigh_->setEnabled(enabled);
    notchLow_->setEnabled(enabled);
    notchOrder_->setEnabled(enabled);
    regionCombo_->setEnabled(enabled);
    notchType_->setEnabled(enabled);
}

void SigFiltersDialog::enDisableNotch(int state)
{
    if (state != Qt::Checked) {
        enableNotchWidgets(false);
        notchCheck_->setChecked(false);
        return;
    }
    enableNotchWidgets(true);
    notchCheck_->setChecked(true);
    if (defaultUpdating_)
        setNotchDefaults();
}

void SigFiltersDialog::enDisableOther(int state)
{
    if (state != Qt::Checked) {
        otherHigh_->setEnabled(false);
        otherLow_->setEnabled(false);
        otherOrder_->setEnabled(false);
        otherType_->setEnabled(false);
        otherCheck_->setChecked(false);
        otherCombo_->setEnabled(false);
        return;
    }
    otherHigh_->setEnabled(true);
    otherLow_->setEnabled(true);
    otherOrder_->setEnabled(true);
    otherType_->setEnabled(true);
    otherCheck_->setChecked(true);
    otherCombo_->setEnabled(true);
    const QString text = otherCombo_->currentText();
    if (text == tr("Lowpass"))
        otherLow_->setEnabled(false);
    else if (text == tr("Highpass"))
        otherHigh_->setEnabled(false);
    if (defaultUpdating_)
        setOtherFilterDefaults(text);
}

void SigFiltersDialog::setNotchDefaults()
{
    const BioSensorFilter notch = defaultsFor(samplingRate_).notch;
    const double shift = regionCombo_->currentText() == tr("USA/Japan") ? 10.0 : 0.0;
    notchHigh_->setValue(notch.high + shift);
    notchLow_->setValue(notch.low + shift);
    notchOrder_->setValue(notch.order);
}

void SigFiltersDialog::setOtherFilterDefaults(const QString& text)
{
    const FilterDefaults& d = defaultsFor(samplingRate_);
    const BioSensorFilter* f = nullptr;
    bool highOn = true, lowOn = true;
    if (text == tr("Lowpass")) {
        f = &d.lowpass;
        lowOn = false;
    } else if (text == tr("Highpass")) {
        f = &d.highpass;
        highOn = false;
    } else if (text == tr("Bandpass")) {
        f = &d.bandpass;
    } else {
        return;
    }
    otherHigh_->setValue(f->high);
    otherLow_->setValue(f->low);
    otherOrder_->setValue(f->order);
    otherHigh_->setEnabled(highOn);
    otherLow_->setEnabled(lowOn);
}

void SigFiltersDialog::setDefaultUpdatingEnabled(bool enabled)
{
    if (enabled && !defaultUpdating_)
        connect(otherCombo_, SIGNAL(currentIndexChanged(const QString&)), this,
                SLOT(setOtherFilterDefaults(const QString&)));
    else if (!enabled && defaultUpdating_)
        disconnect(otherCombo_, SIGNAL(currentIndexChanged(const QString&)), this,
                   SLOT(setOtherFilterDefaults(const QString&)));
    defaultUpdating_ = enabled;
}

void SigFiltersDialog::setHighNotchValue(double value) { notchHigh_->setValue(value); }
void SigFiltersDialog::setLowNotchValue(double value) { notchLow_->setValue(value); }
void SigFiltersDialog::setHighOtherValue(double value) { otherHigh_->setValue(value); }
void SigFiltersDialog::setLowOtherValue(double value) { otherLow_->setValue(value); }
void SigFiltersDialog::setOtherOrderValue(int value) { otherOrder_->setValue(value); }
void SigFiltersDialog::setNotchOrderValue(int value) { notchOrder_->setValue(value); }

int SigFiltersDialog::exec(std::vector<BioSensorFilter> currentFilters)
{
    _setFiltersFromDesign(currentFilters);
    return QDialog::exec();
}

void SigFiltersDialog::_setFiltersFromDesign(std::vector<BioSensorFilter> filters)
{
    setDefaultUpdatingEnabled(false);
    for (const BioSensorFilter& f : filters) {
        switch (f.type) {
        case BioSensorFilter::BANDPASS:
        case BioSensorFilter::LOWPASS:
        case BioSensorFilter::HIGHPASS:
            otherCombo_->setCurrentText(f.type == BioSensorFilter::BANDPASS  ? tr("Bandpass")
                                        : f.type == BioSensorFilter::LOWPASS ? tr("Lowpass")
                                                                             : tr("Highpass"));
            otherHigh_->setValue(f.high);
            otherLow_->setValue(f.low);
            otherOrder_->setValue(f.order);
            enDisableOther(Qt::Checked);
            break;
        case BioSensorFilter::NOTCH: {
            const BioSensorFilter europe = defaultsFor(samplingRate_).notch;
            const bool usa = f.high == europe.high + 10.0 && f.low == europe.low + 10.0;
            regionCombo_->setCurrentText(usa ? tr("USA/Japan") : tr("Europe"));
            notchHigh_->setValue(f.high);
            notchLow_->setValue(f.low);
            notchOrder_->setValue(f.order);
            enableNotchWidgets(true);
            notchCheck_->setChecked(true);
            break;
        }
        default:
            break;
        }
    }
    setDefaultUpdatingEnabled(true);
}

void SigFiltersDialog::rangeError(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, tr("Frequency range error"), text, QMessageBox::NoButton);
    box.addButton(tr("Ok"), QMessageBox::AcceptRole);
    box.exec();
}

void SigFiltersDialog::_checkAndAccept()
{
    if (notchHigh_->isEnabled() && notchLow_->isEnabled() && notchHigh_->value() < notchLow_->value()) {
        rangeError(tr("Invalid notch filter frequency range"));
        return;
    }
    if (otherHigh_->isEnabled() && otherLow_->isEnabled() && otherHigh_->value() < otherLow_->value()) {
        rangeError(tr("Invalid Other filter frequency range."));
        return;
    }
    std::vector<BioSensorFilter> filters;
    if (notchCheck_->isChecked())
        filters.push_back(record(BioSensorFilter::NOTCH, notchHigh_->value(), notchLow_->value(),
                                 static_cast<int>(notchOrder_->value())));
    if (otherCheck_->isChecked()) {
        const QString text = otherCombo_->currentText();
        const int type = text == tr("Lowpass")    ? BioSensorFilter::LOWPASS
                         : text == tr("Highpass") ? BioSensorFilter::HIGHPASS
                                                  : BioSensorFilter::BANDPASS;
        filters.push_back(record(type, otherHigh_->value(), otherLow_->value(),
                                 static_cast<int>(otherOrder_->value())));
    }
    emit filterSettingsModified(filters);
    accept();
}

}  // namespace Vesk
