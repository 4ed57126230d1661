// The real-time plot and its NaN-splitting curve.
#include <PlotCurve.h>
#include <SigPlotRt.h>

#include <QtTest>
#include <QtWidgets>
#include <cmath>
#include <random>
#include <qwt_scale_map.h>

using Range = std::pair<int, int>;

namespace {

// Records the runs of samples the curve draws as lines.
class RecordingCurve : public Kvn::PlotCurve {
public:
    mutable std::vector<Range> lines;

protected:
    void drawLines(QPainter* p, const QwtScaleMap& x, const QwtScaleMap& y, const QRectF& r, int from,
                   int to) const override
    {
        lines.emplace_back(from, to);
        Kvn::PlotCurve::drawLines(p, x, y, r, from, to);
    }
};

// Samples 0..n-1 across a picture `width` wide; the trace leaves the picture past +-yRange.
QImage drawInto(QwtPlotCurve& curve, const std::vector<double>& y, int width, double yRange, Range drawn)
{
    std::vector<double> x(y.size());  // the curve keeps only a pointer, used within this call
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = double(i);
    curve.setRawSamples(x.data(), y.data(), int(y.size()));
    const QSize size(width, 200);
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QwtScaleMap xMap, yMap;
    xMap.setPaintInterval(0, size.width());
    xMap.setScaleInterval(0, double(y.size()));
    yMap.setPaintInterval(size.height(), 0);
    yMap.setScaleInterval(-yRange, yRange);
    curve.drawSeries(&painter, xMap, yMap, QRectF(QPointF(0, 0), size), drawn.first, drawn.second);
    return image;
}

}  // namespace

class PlotTest : public QObject {
    Q_OBJECT

private slots:
    void nanSplitting_data()
    {
        using Runs = std::vector<Range>;
        QTest::addColumn<std::vector<double>>("y");
        QTest::addColumn<Range>("drawn");
        QTest::addColumn<Runs>("runs");
        const double n = NAN;
        const std::vector<double> gap{1, 2, n, 4, 5, 6, 7};
        QTest::newRow("no NaN") << std::vector<double>{1, 2, 3, 4} << Range(0, 3) << Runs{{0, 3}};
        QTest::newRow("all NaN") << std::vector<double>{n, n, n} << Range(0, 2) << Runs{};
        QTest::newRow("one in the middle") << gap << Range(0, 6) << Runs{{0, 1}, {3, 6}};
        QTest::newRow("edges, doubles") << std::vector<double>{n, 1, 2, n, n, 3, n} << Range(0, 6) << Runs{{1, 2}, {5, 5}};
        QTest::newRow("part of the range") << gap << Range(1, 4) << Runs{{1, 1}, {3, 4}};
        QTest::newRow("one sample") << gap << Range(3, 3) << Runs{{3, 3}};
    }

    void nanSplitting()
    {
        QFETCH(std::vector<double>, y);
        QFETCH(Range, drawn);
        RecordingCurve curve;
        drawInto(curve, y, 100, 10, drawn);
        QTEST(curve.lines, "runs");
    }

    void denseTraceLooksTheSameAsQwtDrawsIt()
    {
        // 6000 samples over 300 pixels: the per-column extremes must give Qwt's own picture.
        std::vector<double> y(6000);
        std::mt19937 rng(5);
        std::normal_distribution<double> noise(0.0, 1.5);
        for (int i = 0; i < 6000; ++i)
            y[i] = 4.0 * std::sin(i / 300.0) + noise(rng);
        Kvn::PlotCurve ours(true);
        QwtPlotCurve theirs;
        for (QwtPlotCurve* curve : {static_cast<QwtPlotCurve*>(&ours), &theirs}) {
            curve->setPen(QPen(Qt::white, 1.0));
            curve->setRenderHint(QwtPlotItem::RenderAntialiased, true);
            curve->setPaintAttribute(QwtPlotCurve::ClipPolygons, true);
        }
        const QImage a = drawInto(ours, y, 300, 7, {0, 5999}), b = drawInto(theirs, y, 300, 7, {0, 5999});
        int differing = 0, lit = 0;
        for (int py = 0; py < 200; ++py)
            for (int px = 0; px < 300; ++px) {
                differing += std::abs(qGray(a.pixel(px, py)) - qGray(b.pixel(px, py))) > 64;
                lit += qGray(b.pixel(px, py)) > 64;
            }
        QVERIFY(lit > 1000);
        QVERIFY2(differing < lit / 50, qPrintable(QString("%1 of %2").arg(differing).arg(lit)));
    }

    void rightReleaseAsksForTheMenuAndRangesStayInTheBuffer()
    {
        Vesk::SigPlotRtConfig config;
        config.samplingRate = 100;
        config.bufferLength = 1500;
        Vesk::SigPlotRt plot(config);
        QSignalSpy menu(&plot, SIGNAL(contextMenu(const QPoint&)));
        QMouseEvent right(QEvent::MouseButtonRelease, QPointF(10, 10), QPointF(110, 210), Qt::RightButton,
                          Qt::NoButton, Qt::NoModifier);
        QVERIFY(static_cast<QObject&>(plot).event(&right));
        QCOMPARE(menu.at(0).at(0).toPoint(), QPoint(110, 210));

        // Which samples a strip draws is checked on screen by the screenshot test; here only the edges.
        QwtScaleMap map;
        map.setPaintInterval(0, 500);
        map.setScaleInterval(0, 5.0);  // a pixel is 10 ms
        int from = -1, to = -1;
        plot.sampleRange(map, map.transform(14.5), map.transform(15.0), from, to);
        QCOMPARE(to, 1499);
        plot.sampleRange(map, 0, map.transform(0.5), from, to);
        QVERIFY(from == 0 && std::abs(to - 150) <= 3);  // the strip plus a second's margin
    }
};

Q_DECLARE_METATYPE(std::vector<double>)
Q_DECLARE_METATYPE(std::vector<Range>)
Q_DECLARE_METATYPE(Range)

QTEST_MAIN(PlotTest)
#include "test_plot.moc"
