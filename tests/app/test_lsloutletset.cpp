#include "FakeDeviceModel.h"
#include "LslOutletSet.h"
#include "LslSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <chrono>
#include <cmath>
#include <functional>
#include <random>

namespace {
using FakeModel = FakeDeviceModel;

QString uniquePrefix()
{
    return QStringLiteral("kvntest%1").arg(QCoreApplication::applicationPid());
}

// Residuals of stamps against their least-squares line over the sample index: rms (s) and slope (s per sample).
std::pair<double, double> fitGrid(const std::vector<double>& t)
{
    const double n = double(t.size());
    double si = 0, st = 0, sii = 0, sit = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        si += double(i);
        st += t[i] - t[0];
        sii += double(i) * double(i);
        sit += double(i) * (t[i] - t[0]);
    }
    const double slope = (n * sit - si * st) / (n * sii - si * si);
    const double icpt = (st - slope * si) / n;
    double ss = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const double r = t[i] - t[0] - icpt - slope * double(i);
        ss += r * r;
    }
    return {std::sqrt(ss / n), slope};
}

// Each field of `want` has its value in `got`.
void expectFields(const QJsonObject& got, const QJsonObject& want)
{
    for (auto k = want.begin(); k != want.end(); ++k)
        QVERIFY2(got.value(k.key()) == k.value(),
                 qPrintable(k.key() + ": " + QJsonDocument(QJsonArray{got.value(k.key())}).toJson(QJsonDocument::Compact)));
}

QJsonArray runPython(const QString& script, const QStringList& args, const std::function<void()>& whileWaiting)
{
    const QString root = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR"));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PYLSL_LIB", qEnvironmentVariable("KVN_LSL_LIBRARY"));
    p.setProcessEnvironment(env);
    p.start(root + "/.venv/bin/python", QStringList{root + "/tests/tools/" + script} + args);
    if (!p.waitForStarted()) return {};
    while (p.state() == QProcess::Running) {
        whileWaiting();
        p.waitForFinished(20);
    }
    const QByteArray out = p.readAllStandardOutput();
    const int at = out.lastIndexOf("{\"streams\"");
    if (at < 0) qWarning() << out << p.readAllStandardError();
    return QJsonDocument::fromJson(out.mid(at)).object().value("streams").toArray();
}
}  // namespace

class LslOutletSetTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(useOwnLslSession()); }

    // The set-up script installs liblsl and the tests point KVN_LSL_LIBRARY at it; a missing or wrong library is
    // refused with every function cleared, so nothing calls through a stale pointer.
    void libraryLoadsAndRefusesImpostors()
    {
        LslLibrary& lsl = LslLibrary::instance();
        QVERIFY2(lsl.available(), qPrintable(lsl.error()));
        QVERIFY(lsl.library_version() >= 100);

        LslLibrary missing(QStringList{"/nonexistent/liblsl.so"});
        QVERIFY(!missing.available() && missing.error().contains("nonexistent") && !missing.create_outlet);
        LslLibrary wrong(QStringList{"libz.so.1"});
        QVERIFY(!wrong.available() && !wrong.push_sample_ftp);

        // A block shorter than the signal list says is skipped, never read past its end.
        FakeModel m;
        m.sigs = {{"EEG", 8, 4, 1}};
        LslOutletSet set(&m);
        set.openOutlets();
        set.pushBlock(std::vector<double>(5, 1.0));
        set.pushBlock({});
    }

    // Read times late by a random delay (bursts of blocks read together among them) still give samples strictly in
    // order, on a grid closer than the read times themselves; lost blocks keep their time; a long stall
    // starts the clock again; a device clock off by 200 ppm is followed.
    void stampsFollowReadTimesInOrder_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("samples");
        QTest::addColumn<double>("ppm");
        QTest::addColumn<double>("maxDelay");
        QTest::newRow("64-channel headset") << 64.0 << 16 << 0.0 << 0.004;
        QTest::newRow("biosignals EEG") << 32.0 << 8 << 0.0 << 0.02;
        QTest::newRow("aux input, one sample a block") << 32.0 << 1 << 0.0 << 0.02;
        QTest::newRow("slow device clock") << 64.0 << 16 << -200.0 << 0.004;
        QTest::newRow("fast device clock") << 64.0 << 16 << 200.0 << 0.004;
    }
    void stampsFollowReadTimesInOrder()
    {
        QFETCH(double, rate);
        QFETCH(int, samples);
        QFETCH(double, ppm);
        QFETCH(double, maxDelay);
        std::mt19937 random(7);
        std::exponential_distribution<double> delay(1.0 / (maxDelay / 4));
        BlockStamper stamper(1.0 / rate, unsigned(samples));
        std::vector<double> stamps, reads;
        double lastRead = 0;
        const double period = (1.0 + ppm * 1e-6) / rate;
        for (int b = 0; b < 4000; ++b) {
            double read = 100.0 + b * period + std::min(delay(random), maxDelay);
            if (b % 97 == 5) read += maxDelay;  // a late block, then the next one read right behind it
            read = std::max(read, lastRead);
            lastRead = read;
            reads.push_back(read);
            const double last = stamper.lastSample(read, 0);
            for (int s = 0; s < samples; ++s) stamps.push_back(last - (samples - 1 - s) * stamper.sampleInterval());
        }
        for (std::size_t i = 1; i < stamps.size(); ++i)
            QVERIFY2(stamps[i] > stamps[i - 1], qPrintable(QString("sample %1").arg(i)));
        const auto [jitter, slope] = fitGrid(stamps);
        const auto readFit = fitGrid(reads);
        QVERIFY2(jitter < readFit.first / 2, qPrintable(QString("%1 vs %2").arg(jitter).arg(readFit.first)));
        QVERIFY(std::fabs(slope * rate * samples / (1.0 + ppm * 1e-6) - 1.0) < 2e-5);
        // Never before the block was sent (a read is never early) and within the delivery delays after it.
        for (std::size_t b = 0; b < reads.size(); ++b) {
            const double late = stamps[(b + 1) * std::size_t(samples) - 1] - (100.0 + double(b) * period);
            QVERIFY2(late > -1e-4 && late < 2 * maxDelay, qPrintable(QString("block %1: %2 s").arg(b).arg(late)));
        }

        // Ten lost blocks: the next block is stamped where the device sent it, not right after the last one.
        BlockStamper lost(1.0 / rate, unsigned(samples));
        lost.lastSample(10.0, 0);
        QCOMPARE(lost.lastSample(10.0 + 11 / rate, 10), 10.0 + 11 / rate);
        // Blocks that keep coming 10 s late at the device's pace (a restarted device): the clock starts again
        // there, at the second of them.
        const double grid = 10.0 + 12 / rate;
        QCOMPARE(lost.lastSample(20.0, 0), grid);
        QCOMPARE(lost.lastSample(20.0 + 1 / rate, 0), 20.0 + 1 / rate);

        // A reader stalled for 3 s drains the device's 2 s backlog in a burst, then reads at the pace again: the
        // stamps stay where the device sent the blocks, neither pulled to the burst nor slowed down after it.
        BlockStamper stalled(1.0 / rate, unsigned(samples));
        stalled.lastSample(100.0, 0);
        const int missed = int(rate);  // the first second fell out of the radio's buffer
        for (int b = 1; b < 6 * int(rate); ++b) {
            const double sent = 100.0 + (b + missed) / rate;
            const double read = std::max(103.0 + b * 1e-4, sent + 0.002);
            const double stamp = stalled.lastSample(read, b == 1 ? unsigned(missed) : 0u);
            QVERIFY2(std::fabs(stamp - sent) < 0.003, qPrintable(QString("block %1: %2 s off").arg(b).arg(stamp - sent)));
        }
    }

    // One stream per active signal (not the SD card, not a signal in mode 0). An independent consumer sees the
    // announced parameters, the channel description, the pushed values as float32 and every sample stamped from
    // its block's read time, back-dated by the sample interval. The IMUs of an aux input arrive side by side in
    // one sample per block.
    void consumerSeesStreamsAndValues()
    {
        const QString python = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/.venv/bin/python";
        if (!QFile::exists(python)) QSKIP("the test Python environment is missing");
        FakeModel m;
        m.name = uniquePrefix().toStdString();
        m.versionText = "HW2.0_FW1.1";
        m.rate = 64;
        m.sigs = {{"EEG", 3, 4, 1}, {"uSD", 1, 1, 1}, {"GSR", 1, 1, 0}, {"BVP", 1, 2, 1}, {"COM", 9, 2, 2}};
        LslOutletSet set(&m);
        set.openOutlets();
        set.openOutlets();  // a second open keeps the outlets it has
        QCOMPARE(set.outletCount(), std::size_t(3));
        QCOMPARE(set.clockOffset(), 0.0);  // liblsl's clock is the steady clock here

        // Block layout: EEG 3 channels x 4 samples, sample after sample; BVP 1 x 2; COM 9 x 2 IMUs. Blocks go on
        // until the consumer has what it wants: samples pushed before its inlets were fully open may be missed.
        using namespace std::chrono;
        const int64_t t0 = duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
        int b = 0;
        std::vector<double> block;
        auto pushSome = [&] {
            for (int k = 0; k < 4 && b < 6000; ++k, ++b) {
                block.clear();
                for (int s = 0; s < 4; ++s)
                    for (int c = 0; c < 3; ++c) block.push_back(b * 100 + s * 10 + c + 0.1);
                block.push_back(-1.5 - b);
                block.push_back(1e-7 * b);
                for (int imu = 0; imu < 2; ++imu)
                    for (int c = 0; c < 9; ++c) block.push_back(b * 1000 + imu * 100 + c);
                set.pushBlock(block, t0 + int64_t(b) * 15625, b % 65536);
            }
        };
        const QJsonArray streams = runPython("lsl_consumer.py", {uniquePrefix(), "3", "40", "40"}, pushSome);
        QCOMPARE(streams.size(), 3);

        const QJsonObject bvp = streams[0].toObject();  // sorted by name: _BVP_3, _COM_4, _EEG_0
        const QJsonObject com = streams[1].toObject();
        const QJsonObject eeg = streams[2].toObject();
        const QString prefix = uniquePrefix();
        const QJsonArray uV{"microvolts", "microvolts", "microvolts"};
        expectFields(eeg, {{"name", prefix + "_EEG_0"}, {"source_id", prefix + "_EEG_0"}, {"type", "EEG"},
                           {"channels", 3}, {"rate", 256}, {"labels", QJsonArray{"1", "2", "3"}}, {"units", uV},
                           {"types", QJsonArray{"EEG", "EEG", "EEG"}}, {"manufacturer", "Lumetra"}, {"firmware", "1.1"}});
        expectFields(bvp, {{"name", prefix + "_BVP_3"}, {"rate", 128}, {"labels", QJsonArray{"BVP"}}});
        expectFields(com, {{"type", "COM"}, {"channels", 18}, {"rate", 64}});
        QCOMPARE(com.value("labels").toArray()[9].toString(), QStringLiteral("IMU2_AccX"));

        // Consecutive samples of consecutive blocks, each value exactly what was pushed, as float32, each
        // stamped at its block's read time less the samples after it in the block.
        const QJsonArray eegSamples = eeg.value("samples").toArray();
        const QJsonArray eegStamps = eeg.value("timestamps").toArray();
        QCOMPARE(eegSamples.size(), 40);
        const QJsonArray first = eegSamples[0].toArray();
        const long firstBlock = std::lround(first[0].toDouble()) / 100;
        const long start = firstBlock * 4 + (std::lround(first[0].toDouble()) - firstBlock * 100) / 10;
        for (int i = 0; i < 40; ++i) {
            const long blk = (start + i) / 4, smp = (start + i) % 4;
            const QJsonArray sample = eegSamples[i].toArray();
            for (int c = 0; c < 3; ++c)
                QCOMPARE(float(sample[c].toDouble()), float(blk * 100 + smp * 10 + c + 0.1));
            const double expected = double(t0 + blk * 15625) * 1e-6 - double(3 - smp) / 256.0;
            QVERIFY2(std::fabs(eegStamps[i].toDouble() - expected) < 1e-6,
                     qPrintable(QString("sample %1: %2 s, expected %3 s").arg(i).arg(eegStamps[i].toDouble(), 0, 'f', 6)
                                    .arg(expected, 0, 'f', 6)));
        }
        const QJsonArray bvpSamples = bvp.value("samples").toArray();
        QCOMPARE(bvpSamples.size(), 40);
        for (const auto& sample : bvpSamples) {  // -1.5 - b, then 1e-7 * b
            const double v = sample.toArray()[0].toDouble();
            QCOMPARE(float(v), float(v < 0 ? -1.5 - double(std::lround(-1.5 - v)) : 1e-7 * double(std::lround(v / 1e-7))));
        }
        const QJsonArray comSamples = com.value("samples").toArray();
        const QJsonArray comStamps = com.value("timestamps").toArray();
        QCOMPARE(comSamples.size(), 40);
        for (int i = 0; i < 40; ++i) {
            const QJsonArray sample = comSamples[i].toArray();
            const long blk = std::lround(sample[0].toDouble()) / 1000;
            for (int imu = 0; imu < 2; ++imu)
                for (int c = 0; c < 9; ++c) QCOMPARE(sample[imu * 9 + c].toDouble(), double(blk * 1000 + imu * 100 + c));
            QVERIFY(std::fabs(comStamps[i].toDouble() - double(t0 + blk * 15625) * 1e-6) < 1e-6);
        }
    }

    // mne-lsl, which turns a stream into MNE's measurement info, reads the same names, types and units.
    void mneLslReadsTheDescription()
    {
        const QString root = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR"));
        if (!QFile::exists(root + "/.venv/bin/python")) QSKIP("the test Python environment is missing");
        FakeModel m;
        m.name = uniquePrefix().toStdString() + "mne";
        m.sigs = {{"EEG", 4, 4, 1}, {"GSR", 1, 1, 1}, {"COM", 9, 2, 2}};
        LslOutletSet set(&m);
        set.openOutlets();
        const QJsonArray streams =
            runPython("mne_lsl_info.py", {QString::fromStdString(m.name), "3", "40"}, [&] {
                set.pushBlock(std::vector<double>(4 * 4 + 1 + 18, 1.0));
            });
        QCOMPARE(streams.size(), 3);
        const QJsonObject com = streams[0].toObject(), eeg = streams[1].toObject(), gsr = streams[2].toObject();
        expectFields(eeg, {{"ch_names", QJsonArray{"1", "2", "3", "4"}}, {"mne_types", QJsonArray{"eeg", "eeg", "eeg", "eeg"}},
                           {"manufacturer", "Lumetra"}});
        QCOMPARE(eeg.value("units").toArray()[0].toString(), QStringLiteral("microvolts"));
        expectFields(gsr, {{"mne_types", QJsonArray{"gsr"}}, {"units", QJsonArray{"microsiemens"}}});
        QCOMPARE(com.value("ch_names").toArray().size(), 18);
        QCOMPARE(com.value("ch_names").toArray()[17].toString(), QStringLiteral("IMU2_MagZ"));
        QCOMPARE(com.value("ch_types").toArray()[17].toString(), QStringLiteral("Magnetometer"));
        // MNE has no inertial channel type: these are "misc" there, never MEG magnetometers.
        QCOMPARE(com.value("mne_types").toArray()[17].toString(), QStringLiteral("misc"));
    }
};

QTEST_GUILESS_MAIN(LslOutletSetTest)
#include "test_lsloutletset.moc"
