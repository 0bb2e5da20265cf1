// The transmit run against a scripted relay on loopback: what aiosmtpd cannot be made to do
// (multi-line replies, a full socket, a reply in the middle of the body, a close before the
// greeting), plus the body reader.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "smtp/SmtpSend.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// --- the body reader -------------------------------------------------------------------

std::vector<std::string> Pieces(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
    pv::CBodyReader reader;
    EXPECT_TRUE(reader.Open(file));
    std::vector<std::string> pieces;
    std::string piece;
    while (reader.Next(piece)) pieces.push_back(piece);
    EXPECT_FALSE(reader.Failed());
    return pieces;
}

TEST(SmtpSendBodyReader, SplitsLongLinesIntoWireLinesOfAtMost1023) {
    pvtest::TempDir dir;
    const std::string f = dir / "m.txt";
    using V = std::vector<std::string>;
    EXPECT_EQ(Pieces(f, "a\r\n\r\nb\nc"), (V{"a", "", "b", "c"}));
    EXPECT_EQ(Pieces(f, ""), V{});
    // Exactly one piece long: no empty line appears after it, whatever the line end.
    const std::string full(1023, 'x');
    EXPECT_EQ(Pieces(f, full + "\r\n" + full + "\n" + full), (V{full, full, full}));
    // One longer: the last character comes as a line of its own.
    EXPECT_EQ(Pieces(f, full + "y\r\nz\r\n"), (V{full, "y", "z"}));
    // 3000 characters: three lines, the pieces in order, even across read buffers.
    std::string big;
    for (int i = 0; i < 3000; ++i) big.push_back(static_cast<char>('a' + i % 26));
    std::string many;
    for (int i = 0; i < 100; ++i) many += big + "\r\n";
    const V pieces = Pieces(f, many);
    ASSERT_EQ(pieces.size(), 300u);
    for (size_t i = 0; i < pieces.size(); i += 3) {
        ASSERT_EQ(pieces[i] + pieces[i + 1] + pieces[i + 2], big) << i;
        ASSERT_EQ(pieces[i + 2].size(), 954u);
    }
}

// --- a scripted relay --------------------------------------------------------------------

class FakeRelay {
public:
    explicit FakeRelay(int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Set before listen, so the accepted socket inherits it: a small window fills fast.
        if (receiveBuffer) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~FakeRelay() {
        if (thread_.joinable()) thread_.join();
        if (conn_ >= 0) ::close(conn_);
        ::close(fd_);
    }
    unsigned Port() const { return port_; }

    void Run(std::function<void(FakeRelay&)> script) {
        thread_ = std::thread([this, script] {
            pollfd p {fd_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) return;
            conn_ = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            script(*this);
        });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    void Say(const std::string& text) {
        std::string_view rest(text);
        while (!rest.empty()) {
            const ssize_t n = ::send(conn_, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            rest.remove_prefix(static_cast<size_t>(n));
        }
    }
    // The next command line without its CR LF, recorded; "" when the client went away.
    std::string Command() {
        for (;;) {
            const size_t lf = in_.find("\r\n");
            if (lf != std::string::npos) {
                std::string line = in_.substr(0, lf);
                in_.erase(0, lf + 2);
                commands.push_back(line);
                return line;
            }
            if (!Fill(65536)) return "";
        }
    }
    // Message data up to and including the final "." line, read chunk bytes at a time.
    std::string Data(size_t chunk = 65536) {
        for (size_t from = 0;;) {
            const size_t end = in_.find("\r\n.\r\n", from);
            if (end != std::string::npos) {
                std::string data = in_.substr(0, end + 5);
                in_.erase(0, end + 5);
                return data;
            }
            from = in_.size() < 4 ? 0 : in_.size() - 4;  // only new bytes are searched
            if (!Fill(chunk)) return in_;
        }
    }
    size_t Discard() {  // reads until the client closes
        size_t total = in_.size();
        in_.clear();
        while (Fill(65536)) {
            total += in_.size();
            in_.clear();
        }
        return total;
    }
    void Close() {
        ::close(conn_);
        conn_ = -1;
    }

    std::vector<std::string> commands;

private:
    bool Fill(size_t chunk) {
        pollfd p {conn_, POLLIN, 0};
        if (conn_ < 0 || ::poll(&p, 1, 10000) != 1) return false;
        std::string buf(chunk, '\0');
        const ssize_t n = ::recv(conn_, buf.data(), buf.size(), 0);
        if (n <= 0) return false;
        in_.append(buf.data(), static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    int conn_ = -1;
    unsigned port_ = 0;
    std::thread thread_;
    std::string in_;
};

class SmtpSendTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        fs::create_directories(Outbox());
        pv::CRegistryKey root("", true);
        root.WriteString("Gateway", "127.0.0.1");
        pv::CRegistryKey domains("Domain", true);
        domains.WriteInt("first.test", 0);
        domains.WriteInt("second.test", 1);
        pv::SetTransmitFailed(false);
        std::string drop;
        while (pv::TakePendingLine(drop)) {
        }
    }
    std::string Outbox() const { return Spool() + "/outbox"; }
    void UsePort(unsigned port, uint32_t timeout = 10) {
        pv::CRegistryKey adv("AdvCon", true);
        adv.WriteInt("smtpoutport", port);
        adv.WriteInt("SMTPouttimeout", timeout);
    }
    void Queue(const std::string& name, const std::string& envelope, const std::string& text) {
        std::ofstream(Outbox() + "/" + name + ".txt", std::ios::binary) << text;
        std::ofstream(Outbox() + "/" + name + ".wrk", std::ios::binary) << envelope;
    }
    // Starts a run, waits for its end and returns its log texts.
    std::vector<std::string> Run(int timeoutMs = 30000) {
        pv::net::ThreadHandle run = pv::CSMTPSend::StartRun();
        EXPECT_TRUE(run.Valid());
        EXPECT_TRUE(run.Wait(timeoutMs));
        std::vector<std::string> log;
        std::string line;
        while (pv::TakePendingLine(line)) log.push_back(line.substr(pv::kLogTextOffset));
        EXPECT_EQ(pv::CSMTPSend::LiveCount(), 0);
        EXPECT_FALSE(pv::Events().Test(pv::NamedEvent::SmtpTr));
        return log;
    }
    bool Exists(const std::string& file) const { return fs::exists(Outbox() + "/" + file); }
    // The single report in the inbox, as lines.
    std::vector<std::string> InboxReport() {
        std::vector<std::string> lines;
        for (const auto& e : fs::directory_iterator(Spool() + "/inbox")) {
            if (e.path().extension() != ".wrk") continue;
            std::string text = pvtest::ReadFileBytes(e.path().parent_path() / (e.path().stem().string() + ".txt"));
            for (size_t pos = 0, crlf; (crlf = text.find("\r\n", pos)) != std::string::npos; pos = crlf + 2) {
                lines.push_back(text.substr(pos, crlf - pos));
            }
        }
        return lines;
    }
};

bool Contains(const std::vector<std::string>& log, const std::string& text) {
    for (const auto& l : log) {
        if (l.find(text) != std::string::npos) return true;
    }
    return false;
}

TEST_F(SmtpSendTest, EmptyOutboxEndsAtOnceWithoutAWord) {
    FakeRelay relay;
    UsePort(relay.Port());
    pv::SetTransmitFailed(true);  // left as it is
    EXPECT_TRUE(Run().empty());
    EXPECT_TRUE(pv::TransmitFailed());
    pv::SetTransmitFailed(false);
    EXPECT_TRUE(Run().empty());
    EXPECT_FALSE(pv::TransmitFailed());
}

TEST_F(SmtpSendTest, MultiLineRepliesAnswerTheCommandTheyBelongTo) {
    FakeRelay relay;
    UsePort(relay.Port());
    Queue("f0000001", "carol@example.test\r\nr1@remote.test\r\nr2@remote.test\r\n", "Subject: m\r\n\r\nbody\r\n");
    relay.Run([](FakeRelay& r) {
        r.Say("220-relay.test hello\r\n220-more\r\n220 relay.test ready\r\n");
        r.Command();  // HELO
        r.Say("250-relay.test\r\n250 HELP\r\n");
        r.Command();  // MAIL
        r.Say("250-sender\r\n250 ok\r\n");
        r.Command();  // RCPT r1
        r.Say("550-5.1.1 no such user\r\n550 5.1.1 really not\r\n");
        r.Command();  // RCPT r2
        r.Say("250-recipient\r\n250 ok\r\n");
        if (r.Command() != "DATA") return;
        r.Say("354 go ahead\r\n");
        r.Data();
        r.Say("250-queued\r\n250 as 42\r\n");
        r.Command();  // QUIT
        r.Say("221 bye\r\n");
    });
    const auto log = Run();
    relay.Join();
    EXPECT_EQ(relay.commands, (std::vector<std::string>{"HELO second.test", "MAIL FROM: <carol@example.test>",
                                                        "RCPT TO: <r1@remote.test>", "RCPT TO: <r2@remote.test>",
                                                        "DATA", "QUIT"}));
    EXPECT_TRUE(Contains(log, "SMTP Send succeeded"));
    const auto report = InboxReport();
    ASSERT_GE(report.size(), 20u);
    EXPECT_EQ(report[2], "Subject: Recipient rejected by receiver");
    EXPECT_EQ(std::vector<std::string>(report.begin() + 6, report.begin() + 20),
              (std::vector<std::string>{"<MAIL FROM: <carol@example.test>", ">250-sender", ">250 ok",
                                        "<RCPT TO: <r1@remote.test>", ">550-5.1.1 no such user",
                                        ">550 5.1.1 really not", "<RCPT TO: <r2@remote.test>", ">250-recipient",
                                        ">250 ok", "<DATA", ">354 go ahead", ">250-queued", ">250 as 42",
                                        "---------"}));
}

TEST_F(SmtpSendTest, ABodyTheSocketCannotTakeAtOnceArrivesWhole) {
    // A relay with a tiny window that waits before reading: the transmitter's sends stop part
    // way many times and must go on exactly where they stopped.
    FakeRelay relay(4096);
    UsePort(relay.Port());
    std::string text, wire;
    for (int i = 0; text.size() < 10 * 1024 * 1024; ++i) {
        std::string line = i % 7 == 0 ? "." + std::to_string(i) : "line " + std::to_string(i) + " of the body";
        if (i % 101 == 0) line = std::string(2500 + i % 300, static_cast<char>('a' + i % 26));
        if (i % 211 == 0) line = ".";
        text += line + "\r\n";
        for (size_t pos = 0; pos == 0 || pos < line.size(); pos += 1023) {
            std::string piece = line.substr(pos, 1023);
            wire += (piece.starts_with(".") ? "." : "") + piece + "\r\n";
        }
    }
    wire += ".\r\n";
    Queue("f0000001", "carol@example.test\r\nr1@remote.test\r\n", text);
    std::string received;
    relay.Run([&](FakeRelay& r) {
        r.Say("220 relay.test\r\n");
        r.Command();
        r.Say("250 relay.test\r\n");
        r.Command();
        r.Say("250 ok\r\n");
        r.Command();
        r.Say("250 ok\r\n");
        r.Command();
        r.Say("354 go ahead\r\n");
        std::this_thread::sleep_for(300ms);
        received = r.Data(1024);
        r.Say("250 ok\r\n");
        r.Command();
        r.Say("221 bye\r\n");
    });
    const auto log = Run(60000);
    relay.Join();
    EXPECT_EQ(received.size(), wire.size());
    EXPECT_TRUE(received == wire) << "the body arrived changed";
    EXPECT_TRUE(Contains(log, "SMTP Send succeeded"));
    EXPECT_FALSE(Exists("f0000001.wrk"));
    EXPECT_FALSE(Exists("f0000001.txt"));
}

TEST_F(SmtpSendTest, AReplyInTheMiddleOfTheBodyEndsTheRunAndKeepsTheQueue) {
    FakeRelay relay(4096);
    UsePort(relay.Port());
    Queue("f0000001", "carol@example.test\r\nr1@remote.test\r\n", std::string(8 * 1024 * 1024, 'x') + "\r\n");
    Queue("f0000002", "erin@example.test\r\nr2@remote.test\r\n", "Subject: second\r\n\r\n");
    relay.Run([](FakeRelay& r) {
        r.Say("220 relay.test\r\n");
        for (const char* reply : {"250 relay.test\r\n", "250 ok\r\n", "250 ok\r\n", "354 go ahead\r\n"}) {
            r.Command();
            r.Say(reply);
        }
        r.Say("552 message too big\r\n");
        r.Discard();
    });
    const auto log = Run();
    relay.Join();
    EXPECT_TRUE(Contains(log, "SMTP send stopped in the middle of message f0000001 from <carol@example.test>: "
                              "the relay answered \"552 message too big\""));
    EXPECT_FALSE(Contains(log, "SMTP Send succeeded"));
    EXPECT_TRUE(Exists("f0000001.wrk"));
    EXPECT_TRUE(Exists("f0000002.wrk"));
    EXPECT_FALSE(fs::exists(Spool() + "/inbox"));
}

TEST_F(SmtpSendTest, ARefusedReportIsNotReportedAgain) {
    FakeRelay relay;
    UsePort(relay.Port());
    Queue("f0000001", "postvane\r\ncarol@remote.test\r\n", "From: \"mail-deamon\" <postvane>\r\n\r\nreport\r\n");
    relay.Run([](FakeRelay& r) {
        r.Say("220 relay.test\r\n");
        for (const char* reply : {"250 relay.test\r\n", "250 ok\r\n", "550 no such user\r\n", "250 reset\r\n",
                                  "221 bye\r\n"}) {
            r.Command();
            r.Say(reply);
        }
    });
    const auto log = Run();
    relay.Join();
    EXPECT_EQ(relay.commands.back(), "QUIT");
    EXPECT_TRUE(Contains(log, "refused failure report f0000001"));
    EXPECT_FALSE(fs::exists(Spool() + "/inbox") && !fs::is_empty(Spool() + "/inbox"));
    EXPECT_TRUE(Exists("f0000001.old"));
    EXPECT_TRUE(Exists("f0000001.txt"));
}

TEST_F(SmtpSendTest, LosingTheRelayBeforeItsGreetingFailsTheRun) {
    Queue("f0000001", "carol@example.test\r\nr1@remote.test\r\n", "Subject: x\r\n\r\n");
    {
        FakeRelay relay;
        UsePort(relay.Port());
        relay.Run([](FakeRelay& r) { r.Close(); });
        const auto log = Run();
        EXPECT_EQ(log, (std::vector<std::string>{"SMTP transmit connecting to 127.0.0.1", "SMTP send connection rejected",
                                                 "SMTP send connection failed"}));
        EXPECT_TRUE(pv::TransmitFailed());
    }
    // Nothing listens: the refusal is reported at once, not after the time-out.
    pv::SetTransmitFailed(false);
    unsigned port;
    {
        FakeRelay closed;
        port = closed.Port();
    }
    UsePort(port, 60);
    const auto start = std::chrono::steady_clock::now();
    const auto log = Run();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[1].find("could not connect to 127.0.0.1 on port " + std::to_string(port) +
                          ": Connection Refused (10061)"),
              std::string::npos)
        << log[1];
    EXPECT_EQ(log[2], "SMTP send connection failed");
    EXPECT_TRUE(pv::TransmitFailed());
    EXPECT_TRUE(Exists("f0000001.wrk"));
}

}  // namespace
