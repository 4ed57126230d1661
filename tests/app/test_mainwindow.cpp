#include "MainWindow.h"
#include "ModalAnswerer.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QtTest>

namespace {
QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}
QCheckBox* checkBox(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QCheckBox*>())
        if (b->text() == text) return b;
    return nullptr;
}
QLabel* label(QWidget& w, const QString& text)
{
    for (auto* l : w.findChildren<QLabel*>())
        if (l->text() == text) return l;
    return nullptr;
}
}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initialState()
    {
        MainWindow w;
        QCOMPARE(w.windowTitle(), QStringLiteral("Lumetra device viewer 1.7"));
        QVERIFY(w.isVisible());
        QVERIFY(w.windowState() & Qt::WindowMaximized);
        QVERIFY(w.acceptDrops());

        for (const char* always : {"Connect", "Open", "Import record"}) {
            QPushButton* b = button(w, always);
            QVERIFY2(b && b->isEnabled() && b->isVisible(), always);
        }
        for (const char* off : {"Disconnect", "Start", "Stop", "Select folder"}) {
            QPushButton* b = button(w, off);
            QVERIFY2(b && !b->isEnabled(), off);
        }
        QPushButton* reconnect = button(w, "Reconnect");
        QVERIFY(reconnect && !reconnect->isVisible());

        for (const char* box : {"SD card record", "Hard drive record", "Enable LSL server"}) {
            QCheckBox* b = checkBox(w, box);
            QVERIFY2(b && !b->isEnabled() && !b->isChecked(), box);
        }
        const auto edits = w.findChildren<QLineEdit*>();
        QCOMPARE(edits.size(), 2);
        for (auto* e : edits) QVERIFY(!e->isEnabled());
        QVERIFY(std::any_of(edits.begin(), edits.end(), [](QLineEdit* e) {
            return e->placeholderText() == QStringLiteral("id of the recording (e.g. r005)");
        }));

        auto* group = w.findChild<QGroupBox*>();
        QVERIFY(group);
        QCOMPARE(group->title(), QStringLiteral("Device"));
        QVERIFY(label(w, "No device connected"));
        QVERIFY(label(w, "Battery: ? %"));

    }

    void trayMenuAndToggle()
    {
        MainWindow w;
        auto* tray = w.findChild<QSystemTrayIcon*>();
        QVERIFY(tray);
        QVERIFY(tray->isVisible());
        QVERIFY(!tray->icon().isNull());
        QMenu* menu = tray->contextMenu();
        QVERIFY(menu);
        QStringList texts;
        for (QAction* a : menu->actions()) texts << (a->isSeparator() ? QStringLiteral("|") : a->text());
        QCOMPARE(texts, (QStringList{"Mi&nimize", "Ma&ximize", "Restore", "|", "&Quit"}));

        // Only a single click toggles; a visible window hides and comes back maximized whatever its size.
        w.showNormal();
        w.resize(300, 200);
        emit tray->activated(QSystemTrayIcon::Context);
        emit tray->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(w.isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!w.isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(w.isVisible());
        QVERIFY(w.windowState() & Qt::WindowMaximized);

        menu->actions().at(0)->trigger();  // Minimize hides
        QVERIFY(!w.isVisible());
        menu->actions().at(2)->trigger();  // Restore
        QVERIFY(w.isVisible());
        QVERIFY(!(w.windowState() & Qt::WindowMaximized));
    }

    void closingWithNothingConnectedAsksNothing()
    {
        MainWindow w;
        ModalAnswerer* answerer = ModalAnswerer::pressing(QMessageBox::Yes, this);
        QVERIFY(w.close());
        QCoreApplication::processEvents();
        QTest::qWait(50);
        QCOMPARE(answerer->answered(), 0);
        QVERIFY(!w.isVisible());
        delete answerer;
    }

    void quitActionClosesTheWindow()
    {
        MainWindow w;
        auto* tray = w.findChild<QSystemTrayIcon*>();
        tray->contextMenu()->actions().last()->trigger();
        QVERIFY(!w.isVisible());
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
