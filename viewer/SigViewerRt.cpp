#include "SigViewerRt.h"

#include "PlotCurve.h"
#include "SigChannelsDialog.h"
#include "SigFiltersDialog.h"
#include "SigPlotRt.h"

#include <EegImpedances.h>
#include <MkfilterWrapper.h>
#include <QAction>
#include <QCloseEvent>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <qwt_plot_marker.h>
#include <sstream>

using BioSensor::BioSensorFilter;

namespace Vesk {

namespace {
constexpr double kStripMarginPixels = 4.0;
}

QString formatScaleValue(double v, const QString& unit, double factor)
{
    static const struct {
        int exponent;
        const char* prefix;
    } prefixes[] = {{-12, "p"}, {-9, "n"}, {-6, "u"}, {-3, "m"}, {0, ""}, {3, "k"}, {6, "M"}, {9, "G"}, {12, "T"}};
    const double x = factor * v;
    if (std::fabs(x) == 0.0)
        return QStringLiteral("0");
    std::ostringstream text;
    if (!std::isfinite(x)) {
        text << x;
        return QString::fromStdString(text.str()) + unit;
    }
    const double e = std::floor(std::log10(std::fabs(x)));
    // Past 10^15 no row fits; the largest prefix is the closest reading.
    const auto* row = std::find_if(std::begin(prefixes), std::end(prefixes),
                                   [e](const auto& r) { return r.exponent >= e - 2; });
    if (row == std::end(prefixes))
        row = std::end(prefixes) - 1;
    const float power = std::pow(10.0f, static_cast<float>(row->exponent));
    text << x / power;
    return QString::fromStdString(text.str()) + QString::fromLatin1(row->prefix) + unit;
}

QString formatScaleLabel(double value, const QString& unit)
{
    // Units that take an SI prefix, with the prefix their values come in.
    static const struct {
        const char* unit;
        const char* base;
        double factor;
    } prefixed[] = {{"uV", "V", 1e-6}, {"V", "V", 1.0}, {"uS", "S", 1e-6}, {"uT", "T", 1e-6}};
    for (const auto& p : prefixed)
        if (unit == QLatin1String(p.unit))
            return formatScaleValue(value, QString::fromLatin1(p.base), p.factor);
    const QString number = QString::number(value, 'g', 3);
    return unit.isEmpty() ? number : number + QLatin1Char(' ') + unit;
}

QColor textColourOn(const QColor& fill)
{
    auto linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    const double l = 0.2126 * linear(fill.redF()) + 0.7152 * linear(fill.greenF()) + 0.0722 * linear(fill.blueF());
    // Contrast ratios against black and white: (l + 0.05) / 0.05 and 1.05 / (l + 0.05).
    return (l + 0.05) * (l + 0.05) > 0.0525 ? QColor(Qt::black) : QColor(Qt::white);
}

SigViewerRt::SigViewerRt(const SigViewerRtConfig& config, QWidget* parent) : ProcessWidget(parent), config_(config)
{
    // A damaged configuration must not leave the viewer without a window to write into.
    config_.channels = std::max(0, config_.channels);
    config_.samplesPerBlock = std::max(1, config_.samplesPerBlock);
    config_.samplingRate = std::max(1, config_.samplingRate);
    if (!(config_.secondsShown >= 1.0) || !std::isfinite(config_.secondsShown))
        config_.secondsShown = 1.0;
    const int channels = config_.channels;
    for (int c = config_.channelNames.size(); c < channels; ++c)
        config_.channelNames.append(QString("%1").arg(c + 1, 2, 10, QChar('0')));
    if (config_.channelIndices.isEmpty())
        for (int c = 0; c < channels; ++c)
            config_.channelIndices.append(c);

    windowLength_ = static_cast<int>(config_.samplingRate * config_.secondsShown);
    rowLength_ = 3 * windowLength_;
    const double period = 1.0 / config_.samplingRate;
    buffer_.assign(static_cast<size_t>(channels) * rowLength_, 0.0);
    time_.resize(rowLength_);
    for (int i = 1; i < rowLength_; ++i)
        time_[i] = time_[i - 1] + period;
    offsets_.assign(channels, 0.0);
    for (int c = 0; c < channels; ++c) {
        units_.append(config_.channelUnits.value(c, config_.unit));
        const double range = config_.channelRanges.value(c, config_.channelRange);
        ranges_.push_back(range > 0.0 && std::isfinite(range) ? range : config_.channelRange);
        gains_.push_back(config_.channelRange / ranges_.back());
    }
    centres_.assign(channels, 0.0);
    centreCounts_.assign(channels, 0);
    visible_.assign(channels, false);
    attached_.assign(channels, false);

    SigPlotRtConfig plotConfig;
    plotConfig.title = config_.title;
    plotConfig.backgroundColor = config_.backgroundColor;
    plotConfig.backgroundImage = config_.backgroundImage;
    plotConfig.clickable = false;
    plotConfig.partialRepaint = config_.partialRepaint;
    plotConfig.samplingRate = config_.samplingRate;
    plotConfig.bufferLength = rowLength_;
    // The plot already takes the neighbouring sample of each strip edge; a whole second more on each side
    // would map five times the points for nothing.
    plotConfig.margin = 0;
    plot_ = new SigPlotRt(plotConfig, this);
    connect(plot_, SIGNAL(contextMenu(const QPoint&)), this, SLOT(_contextMenu(const QPoint&)));

    cursor_ = new QwtPlotMarker;
    cursor_->setLineStyle(QwtPlotMarker::VLine);
    cursor_->setLinePen(config_.cursorPen);
    cursor_->setRenderHint(QwtPlotItem::RenderAntialiased, true);
    cursor_->attach(plot_);

    for (int c = 0; c < channels; ++c) {
        auto* curve = new Kvn::PlotCurve(true);
        curve->setStyle(QwtPlotCurve::Lines);
        // Qwt's Fitted attribute is left off: it makes every strip redraw the whole trace and resamples it
        // through a 250-point spline, which distorts fast signals.
        curve->setPaintAttribute(QwtPlotCurve::FilterPoints, true);
        curve->setPaintAttribute(QwtPlotCurve::ClipPolygons, true);
        curve->setRenderHint(QwtPlotItem::RenderAntialiased, true);
        curve->setPen(config_.curvePen);
        curves_.push_back(curve);
        auto* baseline = new QwtPlotMarker;
        baseline->setLineStyle(QwtPlotMarker::HLine);
        baseline->setLinePen(config_.baselinePen);
        baselines_.push_back(baseline);
    }
    for (int c : config_.channelIndices) {
        if (c < 0 || c >= channels || visible_[c])
            continue;
        curves_[c]->attach(plot_);
        baselines_[c]->attach(plot_);
        visible_[c] = attached_[c] = true;
        ++visibleCount_;
    }

    if (config_.channelSelection) {
        channelsDialog_ = new SigChannelsDialog(this, config_.channelNames);
        connect(channelsDialog_, SIGNAL(channelsState(QVector<bool>)), this,
                SLOT(_modifyViewingChannels(QVector<bool>)));
    }

    seconds_ = config_.secondsShown;
    plot_->setAxis(QwtPlot::xBottom, 0.0, seconds_, 1.0, config_.showTimeAxis);
    plot_->setAxis(QwtPlot::yLeft, 0.0, (visibleCount_ + 1) * config_.channelRange, config_.channelRange, false);

    legend_ = new LegendWidget(this, QPen(Qt::black), QFont("Arial", 9));
    legend_->setVisible(config_.showLegend);
    if (config_.eegImpedances) {
        impedances_ = std::make_unique<EegImpedances>(10, 2);
        impedances_->reset(channels, config_.samplesPerBlock, config_.samplingRate,
                           config_.deviceVersion.toStdString(), config_.eegSensorType);
        levels_ = impedances_->levels();
        levels_.resize(channels, EegImpedances::NO_CONTACT);
        legend_->setImpedanceMode(true);
        legend_->setLevels(levels_);
    }

    scale_ = new ScaleWidget(this, config_.unit, config_.scalePen, QFont("Arial", 9));
    scale_->setVisible(config_.showScale);

    filtersDialog_ = new SigFiltersDialog(this, config_.title, config_.defaultFilters, config_.samplingRate);
    filtersDialog_->notchOrder()->setReadOnly(true);
    filtersDialog_->otherOrder()->setReadOnly(true);
    filtersDialog_->hide();
    BioSensor::registerFilterListMetaType();
    connect(filtersDialog_, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)), this,
            SLOT(_setVisFilters(std::vector<BioSensor::BioSensorFilter>)));

    lessSeconds_ = new QAction(tr("&Show less seconds"), this);
    connect(lessSeconds_, SIGNAL(triggered()), this, SLOT(_reduceScaleX()));
    moreSeconds_ = new QAction(tr("&Show more seconds"), this);
    connect(moreSeconds_, SIGNAL(triggered()), this, SLOT(_enlargeScaleX()));
    enlargeSignal_ = new QAction(tr("&Enlarge signal"), this);
    connect(enlargeSignal_, SIGNAL(triggered()), this, SLOT(enlargeScaleY()));
    reduceSignal_ = new QAction(tr("&Reduce signal"), this);
    connect(reduceSignal_, SIGNAL(triggered()), this, SLOT(reduceScaleY()));
    if (config_.channelSelection) {
        selectChannels_ = new QAction(tr("Select channels"), this);
        connect(selectChannels_, SIGNAL(triggered()), this, SLOT(_configChannels()));
    }
    filterSettings_ = new QAction(tr("Filters settings"), this);
    connect(filterSettings_, SIGNAL(triggered()), this, SLOT(_configFilters()));

    in_.resize(channels, config_.samplesPerBlock);
    lastDrawable_.assign(channels, 0.0);
    undrawable_.assign(static_cast<size_t>(channels) * config_.samplesPerBlock, 0);
    middle_.resize(channels, config_.samplesPerBlock);
    out_.resize(channels, config_.samplesPerBlock);
    _setVisFilters(config_.defaultFilters);

    auto* grid = new QGridLayout(this);
    legend_->setFixedWidth(legend_->widthFor(config_.channelNames));
    grid->addWidget(legend_, 0, 0);
    grid->addWidget(plot_, 0, 1);
    scale_->setFixedWidth(25);
    grid->addWidget(scale_, 0, 2);
    if (config_.showZoomButtons) {
        auto* zoom = new QVBoxLayout;
        zoom->setSpacing(3);
        // Without the button images the buttons show texts; a text resets the shortcut, so it comes first.
        const bool images = QFile::exists(":/img/button_zoomin_default.png");
        zoomIn_ = new QPushButton(images ? QString() : QStringLiteral("+"));
        zoomIn_->setObjectName("zoomInButton");
        zoomIn_->setShortcut(QKeySequence("Ctrl++"));
        zoomIn_->setToolTip(tr("Enlarge signal (Ctrl +)"));
        connect(zoomIn_, SIGNAL(clicked()), this, SLOT(enlargeScaleY()));
        zoomOut_ = new QPushButton(images ? QString() : QStringLiteral("-"));
        zoomOut_->setObjectName("zoomOutButton");
        zoomOut_->setShortcut(QKeySequence("Ctrl+-"));
        zoomOut_->setToolTip(tr("Reduce signal (Ctrl -)"));
        connect(zoomOut_, SIGNAL(clicked()), this, SLOT(reduceScaleY()));
        zoom->addWidget(zoomIn_);
        zoom->addWidget(zoomOut_);
        grid->addLayout(zoom, 0, 3, Qt::AlignRight | Qt::AlignVCenter);
    }
    if (!config_.showTimeAxis)
        grid->setContentsMargins(5, 0, 0, 0);

    // Past about 60 blocks a second a strip per block is more repainting than any screen shows; slower
    // devices keep their strip per block, which shows each block the moment it arrives.
    paced_ = config_.samplingRate > 60 * config_.samplesPerBlock;
    frameTimer_ = new QTimer(this);
    frameTimer_->setSingleShot(true);
    frameTimer_->setTimerType(Qt::PreciseTimer);
    connect(frameTimer_, &QTimer::timeout, this, &SigViewerRt::drawPendingFrame);

    layoutChannels();
    setMinimumWidth(200);
}

SigViewerRt::~SigViewerRt()
{
    // The plot deletes the attached items; detached ones are ours.
    for (int c = 0; c < config_.channels; ++c) {
        if (!attached_[c]) {
            delete curves_[c];
            delete baselines_[c];
        }
    }
}

QVector<int> SigViewerRt::visibleChannels() const
{
    QVector<int> chans;
    for (int c = 0; c < config_.channels; ++c)
        if (visible_[c])
            chans.append(c);
    return chans;
}

QString SigViewerRt::scaleLabel() const
{
    int last = config_.channels - 1;
    while (last > 0 && !visible_[last])
        --last;
    if (last < 0)
        return formatScaleLabel(config_.channelRange / amplitude_, config_.unit);
    return scaleLabel(last);
}

QString SigViewerRt::scaleLabel(int channel) const
{
    return formatScaleLabel(ranges_[channel] / amplitude_, units_[channel]);
}

double SigViewerRt::cursorTime() const { return cursor_->xValue(); }

void SigViewerRt::filterBlock(const double* data, bool channelMajor)
{
    const int channels = config_.channels, samples = config_.samplesPerBlock;
    for (int c = 0; c < channels; ++c)
        for (int s = 0; s < samples; ++s)
            in_.at(c, s) = channelMajor ? data[c * samples + s] : data[s * channels + c];
    const double limit = std::fabs(config_.channelRange) * 1e6;
    for (int c = 0; c < channels; ++c) {
        double* values = in_.row(c);
        char* wild = undrawable_.data() + static_cast<size_t>(c) * samples;
        for (int s = 0; s < samples; ++s) {
            wild[s] = !(std::fabs(values[s]) <= limit);
            if (wild[s])
                values[s] = lastDrawable_[c];
            else
                lastDrawable_[c] = values[s];
        }
    }
    const DataBlock* middle = &in_;
    if (notch_) {
        notch_->filter(in_, middle_);
        middle = &middle_;
    }
    if (other_)
        other_->filter(*middle, out_);
    else if (middle != &out_)
        out_ = *middle;
    applyGains();
}

const double* SigViewerRt::centred(const double* data, bool channelMajor)
{
    // Taken off before the filters, so they never see the standing offset as a step at the start.
    const int channels = config_.channels, samples = config_.samplesPerBlock;
    centred_.resize(static_cast<size_t>(channels) * samples);
    // The mean of everything seen at first, then of about one window: a fresh start is centred at once and
    // a slow drift is followed without bending what the window shows.
    const long window = std::max(1L, static_cast<long>(config_.samplingRate * config_.secondsShown));
    for (int c = 0; c < channels; ++c) {
        double& centre = centres_[c];
        long& seen = centreCounts_[c];
        // Values no display can show must not drag the mean away.
        const double limit = 1e6 * ranges_[c];
        for (int s = 0; s < samples; ++s) {
            const size_t at = channelMajor ? static_cast<size_t>(c) * samples + s : static_cast<size_t>(s) * channels + c;
            const double v = data[at];
            if (std::fabs(v - centre) <= limit || (seen == 0 && std::fabs(v) <= limit)) {
                seen = std::min(seen + 1, window);
                centre += (v - centre) / static_cast<double>(seen);
            }
            centred_[at] = v - centre;
        }
    }
    return centred_.data();
}

void SigViewerRt::applyGains()
{
    for (int c = 0; c < config_.channels; ++c) {
        const double gain = gains_[c];
        if (gain == 1.0)
            continue;
        double* values = out_.row(c);
        for (int s = 0; s < config_.samplesPerBlock; ++s)
            values[s] *= gain;
    }
}

void SigViewerRt::process(const double* data, bool channelMajor)
{
    if (!data || config_.channels == 0)
        return;
    filterBlock(config_.centreChannels ? centred(data, channelMajor) : data, channelMajor);

    const int samples = config_.samplesPerBlock;
    // A window that is not a multiple of the block size lets a block run past it; never past the row.
    const int count = std::min(samples, rowLength_ - writePos_);
    for (int c = 0; c < config_.channels; ++c) {
        double* row = buffer_.data() + static_cast<size_t>(c) * rowLength_ + writePos_;
        const double* filtered = out_.row(c);
        const char* wild = undrawable_.data() + static_cast<size_t>(c) * samples;
        const double off = offsets_[c];
        for (int s = 0; s < count; ++s)
            row[s] = wild[s] ? std::nan("") : filtered[s] * amplitude_ + off;
    }

    if (impedances_) {
        impedances_->push(data, channelMajor);
        const std::vector<int>& levels = impedances_->levels();
        if (levels != levels_) {
            levels_ = levels;
            legend_->setLevels(levels_);
            legend_->update();
        }
    }

    writePos_ += samples;
    if (writePos_ >= windowLength_)
        writePos_ = 0;
    cursor_->setXValue(static_cast<float>(writePos_) / static_cast<float>(config_.samplingRate));
    pendingSamples_ += samples;

    // The first block after a frame sets the next one a frame period after it, never sooner.
    if (!paced_) {
        drawNewSamples();
    } else if (!frameTimer_->isActive()) {
        const qint64 since = sinceFrame_.isValid() ? sinceFrame_.elapsed() : kFrameMilliseconds;
        frameTimer_->start(static_cast<int>(std::max<qint64>(0, kFrameMilliseconds - since)));
    }
}

void SigViewerRt::drawPendingFrame()
{
    frameTimer_->stop();
    if (pendingSamples_ > 0)
        drawNewSamples();
}

void SigViewerRt::drawNewSamples()
{
    // A whole window or more since the last frame (the display was starved) leaves no strip unchanged.
    if (!config_.partialRepaint || pendingSamples_ >= windowLength_) {
        replot();
        return;
    }
    ++framesDrawn_;
    sinceFrame_.start();
    if (writePos_ >= lastRepainted_) {
        repaintSamples(lastRepainted_, writePos_);
    } else {
        repaintSamples(lastRepainted_, windowLength_ - 1);
        repaintSamples(0, writePos_);
    }
    lastRepainted_ = writePos_;
    pendingSamples_ = 0;
}

void SigViewerRt::repaintSamples(int first, int last)
{
    // The segments joining the new samples to their neighbours change too, and the cursor's old and new lines
    // and the antialiased line ends reach a few pixels beyond the samples; no more than that is redrawn, which
    // at thousands of samples a second is most of what drawing costs.
    first = std::max(0, first - 1);
    last = std::min(rowLength_ - 1, last + 1);
    const QwtScaleMap map = plot_->canvasMap(QwtPlot::xBottom);
    const double x0 = map.transform(time_[first]) - kStripMarginPixels;
    const double x1 = map.transform(time_[last]) + kStripMarginPixels;
    const QWidget* canvas = plot_->canvas();
    const QRect strip(QPoint(static_cast<int>(std::floor(x0)), 0),
                      QPoint(static_cast<int>(std::ceil(x1)), canvas->height() - 1));
    plot_->repaintRect(strip);
}

void SigViewerRt::replot()
{
    frameTimer_->stop();
    ++framesDrawn_;
    sinceFrame_.start();
    plot_->replot();
    lastRepainted_ = writePos_;
    pendingSamples_ = 0;
}

void SigViewerRt::layoutChannels()
{
    double k = visibleCount_;
    for (int c = 0; c < config_.channels; ++c) {
        if (!visible_[c])
            continue;
        offsets_[c] = k * config_.channelRange;
        k -= 1.0;
        double* row = buffer_.data() + static_cast<size_t>(c) * rowLength_;
        std::fill(row, row + rowLength_, offsets_[c]);
        curves_[c]->setRawSamples(time_.data(), row, windowLength_);
        baselines_[c]->setYValue(offsets_[c]);
        baselines_[c]->setZ(1.0);
    }
}

void SigViewerRt::reset()
{
    std::fill(centreCounts_.begin(), centreCounts_.end(), 0);
    std::fill(centres_.begin(), centres_.end(), 0.0);
    writePos_ = lastRepainted_ = 0;
    cursor_->setXValue(0.0);
    layoutChannels();
    replot();
}

void SigViewerRt::_modifyViewingChannels(QVector<bool> chans)
{
    if (channelsDialog_)
        channelsDialog_->hide();
    for (int c = 0; c < config_.channels && c < chans.size(); ++c)
        visible_[c] = chans[c];
    visibleCount_ = static_cast<int>(std::count(visible_.begin(), visible_.end(), true));
    plot_->setAxis(QwtPlot::yLeft, 0.0, (visibleCount_ + 1) * config_.channelRange, config_.channelRange, false);

    double k = visibleCount_;
    for (int c = 0; c < config_.channels; ++c) {
        if (visible_[c]) {
            const double offset = k * config_.channelRange;
            const double shift = offset - offsets_[c];
            double* row = buffer_.data() + static_cast<size_t>(c) * rowLength_;
            for (int i = 0; i < rowLength_; ++i)
                row[i] += shift;
            offsets_[c] = offset;
            if (!attached_[c]) {
                curves_[c]->setRawSamples(time_.data(), row, windowLength_);
                curves_[c]->attach(plot_);
                baselines_[c]->attach(plot_);
            }
            baselines_[c]->setYValue(offset);
            baselines_[c]->setZ(1.0);
            k -= 1.0;
        } else if (attached_[c]) {
            curves_[c]->detach();
            baselines_[c]->detach();
        }
        attached_[c] = visible_[c];
    }
    replot();
    legend_->update();
    scale_->update();
    emit enabledChans(visibleChannels());
}

void SigViewerRt::_setVisFilters(std::vector<BioSensorFilter> newFilters)
{
    filters_ = newFilters;
    notch_.reset();
    other_.reset();
    const unsigned channels = config_.channels, samples = config_.samplesPerBlock;
    const double rate = config_.samplingRate;
    for (const BioSensorFilter& f : filters_) {
        switch (f.type) {
        case BioSensorFilter::NOTCH:
            notch_ = std::make_unique<MkfilterWrapper>(channels, samples, rate);
            notch_->Butterworth(MkfilterWrapper::BAND_STOP, f.order, f.low, f.high);
            break;
        case BioSensorFilter::LOWPASS:
            other_ = std::make_unique<MkfilterWrapper>(channels, samples, rate);
            other_->Butterworth(MkfilterWrapper::LOW_PASS, f.order, f.high, -1.0);
            break;
        case BioSensorFilter::HIGHPASS:
            other_ = std::make_unique<MkfilterWrapper>(channels, samples, rate);
            other_->Butterworth(MkfilterWrapper::HIGH_PASS, f.order, f.low, -1.0);
            break;
        case BioSensorFilter::BANDPASS:
            other_ = std::make_unique<MkfilterWrapper>(channels, samples, rate);
            other_->Butterworth(MkfilterWrapper::BAND_PASS, f.order, f.low, f.high);
            break;
        default:
            break;
        }
    }
}

void SigViewerRt::setSeconds(double seconds)
{
    atMaxSeconds_ = 3.0 * config_.secondsShown < seconds + 1.0;
    atMinSeconds_ = seconds - 1.0 < 1.0;
    const int oldWindow = windowLength_;
    seconds_ = seconds;
    windowLength_ = std::min(rowLength_, static_cast<int>(config_.samplingRate * seconds));
    for (int c = 0; c < config_.channels; ++c)
        curves_[c]->setRawSamples(time_.data(), buffer_.data() + static_cast<size_t>(c) * rowLength_,
                                  windowLength_);
    if (windowLength_ <= writePos_)
        writePos_ -= oldWindow - windowLength_;
    writePos_ = std::max(0, std::min(writePos_, windowLength_ - 1));
    cursor_->setXValue(static_cast<float>(writePos_) / static_cast<float>(config_.samplingRate));
    plot_->setAxis(QwtPlot::xBottom, 0.0, seconds_, 1.0, config_.showTimeAxis);
    replot();
}

void SigViewerRt::enlargeScaleX()
{
    const double seconds = seconds_ + 1.0;
    if (seconds > 3.0 * config_.secondsShown)
        return;
    setSeconds(seconds);
}

void SigViewerRt::reduceScaleX()
{
    const double seconds = seconds_ - 1.0;
    if (seconds < 1.0)
        return;
    setSeconds(seconds);
}

void SigViewerRt::_enlargeScaleX()
{
    const double before = seconds_;
    enlargeScaleX();
    if (seconds_ != before)
        emit enlargedScaleX();
}

void SigViewerRt::_reduceScaleX()
{
    const double before = seconds_;
    reduceScaleX();
    if (seconds_ != before)
        emit reducedScaleX();
}

void SigViewerRt::scaleAmplitude(double factor)
{
    amplitude_ *= factor;
    for (int c = 0; c < config_.channels; ++c) {
        const double off = offsets_[c];
        double* row = buffer_.data() + static_cast<size_t>(c) * rowLength_;
        for (int i = 0; i < rowLength_; ++i)
            row[i] = (row[i] - off) * factor + off;
    }
    scale_->update();
    replot();
}

void SigViewerRt::enlargeScaleY() { scaleAmplitude(2.0); }

void SigViewerRt::reduceScaleY() { scaleAmplitude(0.5); }

void SigViewerRt::closeEvent(QCloseEvent* event) { ProcessWidget::closeEvent(event); }

void SigViewerRt::updateActionStates()
{
    lessSeconds_->setEnabled(!atMinSeconds_);
    moreSeconds_->setEnabled(!atMaxSeconds_);
}

QList<QAction*> SigViewerRt::contextMenuActions()
{
    updateActionStates();
    QList<QAction*> actions = {lessSeconds_, moreSeconds_, enlargeSignal_, reduceSignal_};
    if (selectChannels_)
        actions.append(selectChannels_);
    actions.append(filterSettings_);
    return actions;
}

void SigViewerRt::_contextMenu(const QPoint& p)
{
    QMenu menu(this);
    menu.addActions(contextMenuActions());
    menu.exec(p);
}

void SigViewerRt::_configChannels()
{
    if (!channelsDialog_)
        return;
    channelsDialog_->setChannelStates(QVector<bool>(visible_.begin(), visible_.end()));
    channelsDialog_->show();
}

void SigViewerRt::_configFilters() { filtersDialog_->exec(filters_); }

// Legend -----------------------------------------------------------------------------------------------------

SigViewerRt::LegendWidget::LegendWidget(SigViewerRt* viewer, const QPen& pen, const QFont& font)
    : QWidget(viewer), viewer_(viewer), pen_(pen), font_(font)
{
}

QColor SigViewerRt::LegendWidget::levelColor(int level)
{
    switch (level) {
    case 1:
        return QColor(0, 185, 25);
    case 2:
        return QColor(255, 150, 0);
    case 3:
        return QColor(210, 0, 0);
    case 4:
        return QColor(128, 128, 128);
    default:
        return QColor(Qt::white);
    }
}

namespace {

// Legend sizes in pixels: the smallest dot whose colour still reads, the smallest that holds its number, and
// the smallest legible number.
constexpr double kLegendMinDot = 5.0;
constexpr double kLegendMinDotWithText = 13.0;
constexpr int kLegendMinTextPixels = 8;

// Where a value of the amplitude axis lies in `widget`'s coordinates.
double amplitudePixel(const SigPlotRt* plot, const QWidget* widget, double value)
{
    const double y = plot->canvasMap(QwtPlot::yLeft).transform(value);
    return y + plot->canvas()->mapTo(widget->window(), QPoint(0, 0)).y() -
           widget->mapTo(widget->window(), QPoint(0, 0)).y();
}

}  // namespace

int SigViewerRt::LegendWidget::widthFor(const QStringList& names)
{
    // Room for the largest dot and the widest name beside it, within reason; a longer name is cut.
    const QFontMetrics metrics(font_);
    int widest = 0;
    widestName_ = 0;
    for (const QString& name : names) {
        widest = std::max(widest, metrics.horizontalAdvance(name));
        widestName_ = std::max(widestName_, name.size());
    }
    const int dots = impedanceMode_ ? 21 : 0;
    return std::clamp(dots + widest + 2, 35, 120);
}

double SigViewerRt::LegendWidget::bandPixels() const
{
    const SigPlotRt* plot = viewer_->plot_;
    return std::fabs(amplitudePixel(plot, this, 0.0) - amplitudePixel(plot, this, viewer_->config_.channelRange));
}

double SigViewerRt::LegendWidget::dotSize() const
{
    // A dot fills its band less a pixel, from the full 18 pixels down to a size that still shows its colour.
    return impedanceMode_ ? std::max(kLegendMinDot, std::min(18.0, std::floor(bandPixels()) - 1.0)) : 0.0;
}

QFont SigViewerRt::LegendWidget::textFont() const
{
    // A number inside its dot takes the dot's size; beside small dots, the smallest legible size; without
    // dots, the legend's own font.
    QFont font = font_;
    const double dot = dotSize();
    if (dot >= kLegendMinDotWithText)
        font.setPixelSize(std::max(kLegendMinTextPixels, static_cast<int>(dot * 0.6)));
    else if (impedanceMode_)
        font.setPixelSize(kLegendMinTextPixels + 1);
    return font;
}

QVector<SigViewerRt::LegendWidget::Item> SigViewerRt::LegendWidget::items() const
{
    QVector<Item> result;
    const double band = bandPixels(), dot = dotSize();
    // Names longer than a number go beside their dots.
    const bool inside = impedanceMode_ && dot >= kLegendMinDotWithText && widestName_ <= 3;
    const double textHeight = inside ? dot : QFontMetricsF(textFont()).height();
    // Numbers that would touch their neighbours are thinned out to every second, third ... channel.
    const int stride = band > 0.0 ? std::max(1, static_cast<int>(std::ceil(textHeight / band - 1e-9))) : 1;
    int shown = 0;
    for (int c = viewer_->config_.channels - 1; c >= 0; --c) {
        if (!viewer_->visible_[c])
            continue;
        const double y = amplitudePixel(viewer_->plot_, this, viewer_->offsets_[c]);
        Item item{c, QRectF(), QRectF()};
        if (impedanceMode_)
            item.dot = QRectF(inside ? 0.0 : 1.0, y - dot / 2, dot, dot);
        // Counted from the top channel, so the first name always shows and the numbers run 01, 11, 21 ...
        if ((viewer_->visibleCount_ - 1 - shown++) % stride == 0) {
            if (inside)
                item.text = item.dot;
            else if (impedanceMode_)
                item.text = QRectF(dot + 3.0, y - textHeight / 2, width() - dot - 3.0, textHeight);
            else
                item.text = QRectF(0.0, y - textHeight / 2, width(), textHeight);
        }
        result.append(item);
    }
    // A name beside a dot, cut by the legend's edge, moves inside; one it would then cover gives way.
    double above = 0.0;
    for (int i = result.size() - 1; i >= 0; --i) {
        QRectF& text = result[i].text;
        if (text.isEmpty() || text == result[i].dot)
            continue;
        text.moveTop(std::max(0.0, std::min(text.top(), height() - text.height())));
        if (text.top() < above)
            text = QRectF();
        else
            above = text.bottom();
    }
    return result;
}

void SigViewerRt::LegendWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QVector<Item> shown = items();
    painter.setFont(textFont());
    for (const Item& item : shown) {
        QColor fill(Qt::transparent);
        if (!item.dot.isEmpty()) {
            const int c = item.channel;
            fill = levelColor(c < static_cast<int>(levels_.size()) ? levels_[c] : 0);
            painter.setPen(pen_);
            painter.setBrush(fill);
            painter.drawEllipse(item.dot);
        }
        if (item.text.isEmpty())
            continue;
        const bool onDot = !item.dot.isEmpty() && item.text.intersects(item.dot);
        painter.setPen(onDot ? QPen(textColourOn(fill)) : pen_);
        painter.drawText(item.text, onDot ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignVCenter,
                         viewer_->config_.channelNames.value(item.channel));
    }
}

void SigViewerRt::LegendWidget::resizeEvent(QResizeEvent*) {}

// Scale bar --------------------------------------------------------------------------------------------------

SigViewerRt::ScaleWidget::ScaleWidget(SigViewerRt* viewer, const QString& unit, const QPen& pen, const QFont& font)
    : QWidget(viewer), viewer_(viewer), unit_(unit), pen_(pen), font_(font)
{
}

void SigViewerRt::ScaleWidget::paintEvent(QPaintEvent*)
{
    if (!viewer_->config_.showScale)
        return;
    const double range = viewer_->config_.channelRange;
    const double h = std::fabs(amplitudePixel(viewer_->plot_, this, 0.0) - amplitudePixel(viewer_->plot_, this, range));
    QPainter painter(this);
    painter.setPen(pen_);
    painter.setFont(font_);
    // One bar per run of channels with the same unit and band, beside the lowest of them.
    for (int c = viewer_->config_.channels - 1; c >= 0; --c) {
        if (!viewer_->visible_[c])
            continue;
        int below = c + 1;
        while (below < viewer_->config_.channels && !viewer_->visible_[below])
            ++below;
        if (below < viewer_->config_.channels && viewer_->units_[below] == viewer_->units_[c] &&
            viewer_->ranges_[below] == viewer_->ranges_[c])
            continue;
        const double y0 = amplitudePixel(viewer_->plot_, this, viewer_->offsets_[c]);
        painter.save();
        painter.drawLine(QPointF(4, y0), QPointF(4, y0 - h));
        painter.drawLine(QPointF(1, y0), QPointF(7, y0));
        painter.drawLine(QPointF(1, y0 - h), QPointF(7, y0 - h));
        for (int k = 1; k <= 3; ++k)
            painter.drawLine(QPointF(2, y0 - k * h / 4), QPointF(6, y0 - k * h / 4));
        // The label runs down from the bar's top; beside a band too thin to hold it, it ends at the bottom.
        const QString label = viewer_->scaleLabel(c);
        const double length = QFontMetricsF(font_).horizontalAdvance(label);
        painter.translate(13, std::max(0.0, std::min(y0 - h, height() - length)));
        painter.rotate(90);
        painter.drawText(QPointF(0, 0), label);
        painter.restore();
    }
}

}  // namespace Vesk
