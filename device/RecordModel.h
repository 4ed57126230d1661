#pragma once

#include "DeviceModel.h"

#include "CsvReader.h"

#include <atomic>
#include <string>

// Plays a recorded folder back as if it were a live, read-only device, paced at the record's block rate.
// Reading the end marker (or past the end) clears running and returns false with flags 65535, so the
// acquisition thread reports the end.
class RecordModel : public DeviceModel {
    Q_OBJECT
public:
    explicit RecordModel(QObject* parent = nullptr);
    ~RecordModel() override;

    // Loads the folder; connect_device opens it again. False (see error()) when it is no readable record.
    bool open(const std::string& folder);
    std::string error() const { return reader_.error(); }

    // The pause between two blocks, in milliseconds, for a block rate. A rate of 0 says nothing about
    // timing; such a record is played at one block per second rather than unpaced.
    static unsigned pauseMilliseconds(unsigned blockRate);

    bool requires_dongle() const override;
    bool is_read_only() const override;
    bool is_running() const override;
    bool is_connected() const override;
    std::string description() const override;
    std::string version() const override;
    unsigned frequency() const override;
    int64_t duration() const override;
    unsigned signal_count() const override;
    std::string signal_name(unsigned index) const override;
    unsigned signal_channels(unsigned index) const override;
    unsigned signal_samples(unsigned index) const override;
    int signal_mode(unsigned index) const override;
    std::vector<std::string> signal_labels(unsigned index) const override;
    bool read(std::vector<double>& samples, uint16_t& sequence, int16_t& battery, uint16_t& flags) override;

protected:
    void do_clear() override;
    void do_connect() override;
    void do_disconnect() override;
    void do_start() override;
    void do_stop() override;

private:
    CsvReader reader_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
};
