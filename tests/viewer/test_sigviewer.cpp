// The real-time multichannel viewer: scale label, time window, channel layout, display filters, impedances.
#include <MkfilterWrapper.h>
#include <SigChannelsDialog.h>
#include <SigFiltersDialog.h>
#include <SigPlotRt.h>
#include <SigViewerRt.h>

#include <QAction>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <cmath>
#include <qwt_scale_div.h>
#include <random>

using BioSensor::BioSensorFilter;
using Vesk::SigViewerRt;
using Vesk::SigViewerRtConfig;

namespace {

SigViewerRtConfig config(int channels, int samplesPerBlock, int rate, double range = 10.0, QString unit = "uV")
{
    SigViewerRtConfig c;
    c.channels = channels;
    c.samplesPerBlock = samplesPerBlock;
    c.samplingRate = rate;
    c.channelRange = range;
    c.unit = unit;
    return c;
}

// Feeds blocks whose value for channel c is value(c, global sample index).
template <typename F>
void feed(SigViewerRt& viewer, int blocks, F value, long& sample)
{
    const int C = viewer.config().channels, S = viewer.config().samplesPerBlock;
    std::vector<double> block(static_cast<size_t>(C) * S);
    for (int b = 0; b < blocks; ++b, sample += S) {
        for (int s = 0; s < S; ++s)
            for (int c = 0; c < C; ++c)
                block[s * C + c] = value(c, sample + s);
        viewer.process(block.data(), false);
    }
}

double shown(const SigViewerRt& viewer, int c, int s) { return viewer.row(c)[s] - viewer.offset(c); }

QAction* action(SigViewerRt& viewer, const QString& text)
{
    for (QAction* a : viewer.contextMenuActions())
        if (a->text() == text)
            return a;
    return nullptr;
}

}  // namespace

class SigViewerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { BioSensor::registerFilterListMetaType(); }

    void formatting_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("factor");
        QTest::addColumn<QString>("text");
        QTest::newRow("EEG range") << 160.0 << 1e-6 << "160uV";
        QTest::newRow("GSR") << 5e-08 << 1e-6 << "0.05pV";
        QTest::newRow("FOT") << 3000000.0 << 1e-6 << "3V";
        QTest::newRow("zero") << 0.0 << 1.0 << "0";
        QTest::newRow("negative milli") << -0.5 << 1.0 << "-500mV";
        QTest::newRow("kilo six digits") << 1234.5678 << 1.0 << "1.23457kV";
        QTest::newRow("two below the prefix") << 0.01 << 1.0 << "10mV";
        QTest::newRow("tera") << 2.5e13 << 1.0 << "25TV";
        QTest::newRow("clamped past 10^15") << 1e15 << 1.0 << "1000TV";
        QTest::newRow("clamped far past") << 3e17 << 1.0 << "300000TV";
        QTest::newRow("tiny") << 1e-16 << 1.0 << "0.0001pV";
        QTest::newRow("not finite") << double(INFINITY) << 1.0 << "infV";
    }

    void formatting()
    {
        QFETCH(double, value);
        QFETCH(double, factor);
        QTEST(Vesk::formatScaleValue(value, "V", factor), "text");
    }

    void zoomScalesTheAmplitudeAndTheLabel()
    {
        QCOMPARE(SigViewerRt(config(1, 1, 32, 8.0, "V")).scaleLabel(), QString("8V"));
        SigViewerRt viewer(config(2, 8, 256, 160.0));
        QCOMPARE(viewer.scaleLabel(), QString("160uV"));
        viewer.resize(600, 300);
        viewer.show();
        viewer.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&viewer));
        auto* zoomOut = viewer.findChild<QPushButton*>("zoomOutButton");
        QCOMPARE(viewer.findChild<QPushButton*>("zoomInButton")->toolTip(), QString("Enlarge signal (Ctrl +)"));
        QCOMPARE(zoomOut->toolTip(), QString("Reduce signal (Ctrl -)"));

        long sample = 0;
        feed(viewer, 4, [](int, long s) { return std::sin(s * 0.1) * 10.0; }, sample);
        const double before = shown(viewer, 1, 5);
        // A shortcut "animates" the button, which clicks it a moment later.
        for (int k = 0; k < 3; ++k) {
            QTest::keyClick(&viewer, Qt::Key_Plus, Qt::ControlModifier);
            QTRY_COMPARE(viewer.amplitudeFactor(), double(2 << k));
        }
        QCOMPARE(viewer.scaleLabel(), QString("20uV"));
        // Values already shown are rescaled about their channel's baseline.
        QVERIFY(std::fabs(shown(viewer, 1, 5) - 8.0 * before) < 1e-9);
        zoomOut->click();
        QCOMPARE(viewer.amplitudeFactor(), 4.0);
    }

    void timeWindowLimits()
    {
        SigViewerRt viewer(config(1, 10, 250));
        QCOMPARE(viewer.windowLength(), 1750);
        QCOMPARE(viewer.rowLength(), 5250);
        QSignalSpy enlarged(&viewer, SIGNAL(enlargedScaleX()));
        QSignalSpy reduced(&viewer, SIGNAL(reducedScaleX()));
        for (int k = 0; k < 20; ++k)
            action(viewer, "&Show more seconds")->trigger();
        QCOMPARE(viewer.currentSeconds(), 21.0);
        QCOMPARE(viewer.windowLength(), 5250);
        QCOMPARE(enlarged.count(), 14);  // refused attempts emit nothing
        QVERIFY(!action(viewer, "&Show more seconds")->isEnabled());
        QVERIFY(action(viewer, "&Show less seconds")->isEnabled());
        for (int k = 0; k < 30; ++k)
            viewer.reduceScaleX();
        QCOMPARE(viewer.windowLength(), 250);
        QCOMPARE(reduced.count(), 0);  // the public slots never emit
        QVERIFY(!action(viewer, "&Show less seconds")->isEnabled());

        QStringList texts;
        for (QAction* a : viewer.contextMenuActions())
            texts << a->text();
        QCOMPARE(texts, (QStringList{"&Show less seconds", "&Show more seconds", "&Enlarge signal", "&Reduce signal",
                                     "Select channels", "Filters settings"}));
        SigViewerRtConfig noSelection = config(1, 10, 250);
        noSelection.channelSelection = false;
        QCOMPARE(SigViewerRt(noSelection).contextMenuActions().size(), 5);
    }

    void shrinkingBelowTheWritePositionMovesItBack()
    {
        SigViewerRt viewer(config(1, 8, 256));
        long sample = 0;
        feed(viewer, 200, [](int, long) { return 0.0; }, sample);
        QCOMPARE(viewer.writePosition(), 1600);
        // Each second less moves it back by a second while it lies past the new window.
        for (int expected : {1344, 1088, 832}) {
            viewer.reduceScaleX();
            QCOMPARE(viewer.writePosition(), expected);
        }
        viewer.enlargeScaleX();
        QCOMPARE(viewer.writePosition(), 832);  // enlarging never moves it
        QCOMPARE(viewer.cursorTime(), double(832.0f / 256.0f));
    }

    void sweepWrapsAndBlocksAreClippedToTheRow()
    {
        SigViewerRt viewer(config(2, 8, 64));  // 7 s: 448 samples
        long sample = 0;
        feed(viewer, 56, [](int c, long s) { return c == 0 ? double(s) : -double(s); }, sample);
        QCOMPARE(viewer.writePosition(), 0);
        QCOMPARE(viewer.row(0)[447], 20.0 + 447.0);
        QCOMPARE(viewer.row(1)[447], 10.0 - 447.0);
        feed(viewer, 1, [](int, long) { return 1.0; }, sample);
        QCOMPARE(viewer.row(0)[0], 21.0);
        QCOMPARE(viewer.row(0)[8], 20.0 + 8.0);  // the rest of the old sweep stays
        viewer.reset();
        QCOMPARE(viewer.writePosition(), 0);
        QCOMPARE(viewer.row(1)[100], 10.0);

        // 250 Hz with 8-sample blocks: the 21 s window (5250 samples) is not a multiple of the block.
        SigViewerRtConfig c = config(3, 8, 250);
        c.partialRepaint = false;
        SigViewerRt wide(c);
        for (int k = 0; k < 14; ++k)
            wide.enlargeScaleX();
        QCOMPARE(wide.windowLength(), wide.rowLength());
        feed(wide, 656, [](int, long) { return 1.0; }, sample);
        QCOMPARE(wide.writePosition(), 5248);
        feed(wide, 1, [](int, long) { return 2.0; }, sample);  // only 2 of its 8 samples fit
        QCOMPARE(wide.writePosition(), 0);
        QCOMPARE(wide.row(2)[5249], 10.0 + 2.0);
        QCOMPARE(wide.row(2)[0], 10.0 + 1.0);
        QCOMPARE(wide.row(1)[0], 20.0 + 1.0);  // the next row was not overwritten
    }

    void channelLayoutAfterHidingChannels()
    {
        SigViewerRt viewer(config(4, 1, 32));
        long sample = 0;
        feed(viewer, 3, [](int c, long) { return c + 0.5; }, sample);
        QSignalSpy enabled(&viewer, SIGNAL(enabledChans(QVector<int>)));
        auto choose = [&](const QString& button) {
            viewer.channelsDialog()->button(button)->click();
            viewer.channelsDialog()->button("Ok")->click();
        };
        viewer.channelsDialog()->setChannelStates({true, false, true, true});
        viewer.channelsDialog()->button("Ok")->click();
        QCOMPARE(enabled.at(0).at(0).value<QVector<int>>(), (QVector<int>{0, 2, 3}));
        QCOMPARE(QVector<double>({viewer.offset(0), viewer.offset(2), viewer.offset(3)}), QVector<double>({30, 20, 10}));
        QCOMPARE(viewer.row(0)[1], 30.5);  // the trace moved with its baseline
        QVERIFY(!viewer.isChannelAttached(1));
        QCOMPARE(viewer.plot()->axisScaleDiv(QwtPlot::yLeft).upperBound(), 40.0);

        // Showing it again puts it back in order, its old values shifted to the new baseline.
        choose("Select all");
        QCOMPARE(viewer.row(1)[1], 31.5);
        QCOMPARE(viewer.row(0)[1], 40.5);
        QVERIFY(viewer.isChannelAttached(1));
        choose("Select none");
        QCOMPARE(viewer.visibleCount(), 0);
        QCOMPARE(viewer.plot()->axisScaleDiv(QwtPlot::yLeft).upperBound(), 10.0);
        QCOMPARE(enabled.last().at(0).value<QVector<int>>(), QVector<int>{});

        SigViewerRtConfig c = config(5, 1, 32, 1.0);
        c.channelIndices = {3, 1, 7, -2};  // out-of-range entries are ignored
        SigViewerRt some(c);
        QCOMPARE(some.visibleChannels(), (QVector<int>{1, 3}));
        QCOMPARE(some.offset(1), 2.0);
        QCOMPARE(some.config().channelNames, (QStringList{"01", "02", "03", "04", "05"}));
    }

    void displayFilterMatchesTheLibraryFilter()
    {
        const int C = 3, S = 8, rate = 256;
        SigViewerRtConfig c = config(C, S, rate, 100.0);
        c.title = "EEG";
        c.defaultFilters = {{BioSensorFilter::BANDPASS, 30.0, 1.0, 4}, {BioSensorFilter::NOTCH, 52.0, 48.0, 4}};
        SigViewerRt viewer(c);
        MkfilterWrapper notch(C, S, rate), band(C, S, rate);
        QVERIFY(notch.Butterworth(MkfilterWrapper::BAND_STOP, 4, 48.0, 52.0));
        QVERIFY(band.Butterworth(MkfilterWrapper::BAND_PASS, 4, 1.0, 30.0));
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 20.0);
        std::vector<double> block(C * S);
        DataBlock in(C, S), mid(C, S), out(C, S);
        for (int b = 0; b < 100; ++b) {
            for (int s = 0; s < S; ++s)
                for (int ch = 0; ch < C; ++ch)
                    in.at(ch, s) = block[s * C + ch] = noise(rng) + 40.0 * std::sin(2 * M_PI * 50.0 * (b * S + s) / rate);
            const int at = viewer.writePosition();
            viewer.process(block.data(), false);
            notch.filter(in, mid);
            band.filter(mid, out);
            for (int ch = 0; ch < C; ++ch)
                for (int s = 0; s < S; ++s)
                    QVERIFY(std::fabs(shown(viewer, ch, at + s) - out.value(ch, s)) < 1e-9);
        }

        // Both filters switched off in the dialog: the raw values are shown.
        Vesk::SigFiltersDialog* dialog = viewer.filtersDialog();
        QVERIFY(dialog->notchOrder()->isReadOnly() && dialog->otherOrder()->isReadOnly());
        dialog->notchCheck()->setChecked(false);
        dialog->otherCheck()->setChecked(false);
        dialog->okButton()->click();
        QVERIFY(viewer.filters().empty());
        const int at = viewer.writePosition();
        viewer.process(block.data(), false);
        QCOMPARE(shown(viewer, 1, at), block[1]);
    }

    void channelMajorAndSampleMajorAgree()
    {
        SigViewerRt a(config(3, 4, 64)), b(config(3, 4, 64));
        std::vector<double> sampleMajor(12), channelMajor(12);
        for (int s = 0; s < 4; ++s)
            for (int c = 0; c < 3; ++c)
                sampleMajor[s * 3 + c] = channelMajor[c * 4 + s] = c * 100 + s;
        a.process(sampleMajor.data(), false);
        b.process(channelMajor.data(), true);
        for (int c = 0; c < 3; ++c)
            for (int s = 0; s < 4; ++s)
                QCOMPARE(shown(b, c, s), double(c * 100 + s));
        QCOMPARE(std::vector<double>(a.row(0), a.row(0) + 3 * a.rowLength()),
                 std::vector<double>(b.row(0), b.row(0) + 3 * b.rowLength()));
    }

    void impedanceLevelsReachTheLegend()
    {
        const int rate = 256;
        SigViewerRtConfig c = config(3, 8, rate, 160.0);
        c.eegImpedances = true;
        c.deviceVersion = "HW3.0_FW2.1";
        c.eegSensorType = 1;
        SigViewerRt viewer(c);
        QVERIFY(viewer.legend()->impedanceMode());
        QCOMPARE(viewer.impedanceLevels(), (std::vector<int>{4, 4, 4}));
        const double amplitude[] = {5.0, 30.0, 100.0};
        long sample = 0;
        feed(viewer, 40, [&](int ch, long s) { return amplitude[ch] * std::sin(2 * M_PI * s / 4.0 + 0.3); }, sample);
        QCOMPARE(viewer.impedanceLevels(), (std::vector<int>{1, 3, 4}));
    }

    void extremeZoomAndDamagedConfigurationsDoNotCrash()
    {
        SigViewerRt viewer(config(2, 8, 256, 160.0));
        viewer.resize(500, 300);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        long sample = 0;
        auto wave = [](int, long s) { return std::sin(s * 0.3) * 50.0; };
        feed(viewer, 40, wave, sample);
        for (int k = 0; k < 60; ++k)
            viewer.enlargeScaleY();
        feed(viewer, 40, wave, sample);
        QVERIFY(!viewer.grab().isNull());
        for (int k = 0; k < 1200; ++k)
            viewer.reduceScaleY();
        QCOMPARE(viewer.scaleLabel(), QString("infV"));  // the factor underflowed: a label, never a crash
        feed(viewer, 4, wave, sample);
        QVERIFY(!viewer.grab().isNull());

        SigViewerRtConfig c = config(2, 0, 0);
        c.secondsShown = std::nan("");
        SigViewerRt damaged(c);
        QVERIFY(damaged.windowLength() >= 1);
        std::vector<double> block(2, 1.0);
        for (int k = 0; k < 10; ++k)
            damaged.process(block.data(), false);
        damaged.process(nullptr, false);
        SigViewerRt empty(config(0, 8, 256));
        empty.process(block.data(), false);
        empty.reset();
    }
};

QTEST_MAIN(SigViewerTest)
#include "test_sigviewer.moc"
