#pragma once

#include "BioSensorFilter.h"
#include "ProcessWidget.h"

#include <DataBlock.h>
#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QPen>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>
#include <vector>

class QAction;
class QCloseEvent;
class QPushButton;
class QTimer;
class QwtPlotMarker;
class EegImpedances;
class MkfilterWrapper;

namespace Kvn {
class PlotCurve;
}

namespace Vesk {

class SigPlotRt;
class SigChannelsDialog;
class SigFiltersDialog;

struct SigViewerRtConfig {
    int channels = 1;
    int samplesPerBlock = 1;
    int samplingRate = 1;
    double secondsShown = 7.0;
    double channelRange = 1.0;  // height of one channel's band, in the signal's unit
    bool showTimeAxis = false;
    bool showScale = true;
    bool showLegend = true;
    bool showZoomButtons = true;
    bool channelSelection = true;
    bool partialRepaint = true;
    bool eegImpedances = false;
    int eegSensorType = 0;
    QString deviceVersion;
    QPen curvePen = QPen(QColor(225, 225, 225), 1.0);
    QPen markerPen = QPen(QColor(Qt::black), 2.0);  // part of the record, never drawn
    QPen cursorPen = QPen(QColor(Qt::white), 2.0);
    QPen baselinePen = QPen(QColor(Qt::gray), 1.0);
    QPen scalePen = QPen(QColor(Qt::black), 1.0);
    QColor backgroundColor = QColor(51, 49, 50);
    QString backgroundImage;
    QString title;
    QString unit;
    QVector<int> channelIndices;  // shown at start; empty means all
    QStringList channelNames;     // empty means 01, 02, ...
    std::vector<BioSensor::BioSensorFilter> defaultFilters;
    // Channels that measure different things (an IMU's axes) each have their own unit and band height; empty
    // means `unit` and `channelRange` for every channel.
    QStringList channelUnits;
    QVector<double> channelRanges;
    // Display only: each channel is drawn around its own running mean, so a standing offset (gravity, the
    // earth's field, a skin conductance level) cannot push the trace out of its band.
    bool centreChannels = false;
};

// A scale bar's text: `value` in `unit` with the SI prefix that reads best for the units that have one
// ("160uV", "2uS", "20uT"), else the plain number and the unit ("8 m/s²").
QString formatScaleLabel(double value, const QString& unit);
// Black or white, whichever stands out more on `fill`.
QColor textColourOn(const QColor& fill);

// v (in `unit`, scaled by `factor`) with an SI prefix: 160 microvolts as (160, "V", 1e-6) gives "160uV".
QString formatScaleValue(double v, const QString& unit, double factor);

// Stacked traces of one signal, written in place like an oscilloscope sweep.
class SigViewerRt : public ProcessWidget {
    Q_OBJECT
public:
    class LegendWidget;
    class ScaleWidget;

    explicit SigViewerRt(const SigViewerRtConfig& config, QWidget* parent = nullptr);
    ~SigViewerRt() override;

    void process(const double* data, bool channelMajor) override;

    const SigViewerRtConfig& config() const { return config_; }
    int windowLength() const { return windowLength_; }
    int rowLength() const { return rowLength_; }
    int writePosition() const { return writePos_; }
    double currentSeconds() const { return seconds_; }
    double amplitudeFactor() const { return amplitude_; }
    bool atMinimumSeconds() const { return atMinSeconds_; }
    bool atMaximumSeconds() const { return atMaxSeconds_; }
    double offset(int channel) const { return offsets_[channel]; }
    const double* row(int channel) const { return buffer_.data() + static_cast<size_t>(channel) * rowLength_; }
    bool isChannelVisible(int channel) const { return visible_[channel]; }
    bool isChannelAttached(int channel) const { return attached_[channel]; }
    int visibleCount() const { return visibleCount_; }
    QVector<int> visibleChannels() const;
    const std::vector<BioSensor::BioSensorFilter>& filters() const { return filters_; }
    const std::vector<int>& impedanceLevels() const { return levels_; }
    QString scaleLabel() const;
    // The scale bar's text for the unit and band height of `channel`.
    QString scaleLabel(int channel) const;
    const QString& unitOf(int channel) const { return units_[channel]; }
    double rangeOf(int channel) const { return ranges_[channel]; }
    double cursorTime() const;
    // Blocks come faster than a screen shows them: the new strips are drawn together once per frame.
    bool pacesRepaints() const { return paced_; }
    static constexpr int kFrameMilliseconds = 16;
    // Frames drawn since the viewer was made (strips for new samples, or whole replots), and whether samples
    // received wait for the next frame.
    long framesDrawn() const { return framesDrawn_; }
    bool framePending() const { return pendingSamples_ > 0; }
    // Draws what waits for the next frame now.
    void drawPendingFrame();

    SigPlotRt* plot() const { return plot_; }
    Kvn::PlotCurve* curve(int channel) const { return curves_[channel]; }
    SigFiltersDialog* filtersDialog() const { return filtersDialog_; }
    SigChannelsDialog* channelsDialog() const { return channelsDialog_; }
    LegendWidget* legend() const { return legend_; }
    ScaleWidget* scale() const { return scale_; }
    // The context menu's actions, enabled as the menu would show them.
    QList<QAction*> contextMenuActions();

signals:
    void reducedScaleX();
    void enlargedScaleX();
    void enabledChans(QVector<int> chans);

public slots:
    virtual void reset() override;
    virtual void enlargeScaleX();
    virtual void reduceScaleX();
    virtual void enlargeScaleY();
    virtual void reduceScaleY();
    void closeEvent(QCloseEvent* event) override;

private slots:
    void _configChannels();
    void _configFilters();
    void _contextMenu(const QPoint& p);
    void _enlargeScaleX();
    void _reduceScaleX();
    void _modifyViewingChannels(QVector<bool> chans);
    void _setVisFilters(std::vector<BioSensor::BioSensorFilter> newFilters);

private:
    void layoutChannels();
    void setSeconds(double seconds);
    void scaleAmplitude(double factor);
    void filterBlock(const double* data, bool channelMajor);
    void repaintSamples(int first, int last);
    void drawNewSamples();
    void replot();
    void updateActionStates();

    SigViewerRtConfig config_;
    int windowLength_ = 0;
    int rowLength_ = 0;
    std::vector<double> time_;
    std::vector<double> buffer_;  // channels rows of rowLength_ values
    std::vector<double> offsets_;
    std::vector<bool> visible_;
    std::vector<bool> attached_;
    int visibleCount_ = 0;
    double seconds_ = 0.0;
    double amplitude_ = 1.0;
    int writePos_ = 0;
    int lastRepainted_ = 0;
    bool atMinSeconds_ = false;
    bool paced_ = false;
    QTimer* frameTimer_ = nullptr;
    QElapsedTimer sinceFrame_;
    long pendingSamples_ = 0;  // written since the last frame
    long framesDrawn_ = 0;
    bool atMaxSeconds_ = false;

    SigPlotRt* plot_ = nullptr;
    QwtPlotMarker* cursor_ = nullptr;
    std::vector<Kvn::PlotCurve*> curves_;
    std::vector<QwtPlotMarker*> baselines_;
    SigChannelsDialog* channelsDialog_ = nullptr;
    SigFiltersDialog* filtersDialog_ = nullptr;
    LegendWidget* legend_ = nullptr;
    ScaleWidget* scale_ = nullptr;
    QPushButton* zoomIn_ = nullptr;
    QPushButton* zoomOut_ = nullptr;

    QAction* lessSeconds_ = nullptr;
    QAction* moreSeconds_ = nullptr;
    QAction* enlargeSignal_ = nullptr;
    QAction* reduceSignal_ = nullptr;
    QAction* selectChannels_ = nullptr;
    QAction* filterSettings_ = nullptr;

    std::unique_ptr<MkfilterWrapper> notch_;
    std::unique_ptr<MkfilterWrapper> other_;
    DataBlock in_, middle_, out_;
    // Samples no display can show (not finite, or a million channel heights away): the filters get the
    // channel's last drawable sample instead, so one wild value neither rings through nor poisons them, and
    // the trace has a gap there. The record and the streams keep the true value.
    std::vector<double> lastDrawable_;
    std::vector<char> undrawable_;  // per channel and sample of the block being processed
    std::vector<BioSensor::BioSensorFilter> filters_;

    std::unique_ptr<EegImpedances> impedances_;
    std::vector<int> levels_;

    // Per channel: unit, band height in that unit, the factor that maps it onto the common band, and the
    // running mean a centred channel is drawn around (with the number of samples it has seen so far).
    QStringList units_;
    std::vector<double> ranges_;
    std::vector<double> gains_;
    std::vector<double> centres_;
    std::vector<long> centreCounts_;
    std::vector<double> centred_;  // the block being processed, less each channel's mean
    const double* centred(const double* data, bool channelMajor);
    void applyGains();
};

class SigViewerRt::LegendWidget : public QWidget {
public:
    explicit LegendWidget(SigViewerRt* viewer, const QPen& pen, const QFont& font);

    void setImpedanceMode(bool on) { impedanceMode_ = on; }
    bool impedanceMode() const { return impedanceMode_; }
    void setLevels(const std::vector<int>& levels) { levels_ = levels; }
    static QColor levelColor(int level);

    // Where the legend draws a channel's impedance dot (empty without impedances) and its number (empty
    // when the bands are too dense for every number, then every second, third ... one is shown).
    struct Item {
        int channel;
        QRectF dot;
        QRectF text;
    };
    QVector<Item> items() const;
    QFont textFont() const;
    double bandPixels() const;
    double dotSize() const;
    // The width that shows these channel names (set the impedance mode first); remembers the longest.
    int widthFor(const QStringList& names);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    SigViewerRt* viewer_;
    QPen pen_;
    QFont font_;
    bool impedanceMode_ = false;
    std::vector<int> levels_;
    int widestName_ = 0;  // characters
};

class SigViewerRt::ScaleWidget : public QWidget {
public:
    ScaleWidget(SigViewerRt* viewer, const QString& unit, const QPen& pen, const QFont& font);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    SigViewerRt* viewer_;
    QString unit_;
    QPen pen_;
    QFont font_;
};

}  // namespace Vesk
