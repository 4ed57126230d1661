#pragma once

// A pylsl source in a process of its own (tests/tools/lsl_publisher.py), in the test's own LSL session (the
// process inherits LSLAPICFG, see LslSession.h). It writes every sample it pushes to OUTDIR/<stream>.csv;
// pushedRows reads them back.

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <map>
#include <vector>

struct PushedRow {
    double stamp = 0;
    std::vector<double> values;
};

class LslPublisher {
public:
    static QString python() { return qEnvironmentVariable("KVN_SOURCE_DIR") + "/.venv/bin/python"; }
    static bool usable() { return QFile::exists(python()); }

    ~LslPublisher() { kill(); }

    // Starts the publisher and waits until its outlets exist.
    bool start(const QString& kind, const QString& prefix, const QString& outDir, long firstIndex = 0)
    {
        kill();
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(python(), {qEnvironmentVariable("KVN_SOURCE_DIR") + "/tests/tools/lsl_publisher.py", kind,
                                  prefix, outDir, QString::number(firstIndex)});
        if (!process_.waitForStarted(30000)) return false;
        return QTest::qWaitFor([this] {
            return process_.readAllStandardOutput().contains("READY") || process_.state() == QProcess::NotRunning
                       ? (ready_ = process_.state() == QProcess::Running, true)
                       : false;
        }, 60000) && ready_;
    }

    // Ends the source at once, as a crash or a pulled cable would.
    void kill()
    {
        if (process_.state() == QProcess::NotRunning) return;
        process_.kill();
        process_.waitForFinished(30000);
        ready_ = false;
    }

    bool running() const { return process_.state() == QProcess::Running; }

    // Every sample pushed so far to `stream`, in order.
    static std::vector<PushedRow> pushedRows(const QString& outDir, const QString& stream)
    {
        std::vector<PushedRow> rows;
        QFile f(outDir + "/" + stream + ".csv");
        if (!f.open(QIODevice::ReadOnly)) return rows;
        while (!f.atEnd()) {
            const QByteArray line = f.readLine();
            if (!line.endsWith('\n')) break;  // a line still being written
            const QList<QByteArray> fields = line.trimmed().split(',');
            PushedRow row;
            row.stamp = fields[0].toDouble();
            for (int i = 1; i < fields.size(); ++i) row.values.push_back(fields[i].toDouble());
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // The pushed rows by the sample index their first channel carries.
    static std::map<long, PushedRow> byIndex(const std::vector<PushedRow>& rows)
    {
        std::map<long, PushedRow> out;
        for (const PushedRow& r : rows)
            if (!r.values.empty()) out[long(r.values[0])] = r;
        return out;
    }

private:
    QProcess process_;
    bool ready_ = false;
};
