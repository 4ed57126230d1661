#include "LslLibrary.h"

#include <QtTest>

class LslLibraryTest : public QObject {
    Q_OBJECT
private slots:
    // The set-up script installs liblsl; the tests point KVN_LSL_LIBRARY at it.
    void loadsAndCreatesAnOutlet()
    {
        LslLibrary& lsl = LslLibrary::instance();
        QVERIFY2(lsl.available(), qPrintable(lsl.error()));
        QVERIFY(lsl.library_version() >= 100);
        lsl_streaminfo info = lsl.create_streaminfo("kvn_test_stream", "EEG", 4, 256.0, LslLibrary::cft_float32,
                                                    "kvn_test_stream");
        QVERIFY(info);
        QCOMPARE(lsl.get_channel_count(info), 4);
        lsl_outlet outlet = lsl.create_outlet(info, 0, 360);
        lsl.destroy_streaminfo(info);
        QVERIFY(outlet);
        const float sample[4] = {1.f, 2.f, 3.f, 4.f};
        QCOMPARE(lsl.push_sample_ftp(outlet, sample, 0.0, 1), 0);
        lsl.destroy_outlet(outlet);
    }

    void searchOrderAndFailures()
    {
        qputenv("KVN_LSL_LIBRARY", "/nonexistent/liblsl.so");
        const QStringList candidates = LslLibrary::defaultCandidates();
        QCOMPARE(candidates.first(), QStringLiteral("/nonexistent/liblsl.so"));
        QCOMPARE(candidates.last(), QStringLiteral("lsl"));

        LslLibrary missing(QStringList{"/nonexistent/liblsl.so", "/also/missing.so"});
        QVERIFY(!missing.available());
        QVERIFY(missing.error().contains("nonexistent"));
        QVERIFY(!missing.create_outlet);

        // A library that loads but is not liblsl is refused with every function cleared.
        LslLibrary wrong(QStringList{"libz.so.1"});
        QVERIFY(!wrong.available());
        QVERIFY(!wrong.push_sample_ftp);
    }
};

QTEST_GUILESS_MAIN(LslLibraryTest)
#include "test_lsllibrary.moc"
