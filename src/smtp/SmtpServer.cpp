#include "smtp/SmtpServer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "net/RelayNets.h"

namespace pv {

namespace {

std::mutex g_countMutex;
int g_liveCount = 0;

constexpr const char* kCommands = "HELO,MAIL,RCPT,DATA,RSET,NOOP,QUIT";
enum Command { kHelo, kMail, kRcpt, kData, kRset, kNoop, kQuit };

std::string Trim(std::string_view text) {
    size_t b = text.find_first_not_of(" \t\r\n\v\f");
    if (b == std::string_view::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n\v\f");
    return std::string(text.substr(b, e - b + 1));
}

int LookUpCommand(std::string word) {
    for (auto& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word.size() != 4) return -1;
    std::string_view list(kCommands);
    for (int i = 0; i * 5 < static_cast<int>(list.size()); ++i) {
        if (list.substr(i * 5, 4) == word) return i;
    }
    return -1;
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

}  // namespace

CSMTPServer::CSMTPServer() {
    primaryDomain_ = PrimaryDomain();
    std::lock_guard lock(g_countMutex);
    ++g_liveCount;
    Events().Signal(NamedEvent::SmtpRc);
}

CSMTPServer::~CSMTPServer() {
    // A transaction cut off by a time-out or a dropped connection leaves nothing behind that
    // looks like mail.
    if (messageOpen_ || messageFailed_) messageFile_.Discard();
    std::lock_guard lock(g_countMutex);
    if (--g_liveCount == 0) Events().Reset(NamedEvent::SmtpRc);
}

int CSMTPServer::LiveCount() {
    std::lock_guard lock(g_countMutex);
    return g_liveCount;
}

void CSMTPServer::Reply(std::string_view text) { SendLine(text); }

void CSMTPServer::OnSend() {
    if (state_ != kGreeting) return;
    Reply("220 " + primaryDomain_ + " Postvane server ready");
    state_ = kCommands;
    SetTimeout(ReadTimeoutSeconds("SMTPintimeout"));
}

void CSMTPServer::OnReceive() {
    char buffer[16 * 1024];
    int n = Receive(buffer, sizeof buffer);
    if (n > 0) Feed(std::string_view(buffer, static_cast<size_t>(n)));
}

void CSMTPServer::OnClose() { Close(true); }

void CSMTPServer::OnConnect() { AsyncSelect(net::kFdAllEvents); }

void CSMTPServer::OnTimeout() {
    WriteLogLine(TimeoutLine("SMTP server"));
    PostThreadMessage(net::kWmQuit);
}

// Lines end at LF; CR bytes are dropped. Commands have a length limit; message text streams to
// its file, so neither can make the conversation hold an unbounded amount of input.
void CSMTPServer::Feed(std::string_view bytes) {
    while (!bytes.empty() && Socket() != net::kInvalidSocket) {
        size_t lf = bytes.find('\n');
        std::string_view piece = bytes.substr(0, lf == std::string_view::npos ? bytes.size() : lf);
        if (!overLong_) {
            for (char c : piece) {
                if (c != '\r') line_.push_back(c);
            }
            if (state_ == kText && line_.size() > kTextSpill) {
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
    std::string line;
    line.swap(line_);
    if (overLong_) {
        overLong_ = false;
        if (state_ == kCommands) Reply("500 Line too long");
        return;
    }
    switch (state_) {
        case kCommands: HandleCommand(std::move(line)); break;
        case kText: HandleTextLine(line, true); break;
        default: break;  // greeting not sent yet, or closing: ignored
    }
}

void CSMTPServer::HandleCommand(std::string line) {
    line = Trim(line);
    if (line.empty()) {
        Reply("550 Syntax Error");
        return;
    }
    size_t blank = line.find(' ');
    std::string word = line.substr(0, blank);
    std::string arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    switch (LookUpCommand(word)) {
        case kHelo: Helo(arg); break;
        case kMail: Mail(arg); break;
        case kRcpt: Rcpt(arg); break;
        case kData:
            if (recipients_.empty()) {
                Reply("550 who is the mail to");
            } else {
                Reply("354 Start mail input; end with <CRLF>.<CRLF>");
                state_ = kText;
                midTextLine_ = false;
            }
            break;
        case kRset:
            ResetTransaction();
            Reply("250 Ok");
            break;
        case kNoop: Reply("250 Ok, Twiddling thumbs"); break;
        case kQuit:
            Reply("221 " + primaryDomain_ + " Service closing transmission channel");
            state_ = kClosing;
            // The reply goes out completely before the connection closes.
            CloseWhenSent();
            break;
        default: Reply("550 Syntax Error"); break;
    }
}

void CSMTPServer::Helo(const std::string& arg) {
    std::string name = Trim(arg);
    if (name.empty()) {
        clientName_ = "Anonymous";
        Reply("250 Why do you wish to remain anonymous");
    } else {
        clientName_ = name;
        Reply("250 " + primaryDomain_);
    }
}

void CSMTPServer::Mail(const std::string& arg) {
    if (clientName_.empty()) {
        Reply("550 who are you");
        return;
    }
    queuePath_ = InboundQueuePath();
    std::string address;
    if (!BracketedAddress(arg, address)) {
        Reply("500 Syntax Error");
        return;
    }
    sender_ = address;
    Reply("250 <" + sender_ + "> Sender Ok");
}

void CSMTPServer::Rcpt(const std::string& arg) {
    if (sender_.empty()) {
        Reply("550 who is the MAIL from");
        return;
    }
    std::string address;
    if (!BracketedAddress(arg, address)) {
        Reply("500 Syntax Error");
        return;
    }
    if (recipients_.size() >= kMaxRecipients) {
        Reply("452 Too many recipients");
        return;
    }
    CMailbox box;
    AddressClass c = address.empty() ? AddressClass::UnknownLocal : box.Classify(address);
    if (c == AddressClass::Remote) {
        // Only clients on the office's own networks may send mail on to other domains.
        std::string peer;
        unsigned port = 0;
        if (!GetPeerName(peer, port) || !AddressInNets(peer, RelayNets())) {
            Reply("550 Relaying denied");
            WriteLogLine("SMTP Server rejected message for " + address);
            return;
        }
    }
    if (c == AddressClass::UnknownLocal) {
        Reply("550 Recipient unknown");
        WriteLogLine("SMTP Server rejected message for " + address);
        return;
    }
    recipients_.push_back(address);
    WriteLogLine("Mail for <" + address + "> from <" + sender_ + ">");
    Reply("250 Recipient Ok");
}

bool CSMTPServer::OpenMessageFile() {
    if (queuePath_.empty() || !messageFile_.Open(queuePath_ + ".txt")) {
        messageFailed_ = true;
        return false;
    }
    messageOpen_ = true;
    // Names are written as plain text, never used as a format.
    messageFile_.WriteLine("Received: from " + clientName_ + " by " + primaryDomain_);
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
    if (lineEnds && !midTextLine_ && line == ".") {
        EndOfText();
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

// The client hears "250 Ok" only once the message and its envelope are safely on disk.
void CSMTPServer::EndOfText() {
    state_ = kCommands;
    if (!messageOpen_ && !messageFailed_) {
        Reply("550 Error");
        ResetTransaction();
        return;
    }
    // Flushed together with its envelope in WriteEnvelopeAndCommit.
    bool ok = messageOpen_ && messageFile_.StartWriteback() && messageFile_.Close();
    messageOpen_ = false;
    if (ok) ok = WriteEnvelopeAndCommit(queuePath_, sender_, recipients_);
    if (!ok) {
        int err = messageFile_.Errno();
        messageFile_.Discard();
        messageFailed_ = false;
        WriteLogLine("SMTP Server could not store a message from <" + sender_ + "> in " + queuePath_ +
                     (err ? std::string(": ") + std::strerror(err) : std::string()));
        Reply("451 Error: the message could not be stored, please try again later");
        ResetTransaction();
        return;
    }
    Reply("250 Ok");
    ResetTransaction();
}

void CSMTPServer::ResetTransaction() {
    if (messageOpen_ || messageFailed_) messageFile_.Discard();
    messageOpen_ = false;
    messageFailed_ = false;
    sender_.clear();
    recipients_.clear();
    midTextLine_ = false;
}

}  // namespace pv
