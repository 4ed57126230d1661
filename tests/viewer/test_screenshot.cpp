// Renders viewers fed with synthetic signals offscreen, saves them as PNGs and checks that strip-by-strip drawing
// gives the same picture as a full replot, however fast the blocks come, and that a tab fed in the background is
// drawn when shown. Each band's trace is checked per device by the fleet screens test.
#include "FakeModels.h"

#include <SigPlotRt.h>
#include <SignalsWidget.h>
#include <SigViewerRt.h>

#include <QtTest>
#include <QtWidgets>
#include <cmath>
#include <random>

using Vesk::SigViewerRt;

namespace {

const int CHANNELS = 8, SAMPLES = 8, BLOCK_RATE = 32, RATE = 256;

// Alpha rhythm, mains hum, noise and an impedance carrier at a quarter of the rate whose size varies by channel.
void feedEeg(SigViewerRt& viewer, int blocks)
{
    long sample = 0;
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0.0, 3.0);
    const double carrier[CHANNELS] = {4, 8, 15, 20, 35, 45, 70, 90};
    std::vector<double> block(CHANNELS * SAMPLES);
    for (int b = 0; b < blocks; ++b, sample += SAMPLES) {
        for (int i = 0; i < CHANNELS * SAMPLES; ++i) {  // sample i / CHANNELS of channel i % CHANNELS
            const double t = double(sample + i / CHANNELS) / RATE;
            block[i] = 25.0 * std::sin(2 * M_PI * 10.0 * t + i % CHANNELS) + 30.0 * std::sin(2 * M_PI * 50.0 * t) +
                       noise(rng) + carrier[i % CHANNELS] * std::sin(2 * M_PI * 64.0 * t);
        }
        viewer.process(block.data(), false);
        QCoreApplication::processEvents();
    }
}

bool isTrace(QRgb p) { return qGray(p) > 150; }

QImage grab(QWidget* w) { return w->grab().toImage().convertToFormat(QImage::Format_RGB32); }

bool save(QWidget* w, const QString& name)
{
    const QDir dir(qEnvironmentVariable("KVN_SCREENSHOT_DIR", QDir::currentPath()));
    return dir.mkpath(".") && w->grab().save(dir.filePath(name));
}

// Trace pixels a canvas drew strip by strip with no trace near them after a full replot, or the other way
// round: gaps or stale traces, not the antialiasing differences of drawing a polyline in pieces.
int unmatchedAfterReplot(SigViewerRt& viewer)
{
    QWidget* canvas = viewer.plot()->canvas();
    const QImage a = grab(canvas);
    viewer.plot()->replot();
    QCoreApplication::processEvents();
    const QImage b = grab(canvas);
    auto traceNear = [](const QImage& img, int x, int y) {
        for (int py = std::max(0, y - 1); py <= std::min(img.height() - 1, y + 1); ++py)
            for (int px = std::max(0, x - 1); px <= std::min(img.width() - 1, x + 1); ++px)
                if (qGray(img.pixel(px, py)) > 100)
                    return true;
        return false;
    };
    int unmatched = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            unmatched += (isTrace(a.pixel(x, y)) && !traceNear(b, x, y)) ||
                         (isTrace(b.pixel(x, y)) && !traceNear(a, x, y));
    return unmatched;
}

// Trace pixels per pixel column of a viewer's canvas between two times and two values; a flat line gives one.
double traceDensity(SigViewerRt* viewer, QRectF timeAndValue)
{
    const QImage shot = grab(viewer->plot()->canvas());
    const QwtScaleMap x = viewer->plot()->canvasMap(QwtPlot::xBottom), y = viewer->plot()->canvasMap(QwtPlot::yLeft);
    const int left = std::max(5, int(x.transform(timeAndValue.left())));
    const int right = std::min(shot.width() - 5, int(x.transform(timeAndValue.right())));
    int traced = 0;
    for (int px = left; px < right; ++px)
        for (int py = int(y.transform(timeAndValue.bottom())); py <= int(y.transform(timeAndValue.top())); ++py)
            traced += isTrace(shot.pixel(px, py));
    return double(traced) / std::max(1, right - left);
}

}  // namespace

class ScreenshotTest : public QObject {
    Q_OBJECT

private slots:
    void eegLegendShowsImpedances()
    {
        Vesk::SigViewerRtConfig config =
            SignalsWidget::buildViewerConfig(KvnSignal("EEG", CHANNELS, CHANNELS, SAMPLES, 1), BLOCK_RATE);
        config.deviceVersion = "HW2.0_FW1.1";
        config.eegSensorType = 1;
        SigViewerRt viewer(config);
        viewer.resize(900, 520);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        feedEeg(viewer, BLOCK_RATE * 5);  // five of the seven seconds
        QVERIFY(save(&viewer, "viewer_eeg.png"));

        // The legend shows the impedance dots: a good and a no-contact channel at least.
        const QImage legend = grab(viewer.legend());
        QSet<QRgb> colours;
        for (int y = 0; y < legend.height(); ++y)
            for (int x = 0; x < legend.width(); ++x)
                colours.insert(legend.pixel(x, y));
        QVERIFY(colours.contains(qRgb(0, 185, 25)) && colours.contains(qRgb(128, 128, 128)));
    }

    // Blocks faster than frames are drawn together on the next frame, and nothing of them is missing from the
    // picture; slower blocks are each drawn as they come.
    void pacedStripsDrawEverySampleOncePerFrame()
    {
        const struct {
            int rate, samples;
            bool paced;
        } rows[] = {{2048, 16, true}, {256, 8, false}};
        for (const auto& row : rows) {
            Vesk::SigViewerRtConfig config =
                SignalsWidget::buildViewerConfig(KvnSignal("EEG", 4, 4, row.samples, 1), row.rate / row.samples);
            config.defaultFilters.clear();
            SigViewerRt viewer(config);
            QCOMPARE(viewer.pacesRepaints(), row.paced);
            viewer.resize(900, 400);
            viewer.show();
            QVERIFY(QTest::qWaitForWindowExposed(&viewer));
            QCoreApplication::processEvents();
            const double band = config.channelRange;
            // Square waves of a few samples' period: a strip left undrawn keeps the flat start line.
            auto value = [band](int c, long n) { return (n / (3 + c)) % 2 ? 0.4 * band : -0.4 * band; };
            std::vector<double> block(4 * row.samples);
            long sample = 0;
            auto feedBlocks = [&](int blocks) {
                for (int b = 0; b < blocks; ++b, sample += row.samples) {
                    for (int i = 0; i < int(block.size()); ++i)
                        block[i] = value(i % 4, sample + i / 4);
                    viewer.process(block.data(), false);
                }
            };
            const int blockRate = row.rate / row.samples, window = viewer.windowLength() / row.samples;
            // Bursts of half a second without the event loop between them, as a busy thread delivers them; wider
            // than the margin a strip is repainted with, so a burst drawn short shows.
            const int burst = blockRate / 2;
            for (int fed = 0; fed < 3 * blockRate; fed += burst) {
                const long frames = viewer.framesDrawn();
                feedBlocks(burst);
                if (row.paced) {
                    QVERIFY(viewer.framePending() && viewer.framesDrawn() == frames);
                    QTRY_VERIFY_WITH_TIMEOUT(!viewer.framePending(), 10000);
                    QCOMPARE(viewer.framesDrawn(), frames + 1);
                } else {
                    QVERIFY(!viewer.framePending());
                    QCOMPARE(viewer.framesDrawn(), frames + burst);
                }
            }
            // The cursor shows once, where the sweep is: the strips erased its old places.
            const QImage strips = grab(viewer.plot()->canvas());
            const int cursorX = int(viewer.plot()->canvasMap(QwtPlot::xBottom).transform(viewer.cursorTime()));
            for (int x = 0; x < strips.width(); ++x) {
                int red = 0;
                for (int y = 0; y < strips.height(); ++y)
                    red += qRed(strips.pixel(x, y)) > 90 && qGreen(strips.pixel(x, y)) < 40;
                QVERIFY2(red < strips.height() / 2 || std::abs(x - cursorX) <= 3,
                         qPrintable(QString("cursor drawn at %1, sweep at %2").arg(x).arg(cursorX)));
            }
            const int unmatched = unmatchedAfterReplot(viewer);
            QVERIFY2(unmatched < 20, qPrintable(QString("%1 Hz: %2").arg(row.rate).arg(unmatched)));

            // Blocks one at a time through the event loop, wrapping the sweep: a frame at most per frame period.
            QElapsedTimer clock;
            clock.start();
            const long frames = viewer.framesDrawn();
            for (int b = 0; b < window; ++b) {
                feedBlocks(1);
                QCoreApplication::processEvents();
            }
            QTRY_VERIFY_WITH_TIMEOUT(!viewer.framePending(), 10000);
            const long drawn = viewer.framesDrawn() - frames;
            if (row.paced)
                QVERIFY2(drawn >= 1 && drawn <= clock.elapsed() / (SigViewerRt::kFrameMilliseconds - 1) + 1,
                         qPrintable(QString("%1 frames in %2 ms").arg(drawn).arg(clock.elapsed())));
            else
                QCOMPARE(drawn, long(window));
            QVERIFY(unmatchedAfterReplot(viewer) < 20);

            // More than a window at once (the display was starved): the next frame redraws it whole.
            feedBlocks(window + 3);
            QTRY_VERIFY_WITH_TIMEOUT(!viewer.framePending(), 10000);
            QVERIFY(unmatchedAfterReplot(viewer) < 20);
        }
    }

    void backgroundTabCatchesUpWhenShown()
    {
        // The shape of the 8-channel headset with BVP, GSR and an IMU on its aux input.
        FakeModel model({{"EEG", 8, 8, 1}, {"BVP", 1, 8, 1}, {"GSR", 1, 1, 1}, {"COM", 9, 1, 1}});
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
            // 9 Hz on each EEG channel; the other signals get whatever the same formula gives them.
            for (size_t i = 0; i < data.size(); ++i)
                data[i] = 20 * std::sin(2 * M_PI * 9 * (b * 8 + i / 8 % 8) / 256.0 + i % 8);
            widget.dispatchData(model, data);
            QCoreApplication::processEvents();
        }
        QVERIFY(save(&widget, "signals_widget_eeg.png"));
        widget.tabs()->setCurrentIndex(3);
        QCoreApplication::processEvents();
        QVERIFY(save(&widget, "signals_widget_imu.png"));
        // Where it was fed while in the background, above its flat start line.
        auto* viewer = dynamic_cast<SigViewerRt*>(widget.tabs()->widget(3));
        const double band = viewer->config().channelRange;
        const double traced = traceDensity(viewer, QRectF(1.5, viewer->offset(0) + 0.05 * band, 1.3, 0.45 * band));
        QVERIFY2(traced > 0.1, qPrintable(QString::number(traced)));
    }
};

QTEST_MAIN(ScreenshotTest)
#include "test_screenshot.moc"
