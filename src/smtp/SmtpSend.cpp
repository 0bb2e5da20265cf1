#include "smtp/SmtpSend.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "net/Listeners.h"
#include "platform/SocketErrors.h"
#include "smtp/FailureReport.h"

namespace pv {

namespace {

std::atomic<bool> g_transmitFailed{false};
std::mutex g_countMutex;
int g_liveCount = 0;

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

std::vector<std::string> ListWorkFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* e = ::readdir(dir)) {
        std::string_view name(e->d_name);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".wrk") names.emplace_back(name);
    }
    ::closedir(dir);
    // Queue names count up, so name order sends the oldest message first.
    std::sort(names.begin(), names.end());
    return names;
}

// Relay text shown in a log line: control characters would garble the operator's console.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

int ReadTimeout() { return ReadTimeoutSeconds("SMTPouttimeout"); }

std::string LocalHostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
    return buf;
}

}  // namespace

bool TransmitFailed() { return g_transmitFailed.load(); }
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

bool CBodyReader::Next(std::string& piece) {
    piece.clear();
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
    if (lf != std::string_view::npos) {
        size_t end = lf;
        if (end > 0 && view[end - 1] == '\r') --end;
        if (end <= kMaxPiece) {
            piece.assign(view.substr(0, end));
            pos_ += lf + 1;
            return true;
        }
    }
    // A line longer than a piece, or the last line of a file without a line end.
    const size_t take = std::min(avail, kMaxPiece);
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
    std::lock_guard lock(g_countMutex);
    if (--g_liveCount == 0) Events().Reset(NamedEvent::SmtpTr);
}

net::ThreadHandle CSMTPSend::StartRun() {
    auto* run = new CSMTPSend();
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

std::string CSMTPSend::LeftFor() const {
    return rejectedRecipient_ ? "it is reported to its sender." : "it stays queued for the next run.";
}

void CSMTPSend::LogRefusal(const std::string& what, const std::string& reply, const std::string& outcome) {
    WriteLogLine("SMTP send: " + gateway_ + " refused " + what + " (\"" + Printable(reply) + "\"); " + outcome);
}

bool CSMTPSend::OnStart() {
    SetTimeout(ReadTimeout());
    if (SpoolRoot().empty()) return false;  // no spool, so nothing can be queued
    outboxDir_ = QueueDirectory(kOutboxDir);
    for (auto& name : ListWorkFiles(outboxDir_)) queue_.push_back(std::move(name));
    if (queue_.empty()) return false;

    CRegistryKey root("", false);
    root.ReadString("Gateway", gateway_);
    WriteLogLine("SMTP transmit connecting to " + gateway_);

    if ((Socket() == net::kInvalidSocket && !Create(0, SOCK_STREAM, net::kFdAllEvents, nullptr)) ||
        !AsyncSelect(net::kFdAllEvents)) {
        WriteLogLine("Connect failed with Error " + std::to_string(LastError()));
        WriteLogLine("Halting Mail Transmission");
        SetTransmitFailed(true);
        return false;
    }

    uint32_t port = 25;
    CRegistryKey("AdvCon", false).ReadInt("smtpoutport", port);
    port_ = port >= 1 && port <= 65535 ? port : 25;
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

void CSMTPSend::OnConnect() {
    SetTimeout(ReadTimeout());
    const int err = LastError();
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
    Close(true);
    SetTransmitFailed(true);
}

void CSMTPSend::OnClose() {
    if (state_ == State::AwaitGreeting) {
        SetTransmitFailed(true);
        WriteLogLine("SMTP send connection rejected");
    } else if (state_ != State::AwaitQuit && state_ != State::AwaitQuitAfterFailure) {
        WriteLogLine("SMTP send: " + gateway_ +
                     " closed the connection before the run was over; the messages not yet sent stay queued for the next run");
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
    if (!body_.IsOpen() && transcript_.size() < kMaxTranscript) transcript_.push_back("<" + std::string(line));
    std::string wire(line);
    wire.append("\r\n");
    return SendBytes(wire);
}

void CSMTPSend::HandleReply(const std::string& line) {
    const SmtpReply reply = ParseReply(line);
    // The lines of a multi-line reply before its last one say nothing of their own; acting on
    // each would answer later commands with earlier replies. The greeting is answered at once.
    if (reply.continuation && state_ != State::AwaitGreeting) return;

    switch (state_) {
        case State::Idle: return;
        case State::AwaitGreeting:
            if (reply.replyClass == 2) {
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
        case State::AwaitMail:
            if (reply.replyClass == 2) {
                recipientIndex_ = 0;
                SendCommand("RCPT TO: <" + recipients_[0] + ">");
                WriteLogLine("Sending to <" + recipients_[0] + "> from <" + sender_ + ">");
                rejectedRecipient_ = 0;
                acceptedRecipient_ = 0;
                state_ = State::AwaitRcpt;
            } else {
                LogRefusal("the sender <" + sender_ + "> of message " + CurrentName(), line,
                           "the message stays queued for the next run.");
                SendCommand("RSET");
                state_ = State::AwaitRset;
            }
            return;
        case State::AwaitRcpt:
            if (reply.replyClass == 2) {
                acceptedRecipient_ = 1;
            } else {
                rejectedRecipient_ = 1;
                LogRefusal("recipient <" + recipients_[recipientIndex_] + "> of message " + CurrentName(), line,
                           "its sender gets a failure report.");
            }
            ++recipientIndex_;
            if (recipientIndex_ < recipients_.size()) {
                SendCommand("RCPT TO: <" + recipients_[recipientIndex_] + ">");
                WriteLogLine("Sending to " + recipients_[recipientIndex_]);
            } else if (acceptedRecipient_) {
                SendCommand("DATA");
                state_ = State::AwaitData;
            } else {
                // Nobody takes it; its report is written when the conversation leaves it.
                SendCommand("RSET");
                state_ = State::AwaitRset;
            }
            return;
        case State::AwaitData:
            if (reply.replyClass == 3) {
                state_ = State::SendingBody;
                SendBody();
            } else {
                LogRefusal("DATA for message " + CurrentName(), line, LeftFor());
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
                if (rejectedRecipient_) WriteReport(true);
                FinishMessage();
            } else {
                LogRefusal("message " + CurrentName() + " at the end of its text", line, LeftFor());
            }
            NextMessageOrQuit();
            return;
        case State::AwaitQuit: Close(true); return;
        case State::AwaitQuitAfterFailure:
            // The relay ends the conversation by closing; a report goes out at most once.
            if (!workPath_.empty() && !messageDone_) WriteReport(false);
            return;
    }
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
    if (rejectedRecipient_) WriteReport(false);
    for (;;) {
        if (queue_.empty()) return false;
        transcript_.clear();
        rejectedRecipient_ = 0;
        acceptedRecipient_ = 0;
        sender_.clear();
        recipients_.clear();
        workPath_ = JoinPath(outboxDir_, queue_.front());
        queue_.pop_front();
        messagePath_ = WithSuffix(workPath_, ".txt");
        messageDone_ = false;
        keepMessageText_ = false;

        if (!CanRead(messagePath_)) {
            WriteLogLine("Missing txt file in output queue");
            SetAsideWorkFile();
            continue;
        }
        std::vector<std::string> lines;
        if (!ReadWorkFile(workPath_, lines) && !FileExists(workPath_)) continue;  // taken meanwhile
        if (!lines.empty()) sender_ = lines.front();
        if (lines.size() > 1) recipients_.assign(lines.begin() + 1, lines.end());
        if (recipients_.empty()) {
            SetAsideWorkFile();
            WriteLogLine("wrk file in output queue has no recipients");
            continue;
        }
        return true;
    }
}

void CSMTPSend::SetAsideWorkFile() { std::rename(workPath_.c_str(), WithSuffix(workPath_, ".err").c_str()); }

void CSMTPSend::SendBody() {
    if (!body_.IsOpen() && !body_.Open(messagePath_)) {
        AbortBody("its message file " + messagePath_ + " cannot be read (" + std::strerror(errno) + ")");
        return;
    }
    ContinueBody();
}

// Lines go to the socket in batches; when the socket is full the framework keeps the unsent
// rest and says so, and OnSend brings us back here once it is out. So at most one batch waits
// in memory, and no byte of a line is ever skipped.
void CSMTPSend::ContinueBody() {
    std::string batch;
    std::string piece;
    while (body_.IsOpen()) {
        if (body_.Next(piece)) {
            while (!piece.empty() && (piece.back() == '\r' || piece.back() == '\n')) piece.pop_back();
            if (!piece.empty() && piece.front() == '.') batch.push_back('.');
            batch.append(piece);
            batch.append("\r\n");
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
    Close(true);
}

void CSMTPSend::FinishMessage() {
    const std::string old = WithSuffix(workPath_, ".old");
    std::rename(workPath_.c_str(), old.c_str());
    uint32_t keepFiles = 0;
    CRegistryKey("", false).ReadInt("KeepFiles", keepFiles);
    if (keepFiles == 0 && !keepMessageText_) {
        std::remove(old.c_str());
        std::remove(messagePath_.c_str());
    }
    messageDone_ = true;
}

void CSMTPSend::WriteReport(bool accepted) {
    const bool rejected = rejectedRecipient_ != 0;
    rejectedRecipient_ = 0;
    messageDone_ = true;
    if (EqualsNoCase(sender_, kReportSender)) {
        // A refused report is not reported again: that report would go to "postvane", out
        // through the relay, be refused and be reported, for ever.
        std::rename(workPath_.c_str(), WithSuffix(workPath_, ".old").c_str());
        keepMessageText_ = true;
        WriteLogLine("SMTP send: the relay refused failure report " + CurrentName() +
                     "; no report is written about a report. Its text stays in " + messagePath_ +
                     " for the postmaster.");
        return;
    }
    FailureReport report;
    report.workPath = workPath_;
    report.messagePath = messagePath_;
    report.sender = sender_;
    report.recipientRejected = rejected;
    report.transcript = &transcript_;
    std::string error;
    if (WriteFailureReport(report, error)) return;
    keepMessageText_ = true;
    WriteLogLine("SMTP send could not write the failure report for <" + sender_ + "> about message " + CurrentName() +
                 " (" + error + "). " +
                 (accepted ? "The relay took the message for its other recipients; its text stays in " + messagePath_ + "."
                           : std::string("The message stays queued for the next run.")) +
                 " Free disk space or fix the permissions of the inbox folder.");
}

}  // namespace pv
