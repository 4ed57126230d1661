// The distance viewer of a positioning set-up.
#include <DistanceViewer.h>

#include <QtTest>
#include <QtWidgets>
#include <cmath>

namespace {

// A viewer of anchors in the given modes: the first comes with the signal, the others are added.
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

        auto none = viewerOf({0, 0});
        send(*none, 5.0, 3.9);  // the search for the next active anchor gives up after one round
        QCOMPARE(none->nextAnchor(), 0);
        QCOMPARE(none->distance(0), 0.0);
    }

    void readingsAreLimited()
    {
        auto viewer = viewerOf({1});
        send(*viewer, 25.0, -1.0);
        QCOMPARE(viewer->cellText(0), QString("Anchor: 1\nDistance: 20.00 m\nBattery: 0.00 V"));
        send(*viewer, NAN, NAN);
        QCOMPARE(viewer->distance(0), 20.0);
        QCOMPARE(viewer->battery(0), 4.2);
        send(*viewer, -3.0, 9.0);
        QCOMPARE(viewer->battery(0), 4.2);
        QCOMPARE(viewer->cellText(0), noData);
    }

    void circlesFollowTheScale()
    {
        auto viewer = viewerOf({1, 1});
        send(*viewer, 15.0, 3.9);
        send(*viewer, 0.0, 0.0);
        // Two cells of 300 x 200: the circle fills 90 % of the smaller side at the scale's distance.
        QCOMPARE(viewer->circleRect(0, 600, 200), QRect(150 - 90, 100 - 90, 180, 180));
        QCOMPARE(viewer->circleRect(0, 601, 333).width(), 270);
        viewer->resize(600, 200);
        const QImage image = viewer->grab().toImage();
        QCOMPARE(QColor(image.pixel(150, 180)), QColor(255, 128, 0));
        QCOMPARE(QColor(image.pixel(450, 30)), QColor(Qt::black));  // anchor 2 has no reading, no circle

        for (int k = 0; k < 3; ++k)
            viewer->reduceScale();
        QCOMPARE(viewer->scale(), 20.0);  // 1.25 times per step, at most the largest distance
        viewer->enlargeScale();
        QCOMPARE(viewer->scale(), 16.0);

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
