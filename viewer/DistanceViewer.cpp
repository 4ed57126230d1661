#include "DistanceViewer.h"

#include "SigViewerRt.h"

#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace {

// Tests the upper bound first, so a NaN reading shows as the maximum.
double limited(double v, double lo, double hi) { return v < hi ? (v > lo ? v : lo) : hi; }

}  // namespace

DistanceViewer::DistanceViewer(const KvnSignal& signal, QWidget* parent) : SignalViewer(parent)
{
    distances_.push_back(0.0);
    batteries_.push_back(0.0);
    active_.push_back(static_cast<uint8_t>(signal.mode));
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, SIGNAL(customContextMenuRequested(const QPoint&)), this, SLOT(showContextMenu(const QPoint&)));
}

void DistanceViewer::addAnchor(unsigned mode)
{
    distances_.push_back(0.0);
    batteries_.push_back(0.0);
    active_.push_back(static_cast<uint8_t>(mode));
    requestRepaint();
}

void DistanceViewer::setData(const double* data)
{
    const int n = anchorCount();
    const int k = next_;
    if (data && active_[k] > 0) {
        distances_[k] = limited(data[0], 0.0, MAX_DISTANCE);
        batteries_[k] = limited(data[1], 0.0, MAX_BATTERY);
    }
    // Next active anchor; when none is active the search gives up after one round and stays put.
    bool wrapped = false;
    for (int step = 1; step <= n; ++step) {
        const int candidate = (k + step) % n;
        if (k + step >= n)
            wrapped = true;
        if (active_[candidate] != 0) {
            next_ = candidate;
            if (wrapped)
                requestRepaint();
            return;
        }
    }
}

void DistanceViewer::requestRepaint()
{
    ++repaintRequests_;
    update();
}

QString DistanceViewer::cellText(int k) const
{
    if (active_[k] != 1)
        return tr("Anchor not active");
    QString text = tr("Anchor: ") + QString::number(k + 1);
    if (distances_[k] > 0) {
        text += tr("\nDistance: ") + QString::number(distances_[k], 'f', 2) + tr(" m");
        text += tr("\nBattery: ") + QString::number(batteries_[k], 'f', 2) + tr(" V");
    } else {
        text += tr("\nDistance: ") + tr("No data");
        text += tr("\nBattery: ") + tr("No data");
    }
    return text;
}

QRect DistanceViewer::circleRect(int k, int width, int height) const
{
    const int n = anchorCount();
    const int cell = width / n;
    const int maximum = std::min(cell, height);
    const int d = static_cast<int>(std::ceil(maximum * 0.9 * distances_[k] / scale_));
    return QRect(k * cell + cell / 2 - d / 2, height / 2 - d / 2, d, d);
}

void DistanceViewer::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int n = anchorCount();
    const int w = width(), h = height();
    painter.fillRect(rect(), QColor("black"));
    QFont font("roboto");
    font.setPointSize(14);
    painter.setFont(font);
    const QPen white(QColor("white"));
    const int cell = w / n;
    for (int k = 0; k < n; ++k) {
        const QRect cellRect(k * cell, 0, cell, h);
        const QString text = cellText(k);
        if (!(active_[k] == 1 && distances_[k] > 0)) {
            painter.setPen(white);
            painter.drawText(cellRect, Qt::AlignHCenter | Qt::AlignVCenter, text);
            continue;
        }
        const QColor colour(255, 128, k * 255 / n);
        painter.setPen(colour);
        painter.setBrush(QBrush(colour, Qt::SolidPattern));
        const QRect circle = circleRect(k, w, h);
        painter.drawEllipse(circle);
        // The text crosses the circle's edge: over the fill in the colour that reads on it, white elsewhere.
        QPainterPath inside;
        inside.addEllipse(circle);
        QPainterPath outside;
        outside.addRect(cellRect);
        outside = outside.subtracted(inside);
        painter.save();
        painter.setClipPath(outside);
        painter.setPen(white);
        painter.drawText(cellRect, Qt::AlignHCenter | Qt::AlignVCenter, text);
        painter.setClipPath(inside);
        painter.setPen(Vesk::textColourOn(colour));
        painter.drawText(cellRect, Qt::AlignHCenter | Qt::AlignVCenter, text);
        painter.restore();
    }
}

void DistanceViewer::enlargeScale()
{
    scale_ = std::min(scale_ / 1.25, MAX_DISTANCE);
    requestRepaint();
}

void DistanceViewer::reduceScale()
{
    scale_ = std::min(scale_ * 1.25, MAX_DISTANCE);
    requestRepaint();
}

void DistanceViewer::showContextMenu(const QPoint& pos)
{
    QMenu menu(tr("Context menu"), this);
    menu.addAction(tr("Enlarge scale"), this, SLOT(enlargeScale()));
    menu.addAction(tr("Reduce scale"), this, SLOT(reduceScale()));
    menu.exec(mapToGlobal(pos));
}
