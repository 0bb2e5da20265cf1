// CSMTPSend: one transmit run. Sends every message waiting in the outbound queue to the
// gateway (`Gateway`, port `AdvCon\smtpoutport`) in a single SMTP conversation; recipients the
// relay refuses are reported to the message's sender through a failure report in the inbound
// queue.
//
// Starting a run (the connection manager): CSMTPSend::StartRun(). The constructor signals
// "PVG:SMTPTR" before the thread exists, so a second run is never started while one is alive;
// the destructor resets it when the last run ends.
//
// A run that cannot start, never gets the relay's greeting or times out sets the process-wide
// transmit-failed flag; only the connection manager clears it.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketThread.h"

namespace pv {

// The transmit-failed flag: set by a run that could not reach the relay, read and cleared by
// the connection manager (which starts no run while it is set).
bool TransmitFailed();
void SetTransmitFailed(bool failed);

// Reads a message file for the DATA phase, one wire line at a time. A line longer than
// kMaxPiece characters comes out as several pieces (each goes on the wire as a line of its
// own). Line ends (LF or CR LF) are not part of a piece. Memory stays bounded whatever the
// file holds: one read buffer, never a whole line.
class CBodyReader {
public:
    static constexpr size_t kMaxPiece = 1023;

    CBodyReader() = default;
    ~CBodyReader();
    CBodyReader(const CBodyReader&) = delete;
    CBodyReader& operator=(const CBodyReader&) = delete;

    bool Open(const std::string& path);  // false with errno set
    bool IsOpen() const { return fd_ >= 0; }
    void Close();
    // The next piece; false at the end of the file or on a read error (Failed() tells).
    bool Next(std::string& piece);
    bool Failed() const { return failed_; }

private:
    bool Fill();  // false when nothing more could be read
    int fd_ = -1;
    std::string buffer_;
    size_t pos_ = 0;
    bool eof_ = false;
    bool failed_ = false;
};

// The reply code (the decimal number the line starts with, 0 if none) and class (the value of
// its first character when that is a digit, else 0).
struct SmtpReply {
    int code = 0;
    int replyClass = 0;
    bool continuation = false;  // "250-..." : more lines of the same reply follow
};
SmtpReply ParseReply(std::string_view line);

class CSMTPSend : public net::CSocketThread {
public:
    enum class State {
        Idle,
        AwaitGreeting,
        AwaitHelo,
        AwaitMail,
        AwaitRcpt,
        AwaitData,
        SendingBody,
        AwaitRset,
        AwaitQuit,
        AwaitQuitAfterFailure,
    };

    // Reply lines are short; a relay sending endless text gets the rest of such a line dropped.
    static constexpr size_t kMaxReplyLine = 1000;
    // Body bytes handed to the socket per send: many short lines go out together, and at most
    // this much (plus one line) waits in memory while the socket is full.
    static constexpr size_t kBodyBatch = 64 * 1024;

    CSMTPSend();
    ~CSMTPSend() override;

    // Makes a run and starts its thread. An invalid handle means no run started (said in the
    // log, and the transmit-failed flag is set).
    static net::ThreadHandle StartRun();
    // Runs alive in this process.
    static int LiveCount();

protected:
    void OnTimeout() override;
    bool OnStart() override;
    void OnReceive() override;
    void OnSend() override;
    void OnConnect() override;
    void OnClose() override;

private:
    bool SendCommand(std::string_view line);
    void HandleReply(const std::string& line);
    // Loads the next message and sends its MAIL FROM, or QUIT when none is left.
    void NextMessageOrQuit();
    bool NextMessage();
    void SendBody();
    void ContinueBody();
    bool BodyComplete() const { return !body_.IsOpen() && !OutputBlocked(); }
    void AbortBody(const std::string& why);
    void FinishMessage();
    // The failure report of the current message; `accepted` when the relay took the message
    // for its other recipients (then it must leave the queue whatever happens to the report).
    void WriteReport(bool accepted);
    void SetAsideWorkFile();
    std::string CurrentName() const;
    // A refusal that decides a message's fate, in the operator's words.
    void LogRefusal(const std::string& what, const std::string& reply, const std::string& outcome);
    std::string LeftFor() const;

    std::deque<std::string> queue_;
    std::string heloName_;
    int rejectedRecipient_ = 0;
    int acceptedRecipient_ = 0;
    std::string messagePath_;
    std::string workPath_;
    // Open only while the body is being sent. Bytes the socket has not taken yet wait in the
    // framework's output buffer and go first when it can take more.
    CBodyReader body_;
    std::vector<std::string> recipients_;
    size_t recipientIndex_ = 0;
    std::string sender_;
    std::vector<std::string> transcript_;
    std::string reply_;
    State state_ = State::Idle;

    std::string outboxDir_;
    std::string gateway_;
    unsigned port_ = 25;
    bool messageDone_ = false;      // reported or finished: nothing more happens to it
    bool keepMessageText_ = false;  // the report failed: the text stays for the operator
};

}  // namespace pv
