// CWebConsole: the HTTPS administration console inside the server, for a gateway without a
// desktop: status and log, the Connect/Disconnect/Poll buttons, mailboxes, aliases, domains,
// the outbound queue, the relay and SmartPop, and /metrics for a monitoring system.
//
// The contract:
// - Off unless `AdvCon\WebPort` names a port; it listens on `AdvCon\BindAddress` (every address
//   when missing) with the LAN services' certificate (`AdvCon\TlsCertificate`/`TlsKey`). Without a
//   usable certificate it stays off with one log line: a password never crosses the LAN in clear.
// - A client outside `AdvCon\WebNets` (missing: `AdvCon\RelayNets`; read at every request) gets 403
//   before any route runs, /metrics included; the log gets one line per address and
//   CRepeatedLogLines::kPeriod, with the count.
// - One administrator: the password hash in `AdvCon\WebPassword` (auth/AdminPassword.h). Each
//   failed login, and each login from an address the shared per-address counter refuses, counts
//   there (auth/LoginThrottle.h) and is answered alike after kFailedLoginDelay.
// - A login opens a session: a random token in a cookie that is Secure, HttpOnly and
//   SameSite=Strict. It ends after kSessionIdle without a request (the status page's own poll
//   does not count), kSessionLongest after the login, at logout, or when kMaxSessions newer ones
//   push it out.
// - Every POST but the login carries the session's CSRF token in the X-CSRF-Token header;
//   without it, or with another, the request is refused with 403 and changes nothing. The login
//   is refused when the browser says it comes from another site (Origin).
// - Every change goes through the checks and store functions postvane-admin uses
//   (delivery/AdminRules.h, smtp/RelayLogin.h); services read the store at their next use, as
//   they do after postvane-admin. Connect, Disconnect and Poll signal what postvane-ctl signals.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>

namespace pv::web {

inline constexpr const char* kWebPortValue = "WebPort";  // AdvCon, REG_DWORD; 0 or missing: off
inline constexpr const char* kWebNetsValue = "WebNets";  // AdvCon, REG_SZ; missing: RelayNets

class CWebConsole {
public:
    static constexpr std::chrono::minutes kSessionIdle {30};
    static constexpr std::chrono::hours kSessionLongest {12};
    static constexpr size_t kMaxSessions = 16;
    // OAuth2 device sign-ins under way at once; a further one ends the oldest.
    static constexpr size_t kMaxSignIns = 4;
    static constexpr std::chrono::seconds kFailedLoginDelay {1};
    // Forms are small; a body beyond this is refused by the HTTP library.
    static constexpr size_t kMaxRequestBody = 64 * 1024;
    static constexpr int kWorkerThreads = 4;
    static constexpr int kReadTimeoutSeconds = 10;

    CWebConsole();
    ~CWebConsole();
    CWebConsole(const CWebConsole&) = delete;
    CWebConsole& operator=(const CWebConsole&) = delete;

    // Reads the settings and starts listening; false (with a log line) when it stays off.
    bool Start();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
};

}  // namespace pv::web
