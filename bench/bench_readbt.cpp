// How many blocks per second the acquisition thread moves from an unpaced simulated 64-channel device
// (EEG 64 x 16 = 1024 values per block) to a queued receiver on another thread, and the CPU time per block.
// The target is 100 times the fastest device's block rate (64 blocks/s).
// Then the pacing of record playback: the rate at which recorded folders of several block rates come back
// through the same thread, against the rate they were recorded at.

#include "DriverModel.h"
#include "ReadBT.h"
#include "RecordModel.h"

#include "CsvWriter.h"

#include "ConnectionFactory.h"
#include "Connection.h"
#include "PropertyMap.h"
#include "Simulation.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

class Sink : public QObject {
public:
    std::atomic<long> blocks{0};
    std::atomic<long> values{0};
    void take(const std::vector<double>& data, int, short, ushort, qlonglong, qlonglong) {
        ++blocks;
        values += static_cast<long>(data.size());
    }
};

// Plays a record of `blocks` blocks at `rate` blocks per second and returns the achieved rate between the
// first and the last block.
double playbackRate(unsigned rate, int blocks) {
    QTemporaryDir dir;
    {
        CsvWriter w;
        const std::vector<KvnSignal> sigs = {{"EEG", 8, 8, 8, 1}};
        if (!w.setup(dir.path().toLocal8Bit().constData(), sigs, "BENCH", 0) || !w.writeHeaders(int(rate), true))
            return -1;
        std::vector<double> v(64, 1.5);
        for (int b = 0; b < blocks; ++b)
            w.write(v.data(), uint16_t(b), 0, 0, 5, 0);
        w.close();
    }
    RecordModel model;
    model.open(dir.path().toStdString());
    model.connect_device();
    model.start();
    ReadBT reader;
    std::atomic<long> got{0};
    std::atomic<qlonglong> first{0}, last{0};
    QObject::connect(
        &reader, &ReadBT::resultReady, &reader,
        [&](const std::vector<double>&, int, short, ushort, qlonglong ts, qlonglong) {
            if (got++ == 0)
                first = ts;
            last = ts;
        },
        Qt::DirectConnection);
    QObject::connect(&reader, &ReadBT::signalEnd, &reader, [&] { reader.requestInterruption(); },
                     Qt::DirectConnection);
    reader.setModel(&model, true);
    reader.start();
    reader.wait();
    if (got < 2)
        return -1;
    return (got - 1) / ((last - first) * 1e-6);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;

    QTemporaryDir cards;
    sim::reset();
    sim::setSdCardRoot(cards.path().toStdString());
    sim::setTimeScale(1e6);  // blocks are due at once: the device does not pace the thread

    PropertyMap port;
    port.set("port", 10);
    Connection* link = ConnectionFactory::createAndSetup("usb", port);
    link->setTimeout(1000);
    ConfigurableDriverModel model;
    model.setup(link, {}, false);
    model.connect_device();
    if (!model.is_connected()) {
        std::fprintf(stderr, "cannot connect the simulated 64-channel device\n");
        return 1;
    }
    std::string modes;
    for (unsigned i = 0; i < model.signal_count(); ++i)
        modes += model.signal_name(i) == "uSD" ? '\0' : '\1';
    model.set_signal_modes(modes);
    model.start();

    QThread receiverThread;
    Sink sink;
    sink.moveToThread(&receiverThread);
    receiverThread.start();

    ReadBT reader;
    QObject::connect(&reader, &ReadBT::resultReady, &sink, &Sink::take, Qt::QueuedConnection);
    reader.setModel(&model, true);

    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    reader.start();
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    const long receivedInWindow = sink.blocks;
    reader.requestInterruption();
    reader.wait();
    // Let the receiver drain what is still queued, so the CPU time covers every block moved.
    long last = -1;
    while (last != sink.blocks) {
        last = sink.blocks;
        QThread::msleep(50);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    receiverThread.quit();
    receiverThread.wait();
    model.stop();
    model.disconnect_device();

    const long total = sink.blocks;
    const double rate = receivedInWindow / seconds;
    std::printf("blocks received in %.1f s window: %ld (%.0f blocks/s)\n", seconds, receivedInWindow, rate);
    std::printf("blocks moved in total: %ld in %.2f s wall (values per block: %ld)\n", total, wall,
                total ? sink.values / total : 0);
    std::printf("process CPU per block: %.1f us (%.2f s CPU, both threads and the simulated device)\n",
                total ? cpu / total * 1e6 : 0.0, cpu);
    std::printf("ratio to the fastest device (64 blocks/s): %.0fx (target >= 100x)\n", rate / 64.0);

    std::printf("\nplayback pacing (pause = 1000 / rate ms, integer division):\n");
    for (unsigned r : {16u, 32u, 64u, 250u}) {
        const double achieved = playbackRate(r, static_cast<int>(r * 2));
        std::printf("  recorded %3u blocks/s -> played %.1f blocks/s (ratio %.3f)\n", r, achieved, achieved / r);
    }
    return 0;
}
