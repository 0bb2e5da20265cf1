#include "smtp/SmtpSend.h"

#include "net/Address.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Folders.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/ProtocolText.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "net/Listeners.h"
#include "net/Tls.h"
#include "platform/SocketErrors.h"
#include "smtp/FailureReport.h"
#include <cstdlib>
#include "core/Format.h"

namespace pv {

namespace {

std::atomic<bool> g_transmitFailed{false};
std::mutex g_countMutex;
int g_liveCount = 0;
TransmitTotals g_lastTotals;

// Beside the spool folders, never inside one: no queue scanner lists it.

constexpr size_t kReadChunk = 64 * 1024;
// Lines kept for one message's report; a relay that talks without end is cut short.
constexpr size_t kMaxTranscript = 5000;

std::string WithSuffix(const std::string& path, const char* suffix) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + suffix;
    return path.substr(0, dot) + suffix;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool CanRead(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Queue names count up, so name order sends the oldest message first.
std::vector<std::string> ListWorkFiles(const std::string& folder) { return ListFolderNames(folder, ".wrk"); }

// Relay text shown in a log line: control characters would garble the operator's console.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

int ReadTimeout() { return ReadTimeoutSeconds("SMTPouttimeout"); }

// What the secured conversation says in the log, each with the setting to check. "%s" are, in
// order, the gateway and then the detail named beside the text.
struct RelayTexts {
    static constexpr const char* kLineBreak =
        "SMTP send: the %s command holds a line break, so it is not sent and the run ends; the queue waits. Check "
        "the local domain names (postvane-admin domain list): the first one is this system's greeting.";
    static constexpr const char* kAddressLineBreak =
        "SMTP send: the envelope %s holds control characters; it is set aside as .err and the others go on. "
        "Look at it in the outbound queue.";
    static constexpr const char* kBadSecurity =
        "SMTP send: AdvCon\\RelaySecurity is \"%s\"; set it to none, starttls or tls (postvane-admin relay "
        "security). Nothing is sent; the queue waits.";
    static constexpr const char* kBadFingerprint =
        "SMTP send: AdvCon\\RelayFingerprint is not a SHA-256 fingerprint (64 hex digits); set it again with "
        "postvane-admin relay fingerprint. Nothing is sent; the queue waits.";
    static constexpr const char* kNoPassword =
        "SMTP send: AdvCon\\RelayUser is set but AdvCon\\RelayPassword is empty; set it with postvane-admin "
        "relay password. Nothing is sent; the queue waits.";
    static constexpr const char* kUnencryptedLogin =
        "SMTP send: AdvCon\\RelayUser is set but AdvCon\\RelaySecurity is not, and the password is never sent "
        "unencrypted unless asked: set RelaySecurity to starttls or tls, or to none to send it in clear. Nothing "
        "is sent; the queue waits.";
    static constexpr const char* kNoTlsContext = "SMTP send cannot use TLS: %s. Nothing is sent; the queue waits.";
    static constexpr const char* kNoTlsStart =
        "SMTP send could not start TLS with %s; the mail stays queued. The system is short of memory.";
    static constexpr const char* kEhloRefused =
        "SMTP send: %s refused EHLO (\"%s\"), which TLS and login need; the mail stays queued. Check "
        "AdvCon\\RelaySecurity and AdvCon\\RelayUser: a relay without them takes HELO.";
    static constexpr const char* kNoStartTls =
        "SMTP send: %s does not offer STARTTLS; the mail stays queued. Check AdvCon\\RelaySecurity (tls for a "
        "relay that speaks TLS from the first byte, usually on port 465) and AdvCon\\smtpoutport.";
    static constexpr const char* kStartTlsRefused =
        "SMTP send: %s refused STARTTLS (\"%s\"); the mail stays queued. Check AdvCon\\RelaySecurity and "
        "AdvCon\\smtpoutport.";
    static constexpr const char* kPlainAfterStartTls =
        "SMTP send: %s sent more text right after agreeing to STARTTLS, before TLS began; such text could "
        "be forged on the way, so the run ends and the mail stays queued. Check AdvCon\\RelaySecurity "
        "(tls uses TLS from the first byte).";
    static constexpr const char* kTlsFailedPinned =
        "SMTP send: TLS with %s failed: %s; the mail stays queued. Check AdvCon\\RelayFingerprint: it must be "
        "the SHA-256 fingerprint of the relay's certificate.";
    static constexpr const char* kTlsFailed =
        "SMTP send: TLS with %s failed: %s; the mail stays queued. The relay's certificate must be trusted by "
        "this system and name the host in Gateway; for a self-signed one set AdvCon\\RelayFingerprint.";
    static constexpr const char* kClosedInHandshake =
        "SMTP send: %s closed the connection during the TLS handshake; the mail stays queued. Check "
        "AdvCon\\RelaySecurity and AdvCon\\smtpoutport.";
    static constexpr const char* kNoMechanism =
        "SMTP send: %s offers no AUTH PLAIN or LOGIN%s; the mail stays queued. Check AdvCon\\RelayUser "
        "(remove it if the relay needs no login) and AdvCon\\RelaySecurity.";
    static constexpr const char* kAuthRefused =
        "SMTP send: %s refused the login of \"%s\" (\"%s\"); the mail stays queued. Check AdvCon\\RelayUser "
        "and AdvCon\\RelayPassword (postvane-admin relay user, relay password).";
    static constexpr const char* kBadAuth =
        "SMTP send: AdvCon\\RelayAuth is \"%s\"; set it to password or oauth2 (postvane-admin relay oauth setup). "
        "Nothing is sent; the queue waits.";
    static constexpr const char* kOAuthWithoutTls =
        "SMTP send: AdvCon\\RelayAuth is oauth2, which is sent only over TLS: set AdvCon\\RelaySecurity to "
        "starttls or tls, and AdvCon\\RelayUser to the mailbox's address. Nothing is sent; the queue waits.";
    static constexpr const char* kNoOAuthMechanism =
        "SMTP send: %s offers no AUTH %s; the mail stays queued. Check AdvCon\\RelayOAuthMechanism (auto, xoauth2 "
        "or oauthbearer) and that the relay takes OAuth2 logins.";
    static constexpr const char* kOAuthRefused =
        "SMTP send: %s refused the OAuth2 login (%s) of \"%s\": %s; the mail stays queued. Check the sign-in "
        "(postvane-admin relay oauth status) and that the mailbox may send by SMTP AUTH.";
    static constexpr const char* kAuthShown = "AUTH PLAIN ********";
    static constexpr const char* kOAuthShown = "AUTH %s ********";
    static constexpr const char* kSecretShown = "********";
};

std::string LocalHostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
    return buf;
}

}  // namespace

bool TransmitFailed() { return g_transmitFailed.load(); }
TransmitTotals LastTransmitTotals() {
    std::lock_guard lock(g_countMutex);
    return g_lastTotals;
}
void SetTransmitFailed(bool failed) { g_transmitFailed.store(failed); }

// --- message file reading --------------------------------------------------------------------

CBodyReader::~CBodyReader() { Close(); }

bool CBodyReader::Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
}

void CBodyReader::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    std::string().swap(buffer_);
    pos_ = 0;
    eof_ = false;
    failed_ = false;
}

bool CBodyReader::Fill() {
    if (eof_ || fd_ < 0) return false;
    if (pos_ > 0) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    const size_t old = buffer_.size();
    buffer_.resize(old + kReadChunk);
    ssize_t n;
    do {
        n = ::read(fd_, buffer_.data() + old, kReadChunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        buffer_.resize(old);
        eof_ = true;
        failed_ = n < 0;
        return false;
    }
    buffer_.resize(old + static_cast<size_t>(n));
    return true;
}

bool CBodyReader::Next(std::string& piece, bool& lineEnds) {
    piece.clear();
    lineEnds = false;
    if (fd_ < 0) return false;
    // Enough bytes to see where this piece ends: a full piece and the CR LF that may follow it.
    const size_t want = kMaxPiece + 2;
    while (buffer_.size() - pos_ < want &&
           std::string_view(buffer_).substr(pos_).find('\n') == std::string_view::npos && Fill()) {
    }
    const size_t avail = buffer_.size() - pos_;
    if (avail == 0) return false;
    const std::string_view view(buffer_.data() + pos_, std::min(avail, want));
    const size_t lf = view.find('\n');
    if (lf != std::string_view::npos && lf <= kMaxPiece + 1) {
        size_t end = lf;
        while (end > 0 && view[end - 1] == '\r') --end;
        piece.assign(view.substr(0, end));
        pos_ += lf + 1;
        lineEnds = true;
        return true;
    }
    if (avail <= kMaxPiece) {  // the last line of a file without a line end
        size_t end = avail;
        while (end > 0 && view[end - 1] == '\r') --end;
        piece.assign(view.substr(0, end));
        pos_ += avail;
        lineEnds = true;
        return true;
    }
    // Part of a longer line. CRs at its end stay for the next piece: they may turn out to
    // stand right before the line end.
    size_t take = kMaxPiece;
    while (take > 0 && view[take - 1] == '\r') --take;
    if (take == 0) take = kMaxPiece;  // a run of CRs longer than a piece goes out as it is
    piece.assign(view.substr(0, take));
    pos_ += take;
    return true;
}

SmtpReply ParseReply(std::string_view line) {
    SmtpReply reply;
    size_t i = 0;
    // Nine digits at most: a relay's nonsense never overflows the number.
    while (i < line.size() && i < 9 && line[i] >= '0' && line[i] <= '9') {
        reply.code = reply.code * 10 + (line[i] - '0');
        ++i;
    }
    reply.replyClass = i > 0 ? line[0] - '0' : 0;
    reply.continuation = i == 3 && line.size() > 3 && line[3] == '-';
    return reply;
}

// --- the run -------------------------------------------------------------------------------

CSMTPSend::CSMTPSend() {
    heloName_ = PrimaryDomain();
    // Without a local domain the machine's own name is still an honest greeting.
    if (heloName_.empty()) heloName_ = LocalHostName();
    {
        std::lock_guard lock(g_countMutex);
        ++g_liveCount;
        Events().Signal(NamedEvent::SmtpTr);
    }
}

CSMTPSend::~CSMTPSend() {
    if (state_ == State::AwaitGreeting) {
        SetTransmitFailed(true);
        WriteLogLine("SMTP send connection failed");
    }
    body_.Close();
    queueLock_.Unlock();
    std::lock_guard lock(g_countMutex);
    g_lastTotals = totals_;
    if (--g_liveCount == 0) Events().Reset(NamedEvent::SmtpTr);
}

net::ThreadHandle CSMTPSend::StartRun(platform::FileLock queueLock) {
    auto* run = new CSMTPSend();
    run->queueLock_ = std::move(queueLock);
    net::ThreadHandle handle = run->CreateThread(net::ThreadPriority::Normal, net::kConversationStackSize);
    if (!handle.Valid()) {
        const int err = errno;
        delete run;
        SetTransmitFailed(true);
        WriteLogLine(std::string("SMTP send could not start its thread (") + std::strerror(err) +
                     "); the outbound queue waits. The system is short of memory or threads.");
    }
    return handle;
}

int CSMTPSend::LiveCount() {
    std::lock_guard lock(g_countMutex);
    return g_liveCount;
}

std::string CSMTPSend::CurrentName() const { return WithSuffix(BaseName(workPath_), ""); }

void CSMTPSend::LogRefusal(const std::string& what, const std::string& reply, const std::string& outcome) {
    WriteLogLine("SMTP send: " + gateway_ + " refused " + what + " (\"" + Printable(reply) + "\"); " + outcome);
}

bool CSMTPSend::OnStart() {
    SetTimeout(ReadTimeout());
    const std::string root = SpoolRoot();
    if (root.empty()) return false;  // no spool, so nothing can be queued
    const std::string lockPath = JoinPath(root, kOutboxLockFile);
    if (!queueLock_.Held() && !queueLock_.Lock(lockPath, false)) {
        totals_.busy = queueLock_.Error().empty();
        WriteLogLine(totals_.busy ? "SMTP send: another transmitter is working on the outbound queue (it holds " +
                                        lockPath + "); this run ends without sending"
                                  : "SMTP send: " + queueLock_.Error() +
                                        "; nothing is sent. Check that the spool folder is writable.");
        return false;
    }
    outboxDir_ = QueueDirectory(kOutboxDir);
    // Reports a killed run left half-way are finished before anything else happens.
    if (const int finished = CompleteStagedReports(outboxDir_)) {
        WriteLogLine("SMTP send finished " + std::to_string(finished) + " failure report(s) an earlier run left unfinished");
    }
    // Messages the conversation ended on in earlier runs go after the others.
    std::vector<std::pair<int, std::string>> order;
    for (auto& name : ListWorkFiles(outboxDir_)) {
        workPath_ = JoinPath(outboxDir_, name);
        order.emplace_back(StallCount(), std::move(name));
    }
    workPath_.clear();
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& entry : order) queue_.push_back(std::move(entry.second));
    if (queue_.empty()) return false;

    CRegistryKey rootKey("", false);
    rootKey.ReadString("Gateway", gateway_);
    // An address is used and logged in RFC 5952's form ("2001:DB8:0::1" as [2001:db8::1]); a
    // value that is no host stays as it is, and the connect says that it does not resolve.
    if (std::string host = net::CanonicalHost(gateway_); !host.empty()) gateway_ = host;
    relay_ = ReadRelaySettings();
    if (!RelaySettingsUsable()) {
        SetTransmitFailed(true);
        return false;
    }
    WriteLogLine("SMTP transmit connecting to " + gateway_);

    if ((Socket() == net::kInvalidSocket && !Create(0, SOCK_STREAM, net::kFdAllEvents, nullptr)) ||
        !AsyncSelect(net::kFdAllEvents)) {
        WriteLogLine("Connect failed with Error " + std::to_string(LastError()));
        WriteLogLine("Halting Mail Transmission");
        SetTransmitFailed(true);
        return false;
    }

    port_ = relay_.port;
    if (Connect(gateway_, port_) || LastError() == platform::kWsaEWouldBlock) {
        body_.Close();
        state_ = State::AwaitGreeting;
        return true;
    }

    const int err = LastError();
    char text[200];
    std::snprintf(text, sizeof text, "Failed to initialise SMTP, %s,Error Code =%u,", SocketErrorText(err),
                  static_cast<unsigned>(err));
    WriteLogLine(text);
    WriteLogLine("Halting Mail Transmission");
    if (gateway_.empty()) {
        WriteLogLine("SMTP send: no gateway is configured. Set Gateway to the name or address of the provider's relay.");
    } else if (err == platform::kWsaEInval) {
        WriteLogLine("SMTP send: the gateway name \"" + gateway_ +
                     "\" does not resolve to an address. Check the Gateway setting and the name service.");
    } else {
        WriteLogLine("SMTP send could not reach the gateway \"" + gateway_ + "\" on port " + std::to_string(port_) +
                     ". Check the Gateway setting and AdvCon\\smtpoutport.");
    }
    SetTransmitFailed(true);
    return false;
}

bool CSMTPSend::RelaySettingsUsable() {
    const char* problem = nullptr;
    if (relay_.security == RelaySecurity::Invalid) {
        WriteLogLine(Format(RelayTexts::kBadSecurity, Printable(relay_.securityText).c_str()));
        return false;
    }
    if (relay_.fingerprintInvalid) problem = RelayTexts::kBadFingerprint;
    if (relay_.authInvalid) {
        WriteLogLine(Format(RelayTexts::kBadAuth, Printable(relay_.authText).c_str()));
        return false;
    }
    if (relay_.oauth2 && (!relay_.WantsTls() || relay_.user.empty())) problem = RelayTexts::kOAuthWithoutTls;
    if (!relay_.user.empty() && relay_.password.empty() && !relay_.oauth2) problem = RelayTexts::kNoPassword;
    if (!relay_.user.empty() && relay_.security == RelaySecurity::Unset) problem = RelayTexts::kUnencryptedLogin;
    if (problem) {
        WriteLogLine(problem);
        return false;
    }
    if (relay_.WantsTls()) {
        std::string error;
        tls_ = net::MakeClientTlsContext(error);
        if (!tls_) {
            WriteLogLine(Format(RelayTexts::kNoTlsContext, error.c_str()));
            return false;
        }
    }
    return !relay_.oauth2 || PrepareOAuth();
}

// --- OAuth2 ------------------------------------------------------------------------------------

bool CSMTPSend::PrepareOAuth() {
    const auth::OAuthPlace place = auth::RelayOAuthPlace();
    std::string problem;
    if (!auth::ReadOAuthSettings(place, oauthSettings_, problem)) {
        WriteLogLine("SMTP send: " + problem + " Nothing is sent; the queue waits.");
        return false;
    }
    oauthSettings_.user = relay_.user;
    // The token is had before the relay is called: no connection waits on the token endpoint.
    const auth::AccessToken token = auth::AccessTokenFor(place, oauthSettings_, false);
    if (token.outcome != auth::TokenOutcome::Ok) return false;  // said in the log
    token_ = token.token;
    tokenFresh_ = token.fresh;
    return true;
}

void CSMTPSend::SendOAuth() {
    saslError_.clear();
    const char* name = auth::OAuthMechanismName(oauthMechanism_);
    const std::string response = oauthMechanism_ == auth::OAuthMechanism::OAuthBearer
                                     ? auth::OAuthBearerResponse(relay_.user, token_, gateway_, port_)
                                     : auth::XOAuth2Response(relay_.user, token_);
    SendSecret(std::string("AUTH ") + name + " " + response, Format(RelayTexts::kOAuthShown, name));
    state_ = State::AwaitAuth;
}

void CSMTPSend::HandleOAuthReply(const SmtpReply& reply, const std::string& line) {
    if (reply.replyClass == 2) {
        NextMessageOrQuit();
        return;
    }
    if (reply.code == 334) {
        // The relay's error status; the exchange must be finished before the refusal comes.
        saslError_ = auth::DescribeSaslError(line.size() > 4 ? std::string_view(line).substr(4) : std::string_view());
        SendSecret(auth::ErrorChallengeAnswer(oauthMechanism_), RelayTexts::kSecretShown);
        return;
    }
    if (reply.code != kClosingCode && !tokenFresh_ && !tokenRetried_) {
        // A stored token the relay no longer takes: one fresh token and one more try.
        tokenRetried_ = true;
        const auth::AccessToken token = auth::AccessTokenFor(auth::RelayOAuthPlace(), oauthSettings_, true);
        if (token.outcome == auth::TokenOutcome::Ok) {
            token_ = token.token;
            tokenFresh_ = true;
            SendOAuth();
            return;
        }
        endLogged_ = true;  // said in the log
        EndOnSetting(std::string());
        return;
    }
    EndOnSetting(Format(RelayTexts::kOAuthRefused, gateway_.c_str(), auth::OAuthMechanismName(oauthMechanism_),
                        Printable(relay_.user).c_str(), (saslError_.empty() ? Printable(line) : saslError_).c_str()));
}

void CSMTPSend::OnConnect() {
    SetTimeout(ReadTimeout());
    const int err = LastError();
    if (state_ == State::AwaitGreeting && err == 0 && relay_.security == RelaySecurity::Tls && !tlsUp_) {
        BeginTls();  // TLS from the first byte: the greeting comes through it
        return;
    }
    if (state_ == State::AwaitGreeting && err != 0 && err != platform::kWsaEWouldBlock) {
        // No greeting can come; waiting out the time-out would only delay the same outcome
        // and hide its cause.
        WriteLogLine("SMTP send could not connect to " + gateway_ + " on port " + std::to_string(port_) + ": " +
                     SocketErrorText(err) + " (" + std::to_string(err) +
                     "). Check that the relay is running and that Gateway and AdvCon\\smtpoutport name it.");
        Close(true);
    }
}

void CSMTPSend::OnTimeout() {
    WriteLogLine(TimeoutLine("SMTP Send"));
    Settle(true);
    Close(true);
    SetTransmitFailed(true);
}

void CSMTPSend::OnClose() {
    if (endLogged_) {
        // The run has already said why it ends.
    } else if (state_ == State::StartingTls) {
        EndOnSetting(Format(RelayTexts::kClosedInHandshake, gateway_.c_str()), false);
    } else if (state_ == State::AwaitGreeting) {
        SetTransmitFailed(true);
        WriteLogLine("SMTP send connection rejected");
    } else if (state_ != State::AwaitQuit && state_ != State::AwaitQuitAfterFailure) {
        WriteLogLine("SMTP send: " + gateway_ +
                     " closed the connection before the run was over; the messages not yet sent stay queued for the next run");
        Settle(true);
    }
    Close(true);
}

void CSMTPSend::OnReceive() {
    char buffer[net::kLineReceiveSize];
    const int n = Receive(buffer, sizeof buffer);
    for (int i = 0; i < n; ++i) {
        if (Socket() == net::kInvalidSocket) return;  // a reply ended the conversation
        const char c = buffer[i];
        if (c == '\n') {
            std::string line;
            line.swap(reply_);
            if (transcript_.size() < kMaxTranscript) transcript_.push_back(">" + line);
            HandleReply(line);
            if (state_ == State::StartingTls && !tlsUp_ && i + 1 < n && Socket() != net::kInvalidSocket) {
                EndOnSetting(Format(RelayTexts::kPlainAfterStartTls, gateway_.c_str()), false);
                Close(true);
                return;
            }
        } else if (c != '\r' && reply_.size() < kMaxReplyLine) {
            reply_.push_back(c);
        }
    }
}

void CSMTPSend::OnSend() {
    if (state_ == State::SendingBody && body_.IsOpen()) ContinueBody();
}

bool CSMTPSend::SendCommand(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    if (line.empty()) return true;
    if (RefusedLineBreak(line, line)) return false;
    if (!body_.IsOpen() && transcript_.size() < kMaxTranscript) transcript_.push_back("<" + std::string(line));
    std::string wire(line);
    wire.append("\r\n");
    return SendBytes(wire);
}

bool CSMTPSend::SendSecret(std::string_view line, std::string_view shown) {
    if (RefusedLineBreak(line, shown)) return false;
    if (transcript_.size() < kMaxTranscript) transcript_.push_back("<" + std::string(shown));
    std::string wire(line);
    wire.append("\r\n");
    return SendBytes(wire);
}

// What the store holds never becomes two commands: a line break inside one would end it early and
// have the relay read the rest as a command of its own. Said once; the run ends with QUIT.
bool CSMTPSend::RefusedLineBreak(std::string_view line, std::string_view shown) {
    if (!HasLineBreak(line)) return false;
    const std::string verb(shown.substr(0, shown.find_first_of(" \r\n")));
    // Closed at once: the caller goes on as if its command were out, and no reply must meet it.
    EndOnSetting(Format(RelayTexts::kLineBreak, Printable(verb).c_str()), false);
    Close(true);
    return true;
}

void CSMTPSend::BeginTls() {
    net::TlsClientOptions options;
    options.host = gateway_;
    options.pinnedSha256 = relay_.fingerprint;
    state_ = State::StartingTls;
    if (!StartTlsClient(tls_, options)) {
        EndOnSetting(Format(RelayTexts::kNoTlsStart, gateway_.c_str()), false);
        Close(true);
    }
}

void CSMTPSend::OnTlsReady(bool ok, const std::string& reason) {
    if (!ok) {
        EndOnSetting(Format(relay_.fingerprint.empty() ? RelayTexts::kTlsFailed : RelayTexts::kTlsFailedPinned,
                            gateway_.c_str(), Printable(reason).c_str()),
                     false);
        Close(true);
        return;
    }
    SetTimeout(ReadTimeout());
    const bool greeted = tlsUp_ || relay_.security != RelaySecurity::Tls;
    tlsUp_ = true;
    if (!greeted) {
        state_ = State::AwaitGreeting;
        return;
    }
    // What the relay said before TLS counts for nothing now: its capabilities are asked again.
    caps_ = {};
    ehloLines_ = 0;
    SendCommand("EHLO " + heloName_);
    state_ = State::AwaitEhlo;
}

void CSMTPSend::EndOnSetting(const std::string& logLine, bool quit) {
    if (!endLogged_) WriteLogLine(logLine);
    endLogged_ = true;
    SetTransmitFailed(true);
    if (quit) {
        SendCommand("QUIT");
        state_ = State::AwaitQuit;
    }
}

void CSMTPSend::AfterEhlo() {
    if (relay_.security == RelaySecurity::StartTls && !tlsUp_) {
        if (!caps_.startTls) {
            EndOnSetting(Format(RelayTexts::kNoStartTls, gateway_.c_str()));
            return;
        }
        SendCommand("STARTTLS");
        state_ = State::AwaitStartTls;
        return;
    }
    if (relay_.user.empty()) {
        NextMessageOrQuit();
        return;
    }
    if (relay_.oauth2) {
        oauthMechanism_ = auth::ChooseOAuthMechanism(oauthSettings_.mechanism, caps_.authXOAuth2, caps_.authOAuthBearer);
        if (oauthMechanism_ == auth::OAuthMechanism::Invalid) {
            EndOnSetting(Format(RelayTexts::kNoOAuthMechanism, gateway_.c_str(),
                                oauthSettings_.mechanism == auth::OAuthMechanism::Auto
                                    ? "XOAUTH2 or OAUTHBEARER"
                                    : auth::OAuthMechanismName(oauthSettings_.mechanism)));
            return;
        }
        SendOAuth();
        return;
    }
    mechanism_ = ChooseMechanism(caps_);
    loginStep_ = 0;
    switch (mechanism_) {
        case AuthMechanism::None:
            EndOnSetting(Format(RelayTexts::kNoMechanism, gateway_.c_str(),
                                caps_.auth ? " (only mechanisms this system does not speak)" : ""));
            return;
        case AuthMechanism::Plain:
            SendSecret("AUTH PLAIN " + SaslPlainResponse(relay_.user, relay_.password), RelayTexts::kAuthShown);
            break;
        case AuthMechanism::Login: SendCommand("AUTH LOGIN"); break;
    }
    state_ = State::AwaitAuth;
}

void CSMTPSend::HandleAuthReply(const SmtpReply& reply, const std::string& line) {
    if (relay_.oauth2) {
        HandleOAuthReply(reply, line);
        return;
    }
    if (reply.replyClass == 2) {
        NextMessageOrQuit();
        return;
    }
    if (reply.code == 334) {
        // A challenge: PLAIN without the initial response taken, or LOGIN asking for the user
        // name and then the password.
        if (mechanism_ == AuthMechanism::Plain && loginStep_ == 0) {
            SendSecret(SaslPlainResponse(relay_.user, relay_.password), RelayTexts::kSecretShown);
        } else if (mechanism_ == AuthMechanism::Login && loginStep_ == 0) {
            SendSecret(Base64Encode(relay_.user), RelayTexts::kSecretShown);
        } else if (mechanism_ == AuthMechanism::Login && loginStep_ == 1) {
            SendSecret(Base64Encode(relay_.password), RelayTexts::kSecretShown);
        } else {
            // More challenges than the mechanism has: "*" cancels the exchange.
            SendCommand("*");
        }
        ++loginStep_;
        return;
    }
    EndOnSetting(Format(RelayTexts::kAuthRefused, gateway_.c_str(), Printable(relay_.user).c_str(),
                        Printable(line).c_str()));
}

void CSMTPSend::HandleReply(const std::string& line) {
    const SmtpReply reply = ParseReply(line);
    if (state_ == State::AwaitEhlo) caps_.AddLine(line, ehloLines_++ == 0);
    // In the secured conversation the whole greeting is waited for before EHLO.
    if (reply.continuation && state_ == State::AwaitGreeting && relay_.Extended() && reply.replyClass == 2) return;
    // The lines of a multi-line reply before its last one say nothing of their own; acting on
    // each would answer later commands with earlier replies. The greeting is answered at once.
    if (reply.continuation && state_ != State::AwaitGreeting) return;
    if (reply.code == kClosingCode && state_ != State::AwaitGreeting && state_ != State::AwaitQuit &&
        state_ != State::AwaitQuitAfterFailure && (state_ != State::SendingBody || BodyComplete())) {
        RelayClosing(line);
        return;
    }

    switch (state_) {
        case State::Idle: return;
        case State::AwaitGreeting:
            if (reply.replyClass == 2 && relay_.Extended()) {
                caps_ = {};
                ehloLines_ = 0;
                SendCommand("EHLO " + heloName_);
                state_ = State::AwaitEhlo;
            } else if (reply.replyClass == 2) {
                SendCommand("HELO " + heloName_);
                state_ = State::AwaitHelo;
            } else {
                LogRefusal("the conversation", line, "the queue waits for the next run.");
                SendCommand("QUIT");
                state_ = State::AwaitQuitAfterFailure;
            }
            return;
        case State::AwaitHelo:
        case State::AwaitRset:
            if (reply.replyClass != 2) {
                LogRefusal(state_ == State::AwaitHelo ? "HELO " + heloName_ : std::string("RSET"), line,
                           "the conversation ends.");
                SendCommand("QUIT");
                state_ = State::AwaitQuitAfterFailure;
            } else if (reply.code == 250) {
                NextMessageOrQuit();
            }
            return;
        case State::AwaitEhlo:
            if (reply.replyClass == 2) {
                AfterEhlo();
            } else if (tlsUp_ && relay_.user.empty()) {
                // TLS is all that was asked for, and it is up: a relay that does not know EHLO
                // is served as every relay is without these settings.
                SendCommand("HELO " + heloName_);
                state_ = State::AwaitHelo;
            } else {
                EndOnSetting(Format(RelayTexts::kEhloRefused, gateway_.c_str(), Printable(line).c_str()));
            }
            return;
        case State::AwaitStartTls:
            if (reply.replyClass == 2) {
                BeginTls();
            } else {
                EndOnSetting(Format(RelayTexts::kStartTlsRefused, gateway_.c_str(), Printable(line).c_str()));
            }
            return;
        case State::StartingTls: return;  // nothing the relay says counts until TLS is up
        case State::AwaitAuth: HandleAuthReply(reply, line); return;
        case State::AwaitMail:
            if (reply.replyClass == 2) {
                senderAccepted_ = true;
                recipientIndex_ = 0;
                SendCommand("RCPT TO: <" + recipients_[0] + ">");
                WriteLogLine("Sending to <" + recipients_[0] + "> from <" + sender_ + ">");
                state_ = State::AwaitRcpt;
            } else {
                fate_ = reply.replyClass == 5 ? Fate::Refused : Fate::Deferred;
                LogRefusal("the sender <" + sender_ + "> of message " + CurrentName(), line,
                           fate_ == Fate::Refused ? "its sender gets a failure report and the message is set aside."
                                                  : "the message stays queued for the next run.");
                SendCommand("RSET");
                state_ = State::AwaitRset;
            }
            return;
        case State::AwaitRcpt: {
            const Outcome outcome = reply.replyClass == 2 ? kAccepted : reply.replyClass == 5 ? kRefused : kDeferred;
            outcomes_[recipientIndex_] = outcome;
            if (outcome != kAccepted) {
                LogRefusal("recipient <" + recipients_[recipientIndex_] + "> of message " + CurrentName(), line,
                           outcome == kRefused ? "its sender gets a failure report."
                                               : "the message stays queued for it.");
            }
            ++recipientIndex_;
            if (recipientIndex_ < recipients_.size()) {
                SendCommand("RCPT TO: <" + recipients_[recipientIndex_] + ">");
                WriteLogLine("Sending to " + recipients_[recipientIndex_]);
            } else if (std::find(outcomes_.begin(), outcomes_.end(), kAccepted) != outcomes_.end()) {
                SendCommand("DATA");
                state_ = State::AwaitData;
            } else {
                // Nobody takes it; what becomes of it is settled when the conversation leaves it.
                fate_ = Fate::Deferred;
                SendCommand("RSET");
                state_ = State::AwaitRset;
            }
            return;
        }
        case State::AwaitData:
            if (reply.replyClass == 3) {
                state_ = State::SendingBody;
                SendBody();
            } else {
                fate_ = reply.replyClass == 5 ? Fate::Refused : Fate::Deferred;
                LogRefusal("DATA for message " + CurrentName(), line,
                           fate_ == Fate::Refused ? "its sender gets a failure report and the message is set aside."
                                                  : "the message stays queued for the next run.");
                SendCommand("RSET");
                state_ = State::AwaitRset;
            }
            return;
        case State::SendingBody:
            if (!BodyComplete()) {
                // A reply before the final "." cannot accept the message, and the rest of the
                // body would now be read as commands.
                AbortBody("the relay answered \"" + Printable(line) + "\" before the end of the message");
                return;
            }
            if (reply.replyClass == 2) {
                WriteLogLine("SMTP Send succeeded");
                fate_ = Fate::Delivered;
            } else {
                fate_ = reply.replyClass == 5 ? Fate::Refused : Fate::Deferred;
                LogRefusal("message " + CurrentName() + " at the end of its text", line,
                           fate_ == Fate::Refused ? "its sender gets a failure report and the message is set aside."
                                                  : "the message stays queued for the next run.");
            }
            Settle();
            NextMessageOrQuit();
            return;
        case State::AwaitQuit: Close(true); return;
        case State::AwaitQuitAfterFailure:
            // The relay refused HELO or RSET: what it said about the message so far is acted on
            // (once); the relay ends the conversation by closing.
            if (!workPath_.empty() && !messageDone_) Settle();
            return;
    }
}

void CSMTPSend::RelayClosing(const std::string& line) {
    WriteLogLine("SMTP send: " + gateway_ + " is closing the conversation (\"" + Printable(line) +
                 "\"); the messages not yet sent stay queued for the next run");
    body_.Close();
    Settle(true);
    SendCommand("QUIT");
    state_ = State::AwaitQuit;
}

void CSMTPSend::NextMessageOrQuit() {
    if (NextMessage()) {
        SendCommand("MAIL FROM: <" + sender_ + ">");
        state_ = State::AwaitMail;
    } else {
        SendCommand("QUIT");
        state_ = State::AwaitQuit;
    }
}

bool CSMTPSend::NextMessage() {
    if (!workPath_.empty()) Settle();
    for (;;) {
        if (queue_.empty()) return false;
        transcript_.clear();
        sender_.clear();
        recipients_.clear();
        outcomes_.clear();
        fate_ = Fate::Open;
        senderAccepted_ = false;
        workPath_ = JoinPath(outboxDir_, queue_.front());
        queue_.pop_front();
        messagePath_ = WithSuffix(workPath_, ".txt");
        messageDone_ = false;

        if (!CanRead(messagePath_)) {
            WriteLogLine("Missing txt file in output queue");
            SetAsideWorkFile();
            messageDone_ = true;
            continue;
        }
        std::vector<std::string> lines;
        if (!ReadWorkFile(workPath_, lines) && !FileExists(workPath_)) {  // taken meanwhile
            messageDone_ = true;
            continue;
        }
        if (!lines.empty()) sender_ = lines.front();
        if (lines.size() > 1) recipients_.assign(lines.begin() + 1, lines.end());
        if (recipients_.empty()) {
            SetAsideWorkFile();
            WriteLogLine("wrk file in output queue has no recipients");
            messageDone_ = true;
            continue;
        }
        // An address goes into MAIL FROM or RCPT TO as it is: one that could break the line is
        // this message's fault alone, so the message is set aside rather than the run ended.
        if (!IsProtocolSafe(sender_) ||
            !std::all_of(recipients_.begin(), recipients_.end(), [](const std::string& r) { return IsProtocolSafe(r); })) {
            SetAsideWorkFile();
            WriteLogLine(Format(RelayTexts::kAddressLineBreak, Printable(CurrentName()).c_str()));
            messageDone_ = true;
            continue;
        }
        outcomes_.assign(recipients_.size(), kUntried);
        return true;
    }
}

void CSMTPSend::SetAsideWorkFile() {
    std::rename(workPath_.c_str(), WithSuffix(workPath_, ".err").c_str());
    std::remove(WithSuffix(workPath_, kStallCountSuffix).c_str());
}

void CSMTPSend::SendBody() {
    if (!body_.IsOpen() && !body_.Open(messagePath_)) {
        AbortBody("its message file " + messagePath_ + " cannot be read (" + std::strerror(errno) + ")");
        return;
    }
    atLineStart_ = true;
    ContinueBody();
}

// Lines go to the socket in batches; when the socket is full the framework keeps the unsent
// rest and says so, and OnSend brings us back here once it is out. So at most one batch waits
// in memory, and no byte of a line is ever skipped. A line is sent whole, however long.
void CSMTPSend::ContinueBody() {
    std::string batch;
    std::string piece;
    bool lineEnds = false;
    while (body_.IsOpen()) {
        if (body_.Next(piece, lineEnds)) {
            if (atLineStart_ && !piece.empty() && piece.front() == '.') batch.push_back('.');
            batch.append(piece);
            if (lineEnds) batch.append("\r\n");
            atLineStart_ = lineEnds;
            if (batch.size() < kBodyBatch) continue;
        } else {
            if (body_.Failed()) {
                AbortBody("reading its message file " + messagePath_ + " failed");
                return;
            }
            batch.append(".\r\n");
            body_.Close();
        }
        if (!SendBytes(batch)) {
            AbortBody(std::string("the connection broke (") + SocketErrorText(LastError()) + ", " +
                      std::to_string(LastError()) + ")");
            return;
        }
        batch.clear();
        if (OutputBlocked()) return;
    }
}

void CSMTPSend::AbortBody(const std::string& why) {
    body_.Close();
    WriteLogLine("SMTP send stopped in the middle of message " + CurrentName() + " from <" + sender_ + ">: " + why +
                 ". The message stays queued for the next run.");
    Settle(true);
    Close(true);
}

// What the relay said about the current message decides, once, what becomes of it.
void CSMTPSend::Settle(bool conversationEnded) {
    if (workPath_.empty() || messageDone_) return;
    messageDone_ = true;
    std::vector<std::string> refused, remaining;
    for (size_t i = 0; i < recipients_.size(); ++i) {
        if (outcomes_[i] == kRefused) {
            refused.push_back(recipients_[i]);
        } else if (fate_ != Fate::Delivered || outcomes_[i] != kAccepted) {
            remaining.push_back(recipients_[i]);
        }
    }
    if (fate_ == Fate::Refused) {
        // The message as a whole is refused for good.
        if (WriteReport(false, {})) ++totals_.setAside;
        return;
    }
    if (!refused.empty()) {
        // Recipients refused for good: reported once, and the envelope keeps only the others.
        const bool reported = WriteReport(true, remaining);
        if (remaining.empty()) {
            if (fate_ == Fate::Delivered && reported) {
                FinishMessage();  // a report that failed leaves the text for the operator
            } else if (fate_ != Fate::Delivered && reported) {
                ++totals_.setAside;
            }
        } else {
            if (fate_ == Fate::Delivered) {
                ++totals_.delivered;
                CountMetric(Metric::MessagesRelayed);
            }
            SetStallCount(0);
        }
        return;
    }
    if (fate_ == Fate::Delivered) {
        if (remaining.empty()) {
            FinishMessage();
            ++totals_.delivered;
            CountMetric(Metric::MessagesRelayed);
        } else if (ReplaceEnvelope(remaining)) {
            SetStallCount(0);
        }
        return;
    }
    // Nothing was refused for good and nothing delivered. A temporary refusal in a running
    // conversation simply waits for the next run; a conversation that ended on the message
    // after its sender was taken counts against it.
    if (!conversationEnded || !senderAccepted_) return;
    const int stalls = StallCount() + 1;
    if (stalls < kMaxStalledRuns) {
        SetStallCount(stalls);
        WriteLogLine("SMTP send: the conversation ended on message " + CurrentName() + " from <" + sender_ +
                     "> without progress (" + std::to_string(stalls) + " of " + std::to_string(kMaxStalledRuns) +
                     " runs); it waits behind the other messages");
        return;
    }
    const std::string note = "The relay ended the conversation on this message in " + std::to_string(stalls) +
                             " runs in a row; it is set aside and not sent again.";
    WriteLogLine("SMTP send: the conversation ended on message " + CurrentName() + " from <" + sender_ + "> in " +
                 std::to_string(stalls) + " runs in a row; it is reported to its sender and set aside");
    if (WriteReport(false, {}, note)) ++totals_.setAside;
}

void CSMTPSend::FinishMessage() {
    const std::string old = WithSuffix(workPath_, ".old");
    std::rename(workPath_.c_str(), old.c_str());
    std::remove(WithSuffix(workPath_, kStallCountSuffix).c_str());
    uint32_t keepFiles = 0;
    CRegistryKey("", false).ReadInt("KeepFiles", keepFiles);
    if (keepFiles == 0 && !FileExists(workPath_)) {
        std::remove(old.c_str());
        std::remove(messagePath_.c_str());
    }
}

// The message's new envelope (only the recipients still to be sent to) replaces the old one
// in one rename.
bool CSMTPSend::ReplaceEnvelope(const std::vector<std::string>& remaining) {
    const std::string fresh = WithSuffix(workPath_, kNewEnvelopeStaging);
    std::vector<std::string> lines{sender_};
    lines.insert(lines.end(), remaining.begin(), remaining.end());
    if (WriteTextFile(fresh, lines, true) && std::rename(fresh.c_str(), workPath_.c_str()) == 0 &&
        SyncDirectoryOf(workPath_)) {
        return true;
    }
    std::remove(fresh.c_str());
    WriteLogLine("SMTP send could not rewrite the envelope of message " + CurrentName() +
                 "; the recipients the relay took may get it again. Check the outbox folder.");
    return false;
}

int CSMTPSend::StallCount() const {
    std::vector<std::string> lines;
    if (!ReadTextFile(WithSuffix(workPath_, kStallCountSuffix), lines) || lines.empty()) return 0;
    return std::clamp(std::atoi(lines.front().c_str()), 0, kMaxStalledRuns);
}

// Written beside the message and renamed into place, so a kill leaves the old count or the new.
void CSMTPSend::SetStallCount(int count) {
    const std::string path = WithSuffix(workPath_, kStallCountSuffix);
    if (count == 0) {
        std::remove(path.c_str());
        return;
    }
    const std::string fresh = WithSuffix(workPath_, kStallCountStaging);
    if (!WriteTextFile(fresh, {std::to_string(count)}, true) || std::rename(fresh.c_str(), path.c_str()) != 0) {
        std::remove(fresh.c_str());
    }
}

bool CSMTPSend::WriteReport(bool recipientRejected, const std::vector<std::string>& remaining,
                            const std::string& note) {
    if (!MayReportTo(sender_)) {
        // A report about a report (or a bounce) would go nowhere or travel for ever.
        if (remaining.empty()) {
            std::rename(workPath_.c_str(), WithSuffix(workPath_, ".old").c_str());
            std::remove(WithSuffix(workPath_, kStallCountSuffix).c_str());
        } else {
            ReplaceEnvelope(remaining);
        }
        WriteLogLine("SMTP send: the relay refused " +
                     std::string(EqualsNoCase(sender_, kReportSender) ? "failure report " : "bounce ") + CurrentName() +
                     "; no report is written about it. Its text stays in " + messagePath_ + " for the postmaster.");
        return false;
    }
    FailureReport report;
    report.workPath = workPath_;
    report.messagePath = messagePath_;
    report.sender = sender_;
    report.recipientRejected = recipientRejected;
    report.transcript = &transcript_;
    report.note = note;
    report.remaining = remaining;
    std::string error;
    if (WriteFailureReport(report, error)) {
        ++totals_.reported;
        if (remaining.empty()) std::remove(WithSuffix(workPath_, kStallCountSuffix).c_str());
        return true;
    }
    const bool accepted = fate_ == Fate::Delivered;
    if (accepted) {
        // The relay has the message for its other recipients: it must not go again.
        std::rename(workPath_.c_str(), WithSuffix(workPath_, ".old").c_str());
    }
    WriteLogLine("SMTP send could not write the failure report for <" + sender_ + "> about message " + CurrentName() +
                 " (" + error + "). " +
                 (accepted ? "The relay took the message for its other recipients; its text stays in " + messagePath_ + "."
                           : std::string("The message stays queued for the next run.")) +
                 " Free disk space or fix the permissions of the inbox folder.");
    return false;
}

}  // namespace pv
