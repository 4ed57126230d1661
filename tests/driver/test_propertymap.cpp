#include <QtTest>

#include "ConnectionFactory.h"
#include "Connection.h"
#include "PropertyMap.h"

class TestPropertyMap : public QObject {
    Q_OBJECT
private slots:
    void keysIgnoreCaseAndBadValuesThrow() {
        PropertyMap map;
        map.set("baudRate", 921600);
        map.set("BAUDRATE", 460800);  // the same key: replaced, not added
        QVERIFY(map.size() == 1 && map.get<int>("baudrate") == 460800);
        // A text read yields the first word; configuration files store arrays as compact JSON, so all of it.
        map.set("device", std::string("  KVN-A32-0412L spare words"));
        map.set("list", std::string("[1,2,3]"));
        QVERIFY(map.get<std::string>("device") == "KVN-A32-0412L" && map.get<std::string>("list") == "[1,2,3]");
        map.set("port", std::string("COM"));
        map.set("flag", std::string("maybe"));
        QVERIFY_EXCEPTION_THROWN(map.get<int>("port"), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(map.get<bool>("flag"), std::invalid_argument);
        QVERIFY_EXCEPTION_THROWN(map.get<int>("missing"), std::invalid_argument);
    }

    void factoryRefusesWhatCannotConnect() {
        PropertyMap usb;
        usb.set("readOnly", false);
        // Port 0: the wizard's number for a port name it could not read; rate 0: a typed rate that was no number.
        const struct { int port, rate; bool connects; } links[] = {{0, 921600, false}, {3, 0, false}, {3, 921600, true}};
        for (const auto& l : links) {
            usb.set("port", l.port);
            usb.set("baudRate", l.rate);
            std::unique_ptr<Connection> c(ConnectionFactory::createAndSetup("USB", usb));
            QVERIFY(c && c->connect() == l.connects);
        }
        QVERIFY(!ConnectionFactory::createAndSetup("serial", usb));
        QVERIFY_EXCEPTION_THROWN(ConnectionFactory::createAndSetup("ble", PropertyMap()), std::invalid_argument);
    }
};

QTEST_GUILESS_MAIN(TestPropertyMap)
#include "test_propertymap.moc"
