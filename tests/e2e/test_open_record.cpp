// The main window's Open: a recorded folder chosen in the open dialog becomes the device and plays back.

#include "CsvWriter.h"
#include "OpenDialog.h"
#include "WindowSession.h"

#include <cmath>
#include <sys/stat.h>

using namespace e2e;

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
            if (!QTest::qWaitFor([open] { return !open->isSearching(); }, 20000))
                seen << "search never ended";
            byText<QPushButton>(*open, path.isEmpty() ? "&Cancel" : "&Open")->click();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.last() += ": " + box->text();
            box->accept();
        } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            input->accept();
        }
        return true;
    });
    byText<QPushButton>(w, "Open")->click();
    return seen;
}

}  // namespace

class OpenRecordTest : public QObject {
    Q_OBJECT
private slots:
    void openedRecordPlaysToItsEnd()
    {
        QTemporaryDir dir;
        Session s;
        // Cancelled, or a folder without a record: nothing is opened.
        QCOMPARE(openThroughDialog(*s.window, QString()), QStringList({"Open record"}));
        QCOMPARE(openThroughDialog(*s.window, dir.path()), QStringList({"Open record"}));
        QCOMPARE(s.statusText(), QStringLiteral("No device connected"));
        QPushButton* start = s.button("Start");
        QVERIFY(!start->isEnabled());

        QVERIFY(writeRecord(dir.path() + "/rec"));
        QCOMPARE(openThroughDialog(*s.window, dir.path()), QStringList({"Open record", "EEG sensor type"}));
        QCOMPARE(s.statusText(), QStringLiteral("Record opened"));
        QVERIFY(s.button("Close")->isEnabled() && start->isEnabled());
        s.start();
        QVERIFY(!start->isEnabled());
        // 40 blocks at 32 per second, then the record's end stops the acquisition.
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 15000);
        QCOMPARE(int(s.received.size()), kBlocks);
        for (int b = 0; b < kBlocks; ++b) QCOMPARE(s.received[std::size_t(b)].seq, b);
    }

    // A line damaged in the middle costs its block only; the user is told once the record is over.
    void damagedMiddleIsToldAtTheEnd()
    {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path() + "/rec"));
        QFile eeg(dir.path() + "/rec/EEG.csv");
        QVERIFY(eeg.open(QIODevice::ReadWrite));
        QByteArray text = eeg.readAll();
        const int at = text.indexOf('\n', text.size() / 2) + 1;
        text.replace(at, 10, "##########");
        eeg.seek(0);
        eeg.write(text);
        eeg.close();
        Session s;
        openThroughDialog(*s.window, dir.path());
        s.start();
        QTRY_VERIFY_WITH_TIMEOUT(s.button("Start")->isEnabled(), 15000);
        QVERIFY2(s.received.size() >= std::size_t(kBlocks - 2) && s.received.size() < std::size_t(kBlocks),
                 qPrintable(QString::number(s.received.size())));
        QMessageBox* told = shownBox(*s.window, "Damaged record");
        QVERIFY(told && !told->isModal());
        QVERIFY2(told->text().contains("EEG.csv"), qPrintable(told->text()));
    }

    void damagedRecordIsReported()
    {
        // A folder the reader refuses leaves no device, and the message says why. The description's claim of
        // 1000 channels x 100000 samples once sized the viewer's buffer (std::bad_alloc); a pipe hung the reader.
        const struct {
            const char* file;
            const char *from, *to;  // nullptr: the file is removed; "fifo": a named pipe takes its place
            const char* reason;
        } rows[] = {{"EEG.csv", nullptr, nullptr, "cannot open"},
                    {"signalsInfo.csv", ",EEG,8,8,", ",EEG,1000,100000,", "100000 samples per block (at most 4096)"},
                    {"signalsInfo.csv", ",EEG,8,8,", ",EEG,100000,8,", "100000 channels (at most 1024)"},
                    {"GSR.csv", "fifo", nullptr, "GSR.csv is not a regular file"}};
        for (const auto& row : rows) {
            QTemporaryDir dir;
            QVERIFY(writeRecord(dir.path() + "/rec"));
            const QString path = dir.path() + "/rec/" + row.file;
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray text = file.readAll();
            file.close();
            QVERIFY(QFile::remove(path));
            if (row.from && QByteArray(row.from) == "fifo") {
                QVERIFY(mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
            } else if (row.from) {
                QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(text).replace(row.from, row.to)) > 0);
                file.close();
                // The data file agrees with the claim, so the claim alone must be refused.
                QFile eeg(dir.path() + "/rec/EEG.csv");
                QVERIFY(eeg.open(QIODevice::WriteOnly));
                eeg.write("sample,sequence,battery,flags,timestamp,utc");
                for (int c = 1; c <= QByteArray(row.to).split(',').at(2).toInt(); ++c)
                    eeg.write(",ch" + QByteArray::number(c));
                eeg.write("\n");
            }
            Session s;
            const QStringList seen = openThroughDialog(*s.window, dir.path());
            QCOMPARE(seen.size(), 2);
            QVERIFY2(seen[1].startsWith("Connection problem: Unable to connect the device ") && seen[1].contains(row.reason),
                     qPrintable(seen[1]));
            QCOMPARE(s.statusText(), QStringLiteral("Unable to connect"));
            QVERIFY(!s.button("Start")->isEnabled());
        }
    }
};

QTEST_MAIN(OpenRecordTest)
#include "test_open_record.moc"
