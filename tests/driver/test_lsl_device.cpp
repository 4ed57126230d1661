// LSL streams of the network as devices of the library: a pylsl source is read through the library's own
// liblsl, block by block, and every value, index and time stamp is checked against what the source pushed.

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

#include "ConnectionFactory.h"
#include "CsvReader.h"
#include "CsvWriter.h"
#include "Driver.h"
#include "LslApi.h"
#include "LslConnection.h"
#include "LslPublisher.h"
#include "LslSession.h"
#include "LslStreams.h"

namespace {
struct Read {
    std::vector<double> data;
    std::uint16_t sequence = 0, flags = 0;
    std::int16_t battery = 0;
    double time = 0;
};

std::unique_ptr<Driver> lslDriver(const std::string& key, const std::string& value)
{
    PropertyMap p;
    p.set(key, value);
    return std::make_unique<Driver>(ConnectionFactory::createAndSetup("lsl", p));
}

// Reads blocks until `n` came; a read may time out while the machine is busy, so only the deadline fails.
std::vector<Read> readBlocks(Driver& d, std::size_t n, int deadlineMs = 60000)
{
    std::vector<Read> out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n && t.elapsed() < deadlineMs) {
        Read r;
        if (d.readWithBattery(r.data, r.sequence, r.battery, r.flags)) {
            r.time = d.lastBlockSourceTime();
            out.push_back(std::move(r));
        } else if (!d.isConnected()) {
            break;
        }
    }
    return out;
}

// Whether `published` holds, for each sample of `reads` (channel 1 = the sample's index), the same values, and
// the indices follow each other without a hole, starting at the first block's.
bool samePushedSamples(const std::vector<Read>& reads, std::size_t offset, unsigned channels, unsigned samples,
                       const std::map<long, PushedRow>& published, QString& why)
{
    long expected = -1;
    for (const Read& r : reads) {
        for (unsigned s = 0; s < samples; ++s) {
            const double* v = r.data.data() + offset + std::size_t(s) * channels;
            const long index = long(v[0]);
            if (expected >= 0 && index != expected) {
                why = QString("sample %1 follows %2").arg(index).arg(expected - 1);
                return false;
            }
            expected = index + 1;
            auto it = published.find(index);
            if (it == published.end()) {
                why = QString("sample %1 was never pushed").arg(index);
                return false;
            }
            for (unsigned c = 0; c < channels; ++c) {
                const double want = it->second.values[c];
                if (!(v[c] == want || (std::isnan(v[c]) && std::isnan(want)))) {
                    why = QString("sample %1 channel %2: %3, pushed %4").arg(index).arg(c).arg(v[c]).arg(want);
                    return false;
                }
            }
        }
    }
    return true;
}
}  // namespace

// Every test of a live source starts one from the test Python environment, writing what it pushed to `out`.
#define START_SOURCE(kind, prefix)                                                 \
    if (!LslPublisher::usable()) QSKIP("the test Python environment is missing"); \
    QTemporaryDir out;                                                             \
    LslPublisher source;                                                           \
    QVERIFY(source.start(kind, prefix, out.path()))

class LslDeviceTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(useOwnLslSession());
        QVERIFY2(LslApi::instance().available(), LslApi::instance().errorText().c_str());
    }

    // How streams become signals: kinds from content types, block rates that hold whole samples of every
    // stream at 16 blocks per second or more, and the streams that cannot be shown.
    void streamRules()
    {
        for (const auto& [type, name] : {std::pair<const char*, const char*>{"Accelerometer", "IMU"}, {"PPG", "BVP"},
                                         {"EDA", "GSR"}, {"ECG", "ECG"}, {"Audio", "BIO"}, {"", "BIO"}})
            QCOMPARE(lslstreams::signalName(type), std::string(name));
        // 10 Hz: one sample a block, fewer blocks cannot be; 997 Hz is prime; 100.5 Hz is not whole: 6 samples a
        // block, about 16.75 blocks/s.
        const std::pair<std::vector<double>, unsigned> rates[] = {{{500}, 20}, {{500, 50}, 25}, {{1024}, 16},
                                                                  {{256, 64}, 16}, {{10}, 10}, {{997}, 997}, {{100.5}, 17}};
        for (const auto& [streams, blocks] : rates) QCOMPARE(lslstreams::blockRate(streams), blocks);
        QCOMPARE(lslstreams::samplesPerBlock(500, 25), 20u);
        QCOMPARE(lslstreams::samplesPerBlock(50, 25), 2u);
        QCOMPARE(lslstreams::samplesPerBlock(10, 0), 1u);

        LslStreamInfo ok{"s", "EEG", "id", "uid", "host", 8, 250.0, LslApi::cft_float32};
        QVERIFY(lslstreams::refusal(ok).empty());
        auto refused = [&](auto change, const char* says) {
            LslStreamInfo s = ok;
            change(s);
            const std::string why = lslstreams::refusal(s);
            return why.find("\"s\"") != std::string::npos && why.find(says) != std::string::npos;
        };
        QVERIFY(refused([](LslStreamInfo& s) { s.rate = 0; }, "irregular"));
        QVERIFY(refused([](LslStreamInfo& s) { s.rate = std::nan(""); }, "irregular"));
        QVERIFY(refused([](LslStreamInfo& s) { s.channels = 0; }, "no channels"));
        QVERIFY(refused([](LslStreamInfo& s) { s.channels = 10000; }, "10000 channels"));
        QVERIFY(refused([](LslStreamInfo& s) { s.format = LslApi::cft_string; }, "text"));
        QVERIFY(refused([](LslStreamInfo& s) { s.format = 0; }, "format"));
    }

    // One device from one source id: the EEG stream first, the accelerometer beside it, the irregular marker
    // stream left out; every sample as the source pushed it, none lost, the source's time stamps kept.
    void deviceFromSourceId()
    {
        START_SOURCE("device", "drvA_");
        auto d = lslDriver("source_id", "drvA_src");
        QVERIFY2(d->connectDevice(), d->connectionError().c_str());
        QCOMPARE(d->connectionInformation(), std::string("drvA_EEG"));
        QVERIFY(QRegularExpression("^HW(.+)FW([0-9]+)\\.([0-9]+)$").match(QString::fromStdString(d->getVersion())).hasMatch());
        QCOMPARE(d->getFrequency(), std::uint16_t(25));
        QCOMPARE(d->getSignals(), (std::vector<KvnSignal>{{"EEG", 32, 32, 20, 1}, {"IMU", 3, 3, 2, 1}}));
        QCOMPARE(d->blockSize(), std::size_t(32 * 20 + 3 * 2));
        auto* link = dynamic_cast<LslConnection*>(d->getConnection());
        QVERIFY(link && link->readOnly());
        QVERIFY(d->getChannelLabels(0).front() == "Fp1" && d->getChannelLabels(0).back() == "PO10");
        QCOMPARE(d->getChannelLabels(1), (std::vector<std::string>{"X", "Y", "Z"}));
        QVERIFY(d->getChannelLabels(2).empty());
        QVERIFY(!d->setSignalMode(0, 0));  // nothing to configure on a stream

        QVERIFY(!d->isRunning() && d->start() && d->isRunning());
        const std::vector<Read> reads = readBlocks(*d, 75);  // 3 s
        QCOMPARE(reads.size(), std::size_t(75));
        for (std::size_t i = 0; i < reads.size(); ++i)
            QVERIFY(reads[i].data.size() == d->blockSize() && reads[i].sequence == std::uint16_t(i) &&
                    reads[i].battery == -2 && reads[i].flags == 0);
        QVERIFY(d->stop() && !d->isRunning() && d->isConnected());

        const auto eeg = LslPublisher::byIndex(LslPublisher::pushedRows(out.path(), "drvA_EEG"));
        const auto acc = LslPublisher::byIndex(LslPublisher::pushedRows(out.path(), "drvA_Acc"));
        QString why;
        QVERIFY2(samePushedSamples(reads, 0, 32, 20, eeg, why), qPrintable("EEG: " + why));
        QVERIFY2(samePushedSamples(reads, 640, 3, 2, acc, why), qPrintable("accelerometer: " + why));
        // The block's time is the source's stamp of its first EEG sample (same computer: no clock offset).
        for (const Read& r : reads) {
            const double pushed = eeg.at(long(r.data[0])).stamp;
            QVERIFY2(std::fabs(r.time - pushed) < 1e-3, qPrintable(QString("%1 vs %2").arg(r.time).arg(pushed)));
        }

        // By name, one stream alone; by type, the first of that type; the marker stream is refused.
        auto byName = lslDriver("name", "drvA_Acc");
        QVERIFY(byName->connectDevice() && byName->getFrequency() == 25);
        QCOMPARE(byName->getSignals(), (std::vector<KvnSignal>{KvnSignal("IMU", 3, 3, 2, 1)}));
        auto byType = lslDriver("type", "EEG");
        QVERIFY(byType->connectDevice() && byType->getSignals().size() == 1 && byType->getFrequency() == 20);
        auto markers = lslDriver("name", "drvA_Markers");
        QVERIFY(!markers->connectDevice());
        QVERIFY2(markers->connectionError().find("irregular") != std::string::npos, markers->connectionError().c_str());
        QVERIFY(markers->connectionErrorIsFinal());  // no point in the model's further attempts
        auto missing = lslDriver("name", "drvA_Nothing");
        QVERIFY(!missing->connectDevice() && missing->connectionError().find("No LSL stream") != std::string::npos);
        QVERIFY(!missing->connectionErrorIsFinal());  // it may yet appear
    }

    // A source that disappears is a lost link; found again, it resumes, and the time it was away shows as
    // missing sequence numbers.
    void lostSourceAndGap()
    {
        START_SOURCE("device", "drvB_");
        auto d = lslDriver("name", "drvB_EEG");
        QVERIFY(d->connectDevice() && d->start());
        const std::vector<Read> before = readBlocks(*d, 10);
        QCOMPARE(before.size(), std::size_t(10));
        source.kill();
        QVERIFY(QTest::qWaitFor([&] {
            std::vector<double> data;
            std::uint16_t seq, flags;
            std::int16_t batt;
            d->readWithBattery(data, seq, batt, flags);
            return !d->isConnected();
        }, 60000));
        QVERIFY(!d->isRunning());

        QVERIFY(source.start("device", "drvB_", out.path(), 1000000));
        QVERIFY(QTest::qWaitFor([&] { return d->connectDevice(); }, 60000));
        QVERIFY(d->start());
        const std::vector<Read> after = readBlocks(*d, 10);
        QCOMPARE(after.size(), std::size_t(10));
        QVERIFY(after.front().data[0] >= 1000000);
        const double away = after.front().time - before.back().time;
        const int missed = int(std::uint16_t(after.front().sequence - before.back().sequence)) - 1;
        QVERIFY2(missed >= 1 && std::abs(missed - int(std::lround(away * 20)) + 1) <= 1,
                 qPrintable(QString("%1 blocks missed over %2 s").arg(missed).arg(away)));
        for (std::size_t i = 1; i < after.size(); ++i)
            QCOMPARE(after[i].sequence, std::uint16_t(after[i - 1].sequence + 1));
    }

    // Streams that cannot be shown are refused with a reason, and NaN values pass through as NaN.
    void badStreams()
    {
        START_SOURCE("bad", "drvC_");
        const std::pair<const char*, const char*> cases[] = {
            {"drvC_Zero", "no channels"}, {"drvC_Huge", "10000 channels"}, {"drvC_Text", "text"}};
        for (const auto& [name, says] : cases) {
            auto d = lslDriver("name", name);
            QVERIFY(!d->connectDevice());
            QVERIFY2(d->connectionError().find(says) != std::string::npos, d->connectionError().c_str());
            QVERIFY(!d->start());
        }
        auto d = lslDriver("name", "drvC_NaN");
        QVERIFY(d->connectDevice() && d->start());
        const std::vector<Read> reads = readBlocks(*d, 5);
        QCOMPARE(reads.size(), std::size_t(5));
        int nans = 0;
        for (const Read& r : reads)
            for (std::size_t s = 0; s * 4 < r.data.size(); ++s) {
                const bool odd = long(r.data[s * 4]) % 2 != 0;
                QCOMPARE(std::isnan(r.data[s * 4 + 1]), odd);
                nans += odd;
            }
        QVERIFY(nans > 0);
        const auto pushed = LslPublisher::byIndex(LslPublisher::pushedRows(out.path(), "drvC_NaN"));
        QString why;
        QVERIFY2(samePushedSamples(reads, 0, 4, 5, pushed, why), qPrintable(why));
    }

    // A stream's channel names become a record's column names, and come back from it when played; names a CSV
    // field cannot hold are mended, names that would break the record give way to ch1...chN.
    void channelNamesInRecords()
    {
        using Names = std::vector<std::string>;
        const std::string longName(40, 'x');
        const std::string cutUtf8 = std::string(23, 'a') + "\xc2\xb5V";  // the 2-byte letter at the cut goes whole
        QCOMPARE(CsvWriter::columnNames({"Fp1", "a,b", "q\"t", "line\nbreak", longName, cutUtf8}, 6),
                 (Names{"Fp1", "a_b", "q_t", "line_break", std::string(24, 'x'), std::string(23, 'a')}));
        const Names numbered{"ch1", "ch2"};
        for (const Names& bad : {Names{"A", "A"}, Names{"A", ""}, Names{"imu", "B"}, Names{"sample", "B"},
                                 Names{"a,", "a\""}, Names{"A"}})
            QCOMPARE(CsvWriter::columnNames(bad, 2), numbered);

        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString() + "/rec";
        CsvWriter w;
        QVERIFY(w.setup(folder.c_str(), {KvnSignal("EEG", 2, 2, 2, 1), KvnSignal("IMU", 3, 3, 1, 1),
                                         KvnSignal("GSR", 1, 1, 1, 1)}, "dev", 0));
        w.setChannelNames({{"Cz", "Pz"}, {}, {"a", "b"}});  // the last list does not fit its signal
        QVERIFY2(w.writeHeaders(10, true), w.error().c_str());
        const double block[] = {1.5, -2, 3, 4, 0.25, 0.5, 0.75, 7};
        QVERIFY(w.write(block, 0, 0, 0, 90, 0));
        QVERIFY(w.close());
        CsvReader r;
        QVERIFY2(r.open(folder), r.error().c_str());
        QCOMPARE(r.channelNames(0), (Names{"Cz", "Pz"}));
        QVERIFY(r.channelNames(1).empty() && r.channelNames(2).empty());
        const Frame f = r.read();
        QCOMPARE(f.blocks.size(), std::size_t(3));
        QCOMPARE(f.blocks[0].value(1, 1), 4.0);
    }

    // This program's own outlets are never offered back to it; once they are no longer its own (another
    // instance's), they are found like any stream.
    void ownStreamsAreNotOffered()
    {
        LslApi& lsl = LslApi::instance();
        lsl_streaminfo info = lsl.create_streaminfo("drvD_Own", "EEG", 4, 100, LslApi::cft_float32, "drvD_Own");
        QVERIFY(info);
        lsl_outlet outlet = lsl.create_outlet(info, 0, 10);
        lsl.destroy_streaminfo(info);
        QVERIFY(outlet);
        lsl_streaminfo mine = lsl.get_info(outlet);
        const std::string uid = lsl.get_uid(mine);
        lsl.destroy_streaminfo(mine);
        auto named = [](const std::vector<LslStreamInfo>& list) {
            for (const LslStreamInfo& s : list)
                if (s.name == "drvD_Own") return true;
            return false;
        };
        QVERIFY(QTest::qWaitFor([&] { return named(lslstreams::discover(0.5)); }, 30000));
        lslstreams::addOwnStream(uid);
        QVERIFY(lslstreams::isOwnStream(uid));
        QVERIFY(!named(lslstreams::discover(1.0)));
        auto d = lslDriver("name", "drvD_Own");
        QVERIFY(!d->connectDevice());
        lslstreams::removeOwnStream(uid);
        QVERIFY(QTest::qWaitFor([&] { return d->connectDevice(); }, 30000));
        d.reset();
        lsl.destroy_outlet(outlet);
    }
};

QTEST_GUILESS_MAIN(LslDeviceTest)
#include "test_lsl_device.moc"
