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

// Answers every digital aux question with the given IMU counts in turn; -1 closes the dialog instead.
ModalAnswerer* answerAux(std::vector<int> answers, QObject* parent)
{
    auto* next = new size_t(0);
    auto* a = new ModalAnswerer(
        [answers, next](QWidget* w) {
            auto* d = qobject_cast<BiosensingConfigurator*>(w);
            if (!d)
                return false;
            const int n = answers.at((*next)++ % answers.size());
            if (n < 0) {
                d->reject();
                return true;
            }
            d->sensorType()->setCurrentIndex(n > 0 ? 1 : 0);
            if (n > 0)
                d->imuCount()->setValue(n);
            d->findChild<QPushButton*>()->click();
            return true;
        },
        parent);
    QObject::connect(a, &QObject::destroyed, [next] { delete next; });
    return a;
}

SigViewerRt* rtViewer(SignalsWidget& w, int tab) { return dynamic_cast<SigViewerRt*>(w.tabs()->widget(tab)); }

QStringList tabTitles(const SignalsWidget& w)
{
    QStringList titles;
    for (int t = 0; t < w.tabs()->count(); ++t)
        titles << w.tabs()->tabText(t);
    return titles;
}

std::vector<double> iota(size_t n, double start)
{
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

}  // namespace

class SignalsWidgetTest : public QObject {
    Q_OBJECT

private slots:
    void noSignalsShowsTheLabel()
    {
        SignalsWidget widget;
        QVERIFY(!widget.showsTabs());
        QCOMPARE(widget.emptyLabel()->text(), QString("No signals"));
        FakeModel model({});
        widget.configureSignals(model, 1);
        QVERIFY(widget.isEmpty());
        QVERIFY(!widget.showsTabs());
    }

    void eegSdCardAndThreeAnchors()
    {
        FakeModel model({{"EEG", 4, 8, 1}, {"uSD", 1, 1, 1}, {"ANC", 2, 1, 1}, {"ANC", 2, 1, 1}, {"ANC", 2, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 2);
        QCOMPARE(tabTitles(widget), (QStringList{"EEG", "Anchor"}));
        QVERIFY(widget.showsTabs());
        auto* anchors = dynamic_cast<DistanceViewer*>(widget.tabs()->widget(1));
        QVERIFY(anchors);
        QCOMPARE(anchors->anchorCount(), 3);
        const std::multimap<int, int> expected{{0, 0}, {2, 1}, {3, 1}, {4, 1}};
        QCOMPARE(widget.signalTabs(), expected);

        SigViewerRt* eeg = rtViewer(widget, 0);
        QVERIFY(eeg);
        QCOMPARE(eeg->config().samplingRate, 256);
        QCOMPARE(eeg->config().eegSensorType, 2);
        QCOMPARE(eeg->config().deviceVersion, QString("HW3.0_FW2.1"));
        QVERIFY(eeg->config().eegImpedances);

        // EEG block, then the three anchors; the SD card occupies nothing even though its mode is 1.
        std::vector<double> data(32, 1.0);
        const std::vector<double> anchorValues{1.5, 3.9, 2.5, 3.8, 3.5, 3.7};
        data.insert(data.end(), anchorValues.begin(), anchorValues.end());
        widget.dispatchData(model, data);
        QCOMPARE(eeg->writePosition(), 8);
        QCOMPARE(anchors->distance(0), 1.5);
        QCOMPARE(anchors->battery(1), 3.8);
        QCOMPARE(anchors->distance(2), 3.5);

        widget.dispatchZeros(model);
        QCOMPARE(eeg->writePosition(), 16);
        QCOMPARE(anchors->distance(0), 0.0);
        QCOMPARE(anchors->distance(2), 0.0);

        widget.resetViewers();
        QCOMPARE(eeg->writePosition(), 0);

        // The anchor tab follows the last anchor signal's mode.
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
        QCOMPARE(din->config().unit, QString("V"));
        widget.dispatchData(model, {7.0, 6.0, 0.5, 0.25, 99.0});
        QCOMPARE(din->row(0)[0] - din->offset(0), 7.0);
        QCOMPARE(din->row(0)[1] - din->offset(0), 6.0);
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
            ModalAnswerer* answerer = answerAux({3, -1}, nullptr);
            widget.configureSignals(model, 1);
            QCOMPARE(answerer->answered(), 2);
            delete answerer;
        }
        QCOMPARE(tabTitles(widget), (QStringList{"EEG", "DAUX 1 IMU 1", "DAUX 1 IMU 2", "DAUX 1 IMU 3"}));
        QCOMPARE(model.modeCalls, (std::vector<std::pair<unsigned, unsigned>>{{0, 1}, {1, 3}, {3, 0}}));
        QCOMPARE(model.signal_mode(2), 0);  // never displayed, never switched on

        SigViewerRt* second = rtViewer(widget, 2);
        QCOMPARE(second->config().samplesPerBlock, 1);
        QCOMPARE(second->config().samplingRate, 32);
        QCOMPARE(second->config().channels, 6);

        std::vector<double> data(16, 0.0);
        const std::vector<double> aux = iota(18, 0.0);
        data.insert(data.end(), aux.begin(), aux.end());
        widget.dispatchData(model, data);
        for (int c = 0; c < 6; ++c) {
            QCOMPARE(second->row(c)[0] - second->offset(c), 6.0 + c);
            QCOMPARE(rtViewer(widget, 3)->row(c)[0] - rtViewer(widget, 3)->offset(c), 12.0 + c);
        }

        // Fewer IMUs than tabs: the extra tabs are disabled; a later block with fewer columns skips them.
        widget.setSignalTabsEnabled(1, 2);
        QVERIFY(widget.tabs()->isTabEnabled(1) && widget.tabs()->isTabEnabled(2));
        QVERIFY(!widget.tabs()->isTabEnabled(3));
        model.signals_[1].samples = 2;
        widget.dispatchData(model, std::vector<double>(16 + 12, 1.0));
        QCOMPARE(rtViewer(widget, 3)->writePosition(), 1);  // skipped this time
        QCOMPARE(second->writePosition(), 2);
    }

    void repeatedDisplayNamesAreNumbered()
    {
        FakeModel model({{"GSR", 1, 1, 1}, {"GSR", 1, 1, 1}, {"GSR", 1, 1, 1}, {"ZZZX", 1, 1, 1}, {"ZZZ", 1, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 0);
        QCOMPARE(tabTitles(widget), (QStringList{"GSR 1", "GSR 2", "GSR 3", "ZZZ 1", "ZZZ 2"}));
    }

    void disablingEverySignalShowsTheLabel()
    {
        FakeModel model({{"BVP", 1, 8, 1}, {"GSR", 1, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 0);
        widget.setSignalTabsEnabled(0, 0);
        QCOMPARE(widget.tabs()->currentIndex(), 1);
        widget.setSignalTabsEnabled(1, 0);
        QVERIFY(!widget.showsTabs());
        QCOMPARE(widget.tabs()->count(), 2);
        widget.setSignalTabsEnabled(1, 1);
        QVERIFY(widget.showsTabs());
        QCOMPARE(widget.tabs()->currentIndex(), 1);
    }

    void clearDeletesTheViewers()
    {
        FakeModel model({{"EEG", 2, 8, 1}, {"ANC", 2, 1, 1}});
        SignalsWidget widget;
        widget.configureSignals(model, 0);
        QPointer<QWidget> viewer = widget.tabs()->widget(0);
        widget.clear();
        QVERIFY(widget.isEmpty());
        QVERIFY(widget.signalTabs().empty());
        QVERIFY(!widget.showsTabs());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(viewer.isNull());
        widget.dispatchData(model, std::vector<double>(18, 0.0));  // nothing left to feed
    }

    void viewerDefaultsByKind()
    {
        auto cfg = [](const char* name, unsigned samples = 8) {
            return SignalsWidget::buildViewerConfig(KvnSignal(name, 2, 2, samples, 1), 32);
        };
        const Vesk::SigViewerRtConfig eeg = cfg("EEG");
        QCOMPARE(eeg.samplingRate, 256);
        QCOMPARE(eeg.channelRange, 160.0);
        QCOMPARE(eeg.defaultFilters.size(), size_t(2));
        QCOMPARE(eeg.defaultFilters[0].type, 3);
        QCOMPARE(eeg.defaultFilters[1].high, 52.0);
        QVERIFY(eeg.showTimeAxis && eeg.eegImpedances);
        QCOMPARE(eeg.cursorPen.color(), QColor(128, 0, 0));
        QCOMPARE(eeg.cursorPen.widthF(), 3.0);
        QCOMPARE(eeg.cursorPen.capStyle(), Qt::SquareCap);
        QCOMPARE(eeg.cursorPen.joinStyle(), Qt::BevelJoin);
        QCOMPARE(eeg.secondsShown, 7.0);
        QCOMPARE(cfg("BVP").defaultFilters[0].high, 4.0);
        QCOMPARE(cfg("GSR").channelRange, 5e-08);
        QCOMPARE(cfg("GSR").defaultFilters[0].low, 0.1);
        QCOMPARE(cfg("FOT").channelRange, 3000000.0);
        QCOMPARE(cfg("DOUT1").unit, QString("V"));
        QCOMPARE(cfg("DOU").unit, QString("uV"));  // only a name beginning with DOUT is a digital output
        QCOMPARE(cfg("IMU").channelRange, 50.0);
        QCOMPARE(cfg("XYZ").channelRange, 1.0);
        QVERIFY(!cfg("BVP").eegImpedances);
        const Vesk::SigViewerRtConfig com = cfg("COM", 3);
        QCOMPARE(com.samplesPerBlock, 1);
        QCOMPARE(com.samplingRate, 32);
        QCOMPARE(com.channelRange, 50.0);
    }
};

QTEST_MAIN(SignalsWidgetTest)
#include "test_signals_widget.moc"
