// The whole acquisition path of the 64-channel 1024 Hz headset with display, hard-drive record and LSL on:
// CPU time per second of acquisition, the GUI thread's share of it per block, peak memory, and memory growth per
// hour, over several simulated minutes.
// Usage: bench_acquisition [simulated-minutes=8] [time-scale=4]
// At a time scale the machine cannot keep up with, blocks queue up in memory: the bench says so.
// Run it offscreen (QT_QPA_PLATFORM=offscreen) or under Xvfb.

#include "MainWindow.h"
#include "ReadBT.h"
#include "Simulation.h"

#include <QApplication>
#include <QEventLoop>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/resource.h>

static double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU time of the calling thread (here the GUI thread).
static double threadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

static long rssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

int main(int argc, char** argv)
{
    const double minutes = argc > 1 ? std::atof(argv[1]) : 8.0;
    const double scale = argc > 2 ? std::atof(argv[2]) : 4.0;
    QApplication app(argc, argv);
    QTemporaryDir records, card;
    sim::setSdCardRoot(card.path().toStdString());
    sim::setTimeScale(scale);

    const QString config = records.filePath("bench.json");
    QFile f(config);
    f.open(QIODevice::WriteOnly);
    f.write(QStringLiteral("{\"connection\": {\"type\": \"usb\", \"properties\": {\"port\": 10}}, \"sensors\": \"water\","
                           " \"harddrive\": \"%1\", \"lsl\": true, \"autostart\": true}")
                .arg(records.path())
                .toUtf8());
    f.close();

    MainWindow window;
    auto* thread = window.findChild<ReadBT*>("readThread");
    // Counted on the acquisition thread, so the count itself costs the GUI thread nothing.
    std::atomic<long> blocks{0};
    QObject::connect(thread, &ReadBT::resultReady, &window, [&] { ++blocks; }, Qt::DirectConnection);
    const QByteArray path = QFile::encodeName(config);
    window.configure(path.constData());

    // Wait for the first block, then measure.
    QElapsedTimer wall;
    wall.start();
    while (blocks == 0 && wall.elapsed() < 60000) app.processEvents(QEventLoop::AllEvents, 50);
    if (blocks == 0) {
        std::printf("no block arrived; is the simulated headset reachable?\n");
        return 1;
    }
    const long startBlocks = blocks;
    const double startCpu = cpuSeconds();
    const double startGuiCpu = threadCpuSeconds();
    long rssAfterOneMinute = 0;
    const double simSeconds = minutes * 60.0;
    wall.restart();
    // Wait in the event loop itself: a processEvents() spin would be counted as the window's own cost.
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (!rssAfterOneMinute && double(blocks - startBlocks) / 64.0 >= 60.0) rssAfterOneMinute = rssKiB();
        if (double(blocks - startBlocks) / 64.0 >= simSeconds) loop.quit();
    });
    check.start(100);
    loop.exec();
    const double cpu = cpuSeconds() - startCpu;
    const double guiCpu = threadCpuSeconds() - startGuiCpu;
    const double seconds = double(blocks - startBlocks) / 64.0;
    const long rssEnd = rssKiB();
    rusage u{};
    getrusage(RUSAGE_SELF, &u);

    const double paced = wall.elapsed() / 1000.0 * scale;
    std::printf("simulated seconds        %.0f (time scale %.0f, %.1f s of wall time)\n", seconds, scale,
                wall.elapsed() / 1000.0);
    if (seconds < 0.95 * paced)
        std::printf("FELL BEHIND: the window handled %.0f of %.0f simulated seconds; lower the time scale\n", seconds, paced);
    std::printf("CPU per second of signal %.1f ms (%.1f%% of one core at real time)\n", 1000.0 * cpu / seconds,
                100.0 * cpu / seconds);
    std::printf("GUI thread per block     %.1f us (%.1f%% of one core at real time)\n",
                1e6 * guiCpu / double(blocks - startBlocks), 100.0 * guiCpu / seconds);
    std::printf("peak RSS                 %.1f MiB\n", u.ru_maxrss / 1024.0);
    if (rssAfterOneMinute && seconds > 90) {
        const double growthPerHour = double(rssEnd - rssAfterOneMinute) / (seconds - 60.0) * 3600.0;
        std::printf("RSS growth               %.1f MiB per simulated hour (from minute 1 to the end)\n",
                    growthPerHour / 1024.0);
    }
    return 0;
}
