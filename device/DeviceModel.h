#pragma once

#include <QMetaType>
#include <QObject>
#include <SignalLayout.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The one device interface the rest of the program sees: a live device, a pair of devices or a recorded
// folder. The public slots are fixed algorithms over the virtual operations below, so subclasses only
// answer questions and perform the do_* actions; they never override the slots.
//
// No locks: the model is called from the GUI thread, a connect worker, the configuration task and the
// acquisition thread; callers keep those calls apart in time. Signals are emitted on the calling thread.
class DeviceModel : public QObject {
    Q_OBJECT
public:
    explicit DeviceModel(QObject* parent = nullptr);
    ~DeviceModel() override;

    virtual bool requires_dongle() const = 0;
    virtual bool is_read_only() const = 0;
    virtual bool is_running() const = 0;
    virtual bool is_connected() const = 0;
    virtual std::string description() const = 0;
    // "HW" hardware "FW" major "." minor
    virtual std::string version() const = 0;
    // Blocks per second.
    virtual unsigned frequency() const = 0;
    // Seconds; negative when unknown (live devices).
    virtual int64_t duration() const = 0;
    virtual unsigned signal_count() const = 0;
    virtual std::string signal_name(unsigned index) const = 0;
    virtual unsigned signal_channels(unsigned index) const = 0;
    virtual unsigned signal_samples(unsigned index) const = 0;
    virtual int signal_mode(unsigned index) const = 0;
    // The names of signal `index`'s channels, one per channel, when the source names them (LSL streams, records
    // made from them); empty when channels are known by number.
    virtual std::vector<std::string> signal_labels(unsigned index) const {
        (void)index;
        return {};
    }
    // One block, laid out as signal_layout() says.
    // False when no block came; flags 65535 then marks the end of a played-back record.
    virtual bool read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) = 0;
    // The source's own time of the last block read, in monotonic microseconds, for devices whose blocks carry
    // one (LSL streams); negative when the block's read time stands for it.
    virtual int64_t block_time() const { return -1; }
    // Why the last connection attempt failed, when the device can tell; else empty.
    virtual std::string connection_error() const { return {}; }

    // The layout of this model's blocks, from its signals and their current modes.
    SignalLayout signal_layout() const;
    bool has_eeg_signal() const;
    bool has_sd_card() const;
    bool is_sd_card_enabled() const;

signals:
    void connected(bool success);
    void updated();
    void disconnected();
    void started();
    void stopped();

public slots:
    void connect_device(bool force = false);
    void disconnect_device(bool force = false);
    void clear();
    void start();
    void stop();

protected:
    // True when the calling thread was asked to stop (the acquisition thread's Stop): a loop of connect
    // attempts ends between two attempts, so the owner waits for one attempt, not ten.
    static bool stopRequested();

    virtual void do_clear() = 0;
    virtual void do_connect() = 0;
    virtual void do_disconnect() = 0;
    virtual void do_start() = 0;
    virtual void do_stop() = 0;
};

// A device whose signals, SD card and clock can be set up from the program.
class ConfigurableDeviceModel : public DeviceModel {
    Q_OBJECT
public:
    explicit ConfigurableDeviceModel(QObject* parent = nullptr);
    ~ConfigurableDeviceModel() override;

    virtual std::string file_name() const = 0;
    virtual std::string folder_name() const = 0;

protected:
    virtual void do_set_signal_mode(unsigned index, unsigned mode) = 0;
    virtual void do_set_signal_modes(std::string modes) = 0;
    virtual void do_set_file_name(std::string name) = 0;
    virtual void do_set_folder_name(std::string name) = 0;
    virtual bool do_synchronize() = 0;

public:
    // Result of the last successful synchronization, in the device clock's units (microseconds).
    virtual double offset() const = 0;
    virtual double tof() const = 0;

signals:
    void sd_card_enabled(bool enabled);
    void signal_changed(uint index, uint mode);
    void file_name_changed(std::string name);
    void folder_name_changed(std::string name);
    void synchronized(double offset, double tof);

public slots:
    void enable_sd_card(bool enable = true);
    void set_signal_mode(uint index, uint mode);
    // One mode byte per signal, in signal order, passed to the device unchanged.
    void set_signal_modes(std::string modes);
    void set_file_name(std::string name);
    void set_folder_name(std::string name);
    void synchronize();
    // May be called from another thread while synchronize() runs; the loop checks it after every exchange.
    void cancel_synchronization();

protected:
    bool cancel_requested() const;

private:
    std::atomic<bool> cancelRequest_{false};
};

Q_DECLARE_METATYPE(std::string)
