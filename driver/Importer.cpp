#include "Importer.h"

#include "Eeg64Pair.h"
#include "SdCardFormat.h"
#include "SignalLayout.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

bool isJson(const std::string& text) { return nlohmann::json::accept(text); }

// A card's text may hold any bytes: what is not UTF-8 becomes U+FFFD rather than making the file unreadable.
std::string jsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A set-up that is JSON itself is embedded as it is; anything else is kept as a string.
std::string jsonSetup(const std::string& setup) { return isJson(setup) ? setup : jsonString(setup); }

bool writeText(const std::string& path, const std::string& text, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        error = "cannot write " + path;
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------

BaseImporter::~BaseImporter() = default;

void BaseImporter::addCallback(Callback callback) {
    if (callback)
        callbacks_.push_back(std::move(callback));
}

int64_t BaseImporter::duration() const {
    const uint16_t rate = blocks_per_second();
    return rate ? sample_frames() / rate : 0;
}

int64_t BaseImporter::sample_frames() const { return total_frames(); }

bool BaseImporter::deliver(const Block& block) {
    for (const Callback& c : callbacks_)
        if (!c(block)) {
            error_ = "the import was stopped";
            return false;
        }
    return true;
}

// ---------------------------------------------------------------------------------------------------------

Importer::Importer(const std::string& folder, const std::string& name)
    : reader_(std::make_unique<sdcard::SdCardReader>()), folder_(folder), name_(name) {
    if (!reader_->open(folder, name))
        error_ = reader_->error();
}

Importer::~Importer() = default;

bool Importer::isValid() const { return reader_->isOpen(); }

std::string Importer::version() const { return reader_->header().version; }

uint16_t Importer::first_sequence() const { return reader_->header().firstSequence; }

int64_t Importer::total_frames() const {
    if (!isValid())
        return 0;
    reader_->scan();
    return reader_->totalBlocks();
}

int64_t Importer::sample_frames() const {
    if (!isValid())
        return 0;
    reader_->scan();
    return reader_->sampleBlocks();
}

uint16_t Importer::blocks_per_second() const { return reader_->header().blockRate; }

std::vector<KvnSignal> Importer::get_signals() const { return reader_->header().signals; }

bool Importer::get_valid_setup_halvo() const {
    if (!isValid())
        return false;
    reader_->scan();
    return isJson(reader_->lastSetup());
}

bool Importer::import_posita_setup(const std::string& path) {
    if (!isValid())
        return false;
    reader_->scan();
    const auto& changes = reader_->setupChanges();
    if (reader_->header().setup.empty() && changes.empty()) {
        error_ = "the record carries no positioning set-up";
        return false;
    }
    std::string text = "{\n    \"version\": " + jsonString(version()) + ",\n";
    text += "    \"valid\": " + std::string(get_valid_setup_halvo() ? "true" : "false") + ",\n";
    text += "    \"setup\": " + jsonSetup(reader_->lastSetup()) + ",\n";
    text += "    \"initial_setup\": " + (reader_->header().setup.empty() ? "null" : jsonSetup(reader_->header().setup));
    text += ",\n    \"changes\": [";
    for (std::size_t i = 0; i < changes.size(); ++i) {
        text += i ? ",\n" : "\n";
        text += "        {\"block\": " + std::to_string(changes[i].block) +
                ", \"sequence\": " + std::to_string(changes[i].sequence) + ", \"setup\": " + jsonSetup(changes[i].setup) +
                "}";
    }
    text += changes.empty() ? "]\n}\n" : "\n    ]\n}\n";
    return writeText(path, text, error_);
}

bool Importer::import(bool lenient) {
    note_.clear();
    if (!isValid()) {
        if (error_.empty())
            error_ = reader_->error();
        return false;
    }
    if (!reader_->rewind()) {
        error_ = reader_->error();
        return false;
    }
    sdcard::SdCardReader::Block b;
    while (true) {
        switch (reader_->next(b)) {
        case sdcard::SdCardReader::Status::End:
            note_ = reader_->note();
            return true;
        case sdcard::SdCardReader::Status::Error:
            error_ = reader_->error();
            return lenient;
        case sdcard::SdCardReader::Status::Block:
            break;
        }
        Block out;
        out.sequence = b.sequence;
        out.battery = b.battery;
        out.flags = b.flags;
        out.type = b.type;
        if (b.type == SETUP_BLOCK) {
            out.setup = &b.setup;
        } else {
            out.values = b.values.data();
            out.count = b.values.size();
        }
        if (!deliver(out))
            return false;
    }
}

// ---------------------------------------------------------------------------------------------------------

namespace {

// The `side` half's records of the pair record `base` in `folder`, in recording order: the record itself, then
// its restarts "_0", "_1", ... Earlier versions of the pair put the side letter after the restart suffix
// ("rec_0l" for "recl_0"): such names are read too, unless the card also holds the restart under its right name.
std::vector<std::string> recordPieces(const std::string& folder, const std::string& base, char side) {
    const std::string wanted = eeg64::halfName(base, side);
    std::map<long long, std::string> found;  // by restart number; the record itself is -1
    for (const std::string& n : importer::recordNames(folder)) {
        if (n == wanted) {
            found[-1] = n;
            continue;
        }
        const std::string suffix = eeg64::restartSuffix(n, wanted);
        if (!suffix.empty()) {
            found[std::stoll(suffix.substr(1))] = n;
            continue;
        }
        const std::string earlier = n.back() == side ? eeg64::restartSuffix(n.substr(0, n.size() - 1), base) : "";
        if (!earlier.empty())
            found.emplace(std::stoll(earlier.substr(1)), n);
    }
    std::vector<std::string> names;
    for (auto& f : found)
        names.push_back(std::move(f.second));
    return names;
}

// The only recorded signal of an EEG half, or null (with `error`) when the half is something else.
const KvnSignal* eegOf(const sdcard::SdCardReader& r, const std::string& side, std::string& error) {
    const KvnSignal* eeg = nullptr;
    for (const KvnSignal& s : r.header().signals) {
        if (!inBlock(s))
            continue;
        if (eeg || signalKind(s.name) != SignalKind::Eeg) {
            error = "the " + side + " record is not a single EEG signal";
            return nullptr;
        }
        eeg = &s;
    }
    if (!eeg)
        error = "the " + side + " record has no EEG signal";
    return eeg;
}

}  // namespace

struct Eeg64Importer::Piece {
    sdcard::SdCardReader left, right;
    int16_t rightShift = 0;  // right's first sequence minus left's, modulo 65536
};

Eeg64Importer::Eeg64Importer(const std::string& leftFolder, const std::string& rightFolder, const std::string& baseName) {
    const std::vector<std::string> lefts = recordPieces(leftFolder, baseName, 'l');
    const std::vector<std::string> rights = recordPieces(rightFolder, baseName, 'r');
    if (lefts.empty() || rights.empty()) {
        error_ = "no " + std::string(lefts.empty() ? "left" : "right") + " record " + baseName +
                 (lefts.empty() ? "l in " + leftFolder : "r in " + rightFolder);
        return;
    }
    // A restart of the pair restarts both halves: the n-th pieces belong together.
    const std::size_t count = std::min(lefts.size(), rights.size());
    for (std::size_t i = 0; i < count; ++i) {
        auto piece = std::make_unique<Piece>();
        if (!piece->left.open(leftFolder, lefts[i])) {
            error_ = "left record: " + piece->left.error();
            return;
        }
        if (!piece->right.open(rightFolder, rights[i])) {
            error_ = "right record: " + piece->right.error();
            return;
        }
        const KvnSignal* l = eegOf(piece->left, "left", error_);
        const KvnSignal* r = l ? eegOf(piece->right, "right", error_) : nullptr;
        if (!l || !r)
            return;
        if (l->samples != r->samples || piece->left.header().blockRate != piece->right.header().blockRate) {
            error_ = "the left and right records differ in block rate or samples per block";
            return;
        }
        if (i == 0) {
            leftChannels_ = l->channels;
            rightChannels_ = r->channels;
            samples_ = l->samples;
        } else if (l->channels != leftChannels_ || r->channels != rightChannels_ || l->samples != samples_ ||
                   piece->left.header().blockRate != pieces_.front()->left.header().blockRate) {
            error_ = "the restarts of the record differ in their signals";
            return;
        }
        const uint16_t l0 = piece->left.header().firstSequence;
        const uint16_t r0 = piece->right.header().firstSequence;
        piece->rightShift = static_cast<int16_t>(static_cast<uint16_t>(r0 - l0));
        pieces_.push_back(std::move(piece));
    }
    signals_.emplace_back("EEG", leftChannels_ + rightChannels_, leftChannels_ + rightChannels_, samples_, 1u);
    for (const KvnSignal& s : pieces_.front()->left.header().signals)
        if (isSdCard(s.name))
            signals_.push_back(s);
    valid_ = true;
}

Eeg64Importer::~Eeg64Importer() = default;

std::string Eeg64Importer::version() const { return valid_ ? pieces_.front()->left.header().version : std::string(); }

uint16_t Eeg64Importer::first_sequence() const {
    if (!valid_)
        return 0;
    const Piece& p = *pieces_.front();
    return p.rightShift > 0 ? p.right.header().firstSequence : p.left.header().firstSequence;
}

int64_t Eeg64Importer::total_frames() const {
    if (!valid_)
        return 0;
    int64_t total = 0;
    for (const auto& p : pieces_) {
        p->left.scan();
        p->right.scan();
        const int64_t shift = p->rightShift;
        const int64_t pairs = std::min(p->left.sampleBlocks() - std::max<int64_t>(0, shift),
                                       p->right.sampleBlocks() - std::max<int64_t>(0, -shift));
        total += std::max<int64_t>(0, pairs);
    }
    return total;
}

uint16_t Eeg64Importer::blocks_per_second() const {
    return valid_ ? pieces_.front()->left.header().blockRate : 0;
}

std::vector<KvnSignal> Eeg64Importer::get_signals() const { return signals_; }

bool Eeg64Importer::get_valid_setup_halvo() const { return false; }

bool Eeg64Importer::import_posita_setup(const std::string& path) {
    (void)path;  // an EEG headset has no positioning accessory
    error_ = "an EEG 64 record carries no positioning set-up";
    return false;
}

bool Eeg64Importer::import(bool lenient) {
    skipped_ = 0;
    note_.clear();
    if (!valid_)
        return false;
    bool result = true;
    for (auto& p : pieces_) {
        bool stopped = false;
        if (!importPiece(*p, lenient, stopped))
            result = false;
        if (stopped || !result)
            return false;
        for (const std::string& n : {p->left.note(), p->right.note()})
            note_ += (note_.empty() || n.empty() ? "" : "; ") + n;
    }
    return result;
}

bool Eeg64Importer::importPiece(Piece& piece, bool lenient, bool& stopped) {
    if (!piece.left.rewind() || !piece.right.rewind()) {
        error_ = piece.left.error().empty() ? piece.right.error() : piece.left.error();
        return false;
    }
    using Status = sdcard::SdCardReader::Status;
    sdcard::SdCardReader::Block lb, rb;
    // Sequence numbers wrap at 65536; pairs are matched on counters that do not.
    struct Side {
        sdcard::SdCardReader* reader;
        sdcard::SdCardReader::Block* block;
        int64_t counter;
        bool started = false;
        bool has = false;
        Status status = Status::Block;
    };
    const int64_t l0 = piece.left.header().firstSequence;
    Side L{&piece.left, &lb, l0};
    Side R{&piece.right, &rb, l0 + piece.rightShift};
    auto advance = [](Side& s) {
        const uint16_t previous = s.block->sequence;
        do {
            s.status = s.reader->next(*s.block);
        } while (s.status == Status::Block && s.block->type != sdcard::BLOCK_SAMPLES);
        s.has = s.status == Status::Block;
        if (!s.has)
            return;
        if (s.started)
            s.counter += static_cast<uint16_t>(s.block->sequence - previous);
        else  // the first block, against the header's first sequence
            s.counter += static_cast<int16_t>(static_cast<uint16_t>(s.block->sequence - static_cast<uint16_t>(s.counter)));
        s.started = true;
    };
    advance(L);
    advance(R);

    const std::size_t channels = leftChannels_ + rightChannels_;
    std::vector<double> merged(channels * samples_);
    while (L.has && R.has) {
        if (L.counter != R.counter) {
            ++skipped_;
            advance(L.counter < R.counter ? L : R);
            continue;
        }
        for (unsigned s = 0; s < samples_; ++s) {
            std::copy_n(lb.values.data() + s * leftChannels_, leftChannels_, merged.data() + s * channels);
            std::copy_n(rb.values.data() + s * rightChannels_, rightChannels_,
                        merged.data() + s * channels + leftChannels_);
        }
        Block out;
        out.sequence = lb.sequence;
        const eeg64::Status status = eeg64::mergeStatus(lb.battery, lb.flags, rb.battery, rb.flags);
        out.battery = status.battery;
        out.flags = status.flags;
        out.type = SAMPLES_BLOCK;
        out.values = merged.data();
        out.count = merged.size();
        if (!deliver(out)) {
            stopped = true;
            return false;
        }
        advance(L);
        advance(R);
    }
    while (L.has) {
        ++skipped_;
        advance(L);
    }
    while (R.has) {
        ++skipped_;
        advance(R);
    }
    if (L.status == Status::Error || R.status == Status::Error) {
        error_ = L.status == Status::Error ? "left record: " + piece.left.error() : "right record: " + piece.right.error();
        return lenient;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------------

namespace importer {

std::string basename(const std::string& name) {
    const std::size_t us = name.rfind('_');
    if (us == std::string::npos || us + 1 == name.size())
        return name;
    for (std::size_t i = us + 1; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9')
            return name;
    return name.substr(0, us);
}

std::vector<std::string> recordNames(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return {};
    for (const fs::directory_entry& e : it) {
        std::error_code fec;
        if (!e.is_regular_file(fec))
            continue;
        const std::string file = e.path().filename().string();
        const std::string stem = file.substr(0, file.find('.'));
        if (stem.size() > 2 && stem.compare(0, 2, "0_") == 0)
            names.insert(stem.substr(2));
    }
    return {names.begin(), names.end()};
}

}  // namespace importer
