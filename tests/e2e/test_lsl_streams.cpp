// What an independent LSL consumer (pylsl) receives from a live acquisition, against the record written at the
// same time: one stream per active signal, time stamps in order on a regular grid, every sample equal to its CSV
// row, and the IMUs of a digital aux input side by side in labelled channels, each equal to the rows of the same
// IMU in COM.csv. The streams go at Stop and come back at the next Start.

#include "LslSession.h"
#include "WindowSession.h"

#include <cmath>
#include <map>

using namespace e2e;

namespace {

using Rows = std::vector<std::vector<double>>;

// Rows of every recorded signal by name, as the record's reader gives them.
std::map<std::string, Rows> recordRows(const QString& folder)
{
    std::map<std::string, Rows> out;
    CsvReader reader;
    if (!reader.open(folder.toStdString()) || !reader.start()) return out;
    for (Frame f = reader.read(); !f.isEnd(); f = reader.read())
        for (std::size_t i = 0; i < f.blocks.size(); ++i) {
            const DataBlock& d = f.blocks[i];
            for (std::size_t r = 0; r < d.rows(); ++r) {
                std::vector<double> row;
                for (std::size_t c = 0; c < d.cols(); ++c) row.push_back(d.value(r, c));
                out[reader.signalName(i)].push_back(row);
            }
        }
    return out;
}

// COM.csv read as text, by its "imu" column: the rows of each IMU in order.
std::map<int, Rows> imuRows(const QString& path)
{
    std::map<int, Rows> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QList<QByteArray> header = f.readLine().trimmed().split(',');
    if (header.last() != "imu") return out;
    while (!f.atEnd()) {
        const QList<QByteArray> fields = f.readLine().trimmed().split(',');
        std::vector<double> row;
        for (int k = 6; k < fields.size() - 1; ++k) row.push_back(fields[k].toDouble());
        out[fields.last().toInt()].push_back(row);
    }
    return out;
}

// The index of the record row where the consumer's samples begin: the first 20 (or fewer) agree as float32.
long findStart(const Rows& rows, const QJsonArray& samples)
{
    const long probe = std::min<long>(20, samples.size());
    for (long j = 0; j + probe <= long(rows.size()); ++j) {
        bool same = true;
        for (long k = 0; k < probe && same; ++k) {
            const std::vector<double>& row = rows[std::size_t(j + k)];
            const QJsonArray s = samples[int(k)].toArray();
            same = std::size_t(s.size()) == row.size();
            for (int c = 0; c < s.size() && same; ++c) same = float(row[std::size_t(c)]) == float(s[c].toDouble());
        }
        if (same) return j;
    }
    return -1;
}

}  // namespace

class LslStreamsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(useOwnLslSession()); }

    // Real time: the stamps are checked against the device's nominal rate.
    void init() { QVERIFY(freshFleet(1.0)); }

    void consumerSeesTheRecordInTime_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("imus");
        QTest::addColumn<int>("wanted");
        QTest::newRow("64-channel headset") << "COM10" << "KVN-H64-1010" << 0 << 2048;
        QTest::newRow("biosignals, no IMUs") << "COM3" << "KVN-B08-3003" << 0 << 160;
        QTest::newRow("biosignals, 2 IMUs") << "COM3" << "KVN-B08-3003" << 2 << 160;
        QTest::newRow("biosignals, 4 IMUs") << "COM3" << "KVN-B08-3003" << 4 << 160;
    }
    void consumerSeesTheRecordInTime()
    {
        QFETCH(QString, port);
        QFETCH(QString, device);
        QFETCH(int, imus);
        QFETCH(int, wanted);
        if (!haveTestPython()) QSKIP("the test Python environment is missing");
        Session s;
        s.imus = imus;
        QVERIFY(s.connectTo("Usb", port));
        byText<QCheckBox>(*s.window, "Enable LSL server")->setChecked(true);
        QTemporaryDir records;
        s.enableHardDrive(records.path());
        s.start();
        const int expected = device == "KVN-H64-1010" ? 1 : imus ? 5 : 4;
        const QJsonArray streams = consumedStreams(device + "_", expected, wanted, 90);
        s.stop();
        QCOMPARE(streams.size(), expected);
        bool ended = false;
        QVERIFY2(consumedStreams(device + "_", 1, 0, 3, &ended).isEmpty() && ended, "streams outlived Stop");
        // One stream per active signal: COM only with something plugged in, and the SD card never.
        QStringList names;
        for (const auto& st : streams) names << st.toObject().value("name").toString();
        QVERIFY2(names.contains(device + "_EEG_0"), qPrintable(names.join(",")));
        if (device == "KVN-B08-3003")
            QVERIFY(names.contains(device + "_BVP_1") && names.contains(device + "_GSR_2") &&
                    names.contains(device + "_COM_3") == (imus > 0));

        const QString folder = onlySubfolder(records.path());
        const auto rows = recordRows(folder);
        for (const auto& st : streams) {
            const QJsonObject o = st.toObject();
            const QString name = o.value("name").toString();
            const std::string signal = name.section('_', -2, -2).toStdString();
            const QJsonArray samples = o.value("samples").toArray();
            const QJsonArray stamps = o.value("timestamps").toArray();
            QCOMPARE(samples.size(), wanted);
            QCOMPARE(o.value("labels").toArray().size(), o.value("channels").toInt());
            QCOMPARE(o.value("source_id").toString(), name);
            if (signal == "EEG") QCOMPARE(o.value("type").toString(), QStringLiteral("EEG"));
            if (signal == "EEG" && device == "KVN-B08-3003")
                QVERIFY(o.value("channels").toInt() == 8 && o.value("rate").toDouble() == 256.0);

            // Stamps strictly increasing, close to a straight line at the nominal rate.
            const double rate = o.value("rate").toDouble();
            double si = 0, st2 = 0, sii = 0, sit = 0;
            const double n = stamps.size(), t0 = stamps[0].toDouble();
            for (int i = 0; i < stamps.size(); ++i) {
                if (i > 0)
                    QVERIFY2(stamps[i].toDouble() > stamps[i - 1].toDouble(),
                             qPrintable(QString("%1: sample %2 not after the one before").arg(name).arg(i)));
                const double t = stamps[i].toDouble() - t0;
                si += i, st2 += t, sii += double(i) * i, sit += i * t;
            }
            const double slope = (n * sit - si * st2) / (n * sii - si * si);
            const double icpt = (st2 - slope * si) / n;
            double ss = 0;
            for (int i = 0; i < stamps.size(); ++i) {
                const double r = stamps[i].toDouble() - t0 - icpt - slope * i;
                ss += r * r;
            }
            const double rms = std::sqrt(ss / n), drift = (slope * rate - 1.0) * 1e6;
            qInfo("%s: %d samples, rms jitter %.3f ms, drift %.0f ppm", qPrintable(name), int(n), rms * 1e3, drift);
            // Generous: on a loaded machine blocks queue up before the first one is read, and that one is stamped
            // when it is read; the stamps of 8-sample blocks then run 1/16 slow (-62,346 ppm seen over the first
            // 20 blocks) until they meet the read times. A wrong rate (the block rate, samples per block not
            // counted) is off by a factor of two or more.
            QVERIFY2(rms < 0.010, qPrintable(QString("%1: rms %2 s").arg(name).arg(rms)));
            QVERIFY2(std::fabs(drift) < 150000, qPrintable(QString("%1: drift %2 ppm").arg(name).arg(drift)));

            if (signal == "HAP") continue;  // a constant: no place in the record to find
            Rows r;  // the record's rows of the stream's signal, in the stream's channel order
            if (signal == "COM") {
                // Channel IMUk_... holds IMU k's row of the block, as COM.csv's "imu" column says.
                const auto byImu = imuRows(folder + "/COM.csv");
                QCOMPARE(int(byImu.size()), imus);
                QCOMPARE(o.value("labels").toArray()[9].toString(), QStringLiteral("IMU2_AccX"));
                std::size_t whole = SIZE_MAX;  // rows every IMU has
                for (const auto& imu : byImu) whole = std::min(whole, imu.second.size());
                for (std::size_t k = 0; k < whole && !byImu.empty(); ++k) {
                    r.emplace_back();
                    for (const auto& imu : byImu)
                        r.back().insert(r.back().end(), imu.second[k].begin(), imu.second[k].end());
                }
            } else {
                QVERIFY2(rows.count(signal), signal.c_str());
                r = rows.at(signal);
            }
            const long j = findStart(r, samples);
            QVERIFY2(j >= 0, qPrintable(name + ": the samples are not in the record"));
            QVERIFY(j + wanted <= long(r.size()));
            for (int k = 0; k < wanted; ++k) {
                std::vector<float> sent, recorded(r[std::size_t(j + k)].begin(), r[std::size_t(j + k)].end());
                for (const QJsonValue v : samples[k].toArray()) sent.push_back(float(v.toDouble()));
                QCOMPARE(sent, recorded);
            }
        }
        // The next Start brings the same streams back.
        byText<QCheckBox>(*s.window, "Hard drive record")->setChecked(false);
        s.start();
        const QJsonArray again = consumedStreams(device + "_", expected, 1, 30);
        s.stop();
        QStringList namesAgain;
        for (const auto& st : again) namesAgain << st.toObject().value("name").toString();
        QCOMPARE(namesAgain, names);
    }
};

QTEST_MAIN(LslStreamsTest)
#include "test_lsl_streams.moc"
