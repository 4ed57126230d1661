// The real-time multichannel viewer, its plot and its dialogs: scale label, time window, channel layout, display
// filters and their dialog, NaN-splitting and dense traces.
#include <MkfilterWrapper.h>
#include <ModalAnswerer.h>
#include <PlotCurve.h>
#include <SigChannelsDialog.h>
#include <SigFiltersDialog.h>
#include <SigPlotRt.h>
#include <SigViewerRt.h>

#include <QtTest>
#include <QtWidgets>
#include <cmath>
#include <memory>
#include <numeric>
#include <optional>
#include <qwt_scale_div.h>
#include <qwt_scale_map.h>
#include <random>

using BioSensor::BioSensorFilter;
using F = BioSensorFilter;
using Filters = std::vector<BioSensorFilter>;
using Vesk::SigFiltersDialog;
using Vesk::SigViewerRt;
using Vesk::SigViewerRtConfig;
using Range = std::pair<int, int>;

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

// Feeds blocks whose value for channel c is value(c, index of the sample in this feed).
template <typename Value>
void feed(SigViewerRt& viewer, int blocks, Value value)
{
    const int C = viewer.config().channels, S = viewer.config().samplesPerBlock;
    std::vector<double> block(static_cast<size_t>(C) * S);
    for (int b = 0; b < blocks; ++b) {
        for (int s = 0; s < S; ++s)
            for (int c = 0; c < C; ++c)
                block[s * C + c] = value(c, b * S + s);
        viewer.process(block.data(), false);
    }
}

double shown(const SigViewerRt& viewer, int c, int s) { return viewer.row(c)[s] - viewer.offset(c); }

// Records the runs of samples the curve draws as lines.
class RecordingCurve : public Kvn::PlotCurve {
public:
    mutable std::vector<Range> lines;

protected:
    void drawLines(QPainter* p, const QwtScaleMap& x, const QwtScaleMap& y, const QRectF& r, int from,
                   int to) const override
    {
        lines.emplace_back(from, to);
        Kvn::PlotCurve::drawLines(p, x, y, r, from, to);
    }
};

// Samples 0..n-1 across a picture `width` wide; the trace leaves the picture past +-yRange.
QImage drawInto(QwtPlotCurve& curve, const std::vector<double>& y, int width, double yRange, Range drawn)
{
    std::vector<double> x(y.size());  // the curve keeps only a pointer, used within this call
    std::iota(x.begin(), x.end(), 0.0);
    curve.setRawSamples(x.data(), y.data(), int(y.size()));
    curve.setPen(QPen(Qt::white, 1.0));
    QImage image(width, 200, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QwtScaleMap xMap, yMap;
    xMap.setPaintInterval(0, width);
    xMap.setScaleInterval(0, double(y.size()));
    yMap.setPaintInterval(200, 0);
    yMap.setScaleInterval(-yRange, yRange);
    curve.drawSeries(&painter, xMap, yMap, image.rect(), drawn.first, drawn.second);
    return image;
}

const Filters eegDefaults = {F{3, 30.0, 1.0, 4}, F{0, 52.0, 48.0, 4}};

using Emitted = std::optional<Filters>;

// Clicks Ok; nothing when the dialog refused to emit.
Emitted pressOk(SigFiltersDialog& dialog)
{
    QSignalSpy spy(&dialog, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)));
    dialog.okButton()->click();
    if (spy.isEmpty())
        return std::nullopt;
    return spy.at(0).at(0).value<Filters>();
}

QString edge(const QDoubleSpinBox* box) { return box->isEnabled() ? QString::number(box->value()) : "-"; }

// Both groups in one line: check state, region or type, low-high edges ("-" when disabled), order.
QString state(const SigFiltersDialog& d)
{
    return QString("notch %1 %2 %3-%4 o%5; other %6 %7 %8-%9 o%10")
        .arg(d.notchCheck()->isChecked() ? "on" : "off", d.regionCombo()->currentText(), edge(d.notchLow()),
             edge(d.notchHigh()))
        .arg(d.notchOrder()->value())
        .arg(d.otherCheck()->isChecked() ? "on" : "off", d.otherCombo()->currentText(), edge(d.otherLow()),
             edge(d.otherHigh()))
        .arg(d.otherOrder()->value());
}

// Loads a filter list as exec() does, without running the dialog.
void load(SigFiltersDialog& dialog, const Filters& filters)
{
    QVERIFY(QMetaObject::invokeMethod(&dialog, "_setFiltersFromDesign",
                                      Q_ARG(std::vector<BioSensor::BioSensorFilter>, filters)));
}

}  // namespace

class SigViewerTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { BioSensor::registerFilterListMetaType(); }

    void formatting()
    {
        const struct {
            double value, factor;
            const char* text;
        } rows[] = {{160.0, 1e-6, "160uV"}, {5e-08, 1e-6, "0.05pV"}, {0.0, 1, "0"}, {-0.5, 1, "-500mV"},
                    // Past the largest prefix and below the smallest the nearest one is kept.
                    {1e15, 1, "1000TV"}, {3e17, 1, "300000TV"}, {1e-16, 1, "0.0001pV"}, {INFINITY, 1, "infV"}};
        for (const auto& row : rows)
            QCOMPARE(Vesk::formatScaleValue(row.value, "V", row.factor), QString(row.text));

        // A unit with an SI prefix takes the one that fits; any other unit is kept whole, after a blank.
        QCOMPARE(Vesk::formatScaleLabel(0.5, "uS"), QString("500nS"));
        QCOMPARE(Vesk::formatScaleLabel(8.0, QString::fromUtf8("m/s\u00b2")), QString::fromUtf8("8 m/s\u00b2"));
        QCOMPARE(Vesk::formatScaleLabel(1.0, ""), QString("1"));
    }

    void curveSplitsAtNaNAndDrawsDenseTracesAsQwtDoes()
    {
        const double n = NAN;
        const std::vector<double> gap{1, 2, n, 4, 5, 6, 7};
        const struct {
            std::vector<double> y;
            Range drawn;
            std::vector<Range> runs;
        } rows[] = {{{1, 2, 3, 4}, {0, 3}, {{0, 3}}}, {{n, n, n}, {0, 2}, {}}, {gap, {0, 6}, {{0, 1}, {3, 6}}},
                    {{n, 1, 2, n, n, 3, n}, {0, 6}, {{1, 2}, {5, 5}}}, {gap, {1, 4}, {{1, 1}, {3, 4}}},
                    {gap, {3, 3}, {{3, 3}}}};
        for (const auto& row : rows) {
            RecordingCurve curve;
            drawInto(curve, row.y, 100, 10, row.drawn);
            QCOMPARE(curve.lines, row.runs);
        }

        // 6000 samples over 300 pixels: the per-column extremes must give Qwt's own picture.
        std::vector<double> y(6000);
        std::mt19937 rng(5);
        std::normal_distribution<double> noise(0.0, 1.5);
        for (int i = 0; i < 6000; ++i)
            y[i] = 4.0 * std::sin(i / 300.0) + noise(rng);
        Kvn::PlotCurve ours(true);
        QwtPlotCurve theirs;
        const QImage a = drawInto(ours, y, 300, 7, {0, 5999}), b = drawInto(theirs, y, 300, 7, {0, 5999});
        int differing = 0, lit = 0;
        for (int py = 0; py < 200; ++py)
            for (int px = 0; px < 300; ++px) {
                differing += std::abs(qGray(a.pixel(px, py)) - qGray(b.pixel(px, py))) > 64;
                lit += qGray(b.pixel(px, py)) > 64;
            }
        QVERIFY(lit > 1000);
        QVERIFY2(differing < lit / 50, qPrintable(QString("%1 of %2").arg(differing).arg(lit)));
    }

    void rightReleaseAsksForTheMenuAndRangesStayInTheBuffer()
    {
        Vesk::SigPlotRtConfig config;
        config.samplingRate = 100;
        config.bufferLength = 1500;
        Vesk::SigPlotRt plot(config);
        QSignalSpy menu(&plot, SIGNAL(contextMenu(const QPoint&)));
        QMouseEvent right(QEvent::MouseButtonRelease, QPointF(10, 10), QPointF(110, 210), Qt::RightButton,
                          Qt::NoButton, Qt::NoModifier);
        QVERIFY(static_cast<QObject&>(plot).event(&right));
        QCOMPARE(menu.at(0).at(0).toPoint(), QPoint(110, 210));

        // Which samples a strip draws is checked on screen by the screenshot test; here the edges.
        QwtScaleMap map;
        map.setPaintInterval(0, 500);
        map.setScaleInterval(0, 5.0);  // a pixel is 10 ms
        int from = -1, to = -1;
        plot.sampleRange(map, map.transform(14.5), map.transform(15.0), from, to);
        QCOMPARE(to, 1499);
        plot.sampleRange(map, 0, map.transform(0.5), from, to);
        QVERIFY(from == 0 && std::abs(to - 150) <= 3);  // the strip plus a second's margin
    }

    void timeWindowLimitsAndSweep()
    {
        SigViewerRt viewer(config(1, 8, 256));
        QCOMPARE(qMakePair(viewer.windowLength(), viewer.rowLength()), qMakePair(7 * 256, 21 * 256));
        feed(viewer, 200, [](int, long) { return 0.0; });
        QCOMPARE(viewer.writePosition(), 1600);
        // Each second less moves the write position back by a second while it lies past the new window.
        for (int expected : {1344, 1088, 832}) {
            viewer.reduceScaleX();
            QCOMPARE(viewer.writePosition(), expected);
        }
        viewer.enlargeScaleX();
        QCOMPARE(viewer.writePosition(), 832);  // enlarging never moves it
        QCOMPARE(viewer.cursorTime(), double(832.0f / 256.0f));

        // At each limit the menu (its states set as it opens) offers only the other way.
        auto offers = [&viewer] {
            const QList<QAction*> menu = viewer.contextMenuActions();
            return qMakePair(menu[0]->isEnabled(), menu[1]->isEnabled());
        };
        for (int k = 0; k < 20; ++k)
            viewer.contextMenuActions()[1]->trigger();
        QVERIFY(viewer.windowLength() == 21 * 256 && offers() == qMakePair(true, false));
        for (int k = 0; k < 30; ++k)
            viewer.reduceScaleX();
        QVERIFY(viewer.windowLength() == 256 && offers() == qMakePair(false, true));

        // 250 Hz with 8-sample blocks: the 21 s window (5250 samples) is not a multiple of the block.
        SigViewerRt sweep(config(3, 8, 250));
        for (int k = 0; k < 14; ++k)
            sweep.enlargeScaleX();
        QCOMPARE(sweep.windowLength(), sweep.rowLength());
        feed(sweep, 656, [](int c, long s) { return c == 0 ? double(s) : -double(s); });
        QVERIFY(sweep.writePosition() == 5248 && sweep.row(1)[5247] == 20.0 - 5247.0);
        feed(sweep, 1, [](int, long) { return 0.5; });  // only 2 of its 8 samples fit
        QVERIFY(sweep.writePosition() == 0 && sweep.row(2)[5249] == 10.5);
        QCOMPARE(sweep.row(1)[0], 20.0);  // the next row was not overwritten
        QCOMPARE(sweep.row(0)[8], 30.0 + 8.0);  // the rest of the old sweep stays
        sweep.reset();
        QCOMPARE(sweep.row(0)[8], 30.0);

        // Damaged configurations still make a viewer that takes blocks.
        SigViewerRtConfig c = config(2, 0, 0);
        c.secondsShown = std::nan("");
        SigViewerRt damaged(c);
        QVERIFY(damaged.windowLength() >= 1);
        const double block[2] = {1.0, 1.0};
        for (int k = 0; k < 10; ++k)
            damaged.process(block, false);
        damaged.process(nullptr, false);
        SigViewerRt empty(config(0, 8, 256));
        empty.process(block, false);
        empty.reset();
    }

    void channelLayoutAfterHidingChannels()
    {
        SigViewerRt viewer(config(5, 1, 32));
        feed(viewer, 3, [](int c, long) { return c + 0.5; });
        Vesk::SigChannelsDialog* dialog = viewer.channelsDialog();
        const auto& boxes = dialog->checkBoxes();

        QSignalSpy enabled(&viewer, SIGNAL(enabledChans(QVector<int>)));
        // Presses the dialog's buttons; what the viewer then reports shown, and the top of its axis.
        auto press = [&](QStringList buttons) {
            for (const QString& b : buttons)
                dialog->button(b)->click();
            return qMakePair(enabled.empty() ? QVector<int>{-1} : enabled.last().at(0).value<QVector<int>>(),
                             viewer.plot()->axisScaleDiv(QwtPlot::yLeft).upperBound());
        };
        QCOMPARE(press({"Select none", "Cancel"}), qMakePair(QVector<int>{-1}, 60.0));
        press({"Select all"});
        boxes[1]->setChecked(false);
        QCOMPARE(press({"Ok"}), qMakePair(QVector<int>{0, 2, 3, 4}, 50.0));
        QVERIFY(viewer.offset(0) == 40 && viewer.offset(2) == 30 && viewer.offset(4) == 10);
        QCOMPARE(viewer.row(0)[1], 40.5);  // the trace moved with its baseline
        QVERIFY(!viewer.isChannelAttached(1));

        // Showing it again puts it back in order, its old values shifted to the new baseline.
        QCOMPARE(press({"Select all", "Ok"}), qMakePair(QVector<int>{0, 1, 2, 3, 4}, 60.0));
        QVERIFY(viewer.row(1)[1] == 41.5 && viewer.row(0)[1] == 50.5 && viewer.isChannelAttached(1));
        QCOMPARE(press({"Select none", "Ok"}), qMakePair(QVector<int>{}, 10.0));

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
                    in.at(ch, s) = block[s * C + ch] = noise(rng) + 40.0 * std::sin(M_PI * 100.0 * (b * S + s) / rate);
            const int at = viewer.writePosition();
            viewer.process(block.data(), false);
            notch.filter(in, mid);
            band.filter(mid, out);
            for (int ch = 0; ch < C; ++ch)
                for (int s = 0; s < S; ++s)
                    QVERIFY(std::fabs(shown(viewer, ch, at + s) - out.value(ch, s)) < 1e-9);
        }

        // Both filters switched off in the dialog: the raw values are shown.
        SigFiltersDialog* dialog = viewer.filtersDialog();
        QVERIFY(dialog->notchOrder()->isReadOnly() && dialog->otherOrder()->isReadOnly());
        dialog->notchCheck()->setChecked(false);
        dialog->otherCheck()->setChecked(false);
        dialog->okButton()->click();
        QVERIFY(viewer.filters().empty());
        const int at = viewer.writePosition();
        viewer.process(block.data(), false);
        QCOMPARE(shown(viewer, 1, at), block[1]);
    }

    void wildValueIsAGapNotASmear()
    {
        // One wild sample on channel 3 of an EEG viewer with its display filters: the channel has a gap there and
        // its trace goes on as before; no other channel changes, and the picture changes only in channel 3's band.
        const int C = 6, S = 8;
        for (double wild : {1e300, -1e300, HUGE_VAL, double(NAN), 1.7e8}) {
            std::unique_ptr<SigViewerRt> views[2];
            QImage pictures[2];
            for (int k = 0; k < 2; ++k) {
                SigViewerRtConfig c = config(C, S, 256, 160.0);
                c.defaultFilters = eegDefaults;
                c.partialRepaint = false;  // each block replots the whole canvas
                views[k] = std::make_unique<SigViewerRt>(c);
                views[k]->resize(800, 480);
                feed(*views[k], 40, [k, wild](int ch, int i) {
                    return k == 1 && ch == 3 && i == 100 ? wild : 50.0 * std::sin(i * 0.2 + ch);
                });
                pictures[k] = views[k]->plot()->canvas()->grab().toImage();
            }
            const SigViewerRt& clean = *views[0];
            const SigViewerRt& hit = *views[1];
            QVERIFY2(std::isnan(hit.row(3)[100]), qPrintable(QString::number(wild)));
            for (int ch = 0; ch < C; ++ch)
                for (int i = 0; i < 40 * S; ++i) {
                    if (ch == 3 && i == 100)
                        continue;
                    const double drift = std::fabs(shown(hit, ch, i) - shown(clean, ch, i));
                    QVERIFY2(ch == 3 ? drift < 16.0 : drift == 0.0, qPrintable(QString("%1: channel %2 sample %3 off by %4")
                                                                              .arg(wild).arg(ch).arg(i).arg(drift)));
                }
            const QwtScaleMap yMap = clean.plot()->canvasMap(QwtPlot::yLeft);
            const double top = yMap.transform(clean.offset(3) + 160.0), bottom = yMap.transform(clean.offset(3) - 160.0);
            int outside = 0;
            for (int y = 0; y < pictures[0].height(); ++y)
                for (int x = 0; x < pictures[0].width(); ++x)
                    outside += (y < top - 2 || y > bottom + 2) && pictures[0].pixel(x, y) != pictures[1].pixel(x, y);
            QVERIFY2(outside == 0, qPrintable(QString("%1: %2 pixels changed outside channel 3").arg(wild).arg(outside)));
        }
    }

    // 256 channels with impedance dots in a small window: names thinned out from the top channel, all inside
    // the legend and none over another; long names widen it.
    void denseLegendStaysReadable()
    {
        for (const QStringList& names : {QStringList(), QStringList{"Channel-0001"}}) {
            SigViewerRtConfig c = config(256, 16, 2048, 160.0);
            c.eegImpedances = true;
            c.channelNames = names;
            SigViewerRt viewer(c);
            viewer.resize(600, 330);
            viewer.show();
            QVERIFY(QTest::qWaitForWindowExposed(&viewer));
            const auto items = viewer.legend()->items();
            QVERIFY(!items.last().text.isEmpty());
            for (int i = 0; i < items.size(); ++i) {
                const QRectF& t = items[i].text;
                QVERIFY2(t.isEmpty() || (t.top() >= 0 && t.bottom() <= viewer.legend()->height()),
                         qPrintable(QString::number(items[i].channel)));
                for (int j = i + 1; j < items.size(); ++j) QVERIFY(!t.intersects(items[j].text));
            }
            QCOMPARE(viewer.legend()->width() > 80, !names.isEmpty());
        }
    }

    void zoomScalesTheAmplitudeAndTheLabel()
    {
        SigViewerRt viewer(config(2, 8, 256, 160.0));
        QCOMPARE(viewer.scaleLabel(), QString("160uV"));
        viewer.show();
        viewer.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&viewer));
        auto wave = [](int, long s) { return std::sin(s * 0.1) * 10.0; };
        feed(viewer, 4, wave);
        const double before = shown(viewer, 1, 5);
        // A shortcut "animates" the button, which clicks it a moment later.
        for (int k = 0; k < 3; ++k) {
            QTest::keyClick(&viewer, Qt::Key_Plus, Qt::ControlModifier);
            QTRY_COMPARE(viewer.amplitudeFactor(), double(2 << k));
        }
        QCOMPARE(viewer.scaleLabel(), QString("20uV"));
        // Values already shown are rescaled about their channel's baseline.
        QVERIFY(std::fabs(shown(viewer, 1, 5) - 8.0 * before) < 1e-9);

        // Extremes draw, and an underflowed factor gives a label, never a crash.
        for (int k = 0; k < 60; ++k)
            viewer.enlargeScaleY();
        feed(viewer, 40, wave);
        viewer.grab();
        for (int k = 0; k < 1200; ++k)
            viewer.reduceScaleY();
        feed(viewer, 4, wave);
        QCOMPARE(viewer.scaleLabel(), QString("infV"));
        viewer.grab();
    }

    void filterDialog()
    {
        SigFiltersDialog eeg(nullptr, "EEG", eegDefaults, 256);
        QCOMPARE(state(eeg), QString("notch on Europe 48-52 o4; other on Bandpass 1-30 o4"));
        QCOMPARE(pressOk(eeg), Emitted({F{0, 52.0, 48.0, 4}, F{3, 30.0, 1.0, 4}}));
        SigFiltersDialog none(nullptr, "GSR", {}, 256);
        QCOMPARE(pressOk(none), Emitted(Filters{}));

        // Rates the table does not list get defaults derived from the rate: filters well below the Nyquist
        // frequency, and a mains notch only where mains hum can be seen.
        const struct { int rate; const char *notch, *bandpass; } derived[] = {{300, "notch on Europe 48-52 o4", "Bandpass 0.5-60 o4"},
                       {32, "notch on Europe 12.8-14.4 o2", "Bandpass 0.5-12.8 o4"},
                       {8, "notch on Europe 3.2-3.6 o2", "Bandpass 0.32-3.2 o4"}};
        for (const auto& row : derived) {
            SigFiltersDialog odd(nullptr, "X", {}, row.rate);
            odd.notchCheck()->setChecked(true);
            odd.otherCheck()->setChecked(true);
            odd.otherCombo()->setCurrentText("Bandpass");
            QVERIFY2(state(odd).startsWith(row.notch) && state(odd).endsWith(row.bandpass),
                     qPrintable(QString::number(row.rate) + ": " + state(odd)));
        }

        // The region is recognised from the notch edges; edges of neither region keep their values.
        SigFiltersDialog usa(nullptr, "EEG", {F{0, 62.0, 58.0, 4}}, 256);
        QCOMPARE(usa.regionCombo()->currentText(), QString("USA/Japan"));
        load(usa, {F{0, 62.0, 57.0, 4}});
        QCOMPARE(state(usa).section("; ", 0, 0), QString("notch on Europe 57-62 o4"));

        // A lowpass still reports its disabled low edge at the box's minimum.
        SigFiltersDialog other(nullptr, "EEG", eegDefaults, 256);
        other.otherCombo()->setCurrentText("Lowpass");
        other.notchCheck()->setChecked(false);
        QCOMPARE(state(other).section("; ", 1), QString("other on Lowpass --60 o4"));
        QCOMPARE(pressOk(other), Emitted(Filters{F{1, 60.0, 0.01, 4}}));

        // Invalid ranges keep the dialog open and emit nothing.
        SigFiltersDialog ranges(nullptr, "EEG", eegDefaults, 256);
        ranges.setHighOtherValue(10.0);
        ranges.setLowOtherValue(20.0);
        std::unique_ptr<ModalAnswerer> answerer(ModalAnswerer::pressing(QMessageBox::Ok));
        QVERIFY(!pressOk(ranges));
        QCOMPARE(answerer->titles, QStringList{"Frequency range error"});
        QCOMPARE(ranges.otherHigh()->value(), 10.0);  // left for the user to mend
        ranges.setHighOtherValue(30.0);
        ranges.setHighNotchValue(40.0);
        QVERIFY(!pressOk(ranges));
        QCOMPARE(answerer->texts,
                 (QStringList{"Invalid Other filter frequency range.", "Invalid notch filter frequency range"}));

        // Equal edges are not an error.
        ranges.setHighNotchValue(48.0);
        QVERIFY(pressOk(ranges).has_value());

        // Loading applies no defaults: the notch, absent from the list, keeps its state.
        load(eeg, {F{2, 0.0, 3.0, 6}});
        QCOMPARE(state(eeg), QString("notch on Europe 48-52 o4; other on Highpass 3-- o6"));
        QVERIFY(eeg.defaultUpdatingEnabled());

        ModalAnswerer cancel([](QWidget* w) { return w->close(); });
        QCOMPARE(eeg.exec({F{1, 40.0, 0.0, 4}}), int(QDialog::Rejected));
        QCOMPARE(state(eeg).section("; ", 1), QString("other on Lowpass --40 o4"));

        // Enabling twice must not connect twice: one disable switches the defaults off.
        eeg.setDefaultUpdatingEnabled(true);
        eeg.setDefaultUpdatingEnabled(false);
        eeg.setHighOtherValue(12.0);
        eeg.otherCombo()->setCurrentText("Bandpass");
        QCOMPARE(eeg.otherHigh()->value(), 12.0);
        eeg.setDefaultUpdatingEnabled(true);
        eeg.otherCombo()->setCurrentText("Lowpass");
        QCOMPARE(eeg.otherHigh()->value(), 60.0);
    }
};

QTEST_MAIN(SigViewerTest)
#include "test_sigviewer.moc"
