// The bounded reader and parser of configuration files, and how connection properties become a PropertyMap.

#include "ConfigurationFile.h"

#include <QTemporaryDir>
#include <QtTest>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using nlohmann::json;

namespace {
std::string write(const QTemporaryDir& dir, const char* name, const std::string& text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return {};
    f.write(text.data(), qint64(text.size()));
    return QFile::encodeName(path).toStdString();
}

std::string refusal(const std::string& text)
{
    try {
        configfile::parse(text);
    } catch (const configfile::Refused& e) {
        return e.what();
    } catch (const std::exception&) {
        return "parser";
    }
    return "";
}
}  // namespace

class ConfigurationFileTest : public QObject {
    Q_OBJECT
private slots:
    void nestingIgnoresBracketsInStrings()
    {
        QCOMPARE(configfile::nestingDepth(""), 0);
        QCOMPARE(configfile::nestingDepth("{\"a\": [1, {\"b\": []}]}"), 4);
        QCOMPARE(configfile::nestingDepth("{\"a\": \"[[[[{{{{\"}"), 1);
        // An escaped quote does not end the string; an escaped backslash before the quote does.
        QCOMPARE(configfile::nestingDepth("[\"\\\"[[[\"]"), 1);
        QCOMPARE(configfile::nestingDepth("[\"\\\\\", [[1]]]"), 3);
        // Stray closers never drive the count below zero and hide a later deep part.
        QCOMPARE(configfile::nestingDepth("]]]]}}}} [[[ ]]]"), 3);
    }

    void depthAndSizeAreBoundedBeforeParsing()
    {
        const int limit = configfile::kMaxDepth;
        const std::string atLimit = std::string(std::size_t(limit), '[') + std::string(std::size_t(limit), ']');
        QCOMPARE(refusal(atLimit), std::string());
        const std::string over = "[" + atLimit + "]";
        QVERIFY(QString::fromStdString(refusal(over)).contains("64 deep"));
        // Far too deep and unbalanced: refused by the count, never reaches the recursive parser.
        QVERIFY(QString::fromStdString(refusal(std::string(1000000, '['))).contains("deep"));
        // Deep brackets inside a string are text.
        QCOMPARE(configfile::parse("{\"a\": \"" + std::string(500, '[') + "\"}")["a"].get<std::string>().size(),
                 std::size_t(500));

        std::string big(configfile::kMaxBytes - 2, ' ');
        big.insert(0, "{}");
        QCOMPARE(big.size(), configfile::kMaxBytes);
        QVERIFY(configfile::parse(big).is_object());
        big.push_back(' ');
        QVERIFY(QString::fromStdString(refusal(big)).contains("larger than 16 MiB"));
    }

    void parserErrorsAreStandardExceptions()
    {
        for (const char* text : {"", "   ", "{", "{\"a\":}", "{} x", "[1,]", "1e400", "\"\xff\xfe\"", "nul"}) {
            bool threw = false;
            try {
                configfile::parse(text);
            } catch (const configfile::Refused&) {
                QFAIL(text);
            } catch (const std::exception& e) {
                threw = true;
                QVERIFY2(std::string(e.what()).size() > 0, text);
            }
            QVERIFY2(threw, text);
        }
        QVERIFY(configfile::parse("[]").is_array());
        QVERIFY(configfile::parse(" null ").is_null());
    }

    void readerBoundsWhatItReads()
    {
        QTemporaryDir dir;
        std::string text;
        QVERIFY(!configfile::readBounded(QFile::encodeName(dir.filePath("missing.json")).toStdString(), text));
        QVERIFY(!configfile::readBounded(QFile::encodeName(dir.path()).toStdString(), text));
        QVERIFY(!configfile::readBounded("", text));

        QVERIFY(configfile::readBounded(write(dir, "empty.json", ""), text));
        QVERIFY(text.empty());

        std::string binary;
        std::mt19937 random(7);
        for (int i = 0; i < 100000; ++i) binary.push_back(char(random()));
        QVERIFY(configfile::readBounded(write(dir, "binary.json", binary), text));
        QVERIFY(text == binary);

        // Larger than allowed: one byte more than the limit is read, never the whole file.
        const std::string huge(configfile::kMaxBytes + 1000, 'x');
        QVERIFY(configfile::readBounded(write(dir, "huge.json", huge), text));
        QCOMPARE(text.size(), configfile::kMaxBytes + 1);

        // A device that never ends.
        if (QFileInfo::exists("/dev/zero")) {
            QVERIFY(configfile::readBounded("/dev/zero", text));
            QCOMPARE(text.size(), configfile::kMaxBytes + 1);
        }

        // A named pipe that nobody writes to reads as empty at once instead of blocking forever.
        const QByteArray fifo = QFile::encodeName(dir.filePath("pipe.json"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QVERIFY(configfile::readBounded(fifo.toStdString(), text));
        QVERIFY(text.empty());

        // Unreadable for its owner.
        const std::string locked = write(dir, "locked.json", "{}");
        QFile::setPermissions(QString::fromStdString(locked), QFileDevice::Permissions());
        if (::geteuid() != 0) QVERIFY(!configfile::readBounded(locked, text));
    }

    void propertiesKeepTheirText()
    {
        const PropertyMap map = configfile::toPropertyMap(json::parse(R"({
            "device": "KVN-B08 2201", "single": false, "readOnly": true, "port": 3, "baudRate": 921600,
            "negative": -7, "big": 18446744073709551615, "ratio": 2.5, "none": null,
            "list": [1, "a"], "nested": {"x": 1}
        })"));
        QCOMPARE(map.size(), std::size_t(11));
        QCOMPARE(map.text("device"), std::string("KVN-B08 2201"));  // the whole text, spaces included
        QCOMPARE(map.text("single"), std::string("0"));
        QCOMPARE(map.get<bool>("readonly"), true);
        QCOMPARE(map.get<int>("port"), 3);
        QCOMPARE(map.text("baudrate"), std::string("921600"));
        QCOMPARE(map.get<int>("negative"), -7);
        QCOMPARE(map.text("big"), std::string("18446744073709551615"));
        QCOMPARE(map.text("ratio"), std::string("2.5"));
        QCOMPARE(map.text("none"), std::string("null"));
        QCOMPARE(map.text("list"), std::string("[1,\"a\"]"));
        QCOMPARE(map.text("nested"), std::string("{\"x\":1}"));
    }

    void propertiesOtherThanAnObjectGiveAnEmptyMap()
    {
        for (const char* text : {"null", "[1,2]", "\"port\"", "3", "true"})
            QVERIFY2(configfile::toPropertyMap(json::parse(text)).empty(), text);
        // Keys differing only in case are one key.
        const PropertyMap map = configfile::toPropertyMap(json::parse(R"({"Port": 3, "port": 4})"));
        QCOMPARE(map.size(), std::size_t(1));
    }
};

QTEST_GUILESS_MAIN(ConfigurationFileTest)
#include "test_configurationfile.moc"
