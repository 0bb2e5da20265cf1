#include <gtest/gtest.h>

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/Events.h"
#include "platform/Hive.h"
#include "platform/SocketErrors.h"

using pv::platform::NamedEvent;
using pv::platform::NamedEvents;

class EventsTest : public pvtest::HiveTest {
protected:
    // Runs fn in a child process on the same hive and returns its exit code.
    template <typename Fn>
    int InChild(Fn fn) {
        pid_t pid = fork();
        if (pid == 0) {
            pv::platform::SetHivePath(HiveFile());
            _exit(fn());
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
};

TEST_F(EventsTest, AnotherProcessSeesSignalsAndResets) {
    auto& ev = NamedEvents::Get();
    ASSERT_TRUE(ev.Available());
    ev.ResetAll();
    ev.Signal(NamedEvent::SmtpRc);
    EXPECT_EQ(InChild([] {
                  auto& child = NamedEvents::Get();
                  if (!child.Test(NamedEvent::SmtpRc) || child.Test(NamedEvent::PopServer)) return 1;
                  child.Reset(NamedEvent::SmtpRc);
                  child.Signal(NamedEvent::PollSmartPop);
                  return 0;
              }),
              0);
    EXPECT_FALSE(ev.Test(NamedEvent::SmtpRc));
    EXPECT_TRUE(ev.Test(NamedEvent::PollSmartPop));
    EXPECT_TRUE(ev.Test(NamedEvent::PollSmartPop));  // manual reset: stays signalled
}

TEST_F(EventsTest, ShowUiResetsWhenTestedButNotWhenPeeked) {
    auto& ev = NamedEvents::Get();
    ev.ResetAll();
    EXPECT_EQ(InChild([] {
                  NamedEvents::Get().Signal(NamedEvent::ShowUi);
                  return 0;
              }),
              0);
    EXPECT_TRUE(ev.Peek(NamedEvent::ShowUi));
    EXPECT_TRUE(ev.Test(NamedEvent::ShowUi));
    EXPECT_FALSE(ev.Test(NamedEvent::ShowUi));
}

TEST_F(EventsTest, EventNamesRoundTrip) {
    for (int i = 0; i < pv::platform::kNamedEventCount; ++i) {
        auto ev = static_cast<NamedEvent>(i);
        EXPECT_EQ(pv::platform::NamedEventByName(pv::platform::NamedEventName(ev)), ev);
    }
    EXPECT_STREQ(pv::platform::NamedEventName(NamedEvent::PollSmartPop), "PVG:POLLSMARTPOP");
    EXPECT_FALSE(pv::platform::NamedEventByName("PVG:showui").has_value());
}

TEST_F(EventsTest, InstanceLockIsExclusiveAndDiesWithItsOwner) {
    {
        pv::platform::InstanceLock first;
        ASSERT_TRUE(first.TryAcquire(HiveFile()));
        pv::platform::InstanceLock second;
        EXPECT_FALSE(second.TryAcquire(HiveFile()));
        EXPECT_TRUE(second.Error().empty());
        // Another hive is another installation.
        pv::platform::InstanceLock other;
        EXPECT_TRUE(other.TryAcquire(dir_ / "other.db"));
    }

    // A holder killed without any clean-up does not block the next owner.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        pv::platform::InstanceLock held;
        char ok = held.TryAcquire(HiveFile()) ? 1 : 0;
        (void)!write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    EXPECT_TRUE(pv::platform::InstanceLock::HeldByOther(HiveFile()));
    pv::platform::InstanceLock blocked;
    EXPECT_FALSE(blocked.TryAcquire(HiveFile()));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(pv::platform::InstanceLock::HeldByOther(HiveFile()));
    pv::platform::InstanceLock next;
    EXPECT_TRUE(next.TryAcquire(HiveFile()));
    close(ready[0]);
    close(ready[1]);
}

TEST(CEventTest, ManualAndAutoReset) {
    pv::platform::CEvent manual(true, false);
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(10));

    pv::platform::CEvent automatic(false, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        automatic.Set();
    });
    EXPECT_TRUE(automatic.Wait(5000));
    EXPECT_FALSE(automatic.Wait(0));
    setter.join();
}

TEST(SocketErrorsTest, ErrnoMapsToWindowsSocketsNumbers) {
    using pv::platform::WsaErrorFromErrno;
    EXPECT_EQ(WsaErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WsaErrorFromErrno(EINVAL), 10022);
    EXPECT_EQ(WsaErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WsaErrorFromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WsaErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WsaErrorFromErrno(0), 0);
}
