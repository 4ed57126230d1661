#pragma once

#include <QPolygonF>
#include <qwt_plot_curve.h>

namespace Kvn {

// A curve that can break its trace at missing (NaN) samples instead of drawing a line through them.
class PlotCurve : public QwtPlotCurve {
public:
    explicit PlotCurve(bool nanSplitting = true);

    bool nanSplitting() const { return nanSplitting_; }

protected:
    // Traces denser than the pixels are drawn through each pixel column's first, lowest, highest and last
    // sample, which gives the same picture from a fraction of the points.
    void drawLines(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap, const QRectF& canvasRect,
                   int from, int to) const override;
    void drawCurve(QPainter* painter, int style, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                   const QRectF& canvasRect, int from, int to) const override;

private:
    const bool nanSplitting_;
    mutable QPolygonF points_;  // reused between paints
};

}  // namespace Kvn
