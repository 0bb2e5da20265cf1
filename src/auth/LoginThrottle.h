// CLoginThrottle: failed logins counted per client address across every connection and every
// login surface (POP3 now; IMAP and the web console use the same counter), so that a guesser
// who reconnects after each try is slowed as much as one who stays.
//
// The rule:
// - A failure is counted when the answer is decided, before its delay: a client that hangs
//   up early still has its guess counted.
// - kFailuresBeforeRefusal failures from one address, each within kFailureWindow of the one
//   before, start a refusal period of kFirstRefusal. Every further failure (a refused try
//   counts too) doubles it, up to kLongestRefusal, counted from that failure.
// - While an address is refused, every login from it fails as a wrong password does, with
//   the same text and the same delay, whatever password it sends: a guesser cannot tell a
//   refusal from a wrong guess, nor learn the password by timing.
// - The count is per client as the connection caps count it (net::AddressCountingKey: an
//   IPv4 address, an IPv6 /64), never per account: the owner logs in from another address
//   while a guesser is refused (no denial of service against a user).
// - A right password from an address that is not refused clears its count.
// - The log gets one line when an address's refusal starts and then at most one per
//   kLogPeriod while it keeps failing, each with its count, never one per guess.
// - At most kMaxAddresses addresses are remembered; entries whose time has passed are
//   dropped first, then the oldest.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pv::auth {

class CLoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // A user who mistypes gets several tries; a guesser gets five in a quarter of an hour.
    static constexpr int kFailuresBeforeRefusal = 5;
    static constexpr std::chrono::seconds kFailureWindow {15 * 60};
    static constexpr std::chrono::seconds kFirstRefusal {60};
    static constexpr std::chrono::seconds kLongestRefusal {60 * 60};
    static constexpr std::chrono::seconds kLogPeriod {60};
    static constexpr size_t kMaxAddresses = 10000;

    // The one counter of the process, shared by every login surface.
    static CLoginThrottle& Shared();

    // True while logins from address are refused.
    bool Refused(const std::string& address, Clock::time_point now = Clock::now());
    // A failed login (or a refused one) from address; surface names the service in the log.
    void Failed(const std::string& address, std::string_view surface, Clock::time_point now = Clock::now());
    // A right password from an address that is not refused: its count starts again.
    void Succeeded(const std::string& address);
    // Failures counted for address now (0 once forgotten).
    int Failures(const std::string& address, Clock::time_point now = Clock::now());
    // Forgets every address (a test starts clean).
    void Clear();

private:
    struct Entry {
        int failures = 0;
        Clock::time_point last;        // the latest failure
        Clock::time_point logged;      // the latest log line
        int loggedFailures = 0;        // the count that line gave
    };
    static Clock::duration RefusalFor(int failures);
    static bool IsRefused(const Entry& e, Clock::time_point now);
    // Entry for key with failures that have lapsed forgotten; null when none is kept.
    Entry* Find(const std::string& key, Clock::time_point now);
    void MakeRoom(Clock::time_point now);

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace pv::auth
