#include <QtTest>

#include "ConnectionFactory.h"
#include "Connection.h"
#include "PropertyMap.h"

class TestPropertyMap : public QObject {
    Q_OBJECT
private slots:
    void keysIgnoreCase() {
        PropertyMap map;
        QVERIFY(map.empty());
        map.set("baudRate", 921600);
        QVERIFY(map.exists("baudrate"));
        QVERIFY(map.exists("BAUDRATE"));
        QCOMPARE(map.get<int>("BaudRate"), 921600);
        map.set("BAUDRATE", 460800);  // the same key: replaced, not added
        QCOMPARE(map.size(), std::size_t(1));
        QCOMPARE(map.get<int>("baudRate"), 460800);
        QVERIFY(map.remove("BaudRate"));
        QVERIFY(map.empty());
    }

    void storesStreamText() {
        PropertyMap map;
        map.set("port", 5);
        map.set("single", false);
        map.set("on", true);
        map.set("device", std::string("KVN A32"));
        map.set("name", "text");
        map.set("gain", 2.5);
        QCOMPARE(map.text("port"), std::string("5"));
        QCOMPARE(map.text("single"), std::string("0"));
        QCOMPARE(map.text("on"), std::string("1"));
        QCOMPARE(map.text("device"), std::string("KVN A32"));
        QCOMPARE(map.text("gain"), std::string("2.5"));
        QCOMPARE(map.get<bool>("single"), false);
        QCOMPARE(map.get<bool>("on"), true);
        QCOMPARE(map.get<double>("gain"), 2.5);
    }

    void textReadYieldsFirstWord() {
        PropertyMap map;
        map.set("device", std::string("  KVN-A32-0412L spare words"));
        QCOMPARE(map.get<std::string>("device"), std::string("KVN-A32-0412L"));
        map.set("empty", std::string(""));
        QCOMPARE(map.get<std::string>("empty"), std::string());
        // Configuration files store arrays and objects as compact JSON: the first word is all of it.
        map.set("list", std::string("[1,2,3]"));
        QCOMPARE(map.get<std::string>("list"), std::string("[1,2,3]"));
    }

    void missingKeyThrowsWithItsName() {
        PropertyMap map;
        try {
            map.get<std::string>("type");
            QFAIL("no exception");
        } catch (const std::invalid_argument& e) {
            QCOMPARE(std::string(e.what()), std::string("type property not in the map"));
        }
        QVERIFY_EXCEPTION_THROWN(map.text("port"), std::invalid_argument);
        QCOMPARE(map.getOr<int>("port", 7), 7);
        QCOMPARE(map.getOr("device", "none"), std::string("none"));
    }

    void malformedValuesThrowInsteadOfGuessing() {
        PropertyMap map;
        map.set("port", std::string("COM"));
        map.set("flag", std::string("maybe"));
        QVERIFY_EXCEPTION_THROWN(map.get<int>("port"), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(map.get<bool>("flag"), std::invalid_argument);
        map.set("flag", std::string("true"));
        QCOMPARE(map.get<bool>("flag"), true);
    }

    void copiesAreIndependent() {
        PropertyMap a;
        a.set("type", "usb");
        PropertyMap b = a;
        QVERIFY(a == b);
        b.set("type", "bluetooth");
        QCOMPARE(a.get<std::string>("type"), std::string("usb"));
        QVERIFY(a != b);
    }

    void factoryReadsTheMap() {
        PropertyMap bt;
        bt.set("device", "KVN-A32-0412L");
        bt.set("single", false);
        std::unique_ptr<Connection> c(ConnectionFactory::createAndSetup("bluetooth", bt));
        QVERIFY(c);
        QCOMPARE(c->type(), std::string("bluetooth"));
        QVERIFY(!c->readOnly());
        QCOMPARE(c->information(), std::string("KVN-A32-0412L"));

        PropertyMap usb;
        usb.set("port", 10);
        usb.set("baudRate", 921600);
        usb.set("readOnly", true);
        c.reset(ConnectionFactory::createAndSetup("USB", usb));
        QVERIFY(c);
        QVERIFY(c->readOnly());
        QCOMPARE(c->information(), std::string("KVN-H64-1010"));

        usb.set("port", 0);  // the wizard's number for a port name it could not read
        usb.set("readOnly", false);
        c.reset(ConnectionFactory::createAndSetup("usb", usb));
        QVERIFY(c);
        QVERIFY(!c->connect());
        QCOMPARE(c->information(), std::string("COM0"));
        usb.set("port", 3);
        usb.set("baudRate", 0);  // a typed rate that was not a number
        c.reset(ConnectionFactory::createAndSetup("usb", usb));
        QVERIFY(c && !c->connect());
        usb.set("baudRate", 921600);
        c.reset(ConnectionFactory::createAndSetup("usb", usb));
        QVERIFY(c && c->connect());
        QVERIFY(!ConnectionFactory::createAndSetup("serial", usb));
        QVERIFY_EXCEPTION_THROWN(ConnectionFactory::createAndSetup("ble", PropertyMap()), std::invalid_argument);
    }
};

QTEST_GUILESS_MAIN(TestPropertyMap)
#include "test_propertymap.moc"
