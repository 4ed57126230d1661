#pragma once

// Shared by the configuration tests: a clean simulated fleet, configuration files in a temporary folder, the
// window's configuration task run directly, and a modal-dialog answerer that records what the user was shown.

#include "DeviceModel.h"
#include "MainWindow.h"
#include "ModalAnswerer.h"
#include "Simulation.h"

#include <QCheckBox>
#include <QFile>
#include <QInputDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>
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

inline void makeUnreachable(const std::string& device)
{
    sim::Faults f = sim::faults(device);
    f.unreachable = true;
    sim::setFaults(device, f);
}

inline QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& text)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return QString();
    f.write(text);
    return path;
}

// The configuration task's outcome; the model it made (if any) is owned here.
struct Outcome {
    bool invoked = false;
    MainWindow::ConfigurationResult result;
    std::unique_ptr<DeviceModel> model;
    ConfigurableDeviceModel* configurable() const { return qobject_cast<ConfigurableDeviceModel*>(model.get()); }
};

// Runs the window's configuration task on the calling thread, as the pool thread would.
inline Outcome runTask(MainWindow& window, const QString& path)
{
    Outcome out;
    const QByteArray name = QFile::encodeName(path);
    out.invoked = QMetaObject::invokeMethod(
        &window, "do_configure", Qt::DirectConnection,
        QReturnArgument<MainWindow::ConfigurationResult>("ConfigurationResult", out.result),
        Q_ARG(const char*, name.constData()));
    out.model.reset(out.result.model);
    out.result.model = nullptr;
    return out;
}

// Mode of the first signal with this name, -1 when the model has none.
inline int modeOf(const DeviceModel& model, const std::string& name)
{
    for (unsigned i = 0; i < model.signal_count(); ++i)
        if (model.signal_name(i) == name) return model.signal_mode(i);
    return -1;
}

template <typename T>
T* byText(QWidget& w, const QString& text)
{
    for (T* child : w.findChildren<T*>())
        if (child->text() == text) return child;
    return nullptr;
}

// Records every modal dialog as "kind|title|text": message boxes are answered with `button` (Ok when they
// have none such), the EEG sensor question with `sensorChoice` (empty: cancelled).
struct Answers {
    explicit Answers(QObject* parent, QMessageBox::StandardButton button = QMessageBox::Ok,
                     QString sensorChoice = QStringLiteral("Dry"))
    {
        answerer = new ModalAnswerer(
            [this, button, sensorChoice](QWidget* modal) {
                if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                    const char* kind = box->icon() == QMessageBox::Critical  ? "critical"
                                       : box->icon() == QMessageBox::Warning ? "warning"
                                       : box->icon() == QMessageBox::Question ? "question"
                                                                               : "information";
                    seen << QStringLiteral("%1|%2|%3").arg(kind, box->windowTitle(), box->text());
                    if (QAbstractButton* b = box->button(button))
                        b->click();
                    else if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                        ok->click();
                    else
                        box->done(0);
                    return true;
                }
                if (auto* input = qobject_cast<QInputDialog*>(modal)) {
                    seen << QStringLiteral("input|%1|%2").arg(input->windowTitle(), input->labelText());
                    if (sensorChoice.isEmpty()) {
                        input->reject();
                    } else {
                        input->setTextValue(sensorChoice);
                        input->accept();
                    }
                    return true;
                }
                // Anything else (a folder dialog, say) is recorded and closed, so a test can never hang on it.
                if (auto* dialog = qobject_cast<QDialog*>(modal)) {
                    seen << QStringLiteral("other|%1|%2").arg(modal->metaObject()->className(), modal->windowTitle());
                    dialog->reject();
                    return true;
                }
                return false;
            },
            parent);
    }
    ~Answers() { delete answerer; }
    Answers(const Answers&) = delete;
    Answers& operator=(const Answers&) = delete;

    int count(const QString& prefix) const
    {
        int n = 0;
        for (const QString& s : seen) n += s.startsWith(prefix) ? 1 : 0;
        return n;
    }

    ModalAnswerer* answerer = nullptr;
    QStringList seen;
};

}  // namespace kit
