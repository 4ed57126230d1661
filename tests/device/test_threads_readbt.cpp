// The acquisition thread against simulated devices (time-scaled) and a played-back record.

#include "DriverModel.h"
#include "ReadBT.h"
#include "RecordModel.h"
#include "Support.h"

#include <QDir>
#include <QtTest>

#include <memory>

namespace {

// The thread with its reports collected on the test's own thread, through queued connections.
struct Acquisition : QObject {
    ReadBT thread;
    std::vector<std::vector<double>> data;
    std::vector<int> seqs;
    std::vector<size_t> lostAfter, endAfter;

    explicit Acquisition(DeviceModel& m, bool restartAllowed = true) {
        connect(&thread, &ReadBT::resultReady, this,
                [this](const std::vector<double>& d, int seq, short, ushort, qlonglong, qlonglong) {
                    data.push_back(d);
                    seqs.push_back(seq);
                });
        connect(&thread, &ReadBT::lostConnnection, this, [this] { lostAfter.push_back(seqs.size()); });
        connect(&thread, &ReadBT::signalEnd, this, [this] { endAfter.push_back(seqs.size()); });
        thread.setModel(&m, restartAllowed);
        thread.start();
    }
    bool stop() {
        thread.requestInterruption();
        const bool ended = thread.wait(5000);
        QCoreApplication::processEvents();
        return ended;
    }
    // The places where a block does not follow its predecessor.
    int jumps() const {
        int n = 0;
        for (size_t i = 1; i < seqs.size(); ++i)
            n += seqs[i] != (seqs[i - 1] + 1) % 65536;
        return n;
    }
};

// As a 64-channel headset of the first series reports itself.
struct FirmwareOne : ConfigurableDriverModel {
    std::string version() const override { return "HW1.0_FW1.0"; }
};

// A simulated device connected with every signal on and the SD card off, as the main window does. The tracker
// is old and reached over a read-only link; the 64-channel headset is on USB.
std::unique_ptr<DeviceModel> connectedModel(const std::string& device, bool firmwareOne = false) {
    std::unique_ptr<DeviceModel> m;
    if (device == "KVN-TRK-0031") {
        auto* d = new DriverModel;
        d->setup(bluetoothTo(device, true));
        m.reset(d);
    } else {
        PropertyMap port;
        port.set("port", 10);
        auto* c = firmwareOne ? new FirmwareOne : new ConfigurableDriverModel;
        c->setup(device == "KVN-H64-1010" ? ConnectionFactory::createAndSetup("usb", port) : bluetoothTo(device), {},
                 false);
        m.reset(c);
    }
    CoutCapture quiet;
    m->connect_device();
    std::string modes;
    for (unsigned i = 0; i < m->signal_count(); ++i)
        modes += m->signal_name(i) == "uSD" ? '\0' : '\1';
    if (auto* c = qobject_cast<ConfigurableDeviceModel*>(m.get()))
        c->set_signal_modes(modes);
    return m;
}

}  // namespace

class TestThreadsReadBT : public QObject {
    Q_OBJECT
private slots:
    void firmwareVersionIsParsedWhole() {
        const struct { const char* text; int major, minor; } cases[] = {
            {"HW0.0_FW1.0", 1, 0}, {"HW12.3FW10.25", 10, 25}, {"HW2.0_FW1.1b", -1, -1}, {"xHW2.0_FW1.1", -1, -1},
            {"HWFW1.1", -1, -1},   {"", -1, -1},              {"HW1FW99999999999.1", -1, -1}};
        for (const auto& c : cases) {
            int major = 0, minor = 0;
            ReadBT::parseFirmwareVersion(c.text, major, minor);
            QVERIFY2(major == c.major && minor == c.minor, c.text);
        }
    }

    void longRunHasNoGapAndNoDuplicate() {
        SimFleet fleet(3);
        sim::Faults f;
        f.startSequence = 65200;  // the run crosses the wrap from 65535 to 0
        // Only the reader is under test: however long a loaded machine stalls it, no block falls out of the radio.
        f.bufferSeconds = 3600;
        sim::setFaults("KVN-H64-1010", f);
        auto m = connectedModel("KVN-H64-1010");
        m->start();
        Acquisition a(*m);
        QTRY_VERIFY_WITH_TIMEOUT(a.seqs.size() >= 1200, 60000);
        QVERIFY(a.stop());
        QCOMPARE(a.seqs.front(), 65200);
        QCOMPARE(a.jumps(), 0);
        for (const auto& d : a.data)
            QCOMPARE(d.size(), size_t(64 * 16));
        QVERIFY(a.lostAfter.empty() && a.endAfter.empty());
    }

    void acquisitionOutlivesDeviceTrouble_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("fault");  // 0: link drop, 1: no data for a while, 2: stops by itself
        QTest::addColumn<bool>("lost");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("link drop") << "KVN-A32-0412L" << 0 << true
                                   << QStringList{"Read ... DISCONNECTED\n", "Reconnect ...OK\n"};
        // The read-only model's connect loop speaks in the middle of the thread's line.
        QTest::newRow("gap, firmware 1.0") << "KVN-TRK-0031" << 1 << true << QStringList{"Read ... NO DATA\n",
            "FORCE DISCONNECTION\n", "Reconnect ...trying to connect 0...\nOK\n"};
        QTest::newRow("gap, firmware 1.1") << "KVN-B08-2201" << 1 << false << QStringList{"Read ... NO DATA\n"};
        QTest::newRow("gap, firmware 1.0, 64 channels")
            << "KVN-H64-1010" << 1 << false << QStringList{"Read ... NO DATA\n"};
        QTest::newRow("stop") << "KVN-B08-2201" << 2 << false << QStringList{"Restart ...OK\n"};
    }

    void acquisitionOutlivesDeviceTrouble() {
        QFETCH(QString, device);
        QFETCH(int, fault);
        QFETCH(bool, lost);
        QFETCH(QStringList, said);
        const std::string name = device.toStdString();
        SimFleet fleet(name == "KVN-H64-1010" ? 3 : 10);  // its large blocks would overflow a starved reader's buffer
        sim::Faults f;
        (fault == 0 ? f.dropAfterBlocks : fault == 1 ? f.gapAfterBlocks : f.stopAfterBlocks) = 40;
        f.dropSeconds = f.gapSeconds = 2.0;
        sim::setFaults(name, f);
        auto m = connectedModel(name, name == "KVN-H64-1010");
        auto* c = qobject_cast<ConfigurableDeviceModel*>(m.get());
        if (fault == 2) {
            c->set_folder_name("viewer/restart/");
            c->set_file_name("rec");
            c->enable_sd_card(true);
        }
        m->start();
        CoutCapture out;
        Acquisition a(*m);
        QTRY_VERIFY_WITH_TIMEOUT(a.seqs.size() >= 60, 30000);
        if (fault == 2)
            sim::setFaults(name, f);  // it stops by itself once more
        QTRY_VERIFY_WITH_TIMEOUT(a.seqs.size() >= 140, 30000);
        QVERIFY(a.stop() && m->is_connected() && m->is_running());
        for (const QString& s : said)
            QVERIFY2(out.count(s.toStdString()) >= 1, out.str().c_str());
        QCOMPARE(!a.lostAfter.empty(), lost);
        QVERIFY(a.jumps() <= (fault == 2 ? 2 : 1));  // blocks in order but where the trouble struck
        if (fault == 2) {
            QCOMPARE(c->file_name(), std::string("rec_1"));
            const QDir card(QString::fromStdString(sim::sdCardFolder(name)) + "/viewer/restart");
            QCOMPARE(card.entryList({"*.kvb"}), QStringList({"0_rec.kvb", "0_rec_0.kvb", "0_rec_1.kvb"}));
        }
    }

    void threadStopsAndSurvivesTrouble() {
        SimFleet fleet(1);  // real time: a read waits ~31 ms for its block
        auto m = connectedModel("KVN-A32-0412R");
        m->start();
        CoutCapture out;
        {
            Acquisition a(*m);
            QTRY_VERIFY_WITH_TIMEOUT(a.seqs.size() >= 3, 10000);
        }  // destroying a running thread stops it instead of aborting
        // A stopped device and no restart allowed: one refusal, then a pause, not a tight loop.
        m->stop();
        Acquisition(*m, false).thread.wait(300);  // a thread that runs for 300 ms
        QCOMPARE(out.count("Restart required but configured not to do it\n"), 1);
        // A device out of reach: one attempt, then a pause that ends at once when asked.
        sim::Faults gone;
        gone.unreachable = true;
        sim::setFaults("KVN-A32-0412R", gone);
        {
            Acquisition a(*m);
            QTest::qWait(300);
            a.thread.requestInterruption();
            QVERIFY(a.thread.wait(1000));
        }
        QCOMPARE(out.count("Reconnect ...NOPE\n"), 1);

        // An exception from the device library (an auxiliary device without a type) is reported and tried again
        // after a pause, not left to end the program.
        PropertyMap noType;
        noType.set("device", "KVN-TRK-0031");
        ConfigurableDriverModel broken;
        broken.setup(bluetoothTo("KVN-A32-0412L"), {noType}, false);
        broken.connect_device();
        Acquisition(broken).thread.wait(300);
        QCOMPARE(out.count("Acquisition error: type property not in the map\n"), 1);
    }

    void recordPlaysBackThenReportsItsEnd() {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path(), 1000, 50));
        RecordModel m;
        QVERIFY(m.open(dir.path().toStdString()));
        m.connect_device();
        m.start();
        CoutCapture out;
        Acquisition a(m);
        QTRY_VERIFY_WITH_TIMEOUT(!a.endAfter.empty(), 20000);
        // Nothing follows the end, however late the owner stops the thread: it ends by itself, and a restart
        // would have played the record again from its first block.
        QVERIFY(a.thread.wait(20000));
        QCoreApplication::processEvents();
        QVERIFY(a.stop());
        QCOMPARE(a.endAfter, std::vector<size_t>{50});
        QCOMPARE(a.seqs.size(), size_t(50));
        for (int b = 0; b < 50; ++b)
            QVERIFY(a.seqs[b] == (65530 + b) % 65536 && a.data[b].at(kValues - 1) == valueOf(b, kValues - 1));
        QVERIFY(a.lostAfter.empty() && out.count("Read ... END\n") >= 1);
    }
};

QTEST_GUILESS_MAIN(TestThreadsReadBT)
#include "test_threads_readbt.moc"
