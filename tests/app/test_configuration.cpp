// The configuration task on the simulated fleet, run on the test's thread: each key of the file, each failure,
// bad files, a seeded fuzz of them, and the nesting count that bounds the parser.

#include "ConfigurationFile.h"
#include "ConfigurationTestKit.h"
#include "DeviceModel.h"

#include <QtTest>
#include <fstream>
#include <random>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace {
// KVN-B08-3003 on port 3: EEG, BVP, GSR, COM (digital aux, mode = IMUs), HAP, uSD.
const QByteArray kUsb = R"("connection": {"type": "usb", "properties": {"port": 3, "baudRate": 921600}})";
const QByteArray kStart = R"("autostart": true, )";
const char* const kException = "Exception occurred during configuration phase:\n";
const char* const kNoConnection = "Unable to create a valid connection. Check the configuration parameters";
const char* const kNoDevice = "Cannot connect to the device configured";
const char* const kKeys[] = {"connection", "sensors", "lsl",    "hide", "harddrive",
                             "channels",   "sdcard",  "autostart", "x"};

QByteArray withUsb(const QByteArray& more) { return "{" + kUsb + (more.isEmpty() ? QByteArray() : ", " + more) + "}"; }

QString modes(const DeviceModel& model)
{
    QStringList out;
    for (unsigned i = 0; i < model.signal_count(); ++i) out << QString::number(model.signal_mode(i));
    return out.join(',');
}

// The task's result; the model it made (if any) is owned here.
struct Outcome {
    MainWindow::ConfigurationResult result;
    std::unique_ptr<DeviceModel> model;
    ConfigurableDeviceModel* configurable() const { return qobject_cast<ConfigurableDeviceModel*>(model.get()); }
    QString message() const { return QString::fromStdString(result.message); }
};

// Runs the window's configuration task on the calling thread, as the pool thread would.
Outcome runTask(MainWindow& window, const QString& path)
{
    Outcome out;
    const QByteArray name = QFile::encodeName(path);
    QMetaObject::invokeMethod(&window, "do_configure", Qt::DirectConnection,
                              QReturnArgument<MainWindow::ConfigurationResult>("ConfigurationResult", out.result),
                              Q_ARG(const char*, name.constData()));
    out.model.reset(std::exchange(out.result.model, nullptr));
    return out;
}

// Random values and changes to documents near real configuration files.
struct Mutator {
    std::mt19937_64 random;
    std::size_t below(std::size_t n) { return n ? std::size_t(random() % n) : 0; }
    json value(int depth = 0)
    {
        static const json scalars = json::parse(R"([null, true, false, -1, 0, 1, 2, 3, 4, 9, 10, 255, 256, 4294967298,
            2.5, "", "dry", "water", "Water", "r005", "a/b/r1", "~", "usb", "bluetooth", "ble", "KVN-B08-2201"])");
        if (depth > 2 || below(3)) return scalars[below(scalars.size())];
        json v = below(2) ? json::array() : json::object();
        for (std::size_t n = below(6); n > 0; --n)
            v.is_array() ? v.push_back(value(depth + 1))
                         : void(v[kKeys[below(std::size(kKeys))]] = value(depth + 1));
        return v;
    }
    // Sets or removes a key of the document, of its connection or of the connection's properties.
    void mutate(json& doc)
    {
        static const char* const inner[] = {"type", "properties", "port", "device", "readOnly", "baudRate"};
        if (!doc.is_object()) return void(doc = value());
        json* target = &doc;
        for (const char* deeper : {"connection", "properties"})
            if (target->contains(deeper) && (*target)[deeper].is_object() && below(2)) target = &(*target)[deeper];
        const char* key = target == &doc ? kKeys[below(std::size(kKeys))] : inner[below(std::size(inner))];
        below(4) ? void((*target)[key] = value()) : void(target->erase(key));
    }
};
}  // namespace

class ConfigurationTaskTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<MainWindow> window;

    Outcome run(const QByteArray& text) { return runTask(*window, kit::writeFile(dir, "config.json", text)); }
    // Sets the device's modes through a model of its own; the next configuration starts from them.
    void presetModes(const QString& modes)
    {
        const Outcome o = run(withUsb(R"("channels": [])"));
        const QStringList list = modes.split(',');
        for (int k = 0; k < list.size(); ++k) o.configurable()->set_signal_mode(unsigned(k), list[k].toUInt());
    }
    // "failed model start hide lsl hd=<folder> sd=<folder>|<file> sensors=<type> msg=<message>", each when so.
    QString summary(const Outcome& o)
    {
        QStringList s;
        const ConfigurableDeviceModel* c = o.configurable();
        if (!o.result.success) s << (o.model ? "failed model" : "failed");
        if (o.result.autostart) s << "start";
        if (o.result.hide) s << "hide";
        QCoreApplication::processEvents();  // the task's check-box change is queued to the window's thread
        if (kit::byText<QCheckBox>(*window, "Enable LSL server")->isChecked()) s << "lsl";
        if (!o.result.harddrivePath.empty()) s << "hd=" + QString::fromStdString(o.result.harddrivePath);
        if (c && c->is_sd_card_enabled()) s << QString::fromStdString("sd=" + c->folder_name() + "|" + c->file_name());
        if (o.result.sensorType >= 0) s << QStringLiteral("sensors=%1").arg(o.result.sensorType);
        if (!o.result.message.empty()) s << "msg=" + o.message();
        return s.join(' ');
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }
    void init()
    {
        kit::resetFleet(dir.filePath("sdcard"));
        window = std::make_unique<MainWindow>();
    }
    void cleanup() { window.reset(); }

    void filesThatCannotBeRead()
    {
        for (const QString& path : {dir.filePath("nowhere/config.json"), dir.path(), QString()})
            QCOMPARE(runTask(*window, path).message(), "Unable to find configuration file " + path);
        // Without end, or without a writer: refused by its size, or read as empty, never read forever.
        QVERIFY(runTask(*window, "/dev/zero").message().contains("larger than 16 MiB"));
        const QString pipe = dir.filePath("config.pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        QVERIFY(runTask(*window, pipe).message().startsWith(kException));
        // A pipe with a writer waiting on it (as a shell's process substitution gives) is read whole. The writer
        // must be waiting in open before the task opens the pipe: tried again, waiting longer, until it was.
        Outcome fed;
        for (int attempt = 1; attempt <= 20 && !fed.result.success; ++attempt) {
            std::thread writer([&] {
                QFile out(pipe);
                if (out.open(QIODevice::WriteOnly)) out.write(withUsb(""));
            });
            QThread::msleep(50 * attempt);
            fed = runTask(*window, pipe);
            // A reader that never blocks releases a writer the task missed, even one that has come and gone.
            const int release = ::open(QFile::encodeName(pipe).constData(), O_RDONLY | O_NONBLOCK);
            writer.join();
            ::close(release);
        }
        QVERIFY2(fed.result.success, fed.result.message.c_str());
        QCOMPARE(fed.model->thread(), thread());  // handed over to the window's thread
    }

    void files_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("result");  // summary(), exact or (with a "~") starting with and containing
        auto row = [](const char* name, const QByteArray& keys, const char* result) {
            QTest::newRow(name) << withUsb(keys) << QString(result);
        };
        row("autostart absent", R"("lsl": true)", "lsl");
        for (const char* value : {"false", R"("true")", "1", "null"})
            row(qPrintable(QStringLiteral("autostart %1").arg(value)), QByteArray(R"("autostart": )") + value, "");
        row("hide and lsl as text", kStart + R"("hide": "true", "lsl": 1)", "start");
        row("harddrive", kStart + R"("harddrive": "~/rec ords")", "start hd=~/rec ords");  // the window expands "~"
        row("sdcard name only", kStart + R"("sdcard": "r005")", "start sd=.|r005");
        row("sdcard folders", kStart + R"("sdcard": "a/b/c/r9")", "start sd=a/b/c|r9");
        row("sdcard empty", kStart + R"("sdcard": "")", "start sd=.|");
        row("sdcard not text", kStart + R"("sdcard": ["r005"])", "");
        row("card refused, last warning wins", kStart + R"("sensors": "wet", "harddrive": 3, "sdcard": "r1")",
            "sensors=0 msg=Unable to configure SD card");
        row("sensors, then harddrive warning", kStart + R"("sensors": "wet", "harddrive": 3)",
            "sensors=0 msg=A hd device path expected");
        // A warning about the sensors does not hold the start back.
        row("sensors capital", kStart + R"("sensors": "Water")", "start sensors=0 msg=Unknown sensor type");
        row("sensors number", kStart + R"("sensors": 2)", "start msg=Unknown sensor type");
        QTest::newRow("read-only link: nothing configured, no start")
            << QByteArray(R"({"connection": {"type": "usb", "properties": {"port": 3, "readOnly": true}}, "sdcard": "r",
                "harddrive": "/d", "hide": true, "autostart": true})") << "hide hd=/d";
        row("all keys", kStart + R"("sensors": "dry", "lsl": true, "hide": true, "harddrive": "/d",
            "channels": [1, 1, 1, 1], "sdcard": "s/r1")", "start hide lsl hd=/d sd=s|r1 sensors=1");

        // A failure keeps none of these flags, but the sensors (and LSL) are read before connecting: a device that
        // then fails to connect still changes them, and its model is handed over for the window to install.
        const QByteArray rest = R"("hide": true, "autostart": true, "harddrive": "/x", "lsl": true, "sensors": "wet")";
        const QString noLink = QString("failed msg=") + kNoConnection;
        const QString noDevice = QString("failed model lsl sensors=0 msg=") + kNoDevice;
        const QString exception = QString("failed msg=") + kException + "~";
        auto fail = [&](const char* name, const QByteArray& connection, const QString& result) {
            QTest::newRow(name) << ("{" + connection + ", " + rest + "}") << result;
        };
        fail("no connection", R"("x": 1)", noLink);
        fail("connection not an object", R"("connection": "usb")", noLink);
        fail("unknown type", R"("connection": {"type": "serial", "properties": {"port": 3}})", noLink);
        fail("eeg64 pair", R"("connection": {"type": "eeg64", "properties": {"left": "KVN-A32-0412L"}})", noLink);
        fail("port zero", R"("connection": {"type": "usb", "properties": {"port": 0}})", noDevice);
        fail("no port", R"("connection": {"type": "usb"})", exception + "port property not in the map");
        fail("type not a string", R"("connection": {"type": 3})", exception + "type must be string");
        fail("unreachable device", kUsb, noDevice);
        fail("ble without dongle", R"("connection": {"type": "ble", "properties": {"device": "KVN-TRK-0031"}})",
             noDevice);
        QTest::newRow("top-level array") << "[{" + kUsb + "}]" << noLink;
        QTest::newRow("syntax error") << QByteArray(R"({"connection": {"type": 1,}})") << exception + "syntax error";
        QTest::newRow("empty file") << QByteArray() << exception + "parse error";
        QTest::newRow("too deep") << withUsb(R"("x": )" + QByteArray(70, '[') + QByteArray(70, ']'))
                                  << exception + "more than 64 deep";
        QTest::newRow("far too deep, unbalanced") << QByteArray(1000000, '[') << exception + "deep";  // no recursion
        QTest::newRow("too large") << withUsb("").append(QByteArray(17 << 20, ' ')) << exception + "larger than 16 MiB";
        QTest::newRow("invalid UTF-8") << withUsb(R"("sdcard": "r)" + QByteArray("\xff\xfe") + R"(")")
                                       << exception + "invalid string";
    }
    void files()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, result);
        const QByteArray tag = QTest::currentDataTag();
        if (tag == "unreachable device") kit::setFault("KVN-B08-3003", &sim::Faults::unreachable);
        if (tag == "ble without dongle") sim::setDonglePresent(false);
        if (tag.startsWith("card refused")) kit::setFault("KVN-B08-3003", &sim::Faults::sdCardRefused);
        const Outcome o = run(text);
        const QString got = summary(o);
        if (result.contains('~'))
            QVERIFY2(got.startsWith(result.section('~', 0, 0)) && got.contains(result.section('~', 1)),
                     qPrintable(got));
        else
            QCOMPARE(got, result);
        QVERIFY(!o.model || (o.model->is_connected() == o.result.success && !o.model->is_running()));
    }

    void channels_data()
    {
        QTest::addColumn<QString>("preset");
        QTest::addColumn<QByteArray>("channels");  // empty: no key
        QTest::addColumn<QString>("result");       // modes, and whether it starts
        auto row = [](const char* name, const char* preset, const QByteArray& channels, const char* result) {
            QTest::newRow(name) << QString(preset) << channels << QString(result);
        };
        row("no key: all on but haptics and card", "0,0,0,0,0", "", "1,1,1,1,0,0 start");
        row("integers set modes", "1,1,0,0", "[1, 0, true, 2]", "1,0,0,2,1,0 start");
        // Haptics and the card are never switched; a mode must fit in a byte (without wrapping into one).
        row("out of range or past the end", "1,1,1,1", "[0, -1, 256, 4294967298, 0, 1, 1, 1, 1]", "0,1,1,1,1,0 start");
        row("not integers", "0,1,1,1", R"([1.0, 0.5, "0", null, [0], {"mode": 0}])", "0,1,1,1,1,0 start");
        row("refused by the device", "1,1,1,1", "[1, 1, 1, 9]", "1,1,1,1,1,0 start");
        row("empty array", "0,0,0,0", "[]", "0,0,0,0,1,0 start");
        row("not an array", "0,1,0,3", R"("all")", "0,1,0,3,1,0");
    }
    void channels()
    {
        QFETCH(QString, preset);
        QFETCH(QByteArray, channels);
        QFETCH(QString, result);
        presetModes(preset);
        const Outcome o = run(withUsb(kStart + (channels.isEmpty() ? R"("x": 0)" : R"("channels": )" + channels)));
        QVERIFY2(o.result.success && o.result.message.empty(), o.result.message.c_str());
        QCOMPARE(modes(*o.model) + (o.result.autostart ? " start" : ""), result);
    }

    // Whatever the file holds, the result agrees with it; the task never crashes, hangs or throws.
    void fuzzedFilesGetResultsThatAgreeWithThem()
    {
        const std::uint64_t seed = qEnvironmentVariable("KVN_FUZZ_SEED", "20261206").toULongLong();
        Mutator m{std::mt19937_64(seed)};
        std::vector<std::string> seeds = {withUsb(kStart + R"("sensors": "dry", "lsl": true, "hide": true, "harddrive": "/x",
            "channels": [1, 0, true, 2, 1, 1], "sdcard": "s1/r5")").toStdString(),
            R"({"connection": {"type": "bluetooth", "properties": {"device": "KVN-B08-2201"}}, "autostart": true,
            "sensors": "Water", "harddrive": 5, "sdcard": 7, "channels": "all"})",
            R"({"connection": {"type": "usb", "properties": {"port": 10, "readOnly": true}}, "sdcard": "r1"})"};
        const QRegularExpression warning("^(|Unknown sensor type|A hd device path expected|"
                                         "Unable to configure SD card)$");
        const QRegularExpression failure("^(Unable to find configuration file |Unable to create a valid connection|"
                                         "Cannot connect to the device|Exception occurred during configuration)");
        // The shipped examples configure the fleet as they are, and are mutated with the seeds above.
        const QDir examples(qEnvironmentVariable("KVN_SOURCE_DIR") + "/examples");
        for (const QString& name : examples.entryList({"*.json"}, QDir::Files)) {
            kit::resetFleet(dir.filePath("sdcard"));
            const Outcome o = runTask(*window, examples.filePath(name));
            QVERIFY2(o.result.success && o.model->is_connected() && o.result.message.empty(), qPrintable(name));
            seeds.push_back(json::parse(std::ifstream(examples.filePath(name).toStdString())).dump());
        }
        QVERIFY(seeds.size() > 3);
        int succeeded = 0;
        for (int done = 0; done < 1500; ++done) {
            kit::resetFleet(dir.filePath("sdcard"));
            if (m.below(7) == 0) kit::setFault("KVN-B08-3003", &sim::Faults::unreachable);
            if (m.below(7) == 0) kit::setFault("KVN-B08-2201", &sim::Faults::sdCardRefused);
            std::string text = seeds[m.below(seeds.size())];
            json doc = json::parse(text);
            for (std::size_t n = m.below(4) + 1; n > 0; --n) m.mutate(doc);
            text = doc.dump(int(m.below(3)) - 1);
            for (std::size_t n = m.below(6); n > 3; --n) {  // broken text: brackets or a stray byte, or cut short
                const std::size_t at = m.below(text.size());
                if (m.below(3) == 0) text.resize(at);
                else text.insert(at, m.below(2) ? std::string(m.below(99) + 1, '[') : std::string(1, char(m.random())));
            }
            const Outcome o = run(QByteArray::fromStdString(text));
            try {
                doc = configfile::parse(text);
            } catch (const std::exception&) {
                doc = json::array();
            }
            auto is = [&](const char* key, const json& v) { return doc.is_object() && doc.value(key, json()) == v; };
            const json hd = doc.is_object() ? doc.value("harddrive", json()) : json();
            bool hapticsOn = true;  // the file never switches haptics
            for (unsigned i = 0; o.model && i < o.model->signal_count(); ++i)
                hapticsOn = hapticsOn && (o.model->signal_name(i) != "HAP" || o.model->signal_mode(i) != 0);
            const bool agrees = o.result.success
                ? doc.is_object() && o.model->is_connected() && !o.model->is_running() && hapticsOn &&
                      warning.match(o.message()).hasMatch() && o.result.hide == is("hide", true) &&
                      o.result.harddrivePath == (hd.is_string() ? hd.get<std::string>() : "") &&
                      (doc.contains("sdcard") || !o.model->is_sd_card_enabled()) &&
                      (!o.result.autostart || (is("autostart", true) && !o.model->is_read_only() &&
                                               (!doc.contains("channels") || doc["channels"].is_array()) &&
                                               (!doc.contains("sdcard") || o.model->is_sd_card_enabled())))
                : failure.match(o.message()).hasMatch() && !o.result.autostart && !o.result.hide &&
                      o.result.harddrivePath.empty() && (!o.model || !o.model->is_connected());
            succeeded += o.result.success;
            QVERIFY2(agrees, qPrintable(QStringLiteral("seed %1 case %2: %3 -> %4").arg(seed).arg(done)
                                            .arg(QString::fromStdString(text.substr(0, 400)), o.message())));
        }
        QVERIFY(succeeded > 100);
    }

    void nestingAndProperties()
    {
        const std::pair<std::string, int> depths[] = {{"", 0}, {R"({"a": [1, {"b": []}]})", 4},
            {"{\"a\": \"[[[[{{{{\"}", 1}, {"[\"\\\"[[[\"]", 1}, {"[\"\\\\\", [[1]]]", 3}, {"]]]]}}}} [[[ ]]]", 3}};
        for (const auto& [text, depth] : depths) QCOMPARE(configfile::nestingDepth(text), depth);

        // Connection properties keep their text, whatever their JSON type.
        const PropertyMap map = configfile::toPropertyMap(
            json::parse(R"({"device": "KVN-B08 2201", "single": false, "port": 3, "list": [1, "a"], "none": null})"));
        QVERIFY(map.size() == 5 && map.text("device") == "KVN-B08 2201" && !map.get<bool>("single"));
        QVERIFY(map.get<int>("port") == 3 && map.text("list") == R"([1,"a"])" && map.text("none") == "null");
        QVERIFY(configfile::toPropertyMap(json::parse("[1, 2]")).empty());
    }
};

QTEST_MAIN(ConfigurationTaskTest)
#include "test_configuration.moc"
