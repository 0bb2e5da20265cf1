#include "pop3/SmartPop.h"

#include "net/Address.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include "core/AppEvents.h"
#include "core/Fingerprint.h"
#include "core/Folders.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "net/Listeners.h"
#include "net/Tls.h"
#include "platform/SocketErrors.h"

namespace pv {

namespace {

// Every text the collector writes, to the main log or to the transcript.
struct Texts {
    static constexpr const char* kInvalidMailbox = "Invalid SmartPop mailbox ";
    static constexpr const char* kInitFailed = "Failed to initialise Smartpop, %s,Error Code =%u,";
    static constexpr const char* kConnecting = "Connecting SmartPop to ";
    static constexpr const char* kNoTranscript = "Unable to open SmartPop logfile ";
    static constexpr const char* kConnected = "SmartPop Connected";
    static constexpr const char* kNoDestination = "Unable to open destination for smartpop file :";
    static constexpr const char* kClosing = "SmartPop Closing";
    static constexpr const char* kClosedAfter = "SmartPop connection to %s closed after %d messages";
    static constexpr const char* kLost = "SmartPop connection lost talking to ";
    static constexpr const char* kTimeout = "SmartPop timeout talking to %s[%s] on port %d";
    static constexpr const char* kTranscriptClosed = "Smartpop closed";
    static constexpr const char* kBodyShown = ">.";
    static constexpr const char* kPasswordShown = "PASS ********";
    // Our own additions: said where they happen, with what to do.
    static constexpr const char* kBusy =
        "SmartPop: %s is still being collected by an earlier run; it is not collected twice at once";
    static constexpr const char* kNoSpool =
        "SmartPop: no spool root (Maildrop) is configured, so nothing can be collected. Run postvane-wizard.";
    static constexpr const char* kNoThread = "SmartPop could not start a collector for %s; it waits for the next run";
    static constexpr const char* kNotStored =
        "SmartPop could not store message %d of %s (%s); it stays on the provider. Check that the inbox folder "
        "is writable and the disk has room.";
    static constexpr const char* kLineTooLong =
        "SmartPop: %s sent a line longer than %zu bytes in message %d; the run ends and the message stays on the "
        "provider. Fetch it with a mail client.";
    static constexpr const char* kRecognised =
        "SmartPop: message %d of %s was stored by an earlier run (UID %s); it is deleted without fetching it again";
    static constexpr const char* kBadSecurity =
        "SmartPop: %s has security \"%s\"; set it to none, stls or tls (postvane-admin smartpop security). The "
        "account is not collected.";
    static constexpr const char* kBadFingerprint =
        "SmartPop: the fingerprint of %s is not a SHA-256 fingerprint (64 hex digits); set it again with "
        "postvane-admin smartpop fingerprint. The account is not collected.";
    static constexpr const char* kNoTlsContext = "SmartPop cannot use TLS for %s: %s. The account is not collected.";
    static constexpr const char* kStlsRefused =
        "SmartPop: %s refused STLS (\"%s\") for %s; nothing is collected. Check the account's security "
        "(postvane-admin smartpop security: tls for a provider that speaks TLS from the first byte, port 995).";
    static constexpr const char* kTlsFailed =
        "SmartPop: TLS with %s for %s failed: %s; nothing is collected. The provider's certificate must be "
        "trusted by this system and name the host; for a self-signed one pin it (postvane-admin smartpop "
        "fingerprint).";
    static constexpr const char* kTlsFailedPinned =
        "SmartPop: TLS with %s for %s failed: %s; nothing is collected. Check the account's pinned fingerprint "
        "(postvane-admin smartpop fingerprint): it must be the SHA-256 fingerprint of the provider's "
        "certificate.";
    static constexpr const char* kNoTlsStart = "SmartPop could not start TLS with %s for %s; it waits for the next run";
    static constexpr const char* kNoRecord =
        "SmartPop could not write its UID record %s (%s); a message whose DELE is lost may be collected twice";
};

std::mutex g_mutex;
int g_count = 0;
std::set<std::string> g_claimed;  // lower case: account names compare as the hive compares keys
std::vector<net::ThreadHandle> g_handles;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Provider and account text in a log line: control characters would garble the console.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

template <class... Args>
std::string Format(const char* format, Args... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::snprintf(out.data(), out.size() + 1, format, args...);
    return out;
}

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    return text;
}

bool IsUid(std::string_view uid) {
    if (uid.empty() || uid.size() > CSmartPop::kMaxUidLength) return false;
    return std::all_of(uid.begin(), uid.end(), [](char c) { return c >= 0x21 && c <= 0x7e; });
}

}  // namespace

PopSecurity ParsePopSecurity(std::string_view text) {
    const std::string lower = Lower(std::string(text));
    if (lower.empty() || lower == "none") return PopSecurity::None;
    if (lower == "stls") return PopSecurity::Stls;
    if (lower == "tls") return PopSecurity::Tls;
    return PopSecurity::Invalid;
}

const char* PopSecurityName(PopSecurity security) {
    switch (security) {
        case PopSecurity::None: return "none";
        case PopSecurity::Stls: return "stls";
        case PopSecurity::Tls: return "tls";
        case PopSecurity::Invalid: break;
    }
    return "invalid";
}

bool IsValidSmartPopAccount(std::string_view account) {
    const size_t at = account.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == account.size()) return false;
    // The provider: a name, an IPv4 address or an IPv6 one ("user@[2001:db8::1]").
    if (net::CanonicalHost(account.substr(at + 1)).empty()) return false;
    return IsSafeMailboxName(std::string(account));
}

int SmartPopCount() {
    std::lock_guard lock(g_mutex);
    return g_count;
}

int StartSmartPop() {
    // The request is taken here: this run answers it.
    Events().Reset(NamedEvent::PollSmartPop);
    std::vector<std::string> accounts;
    CRegistryKey("SmartPop", false).ListSubkeys(accounts);
    int started = 0;
    for (const std::string& account : accounts) {
        auto* collector = new CSmartPop(account);
        if (!collector->Claimed()) {
            delete collector;
            WriteLogLine(Format(Texts::kBusy, Printable(account).c_str()));
            continue;
        }
        net::ThreadHandle handle = collector->CreateThread(net::ThreadPriority::Normal, net::kConversationStackSize);
        if (!handle.Valid()) {
            delete collector;
            WriteLogLine(Format(Texts::kNoThread, Printable(account).c_str()));
            continue;
        }
        std::lock_guard lock(g_mutex);
        g_handles.erase(std::remove_if(g_handles.begin(), g_handles.end(), [](const auto& h) { return h.Ended(); }),
                        g_handles.end());
        g_handles.push_back(handle);
        ++started;
    }
    return started;
}

bool EndSmartPop(int waitMs) {
    std::vector<net::ThreadHandle> handles;
    {
        std::lock_guard lock(g_mutex);
        handles = g_handles;
    }
    for (const auto& h : handles) h.PostQuit();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (const auto& h : handles) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!h.Wait(static_cast<int>(std::max<int64_t>(0, left.count())))) return false;
    }
    return SmartPopCount() == 0;
}

// --- the conversation ------------------------------------------------------------------------

const char* CSmartPop::StateName(State state) {
    switch (state) {
        case State::AwaitGreeting: return "waiting for the greeting";
        case State::UserSent: return "USER sent";
        case State::PassSent: return "PASS sent";
        case State::RetrSent: return "RETR sent";
        case State::Receiving: return "receiving a message";
        case State::DeleSent: return "DELE sent";
        case State::QuitSent: return "QUIT sent";
        case State::UidlSent: return "UIDL sent";
        case State::UidlListing: return "receiving the UIDL listing";
        case State::StlsSent: return "STLS sent";
        case State::StartingTls: return "starting TLS";
    }
    return "?";
}

// Which handler takes a line in which state. Lines in the other states are replies, and a reply
// that does not start with "+" ends the run (see OnLine).
const CSmartPop::Command CSmartPop::kCommands[] = {
    {State::AwaitGreeting, &CSmartPop::OnGreeting},
    {State::StlsSent, &CSmartPop::OnStlsReply},
    {State::UserSent, &CSmartPop::OnUserReply},
    {State::PassSent, &CSmartPop::OnPassReply},
    {State::UidlSent, &CSmartPop::OnUidlReply},
    {State::UidlListing, &CSmartPop::OnUidlLine},
    {State::RetrSent, &CSmartPop::OnRetrReply},
    {State::Receiving, &CSmartPop::OnMessageLine},
    {State::DeleSent, &CSmartPop::OnDeleReply},
    {State::QuitSent, &CSmartPop::OnQuitReply},
};

CSmartPop::CSmartPop(std::string account) : account_(std::move(account)) {
    std::lock_guard lock(g_mutex);
    claimed_ = g_claimed.insert(Lower(account_)).second;
    if (!claimed_) return;
    counted_ = true;
    ++g_count;
    Events().Signal(NamedEvent::SmartPop);
    uint32_t logAll = 0;
    CRegistryKey("", false).ReadInt("LogAll", logAll);
    transcriptOn_ = logAll != 0;
}

CSmartPop::~CSmartPop() {
    DiscardMessage();
    if (transcript_.IsOpen()) {
        Transcript(Texts::kTranscriptClosed);
        transcript_.Close();
    }
    if (!counted_) return;
    std::lock_guard lock(g_mutex);
    g_claimed.erase(Lower(account_));
    if (--g_count == 0) Events().Reset(NamedEvent::SmartPop);
}

bool CSmartPop::OnStart() {
    SetLineOptions({true, kMaxLineBytes});  // line ends kept: a CR inside a line is message text
    SetTimeout(ReadTimeoutSeconds("SmartPoptimeout", kDefaultTimeout));
    if (!IsValidSmartPopAccount(account_)) {
        WriteLogLine(Texts::kInvalidMailbox + Printable(account_));
        return false;
    }
    const std::string root = SpoolRoot();
    if (root.empty()) {
        WriteLogLine(Texts::kNoSpool);
        return false;
    }
    const size_t at = account_.find('@');
    user_ = account_.substr(0, at);
    host_ = net::CanonicalHost(account_.substr(at + 1));  // valid: the account was checked
    CRegistryKey key("SmartPop\\" + account_, false);
    key.ReadString("for", recipient_);
    key.ReadString("pwd", password_);
    hasRecipient_ = !recipient_.empty();
    std::string security, fingerprint;
    key.ReadString("security", security);
    security_ = ParsePopSecurity(security);
    if (security_ == PopSecurity::Invalid) {
        WriteLogLine(Format(Texts::kBadSecurity, Printable(account_).c_str(), Printable(security).c_str()));
        return false;
    }
    if (key.ReadString("fingerprint", fingerprint) && !fingerprint.empty()) {
        fingerprint_ = ParseFingerprint(fingerprint);
        if (fingerprint_.empty()) {
            WriteLogLine(Format(Texts::kBadFingerprint, Printable(account_).c_str()));
            return false;
        }
    }
    if (security_ != PopSecurity::None) {
        std::string error;
        tls_ = net::MakeClientTlsContext(error);
        if (!tls_) {
            WriteLogLine(Format(Texts::kNoTlsContext, Printable(account_).c_str(), error.c_str()));
            return false;
        }
    }
    const uint32_t defaultPort = security_ == PopSecurity::Tls ? kDefaultTlsPort : kDefaultPort;
    uint32_t port = defaultPort;
    key.ReadInt("port", port);
    port_ = port >= 1 && port <= 65535 ? port : defaultPort;
    inboxFolder_ = QueueDirectory(kInboxDir);
    ::mkdir(inboxFolder_.c_str(), 0700);  // a failure shows when the first message is stored

    if (Create(0, SOCK_STREAM, net::kFdAllEvents, nullptr) && AsyncSelect(net::kFdAllEvents) &&
        (Connect(host_, port_) || LastError() == platform::kWsaEWouldBlock)) {
        state_ = State::AwaitGreeting;
    } else {
        const int err = LastError();
        WriteLogLine(Format(Texts::kInitFailed, SocketErrorText(err), static_cast<unsigned>(err)));
        // Without a socket the next one-second check ends the collector.
        Close(false);
    }
    WriteLogLine(Texts::kConnecting + account_);
    closed_ = false;

    if (transcriptOn_) {
        const std::string path = JoinPath(root, account_ + ".log");
        if (!transcript_.Open(path)) {
            WriteLogLine(Texts::kNoTranscript + path);
            transcriptOn_ = false;
        } else {
            Transcript(Texts::kConnected);
        }
    }
    return true;
}

void CSmartPop::OnConnect() {
    const int err = LastError();
    if (err == 0) {
        Transcript(Texts::kConnected);
        GetSockName(localAddress_, localPort_);
        if (security_ == PopSecurity::Tls) BeginTls();  // the greeting comes through TLS
        return;
    }
    WriteLogLine(Format(Texts::kInitFailed, SocketErrorText(err), static_cast<unsigned>(err)));
    Close(true);
}

// Messages come by the hundred kilobytes: they are taken in large reads, still line by line.
void CSmartPop::OnReceive() { ReceiveLines(kReceiveBytes); }

void CSmartPop::OnLine(std::string& line) {
    // The line without its LF and the CR before it; a CR elsewhere stays.
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (state_ == State::Receiving) {
        Transcript(Texts::kBodyShown);
    } else {
        Transcript(">" + line);
    }
    const bool reply = state_ != State::Receiving && state_ != State::UidlListing && state_ != State::UidlSent &&
                       state_ != State::QuitSent && state_ != State::StlsSent && state_ != State::StartingTls;
    if (reply) {
        const std::string_view t = TrimLeft(line);
        if (t.empty() || t.front() != '+') {
            ErrorEnd();
            return;
        }
    }
    for (const Command& c : kCommands) {
        if (c.state == state_) {
            (this->*c.handler)(line);
            return;
        }
    }
}

void CSmartPop::OnLineTooLong() {
    WriteLogLine(Format(Texts::kLineTooLong, Printable(account_).c_str(), kMaxLineBytes, int(current_)));
    DiscardMessage();
    // The rest of that message is still coming, so no reply to QUIT could be told from it: the
    // run ends now. Messages marked for deletion stay too; their UIDs are recorded.
    state_ = State::QuitSent;
    SendCommand("QUIT");
    Finish();
}

void CSmartPop::OnGreeting(const std::string&) {
    if (security_ == PopSecurity::Stls && !tlsUp_) {
        SendCommand("STLS");
        state_ = State::StlsSent;
        return;
    }
    SendCommand("USER " + user_);
    state_ = State::UserSent;
}

void CSmartPop::OnStlsReply(const std::string& line) {
    const std::string_view t = TrimLeft(line);
    if (t.empty() || t.front() != '+') {
        WriteLogLine(Format(Texts::kStlsRefused, Printable(host_).c_str(), Printable(line).c_str(),
                            Printable(account_).c_str()));
        ErrorEnd();
        return;
    }
    // Lines that came in clear behind this answer are dropped with the switch to TLS: they could
    // have been put there on the way.
    BeginTls();
}

void CSmartPop::BeginTls() {
    net::TlsClientOptions options;
    options.host = host_;
    options.pinnedSha256 = fingerprint_;
    state_ = State::StartingTls;
    if (!StartTlsClient(tls_, options)) {
        EndWithoutTls(Format(Texts::kNoTlsStart, Printable(host_).c_str(), Printable(account_).c_str()));
    }
}

void CSmartPop::OnTlsReady(bool ok, const std::string& reason) {
    if (state_ != State::StartingTls) return;  // the run has already ended
    if (!ok) {
        EndWithoutTls(Format(fingerprint_.empty() ? Texts::kTlsFailed : Texts::kTlsFailedPinned,
                             Printable(host_).c_str(), Printable(account_).c_str(), Printable(reason).c_str()));
        return;
    }
    const bool greeted = security_ == PopSecurity::Stls;
    tlsUp_ = true;
    if (!greeted) {
        state_ = State::AwaitGreeting;
        return;
    }
    SendCommand("USER " + user_);
    state_ = State::UserSent;
}

void CSmartPop::EndWithoutTls(const std::string& logLine) {
    WriteLogLine(logLine);
    Transcript(Texts::kTranscriptClosed);
    CloseTranscript();
    state_ = State::QuitSent;
    closed_ = true;
    Close(true);
}

void CSmartPop::OnUserReply(const std::string&) {
    SendCommand("PASS " + password_, Texts::kPasswordShown);
    state_ = State::PassSent;
}

void CSmartPop::OnPassReply(const std::string&) {
    limit_ = kMessageLimit;
    current_ = 1;
    SendCommand("UIDL");
    state_ = State::UidlSent;
}

void CSmartPop::OnUidlReply(const std::string& line) {
    const std::string_view t = TrimLeft(line);
    if (!t.empty() && t.front() == '+') {
        LoadRecord();
        uids_.assign(size_t(limit_) + 1, std::string());
        stillListed_.clear();
        state_ = State::UidlListing;
        return;
    }
    // A provider without UIDL: messages are fetched by number alone.
    uids_.clear();
    FetchCurrent();
}

void CSmartPop::OnUidlLine(const std::string& line) {
    if (line == ".") {
        // Recorded UIDs the provider no longer lists are gone for good: they leave the record.
        if (stillListed_.size() != record_.size()) {
            record_.swap(stillListed_);
            SaveRecord();
        }
        stillListed_.clear();
        FetchCurrent();
        return;
    }
    // "n uid"; anything else is not ours to judge.
    std::string_view rest = TrimLeft(line);
    size_t digits = 0;
    unsigned long number = 0;
    while (digits < rest.size() && digits < 9 && std::isdigit(static_cast<unsigned char>(rest[digits]))) {
        number = number * 10 + static_cast<unsigned long>(rest[digits] - '0');
        ++digits;
    }
    if (digits == 0) return;
    rest = TrimLeft(rest.substr(digits));
    const std::string_view uid = rest.substr(0, rest.find_first_of(" \t"));
    if (!IsUid(uid)) return;
    const std::string id(uid);
    if (number >= 1 && number <= limit_) uids_[number] = id;
    if (record_.count(id)) stillListed_.insert(id);
}

void CSmartPop::FetchCurrent() {
    const std::string uid = current_ < uids_.size() ? uids_[current_] : std::string();
    recognised_ = !uid.empty() && record_.count(uid) != 0;
    if (recognised_) {
        WriteLogLine(Format(Texts::kRecognised, int(current_), Printable(account_).c_str(), uid.c_str()));
        SendCommand("DELE " + std::to_string(current_));
        state_ = State::DeleSent;
        return;
    }
    state_ = State::RetrSent;
    SendCommand("RETR " + std::to_string(current_));
}

void CSmartPop::OnRetrReply(const std::string&) {
    // The status line itself is not part of the message.
    state_ = State::Receiving;
}

void CSmartPop::OnMessageLine(const std::string& line) {
    const bool text = line.rfind("..", 0) == 0 || line.empty() || line.front() != '.';
    if (text) {
        // The provider doubled a leading "." (dot-stuffing); the message itself has one. Kept
        // doubled, every such line would reach the user one dot longer than it was written.
        StoreLine(!line.empty() && line.front() == '.' ? line.substr(1) : line);
        return;
    }
    // The end of the message. One without any line is stored empty rather than lost.
    if (!message_.IsOpen() && !OpenMessage()) return;
    const std::string uid = current_ < uids_.size() ? uids_[current_] : std::string();
    if (!CommitMessage(uid)) {
        Quit();
        return;
    }
    if (!uid.empty()) {
        RecordUid(uid);
        std::remove((tmpBase_ + kUidSuffix).c_str());
    }
    // Only now, with the message durable under its final name, may the provider forget it.
    SendCommand("DELE " + std::to_string(current_));
    state_ = State::DeleSent;
    ++collected_;
}

bool CSmartPop::OpenMessage() {
    // A fresh queue name, created exclusively: no other writer's file is ever reused.
    tmpPath_ = InboundQueuePath() + ".tmp";
    if (message_.Open(tmpPath_, true)) return true;
    WriteLogLine(Texts::kNoDestination + tmpPath_);
    tmpPath_.clear();
    Quit();
    return false;
}

bool CSmartPop::StoreLine(const std::string& line) {
    if (!message_.IsOpen() && !OpenMessage()) return false;
    if (!message_.WriteLine(line)) {
        WriteLogLine(Format(Texts::kNotStored, int(current_), Printable(account_).c_str(),
                            std::strerror(message_.Errno())));
        DiscardMessage();
        Quit();
        return false;
    }
    return true;
}

bool CSmartPop::CommitMessage(const std::string& uid) {
    const std::string base = tmpPath_.substr(0, tmpPath_.size() - 4);
    tmpBase_ = base;
    const char* failed = nullptr;
    // The UID goes beside the message before the commit makes it visible: a kill between the
    // commit and the record leaves it for the next run to record (ReconcileUids), so the
    // message is not fetched and queued a second time. Start-up removes it with an unfinished
    // pair. Not flushed, like the record itself.
    if (!uid.empty() && !WriteTextFile(base + kUidSuffix, {account_, uid})) {
        WriteLogLine(Format(Texts::kNotStored, int(current_), Printable(account_).c_str(), "noting its UID"));
        std::remove((base + kUidSuffix).c_str());
        DiscardMessage();
        return false;
    }
    if (hasRecipient_) {
        // The text becomes .txt; its envelope is written beside it and both are flushed before
        // the envelope's rename to .wrk and the folder's flush make the pair visible.
        if (!message_.Close()) {
            failed = "writing the message";
        } else if (std::rename(tmpPath_.c_str(), (base + ".txt").c_str()) != 0) {
            failed = "naming the message";
        } else if (!WriteEnvelopeAndCommit(base, account_, {recipient_})) {
            failed = "committing the message and its envelope";
            std::remove((base + ".txt").c_str());
        }
    } else {
        // The collected file is flushed, renamed to .pop and the folder flushed.
        if (!message_.Sync() || !message_.Close()) {
            failed = "writing the message";
        } else if (std::rename(tmpPath_.c_str(), (base + ".pop").c_str()) != 0) {
            failed = "naming the message";
        } else if (!SyncDirectoryOf(base + ".pop")) {
            failed = "flushing the inbox folder";
            std::remove((base + ".pop").c_str());
        }
    }
    if (!failed) {
        tmpPath_.clear();
        return true;
    }
    WriteLogLine(Format(Texts::kNotStored, int(current_), Printable(account_).c_str(), failed));
    std::remove((base + kUidSuffix).c_str());
    DiscardMessage();
    return false;
}

void CSmartPop::DiscardMessage() {
    if (message_.IsOpen()) message_.Discard();
    if (!tmpPath_.empty()) std::remove(tmpPath_.c_str());
    tmpPath_.clear();
}

void CSmartPop::OnDeleReply(const std::string&) {
    if (current_ < limit_) {
        ++current_;
        FetchCurrent();
        return;
    }
    state_ = State::QuitSent;
    SendCommand("QUIT");
    WriteLogLine(Texts::kClosing);
}

void CSmartPop::OnQuitReply(const std::string&) { Finish(); }

void CSmartPop::SendCommand(const std::string& command, const std::string& shown) {
    Transcript("<" + shown);
    SendLine(command);
}

void CSmartPop::Quit() {
    state_ = State::QuitSent;
    SendCommand("QUIT");
    WriteLogLine(Texts::kClosing);
}

void CSmartPop::ErrorEnd() {
    // The provider deletes what DELE marked only when it has taken QUIT, so its reply is waited
    // for (the inactivity time-out bounds the wait) rather than the connection dropped at once.
    state_ = State::QuitSent;
    SendCommand("QUIT");
}

void CSmartPop::Finish() {
    if (closed_) return;
    Transcript(Texts::kTranscriptClosed);
    CloseTranscript();
    WriteLogLine(Format(Texts::kClosedAfter, Printable(account_).c_str(), int(collected_)));
    closed_ = true;
    Close(true);
}

void CSmartPop::OnClose() {
    if (state_ == State::QuitSent) {
        // The provider went away after our QUIT: the run is over all the same.
        Finish();
        return;
    }
    WriteLogLine(Texts::kLost + Printable(account_));
    // A message cut off here never reached its end: it stays on the provider, and its file goes.
    DiscardMessage();
    Close(false);
    closed_ = true;
}

void CSmartPop::OnTimeout() {
    WriteLogLine(Format(Texts::kTimeout, Printable(host_).c_str(), localAddress_.c_str(), int(localPort_)));
    DiscardMessage();
    Close(true);
}

void CSmartPop::Transcript(std::string_view text) {
    if (!transcriptOn_ || !transcript_.IsOpen()) return;
    // The clock is read once a second at most: body lines come by the thousand.
    static thread_local std::time_t shownSecond = 0;
    static thread_local char stamp[16] = {};
    const std::time_t now = std::time(nullptr);
    if (now != shownSecond) {
        std::tm tm{};
        localtime_r(&now, &tm);
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d:", tm.tm_hour, tm.tm_min, tm.tm_sec);
        shownSecond = now;
    }
    std::string line(stamp);
    line.append(text);
    transcript_.WriteLine(line);
}

void CSmartPop::CloseTranscript() {
    if (transcript_.IsOpen()) transcript_.Close();
}

// --- the UID record ----------------------------------------------------------------------------

std::string CSmartPop::RecordPath() const { return JoinPath(SpoolRoot(), account_ + ".uidl"); }

void CSmartPop::LoadRecord() {
    record_.clear();
    std::vector<std::string> lines;
    if (ReadTextFile(RecordPath(), lines)) {
        for (const auto& uid : lines) {
            if (record_.size() >= kMaxRecordedUids) break;
            if (IsUid(uid)) record_.insert(uid);
        }
    }
    ReconcileUids();
}

// UIDs a killed run noted beside messages it committed but never recorded. A message whose
// pair is still unfinished was never committed: its UID is dropped and it is fetched again.
void CSmartPop::ReconcileUids() {
    for (const auto& name : ListFolderNames(inboxFolder_, kUidSuffix)) {
        const std::string note = JoinPath(inboxFolder_, name);
        const std::string base = note.substr(0, note.size() - std::strlen(kUidSuffix));
        std::vector<std::string> lines;
        if (!ReadTextFile(note, lines) || lines.size() < 2 || lines[0] != account_) continue;
        const bool unfinished = !FileExists(base + ".wrk") && !FileExists(base + ".pop") &&
                                (FileExists(base + ".tmp") || FileExists(base + ".txt"));
        if (!unfinished && IsUid(lines[1])) RecordUid(lines[1]);
        std::remove(note.c_str());
    }
}

bool CSmartPop::SaveRecord() {
    const std::string path = RecordPath();
    const std::string fresh = path + ".new";
    std::vector<std::string> lines(record_.begin(), record_.end());
    if (!WriteTextFile(fresh, lines, true) || std::rename(fresh.c_str(), path.c_str()) != 0 ||
        !SyncDirectoryOf(path)) {
        WriteLogLine(Format(Texts::kNoRecord, path.c_str(), std::strerror(errno)));
        std::remove(fresh.c_str());
        return false;
    }
    return true;
}

bool CSmartPop::RecordUid(const std::string& uid) {
    if (record_.size() >= kMaxRecordedUids) return false;
    record_.insert(uid);
    const std::string path = RecordPath();
    TextFileWriter out;
    // Not flushed to the disk: the record guards against a killed run, whose written bytes the
    // kernel keeps. After a power loss it may lack the last UIDs, and those messages are
    // fetched once more; never is one lost. Its flush would cost as much as the message's own.
    const bool ok = out.Append(path) && out.WriteLine(uid) && out.Close();
    if (!ok) WriteLogLine(Format(Texts::kNoRecord, path.c_str(), std::strerror(out.Errno())));
    return ok;
}

}  // namespace pv
