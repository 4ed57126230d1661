// Seeded random mutations of configuration files through the window's configuration task: whatever the file
// holds, the task returns a result that agrees with the file, never crashes, hangs or throws.
// KVN_FUZZ_SEED picks another seed, KVN_FUZZ_CASES another number of cases.

#include "ConfigurationFile.h"
#include "ConfigurationTestKit.h"

#include <QElapsedTimer>
#include <QtTest>
#include <random>

using nlohmann::json;

namespace {
const char* const kSeeds[] = {
    R"({"connection": {"type": "usb", "properties": {"port": 3, "baudRate": 921600}}})",
    R"({"connection": {"type": "usb", "properties": {"port": 3}}, "sensors": "dry", "lsl": true, "hide": true,
        "harddrive": "/data/x", "channels": [1, 0, true, 2, 1, 1], "sdcard": "s1/r005", "autostart": true})",
    R"({"connection": {"type": "bluetooth", "properties": {"device": "KVN-B08-2201", "single": false}},
        "sensors": "water", "channels": [1, 1, 1, 4], "autostart": true})",
    R"({"connection": {"type": "ble", "properties": {"device": "KVN-TRK-0031"}}, "lsl": true, "autostart": true})",
    R"({"connection": {"type": "usb", "properties": {"port": 10, "readOnly": true}}, "sdcard": "r1",
        "autostart": true})",
    R"({"connection": {"type": "bluetooth", "properties": {"device": "KVN-A32-0412L"}}, "sensors": "Water",
        "harddrive": 5, "sdcard": 7, "channels": "all", "autostart": "yes"})",
};
const std::vector<std::string> kKeys = {"connection", "sensors", "lsl", "hide", "harddrive", "channels", "sdcard",
                                        "autostart", "unknown"};
const std::vector<std::string> kWarnings = {"", "Unknown sensor type", "A hd device path expected",
                                            "Unable to configure SD card"};
const std::vector<std::string> kFailures = {"Unable to find configuration file ",
                                            "Unable to create a valid connection. Check the configuration parameters",
                                            "Cannot connect to the device configured",
                                            "Exception occurred during configuration phase"};

class Mutator {
public:
    explicit Mutator(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t n) { return n ? std::size_t(random_() % n) : 0; }
    bool chance(int percent) { return int(below(100)) < percent; }

    json value(int depth = 0)
    {
        switch (below(depth > 2 ? 8 : 10)) {
        case 0: return nullptr;
        case 1: return chance(50);
        case 2: return std::int64_t(random_()) >> below(64);
        case 3: return std::vector<int>{-1, 0, 1, 2, 3, 4, 9, 10, 255, 256, 65536}[below(11)];
        case 4: return double(std::int64_t(random_() % 20000) - 10000) / 7.0;
        case 5: return std::vector<std::string>{"", "dry", "water", "Water", "r005", "a/b/r1", "~/x", "~", "/",
                                                "usb", "ble", "bluetooth", "KVN-B08-2201", "3", "COM3"}[below(15)];
        case 6: {
            std::string s;
            for (std::size_t n = below(12); n > 0; --n) s.push_back(char(' ' + below(95)));
            return s;
        }
        case 7: return std::uint64_t(random_());
        case 8: {
            json a = json::array();
            for (std::size_t n = below(8); n > 0; --n) a.push_back(value(depth + 1));
            return a;
        }
        default: {
            json o = json::object();
            for (std::size_t n = below(4); n > 0; --n) o[kKeys[below(kKeys.size())]] = value(depth + 1);
            return o;
        }
        }
    }

    // Changes the document's structure: a key's value, a connection detail, a key added or removed.
    void mutateDocument(json& doc)
    {
        if (!doc.is_object()) {
            doc = value();
            return;
        }
        const std::string key = kKeys[below(kKeys.size())];
        switch (below(6)) {
        case 0: doc.erase(key); break;
        case 1: doc[key] = value(); break;
        case 2:
            if (doc.contains("connection") && doc["connection"].is_object())
                doc["connection"]["type"] = json(std::vector<std::string>{"usb", "bluetooth", "ble", "eeg64", "USB",
                                                                          "", "serial"}[below(7)]);
            break;
        case 3:
            if (doc.contains("connection") && doc["connection"].is_object()) {
                json& props = doc["connection"]["properties"];
                if (!props.is_object()) props = json::object();
                const std::string prop = std::vector<std::string>{"port", "baudRate", "device", "readOnly", "PORT",
                                                                  "single"}[below(6)];
                if (chance(30))
                    props.erase(prop);
                else
                    props[prop] = chance(50) ? value() : json(std::vector<std::string>{
                                                             "KVN-B08-2201", "KVN-TRK-0031", "KVN-A32-0412L",
                                                             "KVN-H64-1010", "nobody"}[below(5)]);
            }
            break;
        case 4:
            if (doc.contains("channels") && doc["channels"].is_array() && !doc["channels"].empty())
                doc["channels"][below(doc["channels"].size())] = value();
            else
                doc["channels"] = value();
            break;
        default: doc[key] = value(); break;
        }
    }

    // Changes the text itself: flipped, inserted, deleted, repeated or cut bytes.
    void mutateText(std::string& text)
    {
        if (text.empty()) {
            text.push_back(char(random_()));
            return;
        }
        const std::size_t at = below(text.size());
        switch (below(6)) {
        case 0: text[at] = char(random_()); break;
        case 1: text.insert(at, 1, "{}[]\",:0-eE.\\ \n"[below(15)]); break;
        case 2: text.erase(at, below(16) + 1); break;
        case 3: text.insert(at, text.substr(at, below(32) + 1)); break;
        case 4: text.resize(at); break;
        default: text.insert(at, std::string(below(200) + 1, chance(50) ? '[' : '{')); break;
        }
    }

private:
    std::mt19937_64 random_;
};

std::uint64_t envNumber(const char* name, std::uint64_t fallback)
{
    bool ok = false;
    const qulonglong v = qEnvironmentVariable(name).toULongLong(&ok);
    return ok ? v : fallback;
}

bool startsWithAny(const std::string& text, const std::vector<std::string>& prefixes)
{
    for (const std::string& p : prefixes)
        if (text.rfind(p, 0) == 0 && (!p.empty() || text.empty())) return true;
    return false;
}
}  // namespace

class ConfigFuzzTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    // The parser alone, on many cheap cases: only its own exceptions, never a crash.
    void parserTakesAnyBytes()
    {
        Mutator m(envNumber("KVN_FUZZ_SEED", 20261206));
        for (int i = 0; i < 20000; ++i) {
            std::string text = kSeeds[m.below(std::size(kSeeds))];
            for (std::size_t n = m.below(6) + 1; n > 0; --n) m.mutateText(text);
            try {
                const json doc = configfile::parse(text);
                configfile::toPropertyMap(doc.is_object() && doc.contains("connection") ? doc["connection"] : doc);
            } catch (const std::exception&) {
            }
        }
    }

    void taskAgreesWithTheFile()
    {
        const std::uint64_t seed = envNumber("KVN_FUZZ_SEED", 20261206);
        const int cases = int(envNumber("KVN_FUZZ_CASES", 1500));
        Mutator m(seed);
        MainWindow window;
        QElapsedTimer clock;
        clock.start();
        int done = 0, succeeded = 0;
        for (; done < cases && clock.elapsed() < 25000; ++done) {
            kit::resetFleet(dir.filePath("sdcard"));
            // Now and then the device is away or its card refuses, so those paths are fuzzed too.
            if (m.chance(15)) kit::makeUnreachable("KVN-B08-3003");
            if (m.chance(15)) {
                sim::Faults f;
                f.sdCardRefused = true;
                sim::setFaults("KVN-B08-2201", f);
            }
            std::string text;
            if (m.chance(60)) {
                json doc = json::parse(kSeeds[m.below(std::size(kSeeds))]);
                for (std::size_t n = m.below(4) + 1; n > 0; --n) m.mutateDocument(doc);
                text = doc.dump(m.chance(50) ? -1 : 2);
            } else {
                text = kSeeds[m.below(std::size(kSeeds))];
                for (std::size_t n = m.below(4) + 1; n > 0; --n) m.mutateText(text);
            }
            const QString path =
                kit::writeFile(dir, "fuzz.json", QByteArray(text.data(), int(text.size())));
            const kit::Outcome o = kit::runTask(window, path);
            const QByteArray context = QByteArray("case ") + QByteArray::number(done) + " seed " +
                                       QByteArray::number(qulonglong(seed)) + ": " +
                                       QByteArray::fromStdString(text.substr(0, 400)) + " -> " +
                                       QByteArray::fromStdString(o.result.message);
            QVERIFY2(o.invoked, context.constData());
            QCoreApplication::processEvents();  // the task's check-box changes

            json doc;
            bool parsed = true;
            try {
                doc = configfile::parse(text);
            } catch (const std::exception&) {
                parsed = false;
            }
            const bool object = parsed && doc.is_object();
            auto isTrue = [&](const char* key) { return object && doc.contains(key) && doc[key] == json(true); };

            if (!o.result.success) {
                QVERIFY2(startsWithAny(o.result.message, kFailures), context.constData());
                QVERIFY2(!o.result.autostart && !o.result.hide && o.result.harddrivePath.empty(), context.constData());
                QVERIFY2(parsed || o.result.message.rfind(kFailures[3], 0) == 0, context.constData());
                if (o.model) QVERIFY2(!o.model->is_connected(), context.constData());
                continue;
            }
            ++succeeded;
            QVERIFY2(object, context.constData());
            QVERIFY2(startsWithAny(o.result.message, kWarnings), context.constData());
            QVERIFY2(o.model && o.model->is_connected(), context.constData());
            QVERIFY2(!o.model->is_running(), context.constData());
            QCOMPARE(o.result.hide, isTrue("hide"));
            if (o.result.autostart) {
                QVERIFY2(isTrue("autostart") && !o.model->is_read_only(), context.constData());
                QVERIFY2(!doc.contains("channels") || doc["channels"].is_array(), context.constData());
                QVERIFY2(!doc.contains("sdcard") || o.model->is_sd_card_enabled(), context.constData());
            }
            if (doc.contains("harddrive") && doc["harddrive"].is_string())
                QCOMPARE(o.result.harddrivePath, doc["harddrive"].get<std::string>());
            else
                QVERIFY2(o.result.harddrivePath.empty(), context.constData());
            // Haptics are never switched by the file (they start on); the SD card only through "sdcard".
            QVERIFY2(kit::modeOf(*o.model, "HAP") != 0, context.constData());
            if (!doc.contains("sdcard")) QVERIFY2(!o.model->is_sd_card_enabled(), context.constData());
        }
        qInfo("%d cases (%d configured a device) in %lld ms", done, succeeded, qlonglong(clock.elapsed()));
        QVERIFY(done >= 50);
        QVERIFY(succeeded > 0);
    }
};

QTEST_MAIN(ConfigFuzzTest)
#include "test_configfuzz.moc"
