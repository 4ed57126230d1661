#include "DeviceModel.h"

#include <QThread>

namespace {
const int kStringMetaType = qRegisterMetaType<std::string>("std::string");
}

DeviceModel::DeviceModel(QObject* parent) : QObject(parent) {}
DeviceModel::~DeviceModel() = default;

SignalLayout DeviceModel::signal_layout() const {
    std::vector<KvnSignal> list;
    const unsigned n = signal_count();
    list.reserve(n);
    for (unsigned i = 0; i < n; ++i)
        list.emplace_back(signal_name(i), signal_channels(i), signal_channels(i), signal_samples(i),
                          static_cast<unsigned>(signal_mode(i)));
    return SignalLayout(list);
}

bool DeviceModel::has_eeg_signal() const {
    const unsigned n = signal_count();
    for (unsigned i = 0; i < n; ++i) {
        if (signalKind(signal_name(i)) == SignalKind::Eeg)
            return true;
    }
    return false;
}

bool DeviceModel::has_sd_card() const {
    const unsigned n = signal_count();
    for (unsigned i = 0; i < n; ++i) {
        if (isSdCard(signal_name(i)))
            return true;
    }
    return false;
}

bool DeviceModel::is_sd_card_enabled() const {
    const unsigned n = signal_count();
    for (unsigned i = 0; i < n; ++i) {
        if (isSdCard(signal_name(i)))
            return signal_mode(i) != 0;
    }
    return false;
}

bool DeviceModel::stopRequested() {
    QThread* self = QThread::currentThread();
    return self && self->isInterruptionRequested();
}

void DeviceModel::connect_device(bool force) {
    if (force || !is_connected())
        do_connect();
    emit connected(is_connected());
}

void DeviceModel::disconnect_device(bool force) {
    if (force || is_connected())
        do_disconnect();
    if (!is_connected())
        emit disconnected();
}

void DeviceModel::clear() { do_clear(); }

void DeviceModel::start() {
    if (!is_running())
        do_start();
    if (is_running())
        emit started();
}

void DeviceModel::stop() {
    if (is_running())
        do_stop();
    if (!is_running())
        emit stopped();
}

ConfigurableDeviceModel::ConfigurableDeviceModel(QObject* parent) : DeviceModel(parent) {}
ConfigurableDeviceModel::~ConfigurableDeviceModel() = default;

void ConfigurableDeviceModel::enable_sd_card(bool enable) {
    const unsigned n = signal_count();
    for (unsigned i = 0; i < n; ++i) {
        if (!isSdCard(signal_name(i)))
            continue;
        do_set_signal_mode(i, enable ? 1u : 0u);
        if ((signal_mode(i) == 1) == enable) {
            emit sd_card_enabled(enable);
            emit updated();
        }
    }
}

void ConfigurableDeviceModel::set_signal_mode(uint index, uint mode) {
    do_set_signal_mode(index, mode);
    emit signal_changed(index, static_cast<uint>(signal_mode(index)));
    emit updated();
}

void ConfigurableDeviceModel::set_signal_modes(std::string modes) {
    do_set_signal_modes(std::move(modes));
    emit updated();
}

void ConfigurableDeviceModel::set_file_name(std::string name) {
    do_set_file_name(std::move(name));
    emit file_name_changed(file_name());
    emit updated();
}

void ConfigurableDeviceModel::set_folder_name(std::string name) {
    do_set_folder_name(std::move(name));
    emit folder_name_changed(folder_name());
    emit updated();
}

void ConfigurableDeviceModel::synchronize() {
    cancelRequest_ = false;
    if (do_synchronize())
        emit synchronized(offset(), tof());
}

void ConfigurableDeviceModel::cancel_synchronization() { cancelRequest_ = true; }

bool ConfigurableDeviceModel::cancel_requested() const { return cancelRequest_; }
