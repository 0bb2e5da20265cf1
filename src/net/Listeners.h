// The listeners: one thread per TCP service that opens the service's port at start and hands
// every incoming connection to a new conversation thread. SMTP, POP3, IMAP, finger (and the implicit-TLS ports).
//
// The conversation class is supplied as a factory, so each service plugs its own conversation
// in: CSMTPListen(MakeConversationFactory<CSMTPServer>()). The factory runs on the listener's
// thread, so conversation constructors run there.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/Log.h"
#include "core/SettingChecks.h"
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
    static constexpr uint32_t kDefaultPerService = kDefaultMaxConnections;
    // AdvCon\MaxPerAddress: conversations from one client address at once, for clients outside
    // AdvCon\RelayNets (the office's own machines are not counted).
    static constexpr uint32_t kDefaultPerAddress = kDefaultMaxPerAddress;
    // AdvCon\SessionLimit: seconds one conversation may last, however busy (a POP3 client
    // fetching a gigabyte over a slow link needs many minutes).
    static constexpr uint32_t kDefaultSessionSeconds = pv::kDefaultSessionSeconds;

    uint32_t perService = kDefaultPerService;
    uint32_t perAddress = kDefaultPerAddress;
    uint32_t sessionSeconds = kDefaultSessionSeconds;
};

// The three values; one that is missing gives its default, and one that is zero, not a number
// or absurd gives its default with a log line naming it. service names the listener there.
ConnectionLimits ReadConnectionLimits(const char* service);

struct CountedSlot;

// The running conversations of one service, counted by client address: by the key
// AddressCountingKey gives it (an IPv6 client by its /64).
//
// Slow clients cannot shut out mail: when the service is at its cap, the conversation that has
// made no progress for longest (no complete line and no output taken for at least
// kEvictAfterMs) is ended to admit the new client, and while the service is at its cap its
// conversations' inactivity time-out is at most kPressureTimeoutSeconds. A client over its
// address's cap is refused, never admitted by evicting another.
class CConnectionCounts : public std::enable_shared_from_this<CConnectionCounts> {
public:
    enum class Refusal { None, ServiceFull, AddressFull };
    // A conversation busy within this long is never ended to make room: a real client's next
    // command is rarely more than a second or two away.
    static constexpr int64_t kEvictAfterMs = 5000;

    // The conversation ended to make room for a new client.
    struct Eviction {
        std::string address;
        int64_t idleMs = 0;
    };

    // A place for one more conversation from address, given back when the returned slot is
    // destroyed (the conversation holds it for its life). Null when a cap is reached, with why.
    // exempt is asked only when the address has used up its own cap. When the service is full
    // and a conversation has made no progress for kEvictAfterMs, the longest idle one is told
    // to end (evicted says which) and the new one admitted in its place.
    std::shared_ptr<ConversationSlot> Take(const std::string& address, const ConnectionLimits& limits,
                                           const std::function<bool()>& exempt, Refusal& why,
                                           Eviction* evicted = nullptr);
    // The conversation's thread, once it runs: eviction posts to it.
    void SetThread(const std::shared_ptr<ConversationSlot>& slot, const ThreadHandle& thread);
    size_t Total() const;
    // The conversations counted against address's key.
    size_t From(const std::string& address) const;
    bool Full() const { return full_.load(std::memory_order_relaxed); }

private:
    friend struct CountedSlot;
    void ReleaseSlot(CountedSlot* slot);

    mutable std::mutex mutex_;
    size_t total_ = 0;
    size_t evicting_ = 0;  // told to end, not ended yet: their places are promised to others
    std::unordered_map<std::string, size_t> byAddress_;
    std::vector<CountedSlot*> slots_;
    std::atomic<bool> full_ {false};
    size_t perService_ = ConnectionLimits::kDefaultPerService;  // the cap Take last applied
};

// A service whose port could not be opened at start-up.
struct ListenFailure {
    std::string service;    // as the log names it: "SMTP", "POP3", ...
    unsigned port = 0;
    unsigned error = 0;     // Windows Sockets number
    std::string portValue;  // the AdvCon value that names the port
};

// How a listener's start went, told from its thread to the one that started it.
class ListenOutcome {
public:
    void Set(bool ok, ListenFailure failure = {});
    // False when nothing was told within waitMs; failed is set when the port was not opened.
    bool Wait(int waitMs, bool& failed, ListenFailure& failure);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    bool ok_ = false;
    ListenFailure failure_;
};

class CListenThread : public CSocketThread {
public:
    // bindAddress: one address of either family to listen on; empty for every local address of
    // both families (one dual-stack socket; IPv4 only on a kernel without IPv6).
    CListenThread(ConversationFactory factory, std::string bindAddress);
    // The listeners of one service on several addresses share one count. Before the thread starts.
    void ShareCounts(std::shared_ptr<CConnectionCounts> counts) { counts_ = std::move(counts); }
    // Every conversation of this listener starts in TLS (SMTPS, POP3S). Before the thread starts.
    void SetConversationTls(std::shared_ptr<CTlsContext> ctx) { conversationTls_ = std::move(ctx); }
    std::shared_ptr<ListenOutcome> Outcome() const { return outcome_; }

protected:
    bool OnStart() override;
    void OnAccept() override;

    // The service's port, read when the listener starts, and the AdvCon value it comes from
    // ("" when none names it).
    virtual unsigned ReadPort() = 0;
    virtual const char* PortValueName() const { return ""; }
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
    // One line per evicted address a minute, with the count.
    void ReportEviction(const CConnectionCounts::Eviction& evicted);
    void BackOff();

    ConversationFactory factory_;
    std::string bindAddress_;
    std::shared_ptr<CTlsContext> conversationTls_;
    ConnectionLimits limits_;
    std::shared_ptr<CConnectionCounts> counts_ = std::make_shared<CConnectionCounts>();
    bool reported_ = false;
    std::chrono::steady_clock::time_point lastReport_;
    CRepeatedLogLines refusalLines_;
    CRepeatedLogLines evictionLines_;
    std::shared_ptr<ListenOutcome> outcome_ = std::make_shared<ListenOutcome>();
};

class CSMTPListen : public CListenThread {
public:
    explicit CSMTPListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    const char* PortValueName() const override { return "smtpinport"; }
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
    const char* PortValueName() const override { return "popport"; }
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
    const char* PortValueName() const override { return "SmtpsPort"; }
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "SMTPS"; }
};

class CPopSListen : public CPopListen {
public:
    using CPopListen::CPopListen;

protected:
    unsigned ReadPort() override;
    const char* PortValueName() const override { return "Pop3sPort"; }
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "POP3S"; }
};

class CFingerListen : public CListenThread {
public:
    explicit CFingerListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    const char* PortValueName() const override { return "fingerport"; }
    void ReportFailure(unsigned error) override;
    // A finger client that connects and says nothing is dropped after ten seconds.
    void PrepareConversation(const ThreadHandle& conversation) override;
    const char* ServiceName() const override { return "finger"; }
    std::string RefusalReply(CConnectionCounts::Refusal why) override;
};

class CImapListen : public CListenThread {
public:
    explicit CImapListen(ConversationFactory factory, std::string bindAddress = {})
        : CListenThread(std::move(factory), std::move(bindAddress)) {}

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "IMAP"; }
    const char* PortValueName() const override { return "imapport"; }
    std::string RefusalReply(CConnectionCounts::Refusal why) override;
};

// Off unless AdvCon\ImapsPort names a port and a certificate is configured.
class CImapSListen : public CImapListen {
public:
    using CImapListen::CImapListen;

protected:
    unsigned ReadPort() override;
    void ReportFailure(unsigned error) override;
    const char* ServiceName() const override { return "IMAPS"; }
    const char* PortValueName() const override { return "ImapsPort"; }
};

// The conversation of each service; an empty factory leaves that service closed.
struct ListenerFactories {
    ConversationFactory finger;
    ConversationFactory pop;
    ConversationFactory smtp;
    ConversationFactory imap;
};

// The three listeners as start-up and shutdown see them.
class CServiceListeners {
public:
    // bindAddress: `AdvCon\BindAddress` as it stands, a list of addresses of either family
    // separated by commas or blanks ("127.0.0.1, ::1"); empty to listen on every local address
    // (the server); tests give loopback. Each service gets one listener per address.
    explicit CServiceListeners(ListenerFactories factories, std::string bindAddress = {});

    // Raises the process's descriptor limit, then starts finger, POP3 and SMTP, each at normal
    // priority with the default stack (each raises its own priority). Returns how many of the
    // three services have a listener (on the first address). A list with an entry that is not
    // an address starts nothing, with one log line naming the entry: listening on every
    // address instead would open the services where the administrator meant to close them.
    int Start();
    // Posts each listener a quit message and waits up to waitMs for it, in the order finger,
    // POP3, SMTP; one that has already ended is skipped. True when all have ended.
    bool Stop(int waitMs = 1000);

    const ThreadHandle& Finger() const { return finger_; }
    const ThreadHandle& Pop() const { return pop_; }
    const ThreadHandle& Smtp() const { return smtp_; }
    const ThreadHandle& Smtps() const { return smtps_; }
    const ThreadHandle& Pops() const { return pops_; }
    const ThreadHandle& Imap() const { return imap_; }
    const ThreadHandle& Imaps() const { return imaps_; }
    // The services whose ports could not be opened (known once Start has returned).
    const std::vector<ListenFailure>& Failures() const { return failures_; }

private:
    ThreadHandle StartOne(CListenThread* listener, const char* service);
    // One listener per address for a service; the first one's handle.
    template <class Listener>
    ThreadHandle StartService(const ConversationFactory& factory, const char* service,
                              const std::shared_ptr<CTlsContext>& tls);
    // Waits for each started listener to open its port or fail (a port is opened in
    // milliseconds; kStartWaitMs only bounds a thread that never reports).
    static constexpr int kStartWaitMs = 5000;
    std::vector<std::shared_ptr<ListenOutcome>> outcomes_;
    std::vector<ListenFailure> failures_;

    ListenerFactories factories_;
    std::string bindAddress_;
    std::vector<std::string> addresses_;  // empty: every local address
    std::vector<ThreadHandle> more_;      // the listeners on the second and later addresses
    ThreadHandle finger_;
    ThreadHandle pop_;
    ThreadHandle smtp_;
    ThreadHandle smtps_;
    ThreadHandle pops_;
    ThreadHandle imap_;
    ThreadHandle imaps_;
};

}  // namespace pv::net
