#include "finger/FingerServer.h"

#include <cctype>
#include <cstdio>
#include <mutex>
#include <sys/socket.h>

#include "core/AppEvents.h"
#include "core/Folders.h"
#include "core/GeneratedMail.h"
#include "core/Format.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"
#include "net/RelayNets.h"
#include "platform/SocketErrors.h"

namespace pv {

namespace {

std::mutex g_countMutex;
int g_liveCount = 0;

// What "set plan" writes into a mailbox's folder.
constexpr const char* kPlanFile = "plan.pvg";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A query echoed back: control characters would reach the client's terminal as they are.
std::string Printable(std::string text) {
    for (auto& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

// The message files of a mailbox folder; 0 when the folder cannot be read.
size_t CountMessages(const std::string& folder) { return ListFolderNames(folder, ".txt").size(); }

}  // namespace

const CFingerServer::QueryEntry CFingerServer::kQueryTable[] = {
    {"all", &CFingerServer::AllMailboxes},
    {"dialnow", &CFingerServer::DialNow},
    {"status", &CFingerServer::Status},
};

const char* CFingerServer::StateName(int state) {
    switch (state) {
        case kWaitRequest: return "waiting for the request";
        case kSending: return "sending the answer";
        case kDraining: return "closing";
        default: return "unknown";
    }
}

CFingerServer::CFingerServer() {
    SetLineOptions({true, kMaxRequestLine + 1});  // the CR stays in the line until it is trimmed
    std::lock_guard lock(g_countMutex);
    ++g_liveCount;
    Events().Signal(NamedEvent::Finger);
}

CFingerServer::~CFingerServer() {
    std::lock_guard lock(g_countMutex);
    if (--g_liveCount == 0) Events().Reset(NamedEvent::Finger);
}

int CFingerServer::LiveCount() {
    std::lock_guard lock(g_countMutex);
    return g_liveCount;
}

std::string CFingerServer::QueryOf(std::string_view request) {
    while (!request.empty() && IsBlank(request.back())) request.remove_suffix(1);
    std::string query(request);
    for (auto& c : query) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // "/W" stands alone or is followed by blanks; "/walter" is a (refused) name, not a switch.
    if (query.starts_with("/w") && (query.size() == 2 || query[2] == ' ' || query[2] == '\t')) {
        const size_t rest = query.find_first_not_of(" \t", 2);
        query.erase(0, rest == std::string::npos ? query.size() : rest);
    }
    return query;
}

std::vector<std::string> CFingerServer::ReadPlan(const std::string& path) {
    std::vector<std::string> lines;
    LineReader reader;
    if (!reader.Open(path)) return lines;
    std::string line;
    // A plan came by mail: no escape sequence or other control byte reaches the client's
    // terminal (a tab is shown as a blank).
    while (lines.size() < kMaxPlanLines && reader.ReadLine(line, kMaxPlanLineLength)) {
        for (auto& c : line) {
            if (c == '\t') c = ' ';
        }
        lines.push_back(ReplaceControlCharacters(line));
    }
    return lines;
}

// --- socket events ---------------------------------------------------------------------

void CFingerServer::OnReceive() {
    switch (state_) {
        case kWaitRequest: ReceiveLines(); break;
        // Anything after the request waits in the socket until the answer is out.
        case kSending: break;
        case kDraining: Drain(); break;
    }
}

void CFingerServer::OnSend() {
    if (state_ == kSending) SendOutput();
}

void CFingerServer::OnClose() { Close(true); }

void CFingerServer::OnTimeout() {
    // A client that has its answer and keeps the connection open is no news.
    if (state_ != kDraining) WriteLogLine(TimeoutLine("Finger") + " while " + StateName(state_));
    PostThreadMessage(net::kWmQuit);
}

// Only the first line is answered: lines sent with it are read and dropped with the rest.
void CFingerServer::OnLine(std::string& line) {
    if (state_ == kWaitRequest) HandleRequest(line);
}

void CFingerServer::OnLineTooLong() {
    if (state_ != kWaitRequest) return;
    Add(Format(finger_text::kRequestTooLong, kMaxRequestLine));
    state_ = kSending;
    SendOutput();
}

// --- the answer --------------------------------------------------------------------------

void CFingerServer::HandleRequest(const std::string& request) {
    SetTimeout(ReadTimeoutSeconds("Finger", kDefaultTimeout));
    query_ = QueryOf(request);
    QueryHandler handler = &CFingerServer::Mailbox;
    for (const auto& entry : kQueryTable) {
        if (query_ == entry.keyword) handler = entry.handler;
    }
    (this->*handler)();
    state_ = kSending;
    SendOutput();
}

void CFingerServer::AllMailboxes() {
    CMailbox box;
    for (const std::string& name : CMailbox::ListMailboxes()) {
        // Lists, robots and responders have no reader to tell.
        if (!box.Open(name) || box.Type() != kMailboxUser) continue;
        Add(Format(finger_text::kMessagesWaiting, name.c_str(), static_cast<int>(CountMessages(box.Directory()))));
    }
}

void CFingerServer::DialNow() {
    // Going online costs the office money on a dial-up line: a stranger must not cause it.
    const std::string address = PeerAddress();
    if (address.empty() || !AddressInNets(address, RelayNets())) {
        WriteLogLine(Format(finger_text::kLogDialRefused, address.c_str()));
        Add(finger_text::kDialRefused);
        return;
    }
    ConnectRequestEvent().Set();
    WriteLogLine(Format(finger_text::kLogDialRequested, address.c_str()));
    Add(finger_text::kDialRequested);
}

void CFingerServer::Status() {
    auto busy = [](NamedEvent ev) { return Events().Peek(ev) ? finger_text::kActive : finger_text::kIdle; };
    Add(finger_text::kConnection + ConnectionStatusText());
    Add(std::string(finger_text::kPopServer) + busy(NamedEvent::PopServer));
    Add(std::string(finger_text::kImapServer) + busy(NamedEvent::ImapServer));
    Add(std::string(finger_text::kTransmit) + busy(NamedEvent::SmtpTr));
    Add(std::string(finger_text::kReceive) + busy(NamedEvent::SmtpRc));
    Add(std::string(finger_text::kSmartPop) + busy(NamedEvent::SmartPop));
    Add(Format(finger_text::kWaitingMessages, CountWaitingMessages()));
}

void CFingerServer::Mailbox() {
    Add(finger_text::kMailbox + Printable(query_));
    CMailbox box;
    // The query comes from the network: a name with path characters is nobody's, and nothing
    // is looked up or read for it.
    if (!IsSafeMailboxName(query_) || !box.Open(query_)) {
        Add(finger_text::kUnknownUser);
        return;
    }
    const std::string folder = box.Directory();
    Add(finger_text::kRealName + box.GetText(2));
    for (std::string& line : ReadPlan(JoinPath(folder, kPlanFile))) Add(std::move(line));
    Add(" ");  // sent as an empty line: blanks at a line's end are trimmed
    Add(Format(finger_text::kMessagesWaiting, query_.c_str(), static_cast<int>(CountMessages(folder))));
}

// --- sending and closing -----------------------------------------------------------------

void CFingerServer::SendOutput() {
    while (!output_.empty()) {
        if (OutputBlocked()) return;  // the write event brings us back here
        std::string line = std::move(output_.front());
        output_.pop_front();
        if (!SendLine(line)) {
            Close(true);  // the client is gone
            return;
        }
    }
    if (OutputBlocked()) return;
    // Our side is done: the client sees the end of the answer, and whatever it still sends is
    // read away before the close.
    ::shutdown(Socket(), SHUT_WR);
    state_ = kDraining;
    SetTimeout(kDrainSeconds);
    Drain();
}

void CFingerServer::Drain() {
    char buffer[4096];
    for (;;) {
        const int n = Receive(buffer, sizeof buffer);
        if (n > 0) {
            drained_ += static_cast<size_t>(n);
            if (drained_ <= kMaxDrainBytes) continue;
        } else if (n < 0 && LastError() == platform::kWsaEWouldBlock) {
            return;  // more may come, or the close
        }
        Close(true);  // the client has closed, failed, or sends too much
        return;
    }
}

std::string CFingerServer::PeerAddress() const {
    std::string address;
    unsigned port = 0;
    if (!GetPeerName(address, port)) return {};
    return address;
}

}  // namespace pv
