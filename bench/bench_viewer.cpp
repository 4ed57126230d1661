// CPU cost of showing the 64-channel 1024 Hz headset in one real-time viewer (16 samples per block, 64 blocks
// per second, EEG display filters and impedance estimation on), rendered to an offscreen surface.
// Prints the CPU time per second of signal with partial repaint and with a full replot per block, and their ratio.
#include <SigPlotRt.h>
#include <SignalsWidget.h>
#include <SigViewerRt.h>
#include <PlotCurve.h>

#include <QApplication>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

namespace {

const int CHANNELS = 64, SAMPLES = 16, BLOCK_RATE = 64, RATE = CHANNELS * SAMPLES;

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double wallSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Blocks of simulated EEG: alpha, mains, noise and an impedance carrier.
class EegSource {
public:
    EegSource() : block_(CHANNELS * SAMPLES) {}
    const double* next()
    {
        std::normal_distribution<double> noise(0.0, 4.0);
        for (int s = 0; s < SAMPLES; ++s, ++sample_) {
            const double t = double(sample_) / RATE;
            const double alpha = 20.0 * std::sin(2 * M_PI * 10.0 * t), mains = 30.0 * std::sin(2 * M_PI * 50.0 * t);
            const double carrier = std::sin(2 * M_PI * (RATE / 4.0) * t);
            for (int c = 0; c < CHANNELS; ++c)
                block_[s * CHANNELS + c] = alpha + mains + noise(rng_) + (5.0 + c) * carrier;
        }
        return block_.data();
    }

private:
    std::vector<double> block_;
    std::mt19937 rng_{11};
    long sample_ = 0;
};

struct Result {
    double cpuPerSecond;   // CPU seconds per second of signal
    double wallPerSecond;  // wall seconds per second of signal
};

Result run(bool partial, bool fitted, int seconds, bool shown = true)
{
    Vesk::SigViewerRtConfig config =
        SignalsWidget::buildViewerConfig(KvnSignal("EEG", CHANNELS, CHANNELS, SAMPLES, 1), BLOCK_RATE);
    config.partialRepaint = partial;
    config.deviceVersion = "HW4.0_FW3.0";
    config.eegSensorType = 1;
    Vesk::SigViewerRt viewer(config);
    if (fitted)
        for (int c = 0; c < CHANNELS; ++c)
            viewer.curve(c)->setCurveAttribute(QwtPlotCurve::Fitted, true);
    viewer.resize(1600, 1000);
    if (shown)
        viewer.show();
    for (int k = 0; k < 20; ++k)
        QApplication::processEvents();

    EegSource source;
    for (int b = 0; b < BLOCK_RATE; ++b) {  // a second of warm-up
        viewer.process(source.next(), false);
        QApplication::processEvents();
    }
    const double cpu0 = cpuSeconds(), wall0 = wallSeconds();
    for (int b = 0; b < BLOCK_RATE * seconds; ++b) {
        viewer.process(source.next(), false);
        QApplication::processEvents();
    }
    return {(cpuSeconds() - cpu0) / seconds, (wallSeconds() - wall0) / seconds};
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // bench_viewer [seconds] [partial]: "partial" runs only the partial-repaint case (for profiling).
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const bool onlyPartial = argc > 2 && std::string(argv[2]) == "partial";

    std::printf("SigViewerRt, %d channels at %d Hz (%d samples x %d blocks/s), EEG filters and impedances, "
                "1600x1000 offscreen, %d s of signal per run\n",
                CHANNELS, RATE, SAMPLES, BLOCK_RATE, seconds);
    const Result partial = run(true, false, seconds);
    std::printf("partial repaint:        %7.1f ms CPU per second of signal = %5.1f %% of one core (wall %.1f ms)\n",
                partial.cpuPerSecond * 1e3, partial.cpuPerSecond * 100, partial.wallPerSecond * 1e3);
    if (onlyPartial)
        return 0;
    const Result full = run(false, false, seconds);
    std::printf("full replot per block:  %7.1f ms CPU per second of signal = %5.1f %% of one core (wall %.1f ms)\n",
                full.cpuPerSecond * 1e3, full.cpuPerSecond * 100, full.wallPerSecond * 1e3);
    std::printf("ratio partial / full:   %7.3f\n", partial.cpuPerSecond / full.cpuPerSecond);
    const Result hidden = run(true, false, seconds, false);
    std::printf("of which not drawing:   %7.1f ms CPU per second of signal (filters, impedances, buffer; viewer hidden)\n",
                hidden.cpuPerSecond * 1e3);
    if (argc > 2) {
        // Qwt's Fitted curve attribute, for comparison: every strip redraws all samples through a spline.
        const Result fitted = run(true, true, seconds);
        std::printf("partial with Fitted:    %7.1f ms CPU per second of signal = %5.1f %% of one core\n",
                    fitted.cpuPerSecond * 1e3, fitted.cpuPerSecond * 100);
    }
    return 0;
}
