#include "pop3/SmartPop.h"

#include "net/Address.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
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
#include "core/Metrics.h"
#include "core/ProtocolText.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "net/Listeners.h"
#include "net/Tls.h"
#include "platform/SocketErrors.h"
#include "smtp/FailureReport.h"
#include "smtp/SmtpServer.h"

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
    static constexpr const char* kEndedAfter = "SmartPop connection to %s ended after %d messages: %s";
    static constexpr const char* kLost = "SmartPop connection lost talking to ";
    static constexpr const char* kTimeout = "SmartPop timeout talking to %s[%s] on port %d";
    static constexpr const char* kTranscriptClosed = "Smartpop closed";
    static constexpr const char* kBodyShown = ">.";
    static constexpr const char* kPasswordShown = "PASS ********";
    // How a run ended, when it did not end with the provider's answer to QUIT (kEndedAfter).
    static constexpr const char* kHowNoConnect = "no connection to the provider could be made";
    static constexpr const char* kHowTls = "TLS could not be set up, so nothing was asked";
    static constexpr const char* kHowLost = "the provider closed the connection";
    static constexpr const char* kHowSilent = "the provider fell silent";
    static constexpr const char* kHowNoQuitReply =
        "the provider did not answer QUIT, so it may keep the messages marked for deletion (they are not "
        "fetched twice)";
    static constexpr const char* kHowLongReply = "the provider sent a reply line that is too long";
    static constexpr const char* kHowStopped = "the server is stopping";
    static constexpr const char* kHowEndless = "an over-size message did not end; later runs skip it";
    // Our own additions: said where they happen, with what to do.
    static constexpr const char* kBusy =
        "SmartPop: %s is still being collected by an earlier run; it is not collected twice at once";
    static constexpr const char* kNoSpool =
        "SmartPop: no spool root (Maildrop) is configured, so nothing can be collected. Run postvane-wizard.";
    static constexpr const char* kNoThread = "SmartPop could not start a collector for %s; it waits for the next run";
    static constexpr const char* kNotStored =
        "SmartPop could not store message %d of %s (%s); it stays on the provider. Check that the inbox folder "
        "is writable and the disk has room.";
    static constexpr const char* kOversize =
        "SmartPop: message %d of %s is over %u bytes (AdvCon\\SmartPopMaxMessageSize); it is not stored and "
        "stays on the provider, %s%s";
    static constexpr const char* kSkippedByUid = "skipped by later runs";
    static constexpr const char* kDroppedAgain = "read and dropped again by later runs (the provider gives it no UID)";
    static constexpr const char* kOversizeNoticed = ". The postmaster is told.";
    static constexpr const char* kOversizeKnown = "";
    static constexpr const char* kSkipped =
        "SmartPop: message %d of %s (UID %s) is over the size limit and stays on the provider; fetch it with a "
        "mail client, or raise AdvCon\\SmartPopMaxMessageSize";
    static constexpr const char* kNoNotice =
        "SmartPop could not write the notice about an over-size message of %s to the postmaster (%s)";
    static constexpr const char* kNoSkipRecord =
        "SmartPop could not write its record of over-size messages %s (%s); the postmaster may be told twice";
    static constexpr const char* kLineTooLong =
        "SmartPop: %s sent a reply line longer than %zu bytes after message %d; the run ends.";
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
    static constexpr const char* kLineBreak =
        "SmartPop: the %s command for %s holds a line break, so it is not sent and the run ends. Set the "
        "account's values again (postvane-admin smartpop password; the account name itself for USER).";
    static constexpr const char* kOAuthWithoutTls =
        "SmartPop: %s logs in with OAuth2, which is sent only over TLS; set its security to stls or tls "
        "(postvane-admin smartpop security). The account is not collected.";
    static constexpr const char* kBadAuth =
        "SmartPop: %s has auth \"%s\"; set it to password or oauth2 (postvane-admin smartpop oauth setup). The "
        "account is not collected.";
    static constexpr const char* kOAuthRefused =
        "SmartPop: %s refused the OAuth2 login (%s) of %s: %s; nothing is collected. Check the account's sign-in "
        "(postvane-admin smartpop oauth status) and that the mailbox may be read by POP with OAuth2.";
    static constexpr const char* kAuthShown = "********";
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

// A header value quoted in the postmaster's notice: one line of printable ASCII, bounded, so the
// notice needs no MIME and nothing from the provider reaches a header or the log as it came.
std::string NoticeText(std::string_view value) {
    value = TrimLeft(value);
    std::string out(value.substr(0, CSmartPop::kMaxNoticeField));
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7f) c = '?';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

// The date as mail wants it (RFC 5322), in local time.
std::string MailDate(std::time_t now) {
    std::tm tm{};
    localtime_r(&now, &tm);
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long offset = tm.tm_gmtoff / 60;
    return Format("%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[tm.tm_wday], tm.tm_mday, kMonths[tm.tm_mon],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60,
                  std::labs(offset) % 60);
}

// FNV-1a: a stable name for a message the provider gives no trusted UID, from its headers.
std::string HeaderKey(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return Format("~%016llx", static_cast<unsigned long long>(hash));
}

bool IsUid(std::string_view uid) {
    if (uid.empty() || uid.size() > CSmartPop::kMaxUidLength) return false;
    return std::all_of(uid.begin(), uid.end(), [](char c) { return c >= 0x21 && c <= 0x7e; });
}

}  // namespace

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
        case State::AuthSent: return "AUTH sent";
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
    {State::AuthSent, &CSmartPop::OnAuthReply},
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
    LogEnd(Texts::kHowStopped);  // every other end has said so already
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
    // Line ends kept: a CR inside a line is message text; long lines come in pieces.
    SetLineOptions({true, kMaxLineBytes, true});
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
    if (!PrepareOAuth(key)) return false;
    const uint32_t defaultPort = security_ == PopSecurity::Tls ? kDefaultTlsPort : kDefaultPort;
    uint32_t port = defaultPort;
    key.ReadInt("port", port);
    port_ = port >= 1 && port <= 65535 ? port : defaultPort;
    maxSize_ = ReadMaxCollectedSize();
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
        connectFailed_ = true;
    }
    WriteLogLine(Texts::kConnecting + account_);
    closed_ = false;
    running_ = true;

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
    LogEnd(Texts::kHowNoConnect);
    Close(true);
}

// Messages come by the hundred kilobytes: they are taken in large reads, still line by line.
void CSmartPop::OnReceive() { ReceiveLines(kReceiveBytes); }

void CSmartPop::OnLine(std::string& line) {
    // A piece of a long line comes without the LF; the last piece, like a whole line, with it.
    lineEnds_ = !line.empty() && line.back() == '\n';
    if (!lineEnds_ && state_ != State::Receiving) {
        ReplyTooLong();
        return;
    }
    // The line without its LF and the CR before it; a CR elsewhere stays.
    if (lineEnds_) line.pop_back();
    if (lineEnds_ && !line.empty() && line.back() == '\r') line.pop_back();
    if (state_ == State::Receiving) {
        if (lineEnds_) Transcript(Texts::kBodyShown);
    } else {
        Transcript(">" + line);
    }
    const bool reply = state_ != State::Receiving && state_ != State::UidlListing && state_ != State::UidlSent &&
                       state_ != State::QuitSent && state_ != State::StlsSent && state_ != State::StartingTls &&
                       state_ != State::AuthSent;
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

void CSmartPop::ReplyTooLong() {
    WriteLogLine(Format(Texts::kLineTooLong, Printable(account_).c_str(), kMaxLineBytes, int(current_)));
    DiscardMessage();
    // The rest of that message is still coming, so no reply to QUIT could be told from it: the
    // run ends now. Messages marked for deletion stay too; their UIDs are recorded.
    state_ = State::QuitSent;
    SendCommand("QUIT");
    Finish(Texts::kHowLongReply);
}

void CSmartPop::OnGreeting(const std::string&) {
    if (security_ == PopSecurity::Stls && !tlsUp_) {
        state_ = State::StlsSent;
        SendCommand("STLS");
        return;
    }
    BeginLogin();
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
    BeginLogin();
}

void CSmartPop::EndWithoutTls(const std::string& logLine) {
    WriteLogLine(logLine);
    LogEnd(Texts::kHowTls);
    Transcript(Texts::kTranscriptClosed);
    CloseTranscript();
    state_ = State::QuitSent;
    closed_ = true;
    Close(true);
}

// --- OAuth2 ------------------------------------------------------------------------------------

bool CSmartPop::PrepareOAuth(const CRegistryKey& key) {
    std::string method;
    key.ReadString(auth::kSmartPopAuthValue, method);
    const auth::LoginMethod login = auth::ParseLoginMethod(method);
    if (login == auth::LoginMethod::Invalid) {
        WriteLogLine(Format(Texts::kBadAuth, Printable(account_).c_str(), Printable(method).c_str()));
        return false;
    }
    oauth_ = login == auth::LoginMethod::OAuth2;
    if (!oauth_) return true;
    if (security_ == PopSecurity::None) {
        WriteLogLine(Format(Texts::kOAuthWithoutTls, Printable(account_).c_str()));
        return false;
    }
    const auth::OAuthPlace place = auth::SmartPopOAuthPlace(account_);
    std::string problem;
    if (!auth::ReadOAuthSettings(place, oauthSettings_, problem)) {
        WriteLogLine("SmartPop: " + problem + " The account is not collected.");
        return false;
    }
    // POP3 has no capability list before the login here: auto means XOAUTH2, which both large
    // providers take. (ReadOAuthSettings has refused an invalid mechanism.)
    mechanism_ = auth::ChooseOAuthMechanism(oauthSettings_.mechanism, true,
                                            oauthSettings_.mechanism == auth::OAuthMechanism::OAuthBearer);
    if (oauthSettings_.user.empty()) oauthSettings_.user = user_;
    // The token is had before the provider is called, so the connection does not wait on the
    // token endpoint; only a token the provider refuses is refreshed during the conversation.
    const auth::AccessToken token = auth::AccessTokenFor(place, oauthSettings_, false);
    if (token.outcome != auth::TokenOutcome::Ok) return false;  // said in the log
    token_ = token.token;
    tokenFresh_ = token.fresh;
    return true;
}

void CSmartPop::BeginLogin() {
    if (!oauth_) {
        state_ = State::UserSent;
        SendCommand("USER " + user_);
        return;
    }
    if (!tlsUp_) {  // never: the account's security was checked at the start
        WriteLogLine(Format(Texts::kOAuthWithoutTls, Printable(account_).c_str()));
        ErrorEnd();
        return;
    }
    authStep_ = 0;
    saslError_.clear();
    state_ = State::AuthSent;
    SendCommand(std::string("AUTH ") + auth::OAuthMechanismName(mechanism_));
}

void CSmartPop::OnAuthReply(const std::string& line) {
    const std::string_view t = TrimLeft(line);
    const bool ok = t.rfind("+OK", 0) == 0;
    const bool challenge = !ok && !t.empty() && t.front() == '+';
    if (ok) {
        OnPassReply(line);
        return;
    }
    if (challenge && authStep_ == 0) {
        // The empty challenge: the token goes now.
        const std::string response =
            mechanism_ == auth::OAuthMechanism::OAuthBearer
                ? auth::OAuthBearerResponse(oauthSettings_.user, token_, host_, port_)
                : auth::XOAuth2Response(oauthSettings_.user, token_);
        SendCommand(response, Texts::kAuthShown);
        authStep_ = 1;
        return;
    }
    if (challenge && authStep_ == 1) {
        // The provider's error status; the exchange must be finished before the refusal comes.
        saslError_ = auth::DescribeSaslError(TrimLeft(t.substr(1)));
        SendCommand(auth::ErrorChallengeAnswer(mechanism_));
        authStep_ = 2;
        return;
    }
    if (!challenge && authStep_ >= 1 && !tokenFresh_ && !tokenRetried_) {
        // A stored token the provider no longer takes (revoked early, or the clocks disagree):
        // one fresh token and one more try.
        tokenRetried_ = true;
        const auth::AccessToken token =
            auth::AccessTokenFor(auth::SmartPopOAuthPlace(account_), oauthSettings_, true);
        if (token.outcome == auth::TokenOutcome::Ok) {
            token_ = token.token;
            tokenFresh_ = true;
            BeginLogin();
            return;
        }
        ErrorEnd();  // said in the log
        return;
    }
    WriteLogLine(Format(Texts::kOAuthRefused, Printable(host_).c_str(), auth::OAuthMechanismName(mechanism_),
                        Printable(account_).c_str(), (saslError_.empty() ? Printable(line) : saslError_).c_str()));
    ErrorEnd();
}

void CSmartPop::OnUserReply(const std::string&) {
    state_ = State::PassSent;
    SendCommand("PASS " + password_, Texts::kPasswordShown);
}

void CSmartPop::OnPassReply(const std::string&) {
    LoadSkipped();
    limit_ = kMessageLimit;
    current_ = 1;
    state_ = State::UidlSent;
    SendCommand("UIDL");
}

void CSmartPop::OnUidlReply(const std::string& line) {
    const std::string_view t = TrimLeft(line);
    if (!t.empty() && t.front() == '+') {
        LoadRecord();
        uids_.assign(size_t(limit_) + 1, std::string());
        stillListed_.clear();
        firstListed_.clear();
        doubled_.clear();
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
        PruneSkipped();
        // A UID listed twice names no one message: both are fetched (a duplicate at worst).
        for (std::string& uid : uids_) {
            if (doubled_.count(uid)) uid.clear();
        }
        firstListed_.clear();
        doubled_.clear();
        // What earlier runs stored and never saw deleted; what this run stores is not in it.
        pending_ = record_;
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
    if (number >= 1 && number <= limit_) {
        if (!firstListed_.insert(id).second) doubled_.insert(id);
        uids_[number] = id;
    } else if (firstListed_.count(id)) {
        doubled_.insert(id);  // only UIDs this run may act on are watched, so memory stays bounded
    }
    if (record_.count(id)) stillListed_.insert(id);
    if (skipped_.count(id)) stillSkipped_.insert(id);
}

void CSmartPop::FetchCurrent() {
    const std::string uid = current_ < uids_.size() ? uids_[current_] : std::string();
    if (!uid.empty() && skipped_.count(uid)) {
        WriteLogLine(Format(Texts::kSkipped, int(current_), Printable(account_).c_str(), uid.c_str()));
        NextOrQuit();
        return;
    }
    recognised_ = !uid.empty() && pending_.count(uid) != 0;
    if (recognised_) {
        WriteLogLine(Format(Texts::kRecognised, int(current_), Printable(account_).c_str(), uid.c_str()));
        state_ = State::DeleSent;
        SendCommand("DELE " + std::to_string(current_));
        return;
    }
    state_ = State::RetrSent;
    SendCommand("RETR " + std::to_string(current_));
}

void CSmartPop::OnRetrReply(const std::string&) {
    // The status line itself is not part of the message.
    state_ = State::Receiving;
    midLine_ = false;
    messageBytes_ = 0;
    oversize_ = false;
    inHeader_ = true;
    from_.clear();
    subject_.clear();
    messageId_.clear();
}

void CSmartPop::OnMessageLine(const std::string& line) {
    const bool lineStart = !midLine_;
    midLine_ = !lineEnds_;
    if (!lineStart || !lineEnds_ || line != ".") {
        // Only a lone "." ends the message. A provider that forgot to double a leading dot
        // would otherwise have the rest of the message read as replies and lost. A doubled
        // leading "." (dot-stuffing) is undone: the message itself has one; a single one is
        // kept as it came. Both concern the start of a line only, never a later piece of it.
        std::string_view text = line;
        if (lineStart && text.rfind("..", 0) == 0) text.remove_prefix(1);
        if (lineStart) NoteHeader(text);
        StoreText(text, lineEnds_);
        return;
    }
    if (oversize_) {
        EndOversize(false);
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
    state_ = State::DeleSent;
    SendCommand("DELE " + std::to_string(current_));
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

bool CSmartPop::StoreText(std::string_view text, bool lineEnds) {
    const uint64_t size = text.size() + (lineEnds ? 2 : 0);  // CR LF on disk
    if (oversize_) {
        // Read and dropped to reach the end of the message and the next one, within bounds.
        messageBytes_ += size;
        if (messageBytes_ - maxSize_ > kOversizeDrainBytes) EndOversize(true);
        return false;
    }
    messageBytes_ += size;
    if (messageBytes_ > maxSize_) {
        BeginOversize();
        return false;
    }
    if (!message_.IsOpen() && !OpenMessage()) return false;
    if (!(lineEnds ? message_.WriteLine(text) : message_.Write(text))) {
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
        CountMetric(Metric::MessagesCollected);
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
    // Marked, not yet gone: the provider deletes it only when it answers QUIT.
    if (current_ < uids_.size() && !uids_[current_].empty()) deleted_.push_back(uids_[current_]);
    NextOrQuit();
}

void CSmartPop::NextOrQuit() {
    if (current_ < limit_) {
        ++current_;
        FetchCurrent();
        return;
    }
    state_ = State::QuitSent;
    SendCommand("QUIT");
    WriteLogLine(Texts::kClosing);
}

void CSmartPop::OnQuitReply(const std::string& line) {
    const std::string_view t = TrimLeft(line);
    if (!t.empty() && t.front() == '+') ForgetDeleted();
    Finish();
}

// The provider confirmed the deletions with its answer to QUIT: those UIDs name nothing here any
// more, and a provider that hands them to new mail later must find them unknown.
void CSmartPop::ForgetDeleted() {
    if (deleted_.empty()) return;
    size_t before = record_.size();
    for (const std::string& uid : deleted_) record_.erase(uid);
    deleted_.clear();
    if (record_.size() != before) SaveRecord();
}

void CSmartPop::SendCommand(const std::string& command, const std::string& shown) {
    if (HasLineBreak(command)) {
        // A line break would end the command early and have the provider obey the rest ("PASS
        // abc", "DELE 1"). Nothing of it goes out; the run ends with QUIT.
        const std::string verb = shown.substr(0, shown.find(' '));
        WriteLogLine(Format(Texts::kLineBreak, Printable(verb).c_str(), Printable(account_).c_str()));
        state_ = State::QuitSent;
        SendCommand("QUIT");
        return;
    }
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

void CSmartPop::Finish(const char* how) {
    if (closed_) return;
    Transcript(Texts::kTranscriptClosed);
    CloseTranscript();
    LogEnd(how);
    closed_ = true;
    Close(true);
}

void CSmartPop::LogEnd(const char* how) {
    if (!running_ || endLogged_) return;
    endLogged_ = true;
    if (how) {
        WriteLogLine(Format(Texts::kEndedAfter, Printable(account_).c_str(), int(collected_), how));
    } else {
        WriteLogLine(Format(Texts::kClosedAfter, Printable(account_).c_str(), int(collected_)));
    }
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
    lost_ = true;
}

void CSmartPop::OnTimeout() {
    WriteLogLine(Format(Texts::kTimeout, Printable(host_).c_str(), localAddress_.c_str(), int(localPort_)));
    LogEnd(connectFailed_              ? Texts::kHowNoConnect
           : lost_                     ? Texts::kHowLost
           : state_ == State::QuitSent ? Texts::kHowNoQuitReply
                                       : Texts::kHowSilent);
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

// --- messages over the size limit ---------------------------------------------------------------

uint32_t CSmartPop::ReadMaxCollectedSize() {
    CRegistryKey adv("AdvCon", false);
    uint32_t size = 0;
    if (adv.ReadInt(kMaxSizeValue, size) && size != 0) return size;
    if (adv.ReadInt("MaxMessageSize", size) && size != 0) return size;
    return CSMTPServer::kDefaultMaxMessageSize;
}

void CSmartPop::NoteHeader(std::string_view text) {
    if (!inHeader_) return;
    if (text.empty() && lineEnds_) {
        inHeader_ = false;
        return;
    }
    const struct {
        const char* name;
        std::string* into;
    } fields[] = {{"From:", &from_}, {"Subject:", &subject_}, {"Message-ID:", &messageId_}};
    for (const auto& f : fields) {
        if (f.into->empty() && StartsWithNoCase(text, f.name)) *f.into = NoticeText(text.substr(std::strlen(f.name)));
    }
}

void CSmartPop::BeginOversize() {
    oversize_ = true;
    DiscardMessage();
    const std::string uid = current_ < uids_.size() ? uids_[current_] : std::string();
    // Without a trusted UID the headers name it, so that the postmaster still hears of it once.
    const std::string key = uid.empty() ? HeaderKey(from_ + "\n" + subject_ + "\n" + messageId_) : uid;
    noticeDue_ = skipped_.size() < kMaxRecordedUids && skipped_.insert(key).second;
    if (noticeDue_) AppendSkipped(key);
    WriteLogLine(Format(Texts::kOversize, int(current_), Printable(account_).c_str(), maxSize_,
                        uid.empty() ? Texts::kDroppedAgain : Texts::kSkippedByUid,
                        noticeDue_ ? Texts::kOversizeNoticed : Texts::kOversizeKnown));
}

void CSmartPop::EndOversize(bool endless) {
    oversize_ = false;
    if (noticeDue_) WriteOversizeNotice(endless);
    noticeDue_ = false;
    if (endless) {
        // The rest of it is still coming, so no reply to QUIT could be told from it.
        state_ = State::QuitSent;
        SendCommand("QUIT");
        Finish(Texts::kHowEndless);
        return;
    }
    // Not deleted: the message stays on the provider for a person to fetch.
    NextOrQuit();
}

bool CSmartPop::WriteOversizeNotice(bool endless) {
    // Written like any message for a local mailbox: the text, then its envelope, both flushed
    // before the envelope's rename and the folder's flush make the pair visible.
    const std::string base = InboundQueuePath();
    std::string domain = PrimaryDomain();
    if (domain.empty() || !IsProtocolSafe(domain)) domain = "localhost";
    const std::time_t now = std::time(nullptr);
    const std::string size = (endless ? "more than " : "") + std::to_string(messageBytes_);
    std::vector<std::string> lines = {
        "From: \"SmartPop\" <" + std::string(kReportSender) + ">",
        "To: postmaster",
        "Subject: A message too large to collect was left on the provider",
        "Date: " + MailDate(now),
        "Message-ID: <smartpop." + std::to_string(now) + "." + base.substr(base.size() - 8) + "@" + domain + ">",
        "Auto-Submitted: auto-generated",
        "",
        "SmartPop did not collect message " + std::to_string(current_) + " of the account " + NoticeText(account_) +
            ": it is " + size + " bytes long, over the limit of " + std::to_string(maxSize_) +
            " bytes (AdvCon\\SmartPopMaxMessageSize).",
        "It stays on the provider and later runs leave it there; this notice is sent once.",
        "",
    };
    const std::pair<const char*, const std::string*> quoted[] = {
        {"  From:       ", &from_}, {"  Subject:    ", &subject_}, {"  Message-ID: ", &messageId_}};
    for (const auto& [label, value] : quoted) {
        if (!value->empty()) lines.push_back(label + *value);
    }
    lines.push_back("");
    lines.push_back("Fetch it with a mail client, or raise the limit and remove its line from " + NoticeText(SkipPath()) +
                    " to have it collected.");
    const char* failed = nullptr;
    if (!WriteTextFile(base + ".txt", lines)) {
        failed = "the text could not be written";
    } else if (!WriteEnvelopeAndCommit(base, kReportSender, {"postmaster"})) {
        failed = "it could not be committed";
    }
    if (!failed) return true;
    WriteLogLine(Format(Texts::kNoNotice, Printable(account_).c_str(), failed));
    std::remove((base + ".txt").c_str());
    std::remove((base + ".tmp").c_str());
    return false;
}

std::string CSmartPop::SkipPath() const { return JoinPath(SpoolRoot(), account_ + ".skip"); }

void CSmartPop::LoadSkipped() {
    skipped_.clear();
    stillSkipped_.clear();
    std::vector<std::string> lines;
    if (!ReadTextFile(SkipPath(), lines)) return;
    for (const auto& key : lines) {
        if (skipped_.size() >= kMaxRecordedUids) break;
        if (IsUid(key)) skipped_.insert(key);
    }
}

// UIDs the provider no longer lists are gone; keys made from headers stay (nothing says when
// those are gone).
void CSmartPop::PruneSkipped() {
    size_t kept = 0;
    for (const auto& key : skipped_) kept += key.front() == '~' || stillSkipped_.count(key);
    if (kept != skipped_.size()) {
        for (auto it = skipped_.begin(); it != skipped_.end();) {
            it = it->front() == '~' || stillSkipped_.count(*it) ? std::next(it) : skipped_.erase(it);
        }
        const std::string path = SkipPath();
        if (!WriteTextFile(path + ".new", std::vector<std::string>(skipped_.begin(), skipped_.end())) ||
            std::rename((path + ".new").c_str(), path.c_str()) != 0) {
            WriteLogLine(Format(Texts::kNoSkipRecord, path.c_str(), std::strerror(errno)));
            std::remove((path + ".new").c_str());
        }
    }
    stillSkipped_.clear();
}

void CSmartPop::AppendSkipped(const std::string& key) {
    const std::string path = SkipPath();
    TextFileWriter out;
    if (!(out.Append(path) && out.WriteLine(key) && out.Close())) {
        WriteLogLine(Format(Texts::kNoSkipRecord, path.c_str(), std::strerror(out.Errno())));
    }
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
