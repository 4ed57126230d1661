#include <QtTest>

#include "ConnectionFactory.h"
#include "Connection.h"
#include "PropertyMap.h"

class TestPropertyMap : public QObject {
    Q_OBJECT
private slots:
    void typedValuesRoundTripUnderKeysOfAnyCase() {
        PropertyMap map;
        map.set("baudRate", 921600);
        map.set("BAUDRATE", 460800);  // the same key: replaced, not added
        QVERIFY(map.size() == 1 && map.get<int>("baudrate") == 460800);
        QVERIFY(map.remove("BaudRate") && map.empty());
        map.set("single", false);
        map.set("on", true);
        map.set("device", std::string("  KVN-A32-0412L spare words"));
        map.set("gain", 2.5);
        map.set("list", std::string("[1,2,3]"));
        QCOMPARE(map.text("single") + map.text("on"), std::string("01"));
        QVERIFY(!map.get<bool>("single") && map.get<bool>("on"));
        QCOMPARE(map.get<double>("gain"), 2.5);
        // A text read yields the first word; configuration files store arrays as compact JSON, so all of it.
        QCOMPARE(map.get<std::string>("device"), std::string("KVN-A32-0412L"));
        QCOMPARE(map.get<std::string>("list"), std::string("[1,2,3]"));
    }

    void missingOrMalformedValuesThrow() {
        PropertyMap map;
        std::string message;
        try { map.get<std::string>("type"); } catch (const std::invalid_argument& e) { message = e.what(); }
        QCOMPARE(message, std::string("type property not in the map"));
        QCOMPARE(map.getOr<int>("port", 7), 7);
        QCOMPARE(map.getOr("device", "none"), std::string("none"));
        map.set("port", std::string("COM"));
        map.set("flag", std::string("maybe"));
        QVERIFY_EXCEPTION_THROWN(map.get<int>("port"), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(map.get<bool>("flag"), std::invalid_argument);
        map.set("flag", std::string("true"));  // words are taken too
        QVERIFY(map.get<bool>("flag"));
    }

    void factoryReadsTheMap() {
        PropertyMap bt, usb;
        bt.set("device", "KVN-A32-0412L");
        std::unique_ptr<Connection> c(ConnectionFactory::createAndSetup("bluetooth", bt));
        QVERIFY(c && c->type() == "bluetooth" && !c->readOnly() && c->information() == "KVN-A32-0412L");

        usb.set("port", 10);
        usb.set("baudRate", 921600);
        usb.set("readOnly", true);
        c.reset(ConnectionFactory::createAndSetup("USB", usb));
        QVERIFY(c && c->readOnly() && c->information() == "KVN-H64-1010");
        usb.set("readOnly", false);
        // Port 0: the wizard's number for a port name it could not read; rate 0: a typed rate that was no number.
        const struct { int port, rate; bool connects; } links[] = {
            {0, 921600, false}, {3, 0, false}, {3, 921600, true}};
        for (const auto& l : links) {
            usb.set("port", l.port);
            usb.set("baudRate", l.rate);
            c.reset(ConnectionFactory::createAndSetup("usb", usb));
            QVERIFY(c && c->connect() == l.connects);
            if (!l.port) QCOMPARE(c->information(), std::string("COM0"));
        }
        QVERIFY(!ConnectionFactory::createAndSetup("serial", usb));
        QVERIFY_EXCEPTION_THROWN(ConnectionFactory::createAndSetup("ble", PropertyMap()), std::invalid_argument);
    }
};

QTEST_GUILESS_MAIN(TestPropertyMap)
#include "test_propertymap.moc"
