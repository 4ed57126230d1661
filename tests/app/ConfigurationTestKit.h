#pragma once

// Shared by the configuration tests: a clean simulated fleet, files in a temporary folder, and a dialog
// answerer that records what the user was shown.

#include "MainWindow.h"
#include "ModalAnswerer.h"
#include "Simulation.h"

#include <QtWidgets>
#include <functional>

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
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size() ? f.fileName() : "";
}

template <typename T>
T* byText(QWidget& w, const QString& text)
{
    for (T* child : w.findChildren<T*>())
        if (child->text() == text) return child;
    return nullptr;
}

// Records every modal dialog as "kind|title|text" and hands it to `shown`; then answers message boxes with
// `button` (else Ok), the EEG sensor question with `sensors`, and rejects anything else.
struct Answers {
    explicit Answers(QObject* parent, QMessageBox::StandardButton button = QMessageBox::Ok, QString sensors = "Dry")
        : answerer([this, button, sensors](QWidget* modal) {
              static const char* const kinds[] = {"none", "information", "warning", "critical", "question"};
              auto* box = qobject_cast<QMessageBox*>(modal);
              auto* input = qobject_cast<QInputDialog*>(modal);
              seen << (box     ? QStringLiteral("%1|%2|%3").arg(kinds[box->icon()], box->windowTitle(), box->text())
                       : input ? QStringLiteral("input|%1|%2").arg(input->windowTitle(), input->labelText())
                               : QStringLiteral("other|%1").arg(modal->metaObject()->className()));
              if (shown) shown(seen.last());
              if (input) input->setTextValue(sensors);
              if (box && (box->button(button) || box->button(QMessageBox::Ok)))
                  (box->button(button) ? box->button(button) : box->button(QMessageBox::Ok))->click();
              else if (auto* dialog = qobject_cast<QDialog*>(modal))
                  input ? dialog->accept() : dialog->reject();
              return true;
          }, parent)
    {
    }
    int count(const QString& prefix) const
    {
        return int(std::count_if(seen.begin(), seen.end(), [&](const QString& s) { return s.startsWith(prefix); }));
    }

    QStringList seen;
    std::function<void(const QString&)> shown;
    ModalAnswerer answerer;
};

}  // namespace kit
