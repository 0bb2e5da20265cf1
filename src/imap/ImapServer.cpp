#include "imap/ImapServer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <strings.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"
#include "imap/ImapMime.h"
#include "net/LanTls.h"
#include "net/RelayNets.h"
#include "auth/LoginThrottle.h"
#include "auth/Passwords.h"
#include "platform/DirectoryWatch.h"
#include "smtp/SmtpServer.h"

namespace pv {

using imap::CImapAccount;
using imap::MessageState;
using imap::Token;

namespace {

std::mutex g_countMutex;
int g_liveCount = 0;
std::mutex g_accountMutex;
std::map<std::string, int> g_accountSessions;
std::atomic<unsigned> g_appendCounter{0};


enum StateBits : unsigned {
    kInNotAuth = 1u << CImapServer::kNotAuthenticated,
    kInAuth = 1u << CImapServer::kAuthenticated,
    kInSelected = 1u << CImapServer::kSelected,
    kInAny = kInNotAuth | kInAuth | kInSelected,
    kInLoggedIn = kInAuth | kInSelected,
};

// Every fixed text the conversation sends or logs.
namespace text {
constexpr const char* kGreeting = "* OK [CAPABILITY %s] %s IMAP server ready (running Postvane)";
constexpr const char* kBye = "* BYE logging out";
constexpr const char* kUnknown = "BAD unknown command";
constexpr const char* kWrongState = "BAD %s is not allowed now";
constexpr const char* kSyntax = "BAD the arguments of %s are not understood";
constexpr const char* kTooLong = "BAD [TOOBIG] command too long: at most %zu characters and %zu literals";
constexpr const char* kLiteralTooBig = "NO [TOOBIG] the literal is too large: at most %llu octets";
constexpr const char* kContinue = "+ Ready for literal data";
constexpr const char* kPrivacy = "NO [PRIVACYREQUIRED] log in after STARTTLS (or on the implicit-TLS port)";
constexpr const char* kAuthFailed = "NO [AUTHENTICATIONFAILED] invalid user name or password";
constexpr const char* kLogAuthFailed = "IMAP login failed for mailbox %s from [%s]";
constexpr const char* kTooManyFailures = "* BYE too many failed logins; closing the connection";
constexpr const char* kLogTooManyFailures = "IMAP server closed the connection from [%s] after %d failed logins";
constexpr const char* kTooManySessions =
    "NO [LIMIT] this mailbox already has %d connections; close one of them and try again";
constexpr const char* kUnavailable = "NO [UNAVAILABLE] the mailbox cannot be opened now; try again later";
constexpr const char* kLoggedIn = "OK [CAPABILITY %s] logged in";
constexpr const char* kMechanism = "NO only AUTHENTICATE PLAIN is offered";
constexpr const char* kAuthCancelled = "BAD authentication cancelled";
constexpr const char* kBeginTls = "OK Begin TLS negotiation now";
constexpr const char* kNoFolder = "NO [NONEXISTENT] no such folder";
constexpr const char* kTryCreate = "NO [TRYCREATE] no such folder";
constexpr const char* kReadOnly = "NO [READ-ONLY] the folder is selected read-only";
constexpr const char* kFolderError = "NO [SERVERBUG] the folder could not be updated; try again later";
constexpr const char* kLogFolderError = "IMAP server: %s. Check the mailbox folder's permissions and free space.";
constexpr const char* kInvalidName =
    "NO [CANNOT] folder names are printable ASCII, at most %zu bytes, with no \\, *, %% or empty, \".\" or \"..\" step";
constexpr const char* kFull = "NO [LIMIT] a mailbox holds at most %zu folders";
constexpr const char* kExists = "NO [ALREADYEXISTS] that folder exists";
constexpr const char* kInboxFixed = "NO [CANNOT] INBOX cannot be deleted or renamed";
constexpr const char* kExpunged = "NO [EXPUNGEISSUED] some of the messages were deleted meanwhile";
constexpr const char* kTooManyKeywords = "NO [LIMIT] a folder holds at most %zu keywords";
constexpr const char* kAppendFailed = "NO [SERVERBUG] the message could not be stored; try again later";
constexpr const char* kDone = "OK %s completed";
constexpr const char* kIdling = "+ idling";
constexpr const char* kCapabilities =
    "IMAP4rev1 IMAP4rev2 LITERAL+ IDLE UIDPLUS MOVE SPECIAL-USE NAMESPACE ENABLE ID UNSELECT CHILDREN SASL-IR";
}  // namespace text

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A name from the network as it may appear in a log line.
std::string Printable(std::string s) {
    for (auto& c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return s;
}

// A string argument: an atom, a quoted string or a literal.
bool AString(const Token& t, std::string& out) {
    if (t.kind == Token::kList) return false;
    out = t.text;
    return true;
}

std::string InternalDate(int64_t when) {
    const time_t t = static_cast<time_t>(when);
    struct tm tm {};
    gmtime_r(&t, &tm);
    return Format("\"%02d-%s-%04d %02d:%02d:%02d +0000\"", tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// "1-Feb-1994" as days since 1970; -1 when malformed.
long SearchDay(const std::string& text) {
    int day = 0, year = 0;
    char month[4] = {};
    if (std::sscanf(text.c_str(), "%2d-%3s-%4d", &day, month, &year) != 3) return -1;
    int m = -1;
    for (int i = 0; i < 12; ++i) {
        if (strcasecmp(month, kMonths[i]) == 0) m = i;
    }
    if (m < 0 || day < 1 || day > 31 || year < 1900) return -1;
    struct tm tm {};
    tm.tm_mday = day;
    tm.tm_mon = m;
    tm.tm_year = year - 1900;
    return static_cast<long>(timegm(&tm) / 86400);
}

// APPEND's "dd-Mon-yyyy hh:mm:ss +zzzz"; -1 when malformed.
int64_t AppendDate(const std::string& text) {
    int day = 0, year = 0, h = 0, mi = 0, s = 0, zone = 0;
    char month[4] = {};
    char sign = '+';
    if (std::sscanf(text.c_str(), "%2d-%3s-%4d %2d:%2d:%2d %c%4d", &day, month, &year, &h, &mi, &s, &sign, &zone) != 8) {
        return -1;
    }
    const long days = SearchDay(Format("%d-%s-%d", day, month, year));
    if (days < 0 || h > 23 || mi > 59 || s > 60) return -1;
    const int64_t offset = (zone / 100 * 60 + zone % 100) * 60;
    return static_cast<int64_t>(days) * 86400 + h * 3600 + mi * 60 + s - (sign == '-' ? -offset : offset);
}

bool IsSystemFlag(const std::string& upper, uint8_t& bit) {
    static const struct {
        const char* name;
        uint8_t bit;
    } kFlags[] = {{"\\SEEN", imap::kSeen}, {"\\ANSWERED", imap::kAnswered}, {"\\FLAGGED", imap::kFlagged},
                  {"\\DELETED", imap::kDeleted}, {"\\DRAFT", imap::kDraft}};
    for (const auto& f : kFlags) {
        if (upper == f.name) {
            bit = f.bit;
            return true;
        }
    }
    return false;
}

// A flag list (or one flag): system flags as bits, keywords as atoms. False when malformed.
bool ParseFlags(const Token& t, uint8_t& bits, std::vector<std::string>& keywords) {
    std::vector<Token> one;
    const std::vector<Token>* list = &t.items;
    if (t.kind != Token::kList) {
        one.push_back(t);
        list = &one;
    }
    for (const auto& f : *list) {
        if (f.kind != Token::kAtom || f.text.empty()) return false;
        uint8_t bit = 0;
        if (f.text[0] == '\\') {
            if (!IsSystemFlag(Upper(f.text), bit)) {
                if (Upper(f.text) == "\\RECENT") continue;
                return false;
            }
            bits |= bit;
            continue;
        }
        if (f.text.size() > imap::CFolder::kMaxKeywordLength) return false;
        for (unsigned char c : f.text) {
            if (c <= 0x20 || c >= 0x7F || std::strchr("(){%*\"\\]", c)) return false;
        }
        if (std::find(keywords.begin(), keywords.end(), f.text) == keywords.end()) keywords.push_back(f.text);
    }
    return true;
}

// The header's fields, unfolded: name (as written) and value.
std::vector<std::pair<std::string, std::string>> HeaderFields(const std::string& header) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        if (end == std::string::npos) end = header.size();
        std::string line = header.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        if ((line[0] == ' ' || line[0] == '\t') && !fields.empty()) {
            fields.back().second += line;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        const size_t first = value.find_first_not_of(" \t");
        fields.emplace_back(line.substr(0, colon), first == std::string::npos ? "" : value.substr(first));
    }
    return fields;
}

std::string FieldValue(const std::vector<std::pair<std::string, std::string>>& fields, const char* name) {
    for (const auto& [n, v] : fields) {
        if (strcasecmp(n.c_str(), name) == 0) return v;
    }
    return "";
}

std::string NString(const std::string& s) { return s.empty() ? "NIL" : imap::Quote(s); }

// An address list as ENVELOPE gives it: ((name NIL mailbox host) ...), NIL when empty.
std::string AddressList(const std::string& value) {
    std::vector<std::string> parts;
    std::string current;
    int angle = 0, paren = 0;
    bool quoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (quoted) {
            if (c == '\\' && i + 1 < value.size()) current.push_back(value[++i]);
            else if (c == '"') quoted = false;
            else current.push_back(c);
            continue;
        }
        if (c == '"') quoted = true;
        else if (c == '<') ++angle, current.push_back(c);
        else if (c == '>') angle = std::max(0, angle - 1), current.push_back(c);
        else if (c == '(') ++paren;
        else if (c == ')') paren = std::max(0, paren - 1);
        else if (paren > 0) continue;
        else if ((c == ',' || c == ';') && angle == 0) parts.push_back(current), current.clear();
        else current.push_back(c);
    }
    parts.push_back(current);
    std::string out;
    for (auto& p : parts) {
        const size_t colon = p.find(':');
        if (colon != std::string::npos && p.find('<') == std::string::npos) p = p.substr(colon + 1);  // a group name
        std::string name, address;
        const size_t lt = p.find('<');
        if (lt != std::string::npos) {
            name = p.substr(0, lt);
            const size_t gt = p.find('>', lt);
            address = p.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
        } else {
            address = p;
        }
        auto trim = [](std::string& s) {
            const size_t b = s.find_first_not_of(" \t");
            const size_t e = s.find_last_not_of(" \t");
            s = b == std::string::npos ? "" : s.substr(b, e - b + 1);
        };
        trim(name);
        trim(address);
        if (address.empty()) continue;
        const size_t at = address.rfind('@');
        const std::string mailbox = at == std::string::npos ? address : address.substr(0, at);
        const std::string host = at == std::string::npos ? "" : address.substr(at + 1);
        out += "(" + NString(name) + " NIL " + NString(mailbox) + " " + NString(host) + ")";
    }
    return out.empty() ? "NIL" : "(" + out + ")";
}

// Matches a LIST pattern: "*" anything, "%" anything but the separator.
bool Matches(std::string_view pattern, std::string_view name) {
    if (pattern.empty()) return name.empty();
    if (pattern[0] == '*' || pattern[0] == '%') {
        for (size_t i = 0; i <= name.size(); ++i) {
            if (Matches(pattern.substr(1), name.substr(i))) return true;
            if (i < name.size() && pattern[0] == '%' && name[i] == CImapAccount::kSeparator) return false;
        }
        return false;
    }
    if (name.empty()) return false;
    const bool same = pattern[0] == name[0];
    return same && Matches(pattern.substr(1), name.substr(1));
}

bool ContainsNoCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return true;
    auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != haystack.end();
}

}  // namespace

// --- the command table ---------------------------------------------------------------------

struct CImapServer::Command {
    std::string tag;
    std::string word;
    std::vector<Token> args;
    bool uid = false;
};

struct CImapServer::CommandEntry {
    const char* name;
    Handler handler;
    unsigned states;
};

struct CImapServer::FetchItem {
    enum Kind { kFlags, kUid, kSize, kDate, kEnvelope, kStructure, kBody } kind = kFlags;
    enum Section { kAll, kHeader, kText, kFields, kFieldsNot, kPart, kMime } section = kAll;
    std::vector<std::string> fields;
    std::string part;  // "1.2" for kPart and kMime
    bool peek = false;
    bool partial = false;
    uint64_t start = 0;
    uint64_t count = 0;
    std::string name;  // as the answer names it
};

struct CImapServer::FetchJob {
    std::string tag;
    std::string word;
    std::vector<FetchItem> items;
    std::vector<size_t> indices;
    size_t next = 0;
    bool uid = false;
    bool missing = false;
};

CImapServer::CImapServer() {
    tls_ = net::LanTlsContext();
    uint32_t limit = 0;
    maxMessageSize_ = CRegistryKey("AdvCon", false).ReadInt("MaxMessageSize", limit) && limit != 0
                          ? limit
                          : CSMTPServer::kDefaultMaxMessageSize;  // one limit for every way mail comes in
    std::lock_guard lock(g_countMutex);
    ++g_liveCount;
    Events().Signal(NamedEvent::ImapServer);  // the status window's IMAP row
}

CImapServer::~CImapServer() {
    StopIdleWatch();
    CancelAppend();
    for (auto& item : out_) {
        if (item.fd >= 0) ::close(item.fd);
    }
    std::lock_guard lock(g_countMutex);
    if (--g_liveCount == 0) Events().Reset(NamedEvent::ImapServer);
}

int CImapServer::LiveCount() {
    std::lock_guard lock(g_countMutex);
    return g_liveCount;
}

// --- socket events -------------------------------------------------------------------------

void CImapServer::OnSend() {
    if (state_ == kGreeting) {
        unsigned port = 0;
        GetPeerName(peer_, port);
        relayClient_ = AddressInNets(peer_, RelayNets());
        std::string domain = PrimaryDomain();
        if (domain.empty()) domain = "localhost";
        Send(Format(text::kGreeting, CapabilityText().c_str(), domain.c_str()) + "\r\n");
        SetTimeout(ReadTimeoutSeconds("ImapTimeout", kDefaultTimeout));
        const int on = 1;
        ::setsockopt(Socket(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        state_ = kNotAuthenticated;
    }
    Pump();
}

void CImapServer::OnReceive() {
    readDeferred_ = true;
    if (state_ != kGreeting) Pump();
}

void CImapServer::OnClose() { net::CSocketThread::Close(true); }

void CImapServer::OnTimeout() {
    WriteLogLine(TimeoutLine("IMAP"));
    Send("* BYE idle for too long\r\n");
    CloseWhenSent();
}

void CImapServer::OnSessionLimit() {
    if (out_.empty() && !fetch_) SendBytes("* BYE [UNAVAILABLE] this connection reached its time limit; reconnect\r\n");
    closing_ = true;
    net::CSocketThread::OnSessionLimit();
}

void CImapServer::OnThreadMessage(const net::ThreadMessage& msg) {
    if (msg.message == kWmLoginDelayOver && loginWaiting_) {
        loginWaiting_ = false;
        if (loginFailures_ >= kMaxLoginFailures) {
            Send(std::string(text::kTooManyFailures) + "\r\n");
            WriteLogLine(Format(text::kLogTooManyFailures, peer_.c_str(), loginFailures_));
            closing_ = true;
            CloseWhenSent();
            return;
        }
        Send(pendingReply_);
        pendingReply_.clear();
        Pump();
    } else if (msg.message == kWmFolderChanged && waiting_ == Waiting::IdleDone && folder_) {
        Sync(true);
    }
}

// --- input ---------------------------------------------------------------------------------

void CImapServer::Pump() {
    if (pumping_) return;
    pumping_ = true;
    while (Socket() != net::kInvalidSocket && !closing_) {
        if (!ContinueOutput()) break;  // the socket is full: OnSend goes on
        if (loginWaiting_) break;
        if (inpos_ < inbuf_.size()) {
            if (!FeedInput()) break;
            continue;
        }
        inbuf_.clear();
        inpos_ = 0;
        if (readDeferred_) {
            readDeferred_ = false;
            if (ReadInput()) continue;
        }
        break;
    }
    pumping_ = false;
}

bool CImapServer::ReadInput() {
    inbuf_.resize(kReceiveSize);
    const int n = Receive(inbuf_.data(), kReceiveSize);
    inbuf_.resize(n > 0 ? static_cast<size_t>(n) : 0);
    inpos_ = 0;
    return n > 0;
}

bool CImapServer::FeedInput() {
    std::string_view input(inbuf_);
    input.remove_prefix(inpos_);
    const auto event = reader_.Next(input);
    inpos_ = inbuf_.size() - input.size();
    switch (event) {
        case imap::CImapReader::Event::NeedMore: return true;
        case imap::CImapReader::Event::Command: Execute(); return true;
        case imap::CImapReader::Event::Literal: OnLiteral(); return true;
        case imap::CImapReader::Event::Bytes: {
            const std::string_view chunk = reader_.Chunk();
            appendSize_ += chunk.size();
            size_t done = 0;
            while (appendFd_ >= 0 && !appendFailed_ && done < chunk.size()) {
                const ssize_t w = ::write(appendFd_, chunk.data() + done, chunk.size() - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    WriteLogLine(Format(text::kLogFolderError, ("cannot write " + appendTemp_ + ": " + std::strerror(errno)).c_str()));
                    appendFailed_ = true;
                    break;
                }
                done += static_cast<size_t>(w);
            }
            return true;
        }
        case imap::CImapReader::Event::StreamEnd: return true;
        case imap::CImapReader::Event::TooLong: {
            std::string tag, word;
            size_t rest = 0;
            const bool tagged = imap::SplitCommand(reader_.Text(), tag, word, rest);
            Send((tagged ? tag : "*") + " " +
                 Format(text::kTooLong, imap::CImapReader::kMaxCommandText, imap::CImapReader::kMaxLiterals) + "\r\n");
            CancelAppend();
            if (!reader_.Stopped()) return true;
            closing_ = true;
            CloseWhenSent();
            return false;
        }
    }
    return true;
}

// A literal is announced: APPEND's message goes to a file (up to the message size limit), a
// small literal into memory, anything else is refused. A refused literal the client sends
// anyway (LITERAL+) cannot be told from commands, so that ends the conversation.
void CImapServer::OnLiteral() {
    std::string tag, word;
    size_t rest = 0;
    imap::SplitCommand(reader_.Text(), tag, word, rest);
    const uint64_t size = reader_.LiteralSize();
    bool stream = false;
    if (word == "APPEND" && (state_ == kAuthenticated || state_ == kSelected) && appendFd_ < 0) {
        // The message is the literal after at least the folder name.
        std::vector<Token> before;
        const std::string& t = reader_.Text();
        const size_t marker = t.rfind('{');
        stream = imap::ParseArguments(std::string_view(t).substr(0, marker), rest, reader_.Literals(), before) &&
                 !before.empty();
    }
    const uint64_t limit = stream ? maxMessageSize_ : imap::CImapReader::kMaxMemoryLiteral;
    if (size > limit || (!stream && waiting_ != Waiting::None)) {
        Send(tag + " " + Format(text::kLiteralTooBig, static_cast<unsigned long long>(limit)) + "\r\n");
        const bool nonSync = reader_.NonSync();
        reader_.RefuseLiteral();
        if (nonSync) {
            closing_ = true;
            CloseWhenSent();
        }
        return;
    }
    if (stream) {
        appendTemp_ = JoinPath(account_->TempDir(), Format("a%d-%u.tmp", static_cast<int>(::getpid()), ++g_appendCounter));
        appendFd_ = ::open(appendTemp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        appendSize_ = 0;
        appendFailed_ = appendFd_ < 0;
        if (appendFailed_) {
            WriteLogLine(Format(text::kLogFolderError, ("cannot create " + appendTemp_ + ": " + std::strerror(errno)).c_str()));
        }
        reader_.StreamLiteral();
    } else {
        reader_.TakeLiteral();
    }
    if (!reader_.NonSync()) Send(std::string(text::kContinue) + "\r\n");
}

void CImapServer::CancelAppend() {
    if (appendFd_ >= 0) ::close(appendFd_);
    appendFd_ = -1;
    if (!appendTemp_.empty()) ::unlink(appendTemp_.c_str());
    appendTemp_.clear();
    appendFailed_ = false;
}

// What the conversation does for each command, and in which states.
const CImapServer::CommandEntry* CImapServer::LookUpCommand(const std::string& word) {
    static constexpr CommandEntry kCommandTable[] = {
    {"CAPABILITY", &CImapServer::Capability, kInAny},
    {"NOOP", &CImapServer::Noop, kInAny},
    {"LOGOUT", &CImapServer::Logout, kInAny},
    {"ID", &CImapServer::Id, kInAny},
    {"STARTTLS", &CImapServer::StartTls, kInNotAuth},
    {"LOGIN", &CImapServer::Login, kInNotAuth},
    {"AUTHENTICATE", &CImapServer::Authenticate, kInNotAuth},
    {"ENABLE", &CImapServer::Enable, kInLoggedIn},
    {"NAMESPACE", &CImapServer::Namespace, kInLoggedIn},
    {"SELECT", &CImapServer::Select, kInLoggedIn},
    {"EXAMINE", &CImapServer::Select, kInLoggedIn},
    {"CREATE", &CImapServer::Create, kInLoggedIn},
    {"DELETE", &CImapServer::Delete, kInLoggedIn},
    {"RENAME", &CImapServer::Rename, kInLoggedIn},
    {"SUBSCRIBE", &CImapServer::Subscribe, kInLoggedIn},
    {"UNSUBSCRIBE", &CImapServer::Subscribe, kInLoggedIn},
    {"LIST", &CImapServer::List, kInLoggedIn},
    {"LSUB", &CImapServer::List, kInLoggedIn},
    {"STATUS", &CImapServer::Status, kInLoggedIn},
    {"APPEND", &CImapServer::Append, kInLoggedIn},
    {"IDLE", &CImapServer::Idle, kInLoggedIn},
    {"CHECK", &CImapServer::Check, kInSelected},
    {"CLOSE", &CImapServer::CloseFolder, kInSelected},
    {"UNSELECT", &CImapServer::Unselect, kInSelected},
    {"EXPUNGE", &CImapServer::Expunge, kInSelected},
    {"SEARCH", &CImapServer::Search, kInSelected},
    {"FETCH", &CImapServer::Fetch, kInSelected},
    {"STORE", &CImapServer::Store, kInSelected},
    {"COPY", &CImapServer::Copy, kInSelected},
    {"MOVE", &CImapServer::Copy, kInSelected},
    {"UID", &CImapServer::Uid, kInSelected},
    };
    for (const auto& e : kCommandTable) {
        if (word == e.name) return &e;
    }
    return nullptr;
}

void CImapServer::Execute() {
    const std::string line = reader_.Text();
    std::vector<std::string> literals = reader_.Literals();
    reader_.Reset();
    if (waiting_ == Waiting::AuthResponse) {
        waiting_ = Waiting::None;
        FinishAuthenticate(line);
        return;
    }
    if (waiting_ == Waiting::IdleDone) {
        if (Upper(line) == "DONE") {
            waiting_ = Waiting::None;
            StopIdleWatch();
            Send(waitingTag_ + " " + Format(text::kDone, "IDLE") + "\r\n");
        } else {
            Send("* BAD expected DONE\r\n");
        }
        return;
    }
    Command c;
    size_t rest = 0;
    const bool split = imap::SplitCommand(line, c.tag, c.word, rest);
    if (!split) {
        CancelAppend();
        Send((c.tag.empty() || c.tag.find_first_of("(){%*\"\\+") != std::string::npos ? std::string("*") : c.tag) +
             " BAD a command is a tag, a command name and its arguments\r\n");
        return;
    }
    const CommandEntry* entry = LookUpCommand(c.word);
    if (!entry) {
        CancelAppend();
        Tagged(c, "", text::kUnknown);
        return;
    }
    if ((entry->states & (1u << state_)) == 0) {
        CancelAppend();
        Tagged(c, "", Format(text::kWrongState, c.word.c_str()));
        return;
    }
    if (!imap::ParseArguments(line, rest, literals, c.args)) {
        CancelAppend();
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    // What others changed meanwhile goes out just before the tagged answer (see Tagged); FETCH,
    // STORE and SEARCH by number report no expunges, since the client's numbers must hold.
    syncBeforeTagged_ = true;
    syncExpunges_ = c.uid || (c.word != "FETCH" && c.word != "STORE" && c.word != "SEARCH");
    (this->*entry->handler)(c);
    syncBeforeTagged_ = false;
    CancelAppend();  // a message streamed for a command that did not take it
}

// --- output --------------------------------------------------------------------------------

void CImapServer::Send(std::string_view text) {
    if (!out_.empty() || fetch_) {
        out_.push_back({std::string(text)});
        return;
    }
    SendBytes(text);
}

void CImapServer::Untagged(std::string_view text) { Send("* " + std::string(text) + "\r\n"); }

void CImapServer::Tagged(const Command& c, std::string_view status, std::string_view text) {
    if (syncBeforeTagged_) {
        syncBeforeTagged_ = false;
        if (state_ == kSelected) Sync(syncExpunges_);
    }
    std::string line = c.tag + " ";
    if (!status.empty()) line.append(status).append(" ");
    line.append(text).append("\r\n");
    Send(line);
}

bool CImapServer::ContinueOutput() {
    while (!OutputBlocked()) {
        if (out_.empty()) {
            if (!fetch_) return true;
            if (fetch_->next < fetch_->indices.size()) {
                BuildFetch(*fetch_, fetch_->indices[fetch_->next++]);
                continue;
            }
            std::unique_ptr<FetchJob> job = std::move(fetch_);
            const std::string done = job->missing ? text::kExpunged : Format(text::kDone, job->word.c_str());
            SendBytes(job->tag + " " + done + "\r\n");
            continue;
        }
        OutItem& item = out_.front();
        if (item.fd < 0) {
            SendBytes(item.bytes);
            out_.pop_front();
            continue;
        }
        if (!SendFilePiece(item)) {
            closing_ = true;
            net::CSocketThread::Close(true);
            return false;
        }
        if (item.left == 0) {
            ::close(item.fd);
            out_.pop_front();
        }
    }
    return false;
}

// Appends what is left of [data, data+size) after the octets still to be skipped, up to the
// octets still promised.
void CImapServer::EmitPiece(OutItem& item, std::string& out, const char* data, size_t size) {
    const size_t skipped = std::min<size_t>(size, item.skip);
    item.skip -= skipped;
    data += skipped;
    size -= skipped;
    const size_t taken = std::min<size_t>(size, item.left);
    out.append(data, taken);
    item.left -= taken;
}

// A piece of a message as IMAP sends it: every bare LF becomes CR LF. The octets before `skip`
// are read and dropped (a section that starts after the header).
bool CImapServer::SendFilePiece(OutItem& item) {
    char buffer[kOutputBatch];
    std::string out;
    out.reserve(kOutputBatch + 64);
    bool lastCR = item.bytes == "\r";  // carried across pieces
    while (out.size() < kOutputBatch && item.left > 0) {
        const ssize_t n = ::read(item.fd, buffer, sizeof buffer / 2);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            WriteLogLine(Format(text::kLogFolderError, ("cannot read " + item.path + " while sending it").c_str()) );
            return false;  // the promised octets cannot be sent: the client must not take a short message
        }
        // Runs between line feeds are copied whole; only at a LF is a CR added where missing.
        const char* p = buffer;
        const char* const end = buffer + n;
        while (p < end && item.left > 0) {
            const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* runEnd = lf ? lf : end;
            if (runEnd > p) {
                EmitPiece(item, out, p, static_cast<size_t>(runEnd - p));
                lastCR = runEnd[-1] == '\r';
            }
            if (!lf) break;
            if (!lastCR) EmitPiece(item, out, "\r", 1);
            EmitPiece(item, out, "\n", 1);
            lastCR = false;
            p = lf + 1;
        }
    }
    item.bytes = lastCR ? "\r" : "";
    return out.empty() || SendBytes(out);
}

// --- any state -----------------------------------------------------------------------------

std::string CImapServer::CapabilityText() const {
    std::string caps = text::kCapabilities;
    if (state_ <= kNotAuthenticated) {
        if (tls_ && !IsTls()) caps += " STARTTLS";
        caps += LoginAllowed() ? " AUTH=PLAIN" : " LOGINDISABLED";
    }
    return caps;
}

bool CImapServer::LoginAllowed() const { return IsTls() || relayClient_; }

void CImapServer::Capability(Command& c) {
    Untagged("CAPABILITY " + CapabilityText());
    Tagged(c, "", Format(text::kDone, "CAPABILITY"));
}

void CImapServer::Noop(Command& c) { Tagged(c, "", Format(text::kDone, c.word.c_str())); }

void CImapServer::Logout(Command& c) {
    Send(std::string(text::kBye) + "\r\n");
    Tagged(c, "", Format(text::kDone, "LOGOUT"));
    Deselect();
    state_ = kLogout;
    closing_ = true;
    CloseWhenSent();
}

void CImapServer::Id(Command& c) {
    Untagged("ID (\"name\" \"Postvane\" \"version\" \"1.0\")");
    Tagged(c, "", Format(text::kDone, "ID"));
}

void CImapServer::StartTls(Command& c) {
    if (!tls_ || IsTls()) {
        Tagged(c, "", text::kUnknown);
        return;
    }
    Tagged(c, "", text::kBeginTls);
    // Whatever the client sent along with STARTTLS was sent in plain text: it is dropped.
    inbuf_.clear();
    inpos_ = 0;
    reader_.Reset();
    if (!StartTlsServer(tls_)) net::CSocketThread::Close(true);
}

void CImapServer::Login(Command& c) {
    std::string user, password;
    if (c.args.size() != 2 || !AString(c.args[0], user) || !AString(c.args[1], password)) {
        Tagged(c, "", Format(text::kSyntax, "LOGIN"));
        return;
    }
    if (!LoginAllowed()) {
        Tagged(c, "", text::kPrivacy);
        return;
    }
    TryLogin(user, password, c.tag);
}

void CImapServer::Authenticate(Command& c) {
    if (c.args.empty() || !c.args[0].IsAtom("PLAIN")) {
        Tagged(c, "", text::kMechanism);
        return;
    }
    if (!LoginAllowed()) {
        Tagged(c, "", text::kPrivacy);
        return;
    }
    waitingTag_ = c.tag;
    if (c.args.size() >= 2) {
        FinishAuthenticate(c.args[1].text == "=" ? "" : c.args[1].text);
        return;
    }
    waiting_ = Waiting::AuthResponse;
    Send("+ \r\n");
}

void CImapServer::FinishAuthenticate(const std::string& response) {
    Command c;
    c.tag = waitingTag_;
    if (response == "*") {
        Tagged(c, "", text::kAuthCancelled);
        return;
    }
    std::string decoded;
    if (!net::Base64Decode(response, decoded)) {
        Tagged(c, "", "BAD the response is not base64");
        return;
    }
    // authzid NUL authcid NUL password; an authzid other than the user's own is refused.
    const size_t a = decoded.find('\0');
    const size_t b = a == std::string::npos ? a : decoded.find('\0', a + 1);
    if (b == std::string::npos) {
        Tagged(c, "", "BAD the PLAIN response needs a user and a password");
        return;
    }
    const std::string authz = decoded.substr(0, a), user = decoded.substr(a + 1, b - a - 1);
    if (!authz.empty() && Lower(authz) != Lower(user)) {
        LoginFailed(user);
        pendingReply_ = c.tag + " " + text::kAuthFailed + "\r\n";
        return;
    }
    TryLogin(user, decoded.substr(b + 1), c.tag);
}

void CImapServer::TryLogin(const std::string& typedUser, const std::string& password, const std::string& tag) {
    const std::string user = Lower(typedUser);
    CMailbox box;
    auto& throttle = auth::CLoginThrottle::Shared();
    // An address that failed too often is refused as a wrong password is, whatever it sends.
    // Robot and list mailboxes take no logins; a name that could leave its folder is nobody's;
    // a password that is still the mailbox's name counts only from the office's networks.
    if (throttle.Refused(peer_) || !IsSafeMailboxName(user) || !box.Open(user) || box.Type() != kMailboxUser ||
        auth::LoginBarFor(box.IsRobot(), box.PasswordIsName(), relayClient_) != auth::LoginBar::None ||
        !box.CheckPassword(password)) {
        LoginFailed(user);
        pendingReply_ = tag + " " + text::kAuthFailed + "\r\n";
        return;
    }
    Command c;
    c.tag = tag;
    {
        std::lock_guard lock(g_accountMutex);
        int& sessions = g_accountSessions[box.Name()];
        if (sessions >= kMaxSessionsPerAccount) {
            Tagged(c, "", Format(text::kTooManySessions, kMaxSessionsPerAccount));
            return;
        }
        ++sessions;
    }
    const std::string name = box.Name();
    accountSlot_ = std::shared_ptr<void>(nullptr, [name](void*) {
        std::lock_guard lock(g_accountMutex);
        if (--g_accountSessions[name] <= 0) g_accountSessions.erase(name);
    });
    auto account = std::make_unique<CImapAccount>(box.Directory());
    std::string error;
    if (box.Directory().empty() || !account->Prepare(&error)) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        accountSlot_.reset();
        Tagged(c, "", text::kUnavailable);
        return;
    }
    throttle.Succeeded(peer_);
    user_ = name;
    mailboxDir_ = box.Directory();
    account_ = std::move(account);
    state_ = kAuthenticated;
    Tagged(c, "", Format(text::kLoggedIn, CapabilityText().c_str()));
}

// Every failed login passes here: the log line, the pause before the answer (which doubles
// with each failure), and the end of the conversation after kMaxLoginFailures.
void CImapServer::LoginFailed(const std::string& user) {
    // Counted now, before the pause, on the counter every login surface shares.
    auth::CLoginThrottle::Shared().Failed(peer_, "IMAP");
    WriteLogLine(Format(text::kLogAuthFailed, Printable(user).c_str(), peer_.c_str()));
    ++loginFailures_;
    loginWaiting_ = true;
    const auto delay = kLoginDelay * (1 << std::min(loginFailures_ - 1, 10));
    if (!StartLoginDelay(delay)) {
        closing_ = true;
        CloseWhenSent();
    }
}

bool CImapServer::StartLoginDelay(std::chrono::milliseconds delay) {
    try {
        std::thread([handle = Handle(), delay] {
            std::this_thread::sleep_for(delay);
            handle.PostThreadMessage(kWmLoginDelayOver);
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// --- authenticated -------------------------------------------------------------------------

void CImapServer::Enable(Command& c) {
    std::string enabled;
    for (const auto& t : c.args) {
        if (t.IsAtom("IMAP4REV2")) {
            rev2_ = true;
            enabled = " IMAP4rev2";
        }
    }
    Untagged("ENABLED" + enabled);
    Tagged(c, "", Format(text::kDone, "ENABLE"));
}

void CImapServer::Namespace(Command& c) {
    Untagged("NAMESPACE ((\"\" \"/\")) NIL NIL");
    Tagged(c, "", Format(text::kDone, "NAMESPACE"));
}

void CImapServer::Select(Command& c) {
    std::string name;
    if (c.args.size() != 1 || !AString(c.args[0], name)) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    const bool wasSelected = state_ == kSelected;
    Deselect();
    if (wasSelected && rev2_) Untagged("OK [CLOSED] the previous folder is closed");
    auto folder = account_->Open(name);
    std::string error;
    if (!folder) {
        Tagged(c, "", text::kNoFolder);
        return;
    }
    if (!folder->Refresh(&error)) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        Tagged(c, "", text::kUnavailable);
        return;
    }
    const imap::FolderState snap = folder->Snapshot();
    folder_ = folder;
    folderName_ = CImapAccount::IsInbox(name) ? "INBOX" : name;
    readOnly_ = c.word == "EXAMINE";
    uidValidity_ = snap.uidValidity;
    view_ = snap.messages;
    state_ = kSelected;
    std::vector<std::string> keywords;
    size_t unseen = 0;
    for (size_t i = 0; i < view_.size(); ++i) {
        for (const auto& k : view_[i].keywords) {
            if (std::find(keywords.begin(), keywords.end(), k) == keywords.end()) keywords.push_back(k);
        }
        if (!unseen && !(view_[i].flags & imap::kSeen)) unseen = i + 1;
    }
    std::string kw;
    for (const auto& k : keywords) kw += " " + k;
    Untagged("FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft" + kw + ")");
    Untagged(std::to_string(view_.size()) + " EXISTS");
    if (!rev2_) {
        Untagged("0 RECENT");
        if (unseen) Untagged("OK [UNSEEN " + std::to_string(unseen) + "] first unseen");
    }
    Untagged(readOnly_ ? "OK [PERMANENTFLAGS ()] read-only"
                       : "OK [PERMANENTFLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft" + kw + " \\*)] flags kept");
    Untagged("OK [UIDVALIDITY " + std::to_string(snap.uidValidity) + "] UIDs valid");
    Untagged("OK [UIDNEXT " + std::to_string(snap.uidNext) + "] next UID");
    Tagged(c, readOnly_ ? "OK [READ-ONLY]" : "OK [READ-WRITE]", c.word + " completed");
}

void CImapServer::Create(Command& c) {
    std::string name;
    if (c.args.size() < 1 || !AString(c.args[0], name)) {
        Tagged(c, "", Format(text::kSyntax, "CREATE"));
        return;
    }
    if (!name.empty() && name.back() == CImapAccount::kSeparator) name.pop_back();  // "a/" asks for a parent
    if (!CImapAccount::ValidName(name) && !CImapAccount::IsInbox(name)) {
        Tagged(c, "", Format(text::kInvalidName, CImapAccount::kMaxFolderName));
        return;
    }
    // Parents that do not exist yet are made first.
    CImapAccount::Result r = CImapAccount::Result::Ok;
    for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        const std::string parent = name.substr(0, slash);
        if (!account_->Exists(parent)) r = account_->Create(parent);
        if (r != CImapAccount::Result::Ok) break;
    }
    if (r == CImapAccount::Result::Ok) r = account_->Create(name);
    switch (r) {
        case CImapAccount::Result::Ok: Tagged(c, "", Format(text::kDone, "CREATE")); break;
        case CImapAccount::Result::Exists: Tagged(c, "", text::kExists); break;
        case CImapAccount::Result::Full: Tagged(c, "", Format(text::kFull, CImapAccount::kMaxFolders)); break;
        case CImapAccount::Result::Invalid: Tagged(c, "", Format(text::kInvalidName, CImapAccount::kMaxFolderName)); break;
        default: Tagged(c, "", text::kFolderError); break;
    }
}

void CImapServer::Delete(Command& c) {
    std::string name;
    if (c.args.size() != 1 || !AString(c.args[0], name)) {
        Tagged(c, "", Format(text::kSyntax, "DELETE"));
        return;
    }
    if (state_ == kSelected && name == folderName_) {
        Deselect();
        state_ = kAuthenticated;
    }
    switch (account_->Delete(name)) {
        case CImapAccount::Result::Ok: Tagged(c, "", Format(text::kDone, "DELETE")); break;
        case CImapAccount::Result::Refused: Tagged(c, "", text::kInboxFixed); break;
        case CImapAccount::Result::Missing: Tagged(c, "", text::kNoFolder); break;
        default: Tagged(c, "", text::kFolderError); break;
    }
}

void CImapServer::Rename(Command& c) {
    std::string from, to;
    if (c.args.size() != 2 || !AString(c.args[0], from) || !AString(c.args[1], to)) {
        Tagged(c, "", Format(text::kSyntax, "RENAME"));
        return;
    }
    switch (account_->Rename(from, to)) {
        case CImapAccount::Result::Ok:
            if (account_->Subscribe(from, false)) account_->Subscribe(to, true);
            Tagged(c, "", Format(text::kDone, "RENAME"));
            break;
        case CImapAccount::Result::Refused: Tagged(c, "", text::kInboxFixed); break;
        case CImapAccount::Result::Missing: Tagged(c, "", text::kNoFolder); break;
        case CImapAccount::Result::Exists: Tagged(c, "", text::kExists); break;
        case CImapAccount::Result::Invalid: Tagged(c, "", Format(text::kInvalidName, CImapAccount::kMaxFolderName)); break;
        default: Tagged(c, "", text::kFolderError); break;
    }
}

void CImapServer::Subscribe(Command& c) {
    std::string name;
    if (c.args.size() != 1 || !AString(c.args[0], name)) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    const bool on = c.word == "SUBSCRIBE";
    if (CImapAccount::IsInbox(name)) name = "INBOX";
    if (on && !account_->Exists(name)) {
        Tagged(c, "", text::kNoFolder);
        return;
    }
    if (!account_->Subscribe(name, on)) {
        Tagged(c, "", text::kFolderError);
        return;
    }
    Tagged(c, "", Format(text::kDone, c.word.c_str()));
}

// LIST [(selection)] reference pattern(s) [RETURN (options)], and LSUB reference pattern.
void CImapServer::List(Command& c) {
    size_t i = 0;
    bool subscribedOnly = c.word == "LSUB", specialOnly = false, showSubscribed = c.word == "LSUB";
    if (i < c.args.size() && c.args[i].kind == Token::kList && c.word == "LIST") {
        for (const auto& o : c.args[i].items) {
            if (o.IsAtom("SUBSCRIBED")) subscribedOnly = showSubscribed = true;
            if (o.IsAtom("SPECIAL-USE")) specialOnly = true;
        }
        ++i;
    }
    std::string reference;
    if (i + 2 > c.args.size() || !AString(c.args[i], reference)) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    std::vector<std::string> patterns;
    const Token& p = c.args[i + 1];
    if (p.kind == Token::kList) {
        for (const auto& t : p.items) patterns.push_back(t.text);
    } else {
        patterns.push_back(p.text);
    }
    for (size_t r = i + 2; r + 1 < c.args.size(); ++r) {
        if (c.args[r].IsAtom("RETURN") && c.args[r + 1].kind == Token::kList) {
            for (const auto& o : c.args[r + 1].items) {
                if (o.IsAtom("SUBSCRIBED")) showSubscribed = true;
            }
        }
    }
    if (patterns.size() == 1 && patterns[0].empty()) {
        Untagged(c.word + " (\\Noselect) \"/\" \"\"");
        Tagged(c, "", Format(text::kDone, c.word.c_str()));
        return;
    }
    const std::vector<std::string> names = account_->List();
    const std::vector<std::string> subscribed = account_->Subscriptions();
    for (const auto& name : names) {
        bool match = false;
        for (const auto& pattern : patterns) {
            const std::string full = reference + pattern;
            match = match || Matches(full, name) || (CImapAccount::IsInbox(full) && name == "INBOX");
        }
        if (!match) continue;
        const bool isSubscribed = std::find(subscribed.begin(), subscribed.end(), name) != subscribed.end();
        if (subscribedOnly && !isSubscribed) continue;
        const char* use = CImapAccount::SpecialUse(name);
        if (specialOnly && !*use) continue;
        bool children = false;
        for (const auto& other : names) {
            children = children || (other.size() > name.size() && other.compare(0, name.size(), name) == 0 &&
                                    other[name.size()] == CImapAccount::kSeparator);
        }
        std::string attributes = children ? "\\HasChildren" : "\\HasNoChildren";
        if (*use) attributes += std::string(" ") + use;
        if (showSubscribed && isSubscribed && c.word == "LIST") attributes += " \\Subscribed";
        Untagged(c.word + " (" + attributes + ") \"/\" " + imap::Quote(name));
    }
    Tagged(c, "", Format(text::kDone, c.word.c_str()));
}

void CImapServer::Status(Command& c) {
    std::string name;
    if (c.args.size() != 2 || !AString(c.args[0], name) || c.args[1].kind != Token::kList) {
        Tagged(c, "", Format(text::kSyntax, "STATUS"));
        return;
    }
    auto folder = account_->Open(name);
    std::string error;
    if (!folder) {
        Tagged(c, "", text::kNoFolder);
        return;
    }
    if (!folder->Refresh(&error)) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        Tagged(c, "", text::kUnavailable);
        return;
    }
    const imap::FolderState snap = folder->Snapshot();
    uint64_t unseen = 0, deleted = 0, size = 0;
    for (const auto& m : snap.messages) {
        unseen += !(m.flags & imap::kSeen);
        deleted += (m.flags & imap::kDeleted) != 0;
        size += m.size;
    }
    std::string items;
    for (const auto& t : c.args[1].items) {
        const std::string item = Upper(t.text);
        uint64_t value = 0;
        if (item == "MESSAGES") value = snap.messages.size();
        else if (item == "UIDNEXT") value = snap.uidNext;
        else if (item == "UIDVALIDITY") value = snap.uidValidity;
        else if (item == "UNSEEN") value = unseen;
        else if (item == "DELETED") value = deleted;
        else if (item == "SIZE") value = size;
        else if (item == "RECENT") value = 0;
        else {
            Tagged(c, "", Format(text::kSyntax, "STATUS"));
            return;
        }
        items += (items.empty() ? "" : " ") + item + " " + std::to_string(value);
    }
    Untagged("STATUS " + imap::Quote(CImapAccount::IsInbox(name) ? "INBOX" : name) + " (" + items + ")");
    Tagged(c, "", Format(text::kDone, "STATUS"));
}

// The message is in the temporary file (streamed there as it arrived). It is flushed, renamed
// into the folder under a new queue name and the folder flushed; only then does it get its UID
// and flags, in one state change, and only then does the client hear OK.
void CImapServer::Append(Command& c) {
    std::string name;
    const std::string temp = appendTemp_;
    const int fd = appendFd_;
    appendTemp_.clear();
    appendFd_ = -1;
    auto fail = [&](const std::string& reply) {
        if (fd >= 0) ::close(fd);
        if (!temp.empty()) ::unlink(temp.c_str());
        Tagged(c, "", reply);
    };
    if (c.args.size() < 2 || c.args.size() > 4 || !AString(c.args[0], name) || !c.args.back().literal ||
        (fd < 0 && !appendFailed_)) {
        fail(Format(text::kSyntax, "APPEND"));
        return;
    }
    uint8_t flags = 0;
    std::vector<std::string> keywords;
    int64_t date = -1;
    for (size_t i = 1; i + 1 < c.args.size(); ++i) {
        if (c.args[i].kind == Token::kList) {
            if (!ParseFlags(c.args[i], flags, keywords)) {
                fail(Format(text::kSyntax, "APPEND"));
                return;
            }
        } else if ((date = AppendDate(c.args[i].text)) < 0) {
            fail(Format(text::kSyntax, "APPEND"));
            return;
        }
    }
    if (keywords.size() > imap::CFolder::kMaxKeywords) {
        fail(Format(text::kTooManyKeywords, imap::CFolder::kMaxKeywords));
        return;
    }
    auto folder = account_->Open(name);
    if (!folder) {
        fail(text::kTryCreate);
        return;
    }
    const bool failed = appendFailed_;
    appendFailed_ = false;
    if (failed || fd < 0) {
        fail(text::kAppendFailed);
        return;
    }
    if (date >= 0) {
        const timespec times[2] = {{static_cast<time_t>(date), 0}, {static_cast<time_t>(date), 0}};
        ::futimens(fd, times);
    }
    const bool flushed = SyncOpenFile(fd);
    ::close(fd);
    const std::string file = NextQueueFileName() + ".txt";
    const std::string target = folder->PathOf(file);
    std::string error = "cannot store the appended message in " + target;
    if (!flushed || ::rename(temp.c_str(), target.c_str()) != 0 || !SyncDirectory(folder->Dir())) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        ::unlink(temp.c_str());
        Tagged(c, "", text::kAppendFailed);
        return;
    }
    MessageState added;
    added.file = file;
    added.flags = flags;
    added.keywords = keywords;
    const std::vector<uint32_t> uids = folder->Add({added}, &error);
    if (uids.empty()) {
        // The message is in the folder and gets its UID at the next look; its flags are lost.
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        Tagged(c, "", text::kAppendFailed);
        return;
    }
    const imap::FolderState snap = folder->Snapshot();
    Tagged(c, "", Format("OK [APPENDUID %u %u] APPEND completed", snap.uidValidity, uids[0]));
}

void CImapServer::Idle(Command& c) {
    waiting_ = Waiting::IdleDone;
    waitingTag_ = c.tag;
    Send(std::string(text::kIdling) + "\r\n");
    if (folder_) {
        Sync(true);
        StartIdleWatch();
    }
}

void CImapServer::StartIdleWatch() {
    StopIdleWatch();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    idleStop_ = stop;
    // The messages' folder (deliveries, POP3 deletions) and the folder of its state (changes by
    // other IMAP clients), watched by a helper that only waits and posts.
    std::vector<std::string> dirs = {folder_->Dir()};
    if (CImapAccount::IsInbox(folderName_)) dirs.push_back(JoinPath(mailboxDir_, imap::kImapDir));
    try {
        std::thread([handle = Handle(), dirs, stop] {
            platform::DirectoryWatch watch;
            for (const auto& d : dirs) watch.Watch(d, true);
            // A change made after IDLE looked at the folder but before the watch stood would
            // otherwise go unheard: one look once the watch is in place.
            if (!stop->load()) handle.PostThreadMessage(kWmFolderChanged);
            while (!stop->load()) {
                if (watch.Wait(250) && !stop->load()) handle.PostThreadMessage(kWmFolderChanged);
            }
        }).detach();
    } catch (const std::system_error&) {
        // No helper to be had: the client still sees changes at its next command.
    }
}

void CImapServer::StopIdleWatch() {
    if (idleStop_) idleStop_->store(true);
    idleStop_.reset();
}

// --- selected ------------------------------------------------------------------------------

void CImapServer::Deselect() {
    StopIdleWatch();
    folder_.reset();
    view_.clear();
    folderName_.clear();
    if (state_ == kSelected) state_ = kAuthenticated;
}

std::string CImapServer::FlagsText(const MessageState& m) const {
    static const char* kNames[] = {"\\Seen", "\\Answered", "\\Flagged", "\\Deleted", "\\Draft"};
    std::string out = "(";
    for (int bit = 0; bit < 5; ++bit) {
        if (m.flags & (1u << bit)) out += std::string(out.size() > 1 ? " " : "") + kNames[bit];
    }
    for (const auto& k : m.keywords) out += (out.size() > 1 ? " " : "") + k;
    return out + ")";
}

void CImapServer::Sync(bool expunges) {
    if (!folder_) return;
    std::string error;
    if (!account_->Exists(folderName_)) {
        // Another client deleted or renamed the folder: this one cannot go on reading it.
        Send("* BYE the selected folder was deleted or renamed by another client\r\n");
        Deselect();
        closing_ = true;
        CloseWhenSent();
        return;
    }
    if (!folder_->Refresh(&error)) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        return;
    }
    const imap::FolderState snap = folder_->Snapshot();
    if (snap.uidValidity != uidValidity_) {
        // The folder's UIDs were renumbered (its state was damaged): the client must start over.
        Send("* BYE the folder's UIDs changed; reconnect to read it afresh\r\n");
        closing_ = true;
        CloseWhenSent();
        return;
    }
    auto find = [&](uint32_t uid) -> const MessageState* {
        auto it = std::lower_bound(snap.messages.begin(), snap.messages.end(), uid,
                                   [](const MessageState& m, uint32_t u) { return m.uid < u; });
        return it != snap.messages.end() && it->uid == uid ? &*it : nullptr;
    };
    if (expunges) {
        for (size_t i = view_.size(); i-- > 0;) {
            if (!find(view_[i].uid)) {
                Untagged(std::to_string(i + 1) + " EXPUNGE");
                view_.erase(view_.begin() + static_cast<long>(i));
            }
        }
    }
    for (size_t i = 0; i < view_.size(); ++i) {
        const MessageState* now = find(view_[i].uid);
        if (now && (now->flags != view_[i].flags || now->keywords != view_[i].keywords)) {
            view_[i].flags = now->flags;
            view_[i].keywords = now->keywords;
            Untagged(std::to_string(i + 1) + " FETCH (UID " + std::to_string(now->uid) + " FLAGS " + FlagsText(*now) + ")");
        }
    }
    const uint32_t last = view_.empty() ? 0 : view_.back().uid;
    const size_t before = view_.size();
    for (const auto& m : snap.messages) {
        if (m.uid > last) view_.push_back(m);
    }
    if (view_.size() != before) Untagged(std::to_string(view_.size()) + " EXISTS");
}

bool CImapServer::Resolve(Command& c, const std::string& set, bool uid, std::vector<size_t>& out) {
    out.clear();
    // "1:*" in an empty folder names nothing, and is no error.
    if (view_.empty() && set.find('*') != std::string::npos) return true;
    std::vector<imap::SeqRange> ranges;
    const uint32_t star = uid ? (view_.empty() ? 1 : view_.back().uid) : static_cast<uint32_t>(view_.size());
    if (!imap::ParseSequenceSet(set, star, ranges)) {
        Tagged(c, "", "BAD the message set is not understood");
        return false;
    }
    if (!uid) {
        for (const auto& r : ranges) {
            if (r.hi > view_.size()) {
                Tagged(c, "", "BAD no such message");
                return false;
            }
        }
    }
    for (size_t i = 0; i < view_.size(); ++i) {
        if (imap::InSequenceSet(ranges, uid ? view_[i].uid : static_cast<uint32_t>(i + 1))) out.push_back(i);
    }
    return true;
}

void CImapServer::Check(Command& c) { Tagged(c, "", Format(text::kDone, "CHECK")); }

void CImapServer::CloseFolder(Command& c) {
    if (!readOnly_) {
        // Deleted messages go without EXPUNGE answers: the client is leaving the folder.
        const auto snap = folder_->Snapshot();
        std::vector<uint32_t> gone;
        for (const auto& m : snap.messages) {
            if (m.flags & imap::kDeleted) {
                ::unlink(folder_->PathOf(m.file).c_str());
                gone.push_back(m.uid);
            }
        }
        if (!gone.empty()) {
            SyncDirectory(folder_->Dir());
            folder_->Refresh();
        }
    }
    Deselect();
    Tagged(c, "", Format(text::kDone, "CLOSE"));
}

void CImapServer::Unselect(Command& c) {
    Deselect();
    Tagged(c, "", Format(text::kDone, "UNSELECT"));
}

// The files go first and the folder is flushed; the state then drops them at its refresh. A
// kill between the two leaves a state line without a file, which the next refresh drops: a
// deleted message never comes back.
void CImapServer::ExpungeDeleted(Command& c, const std::vector<imap::SeqRange>* uids) {
    if (readOnly_) {
        Tagged(c, "", text::kReadOnly);
        return;
    }
    const auto snap = folder_->Snapshot();
    bool any = false;
    for (const auto& m : snap.messages) {
        if (!(m.flags & imap::kDeleted) || (uids && !imap::InSequenceSet(*uids, m.uid))) continue;
        if (::unlink(folder_->PathOf(m.file).c_str()) != 0 && errno != ENOENT) {
            WriteLogLine(Format(text::kLogFolderError, ("cannot delete " + folder_->PathOf(m.file) + ": " + std::strerror(errno)).c_str()));
        }
        any = true;
    }
    if (any && !SyncDirectory(folder_->Dir())) {
        Tagged(c, "", text::kFolderError);
        return;
    }
    Sync(true);
    Tagged(c, "", Format(text::kDone, "EXPUNGE"));
}

void CImapServer::Expunge(Command& c) { ExpungeDeleted(c, nullptr); }

void CImapServer::Uid(Command& c) {
    if (c.args.empty() || c.args[0].kind != Token::kAtom) {
        Tagged(c, "", Format(text::kSyntax, "UID"));
        return;
    }
    const std::string sub = Upper(c.args[0].text);
    c.args.erase(c.args.begin());
    c.uid = true;
    c.word = "UID " + sub;
    if (sub == "FETCH") Fetch(c);
    else if (sub == "STORE") Store(c);
    else if (sub == "SEARCH") Search(c);
    else if (sub == "COPY" || sub == "MOVE") Copy(c);
    else if (sub == "EXPUNGE") {
        std::vector<imap::SeqRange> ranges;
        if (c.args.size() != 1 || !imap::ParseSequenceSet(c.args[0].text, view_.empty() ? 1 : view_.back().uid, ranges)) {
            Tagged(c, "", Format(text::kSyntax, "UID EXPUNGE"));
            return;
        }
        ExpungeDeleted(c, &ranges);
    } else {
        Tagged(c, "", text::kUnknown);
    }
}

// --- SEARCH --------------------------------------------------------------------------------

bool CImapServer::ReadHeader(const MessageState& m, std::string& header) {
    header.clear();
    const int fd = ::open(folder_->PathOf(m.file).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(m.headerSize, kMaxHeaderRead));
    header.resize(want);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, header.data() + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    header.resize(got);
    // The header as sent ends at its empty line; bare LFs on disk make the file's header a
    // little shorter than headerSize, so cut at the empty line.
    for (const char* end : {"\r\n\r\n", "\n\n", "\n\r\n"}) {
        const size_t at = header.find(end);
        if (at != std::string::npos) {
            header.resize(at + std::strlen(end));
            break;
        }
    }
    return true;
}

bool CImapServer::MatchSearch(const std::vector<Token>& keys, size_t& pos, size_t index, int depth) {
    if (pos >= keys.size() || depth > static_cast<int>(imap::kMaxNesting)) throw std::invalid_argument("search");
    const Token& k = keys[pos++];
    const MessageState& m = view_[index];
    if (k.kind == Token::kList) {
        size_t inner = 0;
        bool all = true;
        while (inner < k.items.size()) all = MatchSearch(k.items, inner, index, depth + 1) && all;
        return all;
    }
    const std::string key = Upper(k.text);
    auto arg = [&]() -> const std::string& {
        if (pos >= keys.size() || keys[pos].kind == Token::kList) throw std::invalid_argument("search");
        return keys[pos++].text;
    };
    auto header = [&](const char* field, const std::string& value) {
        std::string h;
        if (!ReadHeader(m, h)) return false;
        for (const auto& [n, v] : HeaderFields(h)) {
            if (strcasecmp(n.c_str(), field) == 0 && ContainsNoCase(v, value)) return true;
        }
        return false;
    };
    const long day = static_cast<long>(m.date / 86400);
    if (key == "ALL" || key == "OLD") return true;
    if (key == "NEW" || key == "RECENT") return false;
    if (key == "SEEN") return m.flags & imap::kSeen;
    if (key == "UNSEEN") return !(m.flags & imap::kSeen);
    if (key == "ANSWERED") return m.flags & imap::kAnswered;
    if (key == "UNANSWERED") return !(m.flags & imap::kAnswered);
    if (key == "FLAGGED") return m.flags & imap::kFlagged;
    if (key == "UNFLAGGED") return !(m.flags & imap::kFlagged);
    if (key == "DELETED") return m.flags & imap::kDeleted;
    if (key == "UNDELETED") return !(m.flags & imap::kDeleted);
    if (key == "DRAFT") return m.flags & imap::kDraft;
    if (key == "UNDRAFT") return !(m.flags & imap::kDraft);
    if (key == "KEYWORD" || key == "UNKEYWORD") {
        const std::string& kw = arg();
        const bool has = std::find(m.keywords.begin(), m.keywords.end(), kw) != m.keywords.end();
        return key == "KEYWORD" ? has : !has;
    }
    if (key == "LARGER") return m.size > std::strtoull(arg().c_str(), nullptr, 10);
    if (key == "SMALLER") return m.size < std::strtoull(arg().c_str(), nullptr, 10);
    if (key == "BEFORE" || key == "ON" || key == "SINCE" || key == "SENTBEFORE" || key == "SENTON" || key == "SENTSINCE") {
        // The sent forms use the arrival date as well: close enough for the clients that ask.
        const long d = SearchDay(arg());
        if (d < 0) throw std::invalid_argument("search");
        if (key.find("BEFORE") != std::string::npos) return day < d;
        if (key.find("SINCE") != std::string::npos) return day >= d;
        return day == d;
    }
    if (key == "FROM" || key == "TO" || key == "CC" || key == "BCC" || key == "SUBJECT") {
        const std::string field = key == "SUBJECT" ? "Subject" : key == "FROM" ? "From" : key == "TO" ? "To" : key == "CC" ? "Cc" : "Bcc";
        return header(field.c_str(), arg());
    }
    if (key == "HEADER") {
        const std::string field = arg();
        return header(field.c_str(), arg());
    }
    if (key == "BODY" || key == "TEXT") {
        const std::string& needle = arg();
        std::string h;
        if (key == "TEXT" && ReadHeader(m, h) && ContainsNoCase(h, needle)) return true;
        const int fd = ::open(folder_->PathOf(m.file).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        std::string window;
        char buffer[64 * 1024];
        ssize_t n;
        bool found = false;
        while (!found && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            window.append(buffer, static_cast<size_t>(n));
            found = ContainsNoCase(window, needle);
            if (window.size() > needle.size()) window.erase(0, window.size() - needle.size());
        }
        ::close(fd);
        return found;
    }
    if (key == "NOT") return !MatchSearch(keys, pos, index, depth + 1);
    if (key == "OR") {
        const bool a = MatchSearch(keys, pos, index, depth + 1);
        const bool b = MatchSearch(keys, pos, index, depth + 1);
        return a || b;
    }
    std::vector<imap::SeqRange> ranges;
    if (key == "UID") {
        if (!imap::ParseSequenceSet(arg(), view_.empty() ? 1 : view_.back().uid, ranges)) throw std::invalid_argument("search");
        return imap::InSequenceSet(ranges, m.uid);
    }
    if (imap::ParseSequenceSet(k.text, static_cast<uint32_t>(std::max<size_t>(view_.size(), 1)), ranges)) {
        return imap::InSequenceSet(ranges, static_cast<uint32_t>(index + 1));
    }
    throw std::invalid_argument("search");
}

void CImapServer::Search(Command& c) {
    std::vector<Token> keys = c.args;
    bool esearch = rev2_;
    std::vector<std::string> returns;
    if (keys.size() >= 2 && keys[0].IsAtom("RETURN") && keys[1].kind == Token::kList) {
        esearch = true;
        for (const auto& r : keys[1].items) returns.push_back(Upper(r.text));
        keys.erase(keys.begin(), keys.begin() + 2);
    }
    if (keys.size() >= 2 && keys[0].IsAtom("CHARSET")) {
        const std::string charset = Upper(keys[1].text);
        if (charset != "UTF-8" && charset != "US-ASCII") {
            Tagged(c, "", "NO [BADCHARSET (UTF-8 US-ASCII)] that character set is not supported");
            return;
        }
        keys.erase(keys.begin(), keys.begin() + 2);
    }
    if (keys.empty()) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    std::vector<uint32_t> found;
    try {
        for (size_t i = 0; i < view_.size(); ++i) {
            size_t pos = 0;
            bool all = true;
            while (pos < keys.size()) all = MatchSearch(keys, pos, i, 0) && all;
            if (all) found.push_back(c.uid ? view_[i].uid : static_cast<uint32_t>(i + 1));
        }
        if (view_.empty()) {
            // Check the keys even with nothing to match.
            view_.push_back({});
            size_t pos = 0;
            try {
                while (pos < keys.size()) MatchSearch(keys, pos, 0, 0);
            } catch (...) {
                view_.clear();
                throw;
            }
            view_.clear();
        }
    } catch (const std::invalid_argument&) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    if (!esearch) {
        std::string line = "SEARCH";
        for (uint32_t n : found) line += " " + std::to_string(n);
        Untagged(line);
    } else {
        if (returns.empty()) returns.push_back("ALL");
        std::string line = "ESEARCH (TAG " + imap::Quote(c.tag) + ")";
        if (c.uid) line += " UID";
        for (const auto& r : returns) {
            if (r == "MIN" && !found.empty()) line += " MIN " + std::to_string(found.front());
            if (r == "MAX" && !found.empty()) line += " MAX " + std::to_string(found.back());
            if (r == "COUNT") line += " COUNT " + std::to_string(found.size());
            if (r == "ALL" && !found.empty()) {
                std::string set;
                for (size_t i = 0; i < found.size();) {
                    size_t j = i;
                    while (j + 1 < found.size() && found[j + 1] == found[j] + 1) ++j;
                    set += (set.empty() ? "" : ",") + std::to_string(found[i]);
                    if (j > i) set += ":" + std::to_string(found[j]);
                    i = j + 1;
                }
                line += " ALL " + set;
            }
        }
        Untagged(line);
    }
    Tagged(c, "", Format(text::kDone, c.word.c_str()));
}

// --- FETCH ---------------------------------------------------------------------------------

void CImapServer::Fetch(Command& c) {
    if (c.args.size() != 2) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    auto job = std::make_unique<FetchJob>();
    job->tag = c.tag;
    job->word = c.word;
    job->uid = c.uid;
    std::vector<std::string> names;
    const Token& what = c.args[1];
    if (what.kind == Token::kList) {
        for (const auto& t : what.items) names.push_back(t.text);
    } else if (what.IsAtom("ALL")) {
        names = {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE"};
    } else if (what.IsAtom("FAST")) {
        names = {"FLAGS", "INTERNALDATE", "RFC822.SIZE"};
    } else if (what.IsAtom("FULL")) {
        names = {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODY"};
    } else {
        names.push_back(what.text);
    }
    if (c.uid) names.insert(names.begin(), "UID");
    for (const auto& raw : names) {
        FetchItem item;
        std::string name = Upper(raw);
        std::string section;
        const size_t bracket = name.find('[');
        if (bracket != std::string::npos) {
            const size_t close = name.rfind(']');
            if (close == std::string::npos || close < bracket) {
                Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                return;
            }
            section = name.substr(bracket + 1, close - bracket - 1);
            const std::string partial = name.substr(close + 1);
            name = name.substr(0, bracket);
            if (!partial.empty()) {
                unsigned long long start = 0, count = 0;
                if (std::sscanf(partial.c_str(), "<%llu.%llu>", &start, &count) != 2 || count == 0) {
                    Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                    return;
                }
                item.partial = true;
                item.start = start;
                item.count = count;
            }
            if (name != "BODY" && name != "BODY.PEEK") {
                Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                return;
            }
            item.kind = FetchItem::kBody;
            item.peek = name == "BODY.PEEK";
            // The section as the client wrote it (field names keep their case).
            std::string shown = raw.substr(bracket + 1, raw.rfind(']') - bracket - 1);
            if (section.empty()) {
                item.section = FetchItem::kAll;
            } else if (section == "HEADER") {
                item.section = FetchItem::kHeader;
            } else if (section == "TEXT") {
                item.section = FetchItem::kText;
            } else if (std::isdigit(static_cast<unsigned char>(section[0]))) {
                // A MIME part by number, its body or (".MIME") its header.
                item.section = FetchItem::kPart;
                item.part = section;
                if (section.size() > 5 && section.compare(section.size() - 5, 5, ".MIME") == 0) {
                    item.section = FetchItem::kMime;
                    item.part.resize(section.size() - 5);
                }
                if (item.part.find_first_not_of("0123456789.") != std::string::npos) {
                    Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                    return;
                }
            } else if (section.rfind("HEADER.FIELDS", 0) == 0) {
                item.section = section.rfind("HEADER.FIELDS.NOT", 0) == 0 ? FetchItem::kFieldsNot : FetchItem::kFields;
                std::vector<Token> list;
                const size_t paren = shown.find('(');
                if (paren == std::string::npos || !imap::ParseArguments(shown, paren, {}, list) || list.size() != 1 ||
                    list[0].kind != Token::kList) {
                    Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                    return;
                }
                std::string joined;
                for (const auto& f : list[0].items) {
                    if (f.kind == Token::kList) {
                        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                        return;
                    }
                    item.fields.push_back(f.text);
                    joined += (joined.empty() ? "" : " ") + Upper(f.text);
                }
                shown = std::string(item.section == FetchItem::kFields ? "HEADER.FIELDS" : "HEADER.FIELDS.NOT") + " (" + joined + ")";
            } else {
                Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
                return;
            }
            if (item.section != FetchItem::kFields && item.section != FetchItem::kFieldsNot) shown = section;
            item.name = "BODY[" + shown + "]" + (item.partial ? "<" + std::to_string(item.start) + ">" : "");
        } else if (name == "FLAGS") {
            item.kind = FetchItem::kFlags;
        } else if (name == "UID") {
            item.kind = FetchItem::kUid;
        } else if (name == "RFC822.SIZE") {
            item.kind = FetchItem::kSize;
        } else if (name == "INTERNALDATE") {
            item.kind = FetchItem::kDate;
        } else if (name == "ENVELOPE") {
            item.kind = FetchItem::kEnvelope;
        } else if (name == "BODYSTRUCTURE" || name == "BODY") {
            item.kind = FetchItem::kStructure;
            item.name = name;
        } else if (name == "RFC822" || name == "RFC822.HEADER" || name == "RFC822.TEXT") {
            item.kind = FetchItem::kBody;
            item.section = name == "RFC822" ? FetchItem::kAll : name == "RFC822.HEADER" ? FetchItem::kHeader : FetchItem::kText;
            item.peek = name == "RFC822.HEADER";
            item.name = name;
        } else {
            Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
            return;
        }
        const bool repeat = item.kind != FetchItem::kBody &&
                            std::any_of(job->items.begin(), job->items.end(), [&](const FetchItem& i) { return i.kind == item.kind; });
        if (!repeat) job->items.push_back(std::move(item));
    }
    if (!Resolve(c, c.args[0].text, c.uid, job->indices)) return;
    fetch_ = std::move(job);
}

void CImapServer::BuildFetch(FetchJob& job, size_t index) {
    MessageState& m = view_[index];
    const std::string path = folder_->PathOf(m.file);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        job.missing = true;  // POP3 or another client deleted it since this client's view
        return;
    }
    bool setSeen = false;
    bool flags = false;  // asked for: told where asked; else told at the end when \Seen was set
    for (const auto& item : job.items) {
        setSeen = setSeen || (item.kind == FetchItem::kBody && !item.peek);
        flags = flags || item.kind == FetchItem::kFlags;
    }
    bool tellFlags = false;
    if (setSeen && !readOnly_ && !(m.flags & imap::kSeen)) {
        const uint32_t uid = m.uid;
        std::string error;
        if (folder_->Update([uid](imap::FolderState& s) {
                for (auto& x : s.messages) {
                    if (x.uid == uid) {
                        x.flags |= imap::kSeen;
                        return true;
                    }
                }
                return false;
            }, &error)) {
            m.flags |= imap::kSeen;
            tellFlags = !flags;
        } else {
            WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        }
    } else {
        setSeen = false;
    }
    std::string text = "* " + std::to_string(index + 1) + " FETCH (";
    bool first = true;
    auto add = [&](const std::string& s) {
        if (!first) text += ' ';
        first = false;
        text += s;
    };
    std::string header;
    bool haveHeader = false;
    imap::MimePart mime;
    bool haveMime = false;
    auto needHeader = [&]() -> const std::string& {
        if (!haveHeader) haveHeader = ReadHeader(m, header);
        return header;
    };
    for (const auto& item : job.items) {
        switch (item.kind) {
            case FetchItem::kFlags: add("FLAGS " + FlagsText(m)); break;
            case FetchItem::kUid: add("UID " + std::to_string(m.uid)); break;
            case FetchItem::kSize: add("RFC822.SIZE " + std::to_string(m.size)); break;
            case FetchItem::kDate: add("INTERNALDATE " + InternalDate(m.date)); break;
            case FetchItem::kEnvelope: {
                const auto f = HeaderFields(needHeader());
                const std::string from = AddressList(FieldValue(f, "From"));
                const std::string sender = FieldValue(f, "Sender").empty() ? from : AddressList(FieldValue(f, "Sender"));
                const std::string replyTo = FieldValue(f, "Reply-To").empty() ? from : AddressList(FieldValue(f, "Reply-To"));
                add("ENVELOPE (" + NString(FieldValue(f, "Date")) + " " + NString(FieldValue(f, "Subject")) + " " + from + " " +
                    sender + " " + replyTo + " " + AddressList(FieldValue(f, "To")) + " " + AddressList(FieldValue(f, "Cc")) +
                    " " + AddressList(FieldValue(f, "Bcc")) + " " + NString(FieldValue(f, "In-Reply-To")) + " " +
                    NString(FieldValue(f, "Message-ID")) + ")");
                break;
            }
            case FetchItem::kStructure: {
                if (!haveMime) haveMime = imap::ParseMime(path, mime);
                add(item.name + " " + imap::BodyStructure(mime));
                break;
            }
            case FetchItem::kBody: {
                uint64_t skip = 0, length = m.size;
                std::string bytes;
                bool fromFile = true;
                if (item.section == FetchItem::kHeader) {
                    length = m.headerSize;
                } else if (item.section == FetchItem::kText) {
                    skip = m.headerSize;
                    length = m.size - m.headerSize;
                } else if (item.section == FetchItem::kPart || item.section == FetchItem::kMime) {
                    if (!haveMime) haveMime = imap::ParseMime(path, mime);
                    const imap::MimePart* part = imap::FindPart(mime, item.part);
                    if (!part) {
                        skip = length = 0;  // no such part: an empty section
                    } else if (item.section == FetchItem::kPart) {
                        skip = part->bodyStart;
                        length = part->bodyEnd - part->bodyStart;
                    } else {
                        skip = part->headerStart;
                        length = part->bodyStart - part->headerStart;
                    }
                } else if (item.section == FetchItem::kFields || item.section == FetchItem::kFieldsNot) {
                    fromFile = false;
                    const std::string& h = needHeader();
                    size_t pos = 0;
                    while (pos < h.size()) {
                        size_t end = h.find('\n', pos);
                        end = end == std::string::npos ? h.size() : end + 1;
                        std::string line = h.substr(pos, end - pos);
                        // A field runs on over its folded lines.
                        while (end < h.size() && (h[end] == ' ' || h[end] == '\t')) {
                            size_t more = h.find('\n', end);
                            more = more == std::string::npos ? h.size() : more + 1;
                            line += h.substr(end, more - end);
                            end = more;
                        }
                        pos = end;
                        const size_t colon = line.find(':');
                        if (colon == std::string::npos) continue;
                        std::string fname = line.substr(0, colon);
                        fname.erase(fname.find_last_not_of(" \t") + 1);
                        bool listed = false;
                        for (const auto& want : item.fields) listed = listed || strcasecmp(want.c_str(), fname.c_str()) == 0;
                        if (listed == (item.section == FetchItem::kFields)) bytes += line;
                    }
                    // Every line end as CR LF, and the empty line that ends a header.
                    std::string wire;
                    for (size_t i = 0; i < bytes.size(); ++i) {
                        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) wire += '\r';
                        wire += bytes[i];
                    }
                    bytes = wire + "\r\n";
                    length = bytes.size();
                }
                if (item.partial) {
                    const uint64_t start = std::min(item.start, length);
                    skip += start;
                    length = std::min(item.count, length - start);
                    if (!fromFile) bytes = bytes.substr(static_cast<size_t>(start), static_cast<size_t>(length));
                }
                add(item.name + " {" + std::to_string(length) + "}\r\n");
                if (!fromFile) {
                    text += bytes;
                    break;
                }
                if (length == 0) break;
                const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    // Gone between the look and now: the promised octets cannot come.
                    WriteLogLine(Format(text::kLogFolderError, ("cannot read " + path).c_str()));
                    closing_ = true;
                    net::CSocketThread::Close(true);
                    return;
                }
                out_.push_back({std::move(text)});
                text.clear();
                OutItem file;
                file.fd = fd;
                file.path = path;
                // No bare LF in the file: it is sent as it is, from the first octet wanted.
                if (static_cast<uint64_t>(st.st_size) == m.size && skip > 0 && ::lseek(fd, static_cast<off_t>(skip), SEEK_SET) >= 0) {
                    skip = 0;
                }
                file.skip = skip;
                file.left = length;
                out_.push_back(std::move(file));
                break;
            }
        }
    }
    if (tellFlags) add("FLAGS " + FlagsText(m));
    text += ")\r\n";
    out_.push_back({std::move(text)});
}

// --- STORE, COPY, MOVE ---------------------------------------------------------------------

void CImapServer::Store(Command& c) {
    if (c.args.size() != 3 || c.args[1].kind != Token::kAtom) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    if (readOnly_) {
        Tagged(c, "", text::kReadOnly);
        return;
    }
    std::string what = Upper(c.args[1].text);
    const bool silent = what.size() > 7 && what.compare(what.size() - 7, 7, ".SILENT") == 0;
    if (silent) what.resize(what.size() - 7);
    const int mode = what == "FLAGS" ? 0 : what == "+FLAGS" ? 1 : what == "-FLAGS" ? -1 : 2;
    uint8_t bits = 0;
    std::vector<std::string> keywords;
    if (mode == 2 || !ParseFlags(c.args[2], bits, keywords)) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    std::vector<size_t> indices;
    if (!Resolve(c, c.args[0].text, c.uid, indices)) return;
    std::vector<uint32_t> uids;
    for (size_t i : indices) uids.push_back(view_[i].uid);
    bool tooMany = false;
    std::string error;
    const bool saved = folder_->Update([&](imap::FolderState& s) {
        // Keywords in use in the folder, to hold their number down.
        std::vector<std::string> inUse;
        for (const auto& m : s.messages) {
            for (const auto& k : m.keywords) {
                if (std::find(inUse.begin(), inUse.end(), k) == inUse.end()) inUse.push_back(k);
            }
        }
        for (const auto& k : keywords) {
            if (mode >= 0 && std::find(inUse.begin(), inUse.end(), k) == inUse.end()) inUse.push_back(k);
        }
        if (inUse.size() > imap::CFolder::kMaxKeywords) {
            tooMany = true;
            return false;
        }
        bool changed = false;
        for (auto& m : s.messages) {
            if (!std::binary_search(uids.begin(), uids.end(), m.uid)) continue;
            const uint8_t before = m.flags;
            const auto kwBefore = m.keywords;
            if (mode == 0) {
                m.flags = bits;
                m.keywords = keywords;
            } else if (mode == 1) {
                m.flags |= bits;
                for (const auto& k : keywords) {
                    if (std::find(m.keywords.begin(), m.keywords.end(), k) == m.keywords.end()) m.keywords.push_back(k);
                }
            } else {
                m.flags &= static_cast<uint8_t>(~bits);
                for (const auto& k : keywords) m.keywords.erase(std::remove(m.keywords.begin(), m.keywords.end(), k), m.keywords.end());
            }
            changed = changed || before != m.flags || kwBefore != m.keywords;
        }
        return changed;
    }, &error);
    if (tooMany) {
        Tagged(c, "", Format(text::kTooManyKeywords, imap::CFolder::kMaxKeywords));
        return;
    }
    if (!saved) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        Tagged(c, "", text::kFolderError);
        return;
    }
    // The answer tells the new flags; the view takes them so that the next look does not tell
    // them again.
    const auto snap = folder_->Snapshot();
    bool missing = false;
    for (size_t i : indices) {
        auto it = std::lower_bound(snap.messages.begin(), snap.messages.end(), view_[i].uid,
                                   [](const MessageState& m, uint32_t u) { return m.uid < u; });
        if (it == snap.messages.end() || it->uid != view_[i].uid) {
            missing = true;
            continue;
        }
        view_[i].flags = it->flags;
        view_[i].keywords = it->keywords;
        if (!silent) {
            Untagged(std::to_string(i + 1) + " FETCH (" + (c.uid ? "UID " + std::to_string(it->uid) + " " : "") + "FLAGS " +
                     FlagsText(*it) + ")");
        }
    }
    Tagged(c, "", missing ? text::kExpunged : Format(text::kDone, c.word.c_str()));
}

// The copies are second names for the same files (messages are never changed in place), or
// real copies across file systems; the target folder is flushed, and only then do they get
// their UIDs and flags in the target's state. MOVE then expunges the originals as EXPUNGE does.
void CImapServer::Copy(Command& c) {
    std::string name;
    if (c.args.size() != 2 || !AString(c.args[1], name)) {
        Tagged(c, "", Format(text::kSyntax, c.word.c_str()));
        return;
    }
    const bool move = c.word == "MOVE" || c.word == "UID MOVE";
    if (move && readOnly_) {
        Tagged(c, "", text::kReadOnly);
        return;
    }
    auto target = account_->Open(name);
    if (!target) {
        Tagged(c, "", text::kTryCreate);
        return;
    }
    std::vector<size_t> indices;
    if (!Resolve(c, c.args[0].text, c.uid, indices)) return;
    if (indices.empty()) {
        Tagged(c, "", Format(text::kDone, c.word.c_str()));
        return;
    }
    std::vector<MessageState> added;
    std::vector<uint32_t> sourceUids;
    bool missing = false;
    for (size_t i : indices) {
        const MessageState& m = view_[i];
        const std::string file = NextQueueFileName() + ".txt";
        const std::string from = folder_->PathOf(m.file), to = target->PathOf(file);
        bool ok = LinkFile(from, to);
        if (!ok && FileExists(from)) {
            TextFileWriter out;
            LineReader in;
            ok = out.Open(to, true) && in.Open(from);
            std::string line;
            while (ok && in.ReadLine(line)) ok = out.WriteLine(line);
            ok = ok && out.Sync() && out.Close();
            if (!ok) out.Discard();
        }
        if (!ok) {
            if (!FileExists(from)) {
                missing = true;
                continue;
            }
            WriteLogLine(Format(text::kLogFolderError, ("cannot copy " + from + " to " + to).c_str()));
            for (const auto& a : added) ::unlink(target->PathOf(a.file).c_str());
            Tagged(c, "", text::kFolderError);
            return;
        }
        MessageState a;
        a.file = file;
        a.flags = m.flags;
        a.keywords = m.keywords;
        added.push_back(std::move(a));
        sourceUids.push_back(m.uid);
    }
    std::string error;
    if (!SyncDirectory(target->Dir())) {
        Tagged(c, "", text::kFolderError);
        return;
    }
    const std::vector<uint32_t> uids = added.empty() ? std::vector<uint32_t>{} : target->Add(added, &error);
    if (!added.empty() && uids.empty()) {
        WriteLogLine(Format(text::kLogFolderError, error.c_str()));
        Tagged(c, "", text::kFolderError);
        return;
    }
    auto set = [](const std::vector<uint32_t>& v) {
        std::string s;
        for (uint32_t u : v) s += (s.empty() ? "" : ",") + std::to_string(u);
        return s;
    };
    const std::string code = uids.empty() ? "" : Format("[COPYUID %u %s %s] ", target->Snapshot().uidValidity,
                                                        set(sourceUids).c_str(), set(uids).c_str());
    if (!move) {
        Tagged(c, "", missing ? std::string(text::kExpunged) : "OK " + code + c.word + " completed");
        return;
    }
    if (!code.empty()) Untagged("OK " + code + "moved");
    for (size_t i : indices) {
        if (::unlink(folder_->PathOf(view_[i].file).c_str()) != 0 && errno != ENOENT) {
            WriteLogLine(Format(text::kLogFolderError, ("cannot remove the moved " + folder_->PathOf(view_[i].file)).c_str()));
        }
    }
    SyncDirectory(folder_->Dir());
    Sync(true);
    Tagged(c, "", missing ? std::string(text::kExpunged) : "OK " + c.word + " completed");
}

}  // namespace pv
