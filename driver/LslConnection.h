#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Connection.h"
#include "KvnSignal.h"
#include "LslStreams.h"

// A device made of LSL streams of the network: the stream named by "name", the first of "type", or every
// stream of "source_id" (an EEG stream first), each stream one signal. The streams are read through liblsl
// (loaded at run time); without it nothing connects.
// The link is lost when a stream disappears; connecting again finds it anew. Blocks carry a fixed number of
// samples per signal, a sequence number counted here (0..65535, wrapping, skipping the blocks of a gap in
// the stream's time stamps), battery unknown and flags 0.
class LslConnection : public Connection {
public:
    explicit LslConnection(PropertyMap properties);
    ~LslConnection() override;

    bool connect() override;
    void disconnect() override;
    bool isConnected() const override;
    std::string deviceName() const override;

    struct Description {
        std::string version;
        std::uint16_t blockRate = 0;
        std::vector<KvnSignal> signalList;
        std::vector<std::vector<std::string>> labels;  // per signal, the channel labels the stream declares
        std::vector<LslStreamInfo> streams;
    };
    Description describe() const;

    bool start();
    bool stop();
    bool running() const;
    // Waits at most `timeoutMs` for the next block.
    bool read(unsigned timeoutMs, std::vector<double>& data, std::uint16_t& sequence, std::int16_t& battery,
              std::uint16_t& flags);
    // The source's time of the first sample of the last block read (liblsl's clock, corrected for the
    // source's clock offset), in seconds; NaN before the first block.
    double lastBlockTime() const;
    // Why the last connect or start failed, for the user.
    std::string lastError() const;
    // Whether trying again cannot help: the stream is there but cannot be used, or the link is misconfigured.
    bool lastErrorIsFinal() const;

protected:
    std::shared_ptr<SimDevice> resolve() const override { return nullptr; }
    std::string requestedName() const override;

private:
    struct Stream;
    struct Session;

    mutable std::mutex mutex_;
    std::string key_;    // "name", "type" or "source_id"
    std::string value_;
    bool connected_ = false;
    Description description_;
    std::vector<std::shared_ptr<void>> infos_;  // liblsl's descriptions of the chosen streams
    std::shared_ptr<Session> session_;
    std::string error_;
    bool errorFinal_ = false;
    // Kept across reconnections, so a record's sequence numbers show a gap as missing blocks.
    std::uint16_t sequence_ = 0;
    bool haveBlock_ = false;
    double lastBlockTime_;
};
