#include "net/Listeners.h"

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
#include "net/LanTls.h"
#include "net/RelayNets.h"
#include "platform/Limits.h"
#include "platform/MessageBox.h"
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
    limits.perService = ReadLimit("MaxConnections", ConnectionLimits::kDefaultPerService, 100000, service);
    limits.perAddress = ReadLimit("MaxPerAddress", ConnectionLimits::kDefaultPerAddress, 100000, service);
    limits.sessionSeconds = ReadLimit("SessionLimit", ConnectionLimits::kDefaultSessionSeconds, 7 * 24 * 3600, service);
    return limits;
}

// --- conversation counts -----------------------------------------------------------------

namespace {

// A conversation's place in the counts, given back when the conversation is destroyed.
struct Slot {
    std::shared_ptr<CConnectionCounts> counts;
    std::string address;
    Slot(std::shared_ptr<CConnectionCounts> c, std::string a) : counts(std::move(c)), address(std::move(a)) {}
    ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
};

}  // namespace

std::shared_ptr<void> CConnectionCounts::Take(const std::string& address, const ConnectionLimits& limits,
                                              const std::function<bool()>& exempt, Refusal& why) {
    {
        std::lock_guard lock(mutex_);
        why = Refusal::None;
        if (total_ >= limits.perService) {
            why = Refusal::ServiceFull;
            return nullptr;
        }
        auto found = byAddress_.find(address);
        if (found != byAddress_.end() && found->second >= limits.perAddress && !(exempt && exempt())) {
            why = Refusal::AddressFull;
            return nullptr;
        }
        ++total_;
        ++byAddress_[address];
    }
    return std::make_shared<Slot>(shared_from_this(), address);
}

Slot::~Slot() { counts->ReleaseSlot(address); }

void CConnectionCounts::ReleaseSlot(const std::string& address) {
    std::lock_guard lock(mutex_);
    --total_;
    auto found = byAddress_.find(address);
    if (found != byAddress_.end() && --found->second == 0) byAddress_.erase(found);
}

size_t CConnectionCounts::Total() const {
    std::lock_guard lock(mutex_);
    return total_;
}

size_t CConnectionCounts::From(const std::string& address) const {
    std::lock_guard lock(mutex_);
    auto found = byAddress_.find(address);
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

bool CListenThread::OnStart() {
    const unsigned port = ReadPort();
    limits_ = ReadConnectionLimits(ServiceName());
    SetCurrentThreadPriority(ThreadPriority::TimeCritical);
    const char* address = bindAddress_.empty() ? nullptr : bindAddress_.c_str();
    if (Create(port, SOCK_STREAM, kFdAllEvents, address) && Listen(kListenBacklog) && AsyncSelect(kFdAllEvents)) {
        return true;
    }
    ReportFailure(static_cast<unsigned>(LastError()));
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
    // The office's own machines are not held to the per-address cap.
    std::shared_ptr<void> slot = counts_->Take(address, limits_, [&] { return AddressInNets(address, RelayNets()); }, why);
    if (!slot) {
        Refuse(fd, address, why);
        return;
    }
    CSocketThread* conversation = factory_ ? factory_() : nullptr;
    if (!conversation) {
        ::close(fd);
        Report(std::string("A new ") + ServiceName() + " connection was closed unserved: no conversation is available for it.");
        return;
    }
    if (conversationTls_) conversation->SetImplicitTls(conversationTls_);
    conversation->HoldSlot(std::move(slot));
    const std::string service = ServiceName();
    CountMetric(service.rfind("SMTP", 0) == 0   ? Metric::ConnectionsSmtp
                : service.rfind("POP3", 0) == 0 ? Metric::ConnectionsPop
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
    PrepareConversation(thread);
    if (!HandOver(thread, fd)) thread.PostQuit();
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

void CPopListen::ReportFailure(unsigned error) {
    const std::string text = error == platform::kWsaEAddrInUse
                                 ? Format("Pop to initialise Finger\nPop service already running.\nError Code =%u", error)
                                 : Format("Failed to initialise Pop\nError Code =%u", error);
    platform::MessageBox(text, "Pop Error", platform::kMbOk);
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

unsigned CFingerListen::ReadPort() { return ReadPortValue("fingerport", 79); }

void CFingerListen::ReportFailure(unsigned error) {
    const std::string text =
        error == platform::kWsaEAddrInUse
            ? Format("Failed to initialise Finger\nFinger service already running.\nError Code =%u", error)
            : Format("Failed to initialise Finger\nError Code =%u", error);
    platform::MessageBox(text, "Finger Error", platform::kMbOk);
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
    ThreadHandle thread = listener->CreateThread(ThreadPriority::Normal, 0);
    if (!thread.Valid()) {
        const int err = errno;
        delete listener;
        WriteLogLine(std::string("Could not start the ") + service + " listener thread (" + std::strerror(err) +
                     "); the " + service + " service is unavailable until Postvane is restarted.");
    }
    return thread;
}

int CServiceListeners::Start() {
    const platform::DescriptorLimit fds = platform::RaiseDescriptorLimit();
    if (fds.error != 0) {
        WriteLogLine("Could not raise the open-file limit from " + std::to_string(fds.before) + " to " +
                     std::to_string(fds.hard) + " (" + std::strerror(fds.error) +
                     "); each conversation needs a few descriptors. Raise the hard limit (ulimit -Hn, or "
                     "LimitNOFILE= in the service unit).");
    }
    // The certificate is read once per start; a bad one is logged and the services run plain.
    if (factories_.smtp || factories_.pop) LoadLanTls();
    if (factories_.finger) finger_ = StartOne(new CFingerListen(factories_.finger, bindAddress_), "finger");
    if (factories_.pop) pop_ = StartOne(new CPopListen(factories_.pop, bindAddress_), "POP3");
    if (factories_.smtp) smtp_ = StartOne(new CSMTPListen(factories_.smtp, bindAddress_), "SMTP");
    // The implicit-TLS ports only with a port set and a certificate that loaded.
    if (std::shared_ptr<CTlsContext> tls = LanTlsContext()) {
        CRegistryKey adv("AdvCon", false);
        uint32_t port = 0;
        if (factories_.smtp && adv.ReadInt("SmtpsPort", port) && port != 0) {
            auto* listener = new CSMTPSListen(factories_.smtp, bindAddress_);
            listener->SetConversationTls(tls);
            smtps_ = StartOne(listener, "SMTPS");
        }
        port = 0;
        if (factories_.pop && adv.ReadInt("Pop3sPort", port) && port != 0) {
            auto* listener = new CPopSListen(factories_.pop, bindAddress_);
            listener->SetConversationTls(tls);
            pops_ = StartOne(listener, "POP3S");
        }
    }
    return int(finger_.Valid()) + int(pop_.Valid()) + int(smtp_.Valid());
}

bool CServiceListeners::Stop(int waitMs) {
    bool allEnded = true;
    for (const ThreadHandle* thread : {&finger_, &pop_, &smtp_, &pops_, &smtps_}) {
        if (!thread->Valid() || thread->Ended()) continue;
        thread->PostQuit();
        allEnded = thread->Wait(waitMs) && allEnded;
    }
    return allEnded;
}

}  // namespace pv::net
