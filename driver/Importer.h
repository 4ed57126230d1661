#pragma once

#include "KvnSignal.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Importers of SD-card records (see SdCardFormat.h). An importer reads the record's headers when it is built
// (cheaply: the picker builds many) and walks the blocks only when asked for counts or for the import.
// A record it cannot read gives an empty signal list, 0 frames, and an import that returns false; error()
// says why. One importer is used by one thread at a time.
class BaseImporter {
public:
    struct Block {
        uint16_t sequence = 0;
        int16_t battery = 0;
        uint16_t flags = 0;
        const double* values = nullptr;  // sample blocks: get_signals' sample vector layout
        int32_t type = 0;                // 1 samples, 20 positioning set-up (no values)
        std::size_t count = 0;           // number of values
        const std::string* setup = nullptr;  // set-up blocks: the set-up text
    };
    using Callback = std::function<bool(const Block&)>;

    static constexpr int32_t SAMPLES_BLOCK = 1;
    static constexpr int32_t SETUP_BLOCK = 20;

    virtual ~BaseImporter();
    virtual std::string version() const = 0;
    virtual uint16_t first_sequence() const = 0;
    // Blocks import() delivers (sample and set-up blocks); 0 when unreadable.
    virtual int64_t total_frames() const = 0;
    virtual uint16_t blocks_per_second() const = 0;
    virtual std::vector<KvnSignal> get_signals() const = 0;
    // True when the record carries a positioning set-up that is well-formed.
    virtual bool get_valid_setup_halvo() const = 0;
    // Writes the record's positioning set-up (and its changes during the record) as JSON to `path`.
    // False, writing nothing, when the record has none or the file cannot be written.
    virtual bool import_posita_setup(const std::string& path) = 0;
    // Delivers every block, in order, to the callbacks in the order they were added; stops when one returns
    // false. `lenient` true accepts a record whose tail is damaged or cut short (the whole blocks before it
    // are delivered and the result is true); false makes any damage a failure (the whole blocks before it are
    // still delivered). Returns true when the record was delivered to the end.
    virtual bool import(bool lenient) = 0;
    virtual void addCallback(Callback callback);

    // Whole seconds of samples (0 when the block rate is 0).
    int64_t duration() const;
    const std::string& error() const { return error_; }
    // After an import that reached the end: what it left out all the same (a last block cut short); empty
    // when nothing was.
    const std::string& note() const { return note_; }

protected:
    // Sample blocks only (duration() counts these); by default total_frames().
    virtual int64_t sample_frames() const;
    // Runs the callbacks on one block; false when one asked to stop.
    bool deliver(const Block& block);
    std::vector<Callback> callbacks_;
    mutable std::string error_;
    std::string note_;
};

namespace sdcard {
class SdCardReader;
}

// A single device's record: files "0_<name>.*", "1_<name>.*", ... in `folder`.
class Importer : public BaseImporter {
public:
    Importer(const std::string& folder, const std::string& name);
    ~Importer() override;

    std::string version() const override;
    uint16_t first_sequence() const override;
    int64_t total_frames() const override;
    uint16_t blocks_per_second() const override;
    std::vector<KvnSignal> get_signals() const override;
    bool get_valid_setup_halvo() const override;
    bool import_posita_setup(const std::string& path) override;
    bool import(bool lenient) override;

    bool isValid() const;  // the headers were read

protected:
    int64_t sample_frames() const override;

private:
    std::unique_ptr<sdcard::SdCardReader> reader_;
    std::string folder_;
    std::string name_;
};

// The two halves of an EEG 64 headset: the left record "<base>l" in `leftFolder` and the right record "<base>r"
// in `rightFolder`, each with one 32-channel EEG signal, merged into one record of one 64-channel EEG signal
// (left channels first) and the uSD signal. Restarts of the pair ("<base>l_0" with "<base>r_0", ...; also the
// "<base>_0l" of earlier versions) follow in order, as one record. Blocks are paired by sequence number; a block
// that has no partner in the other half is left out (skipped_blocks). Each half must record exactly one EEG
// signal, with the same samples per block and block rate as the other half. Battery and flags are merged as the
// live pair merges them (eeg64::mergeStatus).
class Eeg64Importer : public BaseImporter {
public:
    Eeg64Importer(const std::string& leftFolder, const std::string& rightFolder, const std::string& baseName);
    ~Eeg64Importer() override;

    std::string version() const override;
    uint16_t first_sequence() const override;
    int64_t total_frames() const override;
    uint16_t blocks_per_second() const override;
    std::vector<KvnSignal> get_signals() const override;
    bool get_valid_setup_halvo() const override;
    bool import_posita_setup(const std::string& path) override;
    bool import(bool lenient) override;

    bool isValid() const { return valid_; }
    std::size_t pieces() const { return pieces_.size(); }  // the record and its restarts
    int64_t skipped_blocks() const { return skipped_; }    // after import: unpaired blocks left out

private:
    struct Piece;
    bool importPiece(Piece& piece, bool lenient, bool& stopped);

    std::vector<std::unique_ptr<Piece>> pieces_;
    std::vector<KvnSignal> signals_;
    bool valid_ = false;
    unsigned leftChannels_ = 0;
    unsigned rightChannels_ = 0;
    unsigned samples_ = 0;
    int64_t skipped_ = 0;
};

namespace importer {
// The record name without its restart suffix: a trailing "_" followed by digits is dropped ("r005_1" ->
// "r005"); other names are returned unchanged.
std::string basename(const std::string& name);

// Record names found in `folder`: every file "0_<name>.<ext>" gives <name>, sorted.
std::vector<std::string> recordNames(const std::string& folder);
}  // namespace importer
