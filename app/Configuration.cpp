// Setting the device up from a JSON file, given on the command line or dropped on the window.

#include "MainWindow.h"

#include "ConfigurationFile.h"
#include "Connection.h"
#include "ConnectionFactory.h"
#include "DeviceModel.h"
#include "DriverModel.h"
#include "SignalsWidget.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent>
#include <exception>

namespace {
// From configure until onConfigured has taken the result: the watcher reports finished only once its report has
// been delivered, whereas the future stops running before that report arrives.
bool configurationInProgress(const QFutureWatcher<MainWindow::ConfigurationResult>& watcher)
{
    return !watcher.isFinished();
}

// The configured device as the viewers see it: not configurable, so the viewers are laid out from the modes the
// file set instead of setting every mode to 1 again and asking about the digital aux inputs, which would undo
// "channels" and hold an unattended start on a modal question.
class ConfiguredView : public DeviceModel {
public:
    explicit ConfiguredView(const DeviceModel& device) : device_(device) {}
    bool requires_dongle() const override { return device_.requires_dongle(); }
    bool is_read_only() const override { return true; }
    bool is_running() const override { return device_.is_running(); }
    bool is_connected() const override { return device_.is_connected(); }
    std::string description() const override { return device_.description(); }
    std::string version() const override { return device_.version(); }
    unsigned frequency() const override { return device_.frequency(); }
    int64_t duration() const override { return device_.duration(); }
    unsigned signal_count() const override { return device_.signal_count(); }
    std::string signal_name(unsigned i) const override { return device_.signal_name(i); }
    unsigned signal_channels(unsigned i) const override { return device_.signal_channels(i); }
    unsigned signal_samples(unsigned i) const override { return device_.signal_samples(i); }
    int signal_mode(unsigned i) const override { return device_.signal_mode(i); }
    std::vector<std::string> signal_labels(unsigned i) const override { return device_.signal_labels(i); }
    bool read(std::vector<double>&, uint16_t&, int16_t&, uint16_t&) override { return false; }

protected:
    void do_clear() override {}
    void do_connect() override {}
    void do_disconnect() override {}
    void do_start() override {}
    void do_stop() override {}

private:
    const DeviceModel& device_;
};
}  // namespace

void MainWindow::configure(const char* configuration_filename)
{
    const std::string file = configuration_filename ? configuration_filename : "";
    // One configuration at a time, until its result has been applied: a second one would install a model under
    // the first, and replacing the watcher's future before its report arrives would drop the first result (and
    // its connected device) unseen. The watcher counts as finished only once it has reported.
    if (configurationInProgress(configurationWatcher)) {
        QMessageBox::warning(this, tr("Configuration error"),
                             tr("A configuration is still in progress; ") + QString::fromStdString(file) +
                                 tr(" was not loaded."));
        return;
    }
    configurationFuture = QtConcurrent::run([this, file] { return do_configure(file.c_str()); });
    configurationWatcher.setFuture(configurationFuture);
    configurationBox = new QMessageBox(QMessageBox::Information, tr("Device configuration"),
                                       tr("Configuring the device"), QMessageBox::NoButton, this,
                                       Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    // Without this the box would add an OK button of its own, and the user could dismiss it mid-way.
    configurationBox->setStandardButtons(QMessageBox::NoButton);
    configurationBox->setModal(false);
    configurationBox->show();
}

MainWindow::ConfigurationResult MainWindow::do_configure(const char* configuration_filename)
{
    ConfigurationResult result;
    const std::string filename = configuration_filename ? configuration_filename : "";
    std::string text;
    if (filename.empty() || !configfile::readBounded(filename, text)) {
        result.message = "Unable to find configuration file " + filename;
        return result;
    }
    std::unique_ptr<DeviceModel> created;
    // The window installs the model on its own thread, so the model must live there.
    auto handOver = [&created](ConfigurationResult& r) {
        if (!created) return;
        created->moveToThread(QApplication::instance()->thread());
        r.model = created.release();
    };
    // A failure keeps only the message, the sensor type already read and the model already made.
    auto failure = [&](const std::string& message) {
        ConfigurationResult failed;
        failed.sensorType = result.sensorType;
        failed.message = message;
        failed.model = result.model;
        handOver(failed);
        return failed;
    };
    try {
        const nlohmann::json doc = configfile::parse(text);

        std::unique_ptr<Connection> connection;
        bool dongle = false;
        bool streams = false;
        if (doc.is_object() && doc.contains("connection") && doc["connection"].is_object() &&
            doc["connection"].contains("type")) {
            const nlohmann::json& c = doc["connection"];
            const std::string type = c["type"].get<std::string>();
            const PropertyMap properties =
                c.contains("properties") ? configfile::toPropertyMap(c["properties"]) : PropertyMap();
            connection.reset(ConnectionFactory::createAndSetup(type, properties));
            dongle = type == "ble";
            streams = PropertyMap::toLower(type) == "lsl";
        }
        if (!connection) {
            result.message = "Unable to create a valid connection. Check the configuration parameters";
            return result;
        }

        if (doc.contains("sensors")) {
            const nlohmann::json& s = doc["sensors"];
            if (s.is_string() && s.get<std::string>() == "dry")
                result.sensorType = 1;
            else if (s.is_string() && s.get<std::string>() == "water")
                result.sensorType = 2;
            else {
                if (s.is_string()) result.sensorType = 0;
                result.message = "Unknown sensor type";
            }
        }
        if (doc.contains("lsl") && doc["lsl"].is_boolean() && doc["lsl"].get<bool>())
            QMetaObject::invokeMethod(lslBox, "setChecked", Qt::QueuedConnection, Q_ARG(bool, true));

        connection->setTimeout(1000);
        if (connection->readOnly()) {
            auto* single = new DriverModel;
            single->setup(connection.release());
            created.reset(single);
        } else {
            auto* configurable = new ConfigurableDriverModel;
            configurable->setup(connection.release(), {}, dongle);
            created.reset(configurable);
        }
        DeviceModel* m = created.get();

        m->connect_device(false);
        if (!m->is_connected()) {
            const std::string why = m->connection_error();
            return failure("Cannot connect to the device configured" + (why.empty() ? std::string() : ": " + why));
        }

        result.hide = doc.contains("hide") && doc["hide"].is_boolean() && doc["hide"].get<bool>();
        bool autostart = true;
        if (doc.contains("harddrive")) {
            if (doc["harddrive"].is_string()) {
                result.harddrivePath = doc["harddrive"].get<std::string>();
            } else {
                QMetaObject::invokeMethod(hdBox, "setChecked", Qt::QueuedConnection, Q_ARG(bool, false));
                result.message = "A hd device path expected";
                autostart = false;
            }
        }

        auto* configurable = qobject_cast<ConfigurableDeviceModel*>(m);
        // LSL streams have nothing to set up, so they may start at once although read-only.
        if (!m->is_connected() || ((m->is_read_only() || !configurable) && !streams)) {
            autostart = false;
        } else if (configurable) {
            bool failed = false;
            auto switchable = [m](unsigned k) { return !isSdCard(m->signal_name(k)) && m->signal_name(k) != "HAP"; };
            if (doc.contains("channels")) {
                const nlohmann::json& ch = doc["channels"];
                if (ch.is_array()) {
                    for (std::size_t k = 0; k < ch.size(); ++k) {
                        if (k >= m->signal_count() || !switchable(unsigned(k)) || !ch[k].is_number_integer())
                            continue;
                        // A mode is one byte on the device; a value that does not fit would be cut silently.
                        const auto mode = ch[k].get<long long>();
                        if (mode < 0 || mode > 255) continue;
                        configurable->set_signal_mode(unsigned(k), unsigned(mode));
                    }
                } else {
                    failed = true;
                }
            } else {
                for (unsigned k = 0; k < m->signal_count(); ++k)
                    if (switchable(k)) configurable->set_signal_mode(k, 1);
            }
            if (doc.contains("sdcard")) {
                const nlohmann::json& sd = doc["sdcard"];
                if (sd.is_string()) {
                    configurable->enable_sd_card(true);
                    const QFileInfo path(QString::fromStdString(sd.get<std::string>()));
                    configurable->set_file_name(path.fileName().toStdString());
                    // A bare name lies in the card's current folder.
                    const QString folder = path.path().isEmpty() ? QStringLiteral(".") : path.path();
                    configurable->set_folder_name(folder.toStdString());
                    if (!configurable->is_sd_card_enabled()) {
                        result.message = "Unable to configure SD card";
                        failed = true;
                    }
                } else {
                    QMetaObject::invokeMethod(sdCardBox, "setChecked", Qt::QueuedConnection, Q_ARG(bool, false));
                    failed = true;
                }
            }
            if (failed) autostart = false;
        }
        if (doc.contains("autostart") && autostart)
            autostart = doc["autostart"].is_boolean() && doc["autostart"].get<bool>();
        else if (!doc.contains("autostart"))
            autostart = false;
        result.autostart = autostart;
        result.success = true;
        handOver(result);
        return result;
    } catch (const std::exception& e) {
        return failure(std::string("Exception occurred during configuration phase:\n") + e.what());
    } catch (...) {
        return failure("Exception occurred during configuration phase");
    }
}

void MainWindow::onConfigured()
{
    if (configurationBox) {
        configurationBox->hide();
        configurationBox->deleteLater();
    }
    ConfigurationResult result = configurationFuture.result();
    if (result.model) {
        // A dropped file stops any acquisition first; one started meanwhile must not read a deleted model.
        if (acquisitionInProgress()) onStopButtonClicked();
        const bool replacesDevice = model && model->is_connected();
        if (replacesDevice) {
            model->disconnect_device(false);
            model->clear();
        }
        replaceModel(result.model);
        // Viewers laid out for the previous device must not be fed this one's blocks: they are rebuilt below.
        if (signalsWidget) signalsWidget->clear();
        // The controls described the device just dropped; a failed configuration leaves no usable one.
        if (replacesDevice && !result.success) resetDeviceControls();
    }
    if (result.sensorType >= 0) sensorType = result.sensorType;
    if (!result.success) {
        QMessageBox::critical(this, tr("Configuration problem"), QString::fromStdString(result.message));
        return;
    }
    if (result.hide) hide();
    // The questions and boxes below run event loops of their own: a file dropped meanwhile starts another
    // configuration (after disconnecting this device), and the rest of this result must not reach it.
    DeviceModel* const installed = model.get();
    auto superseded = [this, installed] {
        return model.get() != installed || configurationInProgress(configurationWatcher);
    };
    // The viewer tabs are built from the modes the file set (refreshing keeps tabs that exist), and built
    // again if the sensor type question changes what the EEG viewers were given.
    const int sensorsBefore = sensorType;
    if (signalsWidget && model) {
        ConfiguredView view(*model);
        signalsWidget->configureSignals(view, sensorType);
    }
    refreshDeviceControls();
    if (superseded()) return;
    if (signalsWidget && model && sensorType != sensorsBefore) {
        ConfiguredView view(*model);
        signalsWidget->clear();
        signalsWidget->configureSignals(view, sensorType);
    }
    if (!result.message.empty())
        QMessageBox::warning(this, tr("Configuration problem"), QString::fromStdString(result.message));
    if (superseded()) return;
    if (hdFolderInput) hdFolderInput->setEnabled(true);
    if (!result.harddrivePath.empty()) {
        // "~" stands for the user's home, so one file serves every user of a lab machine.
        QString folder = QString::fromStdString(result.harddrivePath);
        if (folder == "~" || folder.startsWith("~/")) folder.replace(0, 1, QDir::homePath());
        if (hdFolderInput) hdFolderInput->setText(folder);
        if (hdBox) hdBox->setChecked(true);
    }
    if (result.autostart)
        QTimer::singleShot(0, this, [this, superseded] {
            if (!superseded()) onStartButtonClicked();
        });
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() > 1) {
        QMessageBox::warning(this, tr("Configuration error"), tr("Cannot load multiple configuration files at the same time"));
        return;
    }
    if (urls.isEmpty()) return;
    // A link that is not a local file keeps its text, so the message names what was dropped.
    const QUrl& url = urls.first();
    const QByteArray name = QFile::encodeName(url.isLocalFile() ? url.toLocalFile() : url.toString());
    if (configurationInProgress(configurationWatcher)) {
        configure(name.constData());  // refused with its message
        return;
    }
    if (model && (model->is_running() || acquisitionInProgress())) onStopButtonClicked();
    if (model && model->is_connected()) onDisconnectButtonClicked();
    configure(name.constData());
}
