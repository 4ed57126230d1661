#include "PlotCurve.h"

#include <cmath>

namespace Kvn {

PlotCurve::PlotCurve(bool nanSplitting) : nanSplitting_(nanSplitting) {}

void PlotCurve::drawCurve(QPainter* painter, int style, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                          const QRectF& canvasRect, int from, int to) const
{
    if (!nanSplitting_) {
        QwtPlotCurve::drawCurve(painter, style, xMap, yMap, canvasRect, from, to);
        return;
    }
    if (from > to)
        return;

    switch (style) {
    case Lines: {
        if (testCurveAttribute(Fitted)) {
            from = 0;
            to = static_cast<int>(dataSize()) - 1;
        }
        const QwtSeriesData<QPointF>* series = data();
        int runStart = -1;
        for (int i = from; i <= to; ++i) {
            const bool missing = std::isnan(series->sample(static_cast<size_t>(i)).y());
            if (missing) {
                if (runStart >= 0)
                    drawLines(painter, xMap, yMap, canvasRect, runStart, i - 1);
                runStart = -1;
            } else if (runStart < 0) {
                runStart = i;
            }
        }
        if (runStart >= 0)
            drawLines(painter, xMap, yMap, canvasRect, runStart, to);
        break;
    }
    case Sticks:
        drawSticks(painter, xMap, yMap, canvasRect, from, to);
        break;
    case Steps:
        drawSteps(painter, xMap, yMap, canvasRect, from, to);
        break;
    case Dots:
        drawDots(painter, xMap, yMap, canvasRect, from, to);
        break;
    default:
        break;
    }
}

}  // namespace Kvn
