#include "SigPlotRt.h"

#include "PlotCurve.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include <qwt_painter.h>
#include <qwt_plot_layout.h>
#include <qwt_scale_widget.h>
#include <qwt_text.h>

namespace Vesk {

SigPlotRt::SigPlotRt(const SigPlotRtConfig& config, QWidget* parent) : QwtPlot(parent), config_(config)
{
    setAutoReplot(false);

    auto* canvas = new Canvas(this);
    canvas->setPaintAttribute(QwtPlotCanvas::BackingStore, true);
    canvas->setBorderRadius(0);
    canvas->setFrameStyle(QFrame::NoFrame);
    canvas->setLineWidth(1);
    // Painting straight on screen only ever paid off with Qt 4's X11 paint engine, which Qt 5 does not have.
    setCanvas(canvas);

    QwtPainter::setPolylineSplitting(true);
    plotLayout()->setAlignCanvasToScales(true);
    enableAxis(QwtPlot::yLeft, false);
    setStyleSheet("QwtPlot { padding: 0px }");
    for (int axis = 0; axis < QwtPlot::axisCnt; ++axis)
        plotLayout()->setCanvasMargin(-1, axis);
    plotLayout()->setSpacing(0);

    setCanvasBackground(QBrush(config_.backgroundColor));
    if (!config_.backgroundImage.isEmpty())
        setCanvasBackground(QBrush(QPixmap(config_.backgroundImage)));
    if (!config_.title.isEmpty()) {
        QwtText title(config_.title);
        title.setFont(QFont("Arial", 12));
        setTitle(title);
    }
    canvas->setCursor(Qt::ArrowCursor);
    setMouseTracking(config_.clickable);
    canvas->setMouseTracking(config_.clickable);
}

Canvas* SigPlotRt::plotCanvas() const { return static_cast<Canvas*>(const_cast<QWidget*>(canvas())); }

void SigPlotRt::setAxis(int axis, double min, double max, double step, bool visible)
{
    setAxisScale(axis, min, max, step);
    setAxisFont(axis, QFont("Arial", 7));
    enableAxis(axis, visible);
}

void SigPlotRt::repaintRect(const QRect& rect)
{
    QApplication::sendPostedEvents(this, QEvent::LayoutRequest);
    updateAxes();

    Canvas* c = plotCanvas();
    if (!c->isVisible()) {
        // A plot in a background tab draws nothing now; it is drawn whole when it is shown again.
        c->invalidateBackingStore();
        return;
    }
    const QRect strip = rect & c->contentsRect();
    if (strip.isEmpty())
        return;
    // The canvas keeps its picture in a backing store and only blits it in paint events, so the strip is
    // redrawn into that picture here; a pixmap not yet made (hidden canvas) is drawn whole on first show.
    const QPixmap* store = c->backingStore();
    if (store && !store->isNull() && store->size() == c->size() * store->devicePixelRatio()) {
        QPixmap* picture = const_cast<QPixmap*>(store);
        QPainter painter(picture);
        painter.setClipRect(strip);
        painter.fillRect(strip, c->palette().brush(c->backgroundRole()));
        drawCanvas(&painter);
    }
    c->update(strip);
}

void SigPlotRt::sampleRange(const QwtScaleMap& xMap, double left, double right, int& from, int& to) const
{
    // A pixel and a sample more on each side: the segments that cross the strip's edges, and whole pixel
    // columns at the edges, belong to it too.
    const double t0 = xMap.invTransform(left - 1.0);
    const double t1 = xMap.invTransform(right + 1.0);
    from = std::max(0, static_cast<int>((t0 - config_.margin) * config_.samplingRate) - 1);
    to = std::min(config_.bufferLength - 1, static_cast<int>((t1 + config_.margin) * config_.samplingRate) + 1);
}

bool SigPlotRt::event(QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            emit contextMenu(mouse->globalPos());
            return true;
        }
        if (mouse->button() == Qt::LeftButton && config_.clickable) {
            const int x = canvas()->mapFrom(this, mouse->pos()).x();
            emit mouseClick(static_cast<float>(invTransform(QwtPlot::xBottom, x)));
            return true;
        }
    }
    return QwtPlot::event(event);
}

void SigPlotRt::drawItems(QPainter* painter, const QRectF& canvasRect, const QwtScaleMap maps[axisCnt]) const
{
    const QwtPlotItemList& items = itemList();
    for (QwtPlotItem* item : items) {
        if (!item || !item->isVisible())
            continue;
        painter->save();
        const bool antialiased = item->testRenderHint(QwtPlotItem::RenderAntialiased);
        painter->setRenderHint(QPainter::Antialiasing, antialiased);
        // High-quality antialiasing is part of Antialiasing since Qt 5.14.

        const QwtScaleMap& xMap = maps[item->xAxis()];
        const QwtScaleMap& yMap = maps[item->yAxis()];
        auto* curve = config_.partialRepaint ? dynamic_cast<const Kvn::PlotCurve*>(item) : nullptr;
        if (curve) {
            // Without a clip the whole canvas is being drawn (a replot, a grab).
            const QRectF area = painter->hasClipping() ? painter->clipBoundingRect() : canvasRect;
            int from = 0, to = -1;
            sampleRange(maps[QwtPlot::xBottom], area.left(), area.right(), from, to);
            to = std::min(to, static_cast<int>(curve->dataSize()) - 1);
            if (from <= to)
                curve->drawSeries(painter, xMap, yMap, canvasRect, from, to);
        } else {
            item->draw(painter, xMap, yMap, canvasRect);
        }
        painter->restore();
    }
}

}  // namespace Vesk
