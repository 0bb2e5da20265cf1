// FailureThrottle: failed logins counted per key (a mailbox name, a client address) with a
// refusal period that grows while the failures go on; shared by every login surface.
//
// The contract:
//   - the first kFreeFailures failures of a key cost nothing;
//   - every further failure blocks the key for firstBlock, doubled with each failure after
//     that, up to maxBlock; while a key is blocked its logins are not even tried;
//   - a success forgets the key, and so does a quiet spell of forgetAfter without a failure;
//   - at most maxKeys keys are remembered: when a new key arrives at the bound, the key whose
//     last failure is oldest is forgotten, so a flood of invented names costs bounded memory.
// Times come from the caller (a steady clock in use, any instant in tests). Thread-safe.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace pv::auth {

class FailureThrottle {
public:
    using Clock = std::chrono::steady_clock;

    struct Policy {
        int freeFailures = 3;
        std::chrono::seconds firstBlock{60};
        std::chrono::seconds maxBlock{3600};
        std::chrono::seconds forgetAfter{24 * 3600};
        size_t maxKeys = 1024;
    };

    explicit FailureThrottle(Policy policy) : policy_(policy) {}

    // How long the key stays blocked from now; zero when it may try.
    std::chrono::seconds BlockedFor(const std::string& key, Clock::time_point now) {
        std::lock_guard lock(mutex_);
        auto it = keys_.find(key);
        if (it == keys_.end() || it->second.blockedUntil <= now) return std::chrono::seconds(0);
        return std::chrono::ceil<std::chrono::seconds>(it->second.blockedUntil - now);
    }

    // Counts a failure; returns the block it starts (zero while failures are still free).
    std::chrono::seconds Fail(const std::string& key, Clock::time_point now) {
        std::lock_guard lock(mutex_);
        auto it = keys_.find(key);
        if (it != keys_.end() && now - it->second.lastFailure > policy_.forgetAfter) {
            keys_.erase(it);
            it = keys_.end();
        }
        if (it == keys_.end()) {
            if (keys_.size() >= policy_.maxKeys) ForgetOldest();
            it = keys_.emplace(key, Entry{}).first;
        }
        Entry& entry = it->second;
        entry.lastFailure = now;
        if (++entry.failures <= policy_.freeFailures) return std::chrono::seconds(0);
        const int doublings = std::min(entry.failures - policy_.freeFailures - 1, 30);
        auto block = policy_.firstBlock * (1LL << doublings);
        if (block > policy_.maxBlock) block = policy_.maxBlock;
        entry.blockedUntil = now + block;
        return std::chrono::duration_cast<std::chrono::seconds>(block);
    }

    void Succeed(const std::string& key) {
        std::lock_guard lock(mutex_);
        keys_.erase(key);
    }

    // Forgets every key (what a restart does).
    void Clear() {
        std::lock_guard lock(mutex_);
        keys_.clear();
    }

    size_t Size() {
        std::lock_guard lock(mutex_);
        return keys_.size();
    }

private:
    struct Entry {
        int failures = 0;
        Clock::time_point lastFailure{};
        Clock::time_point blockedUntil{};
    };

    void ForgetOldest() {
        auto oldest = keys_.begin();
        for (auto it = keys_.begin(); it != keys_.end(); ++it) {
            if (it->second.lastFailure < oldest->second.lastFailure) oldest = it;
        }
        if (oldest != keys_.end()) keys_.erase(oldest);
    }

    const Policy policy_;
    std::mutex mutex_;
    std::map<std::string, Entry> keys_;
};

}  // namespace pv::auth
