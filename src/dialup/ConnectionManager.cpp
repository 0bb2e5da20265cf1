#include "dialup/ConnectionManager.h"

#include <algorithm>
#include <thread>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "dialup/Schedule.h"
#include "platform/FileLock.h"
#include "platform/Process.h"
#include "pop3/SmartPop.h"
#include "smtp/SmtpSend.h"

namespace pv::dialup {

namespace {

constexpr const char* kOffline = kStatusOffline;
constexpr const char* kPausing = "Offline/Pausing";
constexpr const char* kPausingLong = "Pausing for 1 minute";
constexpr const char* kStalled = kStatusStalled;
constexpr const char* kOnlineExternal = "Online/External";
constexpr size_t kMaxConnections = 10;

struct StateText {
    uint32_t state;
    const char* text;
};

// The texts the operator knows from the dialer's progress, spelling included.
constexpr StateText kStateTexts[] = {
    {0, "Openening Port"},      {1, "Port Open"},           {2, "Connecting Device"},
    {3, "Device Connected"},    {4, "All Devices Connected"}, {5, "Logon Requested"},
    {6, "Logging on"},          {7, "AuthRetry"},           {8, "AuthCallback"},
    {9, "AuthChangePassword"},  {10, "Logon Requested"},    {11, "AuthLinkSpeed"},
    {12, "AuthAck"},            {13, "ReAuthenticate"},     {14, "Logged on"},
    {15, "Callback"},           {16, "ModelReset"},         {17, "Callback"},
    {18, "Projected"},          {19, "Authenticating"},     {20, "Callback"},
    {21, "Logon Network"},      {4097, "RetryAuth"},        {4098, "Callback"},
    {4099, "Password Expired"}, {8192, "Online"},           {8193, "Disconnected"},
};

bool ReadFlag(const char* key, const char* name) {
    uint32_t value = 0;
    CRegistryKey(key, false).ReadIntOrZero(name, value);
    return value != 0;
}

bool UseLan() { return ReadFlag("", "UseLan"); }

// A SmartPop poll request (PVG:POLLSMARTPOP) that is to be served. A request while SmartPop is
// off has nothing to serve: it is taken away with one log line, or it would start a session
// every cycle for ever (and each session a transmit run, past the stop after failed runs).
bool TakePollRequest() {
    if (!Events().Test(NamedEvent::PollSmartPop)) return false;
    if (ReadFlag("SmartPop", "Enable")) return true;
    Events().Reset(NamedEvent::PollSmartPop);
    WriteLogLine("A SmartPop poll was asked for, but SmartPop is off (SmartPop\\Enable): nothing to collect. "
                 "Enable it in the SmartPop properties or with postvane-admin smartpop enable.");
    return false;
}

std::string ConnectionName() {
    std::string name;
    CRegistryKey("", false).ReadString("Connection", name);
    return name;
}

bool Busy() {
    auto& ev = Events();
    return ev.Test(NamedEvent::SmtpTr) || ev.Test(NamedEvent::SmtpRc) || ev.Test(NamedEvent::SmartPop);
}

}  // namespace

const char* DialStateText(uint32_t state) {
    const uint32_t low = state & 0xffff;
    for (const auto& st : kStateTexts) {
        if (st.state == low) return st.text;
    }
    return nullptr;
}

CConnectionManager::CConnectionManager(std::unique_ptr<platform::IDialer> dialer) : dialer_(std::move(dialer)) {}

CConnectionManager::~CConnectionManager() { StopAndWait(); }

bool CConnectionManager::Pause(int ms) { return WaitForStop(ms); }

std::time_t CConnectionManager::Now() { return std::time(nullptr); }

std::tm CConnectionManager::LocalNow() {
    const std::time_t now = Now();
    std::tm local {};
    localtime_r(&now, &local);
    return local;
}

void CConnectionManager::Run() {
    if (!dialer_) dialer_ = MakeConfiguredDialer();
    failureCount_ = 0;
    lastMatch_ = false;
    while (!Pause(kCycleMs)) {
        ReapCommands();
        const CheckSwitches checks = ReadCheckSwitches();
        external_ = false;
        // Without a relay mail for other domains waits, and the status says how much; the log
        // says it once each time the queue starts waiting for a relay.
        const bool relay = RelayConfigured();
        const std::string noRelay = relay ? std::string() : NoRelayText();
        SetConnectionStatusText(noRelay.empty() ? kOffline : noRelay);
        if (!noRelay.empty() && !noRelayLogged_) {
            WriteLogLine(noRelay + ". Name the provider's relay with postvane-wizard --gateway HOST.");
        }
        noRelayLogged_ = !noRelay.empty();
        Events().Signal(NamedEvent::Offline);
        Events().Reset(NamedEvent::Online);

        // The first condition that holds decides; a failed transmitter or a stall keeps the
        // queue's own conditions quiet, the clock and the operator still count.
        bool want = false;
        const bool allowed = relay && !TransmitFailed() && failureCount_ < kStalledAt;
        if (!want && checks.waiting && allowed) want = WaitingCheck();
        if (!want && checks.age && allowed) want = AgeCheck(Now());
        if (!want && checks.idle && failureCount_ < kStalledAt) want = IdleCheck(Now());
        if (!want) want = ScheduleTimeCheck(LocalNow(), lastMatch_);
        if (ConnectRequestEvent().Wait(0)) want = true;
        if (StopRequested()) break;
        if (!want && TakePollRequest()) want = true;
        if (want && StopRequested()) break;
        // A connection someone else made is used whenever it comes up.
        if (FindExistingConnection()) want = true;

        int32_t retries = kDefaultRetries;
        CRegistryKey("AdvCon", false).ReadInt("Retries", retries);
        while (retries > 0 && want) {
            --retries;
            DisconnectRequestEvent().Reset();
            if (Connect()) {
                failureCount_ = 0;
                want = false;
                break;
            }
            bool stop;
            if (retries != 0) {
                SetConnectionStatusText(kPausing);
                stop = Pause(kPauseMs);
            } else {
                SetConnectionStatusText(kPausingLong);
                stop = Pause(kLastPauseMs);
            }
            ++failureCount_;
            if (stop || external_) break;
            if (DisconnectRequestEvent().Wait(0)) retries = 0;
        }
        DisconnectRequestEvent().Reset();
        ConnectRequestEvent().Reset();
        if (failureCount_ >= kStalledAt) SetConnectionStatusText(kStalled);
    }
    // A run still going at shutdown is left to finish: it ends with the process at the latest.
}

bool CConnectionManager::Connect() {
    const bool useLan = UseLan();
    if (!useLan) Dial();
    platform::DialStatus status;  // disconnected, no error
    Events().Reset(NamedEvent::Offline);

    uint32_t initialTimeout = kDefaultInitialTimeout;
    CRegistryKey("AdvCon", false).ReadInt("InitialTimeout", initialTimeout);
    const uint64_t limit = static_cast<uint64_t>(initialTimeout) * (1000 / kPollMs);
    uint64_t polls = 0;
    int statusFailures = 0;
    while (status.state != platform::kDialConnected) {
        // A stop request cuts the dial short: shutdown does not wait for a modem.
        if (Pause(kPollMs)) break;
        if (++polls > limit) {
            WriteLogLine("Connection timeout during dial");
            break;
        }
        if (!external_ && DisconnectRequestEvent().Wait(0)) break;
        if (useLan) {
            status.state = platform::kDialConnected;
        } else if (dialer_->Status(handle_, status) != platform::kDialOk) {
            if (statusFailures++ > kStatusFailuresTolerated - 1) {
                // No name, no blank for it: an empty Connection must not leave a double space.
                WriteLogLine("Dial abandoned: the state of the connection" + (entry_.empty() ? "" : " " + entry_) +
                             " could not be read seven times in a row");
                break;
            }
        } else if (status.error != platform::kDialOk && status.error != platform::kDialPending) {
            WriteLogLine(dialer_->ErrorText(status.error));
            break;
        }
        ShowState(status.state);
    }

    const bool connected = status.state == platform::kDialConnected;
    if (connected) {
        WriteLogLine(useLan      ? std::string("Online: the provider is reached over the LAN")
                     : external_ ? "Online: using the connection " + entry_ + " made by another program"
                                 : "Online: connected to " + entry_);
        Events().Signal(NamedEvent::Online);
        failureCount_ = 0;
        Session();
    }
    if (!useLan && !external_) HangUp();
    return connected;
}

void CConnectionManager::Dial() {
    if (FindExistingConnection()) return;  // already up: it now counts as external
    entry_ = ConnectionName();
    handle_ = 0;
    if (entry_.empty()) return;
    platform::DialParams params;
    params.entry = entry_;
    CRegistryKey schedule("Schedule", false);
    schedule.ReadString("Number", params.phoneNumber);
    schedule.ReadString("username", params.userName);
    schedule.ReadString("password", params.password);
    // The outcome shows in the polling that follows, as it does for a dial under way.
    dialer_->Dial(params, handle_);
    WriteLogLine("Dialed " + entry_);
}

bool CConnectionManager::FindExistingConnection() {
    std::vector<platform::ActiveConnection> connections;
    if (!dialer_->ListConnections(connections, kMaxConnections)) return false;
    const std::string name = ConnectionName();
    if (name.empty()) return false;
    for (const auto& c : connections) {
        // Exactly, case included: an entry is a file name.
        if (c.entry == name) {
            // Our own dial that came up is not someone else's connection.
            if (c.handle == handle_ && !external_) return false;
            handle_ = c.handle;
            entry_ = c.entry;
            external_ = true;
            return true;
        }
    }
    return false;
}

void CConnectionManager::HangUp() {
    if (handle_ == 0) return;  // nothing was dialed
    for (;;) {
        const uint32_t rc = dialer_->HangUp(handle_);
        if (rc == platform::kDialOk || rc == platform::kDialInvalidHandle) break;
        WriteLogLine("Hangup command failed - unable to disconnect !!!!!!!!!");
        // Stopping the server must not wait for a line that will not go down.
        if (Pause(1000)) break;
        platform::Beep();
    }
    // The line is down only when the back end no longer knows it.
    platform::DialStatus status;
    int waited = 0;
    while (dialer_->Status(handle_, status) != platform::kDialInvalidHandle) {
        if (waited >= kHangUpWaitMs) {
            WriteLogLine("The line " + entry_ + " has not gone down within " + std::to_string(kHangUpWaitMs / 1000) +
                         " s of hanging up; it is left to the dialer");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kHangUpPollMs));
        waited += kHangUpPollMs;
    }
    WriteLogLine("Disconnected from " + entry_);
    handle_ = 0;
    EndRuns();
}

void CConnectionManager::Session() {
    const bool useLan = UseLan();
    CRegistryKey schedule("schedule", true);
    StartSessionCommand();
    bool smartPop = ReadFlag("SmartPop", "Enable");
    if (smartPop) StartSmartPop();
    if (external_) {
        ExternalSession(smartPop);
    } else {
        LineSession(useLan);
    }
    WriteLastConnect(Now());
}

void CConnectionManager::StartSessionCommand() {
    std::string command;
    if (!CRegistryKey("Schedule", false).ReadString("Command", command) || command.empty()) return;
    platform::SpawnResult r = platform::SpawnProcess(command, {}, false);
    if (r.started) {
        commands_.push_back(r.pid);
        WriteLogLine("Session command started: " + command);
    } else {
        WriteLogLine("Session command could not be started (" + r.error + "): " + command);
    }
}

void CConnectionManager::ExternalSession(bool smartPop) {
    SetConnectionStatusText(kOnlineExternal);
    SetTransmitFailed(false);
    while (FindExistingConnection() && !StopRequested()) {
        if (Pause(kPollMs)) break;
        otherTransmitter_ = false;
        if (!Events().Test(NamedEvent::SmtpTr) && !TransmitFailed() && OutboundWork()) StartTransmit();
        const bool poll = TakePollRequest();
        if (poll || (smartPop && ScheduleTimeCheck(LocalNow(), lastMatch_))) {
            StartSmartPop();
        }
    }
    WriteLogLine("The connection " + entry_ + " made by another program has ended");
    handle_ = 0;
    EndRuns();
}

void CConnectionManager::LineSession(bool useLan) {
    uint32_t timeout = kDefaultTimeout;
    CRegistryKey("Schedule", false).ReadInt("Timeout", timeout);
    if (timeout < kMinTimeout) timeout = kDefaultTimeout;
    std::time_t lastActivity = Now();
    bool connected = true;
    while (connected || useLan) {
        if (Pause(kPollMs)) break;
        bool idle = false;
        // A failed run is counted and the queue tried again, until the failures make a stall.
        if (TransmitFailed() && failureCount_ < kStalledAt) {
            SetTransmitFailed(false);
            ++failureCount_;
        }
        otherTransmitter_ = false;
        if (!Events().Test(NamedEvent::SmtpTr) && !TransmitFailed() && OutboundWork()) StartTransmit();
        if (TakePollRequest()) StartSmartPop();
        // Another program's transmit run over this link keeps the session up as ours would.
        if (!Busy() && !otherTransmitter_) {
            idle = true;
            if (useLan) break;
        }
        const std::time_t now = Now();
        if (!idle) lastActivity = now;
        if (idle && now - lastActivity >= static_cast<std::time_t>(timeout)) {
            WriteLogLine("Idle Time Expired " + std::to_string(timeout) + " sec");
            break;
        }
        if (DisconnectRequestEvent().Wait(0)) break;
        if (!useLan) {
            platform::DialStatus status;
            connected = dialer_->Status(handle_, status) == platform::kDialOk && status.state == platform::kDialConnected;
        }
    }
}

bool CConnectionManager::OutboundWork() { return RelayConfigured() && CountWaitingMessages() > 0; }

void CConnectionManager::ShowState(uint32_t state) {
    if (const char* text = DialStateText(state)) SetConnectionStatusText(text);
}

bool CConnectionManager::StartTransmit() {
    const std::string root = SpoolRoot();
    if (root.empty()) return false;
    // The lock is taken here and handed to the run, so a run is only started when it can work:
    // while postvane-send holds the queue, the session simply waits for it.
    platform::FileLock lock;
    if (!lock.Lock(JoinPath(root, kOutboxLockFile), false)) {
        otherTransmitter_ = lock.Error().empty();
        if (!otherTransmitter_) WriteLogLine("No transmit run: " + lock.Error());
        return false;
    }
    // The run signals "PVG:SMTPTR" before its thread exists, so the next pass starts no second one.
    net::ThreadHandle run = CSMTPSend::StartRun(std::move(lock));
    runs_.erase(std::remove_if(runs_.begin(), runs_.end(), [](const net::ThreadHandle& h) { return h.Ended(); }),
                runs_.end());
    if (run.Valid()) runs_.push_back(run);
    return run.Valid();
}

void CConnectionManager::StartSmartPop() {
    // A run still collecting keeps the request waiting: the next pass after it has ended takes
    // it, so an account is never collected by two runs at once.
    if (SmartPopCount() > 0) return;
    pv::StartSmartPop();
}

void CConnectionManager::EndRuns() {
    for (const auto& run : runs_) run.PostQuit();
    runs_.clear();
    // Collectors talking over the link that went down end with it; their unfinished message
    // stays on the provider.
    EndSmartPop(0);
}

void CConnectionManager::ReapCommands() {
    commands_.erase(std::remove_if(commands_.begin(), commands_.end(), [](int pid) { return platform::ReapIfEnded(pid); }),
                    commands_.end());
}

}  // namespace pv::dialup
