// The window's side of a configuration file: the boxes it shows, the controls and acquisition that follow,
// dropped files, and configurations that overlap. The task runs on the thread pool, hence ThreadSanitizer too.

#include "ConfigurationTestKit.h"
#include "SignalsWidget.h"

#include <nlohmann/json.hpp>

#include <QtTest>

namespace {
const QByteArray kB08 = R"("connection": {"type": "usb", "properties": {"port": 3, "baudRate": 921600}})";
const QByteArray kH64 = R"("connection": {"type": "usb", "properties": {"port": 10, "baudRate": 2000000}})";

QList<QMessageBox*> configuringBoxes(QWidget& w)
{
    QList<QMessageBox*> boxes;
    for (QMessageBox* b : w.findChildren<QMessageBox*>())
        if (b->text() == "Configuring the device") boxes << b;
    return boxes;
}
QPushButton* button(QWidget& w, const char* text) { return kit::byText<QPushButton>(w, text); }
QCheckBox* box(QWidget& w, const char* text) { return kit::byText<QCheckBox>(w, text); }
QString groupTitle(QWidget& w) { return w.findChild<QGroupBox*>()->title(); }
QString tabTitles(QWidget& w)
{
    QStringList titles;
    QTabWidget* tabs = w.findChild<SignalsWidget*>()->tabs();
    for (int i = 0; i < tabs->count(); ++i) titles << tabs->tabText(i);
    return titles.join(',');
}
// The device group's line edit without a placeholder (the viewers have line edits of their own).
QLineEdit* hdFolderInput(QWidget& w)
{
    for (QLineEdit* e : w.findChild<QGroupBox*>()->findChildren<QLineEdit*>())
        if (e->placeholderText().isEmpty()) return e;
    return nullptr;
}
QByteArray harddrive(const QString& folder) { return R"("harddrive": ")" + folder.toUtf8() + "\""; }

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
    static void configure(MainWindow& w, const QString& path) { w.configure(QFile::encodeName(path).constData()); }
    // Until the "Configuring the device" box has gone, which is when the window has applied the result.
    static void waitConfigured(MainWindow& w) { QTRY_VERIFY_WITH_TIMEOUT(configuringBoxes(w).isEmpty(), 30000); }
    static void waitAcquiring(MainWindow& w) { QTRY_VERIFY_WITH_TIMEOUT(button(w, "Stop")->isEnabled(), 10000); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init() { kit::resetFleet(dir.filePath("sdcard")); }

    void boxShownWhileConfiguringThenDeviceReady()
    {
        MainWindow w;
        kit::Answers answers(this);
        configure(w, file(kB08 + R"(, "sensors": "dry")"));
        QCOMPARE(configuringBoxes(w).size(), 1);
        QMessageBox* shown = configuringBoxes(w).first();
        QVERIFY(shown->isVisible() && !shown->isModal() && shown->buttons().isEmpty());
        QCOMPARE(shown->windowTitle(), QStringLiteral("Device configuration"));
        QCOMPARE(shown->icon(), QMessageBox::Information);
        waitConfigured(w);  // the box is deleted, not just hidden
        QCOMPARE(answers.seen, QStringList());
        QVERIFY2(groupTitle(w).startsWith("KVN-B08-3003 - HW2.0_FW1.1"), qPrintable(groupTitle(w)));
        QVERIFY(groupTitle(w).endsWith(" - EEG sensors: Dry"));
        QVERIFY(button(w, "Start")->isEnabled() && button(w, "Disconnect")->isEnabled());
        QVERIFY(box(w, "Hard drive record")->isEnabled() && !box(w, "Hard drive record")->isChecked());
        QVERIFY(box(w, "SD card record")->isEnabled() && !box(w, "SD card record")->isChecked());
        QVERIFY(hdFolderInput(w)->isEnabled() && !box(w, "Enable LSL server")->isChecked());
        QTabWidget* tabs = w.findChild<SignalsWidget*>()->tabs();  // every signal on but card and haptics
        QVERIFY(tabs->count() >= 4);
        for (int i = 0; i < tabs->count(); ++i) QVERIFY2(tabs->isTabEnabled(i), qPrintable(tabs->tabText(i)));
        QTest::qWait(100);
        QVERIFY(!button(w, "Stop")->isEnabled());  // no autostart without the key
    }

    void failureShowsCriticalBox_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("message");
        const QString missing = dir.filePath("no such file.json");
        QTest::newRow("no connection") << QUrl::fromLocalFile(file(R"("autostart": true)"))
                                       << "Unable to create a valid connection. Check the configuration parameters";
        QTest::newRow("device does not connect") << QUrl::fromLocalFile(file(kB08 + R"(, "autostart": true)"))
                                                 << "Cannot connect to the device configured";
        QTest::newRow("malformed") << QUrl::fromLocalFile(file(R"("connection": [)"))
                                   << "Exception occurred during configuration phase:\n[json.exception.parse_error";
        QTest::newRow("missing file") << QUrl::fromLocalFile(missing) << "Unable to find configuration file " + missing;
        QTest::newRow("link, not a file") << QUrl("https://example.org/config.json")
                                          << "Unable to find configuration file https://example.org/config.json";
    }
    void failureShowsCriticalBox()
    {
        QFETCH(QUrl, url);
        QFETCH(QString, message);
        if (QByteArray(QTest::currentDataTag()) == "device does not connect")
            kit::setFault("KVN-B08-3003", &sim::Faults::unreachable);
        MainWindow w;
        kit::Answers answers(this);
        drop(w, {url});
        waitConfigured(w);
        QCOMPARE(answers.seen.size(), 1);
        QVERIFY2(answers.seen.first().startsWith("critical|Configuration problem|" + message),
                 qPrintable(answers.seen.first()));
        // The controls stay those of no device, and the window is free for the next file.
        QVERIFY(!button(w, "Start")->isEnabled() && !button(w, "Disconnect")->isEnabled());
        QCOMPARE(groupTitle(w), QStringLiteral("Device"));
        QVERIFY(kit::byText<QLabel>(w, "No device connected"));
        sim::clearFaults();
        configure(w, file(kB08 + R"(, "sensors": "water")"));
        waitConfigured(w);
        QCOMPARE(answers.seen.size(), 1);
        QVERIFY(button(w, "Start")->isEnabled());
    }

    void sensorQuestionAndChannelsShapeTheViewers()
    {
        // The file decides the modes: the viewers neither switch signals back on nor ask about the aux input.
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Ok, "Textile");
        configure(w, file(kB08 + R"(, "sensors": "Water", "channels": [1, 0, 1, 3], "autostart": true)"));
        waitConfigured(w);
        QVERIFY(answers.seen.contains("warning|Configuration problem|Unknown sensor type"));
        QVERIFY(answers.seen.contains("input|EEG sensor type|Which type of EEG sensors are your using?"));
        QCOMPARE(answers.seen.size(), 2);
        QVERIFY2(groupTitle(w).endsWith(" - EEG sensors: Textile"), qPrintable(groupTitle(w)));
        auto* signalsWidget = w.findChild<SignalsWidget*>();
        const auto& tabs = signalsWidget->signalTabs();
        QVERIFY(signalsWidget->tabs()->isTabEnabled(tabs.find(0)->second));   // EEG on
        QVERIFY(!signalsWidget->tabs()->isTabEnabled(tabs.find(1)->second));  // BVP off
        QCOMPARE(int(tabs.count(3)), 3);                                       // three IMUs on the aux input
        waitAcquiring(w);  // a warning about the sensors does not hold the start back
        QTest::qWait(300);  // blocks of that layout reach the viewers
        button(w, "Stop")->click();
        QCOMPARE(answers.seen.size(), 2);
    }

    void examplesRunUnattended()
    {
        // The shipped examples as a user starts them (without LSL: liblsl's threads outlive a test).
        const QDir examples(qEnvironmentVariable("KVN_SOURCE_DIR") + "/examples");
        const QStringList names = examples.entryList({"*.json"}, QDir::Files);
        QVERIFY(!names.isEmpty());
        const QByteArray home = qgetenv("HOME");
        for (const QString& name : names) {
            QFile in(examples.filePath(name));
            QVERIFY(in.open(QIODevice::ReadOnly));
            nlohmann::json doc = nlohmann::json::parse(in.readAll().toStdString());
            doc.erase("lsl");
            const QString base = dir.filePath(QFileInfo(name).baseName());
            qputenv("HOME", QFile::encodeName(base + "/home"));
            kit::resetFleet(base + "/sdcard");
            MainWindow w;
            kit::Answers answers(this);
            configure(w, kit::writeFile(dir, name, QByteArray::fromStdString(doc.dump())));
            waitConfigured(w);
            qputenv("HOME", home);
            QVERIFY2(answers.count("critical") + answers.count("other") == 0, qPrintable(answers.seen.join('\n')));
            QCOMPARE(w.isVisible(), !doc.value("hide", false));
            if (!doc.value("autostart", false)) continue;
            waitAcquiring(w);
            QTest::qWait(300);
            button(w, "Stop")->click();
            if (doc.contains("harddrive")) QVERIFY2(filesUnder(base + "/home", "signalsInfo.json").size() == 1, qPrintable(name));
            if (doc.contains("sdcard")) {  // under the dated folder and the file's own folder
                const QFileInfo sd(QString::fromStdString(doc["sdcard"].get<std::string>()));
                const QStringList card = filesUnder(base + "/sdcard", "0_" + sd.fileName());
                QVERIFY2(!card.isEmpty() && card.first().contains("/" + sd.path() + "/"), qPrintable(name));
            }
        }
    }

    void startHeldBack_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QString>("shown");
        QTest::newRow("hidden, harddrive not text") << QByteArray(R"("hide": true, "harddrive": 42)")
                                                    << "warning|Configuration problem|A hd device path expected";
        QTest::newRow("card refused") << QByteArray(R"("sdcard": "r005")")
                                      << "warning|Configuration problem|Unable to configure SD card";
        QTest::newRow("card not text") << QByteArray(R"("sdcard": ["r005"])") << "";
        QTest::newRow("channels not array") << QByteArray(R"("channels": "1 1 1")") << "";
    }
    void startHeldBack()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QString, shown);
        if (QByteArray(QTest::currentDataTag()) == "card refused")
            kit::setFault("KVN-B08-3003", &sim::Faults::sdCardRefused);
        MainWindow w;
        kit::Answers answers(this);
        configure(w, file(kB08 + R"(, "sensors": "dry", "autostart": true, )" + keys));
        waitConfigured(w);
        QCOMPARE(answers.seen.join('\n'), shown);
        QCOMPARE(w.isVisible(), !keys.contains("hide"));
        if (!w.isVisible()) QVERIFY(w.findChild<QSystemTrayIcon*>()->isVisible());
        QVERIFY(!box(w, "SD card record")->isChecked() && !box(w, "Hard drive record")->isChecked());
        QTest::qWait(200);
        QVERIFY(!button(w, "Stop")->isEnabled() && button(w, "Start")->isEnabled());
    }

    void dropsOtherThanOneFileAreRefused()
    {
        MainWindow w;
        kit::Answers answers(this);
        for (bool links : {true, false}) {  // only links are taken
            QMimeData mime;
            if (links) mime.setUrls({QUrl::fromLocalFile("/tmp/a.json")});
            else mime.setText("/tmp/a.json");
            QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(&w, &enter);
            QCOMPARE(enter.isAccepted(), links);
        }
        drop(w, {QUrl::fromLocalFile(file(kB08)), QUrl::fromLocalFile(file(kH64))});
        QCOMPARE(answers.seen,
                 QStringList{"warning|Configuration error|Cannot load multiple configuration files at the same time"});
        drop(w, {}, file(kB08));
        QTest::qWait(50);
        QVERIFY(configuringBoxes(w).isEmpty());
        QCOMPARE(answers.seen.size(), 1);
    }

    void fileDroppedWhileAResultIsShownWins()
    {
        // Dropped while the first result's warning is up: the rest of that result (its folder, its autostart)
        // must not reach the second device.
        MainWindow w;
        const QString second = file(kH64 + R"(, "sensors": "dry")");
        kit::Answers answers(this);
        answers.shown = [&](const QString& shown) {
            if (shown.endsWith("|Unknown sensor type")) drop(w, {QUrl::fromLocalFile(second)});
        };
        configure(w, file(kB08 + R"(, "sensors": "wet", "autostart": true, )" + harddrive(dir.filePath("first"))));
        QTRY_VERIFY_WITH_TIMEOUT(answers.count("warning"), 30000);
        waitConfigured(w);
        QTest::qWait(200);
        QCOMPARE(answers.seen, (QStringList{"input|EEG sensor type|Which type of EEG sensors are your using?",
                                            "warning|Configuration problem|Unknown sensor type"}));
        QVERIFY2(groupTitle(w).startsWith("KVN-H64-1010"), qPrintable(groupTitle(w)));
        QVERIFY(!box(w, "Hard drive record")->isChecked() && hdFolderInput(w)->text().isEmpty());
        QVERIFY(!button(w, "Stop")->isEnabled() && button(w, "Start")->isEnabled());
        QVERIFY(!kit::byText<QLabel>(w, "Unable to start acquiring data"));
    }

    void newFileWhileAcquiringReplacesTheDevice()
    {
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Cancel, "Water");
        configure(w, file(kB08 + R"(, "sensors": "dry", "autostart": true)"));
        waitConfigured(w);
        waitAcquiring(w);
        QVERIFY(tabTitles(w).contains("BVP"));

        // Not through a drop: the window itself stops the acquisition and rebuilds the viewers.
        const QString records = dir.filePath("replaced");
        configure(w, file(kH64 + R"(, "sensors": "dry", "autostart": true, )" + harddrive(records)));
        waitConfigured(w);
        QVERIFY2(groupTitle(w).startsWith("KVN-H64-1010"), qPrintable(groupTitle(w)));
        QVERIFY2(!tabTitles(w).contains("BVP"), qPrintable(tabTitles(w)));
        waitAcquiring(w);
        QTest::qWait(300);  // blocks of the new layout reach viewers made for it

        // Dropped: stopped and disconnected at once, without a question, then configured.
        drop(w, {QUrl::fromLocalFile(file(kB08 + R"(, "sensors": "water", "lsl": true)"))});
        QVERIFY(configuringBoxes(w).size() == 1 && !button(w, "Stop")->isEnabled());
        waitConfigured(w);
        QCOMPARE(answers.seen, QStringList());
        QVERIFY2(groupTitle(w).startsWith("KVN-B08-3003"), qPrintable(groupTitle(w)));
        QVERIFY(groupTitle(w).endsWith("EEG sensors: Water"));
        QVERIFY(box(w, "Enable LSL server")->isChecked() && !box(w, "Hard drive record")->isChecked());
        QTest::qWait(100);
        QVERIFY(!button(w, "Stop")->isEnabled() && button(w, "Start")->isEnabled());
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
        const QString second = file(kH64);
        configure(w, file(R"("connection": {"type": "bluetooth", "properties": {"device": "KVN-B08-2201"}}, "sensors": "dry")"));
        configure(w, second);
        drop(w, {QUrl::fromLocalFile(second)});  // neither stops nor disconnects anything
        const QString refused = "warning|Configuration error|A configuration is still in progress; " + second;
        QCOMPARE(answers.count(refused + " was not loaded."), 2);
        QCOMPARE(configuringBoxes(w).size(), 1);
        waitConfigured(w);
        QVERIFY2(groupTitle(w).startsWith("KVN-B08-2201"), qPrintable(groupTitle(w)));
        QCOMPARE(answers.seen.size(), 2);

        // Over but its report not yet delivered still counts, or that result (and its box) would be lost.
        const QString missing = dir.filePath("missing.json");
        configure(w, missing);
        QThread::msleep(500);  // no events: the report stays queued
        configure(w, second);
        waitConfigured(w);
        QCOMPARE(answers.count(refused), 3);
        QCOMPARE(answers.count("critical|Configuration problem|Unable to find configuration file " + missing), 1);
        QCOMPARE(answers.seen.size(), 4);
    }

    void fileRemovedWhileBeingRead()
    {
        QByteArray text = "{" + kB08 + R"(, "sensors": "dry")";  // large enough that removing it may overtake the reader
        text.append(QByteArray(4 * 1024 * 1024, ' ')).append("}");
        for (int round = 0; round < 5; ++round) {
            MainWindow w;
            kit::Answers answers(this);
            const QString path = kit::writeFile(dir, "vanishing.json", text);
            configure(w, path);
            if (round % 2) QThread::usleep(200 * round);
            QVERIFY(QFile::remove(path));
            waitConfigured(w);
            QVERIFY(answers.seen.size() <= 1);
            if (answers.seen.isEmpty())
                QVERIFY(button(w, "Start")->isEnabled());
            else
                QVERIFY2(answers.seen.first().startsWith("critical|Configuration problem|Unable to find configuration file"),
                         qPrintable(answers.seen.first()));
        }
    }

    void windowClosedWhileConfiguring()
    {
        auto* w = new MainWindow;
        configure(*w, file(kB08 + R"(, "sensors": "dry", "lsl": true, "autostart": true)"));
        delete w;  // waits for the task; nothing may touch the window afterwards
        QTest::qWait(100);
    }
};

QTEST_MAIN(ConfigurationWindowTest)
#include "test_configurationwindow_threads.moc"
