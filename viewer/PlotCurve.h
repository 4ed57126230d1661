#pragma once

#include <qwt_plot_curve.h>

namespace Kvn {

// A curve that can break its trace at missing (NaN) samples instead of drawing a line through them.
class PlotCurve : public QwtPlotCurve {
public:
    explicit PlotCurve(bool nanSplitting = true);

    bool nanSplitting() const { return nanSplitting_; }

protected:
    void drawCurve(QPainter* painter, int style, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                   const QRectF& canvasRect, int from, int to) const override;

private:
    const bool nanSplitting_;
};

}  // namespace Kvn
