#pragma once

// Drives the main window as a user would, for the end-to-end tests: the Connect button with the wizard and the
// questions answered, the record boxes, Start and Stop; and a spy on every block the window receives.

#include "MainWindow.h"
#include "Simulation.h"
#include "ModalAnswerer.h"
#include "ReadBT.h"

#include <QCheckBox>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QWizard>
#include <QtTest>

namespace e2e {

// Every test starts from a clean fleet: its own SD card folder, no faults, four times real speed.
inline void resetSimulation(const QString& sdCardFolder, double timeScale = 4.0)
{
    sim::setSdCardRoot(sdCardFolder.toStdString());
    sim::clearFaults();
    sim::setTimeScale(timeScale);
}

struct Block {
    std::vector<double> data;
    int seq;
    short battery;
    ushort flags;
};

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
