#include "RecordLimits.h"

#include "SignalLayout.h"

namespace limits {

std::string signalProblem(const KvnSignal& s, unsigned blockRate) {
    const std::string who = "signal \"" + s.name + "\"";
    if (s.channels > MAX_CHANNELS)
        return who + " claims " + std::to_string(s.channels) + " channels (at most " +
               std::to_string(MAX_CHANNELS) + ")";
    if (s.samples > MAX_SAMPLES_PER_BLOCK)
        return who + " claims " + std::to_string(s.samples) + " samples per block (at most " +
               std::to_string(MAX_SAMPLES_PER_BLOCK) + ")";
    const uint64_t rate = static_cast<uint64_t>(s.samples) * blockRate;
    if (rate > MAX_SAMPLING_RATE)
        return who + " claims " + std::to_string(rate) + " samples per second (at most " +
               std::to_string(MAX_SAMPLING_RATE) + ")";
    return {};
}

std::string recordProblem(const std::vector<KvnSignal>& signalList, unsigned blockRate) {
    if (signalList.size() > MAX_SIGNALS)
        return "the record claims " + std::to_string(signalList.size()) + " signals (at most " +
               std::to_string(MAX_SIGNALS) + ")";
    if (blockRate > MAX_BLOCK_RATE)
        return "the record claims " + std::to_string(blockRate) + " blocks per second (at most " +
               std::to_string(MAX_BLOCK_RATE) + ")";
    for (const KvnSignal& s : signalList) {
        std::string problem = signalProblem(s, inBlock(s) ? blockRate : 0);
        if (!problem.empty())
            return problem;
    }
    // Each signal is within its limits here, so the product cannot overflow.
    const uint64_t values = static_cast<uint64_t>(SignalLayout(signalList).blockSize()) * blockRate;
    if (values > MAX_VALUES_PER_SECOND)
        return "the record claims " + std::to_string(values) + " values per second (at most " +
               std::to_string(MAX_VALUES_PER_SECOND) + ")";
    return {};
}

}  // namespace limits
