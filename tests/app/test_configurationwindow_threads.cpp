// The window's side of a configuration file: the boxes it shows, the controls and acquisition that follow,
// dropped files, and configurations that overlap. The task runs on the thread pool, hence ThreadSanitizer too.

#include "ConfigurationTestKit.h"
#include "SignalsWidget.h"

#include <QtTest>

namespace {
const QByteArray kB08 = R"("connection": {"type": "usb", "properties": {"port": 3, "baudRate": 921600}}, )";
const QByteArray kH64 = R"("connection": {"type": "usb", "properties": {"port": 10, "baudRate": 2000000}}, )";
const QString kInProgress = "warning|Configuration error|A configuration is still in progress; ";

QList<QMessageBox*> configuringBoxes(QWidget& w)
{
    QList<QMessageBox*> boxes;
    for (QMessageBox* b : w.findChildren<QMessageBox*>())
        if (b->text() == "Configuring the device") boxes << b;
    return boxes;
}
QPushButton* button(QWidget& w, const char* text) { return kit::byText<QPushButton>(w, text); }
QString groupTitle(QWidget& w) { return w.findChild<QGroupBox*>()->title(); }
// The device and its sensors, enabled buttons, checked boxes, the hard-drive folder and whether the window is
// hidden, in one line.
QString controls(MainWindow& w)
{
    QStringList s{groupTitle(w).section(" - ", 0, 0)};
    if (groupTitle(w).contains(" - ")) s << groupTitle(w).section(" - ", -1);
    for (const char* b : {"Start", "Stop", "Disconnect"})
        if (button(w, b)->isEnabled()) s << b;
    for (const char* c : {"Hard drive record", "SD card record", "Enable LSL server"})
        if (kit::byText<QCheckBox>(w, c)->isChecked()) s << c;
    for (QLineEdit* e : w.findChild<QGroupBox*>()->findChildren<QLineEdit*>())  // the folder has no placeholder
        if (e->placeholderText().isEmpty() && !e->text().isEmpty()) s << "folder " + e->text();
    if (!w.isVisible()) s << "hidden";
    return s.join(", ");
}
QString tabTitles(QWidget& w)
{
    QStringList titles;
    for (int i = 0; i < w.findChild<SignalsWidget*>()->tabs()->count(); ++i)
        titles << w.findChild<SignalsWidget*>()->tabs()->tabText(i);
    return titles.join(',');
}

// Handed to the window's handler directly: outside a real drag, QApplication delivers a drop only to the
// target of the drag in progress, which a test cannot set up reliably.
void drop(MainWindow& w, const QList<QUrl>& urls, const QString& text = QString())
{
    QMimeData mime;
    if (!urls.isEmpty()) mime.setUrls(urls);
    if (!text.isEmpty()) mime.setText(text);
    QDropEvent event(QPointF(50, 50), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    w.dropEvent(&event);
}

QStringList filesUnder(const QString& folder, const QString& prefix)
{
    QStringList found;
    for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        if (it.next(), it.fileName().startsWith(prefix)) found << it.filePath();
    return found;
}
}  // namespace

class ConfigurationWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    int fileCount = 0;

    QString file(const QByteArray& keys)
    {
        return kit::writeFile(dir, QStringLiteral("config%1.json").arg(++fileCount), "{" + keys + "}");
    }
    QUrl link(const QByteArray& keys) { return QUrl::fromLocalFile(file(keys)); }
    static void configure(MainWindow& w, const QString& path) { w.configure(QFile::encodeName(path).constData()); }
    // Until the "Configuring the device" box has gone, which is when the window has applied the result.
    static void waitConfigured(MainWindow& w) { QTRY_VERIFY_WITH_TIMEOUT(configuringBoxes(w).isEmpty(), 30000); }
    static void waitAcquiring(MainWindow& w) { QTRY_VERIFY_WITH_TIMEOUT(button(w, "Stop")->isEnabled(), 10000); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init() { kit::resetFleet(dir.filePath("sdcard")); }

    void configuredDeviceFollowsTheFile()
    {
        // The file decides the modes: the viewers neither switch signals back on nor ask about the aux input.
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Ok, "Textile");
        configure(w, file(kB08 + R"("sensors": "Water", "channels": [1, 0, 1, 3])"));
        QCOMPARE(configuringBoxes(w).size(), 1);
        QMessageBox* shown = configuringBoxes(w).first();
        QVERIFY(shown->isVisible() && !shown->isModal() && shown->buttons().isEmpty());
        QCOMPARE(shown->windowTitle(), QStringLiteral("Device configuration"));
        QCOMPARE(shown->icon(), QMessageBox::Information);
        waitConfigured(w);  // the box is deleted, not just hidden
        QCOMPARE(answers.seen, (QStringList{"input|EEG sensor type|Which type of EEG sensors are your using?",
                                            "warning|Configuration problem|Unknown sensor type"}));
        auto* signalsWidget = w.findChild<SignalsWidget*>();
        const auto& tabs = signalsWidget->signalTabs();
        QVERIFY(signalsWidget->tabs()->isTabEnabled(tabs.find(0)->second));   // EEG on
        QVERIFY(!signalsWidget->tabs()->isTabEnabled(tabs.find(1)->second));  // BVP off
        QCOMPARE(int(tabs.count(3)), 3);                                       // three IMUs on the aux input
        QTest::qWait(100);
        QCOMPARE(controls(w), "KVN-B08-3003, EEG sensors: Textile, Start, Disconnect");  // no autostart without the key
        button(w, "Start")->click();
        waitAcquiring(w);
        QTest::qWait(300);  // blocks of that layout reach the viewers
        button(w, "Stop")->click();
        QCOMPARE(answers.seen.size(), 2);
    }

    void boxesAndControlsAfterAFile_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("controls");  // the start is held back in every case
        const QByteArray start = kB08 + R"("sensors": "dry", "autostart": true, )";
        const QString missing = dir.filePath("no such file.json"), problem = "|Configuration problem|";
        const QString ready = "KVN-B08-3003, EEG sensors: Dry, Start, Disconnect";
        auto row = [](const char* name, const QUrl& url, const QString& shown, const QString& controls) {
            QTest::newRow(name) << url << shown << controls;
        };
        const QString noFile = "critical" + problem + "Unable to find configuration file ";
        row("device does not connect", link(start + R"("x": 1)"), "critical" + problem + "Cannot connect to the device "
            "configured", "Device");
        row("missing file", QUrl::fromLocalFile(missing), noFile + missing, "Device");
        row("link, not a file", QUrl("https://example.org/c.json"), noFile + "https://example.org/c.json", "Device");
        row("hidden, harddrive not text", link(start + R"("hide": true, "harddrive": 42)"),
            "warning" + problem + "A hd device path expected", ready + ", hidden");
        row("card refused", link(start + R"("sdcard": "r005")"), "warning" + problem + "Unable to configure SD card",
            ready);
        row("channels not array, home folder", link(start + R"("channels": "1 1", "harddrive": "~/d")"), "",
            ready + ", Hard drive record, folder " + QDir::homePath() + "/d");
    }
    void boxesAndControlsAfterAFile()
    {
        QFETCH(QUrl, url);
        QFETCH(QString, shown);
        QFETCH(QString, controls);
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "device does not connect") kit::setFault("KVN-B08-3003", &sim::Faults::unreachable);
        if (tag == "card refused") kit::setFault("KVN-B08-3003", &sim::Faults::sdCardRefused);
        MainWindow w;
        kit::Answers answers(this);
        drop(w, {url});
        waitConfigured(w);
        QCOMPARE(answers.seen.join('\n'), shown);
        QTest::qWait(200);
        QCOMPARE(::controls(w), controls);
        if (!w.isVisible()) QVERIFY(w.findChild<QSystemTrayIcon*>()->isVisible());
        if (controls != "Device") return;
        // No device: the controls say so, and the window is free for the next file.
        QVERIFY(kit::byText<QLabel>(w, "No device connected"));
        sim::clearFaults();
        configure(w, file(kB08 + R"("sensors": "water")"));
        waitConfigured(w);
        QCOMPARE(answers.seen.size(), 1);
        QCOMPARE(::controls(w), QStringLiteral("KVN-B08-3003, EEG sensors: Water, Start, Disconnect"));
    }

    void dropsOtherThanOneFileAreRefused()
    {
        MainWindow w;
        kit::Answers answers(this);
        for (bool links : {true, false}) {  // only links are taken
            QMimeData mime;
            links ? mime.setUrls({QUrl::fromLocalFile("/tmp/a.json")}) : mime.setText("/tmp/a.json");
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &enter);
            QCOMPARE(enter.isAccepted(), links);
        }
        drop(w, {link(kB08 + "\"x\": 1"), link(kH64 + "\"x\": 1")});
        drop(w, {}, file(kB08 + "\"x\": 1"));
        QTest::qWait(50);
        QVERIFY(configuringBoxes(w).isEmpty());
        QCOMPARE(answers.seen,
                 QStringList{"warning|Configuration error|Cannot load multiple configuration files at the same time"});
    }

    void fileDroppedWhileAResultIsShownWins()
    {
        // Dropped while the first result's warning is up: the rest of that result (its folder, its autostart)
        // must not reach the second device.
        MainWindow w;
        kit::Answers answers(this);
        const QUrl second = link(kH64 + R"("sensors": "dry")");
        answers.shown = [&](const QString& shown) {
            if (shown.endsWith("|Unknown sensor type")) drop(w, {second});
        };
        configure(w, file(kB08 + R"("sensors": "wet", "autostart": true, "harddrive": "/d")"));
        QTRY_VERIFY_WITH_TIMEOUT(answers.count("warning"), 30000);
        waitConfigured(w);
        QTest::qWait(200);
        QCOMPARE(answers.seen.size(), 2);  // the sensor question, then the warning
        QCOMPARE(controls(w), QStringLiteral("KVN-H64-1010, EEG sensors: Dry, Start, Disconnect"));
        QVERIFY(!kit::byText<QLabel>(w, "Unable to start acquiring data"));
    }

    void newFileWhileAcquiringReplacesTheDevice()
    {
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Cancel, "Water");
        configure(w, file(kB08 + R"("sensors": "dry", "autostart": true)"));
        waitConfigured(w);
        waitAcquiring(w);
        QVERIFY(tabTitles(w).contains("BVP"));

        // Not through a drop: the window itself stops the acquisition and rebuilds the viewers.
        const QString records = dir.filePath("replaced");
        configure(w, file(kH64 + R"("sensors": "dry", "autostart": true, )" + "\"harddrive\": \"" + records.toUtf8() +
                          "\""));
        waitConfigured(w);
        QVERIFY2(groupTitle(w).startsWith("KVN-H64-1010"), qPrintable(groupTitle(w)));
        QVERIFY2(!tabTitles(w).contains("BVP"), qPrintable(tabTitles(w)));
        waitAcquiring(w);
        QTest::qWait(300);  // blocks of the new layout reach viewers made for it

        // Dropped: stopped and disconnected at once, without a question, then configured.
        drop(w, {link(kB08 + R"("sensors": "water", "lsl": true)")});
        QVERIFY(configuringBoxes(w).size() == 1 && !button(w, "Stop")->isEnabled());
        waitConfigured(w);
        QTest::qWait(100);
        QCOMPARE(answers.seen, QStringList());
        QCOMPARE(controls(w), QStringLiteral("KVN-B08-3003, EEG sensors: Water, Start, Disconnect, Enable LSL server"));
        // The interrupted record was closed whole.
        const QStringList info = filesUnder(records, "signalsInfo.json");
        QCOMPARE(info.size(), 1);
        QFile csv(filesUnder(QFileInfo(info.first()).path(), "EEG").value(0));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QVERIFY(csv.readAll().count('\n') > 10);
    }

    void overlappingConfigurationsAreRefused()
    {
        // A slow link keeps the first configuration running while the others arrive.
        sim::Faults slow;
        slow.connectSeconds = 30;
        sim::setFaults("KVN-B08-2201", slow);
        MainWindow w;
        kit::Answers answers(this);
        const QString second = file(kH64 + R"("sensors": "dry")");
        configure(w, file(R"("connection": {"type": "bluetooth", "properties": {"device": "KVN-B08-2201"}},
                             "sensors": "dry")"));
        configure(w, second);
        drop(w, {QUrl::fromLocalFile(second)});  // neither stops nor disconnects anything
        QCOMPARE(answers.count(kInProgress + second + " was not loaded."), 2);
        QCOMPARE(configuringBoxes(w).size(), 1);
        waitConfigured(w);
        QCOMPARE(controls(w), QStringLiteral("KVN-B08-2201, EEG sensors: Dry, Start, Disconnect"));
        QCOMPARE(answers.seen.size(), 2);

        // Over but its report not yet delivered still counts, or that result (and its box) would be lost.
        const QString missing = dir.filePath("missing.json");
        configure(w, missing);
        QThread::msleep(500);  // no events: the report stays queued
        configure(w, second);
        waitConfigured(w);
        QCOMPARE(answers.count(kInProgress), 3);
        QCOMPARE(answers.count("critical|Configuration problem|Unable to find configuration file " + missing), 1);
        QCOMPARE(answers.seen.size(), 4);
    }

    void fileRemovedOrWindowClosedWhileConfiguring()
    {
        // Large enough that removing it may overtake the reader.
        const QByteArray text = "{" + kB08 + R"("sensors": "dry")" + QByteArray(4 << 20, ' ') + "}";
        for (int round = 0; round < 5; ++round) {
            MainWindow w;
            kit::Answers answers(this);
            const QString path = kit::writeFile(dir, "vanishing.json", text);
            configure(w, path);
            QThread::usleep(200 * (round % 2) * round);
            QVERIFY(QFile::remove(path));
            waitConfigured(w);
            QVERIFY2(answers.seen.isEmpty() ? button(w, "Start")->isEnabled()
                                            : answers.seen == QStringList("critical|Configuration problem|"
                                                                          "Unable to find configuration file " + path),
                     qPrintable(answers.seen.join('\n')));
        }
        // Closed while configuring: the window waits for the task, which must not touch it afterwards.
        auto* w = new MainWindow;
        configure(*w, file(kB08 + R"("sensors": "dry", "lsl": true, "autostart": true)"));
        delete w;
        QTest::qWait(100);
    }
};

QTEST_MAIN(ConfigurationWindowTest)
#include "test_configurationwindow_threads.moc"
