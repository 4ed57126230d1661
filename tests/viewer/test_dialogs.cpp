// The visualisation filters dialog, the channels dialog and the digital aux question.
#include <BiosensingConfigurator.h>
#include <ModalAnswerer.h>
#include <SigChannelsDialog.h>
#include <SigFiltersDialog.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QtTest>

using BioSensor::BioSensorFilter;
using Filters = std::vector<BioSensorFilter>;

namespace {

BioSensorFilter filter(int type, double high, double low, int order)
{
    BioSensorFilter f;
    f.type = type;
    f.high = high;
    f.low = low;
    f.order = order;
    return f;
}

const Filters eegDefaults = {filter(3, 30.0, 1.0, 4), filter(0, 52.0, 48.0, 4)};

Filters emitted(const QSignalSpy& spy, int index = 0)
{
    return spy.at(index).at(0).value<Filters>();
}

// Loads a filter list as exec() does, without running the dialog.
void load(Vesk::SigFiltersDialog& dialog, const Filters& filters)
{
    QVERIFY(QMetaObject::invokeMethod(&dialog, "_setFiltersFromDesign",
                                      Q_ARG(std::vector<BioSensor::BioSensorFilter>, filters)));
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { BioSensor::registerFilterListMetaType(); }

    void defaultTableHoldsTheRatesAndRegions()
    {
        auto table = Vesk::SigFiltersDialog::defaultTable();
        QCOMPARE(table.size(), size_t(5));
        QCOMPARE(table[512].notch, filter(0, 54.0, 46.0, 5));
        QCOMPARE(table[1024].notch, filter(0, 57.0, 43.0, 4));
        QCOMPARE(table[2048].bandpass, filter(3, 60.0, 0.5, 3));
        QCOMPARE(table[64].lowpass, filter(1, 60.0, 0.0, 4));
        QCOMPARE(table[256].highpass, filter(2, 0.0, 0.5, 4));
    }

    void opensWithEegDefaultsAt256()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        QCOMPARE(dialog.windowTitle(), QString("EEG visualizing filters"));
        QVERIFY(dialog.otherCheck()->isChecked());
        QCOMPARE(dialog.otherCombo()->currentText(), QString("Bandpass"));
        QCOMPARE(dialog.otherHigh()->value(), 30.0);
        QCOMPARE(dialog.otherLow()->value(), 1.0);
        QCOMPARE(dialog.otherOrder()->value(), 4.0);
        QVERIFY(dialog.otherHigh()->isEnabled() && dialog.otherLow()->isEnabled());
        QVERIFY(dialog.notchCheck()->isChecked());
        QCOMPARE(dialog.regionCombo()->currentText(), QString("Europe"));
        QCOMPARE(dialog.notchHigh()->value(), 52.0);
        QCOMPARE(dialog.notchLow()->value(), 48.0);
        QCOMPARE(dialog.notchOrder()->value(), 4.0);
        QVERIFY(dialog.notchHigh()->isReadOnly() && !dialog.otherHigh()->isReadOnly());
        QVERIFY(dialog.defaultUpdatingEnabled());
        QCOMPARE(dialog.notchType()->text(), QString("Butterworth"));
        QCOMPARE(dialog.notchType()->maximumWidth(), 72);

        QSignalSpy spy(&dialog, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)));
        dialog.okButton()->click();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(emitted(spy), (Filters{filter(0, 52.0, 48.0, 4), filter(3, 30.0, 1.0, 4)}));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    void startsWithBothGroupsOffWithoutDefaults()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "GSR", {}, 256);
        QVERIFY(!dialog.notchCheck()->isChecked());
        QVERIFY(!dialog.notchHigh()->isEnabled() && !dialog.regionCombo()->isEnabled());
        QVERIFY(!dialog.otherCheck()->isChecked());
        QVERIFY(!dialog.otherCombo()->isEnabled() && !dialog.otherHigh()->isEnabled());
        QSignalSpy spy(&dialog, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)));
        dialog.okButton()->click();
        QCOMPARE(emitted(spy), Filters{});
    }

    void notchRegionIsRecognisedFromItsEdges()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", {filter(0, 62.0, 58.0, 4)}, 256);
        QCOMPARE(dialog.regionCombo()->currentText(), QString("USA/Japan"));
        QCOMPARE(dialog.notchHigh()->value(), 62.0);

        load(dialog, {filter(0, 62.0, 57.0, 4)});
        QCOMPARE(dialog.regionCombo()->currentText(), QString("Europe"));
        QCOMPARE(dialog.notchHigh()->value(), 62.0);
        QCOMPARE(dialog.notchLow()->value(), 57.0);
    }

    void regionSwitchFillsTheNotchFromTheTable()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", {filter(0, 54.0, 46.0, 5)}, 512);
        dialog.regionCombo()->setCurrentText("USA/Japan");
        QCOMPARE(dialog.notchHigh()->value(), 64.0);
        QCOMPARE(dialog.notchLow()->value(), 56.0);
        QCOMPARE(dialog.notchOrder()->value(), 5.0);
        dialog.regionCombo()->setCurrentText("Europe");
        QCOMPARE(dialog.notchHigh()->value(), 54.0);
    }

    void checkingTheNotchAppliesTheRegionDefaults()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", {}, 1024);
        dialog.notchCheck()->setChecked(true);
        QVERIFY(dialog.notchHigh()->isEnabled() && dialog.regionCombo()->isEnabled());
        QCOMPARE(dialog.notchHigh()->value(), 57.0);
        QCOMPARE(dialog.notchLow()->value(), 43.0);
        dialog.notchCheck()->setChecked(false);
        QVERIFY(!dialog.notchHigh()->isEnabled());
    }

    void lowpassDisablesTheLowEdgeAndReportsItsMinimum()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        dialog.otherCombo()->setCurrentText("Lowpass");
        QCOMPARE(dialog.otherHigh()->value(), 60.0);
        QVERIFY(!dialog.otherLow()->isEnabled());
        QCOMPARE(dialog.otherLow()->value(), 0.01);
        dialog.notchCheck()->setChecked(false);
        QSignalSpy spy(&dialog, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)));
        dialog.okButton()->click();
        QCOMPARE(emitted(spy), (Filters{filter(1, 60.0, 0.01, 4)}));

        dialog.otherCombo()->setCurrentText("Highpass");
        QVERIFY(!dialog.otherHigh()->isEnabled() && dialog.otherLow()->isEnabled());
        QCOMPARE(dialog.otherLow()->value(), 0.5);
    }

    void loadingFiltersDoesNotApplyDefaults()
    {
        // With default updating off while loading, the combo change must not overwrite the loaded edges.
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        load(dialog, {filter(2, 0.0, 3.0, 6)});
        QCOMPARE(dialog.otherCombo()->currentText(), QString("Highpass"));
        QCOMPARE(dialog.otherLow()->value(), 3.0);
        QCOMPARE(dialog.otherOrder()->value(), 6.0);
        QVERIFY(!dialog.otherHigh()->isEnabled());
        QVERIFY(dialog.defaultUpdatingEnabled());
        // The notch was absent from the list, so it keeps its state.
        QVERIFY(dialog.notchCheck()->isChecked());
    }

    void execLoadsTheCurrentFilters()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        ModalAnswerer cancel([](QWidget* w) {
            auto* d = qobject_cast<Vesk::SigFiltersDialog*>(w);
            if (!d)
                return false;
            d->cancelButton()->click();
            return true;
        });
        QCOMPARE(dialog.exec({filter(1, 40.0, 0.0, 4)}), int(QDialog::Rejected));
        QCOMPARE(dialog.otherCombo()->currentText(), QString("Lowpass"));
        QCOMPARE(dialog.otherHigh()->value(), 40.0);
    }

    void invalidRangesStayOpenAndEmitNothing()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        QSignalSpy spy(&dialog, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)));
        dialog.setHighOtherValue(10.0);
        dialog.setLowOtherValue(20.0);
        ModalAnswerer* answerer = ModalAnswerer::pressing(QMessageBox::Ok, this);
        dialog.okButton()->click();
        QCOMPARE(answerer->texts, QStringList{"Invalid Other filter frequency range."});
        QCOMPARE(answerer->titles, QStringList{"Frequency range error"});
        QCOMPARE(spy.count(), 0);
        QCOMPARE(dialog.otherHigh()->value(), 10.0);

        dialog.setHighOtherValue(30.0);
        dialog.setHighNotchValue(40.0);
        answerer->texts.clear();
        dialog.okButton()->click();
        QTRY_COMPARE(answerer->texts, QStringList{"Invalid notch filter frequency range"});
        QCOMPARE(spy.count(), 0);
        delete answerer;

        // Equal edges are not an error for the dialog.
        dialog.setHighNotchValue(48.0);
        dialog.okButton()->click();
        QCOMPARE(spy.count(), 1);
    }

    void uncheckingBothGroupsEmitsAnEmptyList()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", eegDefaults, 256);
        dialog.notchCheck()->setChecked(false);
        dialog.otherCheck()->setChecked(false);
        QSignalSpy spy(&dialog, SIGNAL(filterSettingsModified(std::vector<BioSensor::BioSensorFilter>)));
        dialog.okButton()->click();
        QCOMPARE(spy.count(), 1);
        QVERIFY(emitted(spy).empty());
    }

    void unknownRateGivesZeroDefaultsClampedToTheBoxes()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "X", {}, 300);
        QCOMPARE(dialog.defaultsFor(300).notch, BioSensorFilter());
        dialog.notchCheck()->setChecked(true);
        QCOMPARE(dialog.notchHigh()->value(), 0.01);
        QCOMPARE(dialog.notchOrder()->value(), 2.0);
    }

    void defaultUpdatingConnectsOnlyOnce()
    {
        Vesk::SigFiltersDialog dialog(nullptr, "EEG", {}, 256);
        dialog.setDefaultUpdatingEnabled(true);
        dialog.setDefaultUpdatingEnabled(true);
        dialog.setDefaultUpdatingEnabled(false);
        dialog.otherCheck()->setChecked(true);
        dialog.setHighOtherValue(12.0);
        dialog.otherCombo()->setCurrentText("Bandpass");
        QCOMPARE(dialog.otherHigh()->value(), 12.0);  // disconnected: no defaults
        dialog.setDefaultUpdatingEnabled(true);
        dialog.otherCombo()->setCurrentText("Lowpass");
        QCOMPARE(dialog.otherHigh()->value(), 60.0);
    }

    void channelsDialogLaysOutFourPerRow()
    {
        QStringList names;
        for (int k = 1; k <= 9; ++k)
            names << QString("C%1").arg(k);
        Vesk::SigChannelsDialog dialog(nullptr, names);
        auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
        QVERIFY(grid);
        QCOMPARE(grid->rowCount(), 4);
        int row, col, rs, cs;
        grid->getItemPosition(grid->indexOf(dialog.checkBoxes()[8]), &row, &col, &rs, &cs);
        QCOMPARE(row, 2);
        QCOMPARE(col, 0);
        const QStringList buttons = {"Select all", "Select none", "Ok", "Cancel"};
        for (int k = 0; k < buttons.size(); ++k) {
            grid->getItemPosition(grid->indexOf(dialog.button(buttons[k])), &row, &col, &rs, &cs);
            QCOMPARE(row, 3);
            QCOMPARE(col, k);
        }
    }

    void channelsDialogReportsItsBoxes()
    {
        Vesk::SigChannelsDialog dialog(nullptr, {"01", "02", "03"});
        QSignalSpy spy(&dialog, SIGNAL(channelsState(QVector<bool>)));
        dialog.setChannelStates({true, false, true});
        dialog.button("Ok")->click();
        QCOMPARE(spy.at(0).at(0).value<QVector<bool>>(), (QVector<bool>{true, false, true}));
        dialog.button("Select all")->click();
        QCOMPARE(dialog.channelStates(), (QVector<bool>{true, true, true}));
        dialog.button("Select none")->click();
        QCOMPARE(dialog.channelStates(), (QVector<bool>{false, false, false}));
        dialog.show();
        dialog.button("Cancel")->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(spy.count(), 1);
    }

    void digitalAuxQuestion()
    {
        BiosensingConfigurator none("Digial AUX 1");
        QCOMPARE(none.windowTitle(), QString("Digital Aux input configuration"));
        QVERIFY(!none.imuCount()->isEnabled());
        none.imuCount()->setValue(5);
        QCOMPARE(none.mode(), 0u);  // "None" ignores the spin box

        BiosensingConfigurator imu("Digial AUX 2");
        QVERIFY(imu.findChild<QLabel*>()->text().contains("Which device is connected to Digial AUX 2"));
        imu.sensorType()->setCurrentIndex(1);
        QVERIFY(imu.imuCount()->isEnabled());
        imu.imuCount()->setValue(3);
        QCOMPARE(imu.mode(), 3u);
        imu.imuCount()->setValue(0);
        QCOMPARE(imu.imuCount()->value(), 1);
        imu.imuCount()->setValue(9);
        QCOMPARE(imu.imuCount()->value(), 8);
        QVERIFY(!imu.sensorType()->isEditable());
    }

    void digitalAuxAskAcceptedOrClosed()
    {
        {
            ModalAnswerer ok([](QWidget* w) {
                auto* d = qobject_cast<BiosensingConfigurator*>(w);
                if (!d)
                    return false;
                d->sensorType()->setCurrentIndex(1);
                d->imuCount()->setValue(3);
                d->findChild<QPushButton*>()->click();
                return true;
            });
            QCOMPARE(BiosensingConfigurator::ask("Digial AUX 1", nullptr), 3u);
        }

        ModalAnswerer closed([](QWidget* w) {
            auto* d = qobject_cast<BiosensingConfigurator*>(w);
            if (!d)
                return false;
            d->sensorType()->setCurrentIndex(1);
            d->imuCount()->setValue(3);
            d->reject();
            return true;
        });
        QCOMPARE(BiosensingConfigurator::ask("Digial AUX 1", nullptr), 0u);
    }
};

QTEST_MAIN(DialogsTest)
#include "test_dialogs.moc"
