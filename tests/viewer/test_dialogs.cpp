// The visualisation filters dialog, the channels dialog and the digital aux question.
#include <BiosensingConfigurator.h>
#include <ModalAnswerer.h>
#include <SigChannelsDialog.h>
#include <SigFiltersDialog.h>

#include <QtTest>
#include <QtWidgets>
#include <optional>

using BioSensor::BioSensorFilter;
using F = BioSensorFilter;
using Filters = std::vector<BioSensorFilter>;
using Vesk::SigFiltersDialog;

namespace {

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

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { BioSensor::registerFilterListMetaType(); }

    void defaultsByRate()
    {
        auto table = SigFiltersDialog::defaultTable();
        QCOMPARE(table.size(), size_t(5));
        QCOMPARE(table[2048].bandpass, (F{3, 60.0, 0.5, 3}));

        SigFiltersDialog eeg(nullptr, "EEG", eegDefaults, 256);
        QCOMPARE(eeg.windowTitle(), QString("EEG visualizing filters"));
        QCOMPARE(state(eeg), QString("notch on Europe 48-52 o4; other on Bandpass 1-30 o4"));
        QVERIFY(eeg.notchHigh()->isReadOnly() && !eeg.otherHigh()->isReadOnly());
        QCOMPARE(pressOk(eeg), Emitted({F{0, 52.0, 48.0, 4}, F{3, 30.0, 1.0, 4}}));
        QCOMPARE(eeg.result(), int(QDialog::Accepted));

        SigFiltersDialog none(nullptr, "GSR", {}, 256);
        QVERIFY(!none.regionCombo()->isEnabled() && !none.otherCombo()->isEnabled());
        QVERIFY(state(none).startsWith("notch off") && state(none).contains("other off"));
        QCOMPARE(pressOk(none), Emitted(Filters{}));

        // An unknown rate has all-zero defaults, which the boxes clamp to their minimum.
        SigFiltersDialog odd(nullptr, "X", {}, 300);
        QCOMPARE(odd.defaultsFor(300).notch, BioSensorFilter());
        odd.notchCheck()->setChecked(true);
        QCOMPARE(odd.notchHigh()->value(), 0.01);
        QCOMPARE(odd.notchOrder()->value(), 2.0);
    }

    void choicesApplyTheRateDefaults()
    {
        // The region is recognised from the notch edges; edges of neither region keep their values.
        SigFiltersDialog usa(nullptr, "EEG", {F{0, 62.0, 58.0, 4}}, 256);
        QCOMPARE(usa.regionCombo()->currentText(), QString("USA/Japan"));
        load(usa, {F{0, 62.0, 57.0, 4}});
        QCOMPARE(state(usa).section("; ", 0, 0), QString("notch on Europe 57-62 o4"));

        SigFiltersDialog at512(nullptr, "EEG", {F{0, 54.0, 46.0, 5}}, 512);
        at512.regionCombo()->setCurrentText("USA/Japan");
        QCOMPARE(state(at512).section("; ", 0, 0), QString("notch on USA/Japan 56-64 o5"));
        SigFiltersDialog at1024(nullptr, "EEG", {}, 1024);
        at1024.notchCheck()->setChecked(true);
        QCOMPARE(state(at1024).section("; ", 0, 0), QString("notch on Europe 43-57 o4"));

        // A lowpass still reports its disabled low edge at the box's minimum.
        SigFiltersDialog eeg(nullptr, "EEG", eegDefaults, 256);
        eeg.otherCombo()->setCurrentText("Lowpass");
        eeg.notchCheck()->setChecked(false);
        QCOMPARE(state(eeg).section("; ", 1), QString("other on Lowpass --60 o4"));
        QCOMPARE(pressOk(eeg), Emitted(Filters{F{1, 60.0, 0.01, 4}}));
        eeg.otherCombo()->setCurrentText("Highpass");
        QCOMPARE(state(eeg).section("; ", 1), QString("other on Highpass 0.5-- o4"));
    }

    void loadingDoesNotApplyDefaults()
    {
        SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        load(dialog, {F{2, 0.0, 3.0, 6}});
        // The notch was absent from the list, so it keeps its state.
        QCOMPARE(state(dialog), QString("notch on Europe 48-52 o4; other on Highpass 3-- o6"));
        QVERIFY(dialog.defaultUpdatingEnabled());

        ModalAnswerer cancel([](QWidget* w) { return w->close(); });
        QCOMPARE(dialog.exec({F{1, 40.0, 0.0, 4}}), int(QDialog::Rejected));
        QCOMPARE(state(dialog).section("; ", 1), QString("other on Lowpass --40 o4"));

        // Enabling twice must not connect twice: one disable switches the defaults off.
        dialog.setDefaultUpdatingEnabled(true);
        dialog.setDefaultUpdatingEnabled(false);
        dialog.setHighOtherValue(12.0);
        dialog.otherCombo()->setCurrentText("Bandpass");
        QCOMPARE(dialog.otherHigh()->value(), 12.0);
        dialog.setDefaultUpdatingEnabled(true);
        dialog.otherCombo()->setCurrentText("Lowpass");
        QCOMPARE(dialog.otherHigh()->value(), 60.0);
    }

    void invalidRangesStayOpenAndEmitNothing()
    {
        SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        dialog.setHighOtherValue(10.0);
        dialog.setLowOtherValue(20.0);
        ModalAnswerer* answerer = ModalAnswerer::pressing(QMessageBox::Ok, this);
        QVERIFY(!pressOk(dialog));
        QCOMPARE(answerer->texts, QStringList{"Invalid Other filter frequency range."});
        QCOMPARE(answerer->titles, QStringList{"Frequency range error"});
        QCOMPARE(dialog.otherHigh()->value(), 10.0);

        dialog.setHighOtherValue(30.0);
        dialog.setHighNotchValue(40.0);
        answerer->texts.clear();
        QVERIFY(!pressOk(dialog));
        QCOMPARE(answerer->texts, QStringList{"Invalid notch filter frequency range"});
        delete answerer;

        // Equal edges are not an error for the dialog.
        dialog.setHighNotchValue(48.0);
        QVERIFY(pressOk(dialog).has_value());

        dialog.notchCheck()->setChecked(false);
        dialog.otherCheck()->setChecked(false);
        QCOMPARE(pressOk(dialog), Emitted(Filters{}));
    }

    void channelsDialog()
    {
        Vesk::SigChannelsDialog dialog(nullptr, QString("1 2 3 4 5 6 7 8 9").split(' '));
        const auto& boxes = dialog.checkBoxes();
        dialog.layout()->activate();
        // Four to a row, the buttons in the row below.
        QVERIFY(boxes[3]->y() == boxes[0]->y() && boxes[4]->x() == boxes[0]->x() && boxes[8]->y() > boxes[4]->y());
        QVERIFY(dialog.button("Cancel")->y() > boxes[8]->y() && dialog.button("Cancel")->x() > boxes[2]->x());

        QSignalSpy spy(&dialog, SIGNAL(channelsState(QVector<bool>)));
        dialog.button("Select all")->click();
        dialog.button("Cancel")->click();
        QCOMPARE(spy.count(), 0);
        dialog.button("Ok")->click();
        QCOMPARE(spy.at(0).at(0).value<QVector<bool>>(), QVector<bool>(9, true));
        dialog.button("Select none")->click();
        QCOMPARE(dialog.channelStates(), QVector<bool>(9, false));
    }

    void digitalAuxQuestion()
    {
        BiosensingConfigurator dialog("Digial AUX 2");
        QCOMPARE(dialog.windowTitle(), QString("Digital Aux input configuration"));
        QVERIFY(dialog.findChild<QLabel*>()->text().contains("Which device is connected to Digial AUX 2"));
        QVERIFY(!dialog.imuCount()->isEnabled());
        dialog.imuCount()->setValue(5);
        QCOMPARE(dialog.mode(), 0u);  // "None" ignores the spin box
        dialog.sensorType()->setCurrentIndex(1);
        QVERIFY(dialog.imuCount()->isEnabled());
        QCOMPARE(dialog.mode(), 5u);
        dialog.imuCount()->setValue(0);
        QCOMPARE(dialog.imuCount()->value(), 1);
        dialog.imuCount()->setValue(9);
        QCOMPARE(dialog.imuCount()->value(), 8);
    }
};

QTEST_MAIN(DialogsTest)
#include "test_dialogs.moc"
