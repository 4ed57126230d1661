// CPU cost of the high-density devices, offscreen at 1600x1000, at real time:
//   display alone: one EEG viewer fed the simulated device's blocks as they fall due (filters and impedances on);
//   whole path:    the main window on the device with the viewer shown, the hard-drive CSV record and LSL.
// Prints CPU per second of signal (100% = one core) and the frames the viewer's canvas showed per second.
//
// bench_scale [seconds=10] [display|whole]
// bench_scale soak [simulated-minutes=10] [time-scale=1] [port=12]
//   The soak runs the whole path on one device, samples the resident memory every 10 simulated seconds, then
//   stops and audits the record with tests/tools/check_records.py (no gap, no duplicate).
// Run it from a Release build: the figures of a Debug or sanitized build say nothing about the program.

#include "Connection.h"
#include "Driver.h"
#include "MainWindow.h"
#include "ReadBT.h"
#include "Simulation.h"

#include <PlotCurve.h>
#include <SigPlotRt.h>
#include <SignalsWidget.h>
#include <SigViewerRt.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Case {
    int port, channels, rate;
    int blockRate() const { return rate / 16; }
};
const Case kCases[] = {{10, 64, 1024}, {11, 128, 2048}, {12, 256, 2048}};

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

long rssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// Paint events of a widget: the frames it showed.
class FrameCounter : public QObject {
public:
    long frames = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        frames += event->type() == QEvent::Paint;
        return false;
    }
};

// Strip passes of a viewer that counts them, -1 for one that does not.
template <typename V>
auto stripPasses(const V& v, int) -> decltype(v.framesDrawn(), long())
{
    return v.framesDrawn();
}
template <typename V>
long stripPasses(const V&, long)
{
    return -1;
}

// Runs the event loop for `ms` milliseconds; waiting this way costs nothing of its own.
void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Two seconds of the simulated device's blocks (EEG only: the SD card is off), made faster than real time.
std::vector<std::vector<double>> deviceBlocks(const Case& c)
{
    sim::setTimeScale(1e5);
    Driver driver(new UsbConnection(c.port, 2000000));
    driver.setTimeout(1000);
    std::vector<std::vector<double>> blocks;
    if (!driver.connectDevice() || !driver.start())
        return blocks;
    std::vector<double> data;
    std::uint16_t seq;
    std::int16_t battery;
    std::uint16_t flags;
    while (int(blocks.size()) < 2 * c.blockRate() && driver.readWithBattery(data, seq, battery, flags))
        blocks.push_back(data);
    driver.stop();
    driver.disconnectDevice();
    sim::setTimeScale(1.0);
    return blocks;
}

struct Figures {
    double cpu = 0;       // CPU seconds per second of signal
    double fps = 0;       // canvas paint events per second of signal
    double strips = -1;   // strip passes per second of signal, when the viewer counts them
    double signal = 0;    // seconds of signal measured
};

Figures displayAlone(const Case& c, int seconds)
{
    const auto blocks = deviceBlocks(c);
    if (blocks.empty())
        return {};
    Vesk::SigViewerRtConfig config = SignalsWidget::buildViewerConfig(
        KvnSignal("EEG", c.channels, c.channels, 16, 1), static_cast<uint16_t>(c.blockRate()));
    config.deviceVersion = "HW4.0_FW3.0";
    config.eegSensorType = 1;
    Vesk::SigViewerRt viewer(config);
    viewer.resize(1600, 1000);
    viewer.show();
    FrameCounter counter;
    viewer.plot()->canvas()->installEventFilter(&counter);
    runFor(300);

    // Blocks are handed over as they fall due, as the acquisition thread's signals bring them.
    long fed = 0;
    QElapsedTimer clock;
    QTimer feeder;
    feeder.setTimerType(Qt::PreciseTimer);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        const long due = clock.nsecsElapsed() * c.blockRate() / 1000000000LL;
        for (; fed < due; ++fed)
            viewer.process(blocks[fed % blocks.size()].data(), false);
    });
    clock.start();
    feeder.start(2);
    runFor(2000);  // warm-up
    const long fed0 = fed, frames0 = counter.frames, strips0 = stripPasses(viewer, 0);
    const double cpu0 = cpuSeconds();
    runFor(seconds * 1000);
    Figures f;
    f.signal = double(fed - fed0) / c.blockRate();
    f.cpu = (cpuSeconds() - cpu0) / f.signal;
    f.fps = (counter.frames - frames0) / f.signal;
    if (strips0 >= 0)
        f.strips = (stripPasses(viewer, 0) - strips0) / f.signal;
    return f;
}

// The main window on one device, configured by a file: viewer shown, record and LSL on, started at once.
struct Session {
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;
    FrameCounter counter;
    long blocks = 0;

    bool open(int port)
    {
        const QString path = dir.filePath("scale.json");
        QDir(dir.path()).mkpath("records");
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QStringLiteral("{\"connection\": {\"type\": \"usb\", \"properties\": {\"port\": %1}}, \"sensors\": \"dry\","
                               " \"harddrive\": \"%2\", \"lsl\": true, \"autostart\": true}")
                    .arg(port)
                    .arg(dir.filePath("records"))
                    .toUtf8());
        f.close();
        window = std::make_unique<MainWindow>();
        window->resize(1600, 1000);
        window->show();
        auto* thread = window->findChild<ReadBT*>("readThread");
        if (!thread)
            return false;
        QObject::connect(thread, &ReadBT::resultReady, window.get(), [this] { ++blocks; }, Qt::QueuedConnection);
        window->configure(QFile::encodeName(path).constData());
        QElapsedTimer wait;
        wait.start();
        while (blocks == 0 && wait.elapsed() < 60000)
            runFor(50);
        if (blocks == 0)
            return false;
        runFor(300);
        // The viewer that shows: its canvas's paint events are the frames.
        for (auto* viewer : window->findChildren<Vesk::SigViewerRt*>())
            if (viewer->isVisible())
                viewer->plot()->canvas()->installEventFilter(&counter);
        return true;
    }

    QString recordFolder() const
    {
        const QStringList found = QDir(dir.filePath("records")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        return found.isEmpty() ? QString() : dir.filePath("records/" + found.first());
    }

    void stop()
    {
        for (auto* button : window->findChildren<QPushButton*>())
            if (button->text() == "Stop" && button->isEnabled()) {
                button->click();
                break;
            }
    }
};

Figures wholePath(const Case& c, int seconds)
{
    sim::setTimeScale(1.0);
    Session s;
    if (!s.open(c.port))
        return {};
    runFor(2000);  // warm-up
    const long blocks0 = s.blocks, frames0 = s.counter.frames;
    const double cpu0 = cpuSeconds();
    runFor(seconds * 1000);
    Figures f;
    f.signal = double(s.blocks - blocks0) / c.blockRate();
    f.cpu = (cpuSeconds() - cpu0) / f.signal;
    f.fps = (s.counter.frames - frames0) / f.signal;
    s.stop();
    runFor(500);
    return f;
}

int soak(double minutes, double scale, int port)
{
    const Case* c = nullptr;
    for (const Case& k : kCases)
        if (k.port == port)
            c = &k;
    if (!c) {
        std::printf("no simulated high-density device on COM%d\n", port);
        return 1;
    }
    // Streams of a session of their own: a consumer elsewhere on the network (another program's test) that
    // connects to them makes liblsl buffer for it, which is not this program's memory.
    QTemporaryDir lslConfig;
    if (qEnvironmentVariableIsEmpty("LSLAPICFG")) {
        QFile cfg(lslConfig.filePath("lsl_api.cfg"));
        if (cfg.open(QIODevice::WriteOnly)) {
            cfg.write(QStringLiteral("[lab]\nSessionID = bench-scale-%1\n").arg(QCoreApplication::applicationPid()).toUtf8());
            cfg.close();
            qputenv("LSLAPICFG", QFile::encodeName(cfg.fileName()));
        }
    }
    sim::setTimeScale(scale);
    Session s;
    if (!s.open(port)) {
        std::printf("the device on COM%d sent nothing\n", port);
        return 1;
    }
    const long blocks0 = s.blocks;
    const double simulated = minutes * 60.0;
    std::vector<std::pair<double, long>> samples;  // simulated seconds, RSS KiB
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = cpuSeconds();
    std::printf("%10s %10s %10s\n", "sim s", "wall s", "RSS MiB");
    while (double(s.blocks - blocks0) / c->blockRate() < simulated) {
        runFor(200);
        const double at = double(s.blocks - blocks0) / c->blockRate();
        if (samples.empty() || at >= samples.back().first + 10.0) {
            samples.emplace_back(at, rssKiB());
            std::printf("%10.0f %10.1f %10.1f\n", at, wall.elapsed() / 1000.0, samples.back().second / 1024.0);
            std::fflush(stdout);
        }
    }
    const double cpu = cpuSeconds() - cpu0, wallSeconds = wall.elapsed() / 1000.0;
    const long received = s.blocks - blocks0, receivedInAll = s.blocks;
    s.stop();
    runFor(2000);

    std::printf("simulated %.0f s in %.0f s of wall time (time scale %g): %s\n", received / double(c->blockRate()),
                wallSeconds, scale,
                received / double(c->blockRate()) < 0.95 * wallSeconds * scale ? "FELL BEHIND" : "kept up");
    std::printf("CPU %.1f%% of one core per second of signal\n", 100.0 * cpu / (received / double(c->blockRate())));
    // Growth from the first minute on: a least-squares slope, so one sample's noise does not decide it.
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [t, kib] : samples)
        if (t >= 60.0) {
            n += 1;
            sx += t;
            sy += kib;
            sxx += t * t;
            sxy += t * kib;
        }
    const auto minute = std::find_if(samples.begin(), samples.end(), [](const auto& p) { return p.first >= 60.0; });
    if (n >= 3 && minute != samples.end()) {
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);  // KiB per simulated second
        const auto peak = std::max_element(samples.begin(), samples.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        const double span = samples.back().first - minute->first;
        std::printf("RSS at 1 min %.1f MiB, at the end %.1f MiB, peak %.1f MiB; growth after the first minute "
                    "%.2f MiB per hour end to end, %.2f MiB per hour fitted over %d samples\n",
                    minute->second / 1024.0, samples.back().second / 1024.0, peak->second / 1024.0,
                    (samples.back().second - minute->second) / 1024.0 / span * 3600.0, slope * 3600.0 / 1024.0,
                    int(n));
        // A step (an allocator reaching its working size) weighs on both; the second half shows whether it goes on.
        const auto half = std::find_if(samples.begin(), samples.end(),
                                       [&](const auto& p) { return p.first >= samples.back().first / 2; });
        if (half != samples.end() && samples.back().first > half->first)
            std::printf("growth over the second half %.2f MiB per hour\n",
                        (samples.back().second - half->second) / 1024.0 / (samples.back().first - half->first) *
                            3600.0);
    }

    const QString record = s.recordFolder();
    const QString source = QStringLiteral(KVN_SOURCE_DIR);
    const QString python = qEnvironmentVariable("KVN_PYTHON", source + "/.venv/bin/python");
    QProcess audit;
    audit.setProcessChannelMode(QProcess::MergedChannels);
    audit.start(python, {source + "/tests/tools/check_records.py", record});
    if (!audit.waitForFinished(-1) || audit.exitCode() != 0) {
        std::printf("record audit FAILED: %s\n", audit.readAll().constData());
        return 1;
    }
    const QStringList fields = QString::fromUtf8(audit.readAll()).trimmed().split('\t');
    const long recorded = fields.value(2).toLong();
    std::printf("record: %ld blocks, %ld received by the window before Stop; sequence breaks: %s\n", recorded,
                receivedInAll,
                fields.value(3).isEmpty() ? "none" : qPrintable(fields.value(3)));
    return fields.value(3).isEmpty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir cards;
    sim::setSdCardRoot(cards.path().toStdString());

    const QString first = argc > 1 ? QString(argv[1]) : QString();
    if (first == "soak")
        return soak(argc > 2 ? std::atof(argv[2]) : 10.0, argc > 3 ? std::atof(argv[3]) : 1.0,
                    argc > 4 ? std::atoi(argv[4]) : 12);

    const int seconds = std::max(2, first.toInt() > 0 ? first.toInt() : 10);
    const QString only = argc > 2 ? QString(argv[2]) : QString();
    std::printf("%d s of signal per case at real time, 1600x1000 offscreen; CPU per second of signal "
                "(100%% = one core)\n\n", seconds);
    std::printf("%-10s %-12s %10s %8s %10s\n", "channels", "path", "CPU", "fps", "strips/s");
    for (const Case& c : kCases) {
        const QString size = QString("%1x%2").arg(c.channels).arg(c.rate);
        if (only != "whole") {
            const Figures f = displayAlone(c, seconds);
            std::printf("%-10s %-12s %9.1f%% %8.1f %10s\n", qPrintable(size), "display", 100.0 * f.cpu, f.fps,
                        f.strips < 0 ? "-" : qPrintable(QString::number(f.strips, 'f', 1)));
            std::fflush(stdout);
        }
        if (only != "display") {
            const Figures f = wholePath(c, seconds);
            std::printf("%-10s %-12s %9.1f%% %8.1f %10s\n", qPrintable(size), "whole path", 100.0 * f.cpu, f.fps, "");
            std::fflush(stdout);
        }
    }
    return 0;
}
