// The wizard's own logic; the choices the end-to-end tests make through it (a Bluetooth device, a USB port, the
// EEG 64 pair) are left to them.

#include "ConnectionDialog.h"
#include "LslPublisher.h"
#include "LslSession.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

namespace {
// The wizard shown, on the page that follows the first for `choice`.
void showPage(ConnectionDialog& w, const QString& choice)
{
    w.show();
    for (auto* b : w.currentPage()->findChildren<QRadioButton*>())
        if (b->text().startsWith(choice)) b->setChecked(true);
    w.next();
}
QTreeWidgetItem* rowOf(QTreeWidget* list, const QString& name)
{
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == name) return list->topLevelItem(i);
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

    void oddPortNamesAndLastConnections()
    {
        const std::pair<const char*, int> ports[] = {{"COM 7x", 7}, {"COMx", 0}, {"COM", 0}, {"", 0}, {"A", 0}};
        for (const auto& [name, number] : ports) QCOMPARE(portNumber(name), number);
        QCOMPARE(PageSelection::lastConnectionLabel(PropertyMap()), QStringLiteral("Last connection"));
        PropertyMap typeOnly;
        typeOnly.set("type", std::string("ble"));
        QCOMPARE(PageSelection::lastConnectionLabel(typeOnly), QStringLiteral("Last connection (ble:)"));
    }

    // A choice keeps the keys of the last connection's other type; USB ports come in number order, and a typed
    // rate that is not a number is 0.
    void choicesOnTopOfTheLastConnection()
    {
        PropertyMap last;
        last.set("type", std::string("usb"));
        last.set("port", 3);
        ConnectionDialog bt(last, nullptr);
        showPage(bt, "Bluetooth");
        auto* combo = bt.currentPage()->findChild<QComboBox*>();
        combo->setCurrentIndex(combo->findText("KVN-B08-2201"));
        bt.accept();
        QCOMPARE(bt.result(), int(QDialog::Accepted));
        QCOMPARE(bt.type(), std::string("bluetooth"));
        QCOMPARE(bt.properties().get<std::string>("device"), std::string("KVN-B08-2201"));
        QCOMPARE(bt.properties().text("single"), std::string("0"));
        QCOMPARE(bt.properties().get<int>("port"), 3);
        QVERIFY(bt.otherDevices().empty());

        ConnectionDialog usb(PropertyMap(), nullptr);
        showPage(usb, "Usb");
        const auto combos = usb.currentPage()->findChildren<QComboBox*>();
        const QStringList ports = items(combos[0]);
        QVERIFY(ports.indexOf("COM3") >= 0 && ports.indexOf("COM10") > ports.indexOf("COM3"));
        QVERIFY(ports.indexOf("COM12") > ports.indexOf("COM11") && ports.indexOf("COM11") > ports.indexOf("COM10"));
        combos[0]->setCurrentIndex(ports.indexOf("COM10"));
        combos[1]->setEditText("fast");
        // Back and Next again: the same lists, not twice over, and the port chosen is kept.
        usb.back();
        usb.next();
        QCOMPARE(items(combos[0]), ports);
        QCOMPARE(combos[1]->count(), 3);
        QCOMPARE(combos[0]->currentText(), QStringLiteral("COM10"));
        combos[1]->setEditText("fast");
        usb.accept();
        QCOMPARE(usb.properties().get<int>("port"), 10);
        QCOMPARE(usb.properties().get<int>("baudrate"), 0);

        // The EEG 64 pair needs two different headsets.
        ConnectionDialog w(PropertyMap(), nullptr);
        showPage(w, "EEG 64");
        QWizardPage* page = w.currentPage();
        const auto sides = page->findChildren<QComboBox*>();
        const QStringList names = items(sides[0]);
        w.back();
        w.next();
        QVERIFY(!names.isEmpty() && names == items(sides[0]) && names == items(sides[1]));
        for (const QString& n : names) QVERIFY2(n.startsWith("KVN-A32"), qPrintable(n));
        QVERIFY(!page->isComplete() && !w.button(QWizard::FinishButton)->isEnabled());  // the same one twice
        sides[1]->setCurrentIndex(1);
        QVERIFY(page->isComplete() && w.button(QWizard::FinishButton)->isEnabled());
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
        showPage(w, "LSL stream");
        QCOMPARE(w.currentId(), int(ConnectionDialog::LslPage));
        QWizardPage* page = w.currentPage();
        auto* list = page->findChild<QTreeWidget*>();
        auto* refresh = page->findChild<QPushButton*>();
        // Discovery waits a moment for answers; a slow machine may need another look.
        QVERIFY(QTest::qWaitFor([&] {
            if (rowOf(list, "wizA_EEG") && rowOf(list, "wizA_Acc") && rowOf(list, "wizA_Markers")) return true;
            refresh->click();
            return false;
        }, 30000));
        QTreeWidgetItem* eeg = rowOf(list, "wizA_EEG");
        QCOMPARE(eeg->text(1) + " " + eeg->text(2) + " " + eeg->text(3), QStringLiteral("EEG 32 500"));
        QVERIFY(!eeg->text(4).isEmpty());
        QTreeWidgetItem* markers = rowOf(list, "wizA_Markers");
        QCOMPARE(markers->text(3), QStringLiteral("irregular"));
        QVERIFY(!(markers->flags() & Qt::ItemIsEnabled) && markers->toolTip(0).contains("irregular"));
        QVERIFY(!rowOf(list, "wizB_EEG"));

        QVERIFY(later.start("device", "wizB_", out.path()));
        QVERIFY(QTest::qWaitFor([&] {
            refresh->click();
            return rowOf(list, "wizB_EEG") != nullptr;
        }, 30000));

        list->setCurrentItem(rowOf(list, "wizA_Acc"));
        QVERIFY(page->isComplete());
        w.accept();
        QCOMPARE(w.type(), std::string("lsl"));
        QCOMPARE(w.properties().get<std::string>("name"), std::string("wizA_Acc"));
        QVERIFY(!w.properties().exists("source_id"));

        // Every stream of the source as one device.
        ConnectionDialog again(w.properties(), nullptr);
        showPage(again, "LSL stream");
        auto* list2 = again.currentPage()->findChild<QTreeWidget*>();
        list2->setCurrentItem(rowOf(list2, "wizB_EEG"));
        QVERIFY(list2->currentItem());
        again.currentPage()->findChild<QCheckBox*>()->setChecked(true);
        again.accept();
        QCOMPARE(again.properties().get<std::string>("source_id"), std::string("wizB_src"));
        QVERIFY(!again.properties().exists("name"));
    }

    // Offered only when there is one, and then the first page is the last.
    void lastConnectionFinishesOnTheFirstPage()
    {
        ConnectionDialog none(PropertyMap(), nullptr);
        none.show();
        for (auto* b : none.currentPage()->findChildren<QRadioButton*>())
            QVERIFY(b->isEnabled() != b->text().startsWith("Last connection"));
        PropertyMap last;
        last.set("type", std::string("ble"));
        last.set("device", std::string("KVN-A32-0412L"));
        ConnectionDialog w(last, nullptr);
        w.show();
        for (auto* b : w.currentPage()->findChildren<QRadioButton*>())
            if (b->text().startsWith("Last connection")) b->setChecked(true);
        QVERIFY(w.currentPage()->isFinalPage() && w.button(QWizard::FinishButton)->isVisible());
        w.accept();
        QCOMPARE(w.type(), std::string("ble"));
        QVERIFY(w.properties() == last);
    }
};

QTEST_MAIN(ConnectionDialogTest)
#include "test_connectiondialog.moc"
