#pragma once

#include <QColor>
#include <QString>
#include <qwt_plot.h>
#include <qwt_plot_canvas.h>
#include <qwt_scale_map.h>

namespace Vesk {

struct SigPlotRtConfig {
    QString title;
    QColor backgroundColor;
    QString backgroundImage;
    bool clickable = false;
    bool partialRepaint = true;
    int samplingRate = 1;
    int bufferLength = 0;  // samples in each curve's data
    int margin = 1;        // seconds drawn on each side of a repainted strip
};

class Canvas : public QwtPlotCanvas {
    Q_OBJECT
public:
    explicit Canvas(QwtPlot* plot = nullptr) : QwtPlotCanvas(plot) {}
};

// A plot for sweeping traces: the owner repaints narrow strips instead of replotting, and with partial
// repaint the curves draw only the samples that fall into the strip being repainted.
class SigPlotRt : public QwtPlot {
    Q_OBJECT
public:
    explicit SigPlotRt(const SigPlotRtConfig& config, QWidget* parent = nullptr);

    const SigPlotRtConfig& config() const { return config_; }
    Canvas* plotCanvas() const;

    void setAxis(int axis, double min, double max, double step, bool visible);
    // Redraws only the given canvas rectangle; the rest of the canvas keeps its pixels.
    void repaintRect(const QRect& rect);

    // Range of samples a curve draws for a repaint between canvas x positions left and right.
    void sampleRange(const QwtScaleMap& xMap, double left, double right, int& from, int& to) const;

signals:
    void contextMenu(const QPoint& globalPos);
    void mouseClick(float value);

protected:
    bool event(QEvent* event) override;
    void drawItems(QPainter* painter, const QRectF& canvasRect, const QwtScaleMap maps[axisCnt]) const override;

private:
    SigPlotRtConfig config_;
};

}  // namespace Vesk
