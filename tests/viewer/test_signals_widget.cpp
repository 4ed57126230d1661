// The signals widget (tabs per signal kind, tab names, dispatch of sample vectors, zeros and clearing, records
// played back) and the distance viewer of its anchors.
#include "FakeModels.h"

#include <BiosensingConfigurator.h>
#include <CsvWriter.h>
#include <DistanceViewer.h>
#include <ModalAnswerer.h>
#include <RecordModel.h>
#include <SignalsWidget.h>

#include <QtTest>
#include <QtWidgets>
#include <numeric>

using Vesk::SigViewerRt;

namespace {

SigViewerRt* rtViewer(SignalsWidget& w, int tab) { return dynamic_cast<SigViewerRt*>(w.tabs()->widget(tab)); }

// What channel c of a viewer shows at sample s, without its baseline.
double shown(SigViewerRt* viewer, int c, int s) { return viewer->row(c)[s] - viewer->offset(c); }

// Tab titles, disabled ones marked.
QStringList tabs(const SignalsWidget& w)
{
    QStringList titles;
    for (int t = 0; t < w.tabs()->count(); ++t)
        titles << w.tabs()->tabText(t) + (w.tabs()->isTabEnabled(t) ? "" : " (off)");
    return titles;
}

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

class SignalsWidgetTest : public QObject {
    Q_OBJECT

private slots:
    void tabsAndTheEmptyLabel()
    {
        SignalsWidget widget;
        FakeModel none({});
        widget.configureSignals(none, 1);
        QVERIFY(widget.isEmpty() && !widget.showsTabs());

        FakeModel model({{"GSR", 1, 1, 1}, {"GSR", 1, 1, 1}, {"GSR", 1, 1, 1}, {"ZZZX", 1, 1, 1}, {"ZZZ", 1, 1, 1}});
        widget.configureSignals(model, 0);
        QCOMPARE(tabs(widget), (QStringList{"GSR 1", "GSR 2", "GSR 3", "ZZZ 1", "ZZZ 2"}));
        // Disabling every tab shows the label again; enabling one brings the tabs back at it.
        for (int s = 0; s < 4; ++s)
            widget.setSignalTabsEnabled(s, 0);
        QCOMPARE(widget.tabs()->currentIndex(), 4);
        widget.setSignalTabsEnabled(4, 0);
        QVERIFY(!widget.showsTabs());
        widget.setSignalTabsEnabled(1, 1);
        QVERIFY(widget.showsTabs());
        QCOMPARE(widget.tabs()->currentIndex(), 1);

        QPointer<QWidget> viewer = widget.tabs()->widget(0);
        widget.clear();
        QVERIFY(widget.isEmpty() && widget.signalTabs().empty() && !widget.showsTabs());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(viewer.isNull());
        widget.dispatchData(model, std::vector<double>(5, 0.0));  // nothing left to feed

        // Absent signals (mode 0, the SD card, haptics) occupy nothing in the data.
        FakeModel absent({{"IMU", 2, 1, 0}, {"uSD", 1, 1, 1}, {"DIN", 1, 2, 1}, {"HAP", 1, 1, 1}, {"BVP", 1, 2, 1}});
        SignalsWidget withAbsent;
        withAbsent.configureSignals(absent, 0);
        QCOMPARE(tabs(withAbsent), (QStringList{"IMU (off)", "Digital in", "BVP"}));
        QCOMPARE(withAbsent.tabs()->currentIndex(), 1);  // the first enabled tab

        SigViewerRt* din = rtViewer(withAbsent, 1);
        withAbsent.dispatchData(absent, {7.0, 6.0, 0.5, 0.25, 99.0});
        QVERIFY(shown(din, 0, 0) == 7.0 && shown(din, 0, 1) == 6.0);
        QVERIFY(rtViewer(withAbsent, 0)->writePosition() == 0 && rtViewer(withAbsent, 2)->writePosition() == 2);

        // A vector shorter than the layout is not read past its end.
        withAbsent.dispatchData(absent, {1.0, 2.0, 3.0});
        QVERIFY(din->writePosition() == 4 && rtViewer(withAbsent, 2)->writePosition() == 2);
    }

    void eegSdCardAndThreeAnchors()
    {
        FakeModel model({{"EEG", 4, 8, 1}, {"uSD", 1, 1, 1}, {"ANC", 2, 1, 1}, {"ANC", 2, 1, 1}, {"ANC", 2, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 2);
        QCOMPARE(tabs(widget), (QStringList{"EEG", "Anchor"}));
        auto* anchors = dynamic_cast<DistanceViewer*>(widget.tabs()->widget(1));
        QCOMPARE(anchors->anchorCount(), 3);
        QCOMPARE(widget.signalTabs(), (std::multimap<int, int>{{0, 0}, {2, 1}, {3, 1}, {4, 1}}));
        SigViewerRt* eeg = rtViewer(widget, 0);
        QVERIFY(eeg->config().eegSensorType == 2 && eeg->config().deviceVersion == "HW3.0_FW2.1");

        // EEG block, then the three anchors; the SD card occupies nothing even though its mode is 1.
        std::vector<double> data(32, 1.0);
        data.insert(data.end(), {1.5, 3.9, 2.5, 3.8, 3.5, 3.7});
        widget.dispatchData(model, data);
        QCOMPARE(eeg->writePosition(), 8);
        QVERIFY(anchors->distance(0) == 1.5 && anchors->battery(1) == 3.8 && anchors->distance(2) == 3.5);
        widget.dispatchZeros(model);
        QVERIFY(eeg->writePosition() == 16 && anchors->distance(0) == 0.0);
        widget.resetViewers();
        QCOMPARE(eeg->writePosition(), 0);

        // The anchor tab follows the last anchor signal's mode; bad indices change nothing.
        for (int s : {4, -1, 99})
            widget.setSignalTabsEnabled(s, 0);
        QCOMPARE(tabs(widget), (QStringList{"EEG", "Anchor (off)"}));
    }

    void digitalAuxGetsOneTabPerImu()
    {
        FakeConfigurableModel model({{"EEG", 2, 8, 0}, {"COM", 6, 0, 0}, {"HAP", 1, 1, 0}, {"COM", 6, 0, 0}});
        SignalsWidget widget;
        {
            // Three IMUs on the first input; the second question is closed.
            int asked = 0;
            ModalAnswerer answerer([&asked](QWidget* w) {
                auto* d = qobject_cast<BiosensingConfigurator*>(w);
                if (!d || asked++ > 0)
                    return d && d->close();
                d->sensorType()->setCurrentIndex(1);
                d->imuCount()->setValue(3);
                d->findChild<QPushButton*>()->click();
                return true;
            });
            widget.configureSignals(model, 1);
            QCOMPARE(asked, 2);
        }
        QCOMPARE(tabs(widget), (QStringList{"EEG", "DAUX 1 IMU 1", "DAUX 1 IMU 2", "DAUX 1 IMU 3"}));
        QCOMPARE(model.modeCalls, (std::vector<std::pair<unsigned, unsigned>>{{0, 1}, {1, 3}, {3, 0}}));
        QCOMPARE(model.signal_mode(2), 0);  // never displayed, never switched on

        // IMU k reads column k of the aux input's part. Each axis is drawn around its mean, in its own band:
        // the first sample is the mean, a second one twice as large stands half of it above.
        std::vector<double> data(16 + 18);
        std::iota(data.begin() + 16, data.end(), 0.0);
        widget.dispatchData(model, data);
        for (auto it = data.begin() + 16; it != data.end(); ++it)
            *it *= 2.0;
        widget.dispatchData(model, data);
        for (int imu = 0; imu < 3; ++imu) {
            SigViewerRt* viewer = rtViewer(widget, 1 + imu);
            for (int c = 0; c < 6; ++c) {
                QCOMPARE(shown(viewer, c, 0), 0.0);
                QCOMPARE(shown(viewer, c, 1), 0.5 * (6.0 * imu + c) * viewer->config().channelRange / viewer->rangeOf(c));
            }
        }

        // Fewer IMUs than tabs: the extra tabs are disabled; a later block with fewer columns skips them.
        widget.setSignalTabsEnabled(1, 2);
        QCOMPARE(tabs(widget).last(), QString("DAUX 1 IMU 3 (off)"));
        model.sigs[1].samples = 2;
        widget.dispatchData(model, std::vector<double>(16 + 12, 1.0));
        QCOMPARE(rtViewer(widget, 3)->writePosition(), 2);
        QCOMPARE(rtViewer(widget, 2)->writePosition(), 3);
        // A fresh start forgets the old means.
        widget.resetViewers();
        widget.dispatchData(model, std::vector<double>(16 + 12, 5.0));
        QCOMPARE(shown(rtViewer(widget, 2), 5, 0), 0.0);

        // Modes set by a configuration file: no question, the same titles as after the answers.
        FakeModel preset({{"EEG", 8, 8, 1}, {"COM", 9, 2, 2}, {"COM", 9, 1, 1}});
        SignalsWidget presetWidget;
        presetWidget.configureSignals(preset, 1);
        QCOMPARE(tabs(presetWidget), (QStringList{"EEG", "DAUX 1 IMU 1", "DAUX 1 IMU 2", "DAUX 2 IMU"}));

        BiosensingConfigurator dialog("Digial AUX 2");
        dialog.imuCount()->setValue(5);
        QVERIFY(!dialog.imuCount()->isEnabled() && dialog.mode() == 0);  // "None" ignores the spin box
        dialog.sensorType()->setCurrentIndex(1);
        QVERIFY(dialog.imuCount()->isEnabled() && dialog.mode() == 5);
        dialog.imuCount()->setValue(9);
        QCOMPARE(dialog.mode(), 8u);  // one to eight IMUs
        dialog.imuCount()->setValue(0);
        QCOMPARE(dialog.mode(), 1u);
    }

    void anchorsSkipInactiveOnesAndLimitReadings()
    {
        auto viewer = viewerOf({1, 0, 1});
        QCOMPARE(viewer->cellText(0), noData);
        QCOMPARE(viewer->cellText(1), QString("Anchor not active"));
        const int before = viewer->repaintRequests();
        for (double d : {1.5, 2.25, 3.0, 4.0})
            send(*viewer, d, 3.9 - d / 10);
        QCOMPARE(viewer->repaintRequests(), before + 2);  // once per round, after the last anchor
        QVERIFY(viewer->nextAnchor() == 0 && viewer->distance(1) == 0.0);
        QCOMPARE(viewer->cellText(0), QString("Anchor: 1\nDistance: 3.00 m\nBattery: 3.60 V"));
        QCOMPARE(viewer->cellText(2), QString("Anchor: 3\nDistance: 4.00 m\nBattery: 3.50 V"));

        auto none = viewerOf({0, 0});
        send(*none, 5.0, 3.9);  // the search for the next active anchor gives up after one round
        QVERIFY(none->nextAnchor() == 0 && none->distance(0) == 0.0);

        auto single = viewerOf({1});
        send(*single, 25.0, -1.0);
        QCOMPARE(single->cellText(0), QString("Anchor: 1\nDistance: 20.00 m\nBattery: 0.00 V"));
        send(*single, NAN, NAN);
        QVERIFY(single->distance(0) == 20.0 && single->battery(0) == 4.2);
        send(*single, -3.0, 9.0);
        QVERIFY(single->battery(0) == 4.2 && single->cellText(0) == noData);

        auto pair = viewerOf({1, 1});
        send(*pair, 15.0, 3.9);
        send(*pair, 0.0, 0.0);
        // Two cells of 300 x 200: the circle fills 90 % of the smaller side at the scale's distance.
        QCOMPARE(pair->circleRect(0, 600, 200), QRect(150 - 90, 100 - 90, 180, 180));
        pair->resize(600, 200);
        const QImage image = pair->grab().toImage();
        QCOMPARE(QColor(image.pixel(150, 180)), QColor(255, 128, 0));
        QCOMPARE(QColor(image.pixel(450, 30)), QColor(Qt::black));  // anchor 2 has no reading, no circle

        for (int k = 0; k < 3; ++k)
            pair->reduceScale();
        QCOMPARE(pair->scale(), 20.0);  // 15 m, 1.25 times per step, at most the largest distance
    }

    // Playback of a record with IMUs on its aux input shows one viewer per IMU, as a live device does.
    void recordShowsEveryImu()
    {
        for (int imus : {1, 4}) {
            QTemporaryDir dir;
            const std::string folder = dir.path().toStdString() + "/rec";
            CsvWriter w;
            QVERIFY(w.setup(folder.c_str(), {{"GSR", 1, 0, 1, 1}, {"COM", 9, 0, unsigned(imus), unsigned(imus)}}, "D", 0));
            QVERIFY(w.writeHeaders(32, true));
            std::vector<double> v(1 + 9 * std::size_t(imus), 1.0);
            QVERIFY(w.write(v.data(), 0, 1, 1, 3, 0) && w.close());
            RecordModel model;
            QVERIFY(model.open(folder));
            QVERIFY(model.signal_mode(0) == 1 && model.signal_mode(1) == imus);
            SignalsWidget widget;
            widget.configureSignals(model, 0);
            QCOMPARE(tabs(widget).filter("IMU").size(), imus);
            widget.dispatchData(model, v);
        }
    }
};

QTEST_MAIN(SignalsWidgetTest)
#include "test_signals_widget.moc"
