#include "SignalsWidget.h"

#include "BiosensingConfigurator.h"
#include "DistanceViewer.h"

#include <DeviceModel.h>
#include <QLabel>
#include <QStackedLayout>
#include <QTabBar>
#include <QTabWidget>
#include <SignalNames.h>
#include <algorithm>

using BioSensor::BioSensorFilter;

namespace {

std::string prefixOf(const std::string& name) { return name.substr(0, 3); }

BioSensorFilter filterRecord(int type, double high, double low, int order)
{
    BioSensorFilter f;
    f.type = type;
    f.high = high;
    f.low = low;
    f.order = order;
    return f;
}

std::size_t valuesNeeded(ProcessWidget* viewer)
{
    if (auto* rt = dynamic_cast<Vesk::SigViewerRt*>(viewer))
        return static_cast<std::size_t>(rt->config().channels) * rt->config().samplesPerBlock;
    if (dynamic_cast<DistanceViewer*>(viewer))
        return 2;  // distance and battery
    return 1;
}

bool isPresent(DeviceModel& model, unsigned i)
{
    return model.signal_name(i) != "uSD" && model.signal_mode(i) != 0;
}

// An inertial unit's axes: three of acceleration, three of rotation rate, then (9-axis units) three of the
// magnetic field. Each is drawn around its own mean (gravity and the earth's field would otherwise fill the
// band) in a band sized for head and body movement.
void setInertialAxes(Vesk::SigViewerRtConfig& config, int channels)
{
    static const struct {
        const char* unit;
        double range;
    } axes[] = {{"m/s\u00b2", 8.0}, {"deg/s", 50.0}, {"uT", 40.0}};
    config.channelRange = 1.0;
    config.centreChannels = true;
    for (int c = 0; c < channels; ++c) {
        const auto& axis = axes[std::min(c / 3, 2)];
        config.channelUnits.append(QString::fromUtf8(axis.unit));
        config.channelRanges.append(axis.range);
    }
    config.unit = config.channelUnits.value(0);
}

}  // namespace

SignalsWidget::SignalsWidget(QWidget* parent) : QWidget(parent)
{
    stack_ = new QStackedLayout(this);
    emptyLabel_ = new QLabel(tr("No signals"));
    emptyLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    tabs_ = new QTabWidget;
    stack_->addWidget(emptyLabel_);
    stack_->addWidget(tabs_);
    showFirstEnabledTab();
}

bool SignalsWidget::isEmpty() const { return tabs_->count() == 0; }

bool SignalsWidget::showsTabs() const { return stack_->currentWidget() == tabs_; }

Vesk::SigViewerRtConfig SignalsWidget::buildViewerConfig(const KvnSignal& signal, uint16_t blockRate)
{
    Vesk::SigViewerRtConfig config;
    config.channels = static_cast<int>(signal.channels);
    config.samplesPerBlock = static_cast<int>(signal.samples);
    config.samplingRate = static_cast<int>(blockRate) * static_cast<int>(signal.samples);
    config.showTimeAxis = true;
    const std::string prefix = prefixOf(signal.name);
    config.eegImpedances = prefix == "EEG";
    config.cursorPen = QPen(QBrush(QColor(128, 0, 0)), 3.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);

    config.unit = "uV";
    if (prefix == "FOT") {
        config.channelRange = 3000000.0;
    } else if (prefix == "BVP") {
        // Blood volume pulse comes in the optical sensor's own arbitrary units: a pulse wave of a few hundred
        // of them peak to peak on a standing level of about a thousand, taken off before the filter.
        config.unit = "a.u.";
        config.channelRange = 600.0;
        config.centreChannels = true;
        config.defaultFilters = {filterRecord(BioSensorFilter::BANDPASS, 4.0, 0.5, 4)};
    } else if (prefix == "DIN" || signal.name.rfind("DOUT", 0) == 0) {
        config.unit = "V";
        config.channelRange = 8.0;
    } else if (prefix == "IMU" || prefix == "COM") {
        setInertialAxes(config, static_cast<int>(signal.channels));
        if (prefix == "COM") {
            config.samplesPerBlock = 1;
            config.samplingRate = blockRate;
        }
    } else if (prefix == "GSR") {
        // Skin conductance: a level of a few microsiemens on which responses of tenths of one ride; the
        // level is taken off for display and fast noise smoothed.
        config.unit = "uS";
        config.channelRange = 2.0;
        config.centreChannels = true;
        config.defaultFilters = {filterRecord(BioSensorFilter::LOWPASS, 1.0, 0.0, 4)};
    } else if (prefix == "EEG") {
        config.channelRange = 160.0;
        config.defaultFilters = {filterRecord(BioSensorFilter::BANDPASS, 30.0, 1.0, 4),
                                 filterRecord(BioSensorFilter::NOTCH, 52.0, 48.0, 4)};
    } else {
        config.channelRange = 1.0;
    }
    return config;
}

void SignalsWidget::configureSignals(DeviceModel& model, int eegSensorType)
{
    signalTabs_.clear();
    int auxInputs = 0;
    const unsigned count = model.signal_count();
    if (count == 0)
        return;
    auto* configurable = qobject_cast<ConfigurableDeviceModel*>(&model);
    const auto blockRate = static_cast<uint16_t>(model.frequency());

    for (unsigned i = 0; i < count; ++i) {
        const KvnSignal signal(model.signal_name(i), model.signal_channels(i), model.signal_channels(i),
                               model.signal_samples(i), static_cast<unsigned>(model.signal_mode(i)));
        const std::string prefix = prefixOf(signal.name);
        if (prefix == "uSD" || prefix == "HAP")
            continue;

        // Inputs are numbered alike whether the user or a configuration file chose what is plugged in.
        if (prefix == "COM")
            ++auxInputs;
        if (configurable) {
            unsigned mode = 1;
            if (prefix == "COM") {
                mode = BiosensingConfigurator::ask(tr("Digial AUX ") + QString::number(auxInputs), this);
            }
            configurable->set_signal_mode(i, mode);
        }
        const int mode = model.signal_mode(i);
        const QString displayName = QString::fromStdString(decoder_output_type(signal.name));

        if (prefix == "ANC") {
            QWidget* widget = nullptr;
            if (i > 0 && prefixOf(model.signal_name(i - 1)) == "ANC") {
                auto range = signalTabs_.equal_range(static_cast<int>(i - 1));
                for (auto it = range.first; it != range.second; ++it) {
                    if (auto* viewer = dynamic_cast<DistanceViewer*>(tabs_->widget(it->second))) {
                        viewer->addAnchor(static_cast<unsigned>(mode));
                        widget = viewer;
                    }
                }
            }
            if (!widget)
                widget = new DistanceViewer(signal);
            if (signalTabs_.count(static_cast<int>(i)) == 0) {
                const int tab = addSignalTab(widget, displayName, mode != 0);
                signalTabs_.emplace(static_cast<int>(i), tab);
            }
        } else if (prefix == "COM") {
            const Vesk::SigViewerRtConfig config = buildViewerConfig(signal, blockRate);
            const QString title = tr("DAUX %1 IMU").arg(auxInputs);
            for (int imu = 0; imu < mode; ++imu) {
                const int tab = addSignalTab(new Vesk::SigViewerRt(config), title, true);
                signalTabs_.emplace(static_cast<int>(i), tab);
            }
        } else {
            Vesk::SigViewerRtConfig config = buildViewerConfig(signal, blockRate);
            if (prefix == "EEG") {
                config.eegSensorType = eegSensorType;
                config.deviceVersion = QString::fromStdString(model.version());
            }
            const int tab = addSignalTab(new Vesk::SigViewerRt(config), displayName, mode != 0);
            signalTabs_.emplace(static_cast<int>(i), tab);
        }
    }
}

int SignalsWidget::addSignalTab(QWidget* widget, const QString& title, bool enabled)
{
    // A shared anchor viewer moves to a new last tab; entries that pointed at its old tab follow it.
    const int previous = tabs_->indexOf(widget);
    if (previous >= 0)
        tabs_->removeTab(previous);
    const int index = tabs_->addTab(widget, title);
    if (previous >= 0) {
        for (auto& entry : signalTabs_) {
            if (entry.second == previous)
                entry.second = index;
            else if (entry.second > previous)
                --entry.second;
        }
    }

    if (index != 0) {
        const QString before = tabs_->tabText(index - 1);
        if (before.startsWith(title)) {
            bool ok = false;
            int p = before.mid(title.size()).trimmed().toShort(&ok);
            if (!ok) {
                p = 1;
                tabs_->setTabText(index - 1, title + " 1");
            }
            tabs_->setTabText(index, title + " " + QString::number(p + 1));
        }
    }
    tabs_->setTabEnabled(index, enabled);
    showFirstEnabledTab();
    return index;
}

void SignalsWidget::showFirstEnabledTab()
{
    for (int t = 0; t < tabs_->count(); ++t) {
        if (tabs_->isTabEnabled(t)) {
            stack_->setCurrentWidget(tabs_);
            tabs_->setCurrentIndex(t);
            return;
        }
    }
    stack_->setCurrentWidget(emptyLabel_);
}

template <typename Slice>
void SignalsWidget::walkSignals(DeviceModel& model, std::size_t available, Slice slice)
{
    std::size_t offset = 0;
    const unsigned count = model.signal_count();
    for (unsigned i = 0; i < count; ++i) {
        if (!isPresent(model, i))
            continue;
        const std::size_t channels = model.signal_channels(i);
        const std::size_t samples = model.signal_samples(i);
        const std::size_t size = channels * samples;
        // A vector shorter than the device's layout promises is not read past its end.
        if (offset + size > available)
            return;
        auto range = signalTabs_.equal_range(static_cast<int>(i));
        std::size_t sub = 0;
        for (auto it = range.first; it != range.second; ++it, ++sub) {
            auto* viewer = dynamic_cast<ProcessWidget*>(tabs_->widget(it->second));
            if (!viewer)
                continue;
            // IMU k of a digital aux input reads column k. A viewer whose block would not fit in the
            // signal's part (a device reporting fewer values than at set-up) is skipped for this block.
            const std::size_t start = sub * channels;
            if (start + valuesNeeded(viewer) > size)
                continue;
            viewer->process(slice(i, offset, size) + start, false);
        }
        offset += size;
    }
}

void SignalsWidget::dispatchData(DeviceModel& model, const std::vector<double>& data)
{
    walkSignals(model, data.size(), [&data](unsigned, std::size_t offset, std::size_t) { return data.data() + offset; });
}

void SignalsWidget::dispatchZeros(DeviceModel& model)
{
    std::vector<double> zeros;
    walkSignals(model, static_cast<std::size_t>(-1), [&zeros](unsigned, std::size_t, std::size_t size) {
        zeros.assign(size, 0.0);
        return zeros.data();
    });
}

void SignalsWidget::resetViewers()
{
    for (int t = 0; t < tabs_->count(); ++t)
        if (auto* viewer = dynamic_cast<ProcessWidget*>(tabs_->widget(t)))
            viewer->reset();
}

void SignalsWidget::setSignalTabsEnabled(int signal, int mode)
{
    // Signals without a tab (and bad indices) have no entries, so they change nothing.
    if (signal < 0 || signalTabs_.count(signal) == 0)
        return;
    auto range = signalTabs_.equal_range(signal);
    int sub = 0;
    for (auto it = range.first; it != range.second; ++it, ++sub)
        tabs_->setTabEnabled(it->second, sub < mode);
    showFirstEnabledTab();
}

void SignalsWidget::clear()
{
    for (int t = 0; t < tabs_->count(); ++t) {
        QWidget* widget = tabs_->widget(t);
        widget->close();
        widget->deleteLater();
    }
    tabs_->clear();
    signalTabs_.clear();
    showFirstEnabledTab();
}
