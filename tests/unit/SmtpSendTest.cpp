// The transmit run against a scripted relay on loopback: what aiosmtpd cannot be made to do
// (multi-line replies, a full socket, a reply in the middle of the body, a close before the
// greeting), plus the body reader.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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
#include "platform/FileLock.h"
#include "smtp/SmtpSend.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// --- the body reader -------------------------------------------------------------------

// The file's lines as the reader hands them out, pieces of one line joined; and how many
// pieces the longest line took.
std::vector<std::string> Lines(const std::string& file, const std::string& bytes, size_t* mostPieces = nullptr) {
    std::ofstream(file, std::ios::binary) << bytes;
    pv::CBodyReader reader;
    EXPECT_TRUE(reader.Open(file));
    std::vector<std::string> lines;
    std::string line, piece;
    bool ends = false;
    size_t pieces = 0, most = 0;
    while (reader.Next(piece, ends)) {
        EXPECT_LE(piece.size(), pv::CBodyReader::kMaxPiece);
        line += piece;
        ++pieces;
        if (!ends) continue;
        lines.push_back(line);
        line.clear();
        most = std::max(most, pieces);
        pieces = 0;
    }
    EXPECT_EQ(line, "") << "a piece was never ended";
    EXPECT_FALSE(reader.Failed());
    if (mostPieces) *mostPieces = most;
    return lines;
}

TEST(SmtpSendBodyReader, LinesComeOutWholeInBoundedPieces) {
    pvtest::TempDir dir;
    const std::string f = dir / "m.txt";
    using V = std::vector<std::string>;
    EXPECT_EQ(Lines(f, "a\r\n\r\nb\nc"), (V{"a", "", "b", "c"}));
    EXPECT_EQ(Lines(f, ""), V{});
    EXPECT_EQ(Lines(f, "mid\rcr\r\ntrailing\r\r\n"), (V{"mid\rcr", "trailing"}));
    // Lines far longer than a piece, and a CR LF that falls on a piece's edge: whole again.
    const size_t piece = pv::CBodyReader::kMaxPiece;
    std::string big;
    for (size_t i = 0; i < 3 * piece + 17; ++i) big.push_back(static_cast<char>('a' + i % 26));
    const std::string edge(piece - 1, 'e');
    size_t most = 0;
    EXPECT_EQ(Lines(f, big + "\r\n" + edge + "\r\n" + std::string(piece, 'f') + "\r\nend", &most),
              (V{big, edge, std::string(piece, 'f'), "end"}));
    EXPECT_EQ(most, 4u);
    std::string many;
    for (int i = 0; i < 50; ++i) many += big + "\r\n" + std::string(3000, 'x') + "\n";
    const V lines = Lines(f, many);
    ASSERT_EQ(lines.size(), 100u);
    for (size_t i = 0; i < lines.size(); i += 2) {
        ASSERT_EQ(lines[i], big) << i;
        ASSERT_EQ(lines[i + 1], std::string(3000, 'x')) << i;
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
    // The report's lines, without the header lines every generated message has (Date,
    // Message-ID, MIME, Auto-Submitted: the header helper's business, not the report's).
    std::vector<std::string> InboxReport() {
        std::vector<std::string> lines;
        for (const auto& e : fs::directory_iterator(Spool() + "/inbox")) {
            if (e.path().extension() != ".wrk") continue;
            std::string text = pvtest::ReadFileBytes(e.path().parent_path() / (e.path().stem().string() + ".txt"));
            bool inHeader = true;
            for (size_t pos = 0, crlf; (crlf = text.find("\r\n", pos)) != std::string::npos; pos = crlf + 2) {
                const std::string line = text.substr(pos, crlf - pos);
                inHeader = inHeader && !line.empty();
                bool generated = false;
                for (const char* name : {"Date:", "Message-ID:", "In-Reply-To:", "References:", "MIME-Version:",
                                         "Content-Type:", "Content-Transfer-Encoding:", "Auto-Submitted:"}) {
                    generated = generated || (inHeader && line.rfind(name, 0) == 0);
                }
                if (!generated) lines.push_back(line);
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

// A relay that answers every command by rule: reply(command, current sender) gives the reply;
// for the end of the data the command is ".". An empty reply closes the connection.
void Serve(FakeRelay& r, std::function<std::string(const std::string&, const std::string&)> reply) {
    r.Say("220 relay.test\r\n");
    std::string sender;
    for (;;) {
        std::string command = r.Command();
        if (command.empty()) return;
        if (command.starts_with("MAIL FROM: <")) sender = command.substr(12, command.size() - 13);
        std::string answer = command == "QUIT" ? "221 bye" : reply(command, sender);
        if (answer.empty() && command.starts_with("HELO")) answer = "250 relay.test";
        if (command == "DATA" && answer.starts_with("354")) {
            r.Say(answer + "\r\n");
            r.Data();
            answer = reply(".", sender);
        }
        if (answer == "close") {
            r.Close();
            return;
        }
        r.Say((answer.empty() ? "250 ok" : answer) + "\r\n");
        if (answer.starts_with("421") || command == "QUIT") {
            r.Close();
            return;
        }
    }
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
        if (i % 997 == 0) line = std::string(70000 + i, static_cast<char>('A' + i % 26));
        if (i % 211 == 0) line = ".";
        text += line + "\r\n";
        wire += (line.starts_with(".") ? "." : "") + line + "\r\n";  // whole, however long
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

TEST_F(SmtpSendTest, ARelayThatClosesOnAMessageHoldsUpNoOtherAndTheThirdTimeItIsSetAside) {
    // The relay gives up with 421 on one recipient, as a relay does after too many errors.
    auto rules = [](const std::string& command, const std::string&) -> std::string {
        if (command == "RCPT TO: <stall@remote.test>") return "421 4.7.0 relay.test Error: too many errors";
        if (command == "DATA") return "354 go ahead";
        return "";
    };
    Queue("f0000001", "carol@example.test\r\nstall@remote.test\r\n", "Subject: stuck\r\n\r\nx\r\n");
    Queue("f0000002", "erin@example.test\r\nok2@remote.test\r\n", "Subject: two\r\n\r\n");
    Queue("f0000003", "erin@example.test\r\nok3@remote.test\r\n", "Subject: three\r\n\r\n");
    std::vector<std::vector<std::string>> senders;
    for (int run = 1; run <= 3; ++run) {
        FakeRelay relay;
        UsePort(relay.Port());
        relay.Run([&](FakeRelay& r) { Serve(r, rules); });
        const auto log = Run();
        relay.Join();
        std::vector<std::string> mail;
        for (const auto& c : relay.commands) {
            if (c.starts_with("MAIL")) mail.push_back(c.substr(12, c.size() - 13));
        }
        senders.push_back(mail);
        EXPECT_FALSE(pv::TransmitFailed());
        if (run < 3) {
            EXPECT_TRUE(Contains(log, "without progress (" + std::to_string(run) + " of 3 runs)")) << run;
            EXPECT_EQ(pvtest::ReadFileBytes(Outbox() + "/f0000001.cnt"), std::to_string(run) + "\r\n");
            EXPECT_TRUE(Exists("f0000001.wrk"));
        }
    }
    // The first run stops on it; later runs send the others first.
    EXPECT_EQ(senders, (std::vector<std::vector<std::string>>{
                           {"carol@example.test"}, {"erin@example.test", "erin@example.test", "carol@example.test"},
                           {"carol@example.test"}}));
    EXPECT_FALSE(Exists("f0000002.wrk"));
    EXPECT_FALSE(Exists("f0000003.wrk"));
    // Third run: reported once and set aside, its text kept, no count left behind.
    EXPECT_FALSE(Exists("f0000001.wrk"));
    EXPECT_TRUE(Exists("f0000001.old"));
    EXPECT_TRUE(Exists("f0000001.txt"));
    EXPECT_FALSE(Exists("f0000001.cnt"));
    const auto report = InboxReport();
    ASSERT_GE(report.size(), 12u);
    EXPECT_EQ(report[1], "To: carol@example.test");
    EXPECT_EQ(report[2], "Subject: Failed mail");
    EXPECT_EQ(report[4], "The relay ended the conversation on this message in 3 runs in a row; it is set aside and "
                         "not sent again.");
    EXPECT_NE(std::find(report.begin(), report.end(), ">421 4.7.0 relay.test Error: too many errors"), report.end());
    EXPECT_EQ(pv::LastTransmitTotals().setAside, 1);
    EXPECT_TRUE(Run().empty());  // nothing left to send
}

TEST_F(SmtpSendTest, PermanentRefusalsAreReportedOnceAndTemporaryOnesKeepWhatTheyConcern) {
    auto first = [](const std::string& command, const std::string& sender) -> std::string {
        if (command == "MAIL FROM: <m1@example.test>") return "552 5.3.4 sender over quota";
        if (command == "RCPT TO: <gone@remote.test>") return "550 5.1.1 no such user";
        if (command == "RCPT TO: <later@remote.test>") return "450 4.2.1 try later";
        if (command == "DATA") return "354 go ahead";
        if (command == ".") {
            if (sender == "m2@example.test") return "552 5.3.4 message file too big";
            if (sender == "m3@example.test" || sender == "m4@example.test") return "451 4.3.0 queue trouble";
        }
        return "";
    };
    Queue("f0000001", "m1@example.test\r\na@remote.test\r\n", "Subject: 1\r\n\r\n");
    Queue("f0000002", "m2@example.test\r\na@remote.test\r\n", "Subject: 2\r\n\r\n");
    Queue("f0000003", "m3@example.test\r\ngone@remote.test\r\nkept@remote.test\r\n", "Subject: 3\r\n\r\n");
    Queue("f0000004", "m4@example.test\r\nkept@remote.test\r\n", "Subject: 4\r\n\r\n");
    Queue("f0000005", "m5@example.test\r\nlater@remote.test\r\nnow@remote.test\r\n", "Subject: 5\r\n\r\n");
    {
        FakeRelay relay;
        UsePort(relay.Port());
        relay.Run([&](FakeRelay& r) { Serve(r, first); });
        Run();
    }
    // 5xx for the sender or the text: reported and set aside. A recipient refused for good:
    // reported, and the message keeps only the others, also when the text then gets a 4xx.
    // A 4xx alone changes nothing; a 4xx recipient of a delivered message stays queued alone.
    EXPECT_TRUE(Exists("f0000001.old") && Exists("f0000002.old"));
    EXPECT_EQ(pvtest::ReadFileBytes(Outbox() + "/f0000003.wrk"), "m3@example.test\r\nkept@remote.test\r\n");
    EXPECT_EQ(pvtest::ReadFileBytes(Outbox() + "/f0000004.wrk"), "m4@example.test\r\nkept@remote.test\r\n");
    EXPECT_EQ(pvtest::ReadFileBytes(Outbox() + "/f0000005.wrk"), "m5@example.test\r\nlater@remote.test\r\n");
    auto reports = [&] {
        std::map<std::string, std::string> bySender;  // report's recipient -> subject
        for (const auto& e : fs::directory_iterator(Spool() + "/inbox")) {
            if (e.path().extension() != ".wrk") continue;
            const std::string work = pvtest::ReadFileBytes(e.path());
            const std::string text = pvtest::ReadFileBytes(e.path().parent_path() / (e.path().stem().string() + ".txt"));
            const size_t subject = text.find("Subject: ");
            bySender[work] += text.substr(subject, text.find("\r\n", subject) - subject) + ";";
        }
        return bySender;
    };
    const std::map<std::string, std::string> expected{
        {"postvane\r\nm1@example.test\r\n", "Subject: Failed mail;"},
        {"postvane\r\nm2@example.test\r\n", "Subject: Failed mail;"},
        {"postvane\r\nm3@example.test\r\n", "Subject: Recipient rejected by receiver;"}};
    EXPECT_EQ(reports(), expected);
    // Nothing of the outbound queue's own bookkeeping is left over.
    for (const auto& e : fs::directory_iterator(Outbox())) {
        const std::string ext = e.path().extension().string();
        EXPECT_TRUE(ext == ".txt" || ext == ".wrk" || ext == ".old") << e.path();
    }

    // The next run sends what waits to whom it still concerns, and reports nothing again.
    FakeRelay relay;
    UsePort(relay.Port());
    relay.Run([](FakeRelay& r) { Serve(r, [](const std::string& c, const std::string&) {
                                     return c == "DATA" ? std::string("354 go ahead") : std::string();
                                 }); });
    Run();
    relay.Join();
    std::vector<std::string> rcpts;
    for (const auto& c : relay.commands) {
        if (c.starts_with("RCPT") || c.starts_with("MAIL")) rcpts.push_back(c);
    }
    EXPECT_EQ(rcpts, (std::vector<std::string>{"MAIL FROM: <m3@example.test>", "RCPT TO: <kept@remote.test>",
                                               "MAIL FROM: <m4@example.test>", "RCPT TO: <kept@remote.test>",
                                               "MAIL FROM: <m5@example.test>", "RCPT TO: <later@remote.test>"}));
    EXPECT_EQ(reports(), expected);
    for (const char* name : {"f0000003", "f0000004", "f0000005"}) {
        EXPECT_FALSE(Exists(std::string(name) + ".wrk")) << name;
    }
}

TEST_F(SmtpSendTest, ARunFindingTheQueueLockedSendsNothing) {
    FakeRelay relay;
    UsePort(relay.Port());
    Queue("f0000001", "carol@example.test\r\nr1@remote.test\r\n", "Subject: once\r\n\r\n");
    {
        pv::platform::FileLock other;  // what another process's run holds
        ASSERT_TRUE(other.Lock(Spool() + "/outbox.lck", false));
        const auto log = Run();
        EXPECT_EQ(log, std::vector<std::string>{"SMTP send: another transmitter is working on the outbound queue "
                                                "(it holds " + Spool() + "/outbox.lck); this run ends without sending"});
        EXPECT_TRUE(pv::LastTransmitTotals().busy);
        EXPECT_FALSE(pv::TransmitFailed());
        EXPECT_TRUE(Exists("f0000001.wrk"));
    }
    relay.Run([](FakeRelay& r) { Serve(r, [](const std::string& c, const std::string&) {
                                     return c == "DATA" ? std::string("354 go ahead") : std::string();
                                 }); });
    Run();
    relay.Join();
    EXPECT_FALSE(pv::LastTransmitTotals().busy);
    EXPECT_EQ(pv::LastTransmitTotals().delivered, 1);
    EXPECT_FALSE(Exists("f0000001.wrk"));
}

// --- the secured conversation: EHLO, STARTTLS, AUTH ------------------------------------------
// What a real relay cannot easily be made to do; logins that work or are refused are shown
// against aiosmtpd (tests/integration/test_transmit_tls.py).

class SmtpSendLoginTest : public SmtpSendTest {
protected:
    void SetUp() override {
        SmtpSendTest::SetUp();
        Queue("f0000001", "carol@example.test\r\nr1@remote.test\r\n", "Subject: s\r\n\r\nbody\r\n");
    }
    void Relay(const char* security, const char* user = "jo@provider.test", const char* password = "s3cret") {
        pv::CRegistryKey adv("AdvCon", true);
        if (security) adv.WriteString("RelaySecurity", security);
        if (user) adv.WriteString("RelayUser", user);
        if (password) adv.WriteBinary("RelayPassword", password, std::strlen(password));
    }
    // A two-line greeting, then the given answer to EHLO.
    static void Greet(FakeRelay& r, const std::string& capabilities) {
        r.Say("220-relay.test first\r\n220 relay.test ready\r\n");
        r.Command();  // EHLO
        r.Say(capabilities);
    }
    // The run ended on a setting: one log line after the connecting one, nothing sent, the
    // message queued, nobody told, the run failed.
    void ExpectEndedOn(const std::vector<std::string>& log, const std::string& text) {
        ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
        EXPECT_EQ(log[0], "SMTP transmit connecting to 127.0.0.1");
        EXPECT_NE(log[1].find(text), std::string::npos) << log[1];
        EXPECT_TRUE(pv::TransmitFailed());
        EXPECT_TRUE(Exists("f0000001.wrk"));
        EXPECT_FALSE(fs::exists(Spool() + "/inbox") && !fs::is_empty(Spool() + "/inbox"));
    }
};

TEST_F(SmtpSendLoginTest, ARefusalOfWhatTheSettingsAskForEndsTheRunWithOneLine) {
    struct Case {
        const char* security;
        std::function<void(FakeRelay&)> script;
        std::string logText;
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        {"none",
         [](FakeRelay& r) {
             Greet(r, "502 what is EHLO\r\n");
             r.Command();
             r.Say("221 bye\r\n");
         },
         "refused EHLO (\"502 what is EHLO\"), which TLS and login need", {"EHLO second.test", "QUIT"}},
        {"none",
         [](FakeRelay& r) {
             Greet(r, "250-relay.test\r\n250 AUTH CRAM-MD5\r\n");
             r.Command();
             r.Say("221 bye\r\n");
         },
         "offers no AUTH PLAIN or LOGIN (only mechanisms this system does not speak)", {"EHLO second.test", "QUIT"}},
        {"starttls",
         [](FakeRelay& r) {
             Greet(r, "250-relay.test\r\n250 AUTH PLAIN\r\n");
             r.Command();
             r.Say("221 bye\r\n");
         },
         "does not offer STARTTLS; the mail stays queued. Check AdvCon\\RelaySecurity", {"EHLO second.test", "QUIT"}},
        {"starttls",
         [](FakeRelay& r) {
             Greet(r, "250-relay.test\r\n250 STARTTLS\r\n");
             r.Command();
             r.Say("454 TLS not available now\r\n");
             r.Command();
             r.Say("221 bye\r\n");
         },
         "refused STARTTLS (\"454 TLS not available now\")", {"EHLO second.test", "STARTTLS", "QUIT"}},
        // Text in clear behind the STARTTLS answer would be read as the relay's words under TLS.
        {"starttls",
         [](FakeRelay& r) {
             Greet(r, "250-relay.test\r\n250 STARTTLS\r\n");
             r.Command();
             r.Say("220 go ahead\r\n250-AUTH PLAIN\r\n");
             r.Discard();
         },
         "sent more text right after agreeing to STARTTLS", {"EHLO second.test", "STARTTLS"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logText);
        pv::SetTransmitFailed(false);
        Relay(c.security);
        FakeRelay relay;
        UsePort(relay.Port());
        relay.Run(c.script);
        const auto log = Run();
        relay.Join();
        ExpectEndedOn(log, c.logText);
        EXPECT_EQ(relay.commands, c.commands);
    }
}

TEST_F(SmtpSendLoginTest, SettingsThatCannotWorkConnectToNobody) {
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        // A password is never sent in clear unless the operator said so.
        {[this] { Relay(nullptr); }, "AdvCon\\RelayUser is set but AdvCon\\RelaySecurity is not"},
        {[this] { Relay("ssl"); }, "AdvCon\\RelaySecurity is \"ssl\"; set it to none, starttls or tls"},
        {[this] {
             Relay("starttls", "jo", nullptr);
             pv::CRegistryKey("AdvCon", true).DeleteValue("RelayPassword");
         },
         "AdvCon\\RelayUser is set but AdvCon\\RelayPassword is empty"},
        {[this] {
             Relay("starttls", nullptr, nullptr);
             pv::CRegistryKey("AdvCon", true).DeleteValue("RelayUser");
             pv::CRegistryKey("AdvCon", true).WriteString("RelayFingerprint", "12:34");
         },
         "AdvCon\\RelayFingerprint is not a SHA-256 fingerprint"},
    };
    FakeRelay relay;  // never run: a connection would wait in its backlog unanswered
    UsePort(relay.Port(), 2);
    for (const auto& [setUp, text] : cases) {
        SCOPED_TRACE(text);
        pv::SetTransmitFailed(false);
        setUp();
        const auto log = Run();
        ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
        EXPECT_NE(log[0].find(text), std::string::npos) << log[0];
        EXPECT_TRUE(pv::TransmitFailed());
        EXPECT_TRUE(Exists("f0000001.wrk"));
    }
}

}  // namespace
