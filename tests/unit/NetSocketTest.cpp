// Socket threads and listeners against real clients on loopback: line discipline, time-outs,
// flow control, hostile input, the listeners' failure reports and shutdown.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "net/Listeners.h"
#include "net/SocketThread.h"
#include "platform/MessageBox.h"
#include "platform/SocketErrors.h"

using namespace std::chrono_literals;
using namespace pv::net;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

using pvtest::FreePort;

// A plain listening socket on loopback, standing for another program holding a port.
class PortHolder {
public:
    explicit PortHolder(unsigned port = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd_, 5) != 0) {
            ADD_FAILURE() << "cannot hold port " << port << ": " << std::strerror(errno);
        }
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~PortHolder() { ::close(fd_); }
    unsigned Port() const { return port_; }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
    unsigned port_ = 0;
};

// A blocking test client on 127.0.0.1.
class Client {
public:
    explicit Client(unsigned port) {
        const auto deadline = Clock::now() + 3s;
        for (;;) {  // the listener may still be opening its port
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa {};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sa.sin_port = htons(static_cast<uint16_t>(port));
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) break;
            ::close(fd_);
            fd_ = -1;
            if (Clock::now() > deadline) {
                ADD_FAILURE() << "cannot connect to port " << port;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        const int on = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Fd() const { return fd_; }

    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "send failed: " << std::strerror(errno);
                return;
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    // The next line with its line end; "" when nothing complete arrives in time.
    std::string ReadLine(int timeoutMs = 5000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t lf = buffer_.find('\n');
            if (lf != std::string::npos) {
                std::string line = buffer_.substr(0, lf + 1);
                buffer_.erase(0, lf + 1);
                return line;
            }
            if (!Fill(deadline)) return "";
        }
    }

    // Exactly n bytes; fewer when the connection ends or time runs out.
    std::string Read(size_t n, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (buffer_.size() < n && Fill(deadline)) {
        }
        std::string out = buffer_.substr(0, std::min(n, buffer_.size()));
        buffer_.erase(0, out.size());
        return out;
    }

    // Whether the server has ended the connection within the time (no data expected).
    bool ClosedWithin(int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Fill(deadline)) {
        }
        return closed_;
    }

    // Not closed by the server so far.
    bool StillOpen() {
        char c;
        const ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }

private:
    bool Fill(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || closed_) return false;
        pollfd p {fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
    bool closed_ = false;
};

// What the test conversations saw; shared because the conversations delete themselves.
struct Observed {
    std::mutex mutex;
    std::condition_variable changed;
    int constructed = 0;
    int ended = 0;
    int sendEvents = 0;
    int tooLong = 0;
    size_t maxBuffered = 0;
    std::vector<std::string> lines;
    std::set<std::thread::id> constructorThreads;
    std::set<std::thread::id> conversationThreads;
    std::vector<int> firstTimeouts;  // allowed silence seen at the first write event
    std::vector<ThreadHandle> handles;
    std::shared_future<void> unblock;

    template <class Pred>
    bool WaitUntil(Pred pred, int timeoutMs = 5000) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(); });
    }
    void Update(const std::function<void()>& change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    size_t LineCount() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
};

struct ConversationSettings {
    LineOptions lineOptions;
    int timeout = 0;  // set after the greeting when nonzero
    std::string tag = "conv";
};

// A small conversation: greets, echoes lines, and knows a few commands that drive the
// framework into its corners.
class TestConversation : public CSocketThread {
public:
    TestConversation(std::shared_ptr<Observed> obs, ConversationSettings settings)
        : obs_(std::move(obs)), settings_(std::move(settings)) {
        SetLineOptions(settings_.lineOptions);
        obs_->Update([&] {
            id_ = ++obs_->constructed;
            obs_->constructorThreads.insert(std::this_thread::get_id());
        });
    }
    ~TestConversation() override {
        obs_->Update([&] { ++obs_->ended; });
    }

protected:
    bool OnStart() override {
        obs_->Update([&] {
            obs_->conversationThreads.insert(std::this_thread::get_id());
            obs_->handles.push_back(Handle());
        });
        return true;
    }
    void OnSend() override {
        obs_->Update([&] { ++obs_->sendEvents; });
        if (!greeted_) {
            greeted_ = true;
            const int timeout = TimerRunning() ? TimeoutSeconds() : 0;
            obs_->Update([&] { obs_->firstTimeouts.push_back(timeout); });
            SendLine(settings_.tag + " " + std::to_string(id_) + " ready");
            if (settings_.timeout) SetTimeout(settings_.timeout);
            return;
        }
        Produce();
    }
    void OnReceive() override {
        ReceiveLines();
        const size_t buffered = LineBufferBytes();
        obs_->Update([&] { obs_->maxBuffered = std::max(obs_->maxBuffered, buffered); });
    }
    void OnLine(std::string& line) override {
        obs_->Update([&] { obs_->lines.push_back(line); });
        if (line == "QUIT") {
            // A farewell larger than the socket takes: the close must wait for all of it.
            SendLine(kFarewell);
            SendLine("bye");
            CloseWhenSent();
        } else if (line == "TRAIL") {
            SendLine("trail \t \r\n");
        } else if (line == "BLOCK") {
            obs_->unblock.wait_for(20s);
            SendLine("unblocked");
        } else if (line.rfind("BIG ", 0) == 0) {
            bigLeft_ = std::stoi(line.substr(4));
            Produce();
        } else {
            SendLine("echo:" + line);
        }
    }
    void OnLineTooLong() override {
        obs_->Update([&] { ++obs_->tooLong; });
        SendLine("500 line too long");
    }
    void OnClose() override { Close(true); }

public:
    static std::string BigLine(int n) {
        std::string line = "line " + std::to_string(n) + " ";
        line.resize(1000, static_cast<char>('a' + n % 26));
        return line;
    }
    static inline const std::string kHugeLine = std::string(2 << 20, 'z');
    static inline const std::string kFarewell = std::string(8 << 20, 'f');

private:
    // A long reply that respects the socket: stops while output waits, goes on at OnSend.
    void Produce() {
        while (bigLeft_ > 0 && !OutputBlocked()) SendLine(BigLine(bigSent_++)), --bigLeft_;
        if (bigLeft_ == 0 && bigSent_ > 0 && !bigFinished_) {
            bigFinished_ = true;
            // One line far larger than the socket takes at once: its rest must follow in order.
            SendLine(kHugeLine);
            SendLine("END");
        }
    }

    std::shared_ptr<Observed> obs_;
    ConversationSettings settings_;
    int id_ = 0;
    bool greeted_ = false;
    int bigLeft_ = 0;
    int bigSent_ = 0;
    bool bigFinished_ = false;
};

ConversationFactory Factory(std::shared_ptr<Observed> obs, ConversationSettings settings = {}) {
    return [obs, settings] { return static_cast<CSocketThread*>(new TestConversation(obs, settings)); };
}

void WritePort(const char* name, unsigned port) { pv::CRegistryKey("AdvCon", true).WriteInt(name, port); }

bool PendingLogLine(const std::string& text, int timeoutMs = 3000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        std::string line;
        while (pv::TakePendingLine(line)) {
            if (line.size() >= pv::kLogTextOffset && line.substr(pv::kLogTextOffset) == text) return true;
        }
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
}

// One SMTP listener on loopback with test conversations.
class NetSocketTest : public pvtest::HiveTest {
protected:
    void StartServer(ConversationSettings settings = {}) {
        port_ = FreePort();
        WritePort("smtpinport", port_);
        listener_ = (new CSMTPListen(Factory(obs_, std::move(settings)), "127.0.0.1"))->CreateThread();
        ASSERT_TRUE(listener_.Valid());
    }
    void TearDown() override {
        if (listener_.Valid()) {
            listener_.PostQuit();
            EXPECT_TRUE(listener_.Wait(2000));
        }
        clients_.clear();
        // Every conversation ends with its client, before the hive goes away.
        EXPECT_TRUE(obs_->WaitUntil([&] { return obs_->ended == obs_->constructed; }, 8000));
        pvtest::HiveTest::TearDown();
    }
    Client& Connect() {
        clients_.push_back(std::make_unique<Client>(port_));
        return *clients_.back();
    }

    std::shared_ptr<Observed> obs_ = std::make_shared<Observed>();
    unsigned port_ = 0;
    ThreadHandle listener_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace

// --- line input and output ---------------------------------------------------------------

TEST_F(NetSocketTest, LinesEndAtLineFeedWhateverThePacketsLookLike) {
    StartServer();
    Client& c = Connect();
    ASSERT_EQ(c.ReadLine(), "conv 1 ready\r\n");

    c.Send("alpha\n");  // LF alone ends a line
    EXPECT_EQ(c.ReadLine(), "echo:alpha\r\n");

    c.Send("be\rta\r");  // a bare CR never does
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(obs_->LineCount(), 1u);
    c.Send("\n");
    EXPECT_EQ(c.ReadLine(), "echo:beta\r\n");

    for (const char* piece : {"ga", "mm", "a s", "pl", "it"}) {  // one line over many packets
        c.Send(piece);
        std::this_thread::sleep_for(30ms);
    }
    c.Send("\r\n");
    EXPECT_EQ(c.ReadLine(), "echo:gamma split\r\n");

    c.Send("one\r\ntwo\r\n");  // two lines in one packet
    EXPECT_EQ(c.ReadLine(), "echo:one\r\n");
    EXPECT_EQ(c.ReadLine(), "echo:two\r\n");

    std::lock_guard lock(obs_->mutex);
    EXPECT_EQ(obs_->lines, (std::vector<std::string>{"alpha", "beta", "gamma split", "one", "two"}));
}

TEST_F(NetSocketTest, ReplyEndingInBlanksOrLineEndPutsExactlyOneLineEndOnTheWire) {
    StartServer();
    Client& c = Connect();
    ASSERT_FALSE(c.ReadLine().empty());
    c.Send("TRAIL\nping\n");
    EXPECT_EQ(c.Read(7 + 11, 5000), "trail\r\necho:ping\r\n");
}

// --- hostile and slow peers --------------------------------------------------------------

TEST_F(NetSocketTest, EndlessLineDoesNotGrowTheConversationsBuffer) {
    StartServer();
    Client& c = Connect();
    ASSERT_FALSE(c.ReadLine().empty());
    const std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 128; ++i) c.Send(chunk);  // 8 MiB without a line end
    c.Send("\nping\n");

    EXPECT_EQ(c.ReadLine(), "500 line too long\r\n");
    EXPECT_EQ(c.ReadLine(), "echo:ping\r\n");  // the conversation goes on with the next line
    std::lock_guard lock(obs_->mutex);
    EXPECT_EQ(obs_->tooLong, 1);
    EXPECT_LE(obs_->maxBuffered, kDefaultMaxLineBytes);
    EXPECT_EQ(obs_->lines, (std::vector<std::string>{"ping"}));
}

TEST_F(NetSocketTest, ClientThatPausesReadingStillGetsEveryByteInOrder) {
    StartServer();
    Client& c = Connect();
    ASSERT_FALSE(c.ReadLine().empty());
    const int lines = 4000;  // about 4 MB of lines, then one 2 MiB line
    c.Send("BIG " + std::to_string(lines) + "\n");
    std::this_thread::sleep_for(1s);  // the socket fills up; the server must wait, not drop

    for (int i = 0; i < lines; ++i) {
        const std::string line = c.ReadLine(10000);
        ASSERT_EQ(line, TestConversation::BigLine(i) + "\r\n") << "at line " << i;
    }
    EXPECT_EQ(c.Read(TestConversation::kHugeLine.size() + 2, 10000), TestConversation::kHugeLine + "\r\n");
    EXPECT_EQ(c.ReadLine(), "END\r\n");
    c.Send("ping\n");
    EXPECT_EQ(c.ReadLine(), "echo:ping\r\n");
}

TEST_F(NetSocketTest, WriteEventComesOnceAfterAcceptThenOnlyWhenTheSocketHadBeenFull) {
    StartServer();
    Client& c = Connect();
    ASSERT_FALSE(c.ReadLine().empty());
    std::this_thread::sleep_for(300ms);  // an idle, writable socket must not keep reporting
    std::lock_guard lock(obs_->mutex);
    EXPECT_EQ(obs_->sendEvents, 1);
}

TEST_F(NetSocketTest, CloseAfterALongReplyWaitsUntilAllOfItIsOut) {
    StartServer();
    Client& c = Connect();
    ASSERT_FALSE(c.ReadLine().empty());
    c.Send("QUIT\n");
    std::this_thread::sleep_for(300ms);  // not reading yet: most of the reply is still pending
    EXPECT_EQ(c.Read(TestConversation::kFarewell.size() + 2, 10000), TestConversation::kFarewell + "\r\n");
    EXPECT_EQ(c.ReadLine(), "bye\r\n");
    EXPECT_TRUE(c.ClosedWithin(2000));
}

// --- time-out ----------------------------------------------------------------------------

TEST_F(NetSocketTest, SilentPeerIsDroppedBetweenOneAndTwoSecondsAfterTheAllowedSilence) {
    ConversationSettings settings;
    settings.timeout = 1;
    StartServer(settings);
    Client& c = Connect();
    ASSERT_FALSE(c.ReadLine().empty());

    // Activity restarts the count: a chatty peer outlives the allowed silence many times.
    for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(600ms);
        c.Send("ping\n");
        ASSERT_EQ(c.ReadLine(), "echo:ping\r\n");
    }
    const auto lastActivity = Clock::now();
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(c.StillOpen()) << "dropped after exactly the allowed silence";
    // Ticks come once a second, so the drop falls between N+1 and N+2 seconds.
    EXPECT_TRUE(c.ClosedWithin(2300)) << "still connected two seconds past the allowed silence";
    EXPECT_GE(MsSince(lastActivity), 1900);
    EXPECT_TRUE(PendingLogLine("Connection timeout"));
}

// --- socket operations on a thread of their own ------------------------------------------

namespace {

// Runs a piece of code on a socket thread, with the thread's own operations.
class ProbeThread : public CSocketThread {
public:
    explicit ProbeThread(std::function<bool(ProbeThread&)> onStart) : onStart_(std::move(onStart)) {}
    std::function<void(ProbeThread&)> onConnect, onSend, onClose;

protected:
    bool OnStart() override { return onStart_(*this); }
    void OnConnect() override {
        if (onConnect) onConnect(*this);
    }
    void OnSend() override {
        if (onSend) onSend(*this);
    }
    void OnClose() override {
        if (onClose) onClose(*this);
    }

private:
    std::function<bool(ProbeThread&)> onStart_;
};

}  // namespace

TEST(NetSocketThread, CreateOnAThreadThatHasASocketFailsWithoutTouchingIt) {
    struct Result {
        bool first = false, second = true;
        int error = 0, socketBefore = -1, socketAfter = -2;
        unsigned portBefore = 0, portAfter = 1;
    };
    std::promise<Result> done;
    auto* probe = new ProbeThread([&](ProbeThread& t) {
        Result r;
        std::string address;
        r.first = t.Create(0, SOCK_STREAM, kFdAllEvents, "127.0.0.1") && t.Listen(5);
        r.socketBefore = t.Socket();
        t.GetSockName(address, r.portBefore);
        r.second = t.Create(0, SOCK_STREAM, kFdAllEvents, "127.0.0.1");
        r.error = t.LastError();
        r.socketAfter = t.Socket();
        t.GetSockName(address, r.portAfter);
        done.set_value(r);
        return true;
    });
    ThreadHandle thread = probe->CreateThread();
    ASSERT_TRUE(thread.Valid());
    const Result r = done.get_future().get();
    EXPECT_TRUE(r.first);
    EXPECT_FALSE(r.second);
    EXPECT_EQ(r.error, 10022);
    EXPECT_EQ(r.socketAfter, r.socketBefore);
    EXPECT_EQ(r.portAfter, r.portBefore);
    { Client stillListening(r.portAfter); }  // the first socket still takes connections
    EXPECT_FALSE(thread.Ended());
    thread.PostQuit();
    EXPECT_TRUE(thread.Wait(2000));
}

TEST(NetSocketThread, CreateWithAnAddressThatIsNotDottedFailsAndEndsTheThread) {
    std::promise<int> error;
    auto* probe = new ProbeThread([&](ProbeThread& t) {
        const bool made = t.Create(0, SOCK_STREAM, kFdAllEvents, "localhost");
        error.set_value(made ? 0 : t.LastError());
        return true;  // the quit posted by the failed Create ends the thread anyway
    });
    ThreadHandle thread = probe->CreateThread();
    EXPECT_EQ(error.get_future().get(), 10022);
    EXPECT_TRUE(thread.Wait(2000));
}

TEST(NetSocketThread, ConnectReportsCompletionThenOneWriteEvent) {
    PortHolder server;
    struct Seen {
        std::mutex mutex;
        bool begun = false;
        int connectError = -1;
        int writes = 0;
    };
    auto seen = std::make_shared<Seen>();
    auto* probe = new ProbeThread([seen, port = server.Port()](ProbeThread& t) {
        const bool ok = t.Create(0, SOCK_STREAM, kFdAllEvents, "127.0.0.1") && t.AsyncSelect(kFdAllEvents);
        const bool now = ok && t.Connect("127.0.0.1", port);
        std::lock_guard lock(seen->mutex);
        seen->begun = now || t.LastError() == 10035;
        return ok;
    });
    probe->onConnect = [seen](ProbeThread& t) {
        std::lock_guard lock(seen->mutex);
        seen->connectError = t.LastError();
    };
    probe->onSend = [seen](ProbeThread& t) {
        {
            std::lock_guard lock(seen->mutex);
            ++seen->writes;
        }
        t.SendLine("HELO test");
    };
    ThreadHandle thread = probe->CreateThread();
    const int accepted = ::accept(server.Fd(), nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    char got[16] = {};
    pollfd p {accepted, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    const ssize_t n = ::recv(accepted, got, sizeof got, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(got, static_cast<size_t>(n)), "HELO test\r\n");
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard lock(seen->mutex);
        EXPECT_TRUE(seen->begun);
        EXPECT_EQ(seen->connectError, 0);
        EXPECT_EQ(seen->writes, 1);
    }
    ::close(accepted);
    thread.PostQuit();
    EXPECT_TRUE(thread.Wait(2000));
}

TEST(NetSocketThread, RefusedConnectIsReportedWithItsErrorAndNoWriteEvent) {
    const unsigned closedPort = FreePort();
    std::promise<int> connectError;
    std::atomic<int> writes {0};
    auto* probe = new ProbeThread([&, closedPort](ProbeThread& t) {
        if (!t.Create(0, SOCK_STREAM, kFdAllEvents, "127.0.0.1") || !t.AsyncSelect(kFdAllEvents)) return false;
        if (t.Connect("127.0.0.1", closedPort)) return true;
        if (t.LastError() == 10035) return true;  // the outcome comes as a connect event
        connectError.set_value(t.LastError());  // refused at once
        return true;
    });
    probe->onConnect = [&](ProbeThread& t) { connectError.set_value(t.LastError()); };
    probe->onSend = [&](ProbeThread&) { ++writes; };
    ThreadHandle thread = probe->CreateThread();
    auto future = connectError.get_future();
    ASSERT_EQ(future.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(future.get(), 10061);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(writes.load(), 0);
    thread.PostQuit();
    EXPECT_TRUE(thread.Wait(2000));
}

// --- listeners ---------------------------------------------------------------------------

namespace {

class NetListenersTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        pvtest::HiveTest::SetUp();
        fingerPort_ = FreePort();
        popPort_ = FreePort();
        smtpPort_ = FreePort();
        WritePort("fingerport", fingerPort_);
        WritePort("popport", popPort_);
        WritePort("smtpinport", smtpPort_);
        pv::platform::SetMessageBoxHandler([this](const std::string& text, const std::string& title, unsigned flags) {
            std::lock_guard lock(boxMutex_);
            boxes_.push_back({text, title, flags});
            return pv::platform::kIdOk;
        });
    }
    void TearDown() override {
        if (listeners_) listeners_->Stop(2000);
        EXPECT_TRUE(obs_->WaitUntil([&] { return obs_->ended == obs_->constructed; }, 8000));
        pv::platform::SetMessageBoxHandler(nullptr);
        pvtest::HiveTest::TearDown();
    }
    void StartAll() {
        ListenerFactories factories;
        factories.finger = Factory(obs_, {{}, 0, "finger"});
        factories.pop = Factory(obs_, {{}, 0, "pop"});
        factories.smtp = Factory(obs_, {{}, 0, "smtp"});
        listeners_ = std::make_unique<CServiceListeners>(factories, "127.0.0.1");
        ASSERT_EQ(listeners_->Start(), 3);
    }

    struct Box {
        std::string text, title;
        unsigned flags;
    };
    std::vector<Box> Boxes(size_t atLeast) {
        const auto deadline = Clock::now() + 3s;
        for (;;) {
            {
                std::lock_guard lock(boxMutex_);
                if (boxes_.size() >= atLeast || Clock::now() > deadline) return boxes_;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    std::shared_ptr<Observed> obs_ = std::make_shared<Observed>();
    unsigned fingerPort_ = 0, popPort_ = 0, smtpPort_ = 0;
    std::unique_ptr<CServiceListeners> listeners_;
    std::mutex boxMutex_;
    std::vector<Box> boxes_;
};

}  // namespace

TEST_F(NetListenersTest, SmtpPortInUseIsLoggedWhileTheOtherServicesRun) {
    PortHolder other(smtpPort_);
    StartAll();
    EXPECT_TRUE(PendingLogLine("Failed to initialise SMTP Server, SMTP server already running, Error Code =10048"));
    EXPECT_TRUE(listeners_->Smtp().Wait(2000));

    Client pop(popPort_);
    EXPECT_EQ(pop.ReadLine(), "pop 1 ready\r\n");
    Client finger(fingerPort_);
    EXPECT_EQ(finger.ReadLine(), "finger 2 ready\r\n");
    EXPECT_TRUE(Boxes(0).empty());
}

TEST_F(NetListenersTest, PortsInUseAreLoggedAndListedAsFailuresWithoutMessageBoxes) {
    PortHolder holdPop(popPort_), holdFinger(fingerPort_);
    StartAll();
    // Start waits for every listener, so the failures are known when it returns; what to do
    // about them (a box with the window, a failed start headless) is the server's decision.
    auto failures = listeners_->Failures();
    ASSERT_EQ(failures.size(), 2u);
    std::sort(failures.begin(), failures.end(), [](const auto& a, const auto& b) { return a.service < b.service; });
    EXPECT_EQ(failures[0].service, "POP3");
    EXPECT_EQ(failures[0].port, popPort_);
    EXPECT_EQ(failures[0].portValue, "popport");
    EXPECT_EQ(failures[1].service, "finger");
    EXPECT_EQ(failures[1].port, fingerPort_);
    EXPECT_EQ(failures[1].error, unsigned(pv::platform::kWsaEAddrInUse));
    std::vector<std::string> lines;
    for (std::string line; pv::TakePendingLine(line);) lines.push_back(line.substr(pv::kLogTextOffset));
    for (const char* text : {"Failed to initialise Pop, Pop service already running, Error Code =10048",
                             "Failed to initialise Finger, Finger service already running, Error Code =10048"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), text), lines.end()) << text;
    }
    EXPECT_TRUE(Boxes(0).empty());
    // The port's holder is this very process.
    EXPECT_EQ(pv::platform::ListeningPortHolder(popPort_).rfind("process " + std::to_string(::getpid()) + " (", 0), 0u);

    Client smtp(smtpPort_);
    EXPECT_EQ(smtp.ReadLine(), "smtp 1 ready\r\n");
}

TEST_F(NetListenersTest, TenClientsAtOnceGetTenIndependentConversations) {
    StartAll();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 10; ++i) clients.push_back(std::make_unique<Client>(smtpPort_));
    std::set<std::string> greetings;
    for (auto& c : clients) greetings.insert(c->ReadLine());
    EXPECT_EQ(greetings.size(), 10u);
    // Interleaved requests each get their own answer.
    for (int i = 9; i >= 0; --i) clients[i]->Send("client " + std::to_string(i) + "\n");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(clients[i]->ReadLine(), "echo:client " + std::to_string(i) + "\r\n");

    std::lock_guard lock(obs_->mutex);
    EXPECT_EQ(obs_->constructed, 10);
    EXPECT_EQ(obs_->conversationThreads.size(), 10u);
    // Every conversation was built on the listener's thread, none on its own.
    ASSERT_EQ(obs_->constructorThreads.size(), 1u);
    EXPECT_EQ(obs_->conversationThreads.count(*obs_->constructorThreads.begin()), 0u);
}

TEST_F(NetListenersTest, FingerConversationsStartWithTenSecondsOfAllowedSilence) {
    StartAll();
    Client finger(fingerPort_);
    ASSERT_FALSE(finger.ReadLine().empty());
    Client pop(popPort_);
    ASSERT_FALSE(pop.ReadLine().empty());
    std::lock_guard lock(obs_->mutex);
    EXPECT_EQ(obs_->firstTimeouts, (std::vector<int>{10, 0}));
}

TEST_F(NetListenersTest, ShutdownDoesNotWaitForABlockedConversation) {
    std::promise<void> unblock;
    obs_->unblock = unblock.get_future().share();
    PortHolder other(smtpPort_);  // one listener has already ended: it is skipped
    StartAll();
    ASSERT_TRUE(listeners_->Smtp().Wait(2000));

    Client c(popPort_);
    ASSERT_FALSE(c.ReadLine().empty());
    c.Send("BLOCK\n");
    ASSERT_TRUE(obs_->WaitUntil([&] { return obs_->lines.size() == 1; }));

    const auto start = Clock::now();
    EXPECT_TRUE(listeners_->Stop(1000));
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_TRUE(listeners_->Finger().Ended());
    EXPECT_TRUE(listeners_->Pop().Ended());
    {
        std::lock_guard lock(obs_->mutex);
        EXPECT_EQ(obs_->ended, 0);  // conversations are not waited for; they run on
    }
    unblock.set_value();
    EXPECT_EQ(c.ReadLine(), "unblocked\r\n");
}

TEST_F(NetSocketTest, ListenerOutOfDescriptorsBacksOffAndServesAgainLater) {
    StartServer();
    { Client first(port_); }  // the listener is up
    ASSERT_TRUE(obs_->WaitUntil([&] { return obs_->ended == 1; }));
    std::string line;
    while (pv::TakePendingLine(line)) {
    }

    // The client's socket is made first; then no descriptor is left for the server.
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int highest = client;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(highest) + 1;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;  // the gaps below the limit are taken too
    for (int fd; (fd = ::dup(client)) >= 0;) fillers.push_back(fd);

    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port_));
    const int connected = ::connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    std::this_thread::sleep_for(1s);
    for (int fd : fillers) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_EQ(connected, 0);

    int reports = 0;
    while (pv::TakePendingLine(line)) reports += line.find("out of file descriptors") != std::string::npos;
    EXPECT_EQ(reports, 1);
    {
        std::lock_guard lock(obs_->mutex);
        EXPECT_LE(obs_->constructed, 20) << "the listener spun instead of pausing";
    }
    // With descriptors free again the waiting client is served.
    pollfd p {client, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 3000), 1);
    char greeting[64] = {};
    EXPECT_GT(::recv(client, greeting, sizeof greeting, 0), 0);
    EXPECT_NE(std::string(greeting).find(" ready"), std::string::npos);
    ::close(client);
}

// Connections handed over in the same batch as the quit that ends the thread are closed, not
// leaked: their clients see the end of the stream.
TEST(NetThreadQueueTest, SocketsQueuedBehindAQuitAreClosed) {
    struct Idle : CSocketThread {};
    int first[2], second[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, first), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, second), 0);
    auto* idle = new Idle();
    ThreadHandle handle = idle->Handle();
    // Queued before the thread starts, so that its first look at the queue takes all three.
    ASSERT_TRUE(handle.PostThreadMessage(kWmQuit));
    ASSERT_TRUE(handle.PostThreadMessage(kWmAdoptSocket, static_cast<uintptr_t>(first[1]), kFdAllEvents));
    ASSERT_TRUE(handle.PostThreadMessage(kWmAdoptSocket, static_cast<uintptr_t>(second[1]), kFdAllEvents));
    ASSERT_TRUE(idle->CreateThread().Wait(5000));
    for (int client : {first[0], second[0]}) {
        pollfd p {client, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        char byte;
        EXPECT_EQ(::recv(client, &byte, 1, 0), 0);
        ::close(client);
    }
}
