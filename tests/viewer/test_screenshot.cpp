// Renders a viewer fed with synthetic EEG offscreen, saves it as a PNG and checks that every channel's band
// holds a trace, and that strip-by-strip drawing gives the same picture as a full replot.
#include "FakeModels.h"

#include <SigPlotRt.h>
#include <SignalsWidget.h>
#include <SigViewerRt.h>

#include <QDir>
#include <QImage>
#include <QTabWidget>
#include <QtTest>
#include <cmath>
#include <random>

using Vesk::SigViewerRt;

namespace {

const int CHANNELS = 8, SAMPLES = 8, BLOCK_RATE = 32, RATE = 256;

// Alpha rhythm, mains hum, noise and an impedance carrier at a quarter of the rate whose size varies by channel.
void feedEeg(SigViewerRt& viewer, int blocks, long& sample, std::mt19937& rng)
{
    std::normal_distribution<double> noise(0.0, 3.0);
    const double carrier[CHANNELS] = {4, 8, 15, 20, 35, 45, 70, 90};
    std::vector<double> block(CHANNELS * SAMPLES);
    for (int b = 0; b < blocks; ++b) {
        for (int s = 0; s < SAMPLES; ++s) {
            const double t = double(sample + s) / RATE;
            for (int c = 0; c < CHANNELS; ++c)
                block[s * CHANNELS + c] = 25.0 * std::sin(2 * M_PI * 10.0 * t + c) +
                                          30.0 * std::sin(2 * M_PI * 50.0 * t) + noise(rng) +
                                          carrier[c] * std::sin(2 * M_PI * 64.0 * t);
        }
        viewer.process(block.data(), false);
        sample += SAMPLES;
        QCoreApplication::processEvents();
    }
}

bool isTrace(QRgb p) { return qGray(p) > 150; }

// Pixels traced in one picture with no trace near them in the other: gaps or stale traces, not the small
// antialiasing differences that come from drawing a polyline in pieces.
int unmatchedTracePixels(const QImage& a, const QImage& b, QImage* marks = nullptr)
{
    auto near = [](const QImage& img, int x, int y) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int px = x + dx, py = y + dy;
                if (px >= 0 && py >= 0 && px < img.width() && py < img.height() && qGray(img.pixel(px, py)) > 100)
                    return true;
            }
        return false;
    };
    int unmatched = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const bool bad = (isTrace(a.pixel(x, y)) && !near(b, x, y)) || (isTrace(b.pixel(x, y)) && !near(a, x, y));
            unmatched += bad;
            if (marks)
                marks->setPixel(x, y, bad ? 0xffffffff : 0xff000000);
        }
    return unmatched;
}

QString outputPath(const QString& name)
{
    const QString dir = qEnvironmentVariable("KVN_SCREENSHOT_DIR", QDir::currentPath());
    QDir().mkpath(dir);
    return QDir(dir).filePath(name);
}

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT

private slots:
    void eegViewerDrawsEveryChannel()
    {
        Vesk::SigViewerRtConfig config =
            SignalsWidget::buildViewerConfig(KvnSignal("EEG", CHANNELS, CHANNELS, SAMPLES, 1), BLOCK_RATE);
        config.deviceVersion = "HW2.0_FW1.1";
        config.eegSensorType = 1;
        SigViewerRt viewer(config);
        viewer.resize(900, 520);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));

        long sample = 0;
        std::mt19937 rng(3);
        feedEeg(viewer, BLOCK_RATE * 5, sample, rng);  // five of the seven seconds
        const QImage shot = viewer.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(shot.save(outputPath("viewer_eeg.png")));

        Vesk::SigPlotRt* plot = viewer.plot();
        QWidget* canvas = plot->canvas();
        const QPoint origin = canvas->mapTo(&viewer, QPoint(0, 0));
        const QwtScaleMap xMap = plot->canvasMap(QwtPlot::xBottom);
        const QwtScaleMap yMap = plot->canvasMap(QwtPlot::yLeft);
        const int written = static_cast<int>(xMap.transform(4.5));
        const int unwritten = static_cast<int>(xMap.transform(5.5));
        const double halfBand = std::fabs(yMap.transform(0.0) - yMap.transform(config.channelRange)) / 2;
        for (int c = 0; c < CHANNELS; ++c) {
            const int y0 = origin.y() + static_cast<int>(yMap.transform(viewer.offset(c)) - halfBand);
            const int y1 = origin.y() + static_cast<int>(yMap.transform(viewer.offset(c)) + halfBand);
            int traced = 0, ahead = 0;
            for (int y = y0; y <= y1; ++y) {
                for (int x = origin.x() + 5; x < origin.x() + written; ++x)
                    traced += isTrace(shot.pixel(x, y));
                for (int x = origin.x() + unwritten; x < origin.x() + canvas->width() - 5; ++x)
                    ahead += isTrace(shot.pixel(x, y));
            }
            QVERIFY2(traced > written / 2, qPrintable(QString("channel %1: %2 trace pixels").arg(c).arg(traced)));
            // Past the sweep the trace is the flat start line, far fewer pixels.
            QVERIFY2(ahead < traced / 2, qPrintable(QString("channel %1 ahead: %2").arg(c).arg(ahead)));
        }

        // The legend shows the impedance dots: a good and a no-contact channel at least.
        const QImage legend = viewer.legend()->grab().toImage();
        bool green = false, grey = false;
        for (int y = 0; y < legend.height(); ++y)
            for (int x = 0; x < legend.width(); ++x) {
                green |= QColor(legend.pixel(x, y)) == QColor(0, 185, 25);
                grey |= QColor(legend.pixel(x, y)) == QColor(128, 128, 128);
            }
        QVERIFY(green && grey);

        // Strips drawn block by block must add up to what a full replot draws.
        const QImage strips = canvas->grab().toImage().convertToFormat(QImage::Format_RGB32);
        plot->replot();
        QCoreApplication::processEvents();
        const QImage full = canvas->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(full.save(outputPath("viewer_eeg_replot.png")));
        QCOMPARE(strips.size(), full.size());
        const int unmatched = unmatchedTracePixels(strips, full);
        QVERIFY2(unmatched < 20, qPrintable(QString::number(unmatched)));
    }

    void signalsWidgetOfAMixedDevice()
    {
        // The shape of the 8-channel headset with BVP, GSR and an IMU on its aux input.
        FakeModel model({{"EEG", 8, 8, 1}, {"BVP", 1, 8, 1}, {"GSR", 1, 1, 1}, {"COM", 9, 1, 1}, {"HAP", 1, 1, 1},
                         {"uSD", 1, 1, 0}});
        SignalsWidget widget;
        widget.configureSignals(model, 1);
        widget.resize(900, 500);
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        std::vector<double> data(8 * 8 + 8 + 1 + 9);
        widget.tabs()->setCurrentIndex(3);  // the IMU tab sees the first second, then goes to the background
        for (int b = 0; b < 3 * BLOCK_RATE; ++b) {
            if (b == BLOCK_RATE)
                widget.tabs()->setCurrentIndex(0);
            for (int s = 0; s < 8; ++s) {
                const double t = (b * 8 + s) / 256.0;
                for (int c = 0; c < 8; ++c)
                    data[s * 8 + c] = 30 * std::sin(2 * M_PI * 9 * t + c);
                data[64 + s] = 10 * std::sin(2 * M_PI * 1.2 * t);
            }
            data[72] = 1e-8 * b;
            for (int c = 0; c < 9; ++c)
                data[73 + c] = 20 * std::sin(b * 0.2 + c);
            widget.dispatchData(model, data);
            QCoreApplication::processEvents();
        }
        QVERIFY(widget.grab().save(outputPath("signals_widget_eeg.png")));
        // The IMU tab was in the background while it was fed; shown now, it must hold the whole sweep.
        widget.tabs()->setCurrentIndex(3);
        QCoreApplication::processEvents();
        const QImage imu = widget.grab().toImage();
        QVERIFY(imu.save(outputPath("signals_widget_imu.png")));
        auto* viewer = dynamic_cast<SigViewerRt*>(widget.tabs()->widget(3));
        QWidget* canvas = viewer->plot()->canvas();
        const QPoint origin = canvas->mapTo(&widget, QPoint(0, 0));
        const QwtScaleMap xMap = viewer->plot()->canvasMap(QwtPlot::xBottom);
        const QwtScaleMap yMap = viewer->plot()->canvasMap(QwtPlot::yLeft);
        const int y0 = origin.y() + static_cast<int>(yMap.transform(viewer->offset(0) + 25.0));
        const int y1 = origin.y() + static_cast<int>(yMap.transform(viewer->offset(0) + 5.0));  // above the flat line
        int traced = 0;
        // Look where it was fed while in the background.
        for (int x = origin.x() + static_cast<int>(xMap.transform(1.5));
             x < origin.x() + static_cast<int>(xMap.transform(2.8)); ++x)
            for (int y = y0; y <= y1; ++y)
                traced += isTrace(imu.pixel(x, y));
        QVERIFY2(traced > 10, qPrintable(QString::number(traced)));
    }

    void wrappedSweepMatchesAFullReplot()
    {
        // With the sweep wrapped, each block repaints two strips; the picture must still be whole.
        Vesk::SigViewerRtConfig config =
            SignalsWidget::buildViewerConfig(KvnSignal("EEG", CHANNELS, CHANNELS, SAMPLES, 1), BLOCK_RATE);
        SigViewerRt viewer(config);
        viewer.resize(700, 400);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        long sample = 0;
        std::mt19937 rng(4);
        feedEeg(viewer, BLOCK_RATE * 9 + 5, sample, rng);
        QWidget* canvas = viewer.plot()->canvas();
        const QImage strips = canvas->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QVERIFY(strips.save(outputPath("viewer_eeg_wrapped.png")));
        viewer.plot()->replot();
        QCoreApplication::processEvents();
        const QImage full = canvas->grab().toImage().convertToFormat(QImage::Format_RGB32);
        QImage marks(full.size(), QImage::Format_RGB32);
        const int unmatched = unmatchedTracePixels(strips, full, &marks);
        if (unmatched >= 20)
            marks.save(outputPath("viewer_eeg_wrapped_unmatched.png"));
        QVERIFY2(unmatched < 20, qPrintable(QString::number(unmatched)));
    }
};

QTEST_MAIN(ScreenshotTest)
#include "test_screenshot.moc"
