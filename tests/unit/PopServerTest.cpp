// The POP3 conversation against a raw client on loopback: what Python's poplib and fetchmail
// never do (pipelining, sending before the greeting, hostile names and lines, a slow reader),
// and the lock left by an earlier run.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#if defined(__SANITIZE_ADDRESS__)
// Part of the sanitizer's allocator interface; GCC ships the library but not this header.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include "TestSupport.h"
#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "net/Listeners.h"
#include "pop3/PopServer.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

using pvtest::FreePort;

class Client {
public:
    explicit Client(unsigned port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port));
        for (int i = 0; ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0; ++i) {
            if (i == 100) {
                ADD_FAILURE() << "cannot connect to port " << port;
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    }
    ~Client() { ::close(fd_); }
    int Fd() const { return fd_; }
    void Send(const std::string& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    // One reply line without its CR LF; "<none>" when nothing complete arrives in time.
    std::string Line() {
        for (;;) {
            size_t end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return line;
            }
            if (!Fill()) return "<none>";
        }
    }
    // A multi-line body up to and including its "." line, as it came over the wire.
    std::string Body() {
        std::string all;
        for (std::string line; (line = Line()) != "." && line != "<none>";) all += line + "\r\n";
        return all + ".\r\n";
    }
    // Bytes as they come, the buffered ones first; "" once the connection has ended.
    std::string Some() {
        if (buffer_.empty()) Fill();
        std::string out;
        out.swap(buffer_);
        return out;
    }

private:
    bool Fill() {
        pollfd p {fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0) return false;
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
};

template <class Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<std::string> LogTexts() {
    std::vector<std::string> texts;
    std::string line;
    while (pv::TakePendingLine(line)) texts.push_back(line.substr(pv::kLogTextOffset));
    return texts;
}

class PopServerTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        pvtest::HiveTest::SetUp();
        port_ = FreePort();
        pv::CRegistryKey("AdvCon", true).WriteInt("popport", port_);
        pv::CRegistryKey("Domain", true).WriteInt("example.test", 1);
        pv::CMailbox box;
        ASSERT_TRUE(box.Create("alice", pv::kMailboxUser));
        ASSERT_TRUE(box.SetPassword("wonder"));
        folder_ = box.Directory();
        LogTexts();
        pv::net::ListenerFactories factories;
        factories.pop = pv::net::MakeConversationFactory<pv::CPopServer>();
        listeners_ = std::make_unique<pv::net::CServiceListeners>(factories, "127.0.0.1");
        ASSERT_EQ(listeners_->Start(), 1);
    }
    void TearDown() override {
        listeners_->Stop(2000);
        // Conversations still running use the hive: they end before it goes.
        EXPECT_TRUE(WaitFor([] { return pv::CPopServer::LiveCount() == 0; }));
        pvtest::HiveTest::TearDown();
    }
    void Put(const std::string& name, const std::string& bytes) {
        std::ofstream(folder_ + "/" + name, std::ios::binary) << bytes;
    }
    std::unique_ptr<Client> Login(int receiveBuffer = 0) {
        auto c = std::make_unique<Client>(port_, receiveBuffer);
        c->Send("USER alice\r\nPASS wonder\r\n");
        EXPECT_EQ(c->Line(), "+OK example.test POP3 server ready (running Postvane)");
        EXPECT_EQ(c->Line(), "+OK alice gets mail here");
        EXPECT_EQ(c->Line(), "+OK mailbox locked and ready");
        return c;
    }
    std::string Lock() const { return folder_ + "/user.lck"; }

    unsigned port_ = 0;
    std::string folder_;
    std::unique_ptr<pv::net::CServiceListeners> listeners_;
};

}  // namespace

TEST_F(PopServerTest, PipelinedCommandsWaitForTheMessageAndLinesGoOutWholeAndStuffed) {
    const std::string longLine = "." + std::string(3000, 'l');
    Put("f0000001.txt", ".hidden\nmid\rcr\r\ntrailing\r\r\n" + longLine + "\r\n\r\n..two\r\nno line end");
    Put("f0000002.txt", "");
    // Everything in one packet, before the greeting has even arrived.
    Client c(port_);
    c.Send("user alice\r\npass wonder\r\nRETR\r\nretr 2\r\nSTAT\r\nQUIT\r\n");
    EXPECT_EQ(c.Line(), "+OK example.test POP3 server ready (running Postvane)");
    EXPECT_EQ(c.Line(), "+OK alice gets mail here");
    EXPECT_EQ(c.Line(), "+OK mailbox locked and ready");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), "..hidden\r\nmid\rcr\r\ntrailing\r\n." + longLine + "\r\n\r\n...two\r\nno line end\r\n.\r\n");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), ".\r\n");
    EXPECT_EQ(c.Line(), "+OK 2 3050");
    EXPECT_EQ(c.Line(), "+OK");
    // The lock goes before the answer to QUIT, so the client can log in again at once.
    EXPECT_FALSE(fs::exists(Lock()));
    EXPECT_EQ(c.Some(), "");
    EXPECT_TRUE(fs::exists(folder_ + "/f0000001.txt"));  // read, not deleted
}

TEST_F(PopServerTest, TopSendsTheHeaderAndSomeBodyLinesAndCapaAnnouncesIt) {
    Put("f0000001.txt", "Subject: s\r\nFrom: a@b.test\r\n\r\n.one\r\ntwo\nthree\r\n");
    Put("f0000002.txt", "X-Only: header\r\nNo-Body: at all");
    Client c(port_);
    c.Send("CAPA\r\n");
    EXPECT_EQ(c.Line(), "+OK example.test POP3 server ready (running Postvane)");
    const std::string capabilities = "+OK capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nPIPELINING\r\n"
                                     "IMPLEMENTATION Postvane\r\n.\r\n";
    std::string head = c.Line();
    EXPECT_EQ(head + "\r\n" + c.Body(), capabilities);
    c.Send("TOP 1 0\r\nUSER alice\r\nPASS wonder\r\nCAPA\r\n");
    EXPECT_EQ(c.Line(), "-ERR invalid command");
    EXPECT_EQ(c.Line(), "+OK alice gets mail here");
    EXPECT_EQ(c.Line(), "+OK mailbox locked and ready");
    head = c.Line();
    EXPECT_EQ(head + "\r\n" + c.Body(), capabilities);

    c.Send("TOP 1 0\r\ntop 1 2\r\nTOP 1 99\r\nTOP 2 1\r\nTOP 1\r\nTOP 1 x\r\nTOP 3 0\r\nLAST\r\n");
    const std::string header = "Subject: s\r\nFrom: a@b.test\r\n\r\n";
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), header + ".\r\n");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), header + "..one\r\ntwo\r\n.\r\n");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), header + "..one\r\ntwo\r\nthree\r\n.\r\n");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), "X-Only: header\r\nNo-Body: at all\r\n.\r\n");
    EXPECT_EQ(c.Line(), "-ERR TOP needs a message number and a number of lines");
    EXPECT_EQ(c.Line(), "-ERR TOP needs a message number and a number of lines");
    EXPECT_EQ(c.Line(), "-ERR invalid message number");
    EXPECT_EQ(c.Line(), "+OK 0");  // a look at the header is no retrieval

    c.Send("DELE 1\r\nTOP 1 0\r\nRETR 2\r\n");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Line(), "-ERR invalid message number");
    EXPECT_EQ(c.Line(), "+OK");
    EXPECT_EQ(c.Body(), "X-Only: header\r\nNo-Body: at all\r\n.\r\n");
}

TEST_F(PopServerTest, TheLockIsGoneWhenTheAnswerToQuitArrives) {
    // The conversation ends a moment after its last answer and would remove a forgotten lock
    // then: only many rounds see the difference reliably.
    for (int round = 0; round < 100; ++round) {
        Client c(port_);
        c.Send("USER alice\r\nPASS wonder\r\nQUIT\r\n");
        for (int i = 0; i < 3; ++i) c.Line();
        ASSERT_EQ(c.Line(), "+OK");
        ASSERT_FALSE(fs::exists(Lock())) << "round " << round;
    }
}

TEST_F(PopServerTest, AnEmptyMailboxHasAnEmptyListing) {
    auto c = Login();
    c->Send("LIST\r\nSTAT\r\nLIST 1\r\nUIDL\r\n");
    EXPECT_EQ(c->Line(), "+OK ");
    EXPECT_EQ(c->Line(), ".");
    EXPECT_EQ(c->Line(), "+OK 0 0");
    EXPECT_EQ(c->Line(), "-ERR invalid message number");
    EXPECT_EQ(c->Line(), "+OK unique-id listing follows");
    EXPECT_EQ(c->Line(), ".");
}

TEST_F(PopServerTest, WrongPasswordsAreAnsweredEverSlowerAndTheThirdEndsTheConnection) {
    LogTexts();
    Client c(port_);
    EXPECT_EQ(c.Line(), "+OK example.test POP3 server ready (running Postvane)");
    c.Send("USER alice\r\n");
    EXPECT_EQ(c.Line(), "+OK alice gets mail here");
    // Each answer waits: 1 s, then 2 s, then 4 s. A command sent meanwhile waits its turn.
    const auto delay = pv::CPopServer::kPassDelay;
    std::vector<std::chrono::milliseconds> took;
    for (int i = 1; i <= pv::CPopServer::kMaxPassFailures; ++i) {
        const auto start = Clock::now();
        c.Send("PASS guess" + std::to_string(i) + "\r\nNOOP\r\n");
        const std::string answer = c.Line();
        took.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start));
        if (i < pv::CPopServer::kMaxPassFailures) {
            EXPECT_EQ(answer, "-ERR invalid password");
            EXPECT_EQ(c.Line(), "-ERR invalid command");  // the NOOP, only after the answer
        } else {
            EXPECT_EQ(answer, "-ERR invalid password; too many failures, closing the connection");
            EXPECT_EQ(c.Some(), "");  // closed; the NOOP was never answered
        }
        EXPECT_GE(took.back(), delay * (1 << (i - 1)) - 50ms) << "failure " << i;
        EXPECT_LT(took.back(), delay * (1 << (i - 1)) + 1500ms) << "failure " << i;
    }
    EXPECT_TRUE(WaitFor([] { return pv::CPopServer::LiveCount() == 0; }));
    const auto log = LogTexts();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("after 3 wrong passwords") != std::string::npos; }),
              1);
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "POP3 server closed the connection from [127.0.0.1] after 3 wrong passwords for mailbox alice"),
              log.end());

    // A right password after a wrong one still opens the mailbox (after the pause).
    Client d(port_);
    d.Send("USER alice\r\nPASS wrong\r\nPASS wonder\r\nSTAT\r\n");
    d.Line();
    d.Line();
    EXPECT_EQ(d.Line(), "-ERR invalid password");
    EXPECT_EQ(d.Line(), "+OK mailbox locked and ready");
    EXPECT_EQ(d.Line(), "+OK 0 0");
}

TEST_F(PopServerTest, BadLinesAndVanishedFilesGetErrorsAndTheConversationGoesOn) {
    Put("f0000001.txt", "one\r\n");
    Put("f0000002.txt", "two\r\n");
    auto c = Login();
    c->Send("NOOP " + std::string(508, 'x') + "\r\nNOOP " + std::string(507, 'x') + "\r\n\r\nUSER bob\r\nSTATUS\r\n");
    EXPECT_EQ(c->Line(), "-ERR command line too long: at most 512 characters are allowed");
    EXPECT_EQ(c->Line(), "+OK");
    EXPECT_EQ(c->Line(), "-ERR unknown command");
    EXPECT_EQ(c->Line(), "-ERR invalid command");
    EXPECT_EQ(c->Line(), "-ERR unknown command");

    fs::remove(folder_ + "/f0000001.txt");
    c->Send("RETR 1\r\nRETR 2\r\nLAST\r\nUIDL 3\r\nRETR -1\r\nDELE 99999999999\r\nLIST 2x\r\n");
    EXPECT_EQ(c->Line(), "-ERR message 1 is no longer in the mailbox");
    EXPECT_EQ(c->Line(), "+OK");
    EXPECT_EQ(c->Body(), "two\r\n.\r\n");
    EXPECT_EQ(c->Line(), "+OK 2");
    EXPECT_EQ(c->Line(), "-ERR invalid message number: the mailbox holds 2 messages");
    EXPECT_EQ(c->Line(), "-ERR invalid message number");
    EXPECT_EQ(c->Line(), "-ERR invalid message number");
    EXPECT_EQ(c->Line(), "+OK 2 5");
}

TEST_F(PopServerTest, UserAnswersAlikeForEveryNameAndNewNamesAreCreatedWithTheirPassword) {
    pv::CRegistryKey("", true).WriteInt("Autocreate", 1);
    const auto before = pv::CMailbox::ListMailboxes();
    Client c(port_);
    EXPECT_EQ(c.Line(), "+OK example.test POP3 server ready (running Postvane)");
    // Known, unknown, unsafe: USER tells a stranger nothing.
    c.Send("USER alice\r\nUSER ../alice\r\nUSER a/b\r\nUSER a\x01" "b\r\nUSER nobody\r\n");
    for (const char* name : {"alice", "../alice", "a/b", "a?b", "nobody"}) {
        EXPECT_EQ(c.Line(), std::string("+OK ") + name + " gets mail here");
    }
    // Names no address can carry would make mailboxes no mail ever reaches.
    const std::string tooLong(pv::CPopServer::kMaxNewNameLength + 1, 'n');
    for (const std::string& name : {std::string("a b"), std::string("bob@example.test"), std::string(".bob"), tooLong}) {
        c.Send("USER " + name + "\r\nPASS x\r\n");
        EXPECT_EQ(c.Line(), "+OK " + name + " gets mail here");
        EXPECT_EQ(c.Line(), "-ERR " + name + " cannot be a new mailbox: use letters, digits and . - _ (at most 64 characters)");
    }
    EXPECT_EQ(pv::CMailbox::ListMailboxes(), before);

    c.Send("USER NewBie\r\nPASS " + std::string(20, 'p') + "\r\nPASS secret\r\nSTAT\r\n");
    EXPECT_EQ(c.Line(), "+OK newbie gets mail here");
    EXPECT_EQ(c.Line(), "-ERR a new mailbox needs a password of 1 to 19 characters");
    EXPECT_EQ(c.Line(), "+OK new password set, mailbox locked and ready");
    EXPECT_EQ(c.Line(), "+OK 0 0");
    pv::CMailbox made;
    ASSERT_TRUE(made.Open("newbie"));
    EXPECT_TRUE(made.CheckPassword("secret"));
    EXPECT_EQ(made.Type(), pv::kMailboxUser);
    EXPECT_TRUE(fs::exists(made.Directory() + "/user.lck"));
    const auto log = LogTexts();
    EXPECT_NE(std::find(log.begin(), log.end(), "POP3 server created the new mailbox newbie at its first login"),
              log.end());
}

TEST_F(PopServerTest, OfTwoClientsPastUserOnlyOneGetsTheLock) {
    Client a(port_), b(port_);
    a.Send("USER alice\r\n");
    b.Send("USER alice\r\n");
    for (Client* c : {&a, &b}) {
        c->Line();
        EXPECT_EQ(c->Line(), "+OK alice gets mail here");
    }
    a.Send("PASS wonder\r\n");
    EXPECT_EQ(a.Line(), "+OK mailbox locked and ready");
    b.Send("PASS wonder\r\nQUIT\r\n");
    EXPECT_EQ(b.Line(), "-ERR Mailbox is locked");
    EXPECT_EQ(b.Line(), "+OK");
    EXPECT_EQ(b.Some(), "");
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(fs::exists(Lock()));  // still the first client's
    a.Send("QUIT\r\n");
    EXPECT_EQ(a.Line(), "+OK");
    EXPECT_FALSE(fs::exists(Lock()));
}

TEST_F(PopServerTest, ConversationsEndingWithoutQuitDeleteNothing) {
    pv::CRegistryKey("AdvCon", true).WriteInt("Poptimeout", 1);
    Put("f0000001.txt", "one\r\n");
    {
        auto dropped = Login();
        dropped->Send("DELE 1\r\n");
        EXPECT_EQ(dropped->Line(), "+OK");
        EXPECT_TRUE(pv::Events().Test(pv::NamedEvent::PopServer));
    }
    EXPECT_TRUE(WaitFor([&] { return !fs::exists(Lock()); }));
    auto silent = Login();
    silent->Send("DELE 1\r\n");
    EXPECT_EQ(silent->Line(), "+OK");
    EXPECT_EQ(silent->Some(), "");  // dropped after its second of silence
    EXPECT_TRUE(WaitFor([] { return pv::CPopServer::LiveCount() == 0; }));
    EXPECT_FALSE(pv::Events().Test(pv::NamedEvent::PopServer));
    EXPECT_TRUE(fs::exists(folder_ + "/f0000001.txt"));
    EXPECT_FALSE(fs::exists(Lock()));
    const auto log = LogTexts();
    EXPECT_NE(std::find(log.begin(), log.end(), "POP3 timeout talking to [127.0.0.1] on port " + std::to_string(port_)),
              log.end());
}

TEST_F(PopServerTest, SlowReaderGetsAFiftyMegabyteMessageWhileServerMemoryStaysFlat) {
    // 655,360 lines of 80 bytes; the expected stream is hashed as it is written.
    constexpr size_t kLines = 655360;
    uint64_t expected = 1469598103934665603ull;
    auto hash = [](uint64_t& h, std::string_view bytes) {
        for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    };
    {
        std::ofstream out(folder_ + "/f0000001.txt", std::ios::binary);
        char line[96];
        for (size_t i = 0; i < kLines; ++i) {
            std::snprintf(line, sizeof line, "%08zu %-69.69s\r\n", i, "The quick brown fox jumps over the lazy dog, again and again and again");
            out << line;
            hash(expected, line);
        }
    }
    hash(expected, ".\r\n");

    auto c = std::make_unique<Client>(port_, 64 * 1024);
    c->Send("USER alice\r\nPASS wonder\r\n");
    for (int i = 0; i < 3; ++i) c->Line();
    const size_t baseline = HeapInUse();
    size_t peak = baseline;
    c->Send("RETR 1\r\n");
    ASSERT_EQ(c->Line(), "+OK");
    uint64_t got = 1469598103934665603ull;
    size_t bytes = 0;
    const auto start = Clock::now();
    while (bytes < kLines * 80 + 3) {
        const std::string piece = c->Some();
        if (piece.empty()) break;
        hash(got, piece);
        bytes += piece.size();
        peak = std::max(peak, HeapInUse());
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(bytes, kLines * 80 + 3);
    EXPECT_EQ(got, expected);
    // The message is 50 MB; the server may hold a few batches of it, never the whole.
    EXPECT_LT(peak - baseline, 4u * 1024 * 1024) << "heap grew from " << baseline << " to " << peak;
    std::printf("50 MB read slowly in %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()));
}

TEST_F(PopServerTest, ClientThatSendsWithoutReadingCannotMakeTheServerHoldItsReplies) {
    auto c = Login(4096);
    const long long baseline = static_cast<long long>(HeapInUse());
    std::thread sender([fd = c->Fd()] {
        std::string unknown;
        for (int i = 0; i < 20000; ++i) unknown += "X\r\n";
        for (int i = 0; i < 200; ++i) {  // 3 bytes each, 22 bytes of reply each
            if (::send(fd, unknown.data(), unknown.size(), MSG_NOSIGNAL) <= 0) return;
        }
    });
    std::this_thread::sleep_for(2000ms);
    // Unchecked, the replies pile up at megabytes a second once the socket buffers are full.
    EXPECT_LT(static_cast<long long>(HeapInUse()) - baseline, 1024 * 1024);
    ::shutdown(c->Fd(), SHUT_RDWR);  // wakes the sender
    sender.join();
}

TEST_F(PopServerTest, LocksLeftByAnEarlierRunAreRemovedAtStartUp) {
    Put("f0000001.txt", "kept\r\n");
    Put("user.lck", "Mailbox is locked");
    pv::CMailbox bob;
    ASSERT_TRUE(bob.Create("bob", pv::kMailboxUser));
    std::ofstream(bob.Directory() + "/user.lck") << "Mailbox is locked";
    std::ofstream(Spool() + "/mailbox/stray.txt") << "not a folder";
    LogTexts();
    EXPECT_EQ(pv::RemoveStaleMailboxLocks(Spool()), 2);
    EXPECT_FALSE(fs::exists(Lock()));
    EXPECT_FALSE(fs::exists(bob.Directory() + "/user.lck"));
    EXPECT_TRUE(fs::exists(folder_ + "/f0000001.txt"));
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"Removed 2 mailbox lock file(s) left by an earlier run"});
    EXPECT_EQ(pv::RemoveStaleMailboxLocks(Spool()), 0);
    auto c = Login();  // the mailbox opens again
}
