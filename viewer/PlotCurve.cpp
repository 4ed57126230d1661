#include "PlotCurve.h"

#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <qwt_clipper.h>
#include <qwt_painter.h>
#include <qwt_point_data.h>
#include <qwt_scale_map.h>

namespace Kvn {

PlotCurve::PlotCurve(bool nanSplitting) : nanSplitting_(nanSplitting) {}

void PlotCurve::drawLines(QPainter* painter, const QwtScaleMap& xMap, const QwtScaleMap& yMap,
                          const QRectF& canvasRect, int from, int to) const
{
    const auto* raw = dynamic_cast<const QwtCPointerData*>(data());
    if (!nanSplitting_ || !raw || from > to || testCurveAttribute(Fitted) || brush().style() != Qt::NoBrush ||
        !QwtPainter::roundingAlignment(painter)) {
        QwtPlotCurve::drawLines(painter, xMap, yMap, canvasRect, from, to);
        return;
    }
    const double* xs = raw->xData();
    const double* ys = raw->yData();
    const double pw = std::max(1.0, painter->pen().widthF());
    const QRectF clip = canvasRect.adjusted(-pw, -pw, pw, pw);
    bool outside = false;

    points_.resize(0);
    struct Pick {
        int index;
        double y;
    };
    int column = INT_MIN;
    Pick first{}, low{}, high{}, last{};
    auto flush = [&] {
        Pick picks[4] = {first, low, high, last};
        std::sort(picks, picks + 4, [](const Pick& a, const Pick& b) { return a.index < b.index; });
        for (int k = 0; k < 4; ++k) {
            if (k > 0 && picks[k].index == picks[k - 1].index)
                continue;
            const double y = qRound(picks[k].y);
            outside = outside || y < clip.top() || y > clip.bottom();
            points_.append(QPointF(column, y));
        }
    };
    // Values beyond the plot's range are drawn at its edge (a little past it, for the clipper to cut): mapped
    // as they are, 1e300 gives no pixel position that rounding or the clipper can use.
    const double span = std::fabs(yMap.s2() - yMap.s1());
    const double yLow = std::min(yMap.s1(), yMap.s2()) - span, yHigh = std::max(yMap.s1(), yMap.s2()) + span;
    for (int i = from; i <= to; ++i) {
        const double px = xMap.transform(xs[i]);
        if (std::isnan(ys[i]) || !(std::fabs(px) < 1e9))
            continue;
        double py = yMap.transform(std::max(yLow, std::min(yHigh, ys[i])));
        if (!std::isfinite(py))
            continue;
        // A trace zoomed far off the canvas stays where pixel rounding is defined; the clipper cuts it.
        py = std::max(-1e9, std::min(1e9, py));
        const int c = qRound(px);
        const Pick pick{i, py};
        if (c != column) {
            if (column != INT_MIN)
                flush();
            column = c;
            first = low = high = last = pick;
            continue;
        }
        if (py < low.y)
            low = pick;
        if (py > high.y)
            high = pick;
        last = pick;
    }
    if (column != INT_MIN)
        flush();
    if (points_.size() < 2)
        return;
    if (outside && testPaintAttribute(ClipPolygons))
        QwtPainter::drawPolyline(painter, QwtClipper::clipPolygonF(clip, points_));
    else
        QwtPainter::drawPolyline(painter, points_);
}

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
        // The viewers' curves point at their buffers: read them there rather than a sample at a time.
        const auto* raw = dynamic_cast<const QwtCPointerData*>(series);
        const double* ys = raw ? raw->yData() : nullptr;
        int runStart = -1;
        for (int i = from; i <= to; ++i) {
            const bool missing = std::isnan(ys ? ys[i] : series->sample(static_cast<size_t>(i)).y());
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
