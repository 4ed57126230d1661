// The viewer base classes, the real-time plot and its NaN-splitting curve.
#include <PlotCurve.h>
#include <SigPlotRt.h>
#include <SignalViewer.h>

#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>
#include <cmath>
#include <limits>
#include <random>
#include <qwt_scale_map.h>
#include <utility>
#include <vector>

using Range = std::pair<int, int>;

namespace {

// The interface stays free of a meta-object of its own; the painted base has one.
static_assert(!QtPrivate::HasQ_OBJECT_Macro<ProcessWidget>::Value, "ProcessWidget is not a Q_OBJECT");
static_assert(QtPrivate::HasQ_OBJECT_Macro<SignalViewer>::Value, "SignalViewer is a Q_OBJECT");

class RecordingViewer : public SignalViewer {
public:
    std::vector<const double*> received;

    void setData(const double* data) override { received.push_back(data); }
};

class PlainViewer : public SignalViewer {};

class RecordingCurve : public Kvn::PlotCurve {
public:
    mutable std::vector<Range> series;
    mutable std::vector<Range> lines;

    void drawSeries(QPainter* p, const QwtScaleMap& x, const QwtScaleMap& y, const QRectF& r, int from,
                    int to) const override
    {
        series.emplace_back(from, to);
        Kvn::PlotCurve::drawSeries(p, x, y, r, from, to);
    }

protected:
    void drawLines(QPainter* p, const QwtScaleMap& x, const QwtScaleMap& y, const QRectF& r, int from,
                   int to) const override
    {
        lines.emplace_back(from, to);
        Kvn::PlotCurve::drawLines(p, x, y, r, from, to);
    }
};

const double NaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

class PlotTest : public QObject {
    Q_OBJECT

    std::vector<Range> drawnRuns(const std::vector<double>& y, int from, int to)
    {
        std::vector<double> x(y.size());
        for (size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<double>(i);
        RecordingCurve curve;
        curve.setRawSamples(x.data(), y.data(), static_cast<int>(y.size()));
        QImage image(100, 100, QImage::Format_ARGB32);
        QPainter painter(&image);
        QwtScaleMap xMap, yMap;
        xMap.setPaintInterval(0, 100);
        xMap.setScaleInterval(0, static_cast<double>(y.size()));
        yMap.setPaintInterval(100, 0);
        yMap.setScaleInterval(-10, 10);
        curve.drawSeries(&painter, xMap, yMap, QRectF(0, 0, 100, 100), from, to);
        return curve.lines;
    }

private slots:
    void signalViewerForwardsEveryBlockWhateverTheLayout()
    {
        RecordingViewer viewer;
        const double a[2] = {1, 2}, b[2] = {3, 4};
        ProcessWidget& base = viewer;
        base.process(a, false);
        base.process(b, true);
        QCOMPARE(viewer.received.size(), size_t(2));
        QCOMPARE(viewer.received[0], a);
        QCOMPARE(viewer.received[1], b);

        PlainViewer plain;
        plain.process(a, false);  // default setData and reset do nothing, and must not crash
        plain.reset();
        QVERIFY(!plain.isVisible());
    }

    void nanSplitting_data()
    {
        QTest::addColumn<std::vector<double>>("y");
        QTest::addColumn<std::vector<Range>>("runs");
        QTest::newRow("no NaN") << std::vector<double>{1, 2, 3, 4} << std::vector<Range>{{0, 3}};
        QTest::newRow("all NaN") << std::vector<double>{NaN, NaN, NaN} << std::vector<Range>{};
        QTest::newRow("one in the middle") << std::vector<double>{1, 2, NaN, 4, 5}
                                           << std::vector<Range>{{0, 1}, {3, 4}};
        QTest::newRow("edges and doubles") << std::vector<double>{NaN, 1, 2, NaN, NaN, 3, NaN}
                                           << std::vector<Range>{{1, 2}, {5, 5}};
    }

    void nanSplitting()
    {
        QFETCH(std::vector<double>, y);
        QFETCH(std::vector<Range>, runs);
        QCOMPARE(drawnRuns(y, 0, static_cast<int>(y.size()) - 1), runs);
    }

    void nanSplittingKeepsToTheRequestedRange()
    {
        const std::vector<double> y{1, 2, NaN, 4, 5, 6, 7};
        QCOMPARE(drawnRuns(y, 1, 4), (std::vector<Range>{{1, 1}, {3, 4}}));
        QCOMPARE(drawnRuns(y, 3, 3), (std::vector<Range>{{3, 3}}));
    }

    void denseTraceLooksTheSameAsQwtDrawsIt()
    {
        // 6000 samples over 300 pixels: the per-column extremes must give Qwt's own picture.
        std::vector<double> x(6000), y(6000);
        std::mt19937 rng(5);
        std::normal_distribution<double> noise(0.0, 1.5);
        for (int i = 0; i < 6000; ++i) {
            x[i] = i / 1000.0;
            y[i] = 4.0 * std::sin(i / 300.0) + noise(rng);
        }
        auto render = [&](QwtPlotCurve& curve) {
            curve.setRawSamples(x.data(), y.data(), 6000);
            curve.setPen(QPen(Qt::white, 1.0));
            curve.setRenderHint(QwtPlotItem::RenderAntialiased, true);
            curve.setPaintAttribute(QwtPlotCurve::ClipPolygons, true);
            QImage image(300, 200, QImage::Format_RGB32);
            image.fill(Qt::black);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing, true);
            QwtScaleMap xMap, yMap;
            xMap.setPaintInterval(0, 300);
            xMap.setScaleInterval(0, 6.0);
            yMap.setPaintInterval(200, 0);
            yMap.setScaleInterval(-12, 12);  // part of the trace leaves the canvas through the clipper
            curve.drawSeries(&painter, xMap, yMap, QRectF(0, 0, 300, 150), 0, 5999);
            return image;
        };
        Kvn::PlotCurve ours(true);
        QwtPlotCurve theirs;
        const QImage a = render(ours), b = render(theirs);
        int differing = 0, lit = 0;
        for (int py = 0; py < 200; ++py)
            for (int px = 0; px < 300; ++px) {
                differing += std::abs(qGray(a.pixel(px, py)) - qGray(b.pixel(px, py))) > 64;
                lit += qGray(b.pixel(px, py)) > 64;
            }
        QVERIFY(lit > 1000);
        QVERIFY2(differing < lit / 50, qPrintable(QString("%1 of %2").arg(differing).arg(lit)));
    }

    void rightReleaseIsConsumedAsContextMenu()
    {
        Vesk::SigPlotRtConfig config;
        config.samplingRate = 100;
        config.bufferLength = 300;
        Vesk::SigPlotRt plot(config);
        plot.resize(300, 200);
        QSignalSpy menu(&plot, SIGNAL(contextMenu(const QPoint&)));
        QSignalSpy click(&plot, SIGNAL(mouseClick(float)));

        QMouseEvent right(QEvent::MouseButtonRelease, QPointF(10, 10), QPointF(110, 210), Qt::RightButton,
                          Qt::NoButton, Qt::NoModifier);
        QVERIFY(static_cast<QObject&>(plot).event(&right));
        QCOMPARE(menu.count(), 1);
        QCOMPARE(menu.at(0).at(0).toPoint(), QPoint(110, 210));

        // Not clickable: the left button is left to Qwt.
        QMouseEvent left(QEvent::MouseButtonRelease, QPointF(10, 10), QPointF(110, 210), Qt::LeftButton,
                         Qt::NoButton, Qt::NoModifier);
        static_cast<QObject&>(plot).event(&left);
        QCOMPARE(click.count(), 0);
    }

    void leftReleaseReportsTheTimeWhenClickable()
    {
        Vesk::SigPlotRtConfig config;
        config.clickable = true;
        config.samplingRate = 100;
        config.bufferLength = 1000;
        Vesk::SigPlotRt plot(config);
        plot.setAxis(QwtPlot::xBottom, 0.0, 10.0, 1.0, true);
        plot.resize(400, 200);
        plot.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plot));
        QVERIFY(plot.hasMouseTracking());
        QSignalSpy click(&plot, SIGNAL(mouseClick(float)));
        const QWidget* canvas = plot.canvas();
        const int x = static_cast<int>(plot.canvasMap(QwtPlot::xBottom).transform(4.0));
        const QPoint pos = canvas->mapTo(&plot, QPoint(x, 10));
        QMouseEvent left(QEvent::MouseButtonRelease, pos, plot.mapToGlobal(pos), Qt::LeftButton, Qt::NoButton,
                         Qt::NoModifier);
        QVERIFY(static_cast<QObject&>(plot).event(&left));
        QCOMPARE(click.count(), 1);
        QVERIFY(std::fabs(click.at(0).at(0).toFloat() - 4.0f) < 0.05f);
    }

    void partialRepaintDrawsOnlyTheStripPlusMargin()
    {
        Vesk::SigPlotRtConfig config;
        config.partialRepaint = true;
        config.samplingRate = 100;
        config.bufferLength = 1500;  // 15 s of rows; 5 s shown
        config.margin = 1;
        Vesk::SigPlotRt plot(config);
        plot.setAxis(QwtPlot::xBottom, 0.0, 5.0, 1.0, false);
        plot.setAxis(QwtPlot::yLeft, 0.0, 2.0, 1.0, false);
        std::vector<double> x(1500), y(1500, 1.0);
        for (int i = 0; i < 1500; ++i)
            x[i] = i / 100.0;
        auto* curve = new RecordingCurve;
        curve->setRawSamples(x.data(), y.data(), 500);
        curve->attach(&plot);
        plot.resize(500, 200);
        plot.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plot));
        plot.replot();
        QCoreApplication::processEvents();
        QVERIFY(!curve->series.empty());
        QCOMPARE(curve->series.back(), Range(0, 499));  // a full replot draws every shown sample

        const QwtScaleMap map = plot.canvasMap(QwtPlot::xBottom);
        auto pixel = [&](double t) { return static_cast<int>(map.transform(t)); };

        curve->series.clear();
        plot.repaintRect(QRect(QPoint(0, 0), QPoint(pixel(0.5), 100)));
        QCOMPARE(curve->series.size(), size_t(1));
        QCOMPARE(curve->series[0].first, 0);
        QVERIFY(std::abs(curve->series[0].second - 150) <= 3);

        curve->series.clear();
        plot.repaintRect(QRect(QPoint(pixel(2.0), 0), QPoint(pixel(2.5), 100)));
        QCOMPARE(curve->series.size(), size_t(1));
        QVERIFY(std::abs(curve->series[0].first - 100) <= 3);
        QVERIFY(std::abs(curve->series[0].second - 350) <= 3);

        // At the end of the axis the range stops at the last sample the curve holds.
        curve->series.clear();
        plot.repaintRect(QRect(QPoint(pixel(4.8), 0), QPoint(plot.canvas()->width() - 1, 100)));
        QCOMPARE(curve->series.size(), size_t(1));
        QCOMPARE(curve->series[0].second, 499);

        int from = -1, to = -1;
        plot.sampleRange(map, map.transform(14.5), map.transform(15.0), from, to);
        QCOMPARE(to, 1499);  // never past the buffer
    }

    void withoutPartialRepaintTheWholeCurveIsDrawn()
    {
        Vesk::SigPlotRtConfig config;
        config.partialRepaint = false;
        config.samplingRate = 100;
        config.bufferLength = 500;
        Vesk::SigPlotRt plot(config);
        plot.setAxis(QwtPlot::xBottom, 0.0, 5.0, 1.0, false);
        std::vector<double> x(500), y(500, 0.0);
        for (int i = 0; i < 500; ++i)
            x[i] = i / 100.0;
        auto* curve = new RecordingCurve;
        curve->setRawSamples(x.data(), y.data(), 500);
        curve->attach(&plot);
        plot.resize(500, 200);
        plot.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plot));
        plot.replot();
        QCoreApplication::processEvents();
        curve->series.clear();
        plot.repaintRect(QRect(0, 0, 20, 100));
        QCOMPARE(curve->series.size(), size_t(1));
        QCOMPARE(curve->series[0], Range(0, -1));  // Qwt's "up to the last sample"
    }
};

Q_DECLARE_METATYPE(std::vector<double>)
Q_DECLARE_METATYPE(std::vector<Range>)

QTEST_MAIN(PlotTest)
#include "test_plot.moc"
