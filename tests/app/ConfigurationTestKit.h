#pragma once

// Shared by the configuration tests: a clean simulated fleet, files in a temporary folder, and a dialog
// answerer that records what the user was shown.

#include "MainWindow.h"
#include "ModalAnswerer.h"
#include "Simulation.h"

#include <QtWidgets>
#include <functional>
#include <string>

namespace kit {

// Fast simulated devices with their SD cards in `sdRoot`, no faults, every device as new.
inline void resetFleet(const QString& sdRoot)
{
    qunsetenv("KVN_SIM_FAULTS");
    sim::reset();
    sim::setTimeScale(10.0);
    sim::setSeed(11);
    sim::setSdCardRoot(QFile::encodeName(sdRoot).toStdString());
    sim::setDonglePresent(true);
}

// setFault("KVN-B08-3003", &sim::Faults::unreachable)
inline void setFault(const std::string& device, bool sim::Faults::*fault)
{
    sim::Faults f = sim::faults(device);
    f.*fault = true;
    sim::setFaults(device, f);
}

inline QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    QFile f(dir.filePath(name));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size() ? f.fileName()
                                                                                              : QString();
}

template <typename T>
T* byText(QWidget& w, const QString& text)
{
    for (T* child : w.findChildren<T*>())
        if (child->text() == text) return child;
    return nullptr;
}

// Records every modal dialog as "kind|title|text" (after calling `shown` with it): message boxes are answered
// with `button` (else Ok), the EEG sensor question with `sensorChoice`, anything else is rejected.
struct Answers {
    explicit Answers(QObject* parent, QMessageBox::StandardButton button = QMessageBox::Ok,
                     QString sensorChoice = QStringLiteral("Dry"))
        : answerer([this, button, sensorChoice](QWidget* modal) {
              static const char* const kinds[] = {"none", "information", "warning", "critical", "question"};
              auto* dialog = qobject_cast<QDialog*>(modal);
              if (!dialog) return false;
              auto* box = qobject_cast<QMessageBox*>(modal);
              auto* input = qobject_cast<QInputDialog*>(modal);
              seen << (box     ? QStringLiteral("%1|%2|%3").arg(kinds[box->icon()], box->windowTitle(), box->text())
                       : input ? QStringLiteral("input|%1|%2").arg(input->windowTitle(), input->labelText())
                               : QStringLiteral("other|%1").arg(modal->metaObject()->className()));
              if (shown) shown(seen.last());
              QAbstractButton* b = box ? (box->button(button) ? box->button(button) : box->button(QMessageBox::Ok))
                                       : nullptr;
              if (input) {
                  input->setTextValue(sensorChoice);
                  input->accept();
              } else if (b) {
                  b->click();
              } else {
                  dialog->reject();
              }
              return true;
          }, parent)
    {
    }

    int count(const QString& prefix) const
    {
        int n = 0;
        for (const QString& s : seen) n += s.startsWith(prefix) ? 1 : 0;
        return n;
    }

    QStringList seen;
    std::function<void(const QString&)> shown;
    ModalAnswerer answerer;
};

}  // namespace kit
