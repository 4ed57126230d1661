// The distance viewer of a positioning set-up.
#include <DistanceViewer.h>

#include <QDir>
#include <QImage>
#include <QtTest>
#include <cmath>
#include <limits>

namespace {

KvnSignal anchorSignal(unsigned mode) { return KvnSignal("ANC", 2, 2, 1, mode); }

void send(DistanceViewer& viewer, double distance, double battery)
{
    const double block[2] = {distance, battery};
    static_cast<ProcessWidget&>(viewer).process(block, false);
}

}  // namespace

class DistanceViewerTest : public QObject {
    Q_OBJECT

private slots:
    void showsNoDataBeforeAnyBlock()
    {
        DistanceViewer viewer(anchorSignal(1));
        viewer.addAnchor(1);
        QCOMPARE(viewer.anchorCount(), 2);
        QCOMPARE(viewer.cellText(0), QString("Anchor: 1\nDistance: No data\nBattery: No data"));
        QCOMPARE(viewer.circleRect(1, 400, 300).width(), 0);
        viewer.reset();  // keeps the readings
        QCOMPARE(viewer.contextMenuPolicy(), Qt::CustomContextMenu);
    }

    void inactiveAnchorIsSkipped()
    {
        DistanceViewer viewer(anchorSignal(1));
        viewer.addAnchor(0);
        viewer.addAnchor(1);
        QCOMPARE(viewer.cellText(1), QString("Anchor not active"));
        const int before = viewer.repaintRequests();

        send(viewer, 1.5, 3.9);
        QCOMPARE(viewer.nextAnchor(), 2);
        QCOMPARE(viewer.repaintRequests(), before);
        send(viewer, 2.25, 3.8);
        QCOMPARE(viewer.nextAnchor(), 0);
        QCOMPARE(viewer.repaintRequests(), before + 1);  // once per round, after the last anchor
        send(viewer, 3.0, 3.7);
        send(viewer, 4.0, 3.6);
        QCOMPARE(viewer.repaintRequests(), before + 2);

        QCOMPARE(viewer.distance(0), 3.0);
        QCOMPARE(viewer.distance(1), 0.0);
        QCOMPARE(viewer.distance(2), 4.0);
        QCOMPARE(viewer.cellText(0), QString("Anchor: 1\nDistance: 3.00 m\nBattery: 3.70 V"));
        QCOMPARE(viewer.cellText(2), QString("Anchor: 3\nDistance: 4.00 m\nBattery: 3.60 V"));
    }

    void readingsAreLimited()
    {
        DistanceViewer viewer(anchorSignal(1));
        send(viewer, 25.0, -1.0);
        QCOMPARE(viewer.cellText(0), QString("Anchor: 1\nDistance: 20.00 m\nBattery: 0.00 V"));
        const double nan = std::numeric_limits<double>::quiet_NaN();
        send(viewer, nan, nan);
        QCOMPARE(viewer.distance(0), 20.0);
        QCOMPARE(viewer.battery(0), 4.2);
        send(viewer, -3.0, 9.0);
        QCOMPARE(viewer.distance(0), 0.0);
        QCOMPARE(viewer.battery(0), 4.2);
        QCOMPARE(viewer.cellText(0), QString("Anchor: 1\nDistance: No data\nBattery: No data"));
    }

    void noActiveAnchorStopsAfterOneRound()
    {
        DistanceViewer viewer(anchorSignal(0));
        send(viewer, 5.0, 3.9);  // must return, not spin
        QCOMPARE(viewer.nextAnchor(), 0);
        QCOMPARE(viewer.distance(0), 0.0);
        viewer.addAnchor(0);
        send(viewer, 5.0, 3.9);
        QCOMPARE(viewer.nextAnchor(), 0);
    }

    void circleSizeFollowsTheScale()
    {
        DistanceViewer viewer(anchorSignal(1));
        viewer.addAnchor(1);
        send(viewer, 15.0, 3.9);
        // Two cells of 300 x 200: the circle fills 90 % of the smaller side at the scale's distance.
        QRect circle = viewer.circleRect(0, 600, 200);
        QCOMPARE(circle.width(), 180);
        QCOMPARE(circle, QRect(150 - 90, 100 - 90, 180, 180));
        QCOMPARE(viewer.circleRect(0, 601, 333).width(), static_cast<int>(std::ceil(300 * 0.9)));

        viewer.reduceScale();
        QCOMPARE(viewer.scale(), 18.75);
        viewer.reduceScale();
        QCOMPARE(viewer.scale(), 20.0);
        viewer.reduceScale();
        QCOMPARE(viewer.scale(), 20.0);
        viewer.enlargeScale();
        QCOMPARE(viewer.scale(), 16.0);
        DistanceViewer other(anchorSignal(1));
        other.enlargeScale();
        QCOMPARE(other.scale(), 12.0);
        other.enlargeScale();
        QVERIFY(std::fabs(other.scale() - 9.6) < 1e-12);
    }

    void paintsCellsAndCircles()
    {
        DistanceViewer viewer(anchorSignal(1));
        viewer.addAnchor(1);
        send(viewer, 10.0, 3.9);
        send(viewer, 0.0, 0.0);
        viewer.resize(400, 200);
        const QImage image = viewer.grab().toImage();
        // Anchor 1 has a circle at its cell's centre; anchor 2 has none.
        QCOMPARE(QColor(image.pixel(100, 150)), QColor(255, 128, 0));
        QCOMPARE(QColor(image.pixel(300, 30)), QColor(Qt::black));
        QCOMPARE(QColor(image.pixel(5, 5)), QColor(Qt::black));

        DistanceViewer three(anchorSignal(1));
        three.addAnchor(0);
        three.addAnchor(1);
        for (double d : {4.0, 12.0, 8.0, 14.0})
            send(three, d, 3.9);
        three.resize(900, 300);
        const QString dir = qEnvironmentVariable("KVN_SCREENSHOT_DIR", QDir::currentPath());
        QVERIFY(three.grab().save(QDir(dir).filePath("distance_viewer.png")));
    }
};

QTEST_MAIN(DistanceViewerTest)
#include "test_distance_viewer.moc"
