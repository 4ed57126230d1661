// The main window's Open: a recorded folder chosen in the open dialog becomes the device and plays back.

#include "CsvWriter.h"
#include "MainWindow.h"
#include "ModalAnswerer.h"
#include "OpenDialog.h"

#include <QComboBox>
#include <QDir>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QPushButton* button(QWidget& w, const QString& text)
{
    for (auto* b : w.findChildren<QPushButton*>())
        if (b->text() == text) return b;
    return nullptr;
}

bool hasLabel(QWidget& w, const QString& text)
{
    for (auto* l : w.findChildren<QLabel*>())
        if (l->text() == text) return true;
    return false;
}

bool writeRecord(const QString& folder, int blocks)
{
    QDir().mkpath(folder);
    CsvWriter writer;
    const std::vector<KvnSignal> list = {{"EEG", 8, 8, 8, 1}, {"GSR", 1, 1, 1, 1}, {"uSD", 1, 1, 1, 0}};
    if (!writer.setup(QFile::encodeName(folder).constData(), list, "KVN-B08-2201", 2) || !writer.writeHeaders(32, true))
        return false;
    std::vector<double> values(writer.valuesPerBlock());
    for (int b = 0; b < blocks; ++b) {
        for (std::size_t k = 0; k < values.size(); ++k) values[k] = std::sin(b + double(k));
        writer.write(values.data(), uint16_t(b), b * 31250, b * 31250, 4, 0);
    }
    return writer.close();
}

// Answers the open dialog with `path` (or cancels it when `path` is empty), the sensor type question with
// its first choice, and message boxes with Ok.
struct Answers {
    QStringList boxTitles, boxTexts;
    int dialogs = 0;
    std::unique_ptr<ModalAnswerer> answerer;
    explicit Answers(const QString& path)
    {
        answerer = std::make_unique<ModalAnswerer>([this, path](QWidget* modal) {
            if (auto* open = qobject_cast<OpenDialog*>(modal)) {
                ++dialogs;
                if (path.isEmpty()) {
                    button(*open, "&Cancel")->click();
                    return true;
                }
                open->findChild<QLineEdit*>("pathInput")->setText(path);
                button(*open, "&Open")->click();
                return true;
            }
            if (auto* input = qobject_cast<QInputDialog*>(modal)) {
                input->accept();
                return true;
            }
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                boxTitles << box->windowTitle();
                boxTexts << box->text();
                box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->done(QMessageBox::Ok);
                return true;
            }
            return false;
        });
    }
};

}  // namespace

class OpenRecordTest : public QObject {
    Q_OBJECT
private slots:
    void openedRecordPlaysToItsEnd()
    {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path() + "/rec", 40));
        MainWindow w;
        Answers answers(dir.path());
        QMetaObject::invokeMethod(&w, "onOpenButtonClicked");
        QCOMPARE(answers.dialogs, 1);
        QVERIFY(answers.boxTexts.isEmpty());
        QVERIFY(hasLabel(w, "Record opened"));
        QPushButton* close = button(w, "Close");
        QVERIFY(close && close->isEnabled());
        QPushButton* start = button(w, "Start");
        QVERIFY(start && start->isEnabled());

        start->click();
        QVERIFY(!start->isEnabled());
        // 40 blocks at 32 per second, then the record's end stops the acquisition.
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 15000);
        QVERIFY(answers.boxTexts.isEmpty());
    }

    void cancelledOrEmptyChoiceOpensNothing()
    {
        QTemporaryDir dir;
        MainWindow w;
        {
            Answers answers{QString()};
            QMetaObject::invokeMethod(&w, "onOpenButtonClicked");
            QCOMPARE(answers.dialogs, 1);
        }
        {
            Answers answers(dir.path());  // accepted, but no record there
            QMetaObject::invokeMethod(&w, "onOpenButtonClicked");
            QCOMPARE(answers.dialogs, 1);
            QVERIFY(answers.boxTexts.isEmpty());
        }
        QVERIFY(hasLabel(w, "No device connected"));
        QVERIFY(!button(w, "Start")->isEnabled());
    }

    void damagedRecordIsReported()
    {
        QTemporaryDir dir;
        QVERIFY(writeRecord(dir.path() + "/rec", 10));
        QVERIFY(QFile::remove(dir.path() + "/rec/EEG.csv"));
        MainWindow w;
        Answers answers(dir.path());
        QMetaObject::invokeMethod(&w, "onOpenButtonClicked");
        QCOMPARE(answers.boxTitles, QStringList({"Connection problem"}));
        QVERIFY(answers.boxTexts.first().startsWith("Unable to connect the device "));
        QVERIFY(hasLabel(w, "Unable to connect"));
        QVERIFY(!button(w, "Start")->isEnabled());
    }
};

QTEST_MAIN(OpenRecordTest)
#include "test_open_record.moc"
