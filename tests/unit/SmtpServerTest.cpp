// The SMTP receiver's commit: what is flushed, in which order, and that the client hears
// "250 Ok" only afterwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"
#include "net/Listeners.h"
#include "smtp/SmtpServer.h"

using namespace std::chrono_literals;

namespace {

struct Flush {
    std::string path;
    bool replyAlreadySent;  // bytes were waiting for the client when the flush ended
};

std::mutex g_mutex;
std::vector<Flush> g_flushes;
int g_clientFd = -1;

void RecordFlush(const std::string& path) {
    char byte;
    const bool waiting = ::recv(g_clientFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    std::lock_guard lock(g_mutex);
    g_flushes.push_back({path, waiting});
}

class SmtpCommitTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        pvtest::HiveTest::SetUp();
        port_ = pvtest::FreePort();
        pv::CRegistryKey("AdvCon", true).WriteInt("smtpinport", port_);
        pv::CRegistryKey("Domain", true).WriteInt("example.test", 1);
        pv::CMailbox box;
        ASSERT_TRUE(box.Create("alice", pv::kMailboxUser));
        pv::net::ListenerFactories factories;
        factories.smtp = pv::net::MakeConversationFactory<pv::CSMTPServer>();
        listeners_ = std::make_unique<pv::net::CServiceListeners>(factories, "127.0.0.1");
        ASSERT_EQ(listeners_->Start(), 1);
    }
    void TearDown() override {
        pv::SetSyncObserver(nullptr);
        if (fd_ >= 0) ::close(fd_);
        listeners_->Stop(2000);
        for (int i = 0; i < 500 && pv::CSMTPServer::LiveCount() != 0; ++i) std::this_thread::sleep_for(10ms);
        pvtest::HiveTest::TearDown();
    }
    void Connect() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(port_));
        for (int i = 0; ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && i < 100; ++i) {
            std::this_thread::sleep_for(20ms);
        }
    }
    std::string Line() {
        std::string line;
        char c;
        pollfd p {fd_, POLLIN, 0};
        while (::poll(&p, 1, 5000) == 1 && ::recv(fd_, &c, 1, 0) == 1) {
            if (c == '\n') return line;
            if (c != '\r') line.push_back(c);
        }
        return "<none>";
    }
    std::string Command(const std::string& text) {
        const std::string line = text + "\r\n";
        ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL);
        return Line();
    }

    unsigned port_ = 0;
    int fd_ = -1;
    std::unique_ptr<pv::net::CServiceListeners> listeners_;
};

}  // namespace

TEST_F(SmtpCommitTest, MessageEnvelopeAndFolderAreFlushedBeforeTheClientHearsOk) {
    Connect();
    ASSERT_EQ(Line(), std::string("220 example.test") + pv::smtp_reply::kGreeting);
    ASSERT_EQ(Command("HELO client"), "250 example.test");
    ASSERT_EQ(Command("MAIL FROM:<carol@remote.test>"), "250 <carol@remote.test> Sender Ok");
    ASSERT_EQ(Command("RCPT TO:<alice>"), pv::smtp_reply::kRecipientOk);
    ASSERT_EQ(Command("DATA"), pv::smtp_reply::kStartInput);
    uint32_t number = 0;
    pv::CRegistryKey("", false).ReadInt("FileNum", number);
    const std::string inbox = Spool() + "/inbox";
    const std::string base = inbox + "/" + pv::FormatQueueFileName(number);

    g_clientFd = fd_;
    pv::SetSyncObserver(&RecordFlush);
    ASSERT_EQ(Command("Subject: durable\r\n\r\nbody\r\n."), pv::smtp_reply::kOk);
    pv::SetSyncObserver(nullptr);
    EXPECT_TRUE(pvtest::ReadFileBytes(base + ".wrk").find("alice") != std::string::npos);

    std::lock_guard lock(g_mutex);
    auto find = [&](const std::string& path) {
        for (size_t i = 0; i < g_flushes.size(); ++i) {
            if (g_flushes[i].path == path) return static_cast<int>(i);
        }
        return -1;
    };
    const int text = find(base + ".txt");
    const int envelope = find(base + ".tmp");
    const int folder = find(inbox);
    ASSERT_GE(text, 0) << "the message file was never flushed";
    ASSERT_GE(envelope, 0) << "the envelope was never flushed";
    ASSERT_GE(folder, 0) << "the inbox folder was never flushed";
    // The rename is only durable once the folder is flushed, after both files.
    EXPECT_GT(folder, text);
    EXPECT_GT(folder, envelope);
    for (const Flush& f : g_flushes) EXPECT_FALSE(f.replyAlreadySent) << f.path << " was flushed after the reply";
}
