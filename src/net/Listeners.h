// The listeners: one thread per TCP service that opens the service's port at start and hands
// every incoming connection to a new conversation thread. Three instances: SMTP, POP3, finger.
//
// The conversation class is supplied as a factory, so each service plugs its own conversation
// in: CSMTPListen(MakeConversationFactory<CSMTPServer>()). The factory runs on the listener's
// thread, so conversation constructors run there.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/Log.h"
#include "net/SocketThread.h"

namespace pv::net {

using ConversationFactory = std::function<CSocketThread*()>;

template <class Conversation>
ConversationFactory MakeConversationFactory() {
    return [] { return static_cast<CSocketThread*>(new Conversation()); };
}

// Conversations are many and idle most of the time: a small stack keeps hundreds of them cheap.
inline constexpr size_t kConversationStackSize = 256 * 1024;
// A backlog of 5 makes a burst of clients wait for the kernel's SYN retries (one second and
// more, or a connection that looks open but gets no greeting for many seconds); a deeper queue
// costs nothing.
inline constexpr int kListenBacklog = 128;
inline constexpr int kFingerFirstTimeout = 10;

// Caps on conversations and their length, from `AdvCon` when the listener starts.
struct ConnectionLimits {
    // AdvCon\MaxConnections: conversations of one service at once. Each holds a thread and a
    // few descriptors; a few hundred is far beyond what an office needs.
    static constexpr uint32_t kDefaultPerService = 200;
    // AdvCon\MaxPerAddress: conversations from one client address at once, for clients outside
    // AdvCon\RelayNets (the office's own machines are not counted).
    static constexpr uint32_t kDefaultPerAddress = 20;
    // AdvCon\SessionLimit: seconds one conversation may last, however busy (a POP3 client
    // fetching a gigabyte over a slow link needs many minutes).
    static constexpr uint32_t kDefaultSessionSeconds = 1800;

    uint32_t perService = kDefaultPerService;
    uint32_t perAddress = kDefaultPerAddress;
    uint32_t sessionSeconds = kDefaultSessionSeconds;
};

// The three values; one that is missing gives its default, and one that is zero, not a number
// or absurd gives its default with a log line naming it. service names the listener there.
ConnectionLimits ReadConnectionLimits(const char* service);

// The running conversations of one service, counted by client address.
class CConnectionCounts : public std::enable_shared_from_this<CConnectionCounts> {
public:
    enum class Refusal { None, ServiceFull, AddressFull };

    // A place for one more conversation from address, given back when the returned token is
    // destroyed (the conversation holds it for its life). Null when a cap is reached, with why.
    // exempt is asked only when the address has used up its own cap.
    std::shared_ptr<void> Take(const std::string& address, const ConnectionLimits& limits,
                               const std::function<bool()>& exempt, Refusal& why);
    size_t Total() const;
    size_t From(const std::string& address) const;
    // What a conversation's token does when it is destroyed.
    void ReleaseSlot(const std::string& address);

private:

    mutable std::mutex mutex_;
    size_t total_ = 0;
    std::unordered_map<std::string, size_t> byAddress_;
};

class CListenThread : public CSocketThread {
public:
    // bindAddress: a dotted address to listen on; empty for every local address.
    CListenThread(ConversationFactory factory, std::string bindAddress);
    // Every conversation of this listener starts in TLS (SMTPS, POP3S). Before the thread starts.
    void SetConversationTls(std::shared_ptr<CTlsContext> ctx) { conversationTls_ = std::move(ctx); }

protected:
    bool OnStart() override;
    void OnAccept() override;

    // The service's port, read when the listener starts.
    virtual unsigned ReadPort() = 0;
    // The port could not be opened: tell the operator, with the Windows Sockets error number.
    virtual void ReportFailure(unsigned error) = 0;
    // Runs after the conversation thread is ready and before the connection is handed over.
    virtual void PrepareConversation(const ThreadHandle& conversation);
    // What the log calls this service in its own lines.
    virtual const char* ServiceName() const = 0;
    // The line a client turned away by a cap is sent before the close ("" for none).
    virtual std::string RefusalReply(CConnectionCounts::Refusal) { return {}; }

    // `AdvCon\<name>` as a port number; the default when it is missing or not a port.
    unsigned ReadPortValue(const char* name, unsigned defaultPort);

private:
    // Sends the refusal, closes the connection and logs one line.
    void Refuse(int fd, const std::string& address, CConnectionCounts::Refusal why);
    // A log line, at most one a minute.
    void Report(const std::string& text);
    void BackOff();

    ConversationFactory factory_;
    std::string bindAddress_;
    std::shared_ptr<CTlsContext> conversationTls_;
    ConnectionLimits limits_;
    std::shared_ptr<CConnectionCounts> counts_ = std::make_shared<CConnectionCounts>();
    bool reported_ = false;
    std::chrono::steady_clock::time_point lastReport_;
    CRepeatedLogLines refusalLines_;
};

class CSMTPListen : public CListenThread {
public:
    explicit CSMTPListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "SMTP"; }
    std::string RefusalReply(CConnectionCounts::Refusal why) override;
};

class CPopListen : public CListenThread {
public:
    explicit CPopListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "POP3"; }
    std::string RefusalReply(CConnectionCounts::Refusal why) override;
};

// The implicit-TLS ports: the same conversations, in TLS from the first byte. Off unless
// AdvCon\SmtpsPort / AdvCon\Pop3sPort name a port and a certificate is configured.
class CSMTPSListen : public CSMTPListen {
public:
    using CSMTPListen::CSMTPListen;

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "SMTPS"; }
};

class CPopSListen : public CPopListen {
public:
    using CPopListen::CPopListen;

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "POP3S"; }
};

class CFingerListen : public CListenThread {
public:
    explicit CFingerListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    // A finger client that connects and says nothing is dropped after ten seconds.
    void PrepareConversation(const ThreadHandle& conversation) override;
    const char* ServiceName() const override { return "finger"; }
    std::string RefusalReply(CConnectionCounts::Refusal why) override;
};

// The conversation of each service; an empty factory leaves that service closed.
struct ListenerFactories {
    ConversationFactory finger;
    ConversationFactory pop;
    ConversationFactory smtp;
};

// The three listeners as start-up and shutdown see them.
class CServiceListeners {
public:
    // bindAddress: empty to listen on every local address (the server); tests give loopback.
    explicit CServiceListeners(ListenerFactories factories, std::string bindAddress = {});

    // Raises the process's descriptor limit, then starts finger, POP3 and SMTP, each at normal
    // priority with the default stack (each raises its own priority). Returns how many threads
    // started.
    int Start();
    // Posts each listener a quit message and waits up to waitMs for it, in the order finger,
    // POP3, SMTP; one that has already ended is skipped. True when all have ended.
    bool Stop(int waitMs = 1000);

    const ThreadHandle& Finger() const { return finger_; }
    const ThreadHandle& Pop() const { return pop_; }
    const ThreadHandle& Smtp() const { return smtp_; }
    const ThreadHandle& Smtps() const { return smtps_; }
    const ThreadHandle& Pops() const { return pops_; }

private:
    ThreadHandle StartOne(CListenThread* listener, const char* service);

    ListenerFactories factories_;
    std::string bindAddress_;
    ThreadHandle finger_;
    ThreadHandle pop_;
    ThreadHandle smtp_;
    ThreadHandle smtps_;
    ThreadHandle pops_;
};

}  // namespace pv::net
