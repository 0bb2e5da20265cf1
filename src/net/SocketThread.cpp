#include "net/SocketThread.h"

#include <algorithm>
#include <vector>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "core/Log.h"
#include "net/Address.h"
#include "platform/SocketErrors.h"

namespace pv::net {

namespace {

constexpr int kWsaENotSock = 10038;
constexpr int kWsaEConnReset = 10054;
constexpr int kTickMs = 1000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int64_t SteadyNowMs() { return NowMs(); }

namespace {

int WsaError(int err) { return platform::WsaErrorFromErrno(err); }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

bool SocketAddressText(const sockaddr_storage& sa, std::string& address, unsigned& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(sa);
        if (!::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text)) return false;
        port = ntohs(in.sin_port);
    } else if (sa.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
            if (!::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text)) return false;
        } else if (!::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text)) {
            return false;
        }
        port = ntohs(in6.sin6_port);
    } else {
        return false;
    }
    address = text;
    return true;
}

CSocketThread::CSocketThread() : state_(std::make_shared<detail::ThreadState>(true)) {}

CSocketThread::~CSocketThread() {
    AbandonRace();
    if (socket_ != kInvalidSocket) ::close(socket_);
    // A thread that never ran has no one else to say that it is over.
    if (!threadStarted_) state_->MarkEnded();
}

ThreadHandle CSocketThread::CreateThread(ThreadPriority priority, size_t stackSize) {
    if (threadStarted_) return ThreadHandle();
    priority_ = priority;
    threadStarted_ = true;
    // Taken first: the thread may end and delete the object before the creation returns.
    ThreadHandle handle(state_);
    if (!StartDetachedThread(&CSocketThread::ThreadMain, this, stackSize)) {
        threadStarted_ = false;
        return ThreadHandle();
    }
    return handle;
}

void* CSocketThread::ThreadMain(void* arg) {
    auto* self = static_cast<CSocketThread*>(arg);
    // Held here so that waiters learn of the end only after the object is gone.
    std::shared_ptr<detail::ThreadState> state = self->state_;
    self->RunThread();
    TlsThreadEnd();
    state->MarkEnded();
    return nullptr;
}

void CSocketThread::RunThread() {
    SetCurrentThreadPriority(priority_);
    // The queue's eventfd stands for the notification window: without it the thread cannot
    // run (a resource error, ended without a word).
    if (state_->HasQueue()) {
        socket_ = kInvalidSocket;
        ready_ = 1;
        state_->MarkReady();
        if (OnStart()) MessageLoop();
    }
    // Exit: the timer stops with the loop; a socket still open is released, not leaked.
    timer_ = 0;
    AbandonRace();
    if (socket_ != kInvalidSocket) {
        ::close(socket_);
        socket_ = kInvalidSocket;
    }
    if (autoDelete_) delete this;
}

void CSocketThread::MessageLoop() {
    const int wakeFd = state_->WakeFd();
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign(2, pollfd{});
        fds[0] = {wakeFd, POLLIN, 0};
        const short mask = PollMask();
        fds[1] = {mask ? socket_ : -1, mask, 0};
        for (int fd : raceFds_) fds.push_back({fd, POLLOUT, 0});
        const uint64_t generation = generation_;

        int timeoutMs = -1;
        if (Ticking()) timeoutMs = static_cast<int>(std::max<int64_t>(0, nextTickMs_ - NowMs()));
        if (raceNextMs_ != 0 && raceNext_ < raceQueue_.size()) {
            const int untilNext = static_cast<int>(std::max<int64_t>(0, raceNextMs_ - NowMs()));
            timeoutMs = timeoutMs < 0 ? untilNext : std::min(timeoutMs, untilNext);
        }
        // Bytes TLS has already decrypted are not signalled by the socket: go round at once.
        if (TlsReadPending()) timeoutMs = 0;

        const int n = ::poll(fds.data(), fds.size(), timeoutMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            WriteLogLine(std::string("A network thread stopped: waiting for socket events failed (") +
                         std::strerror(errno) + "). The system is short of memory or descriptors.");
            return;
        }
        if (fds[0].revents != 0 && !DispatchMessages()) return;
        if (Ticking() && NowMs() >= nextTickMs_) {
            nextTickMs_ += kTickMs;
            // A thread held up for longer than a tick checks once, not once per missed tick.
            if (nextTickMs_ <= NowMs()) nextTickMs_ = NowMs() + kTickMs;
            CheckTimeout();
        }
        if (!raceQueue_.empty() && sockState_ == SocketState::Connecting && generation_ == generation) {
            std::vector<pollfd> race(fds.begin() + 2, fds.end());
            StepRace(race);
            continue;
        }
        const bool polled = fds[1].fd >= 0 && fds[1].revents != 0 && socket_ == fds[1].fd;
        if ((polled || TlsReadPending()) && socket_ != kInvalidSocket && generation_ == generation) {
            DispatchSocket(polled ? fds[1].revents : 0);
        }
    }
}

bool CSocketThread::DispatchMessages() {
    const std::vector<ThreadMessage> messages = state_->TakeAll();
    for (size_t i = 0; i < messages.size(); ++i) {
        const ThreadMessage msg = messages[i];
        switch (msg.message) {
            case kWmQuit:
                // The loop ends here; sockets still on their way are closed, not leaked.
                for (size_t j = i + 1; j < messages.size(); ++j) {
                    if (messages[j].message == kWmAdoptSocket) ::close(static_cast<int>(messages[j].wParam));
                }
                return false;
            case kWmAdoptSocket: AdoptSocket(static_cast<int>(msg.wParam), static_cast<long>(msg.lParam)); break;
            case kWmSetTimeout: SetTimeout(static_cast<int>(msg.wParam)); break;
            case kWmEvict:
                if (socket_ != kInvalidSocket) OnEvicted();
                break;
            default: OnThreadMessage(msg); break;
        }
    }
    return true;
}

void CSocketThread::OnThreadMessage(const ThreadMessage&) {}

void CSocketThread::AdoptSocket(int socket, long events) {
    if (socket_ != kInvalidSocket) {
        // One conversation, one connection: a second one handed over is refused.
        ::close(socket);
        return;
    }
    socket_ = socket;
    ResetSocketState();
    sockState_ = SocketState::Connected;
    if (sessionLimit_ > 0) {
        deadlineMs_ = NowMs() + int64_t(sessionLimit_) * 1000;
        StartTicking();
    }
    AsyncSelect(events);
    if (implicitTls_ && !StartTlsServer(implicitTls_)) {
        OnTlsReady(false, "the TLS session could not be made");
    }
}

void CSocketThread::ResetSocketState() {
    AbandonRace();
    ++generation_;
    selected_ = 0;
    sockState_ = SocketState::None;
    readArmed_ = false;
    writeWanted_ = false;
    acceptArmed_ = false;
    closeReported_ = false;
    std::string().swap(out_);
    outSent_ = 0;
    closeWhenSent_ = false;
    tls_.reset();
    tlsState_ = TlsState::Off;
    tlsWantWrite_ = false;
    tlsReadWantsWrite_ = false;
    tlsInputEnded_ = false;
    tlsDeadlineMs_ = 0;
}

void CSocketThread::Touch() { lastActivityMs_ = NowMs(); }

void CSocketThread::StartTicking() {
    if (!Ticking()) nextTickMs_ = NowMs() + kTickMs;
}

void CSocketThread::CheckTimeout() {
    if (tlsDeadlineMs_ != 0 && NowMs() >= tlsDeadlineMs_) {
        tlsDeadlineMs_ = 0;
        if (socket_ != kInvalidSocket && (tlsState_ == TlsState::WaitFlush || tlsState_ == TlsState::Handshake)) {
            tlsState_ = TlsState::Failed;
            OnTlsReady(false, "the handshake was not finished within " + std::to_string(tlsHandshakeSeconds_) +
                                  " s");
            return;
        }
    }
    if (deadlineMs_ != 0 && NowMs() >= deadlineMs_) {
        deadlineMs_ = 0;
        if (socket_ != kInvalidSocket) {
            OnSessionLimit();
            return;
        }
    }
    if (timer_ == 0) return;  // only the deadline was ticking
    // A conversation of a listener counts its silence from its last progress, and allows less
    // of it while its service is full.
    int allowed = timeout_;
    int64_t since = lastActivityMs_;
    if (slot_) {
        since = slot_->LastProgressMs();
        if (slot_->UnderPressure()) allowed = std::min(allowed, kPressureTimeoutSeconds);
    }
    const int64_t silentSeconds = (NowMs() - since) / 1000;
    if (socket_ == kInvalidSocket || silentSeconds > allowed) {
        OnTimeout();
        Close(true);
    }
}

void CSocketThread::OnTimeout() {
    WriteLogLine("Connection timeout");
    PostThreadMessage(kWmQuit);
}

void CSocketThread::HoldSlot(std::shared_ptr<ConversationSlot> slot) {
    slot_ = std::move(slot);
    if (slot_) slot_->Progress(NowMs());
}

void CSocketThread::MarkProgress() {
    if (slot_) slot_->Progress(NowMs());
}

void CSocketThread::OnEvicted() { Close(true); }

void CSocketThread::OnSessionLimit() {
    WriteLogLine(SessionLimitLine());
    Close(true);
}

bool CSocketThread::OnStart() { return true; }

void CSocketThread::OnLine(std::string&) {}

short CSocketThread::PollMask() const {
    if (socket_ == kInvalidSocket) return 0;
    switch (sockState_) {
        case SocketState::Listening: return (acceptArmed_ && (selected_ & kFdAccept)) ? POLLIN : 0;
        case SocketState::Connecting: return raceQueue_.empty() ? POLLOUT : 0;  // a race polls its own sockets
        case SocketState::Connected: {
            switch (tlsState_) {
                case TlsState::WaitFlush: return POLLOUT;
                case TlsState::Handshake: return tlsWantWrite_ ? POLLOUT : POLLIN;
                case TlsState::Failed: return 0;
                default: break;
            }
            short mask = 0;
            const bool readSelected = selected_ & kFdRead;
            if (!closeReported_) {
                if (readSelected && readArmed_) mask |= POLLIN;
                // The close waits until what arrived before it has been read.
                if ((selected_ & kFdClose) && (readArmed_ || !readSelected)) mask |= POLLRDHUP;
            }
            if (writeWanted_ && ((selected_ & kFdWrite) || OutputBlocked())) mask |= POLLOUT;
            if (tlsReadWantsWrite_) mask |= POLLOUT;
            return mask;
        }
        default: return 0;
    }
}

void CSocketThread::DispatchSocket(short revents) {
    const uint64_t generation = generation_;
    auto same = [&] { return socket_ != kInvalidSocket && generation_ == generation; };

    switch (sockState_) {
        case SocketState::Listening:
            if ((revents & POLLIN) && acceptArmed_) {
                acceptArmed_ = false;  // until the next Accept call
                OnAccept();
            }
            return;
        case SocketState::Connecting: {
            if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return;
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            FinishConnect(WsaError(err));
            return;
        }
        case SocketState::Connected: break;
        default: return;
    }

    switch (tlsState_) {
        case TlsState::WaitFlush:
            // The plain reply that precedes the handshake goes out whole first.
            if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return;
            Touch();
            if (!FlushOutput()) {
                tlsState_ = TlsState::Failed;
                OnTlsReady(false, "the connection broke before the handshake");
                return;
            }
            if (!same() || OutputBlocked()) return;
            tlsState_ = TlsState::Handshake;
            ContinueHandshake();
            return;
        case TlsState::Handshake:
            Touch();
            ContinueHandshake();
            return;
        case TlsState::Failed: return;
        default: break;
    }
    if (tlsInputEnded_ && !closeReported_) {
        // The peer ended TLS (or broke it): nothing more can be read, as after a close.
        closeReported_ = true;
        if (selected_ & kFdClose) OnClose();
        return;
    }

    int waiting = -1;
    if (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) {
        if (::ioctl(socket_, FIONREAD, &waiting) != 0) waiting = -1;
    }
    if (tls_) {
        // Raw bytes waiting may be only part of a record, and decrypted ones are not in the
        // socket at all; a read that had to wait for a write goes on at the write event.
        if (tlsReadWantsWrite_ && (revents & (POLLOUT | POLLERR | POLLHUP))) {
            tlsReadWantsWrite_ = false;
            revents |= POLLIN;
            waiting = std::max(waiting, 1);
        }
        if (tls_->HasPending()) {
            revents |= POLLIN;
            waiting = std::max(waiting, 1);
        }
    }
    const bool readSelected = selected_ & kFdRead;
    if ((revents & POLLIN) && readArmed_ && readSelected && waiting > 0) {
        readArmed_ = false;  // until the next Receive call
        Touch();
        OnReceive();
        if (!same()) return;
        if (tlsInputEnded_ && !closeReported_) {
            closeReported_ = true;
            if (selected_ & kFdClose) OnClose();
            return;
        }
    } else if (!closeReported_) {
        const bool peerGone = (revents & (POLLRDHUP | POLLHUP | POLLERR)) || ((revents & POLLIN) && waiting == 0);
        if (peerGone && (waiting <= 0 || !readSelected || (revents & POLLERR))) {
            closeReported_ = true;
            if (revents & POLLERR) {
                int err = 0;
                socklen_t len = sizeof err;
                if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
                    lastError_ = WsaError(err);
                }
            }
            if (selected_ & kFdClose) {
                OnClose();
                if (!same()) return;
            }
        }
    }
    // An error or hang-up counts as writable: the flush then learns what happened.
    if (writeWanted_ && (revents & (POLLOUT | POLLERR | POLLHUP))) {
        writeWanted_ = false;  // until a send cannot take everything
        Touch();
        if (!FlushOutput() || !same()) return;
        if (OutputBlocked()) return;  // the rest goes on the next write event
        if (closeWhenSent_) {
            Close(true);
            return;
        }
        if (selected_ & kFdWrite) OnSend();
    }
}

// --- socket operations -------------------------------------------------------------------

bool CSocketThread::Create(unsigned port, int type, long /*events: selected later by the caller*/,
                           const char* address) {
    if (socket_ != kInvalidSocket) {
        lastError_ = platform::kWsaEInval;
        return false;
    }
    auto fail = [this](int wsaError) {
        Close(true);
        lastError_ = wsaError;
        return false;
    };
    if (port > 65535) return fail(platform::kWsaEInval);
    ipv4Fallback_ = false;
    sockaddr_storage local {};
    socklen_t length = 0;
    bool dualStack = false;
    if (address) {
        // One address of either family, as given (brackets allowed); no name is looked up.
        Endpoint parsed;
        if (!LiteralEndpoint(address, port, parsed)) return fail(platform::kWsaEInval);
        local = parsed.address;
        length = parsed.length;
    } else {
        // Every local address of both families on one socket: IPv4 clients arrive as
        // IPv4-mapped addresses, which SocketAddressText gives as IPv4.
        auto& in6 = reinterpret_cast<sockaddr_in6&>(local);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        in6.sin6_addr = in6addr_any;
        length = sizeof(sockaddr_in6);
        dualStack = true;
    }

    int fd = ::socket(local.ss_family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && dualStack && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
        // A kernel without IPv6: every local IPv4 address instead; the caller says so once.
        auto& in = reinterpret_cast<sockaddr_in&>(local);
        local = {};
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<uint16_t>(port));
        in.sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof(sockaddr_in);
        dualStack = false;
        ipv4Fallback_ = true;
        fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return fail(WsaError(errno));
    socket_ = fd;
    ResetSocketState();
    if (local.ss_family == AF_INET6) {
        // The wildcard serves both families; a named IPv6 address only its own, so that the
        // same port can also be bound on an IPv4 address of the list.
        const int v6only = dualStack ? 0 : 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (port != 0) {
        // A restarted server must get its port back while old connections linger in
        // TIME_WAIT; a port that another socket listens on is still refused.
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0) return fail(WsaError(errno));
    sockState_ = SocketState::Bound;
    lastError_ = 0;
    return true;
}

bool CSocketThread::Listen(int backlog) {
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return false;
    }
    if (::listen(socket_, backlog) != 0) {
        lastError_ = WsaError(errno);
        return false;
    }
    sockState_ = SocketState::Listening;
    acceptArmed_ = true;
    return true;
}

bool CSocketThread::AsyncSelect(long events) {
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return false;
    }
    selected_ = events;
    // Selecting again re-enables every event, as a fresh selection does.
    readArmed_ = true;
    acceptArmed_ = true;
    if (sockState_ == SocketState::Connected && (events & kFdWrite)) writeWanted_ = true;
    return true;
}

bool CSocketThread::Accept(const ThreadHandle& target, sockaddr* address, socklen_t* length) {
    sockaddr_storage peer {};
    const int fd = AcceptSocket(&peer);
    if (fd < 0) return false;
    if (address && length) {
        std::memcpy(address, &peer, std::min<size_t>(*length, sizeof peer));
        *length = std::min<socklen_t>(*length, sizeof peer);
    }
    return HandOver(target, fd);
}

int CSocketThread::AcceptSocket(sockaddr_storage* peer) {
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return -1;
    }
    acceptArmed_ = true;  // every accept call re-enables the accept event
    sockaddr_storage sa {};
    socklen_t len = sizeof sa;
    const int fd = ::accept4(socket_, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        lastError_ = WsaError(errno);
        return -1;
    }
    if (peer) *peer = sa;
    return fd;
}

bool CSocketThread::HandOver(const ThreadHandle& target, int fd) {
    if (!target.PostThreadMessage(kWmAdoptSocket, static_cast<uintptr_t>(fd), kFdAllEvents)) {
        ::close(fd);  // the target has ended: nobody would serve the connection
        lastError_ = kWsaENotSock;
        return false;
    }
    return true;
}

bool CSocketThread::Connect(const std::string& host, unsigned port) {
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return false;
    }
    AbandonRace();
    raceQueue_ = ResolveForConnect(host, port);
    if (raceQueue_.empty()) {
        lastError_ = platform::kWsaEInval;
        return false;
    }
    Touch();
    raceNext_ = 0;
    raceError_ = 0;
    sockState_ = SocketState::Connecting;
    StartNextAttempt();
    if (raceFds_.empty()) {
        // Every address failed at once (no route, no such family): said now, as before.
        sockState_ = SocketState::None;
        lastError_ = raceError_ ? raceError_ : platform::kWsaEInval;
        raceQueue_.clear();
        return false;
    }
    // The connect event reports the outcome of the race.
    lastError_ = platform::kWsaEWouldBlock;
    return false;
}

void CSocketThread::StartNextAttempt() {
    // Attempts that fail at once are passed over until one is on its way or none is left.
    while (raceNext_ < raceQueue_.size()) {
        const Endpoint& target = raceQueue_[raceNext_++];
        const int fd = ::socket(target.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            raceError_ = WsaError(errno);
            continue;
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&target.address), target.length) == 0 ||
            errno == EINPROGRESS) {
            raceFds_.push_back(fd);
            raceNextMs_ = NowMs() + kConnectHeadStartMs;
            return;
        }
        raceError_ = WsaError(errno);
        ::close(fd);
    }
    raceNextMs_ = 0;
}

void CSocketThread::AbandonRace() {
    for (int fd : raceFds_) ::close(fd);
    raceFds_.clear();
    raceQueue_.clear();
    raceNext_ = 0;
    raceNextMs_ = 0;
}

void CSocketThread::StepRace(const std::vector<pollfd>& polled) {
    int winner = -1;
    for (const pollfd& p : polled) {
        if (p.revents == 0 || winner >= 0) continue;
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0 && (p.revents & POLLOUT)) {
            winner = p.fd;
        } else if (err != 0 || (p.revents & (POLLERR | POLLHUP))) {
            raceError_ = WsaError(err ? err : ECONNREFUSED);
            ::close(p.fd);
            raceFds_.erase(std::remove(raceFds_.begin(), raceFds_.end(), p.fd), raceFds_.end());
        }
    }
    if (winner >= 0) {
        // The winner takes the place of the socket the caller created, under the same
        // descriptor number; the attempts still on their way are dropped.
        raceFds_.erase(std::remove(raceFds_.begin(), raceFds_.end(), winner), raceFds_.end());
        const bool moved = ::dup3(winner, socket_, O_CLOEXEC) >= 0;
        const int err = moved ? 0 : WsaError(errno);
        ::close(winner);
        AbandonRace();
        FinishConnect(err);
        return;
    }
    // A failed attempt lets the next one start at once; a slow one after the head start.
    if (raceNext_ < raceQueue_.size() && (raceFds_.empty() || NowMs() >= raceNextMs_)) StartNextAttempt();
    if (raceFds_.empty()) {
        const int err = raceError_ ? raceError_ : platform::kWsaEInval;
        AbandonRace();
        FinishConnect(err);
    }
}

void CSocketThread::FinishConnect(int wsaError) {
    lastError_ = wsaError;
    if (wsaError == 0) {
        sockState_ = SocketState::Connected;
        readArmed_ = true;
        writeWanted_ = true;  // the write event that follows a connect
    } else {
        // A failed attempt reports nothing further; the next socket call fails.
        sockState_ = SocketState::ConnectFailed;
    }
    if (selected_ & kFdConnect) {
        Touch();
        OnConnect();
    }
}

int CSocketThread::Receive(void* buffer, int size, int flags) {
    Touch();
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return -1;
    }
    readArmed_ = true;
    if (tlsState_ != TlsState::Off) {
        // Nothing is read around the handshake: those bytes are the handshake's.
        if (tlsState_ != TlsState::On) {
            lastError_ = platform::kWsaEWouldBlock;
            return -1;
        }
        CTlsSession::Io status;
        const int n = tls_->Read(buffer, size, status);
        if (n > 0) return n;
        switch (status) {
            case CTlsSession::Io::WantWrite: tlsReadWantsWrite_ = true; [[fallthrough]];
            case CTlsSession::Io::WantRead: lastError_ = platform::kWsaEWouldBlock; return -1;
            case CTlsSession::Io::Closed: tlsInputEnded_ = true; return 0;
            default:
                tlsInputEnded_ = true;
                lastError_ = kWsaEConnReset;
                return -1;
        }
    }
    const ssize_t n = ::recv(socket_, buffer, static_cast<size_t>(size), flags);
    if (n < 0) lastError_ = WsaError(errno);
    return static_cast<int>(n);
}

int CSocketThread::Send(const void* data, int length, int flags) {
    Touch();
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return -1;
    }
    if (tlsState_ != TlsState::Off) {
        // Output waits for the handshake; it is flushed once TLS is on.
        if (tlsState_ != TlsState::On) {
            lastError_ = platform::kWsaEWouldBlock;
            return -1;
        }
        CTlsSession::Io status;
        const int n = tls_->Write(data, length, status);
        if (n > 0) return n;
        if (status == CTlsSession::Io::WantWrite || status == CTlsSession::Io::WantRead) {
            lastError_ = platform::kWsaEWouldBlock;
            writeWanted_ = true;
            return -1;
        }
        lastError_ = kWsaEConnReset;
        return -1;
    }
    const ssize_t n = ::send(socket_, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    if (n < 0) {
        lastError_ = WsaError(errno);
        if (errno == EAGAIN || errno == EWOULDBLOCK) writeWanted_ = true;
    } else if (n < length) {
        writeWanted_ = true;  // the socket is full; it says when it can take more
    }
    return static_cast<int>(n);
}

void CSocketThread::Close(bool postQuit) {
    if (socket_ != kInvalidSocket) {
        // What the socket still takes of the pending output goes out before the close.
        if (OutputBlocked() && sockState_ == SocketState::Connected) FlushOutput();
        if (tls_ && tlsState_ == TlsState::On) tls_->Shutdown();
        ::close(socket_);
        socket_ = kInvalidSocket;
        ResetSocketState();
    }
    if (postQuit) PostThreadMessage(kWmQuit);
}

bool CSocketThread::Attach(int socket, long events) {
    if (socket_ != kInvalidSocket || socket < 0) {
        lastError_ = platform::kWsaEInval;
        return false;
    }
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) != 0) {
        lastError_ = WsaError(errno);
        return false;
    }
    socket_ = socket;
    ResetSocketState();
    int listening = 0;
    socklen_t len = sizeof listening;
    sockaddr_storage peer {};
    socklen_t peerLen = sizeof peer;
    if (::getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening) {
        sockState_ = SocketState::Listening;
    } else if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
        sockState_ = SocketState::Connected;
    } else {
        sockState_ = SocketState::Bound;
    }
    return AsyncSelect(events);
}

int CSocketThread::Detach() {
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return -1;
    }
    const int fd = socket_;
    socket_ = kInvalidSocket;
    ResetSocketState();
    return fd;
}

bool CSocketThread::GetPeerName(std::string& address, unsigned& port) const {
    sockaddr_storage sa {};
    socklen_t len = sizeof sa;
    if (socket_ == kInvalidSocket || ::getpeername(socket_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    return SocketAddressText(sa, address, port);
}

bool CSocketThread::GetSockName(std::string& address, unsigned& port) const {
    sockaddr_storage sa {};
    socklen_t len = sizeof sa;
    if (socket_ == kInvalidSocket || ::getsockname(socket_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    return SocketAddressText(sa, address, port);
}

std::string CSocketThread::TimeoutLine(std::string_view service) const {
    std::string address;
    unsigned port = 0;
    GetSockName(address, port);
    return std::string(service) + " timeout talking to [" + address + "] on port " + std::to_string(port);
}

void CSocketThread::SetSessionLimit(int seconds, std::string service) {
    sessionLimit_ = seconds > 0 ? seconds : 0;
    service_ = std::move(service);
}

std::string CSocketThread::SessionLimitLine() const {
    std::string address;
    unsigned port = 0;
    GetPeerName(address, port);
    return service_ + " session with [" + address + "] ended: it reached the session limit of " +
           std::to_string(sessionLimit_) + " seconds (AdvCon\\SessionLimit)";
}

bool CSocketThread::SetTimeout(int seconds) {
    Touch();
    if (timer_ == 0) {
        StartTicking();
        timer_ = 1;
    }
    timeout_ = seconds;
    return true;
}

bool CSocketThread::PostThreadMessage(unsigned message, uintptr_t wParam, intptr_t lParam) {
    return state_->Post(ThreadMessage{message, wParam, lParam});
}

// --- line input and output ---------------------------------------------------------------

bool CSocketThread::ReceiveLines(int size) {
    thread_local std::vector<char> buffer;
    size = std::clamp(size, 1, kMaxLineReceiveSize);
    if (buffer.size() < static_cast<size_t>(size)) buffer.resize(static_cast<size_t>(size));
    const int n = Receive(buffer.data(), size, 0);
    if (n <= 0) return false;
    const uint64_t generation = generation_;
    const uint64_t tlsStarts = tlsStarts_;
    // Once a handler has closed the connection, the rest of the packet has no one to go to;
    // once it has started TLS, the rest was sent in plain text and is dropped.
    auto goOn = [&] { return socket_ != kInvalidSocket && generation_ == generation && tlsStarts_ == tlsStarts; };
    lineReader_.Feed(
        std::string_view(buffer.data(), static_cast<size_t>(n)),
        [&](std::string& line) {
            MarkProgress();
            OnLine(line);
            return goOn();
        },
        [&] {
            MarkProgress();
            OnLineTooLong();
            return goOn();
        });
    if (tlsStarts_ != tlsStarts) lineReader_.Clear();
    return true;
}

bool CSocketThread::SendLine(std::string_view text) {
    size_t end = text.size();
    while (end > 0 && IsSpace(text[end - 1])) --end;
    std::string line;
    line.reserve(end + 2);
    line.append(text.substr(0, end));
    line.append("\r\n");
    return SendBytes(line);
}

bool CSocketThread::SendBytes(std::string_view bytes) {
    if (socket_ == kInvalidSocket) {
        lastError_ = kWsaENotSock;
        return false;
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    }
    out_.append(bytes);
    return FlushOutput();
}

bool CSocketThread::FlushOutput() {
    while (outSent_ < out_.size()) {
        const size_t chunk = std::min<size_t>(out_.size() - outSent_, 1u << 30);
        const int n = Send(out_.data() + outSent_, static_cast<int>(chunk), 0);
        if (n > 0) {
            outSent_ += static_cast<size_t>(n);
            MarkProgress();  // the client takes what it is sent
            continue;
        }
        if (n < 0 && lastError_ == platform::kWsaEWouldBlock) break;  // wait for the write event
        // The connection is broken: nothing more of it can be delivered.
        std::string().swap(out_);
        outSent_ = 0;
        return false;
    }
    if (outSent_ == out_.size()) {
        // A large reply leaves a large buffer behind; an idle conversation should not keep it.
        if (out_.capacity() > 64 * 1024) std::string().swap(out_);
        out_.clear();
        outSent_ = 0;
    } else if (outSent_ > (1u << 20) && outSent_ > out_.size() / 2) {
        out_.erase(0, outSent_);
        outSent_ = 0;
    }
    return true;
}

void CSocketThread::CloseWhenSent() {
    if (!OutputBlocked()) {
        Close(true);
        return;
    }
    closeWhenSent_ = true;
}

// --- TLS ---------------------------------------------------------------------------------

bool CSocketThread::StartTlsServer(std::shared_ptr<CTlsContext> ctx) {
    if (!ctx || !ctx->IsServer()) {
        lastError_ = platform::kWsaEInval;
        return false;
    }
    return StartTls(std::move(ctx), nullptr);
}

bool CSocketThread::StartTlsClient(std::shared_ptr<CTlsContext> ctx, TlsClientOptions options) {
    if (!ctx || ctx->IsServer()) {
        lastError_ = platform::kWsaEInval;
        return false;
    }
    return StartTls(std::move(ctx), &options);
}

bool CSocketThread::StartTls(std::shared_ptr<CTlsContext> ctx, const TlsClientOptions* client) {
    if (socket_ == kInvalidSocket || sockState_ != SocketState::Connected || tlsState_ != TlsState::Off) {
        lastError_ = platform::kWsaEInval;
        return false;
    }
    std::string error;
    std::unique_ptr<CTlsSession> session = CTlsSession::Create(ctx, socket_, client, error);
    if (!session) {
        WriteLogLine("TLS could not start: " + error);
        lastError_ = platform::kWsaEInval;
        return false;
    }
    tls_ = std::move(session);
    ++tlsStarts_;
    unsigned port = 0;
    if (!GetPeerName(tlsPeer_, port)) tlsPeer_.clear();
    // Whatever arrived in plain text and is still in hand was sent before the handshake.
    lineReader_.Clear();
    tlsWantWrite_ = client != nullptr;  // a client speaks first
    tlsReadWantsWrite_ = false;
    tlsInputEnded_ = false;
    // The handshake begins in the poll loop, never inside the handler that asked for it.
    tlsState_ = OutputBlocked() ? TlsState::WaitFlush : TlsState::Handshake;
    StartTicking();
    tlsDeadlineMs_ = NowMs() + int64_t(tlsHandshakeSeconds_) * 1000;
    return true;
}

void CSocketThread::ContinueHandshake() {
    std::string reason;
    switch (tls_->Handshake(reason)) {
        case CTlsSession::Io::Done:
            tlsState_ = TlsState::On;
            tlsDeadlineMs_ = 0;
            tlsWantWrite_ = false;
            readArmed_ = true;
            if (OutputBlocked()) writeWanted_ = true;  // written while the handshake ran
            OnTlsReady(true, "");
            return;
        case CTlsSession::Io::WantRead: tlsWantWrite_ = false; return;
        case CTlsSession::Io::WantWrite: tlsWantWrite_ = true; return;
        default:
            tlsState_ = TlsState::Failed;
            OnTlsReady(false, reason);
            return;
    }
}

bool CSocketThread::TlsReadPending() const {
    if (tlsState_ != TlsState::On || socket_ == kInvalidSocket || closeReported_) return false;
    if (tlsInputEnded_) return true;
    return readArmed_ && (selected_ & kFdRead) && tls_->HasPending();
}

void CSocketThread::OnTlsReady(bool ok, const std::string& reason) {
    if (ok) return;
    WriteLogLine("TLS handshake with [" + tlsPeer_ + "] failed: " + reason + "; the connection was closed");
    Close(true);
}

std::string CSocketThread::TlsPeerFingerprint() const { return tls_ ? tls_->PeerFingerprint() : std::string(); }

std::string CSocketThread::TlsDescription() const {
    return tlsState_ == TlsState::On ? tls_->Description() : std::string();
}

}  // namespace pv::net
