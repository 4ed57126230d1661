// The signals widget: tabs per signal kind, tab names, dispatch of sample vectors, zeros and clearing.
#include "FakeModels.h"

#include <BiosensingConfigurator.h>
#include <DistanceViewer.h>
#include <ModalAnswerer.h>
#include <SignalsWidget.h>

#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QtTest>
#include <numeric>

using Vesk::SigViewerRt;

namespace {

SigViewerRt* rtViewer(SignalsWidget& w, int tab) { return dynamic_cast<SigViewerRt*>(w.tabs()->widget(tab)); }

// What channel c of a viewer shows at sample s, without its baseline.
double shown(SigViewerRt* viewer, int c, int s) { return viewer->row(c)[s] - viewer->offset(c); }

QStringList tabTitles(const SignalsWidget& w)
{
    QStringList titles;
    for (int t = 0; t < w.tabs()->count(); ++t)
        titles << w.tabs()->tabText(t);
    return titles;
}

}  // namespace

class SignalsWidgetTest : public QObject {
    Q_OBJECT

private slots:
    void noSignalsShowsTheLabel()
    {
        SignalsWidget widget;
        QCOMPARE(widget.emptyLabel()->text(), QString("No signals"));
        FakeModel none({});
        widget.configureSignals(none, 1);
        QVERIFY(widget.isEmpty() && !widget.showsTabs());

        // Disabling every tab shows the label again; enabling one brings the tabs back at it.
        FakeModel model({{"BVP", 1, 8, 1}, {"GSR", 1, 1, 1}});
        widget.configureSignals(model, 0);
        widget.setSignalTabsEnabled(0, 0);
        QCOMPARE(widget.tabs()->currentIndex(), 1);
        widget.setSignalTabsEnabled(1, 0);
        QVERIFY(!widget.showsTabs());
        widget.setSignalTabsEnabled(1, 1);
        QVERIFY(widget.showsTabs());
        QCOMPARE(widget.tabs()->currentIndex(), 1);
    }

    void eegSdCardAndThreeAnchors()
    {
        FakeModel model({{"EEG", 4, 8, 1}, {"uSD", 1, 1, 1}, {"ANC", 2, 1, 1}, {"ANC", 2, 1, 1}, {"ANC", 2, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 2);
        QCOMPARE(tabTitles(widget), (QStringList{"EEG", "Anchor"}));
        auto* anchors = dynamic_cast<DistanceViewer*>(widget.tabs()->widget(1));
        QVERIFY(anchors);
        QCOMPARE(anchors->anchorCount(), 3);
        QCOMPARE(widget.signalTabs(), (std::multimap<int, int>{{0, 0}, {2, 1}, {3, 1}, {4, 1}}));
        SigViewerRt* eeg = rtViewer(widget, 0);
        QCOMPARE(eeg->config().eegSensorType, 2);
        QCOMPARE(eeg->config().deviceVersion, QString("HW3.0_FW2.1"));

        // EEG block, then the three anchors; the SD card occupies nothing even though its mode is 1.
        std::vector<double> data(32, 1.0);
        for (double v : {1.5, 3.9, 2.5, 3.8, 3.5, 3.7})
            data.push_back(v);
        widget.dispatchData(model, data);
        QCOMPARE(eeg->writePosition(), 8);
        QCOMPARE(anchors->distance(0), 1.5);
        QCOMPARE(anchors->battery(1), 3.8);
        QCOMPARE(anchors->distance(2), 3.5);

        widget.dispatchZeros(model);
        QCOMPARE(eeg->writePosition(), 16);
        QCOMPARE(anchors->distance(0), 0.0);
        widget.resetViewers();
        QCOMPARE(eeg->writePosition(), 0);

        // The anchor tab follows the last anchor signal's mode; bad indices change nothing.
        widget.setSignalTabsEnabled(4, 0);
        QVERIFY(!widget.tabs()->isTabEnabled(1));
        widget.setSignalTabsEnabled(-1, 0);
        widget.setSignalTabsEnabled(99, 0);
        QVERIFY(widget.tabs()->isTabEnabled(0));
    }

    void absentSignalsOccupyNothing()
    {
        FakeModel model({{"IMU", 2, 1, 0}, {"uSD", 1, 1, 1}, {"DIN", 1, 2, 1}, {"HAP", 1, 1, 1}, {"BVP", 1, 2, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 0);
        QCOMPARE(tabTitles(widget), (QStringList{"IMU", "Digital in", "BVP"}));
        QVERIFY(!widget.tabs()->isTabEnabled(0));
        QCOMPARE(widget.tabs()->currentIndex(), 1);  // the first enabled tab

        SigViewerRt* din = rtViewer(widget, 1);
        widget.dispatchData(model, {7.0, 6.0, 0.5, 0.25, 99.0});
        QCOMPARE(shown(din, 0, 0), 7.0);
        QCOMPARE(shown(din, 0, 1), 6.0);
        QCOMPARE(rtViewer(widget, 0)->writePosition(), 0);
        QCOMPARE(rtViewer(widget, 2)->writePosition(), 2);

        // A vector shorter than the layout is not read past its end.
        widget.dispatchData(model, {1.0, 2.0, 3.0});
        QCOMPARE(din->writePosition(), 4);
        QCOMPARE(rtViewer(widget, 2)->writePosition(), 2);
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
                if (d && asked++ == 0) {
                    d->sensorType()->setCurrentIndex(1);
                    d->imuCount()->setValue(3);
                    d->findChild<QPushButton*>()->click();
                } else if (d) {
                    d->reject();
                }
                return d != nullptr;
            });
            widget.configureSignals(model, 1);
            QCOMPARE(asked, 2);
        }
        QCOMPARE(tabTitles(widget), (QStringList{"EEG", "DAUX 1 IMU 1", "DAUX 1 IMU 2", "DAUX 1 IMU 3"}));
        QCOMPARE(model.modeCalls, (std::vector<std::pair<unsigned, unsigned>>{{0, 1}, {1, 3}, {3, 0}}));
        QCOMPARE(model.signal_mode(2), 0);  // never displayed, never switched on
        QCOMPARE(rtViewer(widget, 2)->config().samplingRate, 32);

        // IMU k reads column k of the aux input's part.
        std::vector<double> data(16 + 18);
        std::iota(data.begin() + 16, data.end(), 0.0);
        widget.dispatchData(model, data);
        for (int imu = 0; imu < 3; ++imu)
            for (int c = 0; c < 6; ++c)
                QCOMPARE(shown(rtViewer(widget, 1 + imu), c, 0), 6.0 * imu + c);

        // Fewer IMUs than tabs: the extra tabs are disabled; a later block with fewer columns skips them.
        widget.setSignalTabsEnabled(1, 2);
        QVERIFY(widget.tabs()->isTabEnabled(2) && !widget.tabs()->isTabEnabled(3));
        model.signals_[1].samples = 2;
        widget.dispatchData(model, std::vector<double>(16 + 12, 1.0));
        QCOMPARE(rtViewer(widget, 3)->writePosition(), 1);
        QCOMPARE(rtViewer(widget, 2)->writePosition(), 2);
    }

    void repeatedDisplayNamesAreNumbered()
    {
        FakeModel model({{"GSR", 1, 1, 1}, {"GSR", 1, 1, 1}, {"GSR", 1, 1, 1}, {"ZZZX", 1, 1, 1}, {"ZZZ", 1, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 0);
        QCOMPARE(tabTitles(widget), (QStringList{"GSR 1", "GSR 2", "GSR 3", "ZZZ 1", "ZZZ 2"}));

        QPointer<QWidget> viewer = widget.tabs()->widget(0);
        widget.clear();
        QVERIFY(widget.isEmpty() && widget.signalTabs().empty() && !widget.showsTabs());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(viewer.isNull());
        widget.dispatchData(model, std::vector<double>(5, 0.0));  // nothing left to feed
    }

    void viewerDefaultsByKind()
    {
        struct Kind {
            const char* name;
            double range;
            const char* unit;
        };
        // Only a name beginning with DOUT is a digital output.
        for (const Kind& k : {Kind{"EEG", 160.0, "uV"}, Kind{"GSR", 5e-08, "uV"}, Kind{"FOT", 3e6, "uV"},
                              Kind{"DOUT1", 8.0, "V"}, Kind{"DOU", 1.0, "uV"}, Kind{"IMU", 50.0, "uV"},
                              Kind{"XYZ", 1.0, "uV"}}) {
            const auto c = SignalsWidget::buildViewerConfig(KvnSignal(k.name, 2, 2, 8, 1), 32);
            QCOMPARE(c.channelRange, k.range);
            QCOMPARE(c.unit, QString(k.unit));
            QCOMPARE(c.eegImpedances, QString(k.name) == "EEG");
        }
        const auto eeg = SignalsWidget::buildViewerConfig(KvnSignal("EEG", 2, 2, 8, 1), 32);
        QCOMPARE(eeg.samplingRate, 256);
        QCOMPARE(eeg.secondsShown, 7.0);
        QVERIFY(eeg.showTimeAxis);
        QCOMPARE(eeg.defaultFilters.size(), size_t(2));
        QCOMPARE(eeg.defaultFilters[1].high, 52.0);
        QCOMPARE(SignalsWidget::buildViewerConfig(KvnSignal("BVP", 1, 1, 8, 1), 32).defaultFilters[0].high, 4.0);
        QCOMPARE(SignalsWidget::buildViewerConfig(KvnSignal("GSR", 1, 1, 1, 1), 32).defaultFilters[0].low, 0.1);
        const auto com = SignalsWidget::buildViewerConfig(KvnSignal("COM", 6, 6, 3, 1), 32);
        QCOMPARE(com.samplesPerBlock, 1);  // one sample per IMU each block
        QCOMPARE(com.samplingRate, 32);
    }
};

QTEST_MAIN(SignalsWidgetTest)
#include "test_signals_widget.moc"
