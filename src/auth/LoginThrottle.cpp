#include "auth/LoginThrottle.h"

#include <algorithm>

#include "core/Log.h"
#include "core/Metrics.h"
#include "net/Address.h"

namespace pv::auth {

CLoginThrottle& CLoginThrottle::Shared() {
    static CLoginThrottle throttle;
    return throttle;
}

CLoginThrottle::Clock::duration CLoginThrottle::RefusalFor(int failures) {
    if (failures < kFailuresBeforeRefusal) return Clock::duration::zero();
    const int doublings = std::min(failures - kFailuresBeforeRefusal, 16);
    return std::min<Clock::duration>(kFirstRefusal * (1 << doublings), kLongestRefusal);
}

bool CLoginThrottle::IsRefused(const Entry& e, Clock::time_point now) {
    return e.failures >= kFailuresBeforeRefusal && now < e.last + RefusalFor(e.failures);
}

CLoginThrottle::Entry* CLoginThrottle::Find(const std::string& key, Clock::time_point now) {
    auto found = entries_.find(key);
    if (found == entries_.end()) return nullptr;
    // Failures lapse a window after the refusal they caused has ended.
    if (now - found->second.last > kFailureWindow + RefusalFor(found->second.failures)) {
        entries_.erase(found);
        return nullptr;
    }
    return &found->second;
}

void CLoginThrottle::MakeRoom(Clock::time_point now) {
    if (entries_.size() < kMaxAddresses) return;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->second.last > kFailureWindow + RefusalFor(it->second.failures)) {
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    while (entries_.size() >= kMaxAddresses) {
        auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                       [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
        entries_.erase(oldest);
    }
}

bool CLoginThrottle::Refused(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    const Entry* e = Find(net::AddressCountingKey(address), now);
    return e && IsRefused(*e, now);
}

void CLoginThrottle::Failed(const std::string& address, std::string_view surface, Clock::time_point now) {
    const std::string key = net::AddressCountingKey(address);
    CountMetric(Metric::LoginFailures);
    std::string line;
    {
        std::lock_guard lock(mutex_);
        Entry* e = Find(key, now);
        if (!e) {
            MakeRoom(now);
            e = &entries_[key];
        }
        const bool wasRefused = IsRefused(*e, now);
        ++e->failures;
        e->last = now;
        if (IsRefused(*e, now) && (!wasRefused || now - e->logged >= kLogPeriod)) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(RefusalFor(e->failures)).count();
            line = std::string(surface) + ": " + std::to_string(e->failures) + " failed logins from [" + key + "]" +
                   (e->loggedFailures > 0 ? " (" + std::to_string(e->failures - e->loggedFailures) +
                                                " since the last line)"
                                          : std::string()) +
                   "; logins from that address are refused for the next " + std::to_string(seconds) +
                   " s. The mailbox's owner can still log in from another address.";
            e->logged = now;
            e->loggedFailures = e->failures;
        }
    }
    if (!line.empty()) WriteLogLine(line);
}

void CLoginThrottle::Succeeded(const std::string& address) {
    std::lock_guard lock(mutex_);
    entries_.erase(net::AddressCountingKey(address));
}

int CLoginThrottle::Failures(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    const Entry* e = Find(net::AddressCountingKey(address), now);
    return e ? e->failures : 0;
}

void CLoginThrottle::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace pv::auth
