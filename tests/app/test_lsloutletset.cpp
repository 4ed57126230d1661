#include "FakeDeviceModel.h"
#include "LslOutletSet.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

namespace {
using FakeModel = FakeDeviceModel;

QString uniquePrefix()
{
    return QStringLiteral("kvntest%1").arg(QCoreApplication::applicationPid());
}
}  // namespace

class LslOutletSetTest : public QObject {
    Q_OBJECT
private slots:
    // The set-up script installs liblsl and the tests point KVN_LSL_LIBRARY at it; a missing or wrong library is
    // refused with every function cleared, so nothing calls through a stale pointer.
    void libraryLoadsAndRefusesImpostors()
    {
        LslLibrary& lsl = LslLibrary::instance();
        QVERIFY2(lsl.available(), qPrintable(lsl.error()));
        QVERIFY(lsl.library_version() >= 100);

        const QByteArray installed = qgetenv("KVN_LSL_LIBRARY");
        qputenv("KVN_LSL_LIBRARY", "/nonexistent/liblsl.so");
        const QStringList candidates = LslLibrary::defaultCandidates();
        qputenv("KVN_LSL_LIBRARY", installed);
        QCOMPARE(candidates.first(), QStringLiteral("/nonexistent/liblsl.so"));
        QCOMPARE(candidates.last(), QStringLiteral("lsl"));
        LslLibrary missing(QStringList{"/nonexistent/liblsl.so"});
        QVERIFY(!missing.available() && missing.error().contains("nonexistent") && !missing.create_outlet);
        LslLibrary wrong(QStringList{"libz.so.1"});
        QVERIFY(!wrong.available() && !wrong.push_sample_ftp);
    }

    void oneStreamPerActiveSignal()
    {
        FakeModel m;
        m.sigs = {{"EEG", 8, 4, 1}, {"uSD", 1, 1, 1}, {"BVP", 1, 8, 0}, {"GSR", 1, 1, 1}};
        LslOutletSet set(&m);
        set.openOutlets();
        QCOMPARE(set.outletCount(), std::size_t(2));
        QVERIFY(set.hasOutlet(0));
        QVERIFY(set.hasOutlet(3));
        // A second open keeps the existing outlets.
        set.openOutlets();
        QCOMPARE(set.outletCount(), std::size_t(2));
        set.closeOutlets();
        QCOMPARE(set.outletCount(), std::size_t(0));
        QCOMPARE(LslOutletSet::streamName("D", "EEG", 0), std::string("D_EEG_0"));
    }

    // A block shorter than the signal list says is skipped, never read past its end.
    void shortBlockIsNotOverread()
    {
        FakeModel m;
        m.sigs = {{"EEG", 8, 4, 1}};
        LslOutletSet set(&m);
        set.openOutlets();
        set.pushBlock(std::vector<double>(5, 1.0));
        set.pushBlock({});
    }

    // An independent consumer sees the announced parameters and the pushed values as float32.
    void consumerSeesStreamsAndValues()
    {
        const QString python = QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/.venv/bin/python";
        if (!QFile::exists(python)) QSKIP("the test Python environment is missing");
        FakeModel m;
        m.name = uniquePrefix().toStdString();
        m.rate = 64;
        m.sigs = {{"EEG", 3, 4, 1}, {"uSD", 1, 1, 1}, {"GSR", 1, 1, 0}, {"BVP", 1, 2, 1}};
        LslOutletSet set(&m);
        set.openOutlets();

        QProcess consumer;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PYLSL_LIB", qEnvironmentVariable("KVN_LSL_LIBRARY"));
        consumer.setProcessEnvironment(env);
        consumer.start(python, {QString::fromLocal8Bit(qgetenv("KVN_SOURCE_DIR")) + "/tests/tools/lsl_consumer.py",
                                uniquePrefix(), "2", "8", "40"});
        QVERIFY(consumer.waitForStarted());
        QByteArray out;
        while (!out.contains("READY") && consumer.state() == QProcess::Running) {
            consumer.waitForReadyRead(200);
            out += consumer.readAllStandardOutput();
        }
        QVERIFY2(out.contains("READY"), consumer.readAllStandardError().constData());

        // Block layout: EEG 3 channels x 4 samples, sample after sample; then BVP 1 x 2. Blocks go on until the
        // consumer has what it wants: samples pushed before its inlets were fully open may be missed.
        std::vector<double> block;
        for (int b = 0; consumer.state() == QProcess::Running && b < 3000; ++b) {
            block.clear();
            for (int s = 0; s < 4; ++s)
                for (int c = 0; c < 3; ++c) block.push_back(b * 100 + s * 10 + c + 0.1);
            block.push_back(-1.5 - b);
            block.push_back(1e-7 * b);
            set.pushBlock(block);
            consumer.waitForFinished(20);
        }
        QVERIFY(consumer.state() == QProcess::NotRunning || consumer.waitForFinished(60000));
        out += consumer.readAllStandardOutput();
        const QByteArray json = out.mid(out.indexOf("READY") + 5).trimmed();
        const QJsonArray streams = QJsonDocument::fromJson(json).object().value("streams").toArray();
        QCOMPARE(streams.size(), 2);

        const QJsonObject bvp = streams[0].toObject();  // sorted by name: ..._BVP_3 before ..._EEG_0
        const QJsonObject eeg = streams[1].toObject();
        QCOMPARE(eeg.value("name").toString(), uniquePrefix() + "_EEG_0");
        QCOMPARE(eeg.value("source_id").toString(), uniquePrefix() + "_EEG_0");
        QCOMPARE(eeg.value("type").toString(), QStringLiteral("EEG"));
        QCOMPARE(eeg.value("channels").toInt(), 3);
        QCOMPARE(eeg.value("rate").toDouble(), 256.0);
        QCOMPARE(bvp.value("name").toString(), uniquePrefix() + "_BVP_3");
        QCOMPARE(bvp.value("rate").toDouble(), 128.0);

        const QJsonArray eegSamples = eeg.value("samples").toArray();
        QCOMPARE(eegSamples.size(), 8);
        // Consecutive samples of consecutive blocks, each value exactly what was pushed, as float32.
        const QJsonArray first = eegSamples[0].toArray();
        const long firstBlock = std::lround(first[0].toDouble()) / 100;
        const long start = firstBlock * 4 + (std::lround(first[0].toDouble()) - firstBlock * 100) / 10;
        for (int i = 0; i < 8; ++i) {
            const long b = (start + i) / 4, smp = (start + i) % 4;
            const QJsonArray sample = eegSamples[i].toArray();
            for (int c = 0; c < 3; ++c)
                QCOMPARE(float(sample[c].toDouble()), float(b * 100 + smp * 10 + c + 0.1));
        }
        const QJsonArray bvpSamples = bvp.value("samples").toArray();
        QCOMPARE(bvpSamples.size(), 8);
        for (const auto& sample : bvpSamples) {
            const double v = sample.toArray()[0].toDouble();
            if (v < 0)
                QCOMPARE(float(v), float(-1.5 - double(std::lround(-1.5 - v))));
            else
                QCOMPARE(float(v), float(1e-7 * double(std::lround(v / 1e-7))));
        }
    }
};

QTEST_GUILESS_MAIN(LslOutletSetTest)
#include "test_lsloutletset.moc"
