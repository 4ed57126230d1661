// An LSL stream as the device, against the simulated device of the same size, in one run: a 64-channel 1024 Hz
// pylsl source (tests/tools/lsl_publisher.py, in a process of its own) and the simulated 64-channel headset,
// each through the window with display, hard-drive record and LSL re-streaming on, both in real time.
// Prints the window's CPU time per second of signal for each and their ratio (the source's own CPU is not
// counted). Usage: bench_lsl_device [seconds-each=60]. Run it offscreen (QT_QPA_PLATFORM=offscreen).

#include "MainWindow.h"
#include "ReadBT.h"
#include "Simulation.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <sys/resource.h>

#ifndef KVN_SOURCE_DIR
#define KVN_SOURCE_DIR "."
#endif

namespace {
double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU milliseconds per second of 64-channel 1024 Hz signal through a window configured by `connection`;
// negative when no data came.
double run(QApplication& app, const QString& connection, double seconds)
{
    QTemporaryDir records;
    const QString config = records.filePath("bench.json");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly)) return -1;
    f.write(QStringLiteral("{\"connection\": %1, \"sensors\": \"water\", \"harddrive\": \"%2\", \"lsl\": true,"
                           " \"autostart\": true}")
                .arg(connection, records.path())
                .toUtf8());
    f.close();
    MainWindow window;
    window.show();
    // A question or warning would wait for a user: it is printed and closed.
    QTimer modals;
    QObject::connect(&modals, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("closed: %s: %s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            box->done(QMessageBox::Ok);
        }
    });
    modals.start(100);
    auto* thread = window.findChild<ReadBT*>("readThread");
    double values = 0;
    QObject::connect(thread, &ReadBT::resultReady, &window,
                     [&](const std::vector<double>& d) { values += double(d.size()); }, Qt::QueuedConnection);
    const QByteArray path = QFile::encodeName(config);
    window.configure(path.constData());
    QElapsedTimer wall;
    wall.start();
    while (values == 0 && wall.elapsed() < 120000) app.processEvents(QEventLoop::AllEvents, 50);
    if (values == 0) return -1;
    // A few seconds to settle (viewers laid out, outlets open), then measure.
    QEventLoop settle;
    QTimer::singleShot(3000, &settle, &QEventLoop::quit);
    settle.exec();
    const double startValues = values;
    const double startCpu = cpuSeconds();
    const double perSecond = 64.0 * 1024.0;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if ((values - startValues) / perSecond >= seconds) loop.quit();
    });
    check.start(100);
    loop.exec();
    const double cpu = cpuSeconds() - startCpu;
    return 1000.0 * cpu / ((values - startValues) / perSecond);
}
}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    QApplication app(argc, argv);
    QTemporaryDir card;
    sim::setSdCardRoot(card.path().toStdString());
    sim::setTimeScale(1.0);

    const double simulated = run(app, R"({"type": "usb", "properties": {"port": 10}})", seconds);

    const QString prefix = QStringLiteral("bench%1_").arg(QCoreApplication::applicationPid());
    QProcess source;
    source.start(QStringLiteral(KVN_SOURCE_DIR "/.venv/bin/python"),
                 {QStringLiteral(KVN_SOURCE_DIR "/tests/tools/lsl_publisher.py"), "bench", prefix, "-"});
    if (!source.waitForReadyRead(60000)) {
        std::printf("the pylsl source did not start (is the test Python environment there?)\n");
        return 1;
    }
    const double lsl =
        run(app, QStringLiteral(R"({"type": "lsl", "properties": {"name": "%1EEG"}})").arg(prefix), seconds);
    source.kill();
    source.waitForFinished(10000);

    if (simulated < 0 || lsl < 0) {
        std::printf("no data came (simulated %s, LSL %s)\n", simulated < 0 ? "none" : "ok", lsl < 0 ? "none" : "ok");
        return 1;
    }
    std::printf("seconds of signal each      %.0f (64 channels at 1024 Hz, display, record and LSL on)\n", seconds);
    std::printf("simulated headset (COM10)   %.1f ms CPU per second of signal\n", simulated);
    std::printf("pylsl source as the device  %.1f ms CPU per second of signal\n", lsl);
    std::printf("ratio LSL / simulated       %.2f (goal: at most 1.5)\n", lsl / simulated);
    return 0;
}
