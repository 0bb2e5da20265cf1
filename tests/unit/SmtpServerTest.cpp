// The SMTP receiver's commit: what is flushed, in which order, and that the client hears
// "250 Ok" only afterwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
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
    bool envelopeInPlace;   // the envelope had its final name when the flush ended
};

std::mutex g_mutex;
std::vector<Flush> g_flushes;
int g_clientFd = -1;
std::string g_finalEnvelope;

void RecordFlush(const std::string& path) {
    char byte;
    const bool waiting = ::recv(g_clientFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    const bool inPlace = !g_finalEnvelope.empty() && ::access(g_finalEnvelope.c_str(), F_OK) == 0;
    std::lock_guard lock(g_mutex);
    g_flushes.push_back({path, waiting, inPlace});
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
    g_finalEnvelope = base + ".wrk";
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
    // And the folder flush is what makes the rename durable: the envelope must have its final
    // name by then, or the "250" would rest on a rename still in the cache.
    EXPECT_TRUE(g_flushes[folder].envelopeInPlace) << "the inbox folder was flushed before the envelope's rename";
    EXPECT_FALSE(g_flushes[envelope].envelopeInPlace) << "the envelope was renamed before it was flushed";
    for (const Flush& f : g_flushes) EXPECT_FALSE(f.replyAlreadySent) << f.path << " was flushed after the reply";
}

namespace {

// Conversations that finish their text while another commit is being flushed: the first
// flush is held until the others are queued behind it, so they must share one batch.
constexpr int kBatchClients = 5;
std::atomic<bool> g_holdFirstFlush {false};
std::atomic<bool> g_firstFlushReached {false};
std::vector<int> g_batchFds;

struct BatchFlush {
    std::string path;
    std::thread::id thread;
    std::vector<bool> replied;  // per client: its reply was already waiting when the flush ended
};
std::vector<BatchFlush> g_batchFlushes;

void RecordBatchFlush(const std::string& path) {
    if (g_holdFirstFlush.exchange(false)) {
        g_firstFlushReached = true;
        for (int i = 0; i < 500 && pv::CommitsWaiting() < static_cast<size_t>(kBatchClients - 1); ++i) std::this_thread::sleep_for(10ms);
    }
    BatchFlush f {path, std::this_thread::get_id(), {}};
    for (int fd : g_batchFds) {
        char byte;
        f.replied.push_back(::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0);
    }
    std::lock_guard lock(g_mutex);
    g_batchFlushes.push_back(std::move(f));
}

}  // namespace

TEST_F(SmtpCommitTest, SimultaneousCommitsShareTheirFlushesAndNoneHearsOkBeforeItsPairIsDurable) {
    std::vector<std::string> bases;
    const std::string inbox = Spool() + "/inbox";
    for (int i = 0; i < kBatchClients; ++i) {
        Connect();
        g_batchFds.push_back(fd_);
        ASSERT_EQ(Line(), std::string("220 example.test") + pv::smtp_reply::kGreeting);
        ASSERT_EQ(Command("HELO client"), "250 example.test");
        ASSERT_EQ(Command("MAIL FROM:<carol@remote.test>"), "250 <carol@remote.test> Sender Ok");
        ASSERT_EQ(Command("RCPT TO:<alice>"), pv::smtp_reply::kRecipientOk);
        ASSERT_EQ(Command("DATA"), pv::smtp_reply::kStartInput);
        uint32_t number = 0;
        pv::CRegistryKey("", false).ReadInt("FileNum", number);
        bases.push_back(inbox + "/" + pv::FormatQueueFileName(number));
    }
    fd_ = -1;  // closed below, all of them
    g_holdFirstFlush = true;
    pv::SetSyncObserver(&RecordBatchFlush);
    const std::string end = "Subject: batch\r\n\r\nbody\r\n.\r\n";
    ::send(g_batchFds[0], end.data(), end.size(), MSG_NOSIGNAL);
    for (int i = 0; i < 500 && !g_firstFlushReached; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(g_firstFlushReached) << "the first commit never flushed";
    for (int i = 1; i < kBatchClients; ++i) ::send(g_batchFds[i], end.data(), end.size(), MSG_NOSIGNAL);
    for (int i = 0; i < kBatchClients; ++i) {
        fd_ = g_batchFds[i];
        EXPECT_EQ(Line(), pv::smtp_reply::kOk) << "client " << i;
    }
    pv::SetSyncObserver(nullptr);
    fd_ = -1;

    std::lock_guard lock(g_mutex);
    std::set<std::thread::id> flushers;  // of the pairs' files (the spooler flushes others)
    for (const BatchFlush& f : g_batchFlushes) {
        for (const std::string& base : bases) {
            if (f.path == base + ".txt" || f.path == base + ".tmp") flushers.insert(f.thread);
        }
    }
    // One conversation flushed for the four queued behind the first: two leaders, not five.
    EXPECT_LE(flushers.size(), 2u) << "every conversation flushed its own files";
    for (int i = 0; i < kBatchClients; ++i) {
        EXPECT_TRUE(pvtest::ReadFileBytes(bases[i] + ".wrk").find("alice") != std::string::npos) << bases[i];
        int text = -1, envelope = -1, folder = -1;
        for (int k = 0; k < static_cast<int>(g_batchFlushes.size()); ++k) {
            const std::string& p = g_batchFlushes[k].path;
            if (p == bases[i] + ".txt") text = k;
            if (p == bases[i] + ".tmp") envelope = k;
            if (p == inbox && text >= 0 && envelope >= 0 && folder < 0) folder = k;
        }
        ASSERT_GE(text, 0) << "client " << i << ": message file never flushed";
        ASSERT_GE(envelope, 0) << "client " << i << ": envelope never flushed";
        ASSERT_GE(folder, 0) << "client " << i << ": no folder flush after its files";
        for (int k = 0; k <= folder; ++k) {
            EXPECT_FALSE(g_batchFlushes[k].replied[i])
                << "client " << i << " heard its reply before " << g_batchFlushes[k].path << " was flushed";
        }
    }
    for (int fd : g_batchFds) ::close(fd);
    g_batchFds.clear();
}
