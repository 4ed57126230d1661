#include "CsvReader.h"
#include "CsvWriter.h"

#include "SimTestSupport.h"

#include <QProcess>

#include <fstream>

namespace {

struct Run {
    int code = -1;
    QString out, err;
};

Run convert(const QStringList& args, const QString& shellPrefix = QString()) {
    const QString program = QString::fromLocal8Bit(qgetenv("KVN_CONVERT"));
    QProcess p;
    if (shellPrefix.isEmpty()) {
        p.start(program, args);
    } else {
        QStringList quoted;
        for (const QString& a : args) quoted << "'" + a + "'";
        p.start("/bin/sh", {"-c", shellPrefix + "; exec '" + program + "' " + quoted.join(' ')});
    }
    Run r;
    if (!p.waitForFinished(300000)) return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

bool writeRecord(const std::string& folder, int blocks) {
    auto driver = usbDriver(10);
    CsvWriter w;
    if (!w.setup(folder.c_str(), driver->getSignals(), "KVN-H64-1010", 1) || !w.writeHeaders(driver->getFrequency(), true))
        return false;
    for (const Block& b : startAndRead(*driver, blocks))
        if (!w.write(b.data.data(), b.sequence, 0, 1764921600000000LL + b.sequence * 15625, b.battery, b.flags)) return false;
    driver->stop();
    return w.close();
}

}  // namespace

class ConvertTest : public QObject {
    Q_OBJECT
    QTemporaryDir tmp_, cards_;
    QString d, record, card;

private slots:
    void initTestCase() {
        if (qgetenv("KVN_CONVERT").isEmpty()) QSKIP("KVN_CONVERT names no converter");
        d = tmp_.path();
        freshFleet(cards_, 50.0);
        record = d + "/KVN-H64-1010-2026-12-05_08-15-00";
        QVERIFY(writeRecord(record.toStdString(), 128));
        auto driver = bluetoothDriver("KVN-B08-2201");
        QVERIFY(recordTo(*driver, "viewer/26-12-05/08-15-00/.", "r005"));
        QCOMPARE(int(startAndRead(*driver, 64).size()), 64);
        driver->stop();
        card = QString::fromStdString(sim::sdCardFolder("KVN-B08-2201")) + "/viewer/26-12-05/08-15-00";
        QVERIFY(QFileInfo::exists(card + "/0_r005.kvb"));
        QDir().mkpath(d + "/empty");
        QDir().mkpath(d + "/garbled");
        std::ofstream((d + "/garbled/signalsInfo.csv").toStdString()) << "not,a\ndescription\n";
        // A card that lost power in its last block, one with a flipped bit in the middle, and a record with a
        // broken line in the middle of one block.
        QVERIFY(QDir().mkpath(d + "/cut") && QFile::copy(card + "/0_r005.kvb", d + "/cut/0_cut.kvb"));
        QVERIFY(QFile::resize(d + "/cut/0_cut.kvb", QFileInfo(d + "/cut/0_cut.kvb").size() - 100));
        QVERIFY(QFile::copy(card + "/0_r005.kvb", d + "/0_bad.kvb") && writeRecord((d + "/damagedrec").toStdString(), 128));
        const auto damage = [](const QString& path, QByteArray bytes) {  // in the middle; empty: flip a bit
            QFile f(path);
            if (!f.open(QIODevice::ReadWrite) || !f.seek(f.size() / 2)) return false;
            if (bytes.isEmpty()) bytes = QByteArray(1, char(f.peek(1).at(0) ^ 1));
            return f.write(bytes) == bytes.size();
        };
        QVERIFY(damage(d + "/0_bad.kvb", {}) && damage(d + "/damagedrec/EEG.csv", QByteArray(40, 'x')));
        std::ofstream((d + "/exists.bdf").toStdString()) << "keep";
    }

    // Every bad input or output: one clear line on standard error, its own status, and nothing written.
    void badInputs_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("shell");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("absent");
        const QString o = d + "/out.bdf";
        QTest::newRow("no arguments") << QStringList{} << "" << 2 << "no record given" << "";
        QTest::newRow("no output") << QStringList{record} << "" << 2 << "no output given" << "";
        QTest::newRow("unknown option") << QStringList{record, "-o", o, "--fast"} << "" << 2 << "unknown option --fast" << o;
        QTest::newRow("missing folder") << QStringList{d + "/nowhere", "-o", o} << "" << 3 << "no such folder" << o;
        QTest::newRow("not a record") << QStringList{d + "/empty", "-o", o} << "" << 3 << "not a record folder" << o;
        QTest::newRow("damaged description") << QStringList{d + "/garbled", "-o", o} << "" << 3 << "garbled" << o;
        QTest::newRow("damaged block in a record") << QStringList{d + "/damagedrec", "-o", o} << "" << 3 << "the record is damaged (127 of 128 blocks readable)" << o;
        QTest::newRow("output exists") << QStringList{record, "-o", d + "/exists.bdf"} << "" << 4 << "exists (use --force" << "";
        QTest::newRow("full disk") << QStringList{record, "-o", o} << "ulimit -f 64" << 1 << "cannot write" << o;
        QTest::newRow("output folder missing") << QStringList{record, "-o", d + "/no/where.bdf"} << "" << 1 << "cannot create" << "";
        QTest::newRow("missing card record") << QStringList{"--sd", d + "/0_none.kvb", "-o", d + "/csv"} << "" << 3 << "no such file" << d + "/csv";
        QTest::newRow("not a card record") << QStringList{"--sd", record + "/signalsInfo.csv", "-o", o, "--bdf"} << "" << 3 << "not the first file" << o;
        QTest::newRow("folder without card record") << QStringList{"--sd", d + "/empty", "-o", o, "--bdf"} << "" << 3 << "no SD-card record" << o;
        QTest::newRow("damaged card record to BDF+") << QStringList{"--sd", d + "/0_bad.kvb", "-o", o, "--bdf"} << "" << 3 << "checksum" << o;
        QTest::newRow("damaged card record to CSV") << QStringList{"--sd", d + "/0_bad.kvb", "-o", d + "/badcsv"} << "" << 3 << "whole blocks before it are in " + d + "/badcsv" << d + "/badcsv/posita_setup.json";
        QTest::newRow("left half alone as a pair") << QStringList{"--sd", card + "/0_r005.kvb", "--right", card + "/0_r005.kvb", "-o", o, "--bdf"} << "" << 3 << "not a left half" << o;
    }
    void badInputs() {
        QFETCH(QStringList, args);
        QFETCH(QString, shell);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(QString, absent);
        const Run r = convert(args, shell);
        QVERIFY2(r.code == code, qPrintable(QString("status %1: %2").arg(r.code).arg(r.err)));
        // Progress lines may come first; the error is one line, the last.
        const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.filter("error").size(), 1);
        QVERIFY2(lines.last().startsWith("lumetra-convert: error: ") && lines.last().contains(message), qPrintable(r.err));
        if (!absent.isEmpty()) {
            QVERIFY2(!QFileInfo::exists(absent), qPrintable(absent));
            QVERIFY(!QFileInfo::exists(absent + ".part"));
        }
        QFile kept(d + "/exists.bdf");
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep"));
    }

    void convertsRecordFolder() {
        const QString out = d + "/rec.bdf";
        Run r = convert({record, "-o", out});
        QVERIFY2(r.code == 0 && QFileInfo(out).size() > 128 * 16 * 64 * 3, qPrintable(r.err));
        // Not a terminal: plain progress lines, the last one at 100 %.
        QVERIFY2(r.err.contains("lumetra-convert: 100%") && !r.err.contains('\r') && r.out.contains("128 blocks"),
                 qPrintable(r.err));
        // Never overwritten without --force; replaced with it; --quiet says nothing.
        QCOMPARE(convert({record, "-o", out}).code, 4);
        r = convert({record, "-o", out, "--force", "--quiet", "--edf"});
        QVERIFY(r.code == 0 && r.out.isEmpty() && r.err.isEmpty() && QFileInfo(out).size() < 128 * 16 * 64 * 3);
    }

    void convertsCardRecord() {
        // To CSV, as the Import dialog does: a record the reader plays back; from its file or its folder.
        const QString csv = d + "/imported";
        QCOMPARE(convert({"--sd", card + "/0_r005.kvb", "-o", csv, "-q"}).code, 0);
        CsvReader reader;
        QVERIFY2(reader.open(csv.toStdString()) && reader.totalBlocks() >= 64, reader.error().c_str());
        QCOMPARE(convert({"--sd", card, "-o", csv}).code, 4);
        QCOMPARE(convert({"--sd", card, "-o", csv, "--force", "-q"}).code, 0);
        QVERIFY(reader.open(csv.toStdString()));
        // A last block cut short: every whole block, and a warning that says what was left out.
        const Run cutShort = convert({"--sd", d + "/cut", "-o", d + "/cut.bdf", "--bdf"});
        QVERIFY2(cutShort.code == 0 && cutShort.err.contains("lumetra-convert: warning: ") &&
                     cutShort.err.contains("cut short") && QFileInfo::exists(d + "/cut.bdf"), qPrintable(cutShort.err));
    }

    void convertsEeg64Pair() {
        QString halves[2];
        for (int side = 0; side < 2; ++side) {
            const std::string device = side ? "KVN-A32-0412R" : "KVN-A32-0412L", name = side ? "r007r" : "r007l";
            auto driver = bluetoothDriver(device);
            QVERIFY(recordTo(*driver, "pair", name) && startAndRead(*driver, 64).size() == 64 && driver->stop());
            halves[side] = QString::fromStdString(sim::sdCardFolder(device) + "/pair/0_" + name + ".kvb");
        }
        const QString bdf = d + "/pair.bdf";
        const Run r = convert({"--sd", halves[0], "--right", halves[1], "-o", bdf, "--bdf"});
        QVERIFY2(r.code == 0 && QFileInfo(bdf).size() > 64 * 8 * 64 * 3, qPrintable(r.err));  // the wrong way round: see badInputs
    }
};

QTEST_GUILESS_MAIN(ConvertTest)
#include "test_convert.moc"
