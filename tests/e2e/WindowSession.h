#pragma once

// Drives the main window as a user would, for the end-to-end tests: the Connect button with the wizard and the
// questions answered, the record boxes, Start and Stop; and a spy on every block the window receives. Also what
// the tests check records and streams with: the program's reader and the Python tools.

#include "CsvReader.h"
#include "MainWindow.h"
#include "Simulation.h"
#include "ModalAnswerer.h"
#include "ReadBT.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QWizard>
#include <QtTest>

namespace e2e {

// Every test starts from a clean fleet: no device state left by an earlier case (a link left down stays down
// otherwise), its own SD card folder, no faults, four times real speed.
inline void resetSimulation(const QString& sdCardFolder, double timeScale = 4.0)
{
    sim::reset();
    sim::setSdCardRoot(sdCardFolder.toStdString());
    sim::clearFaults();
    sim::setTimeScale(timeScale);
}

// The same with one SD card folder for the whole test program.
inline bool freshFleet(double timeScale = 4.0)
{
    static QTemporaryDir cards;
    resetSimulation(cards.path(), timeScale);
    return cards.isValid();
}

struct Block {
    std::vector<double> data;
    int seq;
    short battery;
    ushort flags;
    qint64 stamp = 0;
    int reports = 0;  // lost-connection and no-data reports before this block, where a test counts them
};

inline QStringList subfolders(const QString& parent)
{
    return QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// The one record below `parent`; empty when there is none or there are several.
inline QString onlySubfolder(const QString& parent)
{
    const QStringList entries = subfolders(parent);
    return entries.size() == 1 ? parent + "/" + entries.first() : QString();
}

// A record read back with the program's reader, each block's values in one row; `error` says why it could not be.
inline std::vector<Block> readRecord(const QString& folder, QString* error = nullptr)
{
    std::vector<Block> out;
    CsvReader reader;
    if (!reader.open(QFile::encodeName(folder).toStdString()) || !reader.start()) {
        if (error) *error = "unreadable record " + folder + ": " + QString::fromStdString(reader.error());
        return out;
    }
    for (Frame f = reader.read(); !f.isEnd(); f = reader.read()) {
        Block b{{}, f.sequence, f.battery, f.flags, f.timestamp};
        for (const DataBlock& d : f.blocks) b.data.insert(b.data.end(), d.data(), d.data() + d.rows() * d.cols());
        out.push_back(std::move(b));
    }
    return out;
}

// How many blocks the record holds when they are the first of `received` in order, equal in every field (the
// unsynchronised blocks of an EEG 64 pair, flags 7, left out when `skipFlags7`); -1 when the record cannot be
// read or holds a block that was not received there.
inline int recordedPrefix(const QString& folder, const std::vector<Block>& received, bool skipFlags7 = false)
{
    QString error;
    const std::vector<Block> record = readRecord(folder, &error);
    std::size_t k = 0;
    for (std::size_t i = 0; i < record.size() && error.isEmpty(); ++i, ++k) {
        while (k < received.size() && skipFlags7 && received[k].flags == 7) ++k;
        const Block& a = record[i];
        if (k >= received.size())
            error = QString("the record holds %1 blocks or more, more than were received").arg(i + 1);
        else if (a.seq != received[k].seq || a.battery != received[k].battery || a.flags != received[k].flags ||
                 a.data != received[k].data)
            error = QString("block %1 (sequence %2) is not the one received (sequence %3)")
                        .arg(i).arg(a.seq).arg(received[k].seq);
    }
    if (!error.isEmpty()) qWarning("%s", qPrintable(error));
    return error.isEmpty() ? int(record.size()) : -1;
}

inline QJsonObject recordInfo(const QString& folder)
{
    QFile json(folder + "/signalsInfo.json");
    return json.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(json.readAll()).object() : QJsonObject();
}

// A message box the window shows without blocking it, by its title.
inline QMessageBox* shownBox(QWidget& window, const QString& title)
{
    for (QMessageBox* box : window.findChildren<QMessageBox*>())
        if (box->isVisible() && box->windowTitle() == title) return box;
    return nullptr;
}

inline QString sourcePath(const QString& path) { return qEnvironmentVariable("KVN_SOURCE_DIR") + "/" + path; }
inline bool haveTestPython() { return QFile::exists(sourcePath(".venv/bin/python")); }

// Runs one of tests/tools with the test Python environment and the build's liblsl, while the window goes on
// receiving blocks; its standard output, empty when it did not end within `ms`.
inline QByteArray runTool(const QString& script, const QStringList& args, int ms = 120000)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PYLSL_LIB", qEnvironmentVariable("KVN_LSL_LIBRARY"));
    p.setProcessEnvironment(env);
    p.start(sourcePath(".venv/bin/python"), QStringList{sourcePath("tests/tools/" + script)} + args);
    if (QTest::qWaitFor([&p] { return p.state() == QProcess::NotRunning; }, ms)) return p.readAllStandardOutput();
    p.kill();
    p.waitForFinished();
    return {};
}

// The streams an independent LSL consumer saw: `expected` streams named `prefix`..., `samples` samples of each.
inline QJsonArray consumedStreams(const QString& prefix, int expected, int samples, int seconds, bool* ended = nullptr)
{
    const QStringList args{prefix, QString::number(expected), QString::number(samples), QString::number(seconds)};
    const QByteArray out = runTool("lsl_consumer.py", args, (seconds + 30) * 1000);
    const QJsonObject seen = QJsonDocument::fromJson(out.mid(out.lastIndexOf("{\"streams\""))).object();
    if (ended) *ended = seen.contains("streams");
    if (!seen.contains("streams")) qWarning("the consumer said: %s", out.constData());
    return seen.value("streams").toArray();
}

template <typename T>
T* byText(QWidget& w, const QString& text)
{
    for (T* c : w.findChildren<T*>())
        if (c->text() == text) return c;
    return nullptr;
}

// Answers the connection wizard (picking `choice` and `device`, or the second entry on the right for EEG 64)
// and the sensor type question ("Water").
class UserAnswers {
public:
    UserAnswers(const QString& choice, const QString& device, const QString& sensor = "Water")
        : sensor_(sensor), answerer([this, choice, device](QWidget* modal) { return answer(modal, choice, device); })
    {
    }
    QString sensor_;  // empty: cancel the question
    // A question box gets this button clicked; NoButton closes it with no choice, as closing its window does.
    QMessageBox::StandardButton questionReply = QMessageBox::NoButton;
    QStringList questions;
    int sensorQuestions = 0;
    int auxQuestions = 0;
    int imus = 0;  // IMUs plugged into each digital aux input
    QStringList warnings;
    ModalAnswerer answerer;

private:
    bool answer(QWidget* modal, const QString& choice, const QString& device)
    {
        if (auto* wizard = qobject_cast<QWizard*>(modal)) {
            for (auto* r : wizard->currentPage()->findChildren<QRadioButton*>())
                if (r->text() == choice) r->setChecked(true);
            wizard->next();
            const auto combos = wizard->currentPage()->findChildren<QComboBox*>();
            if (choice == "EEG 64") {
                combos[0]->setCurrentIndex(combos[0]->findText("KVN-A32-0412L"));
                combos[1]->setCurrentIndex(combos[1]->findText("KVN-A32-0412R"));
            } else if (!combos.isEmpty()) {
                combos[0]->setCurrentIndex(combos[0]->findText(device));
            }
            wizard->accept();
            return true;
        }
        if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            ++sensorQuestions;
            if (sensor_.isEmpty()) {
                input->reject();
            } else {
                input->setTextValue(sensor_);
                input->accept();
            }
            return true;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            if (box->button(QMessageBox::Yes)) {
                questions << box->windowTitle() + ": " + box->text();
                if (QAbstractButton* b = box->button(questionReply)) {
                    b->click();
                    return true;
                }
            } else {
                warnings << box->windowTitle() + ": " + box->text();
            }
            box->accept();
            return true;
        }
        // What is plugged into a digital aux input: nothing, or `imus` IMUs.
        if (modal->windowTitle() == "Digital Aux input configuration") {
            ++auxQuestions;
            if (imus > 0) {
                modal->findChild<QComboBox*>()->setCurrentIndex(1);
                modal->findChild<QSpinBox*>()->setValue(imus);
            }
            for (auto* b : modal->findChildren<QPushButton*>())
                if (b->text() == "Ok") b->click();
            return true;
        }
        return false;
    }
};

class Session {
public:
    Session() : window(new MainWindow(nullptr))
    {
        auto* thread = window->findChild<ReadBT*>("readThread");
        QObject::connect(thread, &ReadBT::resultReady, &context,
                         [this](const std::vector<double>& d, int seq, short b, ushort f, qlonglong, qlonglong) {
                             if (recording) received.push_back({d, seq, b, f});
                         },
                         Qt::QueuedConnection);
    }
    ~Session() { delete window; }

    QString statusText() { return window->findChild<QLabel*>("deviceLabel")->text(); }
    QPushButton* button(const QString& text) { return byText<QPushButton>(*window, text); }
    QString deviceTitle() { return window->findChild<QGroupBox*>()->title(); }
    bool threadRunning() { return window->findChild<ReadBT*>("readThread")->isRunning(); }

    bool connectTo(const QString& choice, const QString& device, const QString& sensor = "Water",
                   QMessageBox::StandardButton questionReply = QMessageBox::NoButton)
    {
        UserAnswers answers(choice, device, sensor);
        answers.questionReply = questionReply;
        answers.imus = imus;
        byText<QPushButton>(*window, "Connect")->click();
        const bool ok = QTest::qWaitFor([&] { return byText<QPushButton>(*window, "Start")->isEnabled(); }, 20000);
        sensorQuestions = answers.sensorQuestions;
        warnings = answers.warnings;
        questions = answers.questions;
        return ok;
    }

    void enableHardDrive(const QString& folder)
    {
        window->findChild<QLineEdit*>("hdFolderInput")->setText(folder);
        byText<QCheckBox>(*window, "Hard drive record")->setChecked(true);
    }

    void start()
    {
        recording = true;
        byText<QPushButton>(*window, "Start")->click();
    }
    // Every block the thread handed on before Stop ended it is recorded, also those still queued for the spy:
    // the spy takes them before it stops listening.
    void stop()
    {
        byText<QPushButton>(*window, "Stop")->click();
        QCoreApplication::sendPostedEvents(&context, QEvent::MetaCall);
        recording = false;
    }
    bool waitBlocks(std::size_t n, int ms) { return QTest::qWaitFor([&] { return received.size() >= n; }, ms); }
    // Connected to the headset, recording to `folder` when one is given, and `n` blocks received.
    bool acquireFromHeadset(std::size_t n, const QString& folder = {}, int ms = 30000)
    {
        if (!connectTo("Bluetooth", "KVN-A32-0412L")) return false;
        if (!folder.isEmpty()) enableHardDrive(folder);
        start();
        return waitBlocks(n, ms);
    }

    MainWindow* window;
    QObject context;
    std::vector<Block> received;
    bool recording = false;
    int imus = 0;  // answered for each digital aux input at the next connectTo
    int sensorQuestions = 0;
    QStringList warnings;
    QStringList questions;
};

}  // namespace e2e
