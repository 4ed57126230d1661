// The window's side of a configuration file: the "Configuring the device" box, the result boxes, the controls
// and acquisition that follow, dropping files on the window, and configurations that overlap. The task runs on
// the thread pool, so this also runs under ThreadSanitizer.

#include "ConfigurationTestKit.h"
#include "SignalsWidget.h"

#include <nlohmann/json.hpp>

#include <QDirIterator>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QThread>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <sys/stat.h>
#include <thread>

namespace {
const QByteArray kB08 = R"("connection": {"type": "usb", "properties": {"port": 3, "baudRate": 921600}})";
const QByteArray kH64 = R"("connection": {"type": "usb", "properties": {"port": 10, "baudRate": 2000000}})";
const QString kConfiguring = QStringLiteral("Configuring the device");

QList<QMessageBox*> configuringBoxes(QWidget& w)
{
    QList<QMessageBox*> boxes;
    for (QMessageBox* b : w.findChildren<QMessageBox*>())
        if (b->text() == kConfiguring) boxes << b;
    return boxes;
}
bool configuringShown(QWidget& w)
{
    for (QMessageBox* b : configuringBoxes(w))
        if (b->isVisible()) return true;
    return false;
}
QStringList tabTitles(QWidget& w)
{
    QStringList titles;
    QTabWidget* tabs = w.findChild<SignalsWidget*>()->tabs();
    for (int i = 0; i < tabs->count(); ++i) titles << tabs->tabText(i);
    return titles;
}
// The two line edits of the device group (the viewers have line edits of their own).
QLineEdit* hdFolderInput(QWidget& w)
{
    for (QLineEdit* e : w.findChild<QGroupBox*>()->findChildren<QLineEdit*>())
        if (e->placeholderText().isEmpty()) return e;
    return nullptr;
}
QLineEdit* sdPathInput(QWidget& w)
{
    for (QLineEdit* e : w.findChild<QGroupBox*>()->findChildren<QLineEdit*>())
        if (!e->placeholderText().isEmpty()) return e;
    return nullptr;
}
// "key": "text", for texts without quotes or backslashes.
QByteArray textEntry(const char* key, const QString& text)
{
    return QByteArray("\"") + key + "\": \"" + text.toUtf8() + "\"";
}
QPushButton* button(QWidget& w, const char* text) { return kit::byText<QPushButton>(w, text); }
QCheckBox* box(QWidget& w, const char* text) { return kit::byText<QCheckBox>(w, text); }
QString groupTitle(QWidget& w) { return w.findChild<QGroupBox*>()->title(); }

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

// Every file below the folder whose name starts with `prefix`.
QStringList filesUnder(const QString& folder, const QString& prefix)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().startsWith(prefix)) found << it.filePath();
    }
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
    void configure(MainWindow& w, const QString& path) { w.configure(QFile::encodeName(path).constData()); }
    // Until the "Configuring the device" box has gone, which is when the window has applied the result.
    void waitConfigured(MainWindow& w)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!configuringShown(w), 30000);
    }
    void waitAcquiring(MainWindow& w)
    {
        QTRY_VERIFY_WITH_TIMEOUT(button(w, "Stop")->isEnabled(), 10000);
        QVERIFY(!button(w, "Start")->isEnabled());
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init() { kit::resetFleet(dir.filePath("sdcard")); }

    void boxShownWhileConfiguringThenDeviceReady()
    {
        MainWindow w;
        kit::Answers answers(this);
        configure(w, file(kB08 + R"(, "sensors": "dry")"));
        const QList<QMessageBox*> boxes = configuringBoxes(w);
        QCOMPARE(boxes.size(), 1);
        QMessageBox* shown = boxes.first();
        QVERIFY(shown->isVisible());
        QVERIFY(!shown->isModal());
        QCOMPARE(shown->windowTitle(), QStringLiteral("Device configuration"));
        QCOMPARE(shown->icon(), QMessageBox::Information);
        QVERIFY(shown->buttons().isEmpty());
        QCOMPARE(shown->parentWidget(), &w);
        QVERIFY(shown->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint));

        waitConfigured(w);
        QTRY_VERIFY(configuringBoxes(w).isEmpty());  // deleted, not just hidden
        QCOMPARE(answers.seen, QStringList());
        QVERIFY(w.isVisible());
        QVERIFY2(groupTitle(w).startsWith("KVN-B08-3003 - HW2.0_FW1.1"), qPrintable(groupTitle(w)));
        QVERIFY(groupTitle(w).endsWith(" - EEG sensors: Dry"));
        QVERIFY(button(w, "Start")->isEnabled());
        QVERIFY(button(w, "Disconnect")->isEnabled());
        QVERIFY(!button(w, "Stop")->isEnabled());
        QVERIFY(box(w, "Hard drive record")->isEnabled());
        QVERIFY(!box(w, "Hard drive record")->isChecked());
        QVERIFY(hdFolderInput(w)->isEnabled());
        QVERIFY(!box(w, "Enable LSL server")->isChecked());
        QVERIFY(box(w, "SD card record")->isEnabled());
        QVERIFY(!box(w, "SD card record")->isChecked());
        // Every signal but the SD card and haptics is on, so every tab is enabled.
        QTabWidget* tabs = w.findChild<SignalsWidget*>()->tabs();
        QVERIFY(tabs->count() >= 4);
        for (int i = 0; i < tabs->count(); ++i) QVERIFY2(tabs->isTabEnabled(i), qPrintable(tabs->tabText(i)));
        QTest::qWait(100);
        QVERIFY(!button(w, "Stop")->isEnabled());  // no autostart without the key
    }

    void failureShowsCriticalBox_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("unreachable");
        QTest::addColumn<QString>("message");
        QTest::newRow("no connection") << QByteArray(R"({"autostart": true})") << false
                                       << "Unable to create a valid connection. Check the configuration parameters";
        QTest::newRow("device does not connect") << "{" + kB08 + R"(, "autostart": true})" << true
                                                 << "Cannot connect to the device configured";
        QTest::newRow("malformed") << QByteArray(R"({"connection": [})") << false
                                   << "Exception occurred during configuration phase:\n[json.exception.parse_error";
    }
    void failureShowsCriticalBox()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, unreachable);
        QFETCH(QString, message);
        if (unreachable) kit::makeUnreachable("KVN-B08-3003");
        MainWindow w;
        kit::Answers answers(this);
        configure(w, kit::writeFile(dir, "bad.json", text));
        waitConfigured(w);
        QCOMPARE(answers.seen.size(), 1);
        QVERIFY2(answers.seen.first().startsWith("critical|Configuration problem|" + message),
                 qPrintable(answers.seen.first()));
        // The controls stay those of no device.
        QVERIFY(!button(w, "Start")->isEnabled());
        QVERIFY(!button(w, "Disconnect")->isEnabled());
        QCOMPARE(groupTitle(w), QStringLiteral("Device"));
        QVERIFY(kit::byText<QLabel>(w, "No device connected"));

        // The window is free for the next file.
        sim::clearFaults();
        configure(w, file(kB08 + R"(, "sensors": "water")"));
        waitConfigured(w);
        QCOMPARE(answers.seen.size(), 1);
        QVERIFY(button(w, "Start")->isEnabled());
    }

    void missingFileNamesTheFile()
    {
        MainWindow w;
        kit::Answers answers(this);
        const QString missing = dir.filePath("no such file.json");
        configure(w, missing);
        waitConfigured(w);
        QCOMPARE(answers.seen, QStringList{"critical|Configuration problem|Unable to find configuration file " + missing});
    }

    void unknownSensorTypeWarnsThenAsks()
    {
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Ok, "Textile");
        configure(w, file(kB08 + R"(, "sensors": "Water", "autostart": true)"));
        waitConfigured(w);
        QVERIFY(answers.seen.contains("warning|Configuration problem|Unknown sensor type"));
        QVERIFY(answers.seen.contains("input|EEG sensor type|Which type of EEG sensors are your using?"));
        QCOMPARE(answers.seen.size(), 2);
        QVERIFY2(groupTitle(w).endsWith(" - EEG sensors: Textile"), qPrintable(groupTitle(w)));
        waitAcquiring(w);  // a warning about the sensors does not hold the start back
        button(w, "Stop")->click();
    }

    void autostartRecordsToDiskAndCard()
    {
        MainWindow w;
        kit::Answers answers(this);
        const QString records = dir.filePath("records");
        const QByteArray keys = R"(, "sensors": "dry", "channels": [1, 1, 1, 0], "sdcard": "session1/r001")";
        configure(w, file(kB08 + keys + ", " + textEntry("harddrive", records) + R"(, "autostart": true)"));
        // (no "lsl": liblsl keeps internal allocations past the test's end that the leak checker would report)
        waitConfigured(w);
        QVERIFY(box(w, "Hard drive record")->isChecked());
        QCOMPARE(hdFolderInput(w)->text(), records);
        QVERIFY(box(w, "SD card record")->isChecked());
        QCOMPARE(sdPathInput(w)->text(), QStringLiteral("session1/r001"));
        waitAcquiring(w);
        QTest::qWait(500);
        button(w, "Stop")->click();
        QVERIFY(button(w, "Start")->isEnabled());
        for (const QString& seen : answers.seen) QVERIFY2(!seen.startsWith("critical"), qPrintable(seen));

        const QStringList info = filesUnder(records, "signalsInfo.json");
        QCOMPARE(info.size(), 1);
        const QStringList eeg = filesUnder(QFileInfo(info.first()).path(), "EEG");
        QVERIFY(!eeg.isEmpty());
        QVERIFY(QFileInfo(eeg.first()).size() > 200);
        // The card got the record under the dated folder and the file's own folder.
        const QStringList card = filesUnder(dir.filePath("sdcard"), "0_r001");
        QVERIFY2(!card.isEmpty(), "no SD-card record");
        QVERIFY2(card.first().contains("/session1/"), qPrintable(card.first()));
    }

    void viewersFollowTheFileChannels()
    {
        // The file decides the modes: the viewers neither switch signals back on nor ask about the aux input.
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Ok, "Water");
        configure(w, file(kB08 + R"(, "channels": [1, 0, 1, 3], "autostart": true)"));
        waitConfigured(w);
        QCOMPARE(answers.seen, QStringList{"input|EEG sensor type|Which type of EEG sensors are your using?"});
        QVERIFY(groupTitle(w).endsWith("EEG sensors: Water"));
        auto* signalsWidget = w.findChild<SignalsWidget*>();
        const auto& tabs = signalsWidget->signalTabs();
        QCOMPARE(int(tabs.count(1)), 1);
        QVERIFY(!signalsWidget->tabs()->isTabEnabled(tabs.find(1)->second));  // BVP off
        QVERIFY(signalsWidget->tabs()->isTabEnabled(tabs.find(0)->second));   // EEG on
        QCOMPARE(int(tabs.count(3)), 3);                                       // three IMUs on the aux input
        waitAcquiring(w);
        QTest::qWait(300);  // blocks of that layout reach the viewers
        button(w, "Stop")->click();
        QCOMPARE(answers.seen.size(), 1);
    }

    void examplesRunUnattended()
    {
        // The shipped examples, as a user would start them (LSL left out: liblsl's own threads outlive a test).
        const QDir examples(qEnvironmentVariable("KVN_SOURCE_DIR") + "/examples");
        const QStringList names = examples.entryList({"*.json"}, QDir::Files);
        QVERIFY(!names.isEmpty());
        const QByteArray home = qgetenv("HOME");
        for (const QString& name : names) {
            QFile in(examples.filePath(name));
            QVERIFY(in.open(QIODevice::ReadOnly));
            nlohmann::json doc = nlohmann::json::parse(in.readAll().toStdString());
            doc.erase("lsl");
            const QString userHome = dir.filePath("home-" + QFileInfo(name).baseName());
            qputenv("HOME", QFile::encodeName(userHome));
            kit::resetFleet(dir.filePath("sdcard-" + QFileInfo(name).baseName()));
            MainWindow w;
            kit::Answers answers(this);
            configure(w, kit::writeFile(dir, name, QByteArray::fromStdString(doc.dump())));
            waitConfigured(w);
            qputenv("HOME", home);
            QCOMPARE(answers.count("critical"), 0);
            QCOMPARE(answers.count("other"), 0);
            QCOMPARE(w.isVisible(), !(doc.contains("hide") && doc["hide"] == true));
            if (doc.value("autostart", false) != true) continue;
            waitAcquiring(w);
            QTest::qWait(300);
            button(w, "Stop")->click();
            if (doc.contains("harddrive"))
                QVERIFY2(filesUnder(userHome, "signalsInfo.json").size() == 1, qPrintable(name));
            if (doc.contains("sdcard"))
                QVERIFY2(!filesUnder(dir.filePath("sdcard-" + QFileInfo(name).baseName()), "0_").isEmpty(),
                         qPrintable(name));
        }
    }

    void homeFolderInHarddrive_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("shown");  // "@" stands for the home folder
        QTest::newRow("under home") << "~/recs" << "@/recs";
        QTest::newRow("home itself") << "~" << "@";
        QTest::newRow("another user") << "~other/recs" << "~other/recs";
        QTest::newRow("absolute") << "/data/recs" << "/data/recs";
    }
    void homeFolderInHarddrive()
    {
        QFETCH(QString, value);
        QFETCH(QString, shown);
        const QByteArray home = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(dir.filePath("home")));
        MainWindow w;
        kit::Answers answers(this);
        configure(w, file(kB08 + R"(, "sensors": "dry", )" + textEntry("harddrive", value)));
        waitConfigured(w);
        qputenv("HOME", home);
        QCOMPARE(hdFolderInput(w)->text(), shown.replace("@", dir.filePath("home")));
        QVERIFY(box(w, "Hard drive record")->isChecked());
        QVERIFY(answers.seen.isEmpty());  // no folder dialog: the folder is known
    }

    void hideAndSuppressedAutostart()
    {
        MainWindow w;
        kit::Answers answers(this);
        configure(w, file(kB08 + R"(, "sensors": "dry", "hide": true, "harddrive": 42, "autostart": true)"));
        waitConfigured(w);
        QVERIFY(!w.isVisible());
        QVERIFY(w.findChild<QSystemTrayIcon*>()->isVisible());
        QCOMPARE(answers.seen, QStringList{"warning|Configuration problem|A hd device path expected"});
        QVERIFY(!box(w, "Hard drive record")->isChecked());
        QTest::qWait(200);
        QVERIFY(!button(w, "Stop")->isEnabled());
        QVERIFY(button(w, "Start")->isEnabled());
    }

    void otherStepsHoldTheStartBack_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("refuseCard");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("card refused") << QByteArray(R"("sdcard": "r005")") << true
                                      << QStringList{"warning|Configuration problem|Unable to configure SD card"};
        QTest::newRow("card not text") << QByteArray(R"("sdcard": ["r005"])") << false << QStringList();
        QTest::newRow("channels not array") << QByteArray(R"("channels": "1 1 1")") << false << QStringList();
        QTest::newRow("autostart not boolean") << QByteArray(R"("autostart": "yes")") << false << QStringList();
        QTest::newRow("hide not boolean") << QByteArray(R"("hide": "yes", "autostart": false)") << false
                                          << QStringList();
    }
    void otherStepsHoldTheStartBack()
    {
        QFETCH(QByteArray, keys);
        QFETCH(bool, refuseCard);
        QFETCH(QStringList, shown);
        if (refuseCard) {
            sim::Faults f;
            f.sdCardRefused = true;
            sim::setFaults("KVN-B08-3003", f);
        }
        MainWindow w;
        kit::Answers answers(this);
        // A later "autostart" key wins over the first one in the parser, so it comes only once per file.
        configure(w, file(kB08 + R"(, "sensors": "dry", )" + keys + (keys.contains("autostart") ? "" : R"(, "autostart": true)")));
        waitConfigured(w);
        QCOMPARE(answers.seen, shown);
        QVERIFY(w.isVisible());
        QVERIFY(!box(w, "SD card record")->isChecked());
        QTest::qWait(200);
        QVERIFY(!button(w, "Stop")->isEnabled());
        QVERIFY(button(w, "Start")->isEnabled());
    }

    void dragEnterAcceptsUrlsOnly()
    {
        MainWindow w;
        QMimeData urls;
        urls.setUrls({QUrl::fromLocalFile("/tmp/a.json")});
        QDragEnterEvent withUrls(QPoint(5, 5), Qt::CopyAction, &urls, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &withUrls);
        QVERIFY(withUrls.isAccepted());
        QMimeData text;
        text.setText("/tmp/a.json");
        QDragEnterEvent withText(QPoint(5, 5), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w, &withText);
        QVERIFY(!withText.isAccepted());
    }

    void droppingSeveralFilesOrNoneDoesNothing()
    {
        MainWindow w;
        kit::Answers answers(this);
        const QString a = file(kB08), b = file(kH64);
        drop(w, {QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)});
        QCOMPARE(answers.seen,
                 QStringList{"warning|Configuration error|Cannot load multiple configuration files at the same time"});
        QVERIFY(configuringBoxes(w).isEmpty());
        drop(w, {}, a);
        QTest::qWait(50);
        QVERIFY(configuringBoxes(w).isEmpty());
        QCOMPARE(answers.seen.size(), 1);
    }

    void fileDroppedWhileAResultIsShownWins()
    {
        // A drop while the first result's warning is up starts the second configuration; the rest of the first
        // result (its folder, its autostart) must not be applied to what follows.
        MainWindow w;
        const QString second = file(kH64 + R"(, "sensors": "dry")");
        QStringList seen;
        ModalAnswerer answerer(
            [&](QWidget* modal) {
                if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    seen << box->text();
                    if (box->text() == "Unknown sensor type") drop(w, {QUrl::fromLocalFile(second)});
                    box->button(QMessageBox::Ok)->click();
                    return true;
                }
                if (auto* input = qobject_cast<QInputDialog*>(modal)) {
                    input->setTextValue("Dry");
                    input->accept();
                    return true;
                }
                return false;
            },
            this);
        configure(w, file(kB08 + R"(, "sensors": "wet", "autostart": true, )" +
                          textEntry("harddrive", dir.filePath("first"))));
        QTRY_VERIFY_WITH_TIMEOUT(seen.contains("Unknown sensor type"), 30000);
        waitConfigured(w);
        QTest::qWait(200);
        QCOMPARE(seen, QStringList{"Unknown sensor type"});
        QVERIFY2(groupTitle(w).startsWith("KVN-H64-1010"), qPrintable(groupTitle(w)));
        QVERIFY(!box(w, "Hard drive record")->isChecked());
        QVERIFY(hdFolderInput(w)->text().isEmpty());
        QVERIFY(!button(w, "Stop")->isEnabled());
        QVERIFY(button(w, "Start")->isEnabled());
        QVERIFY(!kit::byText<QLabel>(w, "Unable to start acquiring data"));
    }

    void droppedLinkThatIsNotAFileIsNamed()
    {
        MainWindow w;
        kit::Answers answers(this);
        drop(w, {QUrl("https://example.org/config.json")});
        waitConfigured(w);
        QCOMPARE(answers.seen, QStringList{"critical|Configuration problem|Unable to find configuration file "
                                           "https://example.org/config.json"});
    }

    void droppingWhileAcquiringStopsDisconnectsAndConfigures()
    {
        MainWindow w;
        kit::Answers answers(this, QMessageBox::Cancel, "Water");
        const QString records = dir.filePath("dropped");
        configure(w, file(kB08 + R"(, "sensors": "dry", "autostart": true, )" + textEntry("harddrive", records)));
        waitConfigured(w);
        waitAcquiring(w);
        QTest::qWait(300);

        drop(w, {QUrl::fromLocalFile(file(kH64 + R"(, "sensors": "water", "lsl": true)"))});
        // Stopped and disconnected at once, without a question; the new file is being read.
        QVERIFY(configuringShown(w));
        QVERIFY(!button(w, "Stop")->isEnabled());
        QCOMPARE(answers.count("question"), 0);
        waitConfigured(w);
        QCOMPARE(answers.seen, QStringList());
        QVERIFY2(groupTitle(w).startsWith("KVN-H64-1010"), qPrintable(groupTitle(w)));
        QVERIFY(groupTitle(w).endsWith("EEG sensors: Water"));
        QVERIFY(!tabTitles(w).join(",").contains("BVP"));
        QVERIFY(box(w, "Enable LSL server")->isChecked());
        QVERIFY(!box(w, "Hard drive record")->isChecked());
        QVERIFY(button(w, "Start")->isEnabled());
        QTest::qWait(100);
        QVERIFY(!button(w, "Stop")->isEnabled());

        // The first acquisition's record was closed whole.
        const QStringList info = filesUnder(records, "signalsInfo.json");
        QCOMPARE(info.size(), 1);
        const QStringList eeg = filesUnder(QFileInfo(info.first()).path(), "EEG");
        QVERIFY(!eeg.isEmpty());
        QFile csv(eeg.first());
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QVERIFY(csv.readAll().count('\n') > 10);
    }

    void anotherFileWhileConfiguringIsRefused()
    {
        // The first file comes through a pipe that the test holds open, so its configuration lasts until the
        // test lets it finish (a message box's own event loop would otherwise let it end in between).
        MainWindow w;
        kit::Answers answers(this);
        const QString pipe = dir.filePath("slow.pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        std::atomic<bool> release{false};
        std::thread writer([&] {
            QFile out(pipe);
            if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return;  // waits for the reader
            for (int i = 0; i < 2000 && !release; ++i) QThread::msleep(10);
            out.write("{" + kB08 + R"(, "sensors": "dry"})");
        });
        QTest::qWait(200);  // the writer is waiting in open, so the reader will wait for its text
        const QString second = file(kH64 + R"(, "sensors": "dry")");
        configure(w, pipe);
        configure(w, second);
        QCOMPARE(answers.count("warning|Configuration error|"), 1);
        QVERIFY(answers.seen.first().contains(second));
        drop(w, {QUrl::fromLocalFile(second)});  // a drop meanwhile neither stops nor disconnects anything
        QCOMPARE(answers.count("warning|Configuration error|"), 2);
        QCOMPARE(configuringBoxes(w).size(), 1);
        QVERIFY(configuringShown(w));
        release = true;
        writer.join();
        waitConfigured(w);
        QVERIFY2(groupTitle(w).startsWith("KVN-B08-3003"), qPrintable(groupTitle(w)));
        QCOMPARE(answers.seen.size(), 2);
        QFile::remove(pipe);
    }

    void finishedButNotYetAppliedStillCounts()
    {
        // The task is over but its report has not reached the window: a second file must still wait, or the
        // first result (and its box) would be lost.
        MainWindow w;
        kit::Answers answers(this);
        const QString missing = dir.filePath("missing.json");
        configure(w, missing);
        QThread::msleep(500);  // no events: the report stays queued
        configure(w, file(kB08 + R"(, "sensors": "dry")"));
        QCOMPARE(answers.count("warning|Configuration error|"), 1);
        waitConfigured(w);
        QTRY_VERIFY(configuringBoxes(w).isEmpty());
        QCOMPARE(answers.count("critical|Configuration problem|Unable to find configuration file " + missing), 1);
        QCOMPARE(answers.seen.size(), 2);
    }

    void configuringAgainReplacesTheDeviceAndItsViewers()
    {
        MainWindow w;
        kit::Answers answers(this);
        configure(w, file(kB08 + R"(, "sensors": "dry", "autostart": true)"));
        waitConfigured(w);
        waitAcquiring(w);
        QVERIFY(tabTitles(w).join(",").contains("BVP"));

        // Not through a drop: the window itself must stop the acquisition and rebuild the viewers.
        configure(w, file(kH64 + R"(, "sensors": "dry")"));
        waitConfigured(w);
        QVERIFY2(groupTitle(w).startsWith("KVN-H64-1010"), qPrintable(groupTitle(w)));
        QVERIFY2(!tabTitles(w).join(",").contains("BVP"), qPrintable(tabTitles(w).join(",")));
        QVERIFY(!button(w, "Stop")->isEnabled());
        QVERIFY(button(w, "Start")->isEnabled());
        button(w, "Start")->click();
        waitAcquiring(w);
        QTest::qWait(300);  // blocks of the new layout reach viewers made for it
        button(w, "Stop")->click();
        QCOMPARE(answers.count("critical"), 0);
    }

    void fileRemovedWhileBeingRead()
    {
        for (int round = 0; round < 5; ++round) {
            MainWindow w;
            kit::Answers answers(this);
            // Large enough that removing it may overtake the reader.
            QByteArray text = "{" + kB08 + R"(, "sensors": "dry")";
            text.append(QByteArray(4 * 1024 * 1024, ' ')).append("}");
            const QString path = kit::writeFile(dir, "vanishing.json", text);
            configure(w, path);
            if (round % 2) QThread::usleep(200 * round);
            QVERIFY(QFile::remove(path));
            waitConfigured(w);
            QVERIFY(answers.seen.size() <= 1);
            if (!answers.seen.isEmpty())
                QVERIFY2(answers.seen.first().startsWith("critical|Configuration problem|Unable to find configuration file"),
                         qPrintable(answers.seen.first()));
            else
                QVERIFY(button(w, "Start")->isEnabled());
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
