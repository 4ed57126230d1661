#include "MainWindow.h"

#include <QMenu>
#include <QSystemTrayIcon>
#include <QtTest>

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    // Only a single click on the tray icon toggles; a hidden window comes back maximized whatever its size.
    void trayTogglesAndQuits()
    {
        MainWindow w;
        auto* tray = w.findChild<QSystemTrayIcon*>();
        QVERIFY(tray && tray->isVisible() && !tray->icon().isNull());
        const QList<QAction*> actions = tray->contextMenu()->actions();
        w.showNormal();
        w.resize(300, 200);
        emit tray->activated(QSystemTrayIcon::Context);
        emit tray->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(w.isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(!w.isVisible());
        emit tray->activated(QSystemTrayIcon::Trigger);
        QVERIFY(w.isVisible() && (w.windowState() & Qt::WindowMaximized));

        actions.at(0)->trigger();  // Minimize hides
        QVERIFY(!w.isVisible());
        actions.at(2)->trigger();  // Restore
        QVERIFY(w.isVisible() && !(w.windowState() & Qt::WindowMaximized));
        actions.last()->trigger();  // Quit
        QVERIFY(!w.isVisible());
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
