// Every device of the simulated fleet, through each kind of connection, shown by the signals widget at its
// default zoom after five seconds of data: every channel's trace stays inside its band and fills a visible
// part of it, the legend's numbers and dots never overlap, and each scale bar speaks the channel's unit.
// The pictures go to KVN_SCREENSHOT_DIR (default: the working folder).
#include "FakeModels.h"

#include <BluetoothConnection.h>
#include <DistanceViewer.h>
#include <Driver.h>
#include <MultiDriver.h>
#include <PlotCurve.h>
#include <SigPlotRt.h>
#include <SigViewerRt.h>
#include <SignalsWidget.h>
#include <Simulation.h>
#include <UsbConnection.h>

#include <QtTest>
#include <QtWidgets>
#include <functional>
#include <memory>

using Vesk::SigViewerRt;

namespace {

// Thresholds of a readable band: no trace pixel beyond it (one pixel of rounding allowed), and the trace
// spans at least this share of the band's height, and at least this many pixel rows.
const double MIN_SPAN_SHARE = 0.08;
const int MIN_SPAN_PIXELS = 2;
const int SECONDS = 5;

struct Recorded {
    std::unique_ptr<FakeModel> model;  // what the driver described: signals, modes, rate
    std::vector<std::vector<double>> blocks;
};

// Connects, plugs two IMUs into every digital aux input, and reads SECONDS of blocks.
Recorded record(BaseDriver& driver)
{
    Recorded r;
    driver.setTimeout(2000);
    if (!driver.connectDevice())
        return r;
    const std::vector<KvnSignal> before = driver.getSignals();
    for (std::size_t i = 0; i < before.size(); ++i)
        if (before[i].name.compare(0, 3, "COM") == 0)
            driver.setSignalMode(i, 2);
    std::vector<FakeSignal> described;
    for (const KvnSignal& s : driver.getSignals())
        described.push_back({s.name, s.channels, s.samples, static_cast<int>(s.mode)});
    r.model = std::make_unique<FakeModel>(described, driver.getFrequency(), driver.getVersion());
    if (!driver.start())
        return r;
    std::vector<double> data;
    for (int b = 0; b < SECONDS * int(driver.getFrequency()) && driver.read(data); ++b)
        r.blocks.push_back(data);
    driver.stop();
    driver.disconnectDevice();
    return r;
}

// The unit a channel's scale bar must name, by signal and channel.
QString expectedUnit(const QString& tab, int channel)
{
    if (tab.startsWith("EEG"))
        return "uV";
    if (tab.contains("BVP") || tab.contains("Blood"))
        return "a.u.";
    if (tab.contains("GSR") || tab.contains("Galvanic") || tab.contains("Skin"))
        return "uS";
    return QStringList{QString::fromUtf8("m/s\u00b2"), "deg/s", "uT"}.value(std::min(channel / 3, 2));
}

// "160uV" for uV, "2uS", "20uT": the prefix may change with the zoom, the base unit may not.
bool endsWithUnit(const QString& label, const QString& unit)
{
    return unit.startsWith('u') ? label.endsWith(unit.mid(1)) && label.size() > 1 : label.endsWith(" " + unit);
}

QString checkViewer(SigViewerRt* viewer, const QString& tab)
{
    QStringList faults;
    // Each curve in a colour of its own, drawn without antialiasing, so its pixels say whose they are.
    auto colourOf = [](int c) { return qRgb(255, 60 + c, 0); };
    for (int c = 0; c < viewer->config().channels; ++c) {
        viewer->curve(c)->setPen(QPen(QColor(colourOf(c)), 1.0));
        viewer->curve(c)->setRenderHint(QwtPlotItem::RenderAntialiased, false);
    }
    viewer->plot()->replot();
    QCoreApplication::processEvents();
    const QImage shot = viewer->plot()->canvas()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QwtScaleMap x = viewer->plot()->canvasMap(QwtPlot::xBottom);
    const QwtScaleMap y = viewer->plot()->canvasMap(QwtPlot::yLeft);
    // The written part of the sweep, short of the cursor line.
    const int written = std::min(shot.width(), int(x.transform(viewer->cursorTime())) - 3);
    const double range = viewer->config().channelRange;
    for (int c = 0; c < viewer->config().channels; ++c) {
        if (!viewer->isChannelVisible(c))
            continue;
        const double top = y.transform(viewer->offset(c) + range / 2);
        const double bottom = y.transform(viewer->offset(c) - range / 2);
        int outside = 0, first = shot.height(), last = -1;
        for (int py = 0; py < shot.height(); ++py)
            for (int px = 0; px < written; ++px)
                if (shot.pixel(px, py) == colourOf(c)) {
                    if (py < top - 1 || py > bottom + 1)
                        ++outside;
                    first = std::min(first, py);
                    last = std::max(last, py);
                }
        const int span = last - first + 1;
        const double band = bottom - top;
        if (outside > 0)
            faults << QString("%1 channel %2: %3 pixels outside its band").arg(tab).arg(c + 1).arg(outside);
        if (span < MIN_SPAN_SHARE * band || span < MIN_SPAN_PIXELS)
            faults << QString("%1 channel %2: spans %3 of %4 pixels").arg(tab).arg(c + 1).arg(span).arg(band);
        const QString label = viewer->scaleLabel(c);
        if (!endsWithUnit(label, expectedUnit(tab, c)))
            faults << QString("%1 channel %2: scale \"%3\", unit %4").arg(tab, QString::number(c + 1), label,
                                                                          expectedUnit(tab, c));
    }

    const auto items = viewer->legend()->items();
    for (int i = 0; i < items.size(); ++i)
        for (int j = i + 1; j < items.size(); ++j)
            if (items[i].text.intersects(items[j].text) || items[i].dot.intersects(items[j].dot))
                faults << QString("%1: legend of channels %2 and %3 overlap").arg(tab).arg(items[i].channel + 1).arg(items[j].channel + 1);
    // Thinned out, the names still start at the top channel (items run bottom to top).
    if (!items.isEmpty() && items.last().text.isEmpty())
        faults << QString("%1: the top channel has no name").arg(tab);
    for (const auto& item : items)
        if (!item.text.isEmpty() && QFontMetricsF(viewer->legend()->textFont()).height() > item.text.height() + 3)
            faults << QString("%1: number of channel %2 cut").arg(tab).arg(item.channel + 1);
    return faults.join("\n");
}

// The anchor texts over the circles are drawn in a colour that reads on the fill: no white inside a circle.
QString checkAnchors(DistanceViewer* viewer)
{
    QStringList faults;
    const QImage shot = viewer->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int k = 0; k < viewer->anchorCount(); ++k) {
        const QRect circle = viewer->circleRect(k, viewer->width(), viewer->height());
        if (circle.width() < 20)
            faults << QString("anchor %1: circle of %2 pixels").arg(k + 1).arg(circle.width());
        const QPointF centre = QRectF(circle).center();
        const double radius = circle.width() / 2.0 - 2.0;
        int white = 0;
        for (int y = circle.top(); y <= circle.bottom(); ++y)
            for (int x = circle.left(); x <= circle.right(); ++x) {
                const QRgb p = shot.pixel(x, y);
                white += std::hypot(x - centre.x(), y - centre.y()) < radius && qRed(p) > 240 && qGreen(p) > 240 &&
                         qBlue(p) > 240;
            }
        if (white > 0)
            faults << QString("anchor %1: %2 white pixels on the circle").arg(k + 1).arg(white);
    }
    return faults.join("\n");
}

}  // namespace

class FleetScreensTest : public QObject {
    Q_OBJECT
    QTemporaryDir cards_;

private slots:
    void initTestCase()
    {
        sim::reset();
        sim::clearFaults();
        sim::setSeed(7);
        sim::setSdCardRoot(cards_.path().toStdString());
        sim::setTimeScale(20.0);
    }
    void cleanupTestCase() { sim::reset(); }

    void everyTabReadsAtTheDefaults_data()
    {
        QTest::addColumn<QString>("device");
        QTest::newRow("bluetooth EEG 32 left") << "bt:KVN-A32-0412L";
        QTest::newRow("bluetooth bio-signals") << "bt:KVN-B08-2201";
        QTest::newRow("bluetooth positioning") << "bt:KVN-TRK-0031";
        QTest::newRow("usb bio-signals COM3") << "usb:3";
        QTest::newRow("usb EEG 64 COM10") << "usb:10";
        QTest::newRow("EEG 64 pair") << "pair";
    }

    void everyTabReadsAtTheDefaults()
    {
        QFETCH(QString, device);
        std::unique_ptr<BaseDriver> driver;
        if (device.startsWith("bt:")) {
            driver = std::make_unique<Driver>(new BluetoothConnection(device.mid(3).toStdString()));
        } else if (device.startsWith("usb:")) {
            driver = std::make_unique<Driver>(new UsbConnection(device.mid(4).toInt(), 921600));
        } else {
            auto pair = std::make_unique<MultiDriver>();
            pair->setup("KVN-A32-0412L", "KVN-A32-0412R", "");
            driver = std::move(pair);
        }
        Recorded r = record(*driver);
        QVERIFY2(r.model, "device did not connect");
        QVERIFY2(int(r.blocks.size()) >= SECONDS * int(r.model->frequency()) - 2, "device gave too few blocks");

        SignalsWidget widget;
        widget.configureSignals(*r.model, 1);
        widget.resize(1280, 760);  // the signals area of a maximised window on a 1600 x 1000 screen
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        for (std::size_t b = 0; b < r.blocks.size(); ++b) {
            widget.dispatchData(*r.model, r.blocks[b]);
            if (b % 8 == 0)
                QCoreApplication::processEvents();
        }

        const QDir dir(qEnvironmentVariable("KVN_SCREENSHOT_DIR", QDir::currentPath()));
        QVERIFY(dir.mkpath("."));
        const QString stem = QString(QTest::currentDataTag()).replace(' ', '_');
        QStringList faults;
        for (int t = 0; t < widget.tabs()->count(); ++t) {
            if (!widget.tabs()->isTabEnabled(t))
                continue;
            widget.tabs()->setCurrentIndex(t);
            QCoreApplication::processEvents();
            const QString tab = widget.tabs()->tabText(t);
            QVERIFY(widget.grab().save(dir.filePath(stem + "_" + QString(tab).replace(' ', '_') + ".png")));
            QString found;
            if (auto* viewer = qobject_cast<SigViewerRt*>(widget.tabs()->widget(t)))
                found = checkViewer(viewer, tab);
            else if (auto* anchors = qobject_cast<DistanceViewer*>(widget.tabs()->widget(t)))
                found = checkAnchors(anchors);
            if (!found.isEmpty())
                faults << found;
        }
        QVERIFY2(faults.isEmpty(), qPrintable(faults.join("\n")));
    }
};

QTEST_MAIN(FleetScreensTest)
#include "test_fleet_screens.moc"
