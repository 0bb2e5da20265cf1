#include "pop3/PopServer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "auth/LoginThrottle.h"
#include "auth/Passwords.h"
#include "core/AppEvents.h"
#include "core/Folders.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "net/LanTls.h"
#include "net/RelayNets.h"

namespace pv {

namespace {

std::mutex g_countMutex;
int g_liveCount = 0;
// Mailbox numbers come from one counter in the hive: two clients creating mailboxes at the
// same moment must not both take the same number.
std::mutex g_createMutex;

enum Command { kUser, kPass, kQuit, kStat, kList, kRetr, kDele, kNoop, kLast, kUidl, kRset, kTop, kCapa, kStls };

// Which states accept a command; any other state answers "-ERR invalid command" (PASS before
// USER has its own answer).
enum StateBits : unsigned {
    kInWaitUser = 1u << CPopServer::kWaitUser,
    kInWaitPass = 1u << CPopServer::kWaitPass,
    kInTransaction = 1u << CPopServer::kTransaction,
    kInAnyState = kInWaitUser | kInWaitPass | kInTransaction,
};

struct CommandEntry {
    const char* name;
    Command command;
    unsigned states;
};

constexpr CommandEntry kCommandTable[] = {
    {"USER", kUser, kInWaitUser | kInWaitPass},      {"PASS", kPass, kInWaitPass},      {"QUIT", kQuit, kInAnyState},
    {"STAT", kStat, kInTransaction},   {"LIST", kList, kInTransaction},   {"RETR", kRetr, kInTransaction},
    {"DELE", kDele, kInTransaction},   {"NOOP", kNoop, kInTransaction},   {"LAST", kLast, kInTransaction},
    {"UIDL", kUidl, kInTransaction},   {"RSET", kRset, kInTransaction},   {"TOP", kTop, kInTransaction},
    {"CAPA", kCapa, kInAnyState},      {"STLS", kStls, kInWaitUser},
};

// Every fixed text the conversation sends or logs; those with %-fields go through Format.
namespace text {
constexpr const char* kGreeting = "+OK %s POP3 server ready (running Postvane)";
constexpr const char* kUnknownCommand = "-ERR unknown command";
constexpr const char* kInvalidCommand = "-ERR invalid command";
constexpr const char* kNeedUser = "-ERR I need a USER";
constexpr const char* kLineTooLong = "-ERR command line too long: at most %zu characters are allowed";
constexpr const char* kLocked = "-ERR Mailbox is locked";
constexpr const char* kGetsMail = "+OK %s gets mail here";
constexpr const char* kLogCreated = "POP3 server created the new mailbox %s at its first login";
constexpr const char* kNotAddressable =
    "-ERR %s cannot be a new mailbox: use letters, digits and . - _ (at most %zu characters)";
constexpr const char* kInvalidPassword = "-ERR invalid password";
constexpr const char* kLogInvalidPassword = "-ERR invalid password for mailbox %s";
constexpr const char* kTooManyFailures = "-ERR invalid password; too many failures, closing the connection";
constexpr const char* kLogTooManyFailures =
    "POP3 server closed the connection from [%s] after %d wrong passwords for mailbox %s";
constexpr const char* kNewPasswordLength = "-ERR a new mailbox needs a password of 1 to %zu characters";
constexpr const char* kReady = "+OK mailbox locked and ready";
constexpr const char* kNewReady = "+OK new password set, mailbox locked and ready";
constexpr const char* kCannotCreate = "-ERR the new mailbox could not be created; try again later";
constexpr const char* kCannotRead = "-ERR the mailbox cannot be read now; try again later";
constexpr const char* kCannotLock = "-ERR the mailbox cannot be locked now; try again later";
constexpr const char* kOk = "+OK";
constexpr const char* kStat = "+OK %zu %llu";
constexpr const char* kListHead = "+OK \r\n";  // with its blank: clients have always seen it so
constexpr const char* kListOne = "+OK %lld %llu";
constexpr const char* kMessageDeleted = "-ERR message deleted";
constexpr const char* kInvalidNumber = "-ERR invalid message number";
constexpr const char* kInvalidTop = "-ERR TOP needs a message number and a number of lines";
constexpr const char* kLast = "+OK %zu";
constexpr const char* kUidlHead = "+OK unique-id listing follows\r\n";
constexpr const char* kUidlOne = "+OK %lld ";
constexpr const char* kUidlInvalid = "-ERR invalid message number: the mailbox holds %lld messages";
constexpr const char* kCapaHead = "+OK capability list follows\r\n";
// What this server does beyond the base commands (PIPELINING: commands sent together are
// answered in order, see Pump).
constexpr const char* kCapabilities = "TOP\r\nUSER\r\nUIDL\r\nPIPELINING\r\nIMPLEMENTATION Postvane\r\n";
constexpr const char* kCapaStls = "STLS\r\n";  // while a certificate is set and TLS is not on yet
constexpr const char* kCapaEnd = ".\r\n";
constexpr const char* kBeginTls = "+OK Begin TLS negotiation";
constexpr const char* kTlsActive = "-ERR TLS is already active";
constexpr const char* kNotDeleted = "-ERR %d of the deleted messages could not be removed and will be offered again";
constexpr const char* kVanished = "-ERR message %zu is no longer in the mailbox";
constexpr const char* kUnreadable = "-ERR message %zu cannot be read now; try again later";
}  // namespace text

constexpr const char* kLockText = "Mailbox is locked";
constexpr size_t kReadChunk = 32 * 1024;
// Carriage returns are dropped only right before a line end; a longer run than this is sent
// as it is rather than counted up without limit.
constexpr size_t kMaxHeldCR = 4096;
constexpr uint32_t kDefaultTimeout = 60;

std::string Trim(std::string_view text) {
    size_t b = text.find_first_not_of(" \t\r\n\v\f");
    if (b == std::string_view::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n\v\f");
    return std::string(text.substr(b, e - b + 1));
}

const CommandEntry* LookUpCommand(const std::string& word) {
    for (const auto& entry : kCommandTable) {
        if (word == entry.name) return &entry;
    }
    return nullptr;
}

// A name a client may give a new mailbox: what an address can carry unquoted (RFC 5322's
// atext and inner dots), so that SMTP can deliver to it.
bool IsAddressableName(const std::string& name) {
    if (name.empty() || name.size() > CPopServer::kMaxNewNameLength) return false;
    if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) return false;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '.' || std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr) continue;
        return false;
    }
    return IsSafeMailboxName(name);  // and never a name that leaves its folder ("/" is atext)
}

// The argument as a message number: 0 when it is not a number, -1 when it is negative.
long long MessageNumber(const std::string& arg) {
    size_t i = 0;
    bool negative = false;
    if (i < arg.size() && (arg[i] == '-' || arg[i] == '+')) negative = arg[i++] == '-';
    if (i >= arg.size() || !std::isdigit(static_cast<unsigned char>(arg[i]))) return 0;
    long long n = 0;
    for (; i < arg.size() && std::isdigit(static_cast<unsigned char>(arg[i])); ++i) {
        n = std::min(n * 10 + (arg[i] - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    return negative ? -1 : n;
}

// A name from the network as it may appear in a reply or a log line.
std::string Printable(std::string text) {
    for (auto& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

}  // namespace

CPopServer::CPopServer() {
    primaryDomain_ = PrimaryDomain();
    tls_ = net::LanTlsContext();
    if (primaryDomain_.empty()) {
        // No local domain configured yet: the machine's own name is the best the client can get.
        char host[256] = {};
        primaryDomain_ = ::gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "localhost";
    }
    std::string root;
    CRegistryKey("", false).ReadString("Maildrop", root);
    if (root.empty()) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) CRegistryKey("", true).WriteString("Maildrop", cwd);
    }
    SetLineOptions({true, kMaxCommandLine + 1});  // the CR stays in the line until it is trimmed
    std::lock_guard lock(g_countMutex);
    ++g_liveCount;
    Events().Signal(NamedEvent::PopServer);
}

CPopServer::~CPopServer() {
    EndOutput();
    RemoveLock();
    std::lock_guard lock(g_countMutex);
    if (--g_liveCount == 0) Events().Reset(NamedEvent::PopServer);
}

int CPopServer::LiveCount() {
    std::lock_guard lock(g_countMutex);
    return g_liveCount;
}

void CPopServer::Reply(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    std::string line(text);
    line.append("\r\n");
    SendBytes(line);
}

// --- socket events ---------------------------------------------------------------------

void CPopServer::OnSend() {
    if (state_ == kGreeting) {
        Reply(Format(text::kGreeting, primaryDomain_.c_str()));
        SetTimeout(ReadTimeoutSeconds("Poptimeout", kDefaultTimeout));
        // Every reply goes out in whole sends; holding back a short last piece of a message
        // until the client acknowledges the rest would only stall each RETR.
        const int on = 1;
        ::setsockopt(Socket(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        state_ = kWaitUser;
    }
    Pump();
}

void CPopServer::OnReceive() {
    // Commands sent before the greeting, or while a reply is still going out, wait in the
    // socket: they are read once the conversation can answer them.
    if (state_ == kGreeting || state_ == kClosing || pumping_ || Busy() || !input_.empty()) {
        readDeferred_ = true;
        return;
    }
    ReceiveLines();
    Pump();
}

void CPopServer::OnClose() { Close(true); }

void CPopServer::OnTimeout() {
    WriteLogLine(TimeoutLine("POP3"));
    PostThreadMessage(net::kWmQuit);
}

void CPopServer::OnLine(std::string& line) { input_.push_back({std::move(line), false}); }

void CPopServer::OnLineTooLong() { input_.push_back({std::string(), true}); }

void CPopServer::OnThreadMessage(const net::ThreadMessage& msg) {
    if (msg.message != kWmPassDelayOver || !passWaiting_) return;
    passWaiting_ = false;
    if (passFailures_ < kMaxPassFailures) {
        Reply(text::kInvalidPassword);
        Pump();
        return;
    }
    Reply(text::kTooManyFailures);
    std::string address;
    unsigned port = 0;
    GetPeerName(address, port);
    if (!quietFailures_) {
        WriteLogLine(Format(text::kLogTooManyFailures, address.c_str(), passFailures_, Printable(user_).c_str()));
    }
    input_.clear();
    state_ = kClosing;
    CloseWhenSent();
}

void CPopServer::Pump() {
    if (pumping_) return;
    pumping_ = true;
    while (Socket() != net::kInvalidSocket && state_ != kClosing && !passWaiting_) {
        if (output_ != Output::None) {
            ContinueOutput();
            if (output_ != Output::None) break;  // the socket is full: OnSend goes on
        }
        if (OutputBlocked()) break;
        if (!input_.empty()) {
            Input in = std::move(input_.front());
            input_.pop_front();
            if (in.tooLong) {
                Reply(Format(text::kLineTooLong, kMaxCommandLine));
            } else {
                Interpret(std::move(in.line));
            }
            continue;
        }
        if (readDeferred_) {
            readDeferred_ = false;
            if (ReceiveLines()) continue;
        }
        break;
    }
    pumping_ = false;
}

// --- commands ----------------------------------------------------------------------------

void CPopServer::Interpret(std::string line) {
    line = Trim(line);
    const size_t blank = line.find(' ');
    std::string word = line.substr(0, blank);
    std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    for (auto& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const CommandEntry* entry = LookUpCommand(word);
    // STLS exists only while a certificate is set: otherwise it is as unknown as it always was.
    if (entry && entry->command == kStls && !tls_) entry = nullptr;
    if (!entry) {
        Reply(text::kUnknownCommand);
        return;
    }
    if ((entry->states & (1u << state_)) == 0) {
        Reply(entry->command == kPass && state_ == kWaitUser ? text::kNeedUser : text::kInvalidCommand);
        return;
    }
    switch (entry->command) {
        case kUser: User(arg); break;
        case kPass: Pass(arg); break;
        case kQuit: Quit(); break;
        case kCapa:
            status_ = text::kCapaHead;
            output_ = Output::Capa;
            break;
        case kStls: Stls(); break;
        default: Transaction(entry->command, arg); break;
    }
}

// The answer goes out in plain text, then the handshake. Commands the client sent along with
// STLS were sent in plain text and are dropped; after the handshake it starts again with USER.
void CPopServer::Stls() {
    if (IsTls()) {
        Reply(text::kTlsActive);
        return;
    }
    Reply(text::kBeginTls);
    input_.clear();
    readDeferred_ = false;
    user_.clear();
    if (!StartTlsServer(tls_)) Close(true);  // only without memory: the client expects TLS now
}

// USER answers the same for every name, known or not, locked or not: a stranger learns
// nothing about the mailboxes from it. What the name is worth shows at PASS.
void CPopServer::User(const std::string& arg) {
    std::string name = arg;
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    user_ = name;
    autocreate_ = 0;
    mailbox_.Close();  // nothing of an earlier USER carries over
    directory_.clear();
    lockPath_.clear();
    Reply(Format(text::kGetsMail, Printable(name).c_str()));
    state_ = kWaitPass;
    // A name that could leave the mailbox folder or reach into another key is nobody's.
    if (!IsSafeMailboxName(name)) return;
    if (mailbox_.Open(name)) {
        directory_ = mailbox_.Directory();
        lockPath_ = JoinPath(directory_, kMailboxLockFile);
        return;
    }
    CRegistryKey("", false).ReadInt("Autocreate", autocreate_);
}

void CPopServer::Pass(const std::string& arg) {
    std::string peer;
    unsigned port = 0;
    GetPeerName(peer, port);
    auto& throttle = auth::CLoginThrottle::Shared();
    // An address that failed too often is refused as a wrong password is, whatever it sends.
    if (throttle.Refused(peer)) {
        PassFailed(peer);
        return;
    }
    if (mailbox_.IsOpen()) {
        // Robot mailboxes take no logins, and a password that is still the name counts only
        // from the office's networks: either answers as a wrong password does.
        const bool fromRelayNets = AddressInNets(peer, RelayNets());
        if (auth::LoginBarFor(mailbox_.IsRobot(), mailbox_.PasswordIsName(), fromRelayNets) != auth::LoginBar::None) {
            PassFailed(peer);
            return;
        }
        if (mailbox_.CheckPassword(arg)) {
            throttle.Succeeded(peer);
            EnterTransaction(text::kReady);
            return;
        }
    }
    if (autocreate_ == 0) {
        PassFailed(peer);
        return;
    }
    if (!IsAddressableName(user_)) {
        // Mail could never reach it: the mailbox would only collect nothing.
        Reply(Format(text::kNotAddressable, Printable(user_).c_str(), kMaxNewNameLength));
        return;
    }
    if (arg.empty() || arg.size() > kMaxPasswordLength || arg.find('\0') != std::string::npos) {
        Reply(Format(text::kNewPasswordLength, kMaxPasswordLength));
        return;
    }
    {
        std::lock_guard lock(g_createMutex);
        if (mailbox_.Open(user_)) {
            // Another client made this mailbox since USER: it is an existing one now.
            autocreate_ = 0;
            if (!mailbox_.CheckPassword(arg)) {
                PassFailed(peer);
                return;
            }
        } else if (!mailbox_.Create(user_, kMailboxUser) || !mailbox_.SetPassword(arg)) {
            Reply(text::kCannotCreate);
            WriteLogLine("POP3 server could not create the mailbox " + user_ +
                         ": the configuration store refused the change. Check that the hive file is writable.");
            return;
        } else {
            WriteLogLine(Format(text::kLogCreated, user_.c_str()));
        }
    }
    directory_ = mailbox_.Directory();
    lockPath_ = JoinPath(directory_, kMailboxLockFile);
    EnterTransaction(autocreate_ ? text::kNewReady : text::kReady);
}

// The answer is held back for the pause; commands sent meanwhile wait behind it (Busy). A
// helper thread only sleeps and posts the wake-up, so the conversation's own thread stays free
// for its socket and for a quit request.
void CPopServer::PassFailed(const std::string& peer) {
    // Counted now, before the pause: a client that hangs up early has still made its guess.
    // Each guess is logged only until the address's refusal starts; from then on the counter
    // logs one line a period for it.
    auto& throttle = auth::CLoginThrottle::Shared();
    throttle.Failed(peer, "POP3");
    quietFailures_ = throttle.Failures(peer) >= auth::CLoginThrottle::kFailuresBeforeRefusal;
    if (!quietFailures_) WriteLogLine(Format(text::kLogInvalidPassword, Printable(user_).c_str()));
    ++passFailures_;
    passWaiting_ = true;
    const auto delay = kPassDelay * (1 << std::min(passFailures_ - 1, 10));
    // No thread to be had (the process is at its limit): the guesser gets no quicker answer,
    // only the end of the conversation.
    if (!StartPassDelay(delay)) CloseWhenSent();
}

bool CPopServer::StartPassDelay(std::chrono::milliseconds delay) {
    try {
        std::thread([handle = Handle(), delay] {
            std::this_thread::sleep_for(delay);
            handle.PostThreadMessage(kWmPassDelayOver);  // fails harmlessly when the client left
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CPopServer::EnterTransaction(const char* okText) {
    if (!CreateLock()) return;
    if (!LoadMessageList()) {
        RemoveLock();
        Reply(text::kCannotRead);
        return;
    }
    Reply(okText);
    state_ = kTransaction;
}

// The lock is made only if it is not there yet, so of two clients that passed USER at the
// same time only one gets the mailbox.
bool CPopServer::CreateLock() {
    const int fd = ::open(lockPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        if (err == EEXIST) {
            Reply(text::kLocked);
        } else {
            Reply(text::kCannotLock);
            WriteLogLine("POP3 server could not create the lock file " + lockPath_ + ": " + std::strerror(err) +
                         ". Check that the mailbox folder exists and is writable.");
        }
        return false;
    }
    lockHeld_ = true;
    const ssize_t written = ::write(fd, kLockText, std::strlen(kLockText));
    (void)written;  // the file's existence is the lock; its text is for people who look
    ::close(fd);
    return true;
}

void CPopServer::RemoveLock() {
    if (!lockHeld_) return;
    lockHeld_ = false;
    ::unlink(lockPath_.c_str());
}

// Every *.txt file of the folder. Sorted by name, which is the order of arrival: queue file
// names are numbered.
bool CPopServer::LoadMessageList() {
    messages_.clear();
    std::vector<FolderEntry> files;
    std::string error;
    if (!ListFolder(directory_, ".txt", files, &error)) {
        WriteLogLine("POP3 server could not read the mailbox folder " + directory_ + ": " + error +
                     ". Check that it exists and is readable.");
        return false;
    }
    for (auto& f : files) messages_.push_back({std::move(f.name), false, f.size});
    return true;
}

void CPopServer::Transaction(int command, const std::string& arg) {
    const long long count = static_cast<long long>(messages_.size());
    long long n = MessageNumber(arg);
    auto valid = [&] { return n >= 1 && n <= count; };
    switch (command) {
        case kStat: {
            size_t number = 0;
            uint64_t octets = 0;
            for (const auto& m : messages_) {
                if (m.deleted) continue;
                ++number;
                octets += m.size;
            }
            Reply(Format(text::kStat, number, static_cast<unsigned long long>(octets)));
            break;
        }
        case kList:
            // An empty mailbox has an empty listing, not an error: clients poll empty mailboxes.
            if (arg.empty()) {
                status_ = text::kListHead;
                output_ = Output::List;
                cursor_ = 0;
            } else if (!valid()) {
                Reply(text::kInvalidNumber);
            } else if (messages_[n - 1].deleted) {
                Reply(text::kMessageDeleted);
            } else {
                Reply(Format(text::kListOne, n, static_cast<unsigned long long>(messages_[n - 1].size)));
            }
            break;
        case kRetr:
            if (n == 0) n = 1;
            if (!valid()) {
                Reply(text::kInvalidNumber);
                break;
            }
            last_ = std::max(last_, static_cast<size_t>(n));
            if (messages_[n - 1].deleted) {
                Reply(text::kInvalidNumber);
            } else {
                StartRetrieve(static_cast<size_t>(n - 1));
            }
            break;
        case kTop: {
            // TOP msg n: both numbers are required; a look at the header does not count as a
            // retrieval for LAST.
            const size_t blank = arg.find(' ');
            const std::string lines = blank == std::string::npos ? std::string() : Trim(arg.substr(blank + 1));
            const long long count2 = MessageNumber(lines);
            if (blank == std::string::npos || lines.empty() || !std::isdigit(static_cast<unsigned char>(lines[0])) ||
                count2 < 0) {
                Reply(text::kInvalidTop);
            } else if (!valid() || messages_[n - 1].deleted) {
                Reply(text::kInvalidNumber);
            } else {
                StartRetrieve(static_cast<size_t>(n - 1), true, static_cast<uint64_t>(count2));
            }
            break;
        }
        case kDele:
            if (n == 0) n = 1;
            if (valid()) {
                messages_[n - 1].deleted = true;
                Reply(text::kOk);
            } else {
                Reply(text::kInvalidNumber);
            }
            break;
        case kNoop: Reply(text::kOk); break;
        case kLast: Reply(Format(text::kLast, last_)); break;
        case kUidl:
            if (arg.empty()) {
                status_ = text::kUidlHead;
                output_ = Output::Uidl;
                cursor_ = 0;
            } else if (valid()) {
                Reply(Format(text::kUidlOne, n) + messages_[n - 1].fileName);
            } else {
                Reply(Format(text::kUidlInvalid, count));
            }
            break;
        case kRset:
            for (auto& m : messages_) m.deleted = false;
            Reply(text::kOk);
            break;
        default: Reply(text::kInvalidCommand); break;
    }
}

// Deletions happen only here, in the transaction state; the client hears "+OK" once they are
// done, and the lock goes before the reply so that it can log in again at once.
void CPopServer::Quit() {
    int failed = 0;
    if (state_ == kTransaction) {
        for (const auto& m : messages_) {
            if (!m.deleted) continue;
            const std::string path = JoinPath(directory_, m.fileName);
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                WriteLogLine("POP3 server could not delete " + path + ": " + std::strerror(errno) +
                             ". The message stays in the mailbox; check the folder's permissions.");
                ++failed;
            }
        }
    }
    RemoveLock();
    if (failed == 0) {
        Reply(text::kOk);
    } else {
        Reply(Format(text::kNotDeleted, failed));
    }
    state_ = kClosing;
    CloseWhenSent();
}

// --- long replies ------------------------------------------------------------------------

void CPopServer::StartRetrieve(size_t index, bool top, uint64_t topLines) {
    const std::string path = JoinPath(directory_, messages_[index].fileName);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) {
            Reply(Format(text::kVanished, index + 1));
        } else {
            Reply(Format(text::kUnreadable, index + 1));
            WriteLogLine("POP3 server could not read " + path + ": " + std::strerror(err) +
                         ". Check the file's permissions.");
        }
        return;
    }
    file_ = fd;
    fileName_ = path;
    if (readBuffer_.size() != kReadChunk) readBuffer_.resize(kReadChunk);
    readPos_ = readEnd_ = 0;
    atLineStart_ = true;
    heldCR_ = 0;
    top_ = top;
    topLines_ = topLines;
    inHeader_ = true;
    lineHasText_ = false;
    bodyLines_ = 0;
    topDone_ = false;
    status_ = "+OK\r\n";
    output_ = Output::Retr;
}

void CPopServer::ContinueOutput() {
    while (output_ != Output::None && !OutputBlocked()) {
        batch_.assign(status_);  // the status line travels with the first part of the reply
        status_.clear();
        Fill result = Fill::Done;
        switch (output_) {
            case Output::List: result = FillList(batch_); break;
            case Output::Uidl: result = FillUidl(batch_); break;
            case Output::Retr: result = FillRetr(batch_); break;
            case Output::Capa: result = FillCapa(batch_); break;
            case Output::None: break;
        }
        if (result == Fill::Failed) {
            // The "+OK" is out and the message cannot be finished: ending without the final
            // "." tells the client that it did not get the whole message.
            EndOutput();
            Close(true);
            return;
        }
        if (!batch_.empty() && !SendBytes(batch_)) {
            EndOutput();
            Close(true);  // the connection is broken
            return;
        }
        if (result == Fill::Done) EndOutput();
    }
}

CPopServer::Fill CPopServer::FillList(std::string& out) {
    char line[48];
    for (; cursor_ < messages_.size() && out.size() < kOutputBatch; ++cursor_) {
        if (messages_[cursor_].deleted) continue;
        std::snprintf(line, sizeof line, "%zu %llu\r\n", cursor_ + 1,
                      static_cast<unsigned long long>(messages_[cursor_].size));
        out.append(line);
    }
    if (cursor_ < messages_.size()) return Fill::More;
    out.append(".\r\n");
    return Fill::Done;
}

CPopServer::Fill CPopServer::FillUidl(std::string& out) {
    char number[24];
    for (; cursor_ < messages_.size() && out.size() < kOutputBatch; ++cursor_) {
        std::snprintf(number, sizeof number, "%zu ", cursor_ + 1);
        out.append(number).append(messages_[cursor_].fileName).append("\r\n");
    }
    if (cursor_ < messages_.size()) return Fill::More;
    out.append(".\r\n");
    return Fill::Done;
}

CPopServer::Fill CPopServer::FillCapa(std::string& out) {
    out.append(text::kCapabilities);
    if (tls_ && !IsTls()) out.append(text::kCapaStls);
    out.append(text::kCapaEnd);
    return Fill::Done;
}

// Lines go out whole, however long: cutting a long line would change the message.
CPopServer::Fill CPopServer::FillRetr(std::string& out) {
    while (out.size() < kOutputBatch) {
        if (topDone_) {
            out.append(".\r\n");
            return Fill::Done;
        }
        if (readPos_ == readEnd_) {
            ssize_t n;
            do {
                n = ::read(file_, readBuffer_.data(), readBuffer_.size());
            } while (n < 0 && errno == EINTR);
            if (n < 0) {
                WriteLogLine("POP3 server could not read " + fileName_ + " while sending it: " +
                             std::strerror(errno) + ". The client was disconnected and the message kept.");
                return Fill::Failed;
            }
            if (n == 0) {
                if (!atLineStart_ || heldCR_ > 0) out.append("\r\n");  // a last line without its end
                out.append(".\r\n");
                return Fill::Done;
            }
            readPos_ = 0;
            readEnd_ = static_cast<size_t>(n);
        }
        const char* begin = readBuffer_.data() + readPos_;
        const size_t available = readEnd_ - readPos_;
        const char* lf = static_cast<const char*>(std::memchr(begin, '\n', available));
        const size_t length = lf ? static_cast<size_t>(lf - begin) : available;
        AppendMessageBytes(out, std::string_view(begin, length), lf != nullptr);
        readPos_ += length + (lf ? 1 : 0);
    }
    return Fill::More;
}

// A piece of a message line; lineEnds when its LF followed. Trailing CRs are dropped and CR LF
// put in their place; a line that begins with "." gets another one in front.
void CPopServer::AppendMessageBytes(std::string& out, std::string_view piece, bool lineEnds) {
    size_t end = piece.size();
    while (end > 0 && piece[end - 1] == '\r') --end;
    if (end > 0) {
        if (atLineStart_ && heldCR_ == 0 && piece[0] == '.') out.push_back('.');
        out.append(heldCR_, '\r');
        heldCR_ = 0;
        out.append(piece.data(), end);
        atLineStart_ = false;
        lineHasText_ = true;
    }
    heldCR_ += piece.size() - end;
    if (lineEnds) {
        out.append("\r\n");
        heldCR_ = 0;
        atLineStart_ = true;
        if (top_) {
            // The header ends at its first empty line; TOP then counts the body's lines.
            if (inHeader_) {
                if (!lineHasText_) inHeader_ = false;
            } else {
                ++bodyLines_;
            }
            topDone_ = !inHeader_ && bodyLines_ >= topLines_;
        }
        lineHasText_ = false;
    } else if (heldCR_ > kMaxHeldCR) {
        out.append(heldCR_, '\r');
        heldCR_ = 0;
        atLineStart_ = false;
        lineHasText_ = true;
    }
}

void CPopServer::EndOutput() {
    if (file_ >= 0) ::close(file_);
    file_ = -1;
    output_ = Output::None;
    status_.clear();
    cursor_ = 0;
}

// --- start-up ----------------------------------------------------------------------------

int RemoveStaleMailboxLocks(const std::string& spoolRoot) {
    const std::string folder = JoinPath(spoolRoot, kMailboxDir);
    int removed = 0;
    for (const auto& name : ListSubfolders(folder)) {  // no mailbox folders yet: no locks
        const std::string lock = JoinPath(JoinPath(folder, name), kMailboxLockFile);
        if (::unlink(lock.c_str()) == 0) {
            ++removed;
        } else if (errno != ENOENT) {
            WriteLogLine("Could not remove the mailbox lock " + lock + " left by an earlier run: " +
                         std::strerror(errno) + ". Remove it by hand, or POP3 clients cannot log in to that mailbox.");
        }
    }
    if (removed > 0) {
        WriteLogLine(Format("Removed %d mailbox lock file(s) left by an earlier run", removed));
    }
    return removed;
}

}  // namespace pv

