#include "smtp/SmtpServer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "net/LanTls.h"
#include "net/Address.h"
#include "net/RelayNets.h"

namespace pv {

namespace {

std::mutex g_countMutex;
int g_liveCount = 0;

enum Command { kHelo, kMail, kRcpt, kData, kRset, kNoop, kQuit, kEhlo, kStartTls };
struct CommandEntry {
    const char* name;
    Command command;
};
constexpr CommandEntry kCommandTable[] = {
    {"HELO", kHelo}, {"MAIL", kMail}, {"RCPT", kRcpt}, {"DATA", kData},         {"RSET", kRset},
    {"NOOP", kNoop}, {"QUIT", kQuit}, {"EHLO", kEhlo}, {"STARTTLS", kStartTls},
};

std::string Trim(std::string_view text) {
    size_t b = text.find_first_not_of(" \t\r\n\v\f");
    if (b == std::string_view::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n\v\f");
    return std::string(text.substr(b, e - b + 1));
}

int LookUpCommand(std::string word) {
    for (auto& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const auto& entry : kCommandTable) {
        if (word == entry.name) return entry.command;
    }
    return -1;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The text between the first "<" and the first ">", without a source route; false when a
// bracket is missing.
bool BracketedAddress(const std::string& arg, std::string& address) {
    size_t lt = arg.find('<');
    size_t gt = arg.find('>');
    if (lt == std::string::npos || gt == std::string::npos) return false;
    address = gt > lt ? arg.substr(lt + 1, gt - lt - 1) : std::string();
    if (size_t colon = address.find(':'); colon != std::string::npos) address.erase(0, colon + 1);
    return true;
}

// Why an address from MAIL or RCPT cannot be taken, or null. A work file line holds 254
// characters: a longer address would reach the relay cut short, as someone else's. Control
// characters (NUL above all) have no place in an address and would be echoed and stored.
const char* AddressProblem(std::string_view address) {
    if (address.size() > kWorkLineLimit) return smtp_reply::kAddressTooLong;
    for (char c : address) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return smtp_reply::kAddressControl;
    }
    return nullptr;
}

bool SameAddress(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

}  // namespace

CSMTPServer::CSMTPServer() {
    primaryDomain_ = PrimaryDomain();
    tls_ = net::LanTlsContext();
    uint32_t limit = 0;
    if (CRegistryKey("AdvCon", false).ReadInt("MaxMessageSize", limit) && limit != 0) maxMessageSize_ = limit;
    std::lock_guard lock(g_countMutex);
    ++g_liveCount;
    Events().Signal(NamedEvent::SmtpRc);
}

CSMTPServer::~CSMTPServer() {
    // A transaction cut off by a time-out or a dropped connection leaves nothing behind that
    // looks like mail.
    DropMessageFile();
    std::lock_guard lock(g_countMutex);
    if (--g_liveCount == 0) Events().Reset(NamedEvent::SmtpRc);
}

int CSMTPServer::LiveCount() {
    std::lock_guard lock(g_countMutex);
    return g_liveCount;
}

void CSMTPServer::Reply(std::string_view text) {
    if (!text.empty() && text[0] == '5') CountMetric(Metric::MessagesRefused);
    SendLine(text);
}

// Made room for a new client: a real client that was only slow hears why and tries again.
void CSMTPServer::OnEvicted() {
    Reply("421 " + primaryDomain_ + smtp_reply::kEvicted);
    state_ = kClosing;
    Close(true);
}

// The first write event sends the greeting; later ones mean the client has taken every reply,
// so input held back meanwhile is handled and reading resumes.
void CSMTPServer::OnSend() {
    if (state_ == kGreeting) {
        Reply("220 " + primaryDomain_ + smtp_reply::kGreeting);
        state_ = kCommands;
        SetTimeout(ReadTimeoutSeconds("SMTPintimeout"));
    }
    if (!heldInput_.empty()) {
        std::string held;
        held.swap(heldInput_);
        Feed(held);
    }
    if (readDeferred_ && !InputHeld() && Socket() != net::kInvalidSocket) {
        readDeferred_ = false;
        ReadSome();
    }
}

bool CSMTPServer::InputHeld() const { return !heldInput_.empty() || PendingOutputBytes() > kMaxPendingOutput; }

void CSMTPServer::OnReceive() {
    // Not reading leaves the bytes in the socket; the read event comes again after the next
    // Receive, which OnSend makes once the replies are out.
    if (InputHeld()) {
        readDeferred_ = true;
        return;
    }
    ReadSome();
}

void CSMTPServer::ReadSome() {
    char buffer[kReceiveChunk];
    int n = Receive(buffer, sizeof buffer);
    if (n > 0) Feed(std::string_view(buffer, static_cast<size_t>(n)));
}

void CSMTPServer::OnClose() { Close(true); }

void CSMTPServer::OnConnect() { AsyncSelect(net::kFdAllEvents); }

void CSMTPServer::OnTimeout() {
    WriteLogLine(TimeoutLine("SMTP server"));
    PostThreadMessage(net::kWmQuit);
}

void CSMTPServer::OnSessionLimit() {
    Reply("421 " + primaryDomain_ + smtp_reply::kSessionLimit);
    state_ = kClosing;
    net::CSocketThread::OnSessionLimit();
}

// Lines end at LF; CR bytes are dropped, but whether a line ended with CR LF is kept for the
// end of the text. Commands have a length limit; message text streams to its file; bytes
// that arrive while replies pile up wait in heldInput_ (at most one receive's worth), so none
// of them can make the conversation hold an unbounded amount.
void CSMTPServer::Feed(std::string_view bytes) {
    const uint64_t tlsStarts = tlsStarts_;
    // After STARTTLS the rest of what arrived in plain text is dropped, never taken as a command.
    while (!bytes.empty() && Socket() != net::kInvalidSocket && tlsStarts_ == tlsStarts) {
        if (PendingOutputBytes() > kMaxPendingOutput) {
            heldInput_.assign(bytes.data(), bytes.size());
            return;
        }
        size_t lf = bytes.find('\n');
        std::string_view piece = bytes.substr(0, lf == std::string_view::npos ? bytes.size() : lf);
        rawLength_ += piece.size();
        if (!piece.empty()) lastByteCR_ = piece.back() == '\r';
        if (!overLong_) {
            // Text keeps dropping CR bytes as it always has; a command keeps them, so that a CR
            // inside an address is refused instead of quietly joining its two halves.
            for (char c : piece) {
                if (c != '\r' || state_ != kText) line_.push_back(c);
            }
            if (state_ == kText && line_.size() > kTextSpill) {
                MarkProgress();  // a text line too long to hold, arriving in bulk
                HandleTextLine(line_, false);
                line_.clear();
            } else if (state_ != kText && line_.size() > kMaxCommandLine) {
                overLong_ = true;
                line_.clear();
                line_.shrink_to_fit();
            }
        }
        if (lf == std::string_view::npos) return;
        bytes.remove_prefix(lf + 1);
        EndOfLine();
    }
}

void CSMTPServer::EndOfLine() {
    MarkProgress();  // a complete line, command or text: partial ones are not progress
    std::string line;
    line.swap(line_);
    const bool crlf = lastByteCR_;
    // Exactly "." CR LF: a "." line ended by a bare LF (or by CR CR LF) is text, so a second
    // message hidden after it in the same DATA is never taken as one of its own.
    const bool endMark = line == "." && rawLength_ == 2 && crlf;
    const bool afterCRLF = afterCRLF_;
    rawLength_ = 0;
    lastByteCR_ = false;
    afterCRLF_ = crlf;
    if (overLong_) {
        overLong_ = false;
        if (state_ == kCommands) Reply(smtp_reply::kLineTooLong);
        return;
    }
    switch (state_) {
        case kCommands: HandleCommand(std::move(line)); break;
        case kText:
            if (endMark && afterCRLF && !midTextLine_) {
                EndOfText();
            } else {
                HandleTextLine(line, true);
            }
            break;
        default: break;  // greeting not sent yet, or closing: ignored
    }
}

void CSMTPServer::HandleCommand(std::string line) {
    line = Trim(line);
    if (line.empty()) {
        Reply(smtp_reply::kSyntaxError);
        return;
    }
    size_t blank = line.find(' ');
    std::string word = line.substr(0, blank);
    std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    switch (LookUpCommand(word)) {
        case kHelo: Helo(arg); break;
        case kEhlo: Ehlo(arg); break;
        case kStartTls: StartTls(arg); break;
        case kMail: Mail(arg); break;
        case kRcpt: Rcpt(arg); break;
        case kData:
            if (recipients_.empty()) {
                Reply(smtp_reply::kWhoIsTo);
            } else {
                Reply(smtp_reply::kStartInput);
                state_ = kText;
                midTextLine_ = false;
                // The DATA line itself ended the previous line: "." straight after it is the
                // end of an empty text.
                afterCRLF_ = true;
            }
            break;
        case kRset:
            ResetTransaction();
            Reply(smtp_reply::kOk);
            break;
        case kNoop: Reply(smtp_reply::kNoop); break;
        case kQuit:
            Reply("221 " + primaryDomain_ + smtp_reply::kClosing);
            state_ = kClosing;
            // The reply goes out completely before the connection closes.
            CloseWhenSent();
            break;
        default: Reply(smtp_reply::kSyntaxError); break;
    }
}

void CSMTPServer::Helo(const std::string& arg) {
    ResetTransaction();
    extended_ = false;
    std::string name = Trim(arg);
    // The name goes into the message's Received: line: no NUL or other control bytes there.
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        Reply(smtp_reply::kHeloControl);
        return;
    }
    if (name.empty()) {
        clientName_ = "Anonymous";
        Reply(smtp_reply::kAnonymous);
    } else {
        clientName_ = name;
        Reply("250 " + primaryDomain_);
    }
}

// The same checks as HELO, then the extensions, one per line: "250-" before all but the last.
void CSMTPServer::Ehlo(const std::string& arg) {
    ResetTransaction();
    extended_ = false;
    std::string name = Trim(arg);
    if (std::any_of(name.begin(), name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        Reply(smtp_reply::kHeloControl);
        return;
    }
    if (name.empty()) {
        Reply(smtp_reply::kEhloNeedsName);
        return;
    }
    clientName_ = name;
    extended_ = true;
    std::vector<std::string> lines {primaryDomain_};
    for (const char* extension : smtp_reply::kEhloExtensions) lines.emplace_back(extension);
    lines.push_back(smtp_reply::kEhloSize + std::to_string(maxMessageSize_));
    if (tls_ && !IsTls()) lines.emplace_back(smtp_reply::kEhloStartTls);
    std::string reply;
    for (size_t i = 0; i < lines.size(); ++i) {
        reply += (i + 1 < lines.size() ? "250-" : "250 ") + lines[i] + "\r\n";
    }
    SendBytes(reply);
}

// 220 goes out in plain text, then the handshake; afterwards nothing said before counts: the
// client must say HELO or EHLO again.
void CSMTPServer::StartTls(const std::string& arg) {
    if (!tls_) {
        Reply(smtp_reply::kSyntaxError);  // not offered: as any other unknown command
        return;
    }
    if (IsTls()) {
        Reply(smtp_reply::kTlsActive);
        return;
    }
    if (!Trim(arg).empty()) {
        Reply(smtp_reply::kStartTlsSyntax);
        return;
    }
    Reply(smtp_reply::kReadyForTls);
    ++tlsStarts_;
    heldInput_.clear();
    line_.clear();
    rawLength_ = 0;
    overLong_ = false;
    ResetTransaction();
    clientName_.clear();
    extended_ = false;
    if (!StartTlsServer(tls_)) {
        // Only when the library cannot make a session (no memory): the client expects TLS now.
        Close(true);
    }
}

void CSMTPServer::OnTlsReady(bool ok, const std::string& reason) {
    // A client that fails the handshake is logged and dropped by the base.
    if (!ok) net::CSocketThread::OnTlsReady(ok, reason);
}

bool CSMTPServer::MailParameters(std::string_view params) {
    while (!params.empty()) {
        const size_t start = params.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        params.remove_prefix(start);
        const size_t end = params.find(' ');
        const std::string_view param = params.substr(0, end);
        params.remove_prefix(end == std::string_view::npos ? params.size() : end);
        const size_t eq = param.find('=');
        const std::string keyword = Upper(param.substr(0, eq));
        const std::string value = eq == std::string_view::npos ? std::string() : Upper(param.substr(eq + 1));
        if (keyword == "SIZE") {
            if (value.empty() || value.size() > 19 ||
                !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                Reply(smtp_reply::kBadSize);
                return false;
            }
            if (std::stoull(value) > maxMessageSize_) {
                Reply(smtp_reply::kTooBig + std::to_string(maxMessageSize_) + " bytes");
                return false;
            }
        } else if (keyword == "BODY") {
            if (value != "7BIT" && value != "8BITMIME") {
                Reply(smtp_reply::kBadBody);
                return false;
            }
        } else {
            Reply(smtp_reply::kUnknownParameter + std::string(param.substr(0, 64)));
            return false;
        }
    }
    return true;
}

// An accepted MAIL starts a new transaction: recipients of an earlier one that never stored
// its message do not carry over to another sender's mail.
void CSMTPServer::Mail(const std::string& arg) {
    if (clientName_.empty()) {
        Reply(smtp_reply::kWhoAreYou);
        return;
    }
    std::string address;
    if (!BracketedAddress(arg, address)) {
        Reply(smtp_reply::kBracketSyntax);
        return;
    }
    if (const char* problem = AddressProblem(address)) {
        Reply(problem);
        return;
    }
    // After HELO whatever follows the address is ignored, as it always was.
    if (extended_ && !MailParameters(std::string_view(arg).substr(arg.find('>') + 1))) return;
    ResetTransaction();
    queuePath_ = InboundQueuePath();
    // "<>", the null reverse-path, is a sender too: delivery status notifications from other
    // servers come from it (RFC 5321 4.5.5). They reach local mailboxes like any mail, relaying
    // stays with RelayNets, and nothing here ever answers them (robots and failure reports
    // skip an empty sender).
    sender_ = address;
    haveSender_ = true;
    Reply("250 <" + sender_ + smtp_reply::kSenderOk);
}

void CSMTPServer::Rcpt(const std::string& arg) {
    if (!haveSender_) {
        Reply(smtp_reply::kWhoIsFrom);
        return;
    }
    std::string address;
    if (!BracketedAddress(arg, address)) {
        Reply(smtp_reply::kBracketSyntax);
        return;
    }
    if (const char* problem = AddressProblem(address)) {
        Reply(problem);
        return;
    }
    // One copy is enough: a recipient named twice is accepted again but listed once.
    for (const auto& r : recipients_) {
        if (SameAddress(r, address)) {
            Reply(smtp_reply::kRecipientOk);
            return;
        }
    }
    if (recipients_.size() >= kMaxRecipients) {
        Reply(smtp_reply::kTooManyRecipients);
        return;
    }
    CMailbox box;
    AddressClass c = address.empty() ? AddressClass::UnknownLocal : box.Classify(address);
    if (c == AddressClass::Remote) {
        // Only clients on the office's own networks may send mail on to other domains.
        std::string peer;
        unsigned port = 0;
        if (!GetPeerName(peer, port) || !AddressInNets(peer, RelayNets())) {
            Reply(smtp_reply::kRelayDenied);
            WriteLogLine("SMTP Server rejected message for " + address);
            return;
        }
    }
    if (c == AddressClass::UnknownLocal) {
        Reply(smtp_reply::kUnknown);
        WriteLogLine("SMTP Server rejected message for " + address);
        return;
    }
    recipients_.push_back(address);
    WriteLogLine("Mail for <" + address + "> from <" + sender_ + ">");
    Reply(smtp_reply::kRecipientOk);
}

bool CSMTPServer::OpenMessageFile() {
    // Created, never replaced: a file already there under this name is someone else's, and the
    // client hears 451 at the end of its text instead.
    if (queuePath_.empty() || !messageFile_.Open(queuePath_ + ".txt", /*exclusive=*/true)) {
        messageFailed_ = true;
        return false;
    }
    messageOpen_ = true;
    messageCreated_ = true;
    // Names are written as plain text, never used as a format.
    // The client's address as RFC 5321 writes it in the TCP-info: "[192.0.2.1]",
    // "[IPv6:2001:db8::1]".
    std::string peer;
    unsigned port = 0;
    const std::string literal = GetPeerName(peer, port) ? " (" + net::SmtpAddressLiteral(peer) + ")" : std::string();
    messageFile_.WriteLine("Received: from " + clientName_ + literal + " by " + primaryDomain_);
    char stamp[96];
    std::time_t now = std::time(nullptr);
    std::tm tm {};
    localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%A,%B %d, %Y, %H:%M:%S ", &tm);
    std::string second = std::string("     ") + stamp;
    if (recipients_.size() == 1) second += " for " + recipients_.front();
    messageFile_.WriteLine(second);
    return true;
}

// One text line, or with lineEnds false the first pieces of a line too long to hold.
void CSMTPServer::HandleTextLine(std::string_view line, bool lineEnds) {
    textBytes_ += line.size() + (lineEnds ? 2 : 0);
    if (textBytes_ > maxMessageSize_ && !tooBig_) {
        // Past the limit (announced after EHLO, and holding after HELO all the same): the rest
        // is read and dropped, and the client hears 552.
        tooBig_ = true;
        DropMessageFile();
        messageFailed_ = true;
    }
    if (tooBig_) {
        midTextLine_ = !lineEnds;
        return;
    }
    if (!messageOpen_ && !messageFailed_) OpenMessageFile();
    if (messageOpen_) {
        // Undo the client's dot-stuffing at the start of a line.
        if (!midTextLine_ && !line.empty() && line[0] == '.') line.remove_prefix(1);
        bool ok = lineEnds ? messageFile_.WriteLine(line) : messageFile_.Write(line);
        if (!ok) {
            messageOpen_ = false;
            messageFailed_ = true;
        }
    }
    midTextLine_ = !lineEnds;
}

// The client hears "250 Ok" only once the message and its envelope are safely on disk. Only a
// stored message ends the transaction: after "550 Error" or "451" the sender and recipients
// stay, and the client may send DATA again.
void CSMTPServer::EndOfText() {
    state_ = kCommands;
    if (tooBig_) {
        Reply(smtp_reply::kTooBig + std::to_string(maxMessageSize_) + " bytes");
        ResetTransaction();
        return;
    }
    if (!messageOpen_ && !messageFailed_) {
        Reply(smtp_reply::kEmptyText);
        return;
    }
    // Flushed together with its envelope in WriteEnvelopeAndCommit.
    bool ok = messageOpen_ && messageFile_.StartWriteback() && messageFile_.Close();
    messageOpen_ = false;
    int err = messageFile_.Errno();
    if (ok) {
        ok = WriteEnvelopeAndCommit(queuePath_, sender_, recipients_);
        if (!ok) err = errno;
    }
    if (!ok) {
        DropMessageFile();
        WriteLogLine("SMTP Server could not store a message from <" + sender_ + "> in " + queuePath_ +
                     (err ? std::string(": ") + std::strerror(err) : std::string()));
        Reply(smtp_reply::kNotStored);
        // The name may be what failed (a file or folder already in its place): a new try
        // gets a new one.
        queuePath_ = InboundQueuePath();
        return;
    }
    messageCreated_ = false;  // committed: the spooler's from now on
    CountMetric(Metric::MessagesAccepted);
    Reply(smtp_reply::kOk);
    ResetTransaction();
}

// Removes the message file if this transaction made it; one found in place is left alone.
void CSMTPServer::DropMessageFile() {
    if (messageCreated_) {
        messageFile_.Discard();
    } else {
        messageFile_.Close();
    }
    messageOpen_ = false;
    messageFailed_ = false;
    messageCreated_ = false;
    midTextLine_ = false;
}

void CSMTPServer::ResetTransaction() {
    DropMessageFile();
    textBytes_ = 0;
    tooBig_ = false;
    sender_.clear();
    haveSender_ = false;
    recipients_.clear();
    queuePath_.clear();
}

}  // namespace pv
