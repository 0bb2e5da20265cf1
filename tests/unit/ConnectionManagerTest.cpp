// The connection manager against the simulator, run in virtual time: every wait is recorded
// with the status text at that moment and returns at once, and the clock advances by the wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "TestSupport.h"
#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "dialup/ConnectionManager.h"

using namespace std::chrono_literals;
using pv::dialup::CConnectionManager;
namespace platform = pv::platform;

namespace {

struct Wait {
    int ms;
    std::string status;
};

// Counts what the manager asks of the dialer; the simulator does the rest.
class CountingDialer : public platform::IDialer {
public:
    explicit CountingDialer(std::unique_ptr<platform::IDialer> inner) : inner_(std::move(inner)) {}
    uint32_t Dial(const platform::DialParams& p, platform::DialHandle& h) override {
        ++dials;
        return inner_->Dial(p, h);
    }
    uint32_t Status(platform::DialHandle h, platform::DialStatus& s) override {
        return statusUnreadable ? 1 : inner_->Status(h, s);
    }
    uint32_t HangUp(platform::DialHandle h) override {
        ++hangUps;
        return inner_->HangUp(h);
    }
    bool ListConnections(std::vector<platform::ActiveConnection>& out, size_t max) override {
        return inner_->ListConnections(out, max);
    }
    std::vector<std::string> ListEntries() override { return inner_->ListEntries(); }
    std::string ErrorText(uint32_t code) override { return inner_->ErrorText(code); }

    std::atomic<int> dials{0};
    std::atomic<int> hangUps{0};
    std::atomic<bool> statusUnreadable{false};

private:
    std::unique_ptr<platform::IDialer> inner_;
};

class VirtualManager : public CConnectionManager {
public:
    explicit VirtualManager(std::unique_ptr<platform::IDialer> dialer) : CConnectionManager(std::move(dialer)) {}
    ~VirtualManager() override { StopAndWait(); }

    std::vector<Wait> Waits() {
        std::lock_guard lock(mutex_);
        return waits_;
    }
    size_t WaitCount() {
        std::lock_guard lock(mutex_);
        return waits_.size();
    }
    // Signals the disconnect request at the n-th wait (0: never).
    std::atomic<size_t> disconnectAtWait{0};

protected:
    bool Pause(int ms) override {
        size_t n;
        {
            std::lock_guard lock(mutex_);
            waits_.push_back({ms, pv::ConnectionStatusText()});
            n = waits_.size();
        }
        if (n == disconnectAtWait) pv::DisconnectRequestEvent().Set();
        clockMs_ += ms;
        if (ms >= kCycleMs) std::this_thread::sleep_for(1ms);  // let the test thread look in
        return WaitForStop(0);
    }
    std::time_t Now() override { return kStart + clockMs_ / 1000; }
    std::tm LocalNow() override {
        const std::time_t now = Now();
        std::tm tm {};
        localtime_r(&now, &tm);
        return tm;
    }

private:
    static constexpr std::time_t kStart = 1'700'000'000;
    std::mutex mutex_;
    std::vector<Wait> waits_;
    std::atomic<long long> clockMs_{0};
};

class ConnectionManagerTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        std::string line;
        while (pv::TakePendingLine(line)) {
        }
        pv::ConnectRequestEvent().Reset();
        pv::DisconnectRequestEvent().Reset();
        pv::Events().ResetAll();
        pv::CRegistryKey("", true).WriteString("Connection", "isp");
        // A relay is named: without one, waiting mail never takes the server online.
        pv::CRegistryKey("", true).WriteString("Gateway", "relay.example.test");
    }
    void TearDown() override {
        manager_.reset();
        pv::ConnectRequestEvent().Reset();
        pv::DisconnectRequestEvent().Reset();
        HiveTest::TearDown();
    }
    void Entry(const char* name, std::initializer_list<std::pair<const char*, uint32_t>> values) {
        pv::CRegistryKey key(std::string("Simulator\\") + name, true);
        for (auto& [n, v] : values) key.WriteInt(n, v);
    }
    void Set(const char* key, const char* name, uint32_t value) { pv::CRegistryKey(key, true).WriteInt(name, value); }
    VirtualManager& Start() {
        auto counting = std::make_unique<CountingDialer>(platform::MakeSimulatedDialer(&pv::dialup::ReadSimulatorScript));
        dialer_ = counting.get();
        manager_ = std::make_unique<VirtualManager>(std::move(counting));
        manager_->Start(false);
        return *manager_;
    }
    // Runs until `done` holds (real time is bounded; virtual time is not).
    template <class Pred>
    void RunUntil(Pred done, const char* what) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "timed out waiting for " << what;
            std::this_thread::sleep_for(1ms);
        }
    }
    void Stop() { manager_->StopAndWait(5000); }
    std::vector<std::string> Log() {
        std::string line;
        while (pv::TakePendingLine(line)) log_.push_back(line.substr(pv::kLogTextOffset));
        return log_;
    }
    int LogCount(const std::string& text) {
        int n = 0;
        for (auto& l : Log()) n += l.find(text) != std::string::npos;
        return n;
    }
    // The waits of one kind in order, as (ms, status) pairs without the polls.
    static std::vector<std::pair<int, std::string>> Pauses(const std::vector<Wait>& waits) {
        std::vector<std::pair<int, std::string>> out;
        for (auto& w : waits) {
            if (w.ms != CConnectionManager::kPollMs) out.emplace_back(w.ms, w.status);
        }
        return out;
    }

    std::unique_ptr<VirtualManager> manager_;
    CountingDialer* dialer_ = nullptr;
    std::vector<std::string> log_;
};

TEST_F(ConnectionManagerTest, UnreadableStateOfAnUnnamedConnectionIsSaidWithoutAGap) {
    pv::CRegistryKey("", true).WriteString("Connection", "");
    Set("Schedule", "CheckWaiting", 1);
    Set("Schedule", "CountWaiting", 0);
    Start();
    dialer_->statusUnreadable = true;
    RunUntil([&] { return LogCount("Dial abandoned") > 0; }, "the dial abandoned");
    Stop();
    EXPECT_EQ(LogCount("Dial abandoned: the state of the connection could not be read seven times in a row"), 1)
        << ::testing::PrintToString(Log());
}

TEST_F(ConnectionManagerTest, RetriesZeroNeverDials) {
    Entry("isp", {{"ConnectAfter", 1}});
    Set("AdvCon", "Retries", 0);
    Set("Schedule", "CheckWaiting", 1);
    Set("Schedule", "CountWaiting", 0);  // asks at every cycle
    auto& m = Start();
    RunUntil([&] { return m.WaitCount() >= 20; }, "twenty cycles");
    Stop();
    EXPECT_EQ(dialer_->dials, 0);
    EXPECT_EQ(m.FailureCount(), 0u);
    EXPECT_EQ(LogCount("Dialed"), 0);
    EXPECT_TRUE(pv::Events().Test(pv::NamedEvent::Offline));
}

TEST_F(ConnectionManagerTest, UnansweredDialsPauseThenStall) {
    Entry("isp", {});  // nobody answers
    Set("AdvCon", "Retries", 3);
    Set("AdvCon", "InitialTimeout", 1);  // four polls, the fifth gives up
    Set("Schedule", "CheckWaiting", 1);
    Set("Schedule", "CountWaiting", 0);
    auto& m = Start();
    RunUntil([&] { return dialer_->dials >= 6 && Pauses(m.Waits()).size() >= 9; }, "two connect cycles");
    // The third cycle: stalled, so the queue no longer asks.
    RunUntil([&] { return Pauses(m.Waits()).size() >= 12; }, "more cycles");
    Stop();

    using P = std::vector<std::pair<int, std::string>>;
    // The cycle's own wait still shows what the cycle before left.
    const P expected = {
        {1000, ""},        {10000, "Offline/Pausing"}, {10000, "Offline/Pausing"}, {60000, "Pausing for 1 minute"},
        {1000, "Pausing for 1 minute"}, {10000, "Offline/Pausing"}, {10000, "Offline/Pausing"}, {60000, "Pausing for 1 minute"},
        {1000, "Offline / Stalled"},
    };
    P got = Pauses(m.Waits());
    got.resize(expected.size());
    got[0].second = "";  // before the first cycle nothing has been shown
    EXPECT_EQ(got, expected);
    EXPECT_EQ(dialer_->dials, 6);
    EXPECT_GE(m.FailureCount(), 6u);
    EXPECT_EQ(LogCount("Connection timeout during dial"), 6);
    EXPECT_EQ(LogCount("Disconnected from isp"), 6) << "every attempt is hung up";
    // Each attempt polled five times, showing the dial's progress.
    const auto waits = m.Waits();
    int polls = 0;
    bool sawProgress = false;
    for (size_t i = 1; i < waits.size() && waits[i].ms != 10000; ++i) {
        polls += waits[i].ms == CConnectionManager::kPollMs;
        sawProgress |= waits[i].status == "Connecting Device";
    }
    EXPECT_EQ(polls, 5);
    EXPECT_TRUE(sawProgress);
}

TEST_F(ConnectionManagerTest, InitialTimeoutCountsQuarterSecondPolls) {
    Entry("isp", {});
    Set("AdvCon", "Retries", 1);
    pv::ConnectRequestEvent().Set();
    auto& m = Start();  // InitialTimeout missing: 120 s
    RunUntil([&] { return LogCount("Connection timeout during dial") == 1; }, "the dial time-out");
    RunUntil([&] { return Pauses(m.Waits()).size() >= 2; }, "the pause");
    Stop();
    const auto waits = m.Waits();
    int polls = 0;
    for (size_t i = 1; i < waits.size() && waits[i].ms == CConnectionManager::kPollMs; ++i) ++polls;
    EXPECT_EQ(polls, 481);
    EXPECT_EQ(Pauses(waits)[1].first, 60000) << "one retry: the long pause follows";
}

TEST_F(ConnectionManagerTest, ShortIdleTimeoutCountsAsTwoMinutes) {
    Entry("isp", {{"ConnectAfter", 2}});
    Set("AdvCon", "Retries", 1);
    Set("Schedule", "Timeout", 20);
    pv::ConnectRequestEvent().Set();
    auto& m = Start();
    RunUntil([&] { return LogCount("Idle Time Expired") == 1; }, "the idle time-out");
    RunUntil([&] { return LogCount("Disconnected from isp") == 1; }, "the hang-up");
    Stop();
    EXPECT_EQ(LogCount("Idle Time Expired 120 sec"), 1);
    EXPECT_EQ(LogCount("Online: connected to isp"), 1);
    // Online for 120 s of quarter-second passes, counted in whole seconds as the clock shows them.
    const auto waits = m.Waits();
    int online = 0;
    for (auto& w : waits) online += w.status == "Online" && w.ms == CConnectionManager::kPollMs;
    EXPECT_GE(online, 476);
    EXPECT_LE(online, 482);
    EXPECT_EQ(m.FailureCount(), 0u);
    // The end of the session is recorded for the idle check.
    unsigned char raw[4] = {};
    EXPECT_TRUE(pv::CRegistryKey("Schedule", false).ReadBinary("LastConnect", raw, 4));
}

TEST_F(ConnectionManagerTest, ExternalConnectionIsUsedAndNeverHungUp) {
    Entry("isp", {{"External", 1}});
    auto& m = Start();
    RunUntil([&] { return LogCount("made by another program") >= 1; }, "the external session");
    RunUntil([&] { return m.WaitCount() > 20; }, "some passes");
    EXPECT_EQ(pv::ConnectionStatusText(), "Online/External");
    EXPECT_TRUE(pv::Events().Test(pv::NamedEvent::Online));
    Set("Simulator\\isp", "External", 0);  // the other program hangs up
    RunUntil([&] { return LogCount("The connection isp made by another program has ended") == 1; }, "its end");
    RunUntil([&] { return pv::ConnectionStatusText() == "Offline"; }, "offline");
    Stop();
    EXPECT_EQ(dialer_->dials, 0);
    EXPECT_EQ(dialer_->hangUps, 0);
    EXPECT_EQ(LogCount("Disconnected"), 0);
}

TEST_F(ConnectionManagerTest, DisconnectWhileDialingCancelsTheRetries) {
    Entry("isp", {});
    Set("AdvCon", "Retries", 3);
    pv::ConnectRequestEvent().Set();
    auto& m = Start();
    m.disconnectAtWait = 10;  // the first cycle's wait, then a few polls into the dial
    RunUntil([&] { return Pauses(m.Waits()).size() >= 3; }, "the cycle after");
    Stop();
    EXPECT_EQ(dialer_->dials, 1);
    EXPECT_EQ(LogCount("Disconnected from isp"), 1);
    EXPECT_EQ(LogCount("Connection timeout"), 0);
    const auto pauses = Pauses(m.Waits());
    EXPECT_EQ(pauses[1], std::make_pair(10000, std::string("Offline/Pausing")));
    EXPECT_EQ(pauses[2].first, 1000) << "no further attempt: the next cycle follows";
}

TEST_F(ConnectionManagerTest, LineDropEndsTheSession) {
    Entry("isp", {{"ConnectAfter", 1}, {"DropAfter", 8}, {"DropTimes", 1}});
    Set("AdvCon", "Retries", 1);
    pv::ConnectRequestEvent().Set();
    auto& m = Start();
    RunUntil([&] { return LogCount("Disconnected from isp") == 1; }, "the hang-up");
    Stop();
    EXPECT_EQ(LogCount("Idle Time Expired"), 0);
    EXPECT_EQ(m.FailureCount(), 0u) << "the session ran";
}

TEST_F(ConnectionManagerTest, PollRequestWithoutSmartPopIsTakenAwayWithOneLine) {
    Set("", "UseLan", 1);
    pv::Events().Signal(pv::NamedEvent::PollSmartPop);
    auto& m = Start();
    RunUntil([&] { return !pv::Events().Test(pv::NamedEvent::PollSmartPop); }, "the request taken away");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more cycles
    EXPECT_EQ(LogCount("A SmartPop poll was asked for, but SmartPop is off"), 1);
    EXPECT_EQ(LogCount("reached over the LAN"), 0) << "a poll with nothing to collect started a session";
    EXPECT_EQ(dialer_->dials, 0);
    // With SmartPop on, a request brings a session that starts a collector for the account
    // (one whose name the collector refuses, so nothing goes out on the network).
    Set("SmartPop\\nobody", "port", 110);
    Set("SmartPop", "Enable", 1);
    pv::Events().Signal(pv::NamedEvent::PollSmartPop);
    RunUntil([&] { return !pv::Events().Test(pv::NamedEvent::PollSmartPop); }, "the request taken");
    RunUntil([&] { return LogCount("Invalid SmartPop mailbox nobody") >= 1; }, "the collector's line");
    Stop();
    (void)m;
}

}  // namespace
