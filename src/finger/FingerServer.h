// CFingerServer: one finger conversation. The client sends one request line; the answer is
// the office's status ("status"), every user's message count ("all"), a dial request
// ("dialnow") or one mailbox's full name, plan and message count; then the connection closes.
//
// The answer is built first and sent line by line. A line the socket cannot take at once stays
// pending and the rest wait in the list, so a client that does not read holds the conversation
// (until its time-out), never more memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketThread.h"

namespace pv {

// Every fixed text the conversation sends or logs; those with %-fields go through Format.
namespace finger_text {
inline constexpr const char* kMailbox = "Mailbox : ";
inline constexpr const char* kRealName = "Real Name :";  // the full name follows the colon directly
inline constexpr const char* kMessagesWaiting = "%s has %d message(s) waiting";
inline constexpr const char* kUnknownUser = "Unknown User";
inline constexpr const char* kDialRequested = "Dial requested";
inline constexpr const char* kDialRefused = "Dial refused: only the office network may ask for a connection";
inline constexpr const char* kConnection = "Connection: ";
// The labels are padded so that the colons line up.
inline constexpr const char* kPopServer = "PopServer : ";
inline constexpr const char* kImapServer = "IMAP      : ";
inline constexpr const char* kTransmit = "Transmit  : ";
inline constexpr const char* kReceive = "Receive   : ";
inline constexpr const char* kSmartPop = "SmartPop  : ";
inline constexpr const char* kActive = "Active";
inline constexpr const char* kIdle = "Idle";
inline constexpr const char* kWaitingMessages = "Waiting messages = %zu";
inline constexpr const char* kRequestTooLong = "Request too long: at most %zu characters are allowed";
inline constexpr const char* kLogDialRequested = "Connecting due to a finger request from [%s]";
inline constexpr const char* kLogDialRefused =
    "Finger dial request from [%s] refused: the address is not in AdvCon\\RelayNets";
}  // namespace finger_text

class CFingerServer : public net::CSocketThread {
public:
    // Waiting for the request line; sending the answer; answer sent and our side shut, reading
    // what the client still sends until it closes (closing with unread input would reset the
    // connection and could cost the client the end of the answer).
    enum State { kWaitRequest = 0, kSending = 1, kDraining = 2 };
    static const char* StateName(int state);

    // Longest request line, without its line end. A query is a keyword or a mailbox name; a
    // longer line is answered with kRequestTooLong as soon as it passes the limit, and the
    // connection is closed without waiting for its end.
    static constexpr size_t kMaxRequestLine = 256;
    // Plan lines longer than this keep their first kMaxPlanLineLength characters.
    static constexpr size_t kMaxPlanLineLength = 254;
    // A plan is what its owner mailed to the command robot, so it can be any size; the answer
    // shows its first kMaxPlanLines lines.
    static constexpr size_t kMaxPlanLines = 1000;
    // After the answer: how long a silent client is waited for, and how much a client that
    // keeps sending is read, before the connection is closed anyway.
    static constexpr int kDrainSeconds = 5;
    static constexpr size_t kMaxDrainBytes = 64 * 1024;
    // AdvCon\Finger: the allowed silence once the request line has arrived.
    static constexpr uint32_t kDefaultTimeout = 60;

    CFingerServer();
    ~CFingerServer() override;

    // Live conversations (what keeps "PVG:FINGER" signalled).
    static int LiveCount();

    // The query a request line asks: trailing white space (line end included) removed, lower
    // case; leading blanks are kept, so " status" is a mailbox name. A leading "/W" (the
    // verbose switch finger clients send for long output) and the blanks after it are dropped.
    static std::string QueryOf(std::string_view request);
    // The first kMaxPlanLines lines of a plan file, each cut to kMaxPlanLineLength characters;
    // nothing when the file is missing.
    static std::vector<std::string> ReadPlan(const std::string& path);

protected:
    void OnReceive() override;
    void OnSend() override;
    void OnClose() override;
    void OnTimeout() override;
    void OnLine(std::string& line) override;
    void OnLineTooLong() override;

private:
    using QueryHandler = void (CFingerServer::*)();
    struct QueryEntry {
        const char* keyword;
        QueryHandler handler;
    };
    static const QueryEntry kQueryTable[];

    void HandleRequest(const std::string& request);
    void AllMailboxes();
    void DialNow();
    void Status();
    void Mailbox();

    void Add(std::string line) { output_.push_back(std::move(line)); }
    // Sends lines from the front of the list until it is empty or the socket is full; then
    // shuts our side and starts draining.
    void SendOutput();
    void Drain();
    std::string PeerAddress() const;

    int state_ = kWaitRequest;
    std::string query_;
    std::deque<std::string> output_;
    size_t drained_ = 0;
};

}  // namespace pv
