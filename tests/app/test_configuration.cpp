// The configuration task on the simulated fleet: every key of the file, every failure, and files that are not
// what they should be. The task runs on the test's thread here; the window flow is in test_configurationwindow.

#include "ConfigurationTestKit.h"

#include <QtConcurrent>
#include <QtTest>
#include <atomic>
#include <random>
#include <thread>
#include <sys/stat.h>

using kit::Outcome;

namespace {
// KVN-B08-3003 on COM3: EEG, BVP, GSR, COM (digital aux, mode = IMUs), HAP, uSD.
const QByteArray kUsb = R"("connection": {"type": "usb", "properties": {"port": 3, "baudRate": 921600}})";
enum Signal { EEG, BVP, GSR, COM, HAP, USD };
const char* const kException = "Exception occurred during configuration phase:\n";
const char* const kNoConnection = "Unable to create a valid connection. Check the configuration parameters";
const char* const kNoDevice = "Cannot connect to the device configured";

QByteArray withUsb(const QByteArray& more)
{
    return "{" + kUsb + (more.isEmpty() ? QByteArray() : ", " + more) + "}";
}
}  // namespace

class ConfigurationTaskTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    Outcome run(const QByteArray& text)
    {
        return kit::runTask(*window, kit::writeFile(dir, "config.json", text));
    }
    // Sets the modes of KVN-B08-3003 through a model of its own, so the next configuration starts from them.
    void presetModes(const std::vector<unsigned>& modes)
    {
        Outcome o = run(withUsb(R"("channels": [])"));
        QVERIFY(o.configurable());
        for (unsigned k = 0; k < modes.size(); ++k) o.configurable()->set_signal_mode(k, modes[k]);
        for (unsigned k = 0; k < modes.size(); ++k) QCOMPARE(o.model->signal_mode(k), int(modes[k]));
    }
    std::vector<int> modes(const DeviceModel& m)
    {
        std::vector<int> out;
        for (unsigned k = 0; k < m.signal_count(); ++k) out.push_back(m.signal_mode(k));
        return out;
    }
    bool lslChecked()
    {
        QCoreApplication::processEvents();  // the task's check-box change is queued to the window's thread
        return kit::byText<QCheckBox>(*window, "Enable LSL server")->isChecked();
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init()
    {
        kit::resetFleet(dir.filePath("sdcard"));
        window = std::make_unique<MainWindow>();
    }
    void cleanup() { window.reset(); }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");  // exact, or the part after the exception prefix when it has "~"
        QTest::addColumn<bool>("madeModel");

        // Keys that would otherwise set flags ride along in every file: a failure keeps none of them.
        const QByteArray rest = R"("hide": true, "autostart": true, "harddrive": "/tmp/x", "lsl": true)";
        auto row = [&](const char* name, const QByteArray& connection, const char* fault, const char* message,
                       bool model) {
            QTest::newRow(name) << ("{" + connection + ", " + rest + "}") << QString(fault) << QString(message)
                                << model;
        };
        row("no connection", R"("sensors": "dry")", "", kNoConnection, false);
        row("connection not an object", R"("connection": "usb")", "", kNoConnection, false);
        row("connection without type", R"("connection": {"properties": {"port": 3}})", "", kNoConnection, false);
        row("unknown type", R"("connection": {"type": "serial", "properties": {"port": 3}})", "", kNoConnection,
            false);
        row("eeg64 is the wizard's", R"("connection": {"type": "eeg64", "properties": {"left": "KVN-A32-0412L",
            "right": "KVN-A32-0412R"}})", "", kNoConnection, false);
        row("port zero", R"("connection": {"type": "usb", "properties": {"port": 0}})", "", kNoDevice, true);
        row("no port", R"("connection": {"type": "usb"})", "", "~port property not in the map", false);
        row("type not a string", R"("connection": {"type": 3})", "", "~type must be string", false);
        row("port not a number", R"("connection": {"type": "usb", "properties": {"port": "three"}})", "",
            "~port property is not a valid value", false);
        row("unknown device", R"("connection": {"type": "bluetooth", "properties": {"device": "KVN-X"}})", "",
            kNoDevice, true);
        row("unreachable device", kUsb, "unreachable", kNoDevice, true);
        row("ble without dongle", R"("connection": {"type": "ble", "properties": {"device": "KVN-TRK-0031"}})",
            "nodongle", kNoDevice, true);
        QTest::newRow("top-level array") << "[{" + kUsb + "}]" << "" << kNoConnection << false;
        QTest::newRow("syntax error") << QByteArray(R"({"connection": {"type": "usb",}})") << ""
                                      << "~syntax error" << false;
        QTest::newRow("trailing text") << withUsb("") + " ok" << "" << "~parse error" << false;
        QTest::newRow("empty file") << QByteArray() << "" << "~parse error" << false;
        QTest::newRow("only blanks") << QByteArray("  \n\t ") << "" << "~parse error" << false;
        QTest::newRow("too deep") << withUsb(R"("x": )" + QByteArray(70, '[') + QByteArray(70, ']')) << ""
                                  << "~more than 64 deep" << false;
        QTest::newRow("too large") << withUsb("").append(QByteArray(17 * 1024 * 1024, ' ')) << ""
                                   << "~larger than 16 MiB" << false;
        QTest::newRow("invalid UTF-8") << withUsb(R"("sdcard": "r)" + QByteArray("\xff\xfe") + R"(")") << ""
                                       << "~invalid string" << false;
    }
    void failures()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, fault);
        QFETCH(QString, message);
        QFETCH(bool, madeModel);
        if (fault == "unreachable") kit::makeUnreachable("KVN-B08-3003");
        if (fault == "nodongle") sim::setDonglePresent(false);

        const Outcome o = run(text);
        QVERIFY(o.invoked);
        const QString got = QString::fromStdString(o.result.message);
        if (message.startsWith('~')) {
            QVERIFY2(got.startsWith(kException), qPrintable(got));
            QVERIFY2(got.mid(int(strlen(kException))).contains(message.mid(1)), qPrintable(got));
        } else {
            QCOMPARE(got, message);
        }
        QVERIFY(!o.result.success);
        QVERIFY(!o.result.autostart);
        QVERIFY(!o.result.hide);
        QVERIFY(o.result.harddrivePath.empty());
        // "lsl" is read before connecting, so only a device that fails to connect has seen it.
        QCOMPARE(lslChecked(), madeModel);
        // The model made before the device failed to connect is handed over (the window installs it).
        QCOMPARE(bool(o.model), madeModel);
        if (o.model) QVERIFY(!o.model->is_connected());
    }

    void filesThatCannotBeRead()
    {
        const QString missing = dir.filePath("nowhere/config.json");
        QCOMPARE(QString::fromStdString(kit::runTask(*window, missing).result.message),
                 "Unable to find configuration file " + missing);
        QCOMPARE(QString::fromStdString(kit::runTask(*window, dir.path()).result.message),
                 "Unable to find configuration file " + dir.path());
        QCOMPARE(QString::fromStdString(kit::runTask(*window, QString()).result.message),
                 QStringLiteral("Unable to find configuration file "));

        // A device without end is refused by its size, not read forever.
        if (QFileInfo::exists("/dev/zero")) {
            const Outcome o = kit::runTask(*window, "/dev/zero");
            QVERIFY(QString::fromStdString(o.result.message).contains("larger than 16 MiB"));
        }

        // Random bytes: a parse error, whatever they are.
        std::mt19937 random(3);
        for (int i = 0; i < 20; ++i) {
            QByteArray garbage;
            for (int n = int(random() % 4096); n > 0; --n) garbage.append(char(random()));
            const Outcome o = run(garbage);
            QVERIFY(!o.result.success);
            QVERIFY2(QString::fromStdString(o.result.message).startsWith(kException) || garbage.trimmed().isEmpty(),
                     o.result.message.c_str());
        }
    }

    void namedPipeDoesNotHang()
    {
        const QString pipe = dir.filePath("config.pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QFuture<Outcome*> task = QtConcurrent::run([this, pipe] {
            return new Outcome(kit::runTask(*window, pipe));
        });
        QTRY_VERIFY_WITH_TIMEOUT(task.isFinished(), 10000);
        std::unique_ptr<Outcome> o(task.result());
        QVERIFY(QString::fromStdString(o->result.message).startsWith(kException));

        // A pipe with a writer waiting on it (as a shell's process substitution gives) is read whole.
        std::atomic<bool> written{false};
        std::thread writer([&] {
            QFile out(pipe);
            if (out.open(QIODevice::WriteOnly)) out.write(withUsb(""));  // blocks until the task opens it
            written = true;
        });
        QTest::qWait(200);
        QFuture<Outcome*> fed = QtConcurrent::run([this, pipe] { return new Outcome(kit::runTask(*window, pipe)); });
        QTRY_VERIFY_WITH_TIMEOUT(fed.isFinished(), 10000);
        if (!written) {  // the task missed the writer: release it rather than hang
            QFile release(pipe);
            release.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        }
        writer.join();
        o.reset(fed.result());
        QVERIFY2(o->result.success, o->result.message.c_str());
        QCOMPARE(o->model->thread(), thread());  // handed over to the window's thread
    }

    void connectionOnlyConnectsAndSwitchesOnAllButSdCardAndHaptics()
    {
        presetModes({0, 0, 0, 0, 0});
        const Outcome o = run(withUsb(""));
        QVERIFY2(o.result.success, o.result.message.c_str());
        QVERIFY(o.result.message.empty());
        QVERIFY(!o.result.autostart);
        QVERIFY(!o.result.hide);
        QVERIFY(o.result.harddrivePath.empty());
        QCOMPARE(o.result.sensorType, -1);
        QVERIFY(o.configurable());
        QVERIFY(o.model->is_connected());
        QVERIFY(!o.model->is_running());
        QCOMPARE(modes(*o.model), (std::vector<int>{1, 1, 1, 1, 0, 0}));
        QVERIFY(!lslChecked());
    }

    void connectionForms_data()
    {
        QTest::addColumn<QByteArray>("connection");
        QTest::newRow("port as text") << QByteArray(R"({"type": "usb", "properties": {"port": "3"}})");
        QTest::newRow("keys in any case") << QByteArray(R"({"type": "usb", "properties": {"PORT": 3, "BaudRate": 1}})");
        QTest::newRow("no baud rate") << QByteArray(R"({"type": "usb", "properties": {"port": 3}})");
        QTest::newRow("bluetooth") << QByteArray(R"({"type": "bluetooth", "properties": {"device": "KVN-B08-2201",
            "single": false}})");
        QTest::newRow("ble") << QByteArray(R"({"type": "ble", "properties": {"device": "KVN-B08-2201"}})");
    }
    void connectionForms()
    {
        QFETCH(QByteArray, connection);
        const Outcome o = run(R"({"connection": )" + connection + "}");
        QVERIFY2(o.result.success, o.result.message.c_str());
        QVERIFY(o.configurable() && o.model->is_connected());
        QCOMPARE(kit::modeOf(*o.model, "BVP"), 1);
    }

    void sensors_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("sensorType");
        QTest::addColumn<QString>("message");
        QTest::newRow("dry") << QByteArray(R"("dry")") << 1 << "";
        QTest::newRow("water") << QByteArray(R"("water")") << 2 << "";
        QTest::newRow("capital") << QByteArray(R"("Water")") << 0 << "Unknown sensor type";
        QTest::newRow("textile") << QByteArray(R"("textile")") << 0 << "Unknown sensor type";
        QTest::newRow("empty") << QByteArray(R"("")") << 0 << "Unknown sensor type";
        QTest::newRow("number") << QByteArray("2") << -1 << "Unknown sensor type";
        QTest::newRow("null") << QByteArray("null") << -1 << "Unknown sensor type";
        QTest::newRow("array") << QByteArray(R"(["dry"])") << -1 << "Unknown sensor type";
    }
    void sensors()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, sensorType);
        QFETCH(QString, message);
        const Outcome o = run(withUsb(R"("autostart": true, "sensors": )" + value));
        QVERIFY(o.result.success);
        QCOMPARE(o.result.sensorType, sensorType);
        QCOMPARE(QString::fromStdString(o.result.message), message);
        QVERIFY(o.result.autostart);  // a warning about the sensors does not hold the start back

        // Read before connecting: a device that then fails still changes the sensor type.
        kit::makeUnreachable("KVN-B08-3003");
        const Outcome failed = run(withUsb(R"("sensors": )" + value));
        QVERIFY(!failed.result.success);
        QCOMPARE(failed.result.sensorType, sensorType);
        QCOMPARE(QString::fromStdString(failed.result.message), QString(kNoDevice));
    }

    void simpleKeys_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("hide");
        QTest::addColumn<bool>("lsl");
        QTest::addColumn<QString>("harddrive");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("autostart");
        QTest::newRow("nothing") << QByteArray() << false << false << "" << "" << true;
        QTest::newRow("hide") << QByteArray(R"("hide": true)") << true << false << "" << "" << true;
        QTest::newRow("hide false") << QByteArray(R"("hide": false)") << false << false << "" << "" << true;
        QTest::newRow("hide as text") << QByteArray(R"("hide": "true")") << false << false << "" << "" << true;
        QTest::newRow("hide as number") << QByteArray(R"("hide": 1)") << false << false << "" << "" << true;
        QTest::newRow("lsl") << QByteArray(R"("lsl": true)") << false << true << "" << "" << true;
        QTest::newRow("lsl false") << QByteArray(R"("lsl": false)") << false << false << "" << "" << true;
        QTest::newRow("lsl as text") << QByteArray(R"("lsl": "true")") << false << false << "" << "" << true;
        QTest::newRow("lsl as number") << QByteArray(R"("lsl": 1)") << false << false << "" << "" << true;
        QTest::newRow("harddrive") << QByteArray(R"("harddrive": "/data/rec ords")") << false << false
                                   << "/data/rec ords" << "" << true;
        QTest::newRow("harddrive home") << QByteArray(R"("harddrive": "~/rec")") << false << false << "~/rec" << ""
                                        << true;
        QTest::newRow("harddrive empty") << QByteArray(R"("harddrive": "")") << false << false << "" << "" << true;
        for (const char* bad : {"1", "true", "null", "[\"/data\"]", "{\"path\": \"/data\"}"})
            QTest::newRow(qPrintable(QStringLiteral("harddrive %1").arg(bad)))
                << QByteArray(R"("harddrive": )") + bad << false << false << "" << "A hd device path expected"
                << false;
    }
    void simpleKeys()
    {
        QFETCH(QByteArray, keys);
        QFETCH(bool, hide);
        QFETCH(bool, lsl);
        QFETCH(QString, harddrive);
        QFETCH(QString, message);
        QFETCH(bool, autostart);
        const Outcome o = run(withUsb(keys.isEmpty() ? QByteArray(R"("autostart": true)")
                                                      : keys + R"(, "autostart": true)"));
        QVERIFY2(o.result.success, o.result.message.c_str());
        QCOMPARE(o.result.hide, hide);
        QCOMPARE(lslChecked(), lsl);
        QCOMPARE(QString::fromStdString(o.result.harddrivePath), harddrive);  // "~" is the window's to expand
        QCOMPARE(QString::fromStdString(o.result.message), message);
        QCOMPARE(o.result.autostart, autostart);
    }

    void channelsArraySetsModesOneByOne()
    {
        // Integers set their signal's mode; anything else leaves the mode in effect.
        presetModes({1, 1, 0, 0});
        Outcome o = run(withUsb(R"("channels": [1, 0, true, 2], "autostart": true)"));
        QVERIFY(o.result.success);
        QVERIFY(o.result.autostart);
        QCOMPARE(modes(*o.model), (std::vector<int>{1, 0, 0, 2, 1, 0}));
        o.model.reset();

        // Haptics and the SD card are never switched here; elements past the last signal are ignored; a mode
        // that does not fit in a byte (or would wrap into one) is skipped, as is one the device refuses.
        presetModes({1, 1, 1, 1});
        o = run(withUsb(R"("channels": [0, -1, 256, 4294967298, 0, 1, 1, 1, 1])"));
        QVERIFY(o.result.success);
        QCOMPARE(modes(*o.model), (std::vector<int>{0, 1, 1, 1, 1, 0}));
        o.model.reset();
        o = run(withUsb(R"("channels": [1.0, 0.5, "0", null, [0], {"mode": 0}])"));
        QCOMPARE(modes(*o.model), (std::vector<int>{0, 1, 1, 1, 1, 0}));
        o.model.reset();
        o = run(withUsb(R"("channels": [1, 1, 1, 9])"));  // the aux input takes at most 4 IMUs
        QCOMPARE(modes(*o.model), (std::vector<int>{1, 1, 1, 1, 1, 0}));
        o.model.reset();

        // An empty array changes nothing, and unlike a missing key switches nothing on.
        presetModes({0, 0, 0, 0});
        o = run(withUsb(R"("channels": [], "autostart": true)"));
        QCOMPARE(modes(*o.model), (std::vector<int>{0, 0, 0, 0, 1, 0}));
        QVERIFY(o.result.autostart);
    }

    void channelsThatAreNotAnArrayOnlyHoldTheStartBack()
    {
        presetModes({0, 1, 0, 3});
        for (const char* value : {R"("all")", "{}", "1", "null", "true"}) {
            const Outcome o = run(withUsb(QByteArray(R"("autostart": true, "channels": )") + value));
            QVERIFY2(o.result.success, value);
            QVERIFY2(!o.result.autostart, value);
            QVERIFY2(o.result.message.empty(), value);
            QCOMPARE(modes(*o.model), (std::vector<int>{0, 1, 0, 3, 1, 0}));
        }
    }

    void sdcard_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("folder");
        QTest::newRow("name only") << QByteArray(R"("r005")") << true << "r005" << ".";
        QTest::newRow("one folder") << QByteArray(R"("session1/r001")") << true << "r001" << "session1";
        QTest::newRow("folders") << QByteArray(R"("a/b/c/r9")") << true << "r9" << "a/b/c";
        QTest::newRow("empty") << QByteArray(R"("")") << true << "" << ".";
    }
    void sdcard()
    {
        QFETCH(QByteArray, value);
        QFETCH(bool, enabled);
        QFETCH(QString, file);
        QFETCH(QString, folder);
        const Outcome o = run(withUsb(R"("autostart": true, "sdcard": )" + value));
        QVERIFY2(o.result.success, o.result.message.c_str());
        QVERIFY(o.result.message.empty());
        QVERIFY(o.result.autostart);
        QCOMPARE(o.model->is_sd_card_enabled(), enabled);
        QCOMPARE(QString::fromStdString(o.configurable()->file_name()), file);
        QCOMPARE(QString::fromStdString(o.configurable()->folder_name()), folder);
    }

    void sdcardFailures()
    {
        for (const char* value : {"5", "true", "null", R"(["r005"])"}) {
            const Outcome o = run(withUsb(QByteArray(R"("autostart": true, "sdcard": )") + value));
            QVERIFY2(o.result.success, value);
            QVERIFY2(!o.result.autostart, value);
            QVERIFY2(o.result.message.empty(), value);
            QVERIFY(!o.model->is_sd_card_enabled());
        }
        sim::Faults refusing;
        refusing.sdCardRefused = true;
        sim::setFaults("KVN-B08-3003", refusing);
        const Outcome o = run(withUsb(R"("autostart": true, "sdcard": "r005", "harddrive": "/data")"));
        QVERIFY(o.result.success);
        QVERIFY(!o.result.autostart);
        QCOMPARE(QString::fromStdString(o.result.message), QStringLiteral("Unable to configure SD card"));
        QCOMPARE(QString::fromStdString(o.result.harddrivePath), QStringLiteral("/data"));
        QVERIFY(!o.model->is_sd_card_enabled());
    }

    void warningsOverwriteOneAnother()
    {
        sim::Faults refusing;
        refusing.sdCardRefused = true;
        sim::setFaults("KVN-B08-3003", refusing);
        const Outcome o = run(withUsb(R"("sensors": "wet", "harddrive": 3, "sdcard": "r1")"));
        QVERIFY(o.result.success);
        QCOMPARE(QString::fromStdString(o.result.message), QStringLiteral("Unable to configure SD card"));
        const Outcome two = run(withUsb(R"("sensors": "wet", "harddrive": 3)"));
        QCOMPARE(QString::fromStdString(two.result.message), QStringLiteral("A hd device path expected"));
    }

    void autostart_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("autostart");
        QTest::newRow("absent") << QByteArray(R"("lsl": true)") << false;
        QTest::newRow("true") << QByteArray(R"("autostart": true)") << true;
        QTest::newRow("false") << QByteArray(R"("autostart": false)") << false;
        QTest::newRow("text") << QByteArray(R"("autostart": "true")") << false;
        QTest::newRow("number") << QByteArray(R"("autostart": 1)") << false;
        QTest::newRow("null") << QByteArray(R"("autostart": null)") << false;
        QTest::newRow("all keys") << QByteArray(R"("autostart": true, "sensors": "dry", "lsl": true, "hide": true,
            "harddrive": "/data", "channels": [1, 1, 1, 1], "sdcard": "s/r1")") << true;
        QTest::newRow("harddrive not text") << QByteArray(R"("autostart": true, "harddrive": false)") << false;
        QTest::newRow("channels not array") << QByteArray(R"("autostart": true, "channels": "1,1")") << false;
        QTest::newRow("sdcard not text") << QByteArray(R"("autostart": true, "sdcard": 5)") << false;
    }
    void autostart()
    {
        QFETCH(QByteArray, keys);
        QFETCH(bool, autostart);
        const Outcome o = run(withUsb(keys));
        QVERIFY2(o.result.success, o.result.message.c_str());
        QCOMPARE(o.result.autostart, autostart);
    }

    void readOnlyLinkIsNotConfigured()
    {
        presetModes({0, 1, 1, 1});
        const Outcome o = run(R"({"connection": {"type": "usb", "properties": {"port": 3, "readOnly": true}},
            "channels": [1, 0, 0, 0], "sdcard": "r005", "harddrive": "/data", "hide": true, "autostart": true})");
        QVERIFY2(o.result.success, o.result.message.c_str());
        QVERIFY(o.model->is_read_only());
        QVERIFY(!o.configurable());
        QVERIFY(!o.result.autostart);
        QVERIFY(o.result.hide);
        QCOMPARE(QString::fromStdString(o.result.harddrivePath), QStringLiteral("/data"));
        QCOMPARE(modes(*o.model), (std::vector<int>{0, 1, 1, 1, 1, 0}));
        QVERIFY(!o.model->is_sd_card_enabled());
    }

    void examplesConfigureTheFleet()
    {
        const QDir examples(qEnvironmentVariable("KVN_SOURCE_DIR") + "/examples");
        const QStringList files = examples.entryList({"*.json"}, QDir::Files);
        QVERIFY(!files.isEmpty());
        for (const QString& name : files) {
            kit::resetFleet(dir.filePath("sdcard"));
            const Outcome o = kit::runTask(*window, examples.filePath(name));
            QVERIFY2(o.result.success, qPrintable(name + ": " + QString::fromStdString(o.result.message)));
            QVERIFY2(o.model && o.model->is_connected(), qPrintable(name));
            // Only the recognised sensor words pass without a warning.
            if (!o.result.message.empty())
                QVERIFY2(o.result.message == "Unknown sensor type", qPrintable(name));
        }
    }
};

QTEST_MAIN(ConfigurationTaskTest)
#include "test_configuration.moc"
