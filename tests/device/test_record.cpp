// Playback of a record written by the library's CsvWriter: blocks back in order with their sequence,
// battery and flags, in the live layout; the end marker; reopening on connect; the pause per block rate.

#include "RecordModel.h"

#include "CsvWriter.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

const std::vector<KvnSignal> kSignals = {
    {"EEG", 4, 4, 2, 1},
    {"BVP", 1, 1, 2, 1},
    {"GSR", 1, 1, 1, 0},  // off: records nothing
    {"uSD", 1, 1, 1, 0},
};
const std::size_t kValuesPerBlock = 4 * 2 + 1 * 2;

double valueOf(int block, std::size_t k) { return block * 100.0 + k + 0.125 * std::sin(block + k); }

// Writes `blocks` blocks; battery and flags are varied so that clamping and pass-through can be checked.
bool writeRecord(const QString& folder, int blockRate, int blocks) {
    CsvWriter writer;
    if (!writer.setup(folder.toLocal8Bit().constData(), kSignals, "KVN-TEST-0001", 2))
        return false;
    if (!writer.writeHeaders(blockRate, true))
        return false;
    const int16_t batteries[] = {-3, 6, -2, -1, 0, 5, 3};
    for (int b = 0; b < blocks; ++b) {
        std::vector<double> v(kValuesPerBlock);
        for (std::size_t k = 0; k < v.size(); ++k)
            v[k] = valueOf(b, k);
        const uint16_t seq = static_cast<uint16_t>(65530 + b);  // wraps past 65535
        const uint16_t flags = b == 3 ? 2 : (b == 4 ? 7 : 0);
        if (!writer.write(v.data(), seq, 1000 + b, 2000 + b, batteries[b % 7], flags))
            return false;
    }
    return writer.close();
}

}  // namespace

class TestRecord : public QObject {
    Q_OBJECT
private slots:
    void pauseFollowsTheBlockRate();
    void describesTheRecord();
    void playsEveryBlockBackThenTheEndOnce();
    void stopAndStartPlaysFromTheFirstBlock();
    void connectReopensAndFailsForAVanishedFolder();
    void anUnreadableFolderNeitherConnectsNorRuns();
    void aRecordWithoutBlockRateIsRefusedCleanly();
};

void TestRecord::pauseFollowsTheBlockRate() {
    QCOMPARE(RecordModel::pauseMilliseconds(250), 4u);
    QCOMPARE(RecordModel::pauseMilliseconds(3), 333u);
    QCOMPARE(RecordModel::pauseMilliseconds(1000), 1u);
    QCOMPARE(RecordModel::pauseMilliseconds(1001), 0u);
    QCOMPARE(RecordModel::pauseMilliseconds(0), 1000u);  // no rate: paced, not unpaced
}

void TestRecord::describesTheRecord() {
    QTemporaryDir dir;
    QVERIFY(writeRecord(dir.path(), 32, 32 * 3 + 5));
    RecordModel m;
    QVERIFY(m.open(dir.path().toStdString()));
    QVERIFY(!m.is_connected());  // open loads; connect_device connects
    QVERIFY(m.is_read_only());
    QVERIFY(!m.requires_dongle());
    QCOMPARE(m.version(), std::string("HW0.0_FW1.0"));
    QCOMPARE(m.frequency(), 32u);
    QCOMPARE(m.duration(), int64_t(3));
    QCOMPARE(m.description(), dir.path().toStdString());
    QCOMPARE(m.signal_count(), 2u);
    QCOMPARE(m.signal_name(0), std::string("EEG"));
    QCOMPARE(m.signal_channels(0), 4u);
    QCOMPARE(m.signal_samples(0), 2u);
    QCOMPARE(m.signal_name(1), std::string("BVP"));
    QCOMPARE(m.signal_samples(1), 2u);
    QCOMPARE(m.signal_mode(0), 1);
    QCOMPARE(m.signal_mode(1), 1);
    QVERIFY(m.has_eeg_signal());
    QVERIFY(!m.has_sd_card());
}

void TestRecord::playsEveryBlockBackThenTheEndOnce() {
    QTemporaryDir dir;
    const int blocks = 12;
    QVERIFY(writeRecord(dir.path(), 1000, blocks));
    RecordModel m;
    QSignalSpy connected(&m, &DeviceModel::connected);
    QSignalSpy started(&m, &DeviceModel::started);
    QVERIFY(m.open(dir.path().toStdString()));
    m.connect_device();
    QCOMPARE(connected.count(), 1);
    QVERIFY(connected.at(0).at(0).toBool());
    m.start();
    QCOMPARE(started.count(), 1);
    QVERIFY(m.is_running());

    const int16_t expectedBattery[] = {-2, -2, -2, -1, 0, 5, 3};
    std::vector<double> samples;
    for (int b = 0; b < blocks; ++b) {
        uint16_t seq = 1, flags = 1;
        int16_t battery = 1;
        QVERIFY(m.read(samples, seq, battery, flags));
        QCOMPARE(seq, uint16_t(65530 + b));
        QCOMPARE(battery, expectedBattery[b % 7]);
        QCOMPARE(flags, uint16_t(b == 3 ? 2 : (b == 4 ? 7 : 0)));
        QCOMPARE(samples.size(), kValuesPerBlock);
        for (std::size_t k = 0; k < kValuesPerBlock; ++k)
            QCOMPARE(samples[k], valueOf(b, k));  // exact: the record is lossless
    }
    QVERIFY(m.is_running());

    // The end marker: false with flags 65535, samples untouched, running cleared.
    const std::vector<double> last = samples;
    uint16_t seq = 0, flags = 0;
    int16_t battery = 0;
    QVERIFY(!m.read(samples, seq, battery, flags));
    QCOMPARE(flags, uint16_t(65535));
    QCOMPARE(samples, last);
    QVERIFY(!m.is_running());

    // Past the end: false again, but no second end marker.
    flags = 0;
    QVERIFY(!m.read(samples, seq, battery, flags));
    QCOMPARE(flags, uint16_t(0));
    QVERIFY(!m.is_running());
    QVERIFY(m.is_connected());
}

void TestRecord::stopAndStartPlaysFromTheFirstBlock() {
    QTemporaryDir dir;
    QVERIFY(writeRecord(dir.path(), 1000, 6));
    RecordModel m;
    QVERIFY(m.open(dir.path().toStdString()));
    m.connect_device();
    m.start();
    std::vector<double> samples;
    uint16_t seq = 0, flags = 0;
    int16_t battery = 0;
    QVERIFY(m.read(samples, seq, battery, flags));
    QVERIFY(m.read(samples, seq, battery, flags));
    QCOMPARE(seq, uint16_t(65531));
    QSignalSpy stopped(&m, &DeviceModel::stopped);
    m.stop();
    QCOMPARE(stopped.count(), 1);
    QVERIFY(!m.is_running());
    m.start();
    QVERIFY(m.read(samples, seq, battery, flags));
    QCOMPARE(seq, uint16_t(65530));

    // After the end marker the acquisition thread's restart plays the record again.
    while (m.read(samples, seq, battery, flags)) {
    }
    QCOMPARE(flags, uint16_t(65535));
    m.start();
    QVERIFY(m.is_running());
    QVERIFY(m.read(samples, seq, battery, flags));
    QCOMPARE(seq, uint16_t(65530));
}

void TestRecord::connectReopensAndFailsForAVanishedFolder() {
    QTemporaryDir dir;
    QVERIFY(writeRecord(dir.path(), 1000, 4));
    RecordModel m;
    QVERIFY(m.open(dir.path().toStdString()));
    m.connect_device();
    QVERIFY(m.is_connected());
    QSignalSpy disconnected(&m, &DeviceModel::disconnected);
    m.disconnect_device();
    QCOMPARE(disconnected.count(), 1);
    QVERIFY(!m.is_connected());

    // Reconnecting reads the folder again: a record grown meanwhile is seen whole.
    QVERIFY(QDir(dir.path()).removeRecursively() && QDir().mkpath(dir.path()));
    QVERIFY(writeRecord(dir.path(), 1000, 9));
    m.connect_device();
    QVERIFY(m.is_connected());
    m.start();
    std::vector<double> samples;
    uint16_t seq = 0, flags = 0;
    int16_t battery = 0;
    int count = 0;
    while (m.read(samples, seq, battery, flags))
        ++count;
    QCOMPARE(count, 9);

    m.clear();
    QVERIFY(!m.is_connected());
    QVERIFY(dir.remove());
    QSignalSpy connected(&m, &DeviceModel::connected);
    m.connect_device();
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).at(0).toBool(), false);
}

void TestRecord::anUnreadableFolderNeitherConnectsNorRuns() {
    QTemporaryDir dir;
    RecordModel m;
    QVERIFY(!m.open(dir.path().toStdString()));
    QVERIFY(!m.error().empty());
    m.connect_device();
    QVERIFY(!m.is_connected());
    QSignalSpy started(&m, &DeviceModel::started);
    m.start();
    QCOMPARE(started.count(), 0);
    QVERIFY(!m.is_running());
    std::vector<double> samples;
    uint16_t seq = 0, flags = 0;
    int16_t battery = 0;
    QVERIFY(!m.read(samples, seq, battery, flags));
    QVERIFY(samples.empty());
    QCOMPARE(m.frequency(), 0u);
    QCOMPARE(m.duration(), int64_t(0));
    QCOMPARE(m.signal_count(), 0u);
}

void TestRecord::aRecordWithoutBlockRateIsRefusedCleanly() {
    QTemporaryDir dir;
    QVERIFY(writeRecord(dir.path(), 32, 10));
    QFile info(dir.filePath("signalsInfo.csv"));
    QVERIFY(info.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(info.readAll());
    info.close();
    text.replace(",KVN-TEST-0001,32,", ",KVN-TEST-0001,0,");
    QVERIFY(info.open(QIODevice::WriteOnly | QIODevice::Truncate));
    info.write(text.toUtf8());
    info.close();

    RecordModel m;
    m.open(dir.path().toStdString());
    m.connect_device();
    m.start();
    QCOMPARE(m.frequency(), 0u);
    if (m.is_connected()) {
        // Should a reader ever accept it, playback is paced, not a flood: the block waits a second.
        QVERIFY(m.is_running());
        std::vector<double> samples;
        uint16_t seq = 0, flags = 0;
        int16_t battery = 0;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(m.read(samples, seq, battery, flags));
        QVERIFY(timer.elapsed() >= 900);
    } else {
        QVERIFY(!m.is_running());
        QCOMPARE(m.duration(), int64_t(0));
    }
}

QTEST_GUILESS_MAIN(TestRecord)
#include "test_record.moc"
