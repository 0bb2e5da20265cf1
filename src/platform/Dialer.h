// Dialer: the remote-access operations the connection manager uses (dial a phone-book entry,
// follow its state, hang up, list the active connections, error texts, list the entries),
// behind one interface with two back ends:
//   - pppd: the phone-book entries are the peer files in /etc/ppp/peers; dialing runs
//     `pppd call ENTRY`; the link is up when its pid file names an interface.
//   - the simulator: entries and their behaviour come from a script (connect after N polls,
//     fail with a code, drop the line, connected by another program), so the whole manager runs
//     in tests and demonstrations without a modem.
// The manager never knows which one runs. States and codes keep the remote-access numbering the
// manager's texts are keyed on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

namespace pv::platform {

using DialHandle = uint64_t;  // 0: none

// Connection states (the low 16 bits select the manager's status text).
inline constexpr uint32_t kDialOpenPort = 0;
inline constexpr uint32_t kDialPortOpened = 1;
inline constexpr uint32_t kDialConnectDevice = 2;
inline constexpr uint32_t kDialDeviceConnected = 3;
inline constexpr uint32_t kDialAuthenticate = 5;
inline constexpr uint32_t kDialAuthenticated = 14;
inline constexpr uint32_t kDialConnected = 0x2000;
inline constexpr uint32_t kDialDisconnected = 0x2001;

// Codes.
inline constexpr uint32_t kDialOk = 0;
inline constexpr uint32_t kDialInvalidHandle = 6;  // the connection is gone (or never was)
inline constexpr uint32_t kDialPending = 600;      // still under way: not an error
inline constexpr uint32_t kDialNoEntry = 623;      // no phone-book entry of that name
inline constexpr uint32_t kDialCannotStart = 631;  // the dialing program could not be started
inline constexpr uint32_t kDialLineBusy = 676;
inline constexpr uint32_t kDialNoAnswer = 678;
inline constexpr uint32_t kDialNoCarrier = 679;
inline constexpr uint32_t kDialNoDialTone = 680;
inline constexpr uint32_t kDialAuthFailed = 691;
inline constexpr uint32_t kDialLineDropped = 629;
// pppd's exit status n is reported as kPppdExitBase + n.
inline constexpr uint32_t kPppdExitBase = 900;

struct DialParams {
    std::string entry;
    std::string phoneNumber;  // empty: the entry's own number
    std::string userName;
    std::string password;
};

struct DialStatus {
    uint32_t state = kDialDisconnected;
    uint32_t error = kDialOk;
};

struct ActiveConnection {
    std::string entry;
    DialHandle handle = 0;
};

class IDialer {
public:
    virtual ~IDialer() = default;
    // Starts dialing the entry and returns at once; progress is followed with Status. The
    // handle is set even when the start fails, so that Status reports why.
    virtual uint32_t Dial(const DialParams& params, DialHandle& handle) = 0;
    // kDialOk with the state (and an error code once the dial has failed), or kDialInvalidHandle
    // when no such connection exists (any more).
    virtual uint32_t Status(DialHandle handle, DialStatus& status) = 0;
    // Asks the line to go down; kDialInvalidHandle when there is nothing to hang up. Whether it
    // has gone is seen through Status.
    virtual uint32_t HangUp(DialHandle handle) = 0;
    // The connections up now (dialed here or by another program). False when they cannot be
    // listed or there are more than `max`.
    virtual bool ListConnections(std::vector<ActiveConnection>& out, size_t max) = 0;
    virtual std::vector<std::string> ListEntries() = 0;
    // Text of a code, for the log ("" never: unknown codes get a generic text).
    virtual std::string ErrorText(uint32_t code) = 0;
};

// The texts of the codes both back ends report, pppd's exit states included.
std::string DialErrorText(uint32_t code);

// --- the simulator -------------------------------------------------------------------------------

struct SimulatedEntry {
    std::string name;
    int connectAfter = -1;  // status polls until the dial is through; -1: nobody ever answers
    uint32_t failCode = 0;  // nonzero: the dial ends with this code instead of connecting
    int dropAfter = -1;     // once up, the line drops after this many polls; -1: it stays up
    int dropTimes = -1;     // how many connections drop so; -1: every one
    bool external = false;  // up now, connected by another program
};

// Reads the script afresh at every operation, so a test or a demonstration can change it while
// the manager runs (bring an external connection up, take it away).
using SimulatorScript = std::function<std::vector<SimulatedEntry>()>;
std::unique_ptr<IDialer> MakeSimulatedDialer(SimulatorScript script);

// --- pppd ------------------------------------------------------------------------------------------

struct PppdPaths {
    std::string program = "/usr/sbin/pppd";
    std::string peersDir = "/etc/ppp/peers";
    std::string runDir = "/run";   // where pppd writes ppp-<linkname>.pid
    std::string secretsDir;        // where the per-dial option file goes ("" = runDir)
};
std::unique_ptr<IDialer> MakePppdDialer(PppdPaths paths);

// A short alarm on the operator's terminal (nothing without one).
void Beep();

}  // namespace pv::platform
