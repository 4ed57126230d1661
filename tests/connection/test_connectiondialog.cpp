#include "ConnectionDialog.h"
#include "LslPublisher.h"
#include "LslSession.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QCheckBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

namespace {
QRadioButton* radio(QWidget* page, const QString& startsWith)
{
    for (auto* b : page->findChildren<QRadioButton*>())
        if (b->text().startsWith(startsWith)) return b;
    return nullptr;
}
QStringList items(QComboBox* combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
    return out;
}
}  // namespace

class ConnectionDialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(useOwnLslSession()); }

    void portNumbers()
    {
        QCOMPARE(portNumber("COM3"), 3);
        QCOMPARE(portNumber("COM10"), 10);
        QCOMPARE(portNumber("COM 7x"), 7);   // white space skipped, stops at the first non-digit
        QCOMPARE(portNumber("COMx"), 0);
        QCOMPARE(portNumber("COM"), 0);      // too short to carry a number
        QCOMPARE(portNumber(""), 0);
        QCOMPARE(portNumber("A"), 0);
    }

    void lastConnectionLabels()
    {
        QCOMPARE(PageSelection::lastConnectionLabel(PropertyMap()), QStringLiteral("Last connection"));
        PropertyMap bt;
        bt.set("type", std::string("bluetooth"));
        bt.set("device", std::string("KVN-B08 2201"));
        QCOMPARE(PageSelection::lastConnectionLabel(bt), QStringLiteral("Last connection (bluetooth:KVN-B08)"));
        PropertyMap usb;
        usb.set("type", std::string("usb"));
        usb.set("port", 5);
        QCOMPARE(PageSelection::lastConnectionLabel(usb), QStringLiteral("Last connection (usb:5)"));
        PropertyMap eeg;
        eeg.set("type", std::string("eeg64"));
        eeg.set("left", std::string("L"));
        eeg.set("right", std::string("R"));
        QCOMPARE(PageSelection::lastConnectionLabel(eeg), QStringLiteral("Last connection (eeg64:L,R)"));
        PropertyMap ble;
        ble.set("type", std::string("ble"));
        QCOMPARE(PageSelection::lastConnectionLabel(ble), QStringLiteral("Last connection (ble:)"));
        PropertyMap lsl;
        lsl.set("type", std::string("lsl"));
        lsl.set("name", std::string("My EEG"));
        QCOMPARE(PageSelection::lastConnectionLabel(lsl), QStringLiteral("Last connection (lsl:My EEG)"));
    }

    void bluetoothChoice()
    {
        PropertyMap last;
        last.set("type", std::string("usb"));
        last.set("port", 3);
        last.set("baudRate", 921600);
        ConnectionDialog w(last, nullptr);
        QCOMPARE(w.windowTitle(), QStringLiteral("Connection Wizard"));
        w.show();
        QCOMPARE(w.currentId(), 0);
        QVERIFY(radio(w.currentPage(), "Last connection")->isEnabled());
        w.next();
        QCOMPARE(w.currentId(), int(ConnectionDialog::BluetoothPage));
        auto* combo = w.currentPage()->findChild<QComboBox*>();
        QStringList names = items(combo);
        QVERIFY(names.size() >= 4);
        QStringList sorted = names;
        sorted.sort();
        QCOMPARE(names, sorted);
        QVERIFY(names.contains("KVN-A32-0412L"));
        // Back and forward again lists the discovery a second time.
        w.back();
        w.next();
        QCOMPARE(combo->count(), 2 * names.size());

        combo->setCurrentIndex(names.indexOf("KVN-B08-2201"));
        w.accept();
        QCOMPARE(w.result(), int(QDialog::Accepted));
        const PropertyMap p = w.properties();
        QCOMPARE(w.type(), std::string("bluetooth"));
        QCOMPARE(p.get<std::string>("type"), std::string("bluetooth"));
        QCOMPARE(p.get<std::string>("device"), std::string("KVN-B08-2201"));
        QCOMPARE(p.text("single"), std::string("0"));
        // Keys of the earlier type stay in the map.
        QCOMPARE(p.get<int>("port"), 3);
        QVERIFY(w.otherDevices().empty());
    }

    void usbChoice()
    {
        ConnectionDialog w(PropertyMap(), nullptr);
        w.show();
        QVERIFY(!radio(w.currentPage(), "Last connection")->isEnabled());
        radio(w.currentPage(), "Usb")->setChecked(true);
        w.next();
        QCOMPARE(w.currentId(), int(ConnectionDialog::UsbPage));
        const auto combos = w.currentPage()->findChildren<QComboBox*>();
        QCOMPARE(combos.size(), 2);
        QComboBox* ports = combos[0];
        QComboBox* rates = combos[1];
        const QStringList portNames = items(ports);
        QVERIFY(portNames.indexOf("COM3") >= 0 && portNames.indexOf("COM10") > portNames.indexOf("COM3"));
        QVERIFY(portNames.indexOf("COM12") > portNames.indexOf("COM11") && portNames.indexOf("COM11") > portNames.indexOf("COM10"));
        QCOMPARE(items(rates), (QStringList{"460800", "921600", "2000000"}));
        QVERIFY(rates->isEditable());
        QCOMPARE(rates->currentText(), QStringLiteral("460800"));

        ports->setCurrentIndex(portNames.indexOf("COM10"));
        rates->setEditText("fast");
        w.accept();
        const PropertyMap p = w.properties();
        QCOMPARE(w.type(), std::string("usb"));
        QCOMPARE(p.get<int>("port"), 10);
        QCOMPARE(p.get<int>("baudrate"), 0);  // a typed rate that is not a number
    }

    void eeg64Choice()
    {
        ConnectionDialog w(PropertyMap(), nullptr);
        w.show();
        radio(w.currentPage(), "EEG 64")->setChecked(true);
        w.next();
        QCOMPARE(w.currentId(), int(ConnectionDialog::Eeg64Page));
        QWizardPage* page = w.currentPage();
        const auto combos = page->findChildren<QComboBox*>();
        QCOMPARE(combos.size(), 2);
        const QStringList names = items(combos[0]);
        QCOMPARE(names, items(combos[1]));
        QVERIFY(!names.isEmpty());
        for (const QString& n : names) QVERIFY2(n.startsWith("KVN-A32"), qPrintable(n));

        QVERIFY(!page->isComplete());
        QVERIFY(!w.button(QWizard::FinishButton)->isEnabled());
        bool shown = false;
        for (auto* l : page->findChildren<QLabel*>()) shown |= l->text() == "Cannot select the same device twice";
        QVERIFY(shown);

        combos[1]->setCurrentIndex(1);
        QVERIFY(page->isComplete());
        QVERIFY(w.button(QWizard::FinishButton)->isEnabled());
        w.accept();
        QCOMPARE(w.type(), std::string("eeg64"));
        QCOMPARE(w.properties().get<std::string>("left"), names[0].toStdString());
        QCOMPARE(w.properties().get<std::string>("right"), names[1].toStdString());
    }

    // The streams on the network, with what a user needs to tell them apart; those that cannot be a device
    // are listed but not selectable; Refresh finds streams that came later.
    void lslChoice()
    {
        if (!LslPublisher::usable()) QSKIP("the test Python environment is missing");
        QTemporaryDir out;
        LslPublisher first, later;
        QVERIFY(first.start("device", "wizA_", out.path()));
        ConnectionDialog w(PropertyMap(), nullptr);
        w.show();
        radio(w.currentPage(), "LSL stream")->setChecked(true);
        w.next();
        QCOMPARE(w.currentId(), int(ConnectionDialog::LslPage));
        QWizardPage* page = w.currentPage();
        auto* list = page->findChild<QTreeWidget*>();
        auto rowOf = [list](const QString& name) -> QTreeWidgetItem* {
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
            return nullptr;
        };
        auto* refresh = page->findChild<QPushButton*>();
        QCOMPARE(refresh->text(), QStringLiteral("Refresh"));
        // Discovery waits a moment for answers; a slow machine may need another look.
        QVERIFY(QTest::qWaitFor([&] {
            if (rowOf("wizA_EEG") && rowOf("wizA_Acc") && rowOf("wizA_Markers")) return true;
            refresh->click();
            return false;
        }, 30000));
        QTreeWidgetItem* eeg = rowOf("wizA_EEG");
        QCOMPARE(eeg->text(1), QStringLiteral("EEG"));
        QCOMPARE(eeg->text(2), QStringLiteral("32"));
        QCOMPARE(eeg->text(3), QStringLiteral("500"));
        QVERIFY(!eeg->text(4).isEmpty());
        QTreeWidgetItem* markers = rowOf("wizA_Markers");
        QCOMPARE(markers->text(3), QStringLiteral("irregular"));
        QVERIFY(!(markers->flags() & Qt::ItemIsEnabled));
        QVERIFY(markers->toolTip(0).contains("irregular"));
        QVERIFY(!rowOf("wizB_EEG"));

        QVERIFY(later.start("device", "wizB_", out.path()));
        QVERIFY(QTest::qWaitFor([&] {
            refresh->click();
            return rowOf("wizB_EEG") != nullptr;
        }, 30000));

        list->setCurrentItem(rowOf("wizA_Acc"));
        QVERIFY(page->isComplete());
        w.accept();
        QCOMPARE(w.type(), std::string("lsl"));
        QCOMPARE(w.properties().get<std::string>("name"), std::string("wizA_Acc"));
        QVERIFY(!w.properties().exists("source_id"));

        // Every stream of the source as one device.
        ConnectionDialog again(w.properties(), nullptr);
        again.show();
        radio(again.currentPage(), "LSL stream")->setChecked(true);
        again.next();
        auto* list2 = again.currentPage()->findChild<QTreeWidget*>();
        for (int i = 0; i < list2->topLevelItemCount(); ++i)
            if (list2->topLevelItem(i)->text(0) == "wizB_EEG") list2->setCurrentItem(list2->topLevelItem(i));
        QCOMPARE(list2->currentItem()->text(0), QStringLiteral("wizB_EEG"));
        again.currentPage()->findChild<QCheckBox*>()->setChecked(true);
        again.accept();
        QCOMPARE(again.properties().get<std::string>("source_id"), std::string("wizB_src"));
        QVERIFY(!again.properties().exists("name"));
    }

    void lastConnectionFinishesOnTheFirstPage()
    {
        PropertyMap last;
        last.set("type", std::string("ble"));
        last.set("device", std::string("KVN-A32-0412L"));
        ConnectionDialog w(last, nullptr);
        w.show();
        QRadioButton* repeat = radio(w.currentPage(), "Last connection");
        repeat->setChecked(true);
        QVERIFY(w.currentPage()->isFinalPage());
        QCOMPARE(w.currentPage()->nextId(), -1);
        QVERIFY(w.button(QWizard::FinishButton)->isVisible());
        w.accept();
        QCOMPARE(w.type(), std::string("ble"));
        QVERIFY(w.properties() == last);
    }
};

QTEST_MAIN(ConnectionDialogTest)
#include "test_connectiondialog.moc"
