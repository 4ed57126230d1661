#pragma once

// Answers modal dialogs in widget tests. Every 10 ms it looks for the active modal widget and hands it to
// the answer function; a single-shot timer would race with the dialog's exec().

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

class ModalAnswerer : public QObject {
public:
    // Return true when the dialog was answered (closed); false leaves it for the next poll.
    using Answer = std::function<bool(QWidget* modal)>;

    explicit ModalAnswerer(Answer answer, QObject* parent = nullptr) : QObject(parent), answer_(std::move(answer)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }

    // Presses the given standard button of every message box and records its title and text.
    static ModalAnswerer* pressing(QMessageBox::StandardButton button, QObject* parent = nullptr) {
        auto* a = new ModalAnswerer(nullptr, parent);
        a->answer_ = [a, button](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box) return false;
            a->titles << box->windowTitle();
            a->texts << box->text();
            if (QAbstractButton* b = box->button(button))
                b->click();
            else
                box->done(button);
            return true;
        };
        return a;
    }

    int answered() const { return answered_; }
    QStringList titles;
    QStringList texts;

private:
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == last_) return;
        if (answer_ && answer_(modal)) {
            ++answered_;
            last_ = modal;
        }
    }

    Answer answer_;
    QTimer timer_;
    QPointer<QWidget> last_;
    int answered_ = 0;
};
