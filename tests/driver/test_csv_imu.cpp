// A digital aux input's record: one row per IMU in each block, each row saying which IMU it holds, readable by
// tools that know nothing of blocks; and records written before that column still read.

#include "CsvReader.h"
#include "CsvWriter.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <sstream>

namespace {

std::vector<std::string> lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

double imuValue(int block, int imu, int channel) { return block * 1000 + imu * 100 + channel + 0.5; }

}  // namespace

class CsvImuTest : public QObject {
    Q_OBJECT
private slots:
    void rowsNameTheirImu_data()
    {
        QTest::addColumn<int>("imus");
        QTest::newRow("two IMUs") << 2;
        QTest::newRow("four IMUs") << 4;
    }
    void rowsNameTheirImu()
    {
        QFETCH(int, imus);
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString() + "/rec";
        const std::vector<KvnSignal> signalList = {{"EEG", 2, 0, 4, 1}, {"COM", 9, 0, unsigned(imus), unsigned(imus)}};
        CsvWriter w;
        QVERIFY(w.setup(folder.c_str(), signalList, "KVN-B08-3003", 2) && w.writeHeaders(32, true));
        std::vector<double> v;
        for (int b = 0; b < 5; ++b) {
            v.assign(8, -1.0 * b);
            for (int imu = 0; imu < imus; ++imu)
                for (int c = 0; c < 9; ++c) v.push_back(imuValue(b, imu, c));
            QVERIFY(w.write(v.data(), uint16_t(b), 1000 + b, 2000 + b, 3, 0));
        }
        QVERIFY(w.close());

        const auto com = lines(folder + "/" + w.fileName(1));
        QCOMPARE(com.size(), std::size_t(1 + 5 * imus));
        // The existing columns keep their places; "imu" comes last.
        QCOMPARE(QString::fromStdString(com[0]),
                 QStringLiteral("sample,sequence,battery,flags,timestamp,utc,ch1,ch2,ch3,ch4,ch5,ch6,ch7,ch8,ch9,imu"));
        for (int row = 0; row < 5 * imus; ++row) {
            const std::string& l = com[std::size_t(row) + 1];
            QVERIFY2(QString::fromStdString(l).endsWith("," + QString::number(row % imus + 1)), l.c_str());
            QVERIFY(QString::fromStdString(l).startsWith(QString::number(row) + "," + QString::number(row / imus) + ","));
        }

        CsvReader r;
        QVERIFY2(r.open(folder), r.error().c_str());
        // Every IMU is sampled once per block: the aux input's rate is the block rate, as signalsInfo.json says.
        QCOMPARE(r.signalSamplingRate(0), 128u);
        QCOMPARE(r.signalSamplingRate(1), 32u);
        QCOMPARE(r.deviceName(), std::string("KVN-B08-3003"));
        QCOMPARE(r.sensorType(), 2);
        for (int b = 0; b < 5; ++b) {
            const Frame f = r.read();
            QVERIFY(!f.isEnd());
            QCOMPARE(int(f.blocks[1].rows()), imus);
            for (int imu = 0; imu < imus; ++imu)
                for (int c = 0; c < 9; ++c) QCOMPARE(f.blocks[1].value(std::size_t(imu), std::size_t(c)), imuValue(b, imu, c));
        }
        QVERIFY(r.read().isEnd());
    }

    // A record from before the "imu" column: the same rows without it.
    void recordWithoutImuColumnStillReads()
    {
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString();
        std::ofstream(folder + "/signalsInfo.csv")
            << "format,device,block_rate,sensor_type,signal,channels,samples_per_block,mode,filename\n"
            << "1,old,16,1,COM,9,2,2,COM.csv\n";
        std::ostringstream com;
        com << "sample,sequence,battery,flags,timestamp,utc,ch1,ch2,ch3,ch4,ch5,ch6,ch7,ch8,ch9\n";
        for (int row = 0; row < 6; ++row) {
            com << row << "," << row / 2 << ",3,0,,";
            for (int c = 0; c < 9; ++c) com << "," << imuValue(row / 2, row % 2, c);
            com << "\n";
        }
        std::ofstream(folder + "/COM.csv") << com.str();
        CsvReader r;
        QVERIFY2(r.open(folder), r.error().c_str());
        QCOMPARE(r.totalBlocks(), int64_t(3));
        for (int b = 0; b < 3; ++b) {
            const Frame f = r.read();
            QVERIFY(!f.isEnd());
            QCOMPARE(f.blocks[0].value(1, 8), imuValue(b, 1, 8));
        }
    }
};

QTEST_GUILESS_MAIN(CsvImuTest)
#include "test_csv_imu.moc"
