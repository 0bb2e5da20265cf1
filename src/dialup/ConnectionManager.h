// CConnectionManager: the background task that decides once a second whether to go online
// (the schedule checks, an operator's connect, a SmartPop poll request, a connection another
// program made), brings the link up (dialing a phone-book entry, or declaring itself online
// over the LAN), starts transmit runs and SmartPop collections while online, ends the session
// when nothing moves, on request or when the line drops, and hangs up.
//
// A SmartPop poll request while SmartPop is off is taken away with one log line: it has
// nothing to collect, and must not bring the link up again and again.
//
// It publishes its state through the connection status text and "PVG:ONLINE"/"PVG:OFFLINE".
// Everything runs on the task's own thread; other threads only signal the request events and
// set the transmit-failed flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "net/BackgroundTask.h"
#include "net/Threads.h"
#include "dialup/DialerConfig.h"
#include "platform/Dialer.h"

namespace pv::dialup {

// The status text for a connection state; nullptr leaves the text as it is.
const char* DialStateText(uint32_t state);

class CConnectionManager : public net::CBackgroundTask {
public:
    static constexpr int kCycleMs = 1000;        // between decisions while offline
    static constexpr int kPollMs = 250;          // while dialing and while online
    static constexpr int kPauseMs = 10000;       // after a failed attempt with retries left
    static constexpr int kLastPauseMs = 60000;   // after the last attempt of a cycle
    static constexpr uint32_t kStalledAt = 5;    // failures that stop the queue from asking
    static constexpr int kStatusFailuresTolerated = 6;
    static constexpr uint32_t kDefaultRetries = 5;
    static constexpr uint32_t kDefaultInitialTimeout = 120;  // seconds
    static constexpr uint32_t kDefaultTimeout = 120;         // idle seconds of a session
    static constexpr uint32_t kMinTimeout = 30;
    // A line that will not go down is waited for this long, then left to the back end.
    static constexpr int kHangUpWaitMs = 30000;
    static constexpr int kHangUpPollMs = 20;

    // Without a dialer, the one the hive names is made when the task starts.
    explicit CConnectionManager(std::unique_ptr<platform::IDialer> dialer = nullptr);
    ~CConnectionManager() override;

    uint32_t FailureCount() const { return failureCount_.load(); }

protected:
    void Run() override;
    // The waits and the clock, so that tests can run the manager in their own time. Pause
    // waits on the stop event: true when the task is to end.
    virtual bool Pause(int ms);
    virtual std::time_t Now();
    virtual std::tm LocalNow();
    // Starts a transmit run under the outbound queue's lock; false when another program holds it.
    virtual bool StartTransmit();
    virtual void StartSmartPop();

private:
    bool Connect();
    void Dial();
    bool FindExistingConnection();
    void HangUp();
    void Session();
    void ExternalSession(bool smartPop);
    void LineSession(bool useLan);
    bool OutboundWork();
    void ShowState(uint32_t state);
    void StartSessionCommand();
    // Transmit runs that used the link end with it: their connection went down with the line.
    void EndRuns();
    void ReapCommands();

    std::unique_ptr<platform::IDialer> dialer_;
    std::atomic<uint32_t> failureCount_{0};
    bool lastMatch_ = false;
    bool external_ = false;
    platform::DialHandle handle_ = 0;
    std::string entry_;                  // the entry of the current connection, for the log
    bool otherTransmitter_ = false;      // another program holds the outbound queue
    bool noRelayLogged_ = false;         // "No relay is configured" said for this wait
    std::vector<net::ThreadHandle> runs_;
    std::vector<int> commands_;          // session commands not yet reaped
};

}  // namespace pv::dialup
