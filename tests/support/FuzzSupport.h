#pragma once

// Bounds for fuzz loops over damaged inputs: a watchdog that ends the process when one case runs far longer
// than any should (a hang would otherwise only show as the suite's timeout), the heap in use, and the seed.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <malloc.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace fuzz {

// Bytes of heap in use now.
inline std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// KVN_FUZZ_SEED when set, else `fallback`; printed so that a failing run can be repeated.
inline uint32_t seed(uint32_t fallback) {
    const char* env = std::getenv("KVN_FUZZ_SEED");
    const uint32_t s = env && *env ? static_cast<uint32_t>(std::strtoul(env, nullptr, 10)) : fallback;
    std::printf("fuzz seed %u (set KVN_FUZZ_SEED to repeat another)\n", s);
    std::fflush(stdout);
    return s;
}

// Each case calls begin() with a label; a case still running after `limit` ends the process with that label.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    void begin(const std::string& label) {
        std::lock_guard<std::mutex> lock(mutex_);
        label_ = label;
        ++generation_;
        changed_.notify_all();
    }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stop_) {
            const uint64_t seen = generation_;
            if (!changed_.wait_for(lock, limit_, [&] { return stop_ || generation_ != seen; })) {
                std::fprintf(stderr, "case hangs (over %llds): %s\n", static_cast<long long>(limit_.count()),
                             label_.c_str());
                std::abort();
            }
        }
    }

    const std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string label_;
    uint64_t generation_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace fuzz
