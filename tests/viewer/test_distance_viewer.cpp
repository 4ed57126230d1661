// The distance viewer of a positioning set-up.
#include <DistanceViewer.h>

#include <QDir>
#include <QImage>
#include <QtTest>
#include <cmath>
#include <limits>

namespace {

// One viewer per anchor mode list: the first comes with the signal, the others are added.
std::unique_ptr<DistanceViewer> viewerOf(std::initializer_list<unsigned> modes)
{
    auto viewer = std::make_unique<DistanceViewer>(KvnSignal("ANC", 2, 2, 1, *modes.begin()));
    for (auto m = modes.begin() + 1; m != modes.end(); ++m)
        viewer->addAnchor(*m);
    return viewer;
}

void send(DistanceViewer& viewer, double distance, double battery)
{
    const double block[2] = {distance, battery};
    static_cast<ProcessWidget&>(viewer).process(block, false);
}

const QString noData = "Anchor: 1\nDistance: No data\nBattery: No data";

}  // namespace

class DistanceViewerTest : public QObject {
    Q_OBJECT

private slots:
    void inactiveAnchorIsSkipped()
    {
        auto viewer = viewerOf({1, 0, 1});
        QCOMPARE(viewer->cellText(0), noData);
        QCOMPARE(viewer->cellText(1), QString("Anchor not active"));
        const int before = viewer->repaintRequests();
        for (double d : {1.5, 2.25, 3.0, 4.0})
            send(*viewer, d, 3.9 - d / 10);
        QCOMPARE(viewer->repaintRequests(), before + 2);  // once per round, after the last anchor
        QCOMPARE(viewer->nextAnchor(), 0);
        QCOMPARE(viewer->distance(1), 0.0);
        QCOMPARE(viewer->cellText(0), QString("Anchor: 1\nDistance: 3.00 m\nBattery: 3.60 V"));
        QCOMPARE(viewer->cellText(2), QString("Anchor: 3\nDistance: 4.00 m\nBattery: 3.50 V"));
    }

    void readingsAreLimited()
    {
        auto viewer = viewerOf({1});
        send(*viewer, 25.0, -1.0);
        QCOMPARE(viewer->cellText(0), QString("Anchor: 1\nDistance: 20.00 m\nBattery: 0.00 V"));
        const double nan = std::numeric_limits<double>::quiet_NaN();
        send(*viewer, nan, nan);
        QCOMPARE(viewer->distance(0), 20.0);
        QCOMPARE(viewer->battery(0), 4.2);
        send(*viewer, -3.0, 9.0);
        QCOMPARE(viewer->battery(0), 4.2);
        QCOMPARE(viewer->cellText(0), noData);
    }

    void noActiveAnchorStopsAfterOneRound()
    {
        auto viewer = viewerOf({0, 0});
        send(*viewer, 5.0, 3.9);  // must return, not spin
        QCOMPARE(viewer->nextAnchor(), 0);
        QCOMPARE(viewer->distance(0), 0.0);
    }

    void circleSizeFollowsTheScale()
    {
        auto viewer = viewerOf({1, 1});
        QCOMPARE(viewer->circleRect(1, 400, 300).width(), 0);
        send(*viewer, 15.0, 3.9);
        // Two cells of 300 x 200: the circle fills 90 % of the smaller side at the scale's distance.
        QCOMPARE(viewer->circleRect(0, 600, 200), QRect(150 - 90, 100 - 90, 180, 180));
        QCOMPARE(viewer->circleRect(0, 601, 333).width(), 270);

        for (double expected : {18.75, 20.0, 20.0}) {
            viewer->reduceScale();
            QCOMPARE(viewer->scale(), expected);
        }
        viewer->enlargeScale();
        QCOMPARE(viewer->scale(), 16.0);
    }

    void paintsCellsAndCircles()
    {
        auto viewer = viewerOf({1, 1});
        send(*viewer, 10.0, 3.9);
        send(*viewer, 0.0, 0.0);
        viewer->resize(400, 200);
        const QImage image = viewer->grab().toImage();
        // Anchor 1 has a circle at its cell's centre; anchor 2 has none.
        QCOMPARE(QColor(image.pixel(100, 150)), QColor(255, 128, 0));
        QCOMPARE(QColor(image.pixel(300, 30)), QColor(Qt::black));

        auto three = viewerOf({1, 0, 1});
        for (double d : {4.0, 12.0, 8.0, 14.0})
            send(*three, d, 3.9);
        three->resize(900, 300);
        const QString dir = qEnvironmentVariable("KVN_SCREENSHOT_DIR", QDir::currentPath());
        QVERIFY(three->grab().save(QDir(dir).filePath("distance_viewer.png")));
    }
};

QTEST_MAIN(DistanceViewerTest)
#include "test_distance_viewer.moc"
