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

// The viewer's spelling of a unit; a signal of no known unit is drawn on the microvolt scale.
QString viewerUnit(ChannelUnit unit)
{
    if (unit == ChannelUnit::Acceleration)
        return QString::fromUtf8("m/s\u00b2");
    return QString::fromLatin1(unit == ChannelUnit::None ? "uV" : unitSymbol(unit));
}

// An inertial unit's axes: three of acceleration, three of rotation rate, then (9-axis units) three of the
// magnetic field. Each is drawn around its own mean (gravity and the earth's field would otherwise fill the
// band) in a band sized for head and body movement.
void setInertialAxes(Vesk::SigViewerRtConfig& config, const SignalSlot& signal)
{
    static const double ranges[] = {8.0, 50.0, 40.0};
    config.channelRange = 1.0;
    config.centreChannels = true;
    for (unsigned c = 0; c < signal.channels; ++c) {
        config.channelUnits.append(viewerUnit(signal.unit(c)));
        config.channelRanges.append(ranges[std::min(c / 3, 2u)]);
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
    const SignalSlot slot = SignalLayout({signal})[0];
    Vesk::SigViewerRtConfig config;
    config.channels = static_cast<int>(signal.channels);
    // An aux input's viewer shows one IMU: one row of the block, once per block.
    config.samplesPerBlock = slot.oneSamplePerBlock() ? 1 : static_cast<int>(signal.samples);
    config.samplingRate = static_cast<int>(slot.oneSamplePerBlock() ? blockRate : slot.samplingRate(blockRate));
    config.showTimeAxis = true;
    config.eegImpedances = slot.kind == SignalKind::Eeg;
    config.cursorPen = QPen(QBrush(QColor(128, 0, 0)), 3.0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);

    config.unit = viewerUnit(slot.unit(0));
    switch (slot.kind) {
    case SignalKind::Fot:
        config.channelRange = 3000000.0;
        break;
    case SignalKind::Bvp:
        // Blood volume pulse comes in the optical sensor's own arbitrary units: a pulse wave of a few hundred
        // of them peak to peak on a standing level of about a thousand, taken off before the filter.
        config.channelRange = 600.0;
        config.centreChannels = true;
        config.defaultFilters = {filterRecord(BioSensorFilter::BANDPASS, 4.0, 0.5, 4)};
        break;
    case SignalKind::Digital:
        config.channelRange = 8.0;
        break;
    case SignalKind::Imu:
    case SignalKind::Aux:
        setInertialAxes(config, slot);
        break;
    case SignalKind::Gsr:
        // Skin conductance: a level of a few microsiemens on which responses of tenths of one ride; the
        // level is taken off for display and fast noise smoothed.
        config.channelRange = 2.0;
        config.centreChannels = true;
        config.defaultFilters = {filterRecord(BioSensorFilter::LOWPASS, 1.0, 0.0, 4)};
        break;
    case SignalKind::Eeg:
        config.channelRange = 160.0;
        config.defaultFilters = {filterRecord(BioSensorFilter::BANDPASS, 30.0, 1.0, 4),
                                 filterRecord(BioSensorFilter::NOTCH, 52.0, 48.0, 4)};
        break;
    default:
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
        const SignalKind kind = signalKind(signal.name);
        if (kind == SignalKind::SdCard || kind == SignalKind::Haptic)
            continue;

        // Inputs are numbered alike whether the user or a configuration file chose what is plugged in.
        if (kind == SignalKind::Aux)
            ++auxInputs;
        if (configurable) {
            unsigned mode = 1;
            if (kind == SignalKind::Aux) {
                mode = BiosensingConfigurator::ask(tr("Digial AUX ") + QString::number(auxInputs), this);
            }
            configurable->set_signal_mode(i, mode);
        }
        const int mode = model.signal_mode(i);
        const QString displayName = QString::fromStdString(decoder_output_type(signal.name));

        if (kind == SignalKind::Anchor) {
            QWidget* widget = nullptr;
            if (i > 0 && signalKind(model.signal_name(i - 1)) == SignalKind::Anchor) {
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
        } else if (kind == SignalKind::Aux) {
            const Vesk::SigViewerRtConfig config = buildViewerConfig(signal, blockRate);
            const QString title = tr("DAUX %1 IMU").arg(auxInputs);
            for (int imu = 0; imu < mode; ++imu) {
                const int tab = addSignalTab(new Vesk::SigViewerRt(config), title, true);
                signalTabs_.emplace(static_cast<int>(i), tab);
            }
        } else {
            Vesk::SigViewerRtConfig config = buildViewerConfig(signal, blockRate);
            const std::vector<std::string> labels = model.signal_labels(i);
            if (labels.size() == signal.channels)
                for (const std::string& label : labels)
                    config.channelNames.append(QString::fromStdString(label));
            if (kind == SignalKind::Eeg) {
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
    const SignalLayout layout = model.signal_layout();
    for (const SignalSlot& signal : layout.entries()) {
        if (!signal.present)
            continue;
        const auto i = static_cast<unsigned>(signal.index);
        const std::size_t offset = signal.offset;
        const std::size_t channels = signal.channels;
        const std::size_t size = signal.size();
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
