#include "net/Listeners.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "core/Format.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/RegistryKey.h"
#include "core/SettingChecks.h"
#include "net/Address.h"
#include "net/LanTls.h"
#include "net/RelayNets.h"
#include "platform/Limits.h"
#include "platform/SocketErrors.h"

namespace pv::net {

namespace {

constexpr int kWsaEMFile = 10024;   // too many open files
constexpr int kWsaENoBufs = 10055;  // no buffer space

// An AdvCon value between 1 and most; anything else gives the default. A value that is there
// but unusable is said once, with its name.
uint32_t ReadLimit(const char* name, uint32_t defaultValue, uint32_t most, const char* service) {
    CRegistryKey key("AdvCon", false);
    uint32_t value = 0;
    char probe = 0;
    if (!key.ReadBinary(name, &probe, 0)) return defaultValue;  // not set: no word needed
    if (key.ReadInt(name, value) && value >= 1 && value <= most) return value;
    WriteLogLine(std::string("AdvCon\\") + name + " is not a number from 1 to " + std::to_string(most) +
                 "; the " + service + " service uses " + std::to_string(defaultValue) +
                 ". Correct the value and restart Postvane.");
    return defaultValue;
}

}  // namespace

ConnectionLimits ReadConnectionLimits(const char* service) {
    ConnectionLimits limits;
    limits.perService = ReadLimit(kMaxConnectionsValue, ConnectionLimits::kDefaultPerService, kMostConnections, service);
    limits.perAddress = ReadLimit(kMaxPerAddressValue, ConnectionLimits::kDefaultPerAddress, kMostConnections, service);
    limits.sessionSeconds =
        ReadLimit(kSessionLimitValue, ConnectionLimits::kDefaultSessionSeconds, kMostSessionSeconds, service);
    return limits;
}

// --- conversation counts -----------------------------------------------------------------

// A conversation's place in the counts, given back when the conversation is destroyed.
struct CountedSlot : ConversationSlot {
    std::shared_ptr<CConnectionCounts> counts;
    std::string address;
    ThreadHandle thread;   // guarded by the counts' mutex, like evicted
    bool evicted = false;  // told to end to make room
    CountedSlot(std::shared_ptr<CConnectionCounts> c, std::string a) : counts(std::move(c)), address(std::move(a)) {}
    ~CountedSlot() override { counts->ReleaseSlot(this); }
    CountedSlot(const CountedSlot&) = delete;
    CountedSlot& operator=(const CountedSlot&) = delete;
    bool UnderPressure() const override { return counts->Full(); }
};

std::shared_ptr<ConversationSlot> CConnectionCounts::Take(const std::string& address, const ConnectionLimits& limits,
                                                          const std::function<bool()>& exempt, Refusal& why,
                                                          Eviction* evicted) {
    const std::string key = AddressCountingKey(address);
    std::lock_guard lock(mutex_);
    why = Refusal::None;
    perService_ = limits.perService;
    auto found = byAddress_.find(key);
    if (found != byAddress_.end() && found->second >= limits.perAddress && !(exempt && exempt())) {
        why = Refusal::AddressFull;
        return nullptr;
    }
    if (total_ - evicting_ >= limits.perService) {
        // Full: the conversation idle for longest, if any has been idle long enough, makes room.
        const int64_t now = SteadyNowMs();
        CountedSlot* victim = nullptr;
        for (CountedSlot* s : slots_) {
            if (s->evicted || !s->thread.Valid() || now - s->LastProgressMs() < kEvictAfterMs) continue;
            if (!victim || s->LastProgressMs() < victim->LastProgressMs()) victim = s;
        }
        if (!victim) {
            full_ = true;
            why = Refusal::ServiceFull;
            return nullptr;
        }
        victim->evicted = true;
        ++evicting_;
        victim->thread.PostThreadMessage(kWmEvict);  // a thread already ending ignores it
        if (evicted) *evicted = {victim->address, now - victim->LastProgressMs()};
    }
    ++total_;
    ++byAddress_[key];
    full_ = total_ - evicting_ >= limits.perService;
    auto slot = std::make_shared<CountedSlot>(shared_from_this(), key);
    slots_.push_back(slot.get());
    return slot;
}

void CConnectionCounts::SetThread(const std::shared_ptr<ConversationSlot>& slot, const ThreadHandle& thread) {
    std::lock_guard lock(mutex_);
    static_cast<CountedSlot*>(slot.get())->thread = thread;
}

void CConnectionCounts::ReleaseSlot(CountedSlot* slot) {
    std::lock_guard lock(mutex_);
    --total_;
    if (slot->evicted) --evicting_;
    slots_.erase(std::find(slots_.begin(), slots_.end(), slot));
    auto found = byAddress_.find(slot->address);
    if (found != byAddress_.end() && --found->second == 0) byAddress_.erase(found);
    full_ = total_ - evicting_ >= perService_;
}

size_t CConnectionCounts::Total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

size_t CConnectionCounts::From(const std::string& address) const {
    std::lock_guard lock(mutex_);
    auto found = byAddress_.find(AddressCountingKey(address));
    return found == byAddress_.end() ? 0 : found->second;
}

// --- listeners ---------------------------------------------------------------------------

CListenThread::CListenThread(ConversationFactory factory, std::string bindAddress)
    : factory_(std::move(factory)), bindAddress_(std::move(bindAddress)) {}

unsigned CListenThread::ReadPortValue(const char* name, unsigned defaultPort) {
    uint32_t port = defaultPort;
    CRegistryKey("AdvCon", false).ReadInt(name, port);
    if (port == 0 || port > 65535) {
        WriteLogLine(std::string("AdvCon\\") + name + " holds " + std::to_string(port) +
                     ", which is not a port number; the " + ServiceName() + " service uses port " +
                     std::to_string(defaultPort) + ". Correct the value and restart Postvane.");
        port = defaultPort;
    }
    return port;
}

void ListenOutcome::Set(bool ok, ListenFailure failure) {
    std::lock_guard lock(mutex_);
    done_ = true;
    ok_ = ok;
    failure_ = std::move(failure);
    cv_.notify_all();
}

bool ListenOutcome::Wait(int waitMs, bool& failed, ListenFailure& failure) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return done_; })) return false;
    failed = !ok_;
    failure = failure_;
    return true;
}

bool CListenThread::OnStart() {
    const unsigned port = ReadPort();
    limits_ = ReadConnectionLimits(ServiceName());
    SetCurrentThreadPriority(ThreadPriority::TimeCritical);
    const char* address = bindAddress_.empty() ? nullptr : bindAddress_.c_str();
    if (Create(port, SOCK_STREAM, kFdAllEvents, address) && Listen(kListenBacklog) && AsyncSelect(kFdAllEvents)) {
        static std::once_flag said;
        if (Ipv4Fallback()) {
            std::call_once(said, [] {
                WriteLogLine("This system has no IPv6: the services listen on IPv4 addresses only.");
            });
        }
        outcome_->Set(true);
        return true;
    }
    const auto error = static_cast<unsigned>(LastError());
    ReportFailure(error);
    outcome_->Set(false, {ServiceName(), port, error, PortValueName()});
    return false;
}

// The connection is taken first, so that a client over a cap is turned away without a thread
// being started for it; a conversation gets its thread, its place in the counts and its session
// limit before the connection is handed over.
void CListenThread::OnAccept() {
    sockaddr_storage peer {};
    const int fd = AcceptSocket(&peer);
    if (fd < 0) {
        const int error = LastError();
        if (error == kWsaEMFile || error == kWsaENoBufs) {
            Report(std::string("Could not accept a new ") + ServiceName() + " connection, Error Code =" +
                   std::to_string(error) + ": the server is out of file descriptors or memory. Raise the open-file "
                   "limit (ulimit -n) or end other programs.");
            BackOff();
        }
        return;
    }
    std::string address;
    unsigned port = 0;
    SocketAddressText(peer, address, port);
    CConnectionCounts::Refusal why;
    CConnectionCounts::Eviction evicted;
    // The office's own machines are not held to the per-address cap.
    std::shared_ptr<ConversationSlot> slot =
        counts_->Take(address, limits_, [&] { return AddressInNets(address, RelayNets()); }, why, &evicted);
    if (!slot) {
        Refuse(fd, address, why);
        return;
    }
    if (!evicted.address.empty()) ReportEviction(evicted);
    CSocketThread* conversation = factory_ ? factory_() : nullptr;
    if (!conversation) {
        ::close(fd);
        Report(std::string("A new ") + ServiceName() + " connection was closed unserved: no conversation is available for it.");
        return;
    }
    if (conversationTls_) conversation->SetImplicitTls(conversationTls_);
    conversation->HoldSlot(slot);
    const std::string service = ServiceName();
    CountMetric(service.rfind("SMTP", 0) == 0   ? Metric::ConnectionsSmtp
                : service.rfind("POP3", 0) == 0 ? Metric::ConnectionsPop
                : service.rfind("IMAP", 0) == 0 ? Metric::ConnectionsImap
                                                : Metric::ConnectionsFinger);
    conversation->SetSessionLimit(static_cast<int>(limits_.sessionSeconds), ServiceName());
    ThreadHandle thread = conversation->CreateThread(ThreadPriority::AboveNormal, kConversationStackSize);
    if (!thread.Valid()) {
        const int err = errno;
        delete conversation;
        ::close(fd);
        Report(std::string("A new ") + ServiceName() + " connection was closed unserved: could not start its "
               "conversation thread (" + std::strerror(err) + "). Check the system's limits on threads and memory.");
        BackOff();
        return;
    }
    // From here on the conversation belongs to its thread: only the handle is used.
    if (!thread.WaitReady()) {
        ::close(fd);
        Report(std::string("A new ") + ServiceName() + " connection was closed unserved: its conversation thread "
               "could not start (out of file descriptors or memory).");
        BackOff();
        return;
    }
    counts_->SetThread(slot, thread);
    slot.reset();  // the conversation's own from here: its end gives the place back
    PrepareConversation(thread);
    if (!HandOver(thread, fd)) thread.PostQuit();
}

void CListenThread::ReportEviction(const CConnectionCounts::Eviction& evicted) {
    uint64_t left = 0;
    if (!evictionLines_.Admit(evicted.address, left)) return;
    WriteLogLine(std::string(ServiceName()) + " conversation with [" + evicted.address + "] closed to admit a new client: " +
                 std::to_string(limits_.perService) + " conversations run (AdvCon\\MaxConnections) and it sent no "
                 "complete command for " + std::to_string(evicted.idleMs / 1000) + " s" +
                 (left > 0 ? "; " + std::to_string(left) + " more closed since the last such line" : std::string()));
}

void CListenThread::PrepareConversation(const ThreadHandle&) {}

void CListenThread::Refuse(int fd, const std::string& address, CConnectionCounts::Refusal why) {
    const std::string reply = RefusalReply(why);
    // A fresh socket takes a short line at once; if not, the client gets the close alone.
    if (!reply.empty()) (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    // A flood of connections must not become a flood of log lines: one line per address and
    // kind of refusal a minute, with the number left out since the last one.
    const bool byAddress = why == CConnectionCounts::Refusal::AddressFull;
    uint64_t left = 0;
    if (!refusalLines_.Admit((byAddress ? "address|" : "service|") + address, left)) return;
    WriteLogLine(std::string(ServiceName()) + " connection from [" + address + "] refused: " +
                 std::to_string(byAddress ? limits_.perAddress : limits_.perService) + " conversations" +
                 (byAddress ? " from that address" : "") + " already run (AdvCon\\" +
                 (byAddress ? "MaxPerAddress" : "MaxConnections") + ")" +
                 (left > 0 ? "; " + std::to_string(left) + " more refused since the last such line" : std::string()));
}

void CListenThread::Report(const std::string& text) {
    // When resources run out every connection fails the same way; one line a minute says it.
    const auto now = std::chrono::steady_clock::now();
    if (reported_ && now - lastReport_ < std::chrono::minutes(1)) return;
    reported_ = true;
    lastReport_ = now;
    WriteLogLine(text);
}

void CListenThread::BackOff() {
    // The connection is still queued, so the accept event comes straight back: a short pause
    // keeps the listener from spinning until descriptors or memory are free again.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

unsigned CSMTPListen::ReadPort() { return ReadPortValue("smtpinport", 25); }

void CSMTPListen::ReportFailure(unsigned error) {
    if (error == platform::kWsaEAddrInUse) {
        WriteLogLine(Format("Failed to initialise SMTP Server, SMTP server already running, Error Code =%u", error));
    } else {
        WriteLogLine(Format("Failed to initialise SMTP Server, Error Code =%u", error));
    }
}

std::string CSMTPListen::RefusalReply(CConnectionCounts::Refusal why) {
    return "421 " + PrimaryDomain() +
           (why == CConnectionCounts::Refusal::AddressFull ? " Too many connections from your address"
                                                          : " Too many connections") +
           ", try again later\r\n";
}

unsigned CPopListen::ReadPort() { return ReadPortValue("popport", 110); }

// The log line only: start-up says what a port that cannot be opened means (ServerApp).
void CPopListen::ReportFailure(unsigned error) {
    WriteLogLine(error == platform::kWsaEAddrInUse ? Format("Failed to initialise Pop, Pop service already running, Error Code =%u", error)
                                                   : Format("Failed to initialise Pop, Error Code =%u", error));
}

std::string CPopListen::RefusalReply(CConnectionCounts::Refusal why) {
    return std::string("-ERR [SYS/TEMP] ") +
           (why == CConnectionCounts::Refusal::AddressFull ? "Too many connections from your address"
                                                          : "Too many connections") +
           ", try again later\r\n";
}

unsigned CSMTPSListen::ReadPort() { return ReadPortValue("SmtpsPort", 465); }

void CSMTPSListen::ReportFailure(unsigned error) {
    WriteLogLine(Format("Failed to initialise the SMTPS service (AdvCon\\SmtpsPort), Error Code =%u", error));
}

unsigned CPopSListen::ReadPort() { return ReadPortValue("Pop3sPort", 995); }

void CPopSListen::ReportFailure(unsigned error) {
    WriteLogLine(Format("Failed to initialise the POP3S service (AdvCon\\Pop3sPort), Error Code =%u", error));
}

unsigned CImapListen::ReadPort() { return ReadPortValue("imapport", 143); }

void CImapListen::ReportFailure(unsigned error) {
    WriteLogLine(Format("Failed to initialise the IMAP service (AdvCon\\imapport), Error Code =%u%s", error,
                        error == platform::kWsaEAddrInUse ? ": the port is in use by another program" : ""));
}

std::string CImapListen::RefusalReply(CConnectionCounts::Refusal why) {
    return std::string("* BYE [UNAVAILABLE] ") +
           (why == CConnectionCounts::Refusal::AddressFull ? "Too many connections from your address"
                                                          : "Too many connections") +
           ", try again later\r\n";
}

unsigned CImapSListen::ReadPort() { return ReadPortValue("ImapsPort", 993); }

void CImapSListen::ReportFailure(unsigned error) {
    WriteLogLine(Format("Failed to initialise the IMAPS service (AdvCon\\ImapsPort), Error Code =%u", error));
}

unsigned CFingerListen::ReadPort() { return ReadPortValue("fingerport", 79); }

void CFingerListen::ReportFailure(unsigned error) {
    WriteLogLine(error == platform::kWsaEAddrInUse
                     ? Format("Failed to initialise Finger, Finger service already running, Error Code =%u", error)
                     : Format("Failed to initialise Finger, Error Code =%u", error));
}

std::string CFingerListen::RefusalReply(CConnectionCounts::Refusal) {
    return "Too many connections, try again later.\r\n";
}

void CFingerListen::PrepareConversation(const ThreadHandle& conversation) {
    conversation.PostThreadMessage(kWmSetTimeout, kFingerFirstTimeout);
}

// --- start-up and shutdown ---------------------------------------------------------------

CServiceListeners::CServiceListeners(ListenerFactories factories, std::string bindAddress)
    : factories_(std::move(factories)), bindAddress_(std::move(bindAddress)) {}

ThreadHandle CServiceListeners::StartOne(CListenThread* listener, const char* service) {
    std::shared_ptr<ListenOutcome> outcome = listener->Outcome();
    ThreadHandle thread = listener->CreateThread(ThreadPriority::Normal, 0);
    if (thread.Valid()) outcomes_.push_back(std::move(outcome));
    if (!thread.Valid()) {
        const int err = errno;
        delete listener;
        WriteLogLine(std::string("Could not start the ") + service + " listener thread (" + std::strerror(err) +
                     "); the " + service + " service is unavailable until Postvane is restarted.");
    }
    return thread;
}

template <class Listener>
ThreadHandle CServiceListeners::StartService(const ConversationFactory& factory, const char* service,
                                             const std::shared_ptr<CTlsContext>& tls) {
    auto counts = std::make_shared<CConnectionCounts>();
    ThreadHandle first;
    const std::vector<std::string> everywhere {std::string()};
    for (const std::string& address : addresses_.empty() ? everywhere : addresses_) {
        auto* listener = new Listener(factory, address);
        listener->ShareCounts(counts);
        if (tls) listener->SetConversationTls(tls);
        ThreadHandle thread = StartOne(listener, service);
        if (!first.Valid()) {
            first = thread;
        } else if (thread.Valid()) {
            more_.push_back(thread);
        }
    }
    return first;
}

int CServiceListeners::Start() {
    std::string bad;
    if (!ParseAddressList(bindAddress_, addresses_, bad)) {
        for (char& c : bad) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';  // the log stays one line
        }
        WriteLogLine("AdvCon\\BindAddress holds \"" + bad +
                     "\", which is not an IPv4 or IPv6 address; the SMTP, POP3 and finger services are not started. "
                     "Correct the list (addresses separated by commas, e.g. \"192.168.1.5, fd00::5\") and restart Postvane.");
        return 0;
    }
    const platform::DescriptorLimit fds = platform::RaiseDescriptorLimit();
    if (fds.error != 0) {
        WriteLogLine("Could not raise the open-file limit from " + std::to_string(fds.before) + " to " +
                     std::to_string(fds.hard) + " (" + std::strerror(fds.error) +
                     "); each conversation needs a few descriptors. Raise the hard limit (ulimit -Hn, or "
                     "LimitNOFILE= in the service unit).");
    }
    // The certificate is read once per start; a bad one is logged and the services run plain.
    if (factories_.smtp || factories_.pop || factories_.imap) LoadLanTls();
    if (factories_.finger) finger_ = StartService<CFingerListen>(factories_.finger, "finger", nullptr);
    if (factories_.pop) pop_ = StartService<CPopListen>(factories_.pop, "POP3", nullptr);
    if (factories_.smtp) smtp_ = StartService<CSMTPListen>(factories_.smtp, "SMTP", nullptr);
    if (factories_.imap) imap_ = StartService<CImapListen>(factories_.imap, "IMAP", nullptr);
    // The implicit-TLS ports only with a port set and a certificate that loaded.
    if (std::shared_ptr<CTlsContext> tls = LanTlsContext()) {
        CRegistryKey adv("AdvCon", false);
        uint32_t port = 0;
        if (factories_.smtp && adv.ReadInt("SmtpsPort", port) && port != 0) {
            smtps_ = StartService<CSMTPSListen>(factories_.smtp, "SMTPS", tls);
        }
        port = 0;
        if (factories_.pop && adv.ReadInt("Pop3sPort", port) && port != 0) {
            pops_ = StartService<CPopSListen>(factories_.pop, "POP3S", tls);
        }
        port = 0;
        if (factories_.imap && adv.ReadInt("ImapsPort", port) && port != 0) {
            imaps_ = StartService<CImapSListen>(factories_.imap, "IMAPS", tls);
        }
    }
    for (const auto& outcome : outcomes_) {
        bool failed = false;
        ListenFailure failure;
        if (outcome->Wait(kStartWaitMs, failed, failure) && failed) failures_.push_back(std::move(failure));
    }
    return int(finger_.Valid()) + int(pop_.Valid()) + int(smtp_.Valid());
}

bool CServiceListeners::Stop(int waitMs) {
    bool allEnded = true;
    std::vector<const ThreadHandle*> threads {&finger_, &pop_, &smtp_, &pops_, &smtps_, &imap_, &imaps_};
    for (const ThreadHandle& more : more_) threads.push_back(&more);
    for (const ThreadHandle* thread : threads) {
        if (!thread->Valid() || thread->Ended()) continue;
        thread->PostQuit();
        allEnded = thread->Wait(waitMs) && allEnded;
    }
    return allEnded;
}

}  // namespace pv::net
