// The main window's Open: a recorded folder chosen in the open dialog becomes the device and plays back.

#include "CsvWriter.h"
#include "OpenDialog.h"
#include "WindowSession.h"

#include <QTemporaryDir>

#include <cmath>

namespace {

const int kBlocks = 40;

bool writeRecord(const QString& folder)
{
    CsvWriter writer;
    const std::vector<KvnSignal> list = {{"EEG", 8, 8, 8, 1}, {"GSR", 1, 1, 1, 1}, {"uSD", 1, 1, 1, 0}};
    if (!QDir().mkpath(folder) || !writer.setup(QFile::encodeName(folder).constData(), list, "KVN-B08-2201", 2) ||
        !writer.writeHeaders(32, true))
        return false;
    std::vector<double> values(writer.valuesPerBlock());
    for (int b = 0; b < kBlocks; ++b) {
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = std::sin(b + double(k));
        if (!writer.write(values.data(), uint16_t(b), b * 31250, b * 31250, 4, 0)) return false;
    }
    return writer.close();
}

// Clicks the window's Open, types `path` into the open dialog and clicks Open (Cancel when `path` is empty),
// answers a sensor type question with its first choice and message boxes with Ok. The dialogs seen, in order.
QStringList openThroughDialog(MainWindow& w, const QString& path)
{
    QStringList seen;
    ModalAnswerer answerer([&](QWidget* modal) {
        seen << modal->windowTitle();
        if (auto* open = qobject_cast<OpenDialog*>(modal)) {
            open->findChild<QLineEdit*>("pathInput")->setText(path);
            e2e::byText<QPushButton>(*open, path.isEmpty() ? "&Cancel" : "&Open")->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.last() += ": " + box->text();
            box->accept();
        } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            input->accept();
        }
        return true;
    });
    e2e::byText<QPushButton>(w, "Open")->click();
    return seen;
}

}  // namespace

class OpenRecordTest : public QObject {
    Q_OBJECT
private slots:
    void openedRecordPlaysToItsEnd()
    {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path() + "/rec"));
        e2e::Session s;
        QCOMPARE(openThroughDialog(*s.window, dir.path()), QStringList({"Open record", "EEG sensor type"}));
        QCOMPARE(s.statusText(), QStringLiteral("Record opened"));
        QVERIFY(e2e::byText<QPushButton>(*s.window, "Close")->isEnabled());
        QPushButton* start = e2e::byText<QPushButton>(*s.window, "Start");
        QVERIFY(start->isEnabled());
        s.start();
        QVERIFY(!start->isEnabled());
        // 40 blocks at 32 per second, then the record's end stops the acquisition.
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 15000);
        QCOMPARE(int(s.received.size()), kBlocks);
        for (int b = 0; b < kBlocks; ++b) QCOMPARE(s.received[std::size_t(b)].seq, b);
    }

    void cancelledOrEmptyChoiceOpensNothing()
    {
        QTemporaryDir dir;
        e2e::Session s;
        QCOMPARE(openThroughDialog(*s.window, QString()), QStringList({"Open record"}));
        QCOMPARE(openThroughDialog(*s.window, dir.path()), QStringList({"Open record"}));  // no record there
        QCOMPARE(s.statusText(), QStringLiteral("No device connected"));
        QVERIFY(!e2e::byText<QPushButton>(*s.window, "Start")->isEnabled());
    }

    void damagedRecordIsReported()
    {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path() + "/rec"));
        QVERIFY(QFile::remove(dir.path() + "/rec/EEG.csv"));
        e2e::Session s;
        const QStringList seen = openThroughDialog(*s.window, dir.path());
        QCOMPARE(seen.size(), 2);
        QVERIFY2(seen[1].startsWith("Connection problem: Unable to connect the device "), qPrintable(seen[1]));
        QCOMPARE(s.statusText(), QStringLiteral("Unable to connect"));
        QVERIFY(!e2e::byText<QPushButton>(*s.window, "Start")->isEnabled());
    }
};

QTEST_MAIN(OpenRecordTest)
#include "test_open_record.moc"
