// TLS in the socket threads over loopback: handshakes both ways, large transfers through small
// reads and full sockets, STARTTLS dropping what was sent before it, certificate checks and
// pins, and peers that never speak TLS.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "core/Log.h"
#include "net/SocketThread.h"
#include "net/Tls.h"

using namespace std::chrono_literals;
using namespace pv::net;

namespace {

// What both ends saw; shared because conversations delete themselves.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> serverLines;
    std::vector<std::string> events;  // "server ok", "client failed: <reason>", ...
    size_t serverBytes = 0;           // line bytes the server received after TLS
    size_t clientBytes = 0;
    std::string clientFingerprint;    // the server certificate as the client saw it
    bool serverWasTls = false;
    bool clientDone = false;
    int ended = 0;

    void Update(const std::function<void()>& change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 20000) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
    }
    bool HasEvent(const std::string& e) {
        for (const auto& x : events) {
            if (x == e) return true;
        }
        return false;
    }
};

std::string Payload(size_t i) {
    std::string line = "payload " + std::to_string(i) + " ";
    line.resize(997, static_cast<char>('a' + i % 26));
    return line;
}

constexpr size_t kLines = 4000;  // about 4 MB each way: far more than the sockets hold

// The server end. Implicit TLS starts before the greeting; with STARTTLS the conversation
// begins in plain text and switches at the STARTTLS line.
class Server : public CSocketThread {
public:
    Server(std::shared_ptr<Seen> seen, std::shared_ptr<CTlsContext> ctx, bool startTls)
        : seen_(std::move(seen)), ctx_(std::move(ctx)), startTls_(startTls) {
        if (!startTls_) SetImplicitTls(ctx_);
    }
    ~Server() override {
        seen_->Update([&] { ++seen_->ended; });
    }

protected:
    void OnSend() override {
        if (started_) return;
        started_ = true;
        // With implicit TLS the first write event comes after the handshake.
        SendLine(IsTls() ? "hello tls" : "hello plain");
    }
    void OnTlsReady(bool ok, const std::string& reason) override {
        seen_->Update([&] { seen_->events.push_back(ok ? "server ok" : "server failed: " + reason); });
        if (!ok) CSocketThread::OnTlsReady(ok, reason);
    }
    // Small reads: a TLS record is taken in many pieces, the rest waiting inside the session.
    void OnReceive() override { ReceiveLines(kLineReceiveSize); }
    void OnLine(std::string& line) override {
        const bool tls = IsTls();
        seen_->Update([&] {
            if (line.rfind("payload ", 0) == 0) {
                seen_->serverBytes += line.size();
            } else if (line.rfind("PROBE ", 0) == 0) {
                seen_->serverLines.push_back("PROBE " + std::to_string(line.size()));
            } else {
                seen_->serverLines.push_back(line);
            }
            seen_->serverWasTls = tls;
        });
        if (line.rfind("PROBE ", 0) == 0) {
            SendLine("probe ok");
        } else if (line == "STARTTLS") {
            SendLine("220 go ahead");
            StartTlsServer(ctx_);
        } else if (line == "END") {
            // All at once: the output waits in the socket layer and goes out over many writes.
            std::string all;
            for (size_t i = 0; i < kLines; ++i) all += Payload(i) + "\r\n";
            SendBytes(all);
            SendLine("DONE");
        } else if (line == "QUIT") {
            SendLine("bye");
            CloseWhenSent();
        }
    }
    void OnClose() override { Close(true); }

private:
    std::shared_ptr<Seen> seen_;
    std::shared_ptr<CTlsContext> ctx_;
    bool startTls_;
    bool started_ = false;
};

struct ClientPlan {
    TlsClientOptions options;
    bool startTls = false;       // say STARTTLS in plain text first
    std::string beforeTls;       // sent with the STARTTLS line, in the same packet
    bool bigTransfer = true;
};

class Client : public CSocketThread {
public:
    Client(std::shared_ptr<Seen> seen, std::shared_ptr<CTlsContext> ctx, unsigned port, ClientPlan plan)
        : seen_(std::move(seen)), ctx_(std::move(ctx)), port_(port), plan_(std::move(plan)) {}

protected:
    bool OnStart() override {
        SetTimeout(30);
        return Create() && AsyncSelect(kFdAllEvents) && (Connect("127.0.0.1", port_) || LastError() == 10035);
    }
    void OnConnect() override {
        if (LastError() != 0) {
            Finish("client failed: connect");
            return;
        }
        if (!plan_.startTls) StartTlsClient(ctx_, plan_.options);
    }
    void OnTlsReady(bool ok, const std::string& reason) override {
        const std::string fp = TlsPeerFingerprint();
        seen_->Update([&] {
            seen_->events.push_back(ok ? "client ok" : "client failed: " + reason);
            seen_->clientFingerprint = fp;
        });
        if (!ok) {
            Finish("");
            return;
        }
        if (plan_.startTls) SendLine("AFTER");
        // One record far larger than a read, and then nothing until the answer: most of it
        // waits inside the session with the socket empty, and must still be read.
        SendLine("PROBE " + std::string(12000, 'p'));
    }
    void OnReceive() override { ReceiveLines(kMaxLineReceiveSize); }
    void OnLine(std::string& line) override {
        if (line == "hello plain") {
            SendBytes("STARTTLS\r\n" + plan_.beforeTls);
        } else if (line == "probe ok") {
            if (plan_.bigTransfer) {
                std::string all;
                for (size_t i = 0; i < kLines; ++i) all += Payload(i) + "\r\n";
                SendBytes(all);
            }
            SendLine("END");
        } else if (line == "220 go ahead") {
            StartTlsClient(ctx_, plan_.options);
        } else if (line.rfind("payload ", 0) == 0) {
            clientBytes_ += line.size();
        } else if (line == "DONE") {
            const size_t n = clientBytes_;
            seen_->Update([&] { seen_->clientBytes = n; });
            SendLine("QUIT");
        } else if (line == "bye") {
            Finish("");
        }
    }
    void OnClose() override { Finish(""); }
    void OnTimeout() override { Finish("client failed: time-out"); }

private:
    void Finish(const std::string& event) {
        seen_->Update([&] {
            if (!event.empty()) seen_->events.push_back(event);
            seen_->clientDone = true;
        });
        Close(true);
    }

    std::shared_ptr<Seen> seen_;
    std::shared_ptr<CTlsContext> ctx_;
    unsigned port_;
    ClientPlan plan_;
    size_t clientBytes_ = 0;
};

// A listening socket on loopback whose connections go to fresh Server threads.
class Acceptor {
public:
    Acceptor() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(fd_, 16);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~Acceptor() { ::close(fd_); }
    unsigned Port() const { return port_; }
    // Accepts one connection and gives it to a new server conversation.
    void ServeOne(CSocketThread* server) {
        threads.push_back(server->Handle());
        pollfd p {fd_, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 10000), 1) << "no connection came";
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        ASSERT_GE(fd, 0);
        ThreadHandle h = server->CreateThread(ThreadPriority::Normal, 256 * 1024);
        ASSERT_TRUE(h.PostThreadMessage(kWmAdoptSocket, static_cast<uintptr_t>(fd), kFdAllEvents));
    }

    std::vector<ThreadHandle> threads;  // every conversation, waited for at the end

private:
    int fd_ = -1;
    unsigned port_ = 0;
};

// A blocking plain client, for peers that never speak TLS.
int ConnectPlain(unsigned port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the server closed the connection within the time (whatever it sent first).
bool ClosedWithin(int fd, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p {fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
    return false;
}

class NetTlsTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        pvtest::HiveTest::SetUp();
        cert_ = dir_ / "cert.pem";
        key_ = dir_ / "key.pem";
        std::string error;
        ASSERT_TRUE(MakeSelfSignedCertificate("localhost", cert_, key_, error)) << error;
        serverCtx_ = MakeServerTlsContext(cert_, key_, error);
        ASSERT_TRUE(serverCtx_) << error;
        fingerprint_ = CertificateFingerprint(cert_, error);
        ASSERT_EQ(fingerprint_.size(), 64u) << error;
    }
    void TearDown() override {
        // No conversation may outlive the test (and its objects be taken for leaks at exit).
        for (const ThreadHandle& t : acceptor_.threads) {
            t.PostQuit();
            EXPECT_TRUE(t.Wait(10000));
        }
        pvtest::HiveTest::TearDown();
    }

    // One conversation between a Server and a Client; waits until both have ended.
    void Run(std::shared_ptr<CTlsContext> clientCtx, ClientPlan plan, bool startTls = false) {
        auto* client = new Client(seen_, std::move(clientCtx), acceptor_.Port(), std::move(plan));
        acceptor_.threads.push_back(client->CreateThread());
        ASSERT_TRUE(acceptor_.threads.back().Valid());
        acceptor_.ServeOne(new Server(seen_, serverCtx_, startTls));
        EXPECT_TRUE(seen_->WaitUntil([&] { return seen_->clientDone && seen_->ended == 1; }, 30000))
            << "the conversation did not finish";
    }

    std::string cert_, key_, fingerprint_;
    std::shared_ptr<CTlsContext> serverCtx_;
    std::shared_ptr<Seen> seen_ = std::make_shared<Seen>();
    Acceptor acceptor_;
};

TEST_F(NetTlsTest, CertificateHelpersWriteAPrivateKeyAndAStableFingerprint) {
    struct stat st {};
    ASSERT_EQ(::stat(key_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string error;
    EXPECT_EQ(CertificateFingerprint(cert_, error), fingerprint_);
    EXPECT_EQ(NormalizeFingerprint("AB:cd:0F"), "abcd0f");

    // Settings a person gets wrong are named, and nothing is made.
    EXPECT_FALSE(MakeServerTlsContext(dir_ / "missing.pem", key_, error));
    EXPECT_NE(error.find("missing.pem could not be read"), std::string::npos) << error;
    EXPECT_NE(error.find("AdvCon\\TlsCertificate"), std::string::npos) << error;
    EXPECT_FALSE(MakeServerTlsContext(cert_, cert_, error));
    EXPECT_NE(error.find("AdvCon\\TlsKey"), std::string::npos) << error;
    ASSERT_TRUE(MakeSelfSignedCertificate("other.example", dir_ / "c2.pem", dir_ / "k2.pem", error)) << error;
    EXPECT_FALSE(MakeServerTlsContext(cert_, dir_ / "k2.pem", error));
    EXPECT_NE(error.find("does not belong"), std::string::npos) << error;
}

TEST_F(NetTlsTest, ImplicitTlsCarriesMegabytesBothWaysThroughSmallReadsAndFullSockets) {
    std::string error;
    auto ctx = MakeClientTlsContext(cert_, error);
    ASSERT_TRUE(ctx) << error;
    ClientPlan plan;
    plan.options.host = "localhost";
    Run(ctx, plan);
    std::lock_guard lock(seen_->mutex);
    EXPECT_TRUE(seen_->HasEvent("server ok"));
    EXPECT_TRUE(seen_->HasEvent("client ok"));
    EXPECT_TRUE(seen_->serverWasTls);
    EXPECT_EQ(seen_->serverBytes, kLines * 997);
    EXPECT_EQ(seen_->clientBytes, kLines * 997);
    EXPECT_EQ(seen_->serverLines, (std::vector<std::string> {"PROBE 12006", "END", "QUIT"}));
    EXPECT_EQ(seen_->clientFingerprint, fingerprint_);
}

TEST_F(NetTlsTest, StartTlsDropsWhatTheClientSentBeforeTheHandshake) {
    std::string error;
    auto ctx = MakeClientTlsContext(cert_, error);
    ASSERT_TRUE(ctx) << error;
    ClientPlan plan;
    plan.options.host = "localhost";
    plan.startTls = true;
    plan.beforeTls = "INJECTED\r\n";
    plan.bigTransfer = false;
    Run(ctx, plan, /*startTls=*/true);
    std::lock_guard lock(seen_->mutex);
    EXPECT_TRUE(seen_->HasEvent("client ok"));
    EXPECT_EQ(seen_->serverLines, (std::vector<std::string> {"STARTTLS", "AFTER", "PROBE 12006", "END", "QUIT"}));
}

TEST_F(NetTlsTest, CertificateForAnotherHostIsRefused) {
    std::string error;
    auto ctx = MakeClientTlsContext(cert_, error);
    ASSERT_TRUE(ctx) << error;
    ClientPlan plan;
    plan.options.host = "mail.example.org";
    Run(ctx, plan);
    std::lock_guard lock(seen_->mutex);
    EXPECT_TRUE(seen_->HasEvent("client failed: certificate verify failed: hostname mismatch"));
    EXPECT_FALSE(seen_->HasEvent("server ok"));
    EXPECT_TRUE(seen_->serverLines.empty());
}

TEST_F(NetTlsTest, SelfSignedCertificateIsRefusedUnlessPinned) {
    std::string error;
    auto ctx = MakeClientTlsContext(error);  // the system's roots only
    ASSERT_TRUE(ctx) << error;
    ClientPlan plan;
    plan.options.host = "localhost";
    plan.bigTransfer = false;
    Run(ctx, plan);
    {
        std::lock_guard lock(seen_->mutex);
        EXPECT_TRUE(seen_->HasEvent("client failed: certificate verify failed: self-signed certificate"))
            << (seen_->events.empty() ? "" : seen_->events.back());
    }

    // The pin takes it whatever the name, written as people copy fingerprints.
    seen_ = std::make_shared<Seen>();
    std::string colons;
    for (size_t i = 0; i < fingerprint_.size(); i += 2) colons += (i ? ":" : "") + fingerprint_.substr(i, 2);
    for (auto& c : colons) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    plan.options.host = "relay.example.net";
    plan.options.pinnedSha256 = colons;
    Run(ctx, plan);
    {
        std::lock_guard lock(seen_->mutex);
        EXPECT_TRUE(seen_->HasEvent("client ok"));
        EXPECT_EQ(seen_->serverLines, (std::vector<std::string> {"PROBE 12006", "END", "QUIT"}));
    }

    // Another pin refuses it.
    seen_ = std::make_shared<Seen>();
    plan.options.pinnedSha256 = std::string(64, '0');
    Run(ctx, plan);
    std::lock_guard lock(seen_->mutex);
    EXPECT_TRUE(seen_->HasEvent("client failed: the certificate's fingerprint is not the pinned one"));
    EXPECT_TRUE(seen_->serverLines.empty());
}

TEST_F(NetTlsTest, PeerThatNeverSpeaksTlsEndsOnlyItsOwnConversation) {
    std::string line;
    while (pv::TakePendingLine(line)) {
    }
    // Garbage instead of a ClientHello.
    const int garbage = ConnectPlain(acceptor_.Port());
    ASSERT_GE(garbage, 0);
    acceptor_.ServeOne(new Server(seen_, serverCtx_, false));
    const std::string junk = "GET / HTTP/1.0\r\nHost: x\r\n\r\n";
    ASSERT_EQ(::send(garbage, junk.data(), junk.size(), MSG_NOSIGNAL), static_cast<ssize_t>(junk.size()));
    EXPECT_TRUE(ClosedWithin(garbage, 5000));
    ::close(garbage);

    // A peer that leaves in the middle of the handshake.
    const int quitter = ConnectPlain(acceptor_.Port());
    acceptor_.ServeOne(new Server(seen_, serverCtx_, false));
    ::close(quitter);
    ASSERT_TRUE(seen_->WaitUntil([&] { return seen_->ended == 2; }, 5000));

    // A peer that connects and says nothing is not kept for ever.
    const int silent = ConnectPlain(acceptor_.Port());
    auto* waiting = new Server(seen_, serverCtx_, false);
    waiting->SetTlsHandshakeLimit(1);
    acceptor_.ServeOne(waiting);
    EXPECT_TRUE(ClosedWithin(silent, 5000));
    ::close(silent);
    ASSERT_TRUE(seen_->WaitUntil([&] { return seen_->ended == 3; }, 5000));
    {
        std::lock_guard lock(seen_->mutex);
        ASSERT_EQ(seen_->events.size(), 3u);
        EXPECT_EQ(seen_->events[0].rfind("server failed: handshake failed: ", 0), 0u) << seen_->events[0];
        EXPECT_EQ(seen_->events[1], "server failed: peer closed during handshake");
        EXPECT_EQ(seen_->events[2], "server failed: the handshake was not finished within 1 s");
    }
    bool logged = false;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (!logged && std::chrono::steady_clock::now() < deadline) {
        while (pv::TakePendingLine(line)) {
            if (line.find("TLS handshake with [127.0.0.1] failed: peer closed during handshake") != std::string::npos) {
                logged = true;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(logged);

    // The next client is served as if nothing had happened.
    seen_ = std::make_shared<Seen>();
    std::string error;
    auto ctx = MakeClientTlsContext(cert_, error);
    ClientPlan plan;
    plan.options.host = "localhost";
    plan.bigTransfer = false;
    Run(ctx, plan);
    std::lock_guard lock(seen_->mutex);
    EXPECT_TRUE(seen_->HasEvent("client ok"));
}

}  // namespace
