// CSocketThread: a thread that owns one TCP socket, receives the socket's events and ends the
// conversation after a configurable time of silence. The base of every listener and network
// conversation.
//
// The thread runs a poll loop over its socket and an eventfd for posted messages, with a
// one-second tick while a time-out is set. Events are reported as the Windows Sockets event
// selection reports them: read while data is waiting (once per Receive call), write once after
// connect or accept and again only after a send that could not take everything, accept and
// close as they happen (close only when nothing is left to read), connect when a non-blocking
// connect completes. Error numbers are Windows Sockets numbers.
//
// Lifetime: the object is built on the creating thread (a conversation on its listener's
// thread), then CreateThread hands it to its own thread, which deletes it when it ends. From
// then on other threads reach it only through its ThreadHandle.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

#include "net/Address.h"
#include "net/LineReader.h"
#include "net/Tls.h"
#include "net/Threads.h"

namespace pv::net {

inline constexpr int kInvalidSocket = -1;

// Socket event bits, as the event selection numbers them.
enum SocketEvents : long {
    kFdRead = 1,
    kFdWrite = 2,
    kFdOob = 4,
    kFdAccept = 8,
    kFdConnect = 16,
    kFdClose = 32,
    kFdAllEvents = 63,
};

// Bytes taken from the socket per read event by the line input.
inline constexpr int kLineReceiveSize = 255;
// The most a conversation that takes whole messages (SmartPop) reads per event.
inline constexpr int kMaxLineReceiveSize = 64 * 1024;
// A TLS handshake takes a few round trips; a peer that has not finished it in this time (one
// that connected to an implicit-TLS port and says nothing, before any protocol time-out runs)
// is dropped.
inline constexpr int kTlsHandshakeSeconds = 30;
// An outgoing connection tries the addresses of its host in turn (RFC 8305, "Happy Eyeballs"):
// IPv6 first, the families taking turns; the next attempt starts when one fails, or after this
// head start while it is still on its way, and the first to connect wins. 250 ms is RFC 8305's
// recommended delay: a broken IPv6 path costs a quarter of a second, not a TCP time-out.
inline constexpr int kConnectHeadStartMs = 250;

// Ends a conversation to make room for a new client (posted by its listener).
inline constexpr unsigned kWmEvict = kWmUser + 4;
// While its service is at its cap, a conversation's allowed silence is at most this.
inline constexpr int kPressureTimeoutSeconds = 10;

// A conversation's place in its listener's counts (net/Listeners.h), shared by both: the
// conversation reports its progress there, and the listener may end the conversation that has
// made no progress for longest to make room for a new client. Progress is a complete line
// received or output the client took, never a byte of a partial line: a client that drips a
// line one byte at a time makes none.
class ConversationSlot {
public:
    virtual ~ConversationSlot() = default;
    void Progress(int64_t nowMs) { lastProgressMs_.store(nowMs, std::memory_order_relaxed); }
    int64_t LastProgressMs() const { return lastProgressMs_.load(std::memory_order_relaxed); }
    // The service is at its cap: its conversations get the shorter inactivity time-out.
    virtual bool UnderPressure() const { return false; }

private:
    std::atomic<int64_t> lastProgressMs_ {0};
};

// Milliseconds of the steady clock every socket thread and listener measures progress with.
int64_t SteadyNowMs();

class CSocketThread {
public:
    CSocketThread();
    virtual ~CSocketThread();
    CSocketThread(const CSocketThread&) = delete;
    CSocketThread& operator=(const CSocketThread&) = delete;

    // Starts the thread, which owns the object from then on. stackSize 0 takes the system's
    // default. An invalid handle means no thread was made; the object then still belongs to
    // the caller.
    ThreadHandle CreateThread(ThreadPriority priority = ThreadPriority::Normal, size_t stackSize = 0);
    ThreadHandle Handle() const { return ThreadHandle(state_); }
    // Whether the object deletes itself when its thread ends (the default).
    void SetAutoDelete(bool autoDelete) { autoDelete_ = autoDelete; }

    // Virtual operations, in this order.
    virtual void OnTimeout();
    virtual bool OnStart();
    // Accepts one waiting connection into the target thread, whose events then come from it:
    // AcceptSocket and HandOver in one.
    virtual bool Accept(const ThreadHandle& target, sockaddr* address = nullptr, socklen_t* length = nullptr);
    virtual void Close(bool postQuit);
    virtual int Receive(void* buffer, int size, int flags = 0);
    virtual int Send(const void* data, int length, int flags = 0);
    virtual void OnReceive() {}
    virtual void OnSend() {}
    virtual void OnOutOfBandData() {}
    virtual void OnAccept() {}
    virtual void OnConnect() {}
    virtual void OnClose() {}
    // Added after the socket events: line input and thread messages.
    virtual void OnLine(std::string& line);
    // A line passed the line limit; it is not handed on and its rest up to LF is discarded.
    // Conversations answer with their protocol's error here.
    virtual void OnLineTooLong() {}
    // A posted message other than quit and the framework's own.
    virtual void OnThreadMessage(const ThreadMessage& msg);
    // The conversation has run for its whole session limit: the default writes the log line
    // and closes. Conversations may say goodbye first.
    virtual void OnSessionLimit();

    // Socket operations, called on the thread's own thread.
    bool Create(unsigned port = 0, int type = SOCK_STREAM, long events = kFdAllEvents,
                const char* address = nullptr);
    bool Listen(int backlog = 5);
    bool AsyncSelect(long events = kFdAllEvents);
    // Host: a name, an IPv4 address or an IPv6 address (bracketed or not). Every address of the
    // host is tried as kConnectHeadStartMs says; false with kWsaEWouldBlock while the attempts
    // are on their way (the connect event tells the outcome), with kWsaEInval when the name does
    // not resolve, or with the error of the last address when every one failed at once.
    bool Connect(const std::string& host, unsigned port);
    // Create with no address found no IPv6 in the kernel and listens on every IPv4 address.
    bool Ipv4Fallback() const { return ipv4Fallback_; }
    bool Attach(int socket, long events = kFdAllEvents);
    int Detach();
    bool GetPeerName(std::string& address, unsigned& port) const;
    bool GetSockName(std::string& address, unsigned& port) const;
    // "<service> timeout talking to [a.b.c.d] on port N", the socket's own end: the time-out
    // line every conversation logs.
    std::string TimeoutLine(std::string_view service) const;
    bool SetTimeout(int seconds);
    // Takes one waiting connection off a listening socket (the accept event is enabled again);
    // its descriptor, or -1 with LastError set.
    int AcceptSocket(sockaddr_storage* peer = nullptr);
    // Gives an accepted descriptor to the target thread; closes it when the target has ended.
    bool HandOver(const ThreadHandle& target, int fd);

    // An overall limit on the conversation, besides the allowed silence: seconds from the moment
    // it gets its connection (0: none). Set by the listener before the thread starts; service
    // names the conversation in the log line.
    void SetSessionLimit(int seconds, std::string service);
    int SessionLimitSeconds() const { return sessionLimit_; }
    // "<service> session with [a.b.c.d] ended: it reached the session limit of N seconds".
    std::string SessionLimitLine() const;
    // Kept for the conversation's life and released with the object: the listener's count of
    // running conversations goes down when this is destroyed. A conversation with a slot
    // measures its inactivity time-out from its last progress (see ConversationSlot), so a
    // first line has its deadline from the moment of connecting, not per byte.
    void HoldSlot(std::shared_ptr<ConversationSlot> slot);
    // A conversation that reads its input itself (not through ReceiveLines) reports each
    // complete line here.
    void MarkProgress();
    // The listener ends this conversation to make room for a new client (kWmEvict). The
    // default closes the connection; a conversation may say goodbye first.
    virtual void OnEvicted();
    bool PostThreadMessage(unsigned message, uintptr_t wParam = 0, intptr_t lParam = 0);

    int Socket() const { return socket_; }
    int LastError() const { return lastError_; }
    bool IsReady() const { return ready_ != 0; }
    int TimeoutSeconds() const { return timeout_; }
    bool TimerRunning() const { return timer_ != 0; }

    // Line input: one Receive of up to `size` bytes (at most kMaxLineReceiveSize), complete lines
    // to OnLine. True when bytes arrived.
    bool ReceiveLines(int size = kLineReceiveSize);
    void SetLineOptions(const LineOptions& options) { lineReader_.SetOptions(options); }
    size_t LineBufferBytes() const { return lineReader_.BufferedBytes(); }

    // Line output: trailing white space removed, CR LF appended, sent. What the socket cannot
    // take at once stays pending and goes out on the next write events, before anything sent
    // later. False only when the socket layer reported an error (or there is no socket).
    bool SendLine(std::string_view text);
    // The same for bytes sent as they are.
    bool SendBytes(std::string_view bytes);
    // Output waits for the socket: a conversation producing a long reply stops here and goes
    // on in OnSend, which is called once the pending bytes are out.
    bool OutputBlocked() const { return outSent_ < out_.size(); }
    size_t PendingOutputBytes() const { return out_.size() - outSent_; }
    // Closes (and ends the thread) once the pending output is out; at once when there is none.
    void CloseWhenSent();

    // TLS on the established connection: after a STARTTLS/STLS reply (which goes out in plain
    // text first, however long it waits for the socket) or at once for implicit TLS. Input
    // received in plain text and not yet handled is discarded: whatever a client sent before
    // the handshake must not be taken as said under TLS. The handshake runs in the poll loop;
    // OnTlsReady reports its end. From then on Receive and Send go through TLS and every event,
    // time-out and limit behaves as on a plain socket. False when TLS cannot start (no
    // connection, already started, no context); nothing has changed then.
    bool StartTlsServer(std::shared_ptr<CTlsContext> ctx);
    bool StartTlsClient(std::shared_ptr<CTlsContext> ctx, TlsClientOptions options);
    // Implicit TLS for a conversation that has not got its connection yet (set by the listener
    // before the thread starts): the handshake starts as the connection is adopted, before any
    // byte is read, and the first write event comes once it is done.
    void SetImplicitTls(std::shared_ptr<CTlsContext> ctx) { implicitTls_ = std::move(ctx); }
    // Seconds a handshake may take (kTlsHandshakeSeconds unless changed).
    void SetTlsHandshakeLimit(int seconds) { tlsHandshakeSeconds_ = seconds > 0 ? seconds : kTlsHandshakeSeconds; }
    // The handshake has completed: the conversation is encrypted.
    bool IsTls() const { return tlsState_ == TlsState::On; }
    // The handshake is done (ok) or failed (reason names the cause). The default logs a failure
    // with the peer's address and closes the connection.
    virtual void OnTlsReady(bool ok, const std::string& reason);
    // Hex SHA-256 of the peer's certificate; "" when there is none.
    std::string TlsPeerFingerprint() const;
    // Protocol version and cipher, for log lines; "" before the handshake.
    std::string TlsDescription() const;

private:
    enum class SocketState { None, Bound, Listening, Connecting, Connected, ConnectFailed };

    static void* ThreadMain(void* arg);
    void RunThread();
    void MessageLoop();
    bool DispatchMessages();  // false on quit
    void AdoptSocket(int socket, long events);
    void CheckTimeout();
    bool Ticking() const { return timer_ != 0 || deadlineMs_ != 0 || tlsDeadlineMs_ != 0; }
    void StartTicking();
    short PollMask() const;
    void DispatchSocket(short revents);
    bool FlushOutput();  // false on a socket error
    void ResetSocketState();
    void Touch();
    bool StartTls(std::shared_ptr<CTlsContext> ctx, const TlsClientOptions* client);
    void ContinueHandshake();
    bool TlsReadPending() const;
    void StartNextAttempt();
    void StepRace(const std::vector<pollfd>& polled);
    void AbandonRace();
    void FinishConnect(int wsaError);

    // Fields.
    std::shared_ptr<detail::ThreadState> state_;
    int socket_ = kInvalidSocket;
    int ready_ = 0;
    int timer_ = 0;
    int timeout_ = 0;
    int64_t lastActivityMs_ = 0;

    // How the poll loop reports events.
    ThreadPriority priority_ = ThreadPriority::Normal;
    bool autoDelete_ = true;
    bool threadStarted_ = false;
    int lastError_ = 0;
    long selected_ = 0;
    SocketState sockState_ = SocketState::None;
    uint64_t generation_ = 0;  // changes whenever the socket does
    bool readArmed_ = false;
    bool writeWanted_ = false;
    bool acceptArmed_ = false;
    bool closeReported_ = false;
    int64_t nextTickMs_ = 0;

    CLineReader lineReader_;
    std::string out_;
    size_t outSent_ = 0;
    bool closeWhenSent_ = false;

    // TLS: WaitFlush while the plain reply before the handshake is still going out.
    enum class TlsState { Off, WaitFlush, Handshake, On, Failed };
    std::unique_ptr<CTlsSession> tls_;
    std::shared_ptr<CTlsContext> implicitTls_;
    std::string tlsPeer_;            // the peer's address, taken while it is still connected
    TlsState tlsState_ = TlsState::Off;
    bool tlsWantWrite_ = false;      // the handshake or a read waits for the socket to take bytes
    bool tlsReadWantsWrite_ = false; // a read stopped for that reason: the write event resumes it
    uint64_t tlsStarts_ = 0;         // changes when TLS starts: plain input in hand is dropped
    bool tlsInputEnded_ = false;     // the peer ended TLS or broke it: reported as a close
    int64_t tlsDeadlineMs_ = 0;      // the handshake must be done by then (0: none running)
    int tlsHandshakeSeconds_ = kTlsHandshakeSeconds;

    // The addresses of the host being connected to, the next one to try, the attempts on their
    // way, when the next one starts (0: none waiting) and the error of the last that failed.
    std::vector<Endpoint> raceQueue_;
    size_t raceNext_ = 0;
    std::vector<int> raceFds_;
    int64_t raceNextMs_ = 0;
    int raceError_ = 0;
    bool ipv4Fallback_ = false;

    int sessionLimit_ = 0;
    std::string service_;
    int64_t deadlineMs_ = 0;  // 0: no deadline running
    std::shared_ptr<ConversationSlot> slot_;
};

// Dotted (or colon) address text and port of a socket address; an IPv4-mapped IPv6 address is
// given as IPv4. False for other families.
bool SocketAddressText(const sockaddr_storage& sa, std::string& address, unsigned& port);

}  // namespace pv::net
