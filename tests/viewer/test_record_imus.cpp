// Playback of a record with IMUs on a digital aux input shows one viewer per IMU, as a live device does.

#include "CsvWriter.h"
#include "RecordModel.h"
#include "SignalsWidget.h"

#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

class RecordImusTest : public QObject {
    Q_OBJECT
private slots:
    void everyImuHasATab_data()
    {
        QTest::addColumn<int>("imus");
        QTest::newRow("one") << 1;
        QTest::newRow("four") << 4;
    }
    void everyImuHasATab()
    {
        QFETCH(int, imus);
        QTemporaryDir dir;
        const std::string folder = dir.path().toStdString() + "/rec";
        CsvWriter w;
        QVERIFY(w.setup(folder.c_str(), {{"GSR", 1, 0, 1, 1}, {"COM", 9, 0, unsigned(imus), unsigned(imus)}}, "D", 0));
        QVERIFY(w.writeHeaders(32, true));
        std::vector<double> v(1 + 9 * std::size_t(imus), 1.0);
        QVERIFY(w.write(v.data(), 0, 1, 1, 3, 0) && w.close());

        RecordModel model;
        QVERIFY(model.open(folder));
        QCOMPARE(model.signal_mode(1), imus);
        QCOMPARE(model.signal_mode(0), 1);
        SignalsWidget widget;
        widget.configureSignals(model, 0);
        QStringList titles;
        for (int t = 0; t < widget.tabs()->count(); ++t)
            if (widget.tabs()->isTabEnabled(t)) titles << widget.tabs()->tabText(t);
        QCOMPARE(titles.filter("IMU").size(), imus);
        // Each IMU's viewer reads its own nine values of the block.
        widget.dispatchData(model, v);
    }
};

QTEST_MAIN(RecordImusTest)
#include "test_record_imus.moc"
