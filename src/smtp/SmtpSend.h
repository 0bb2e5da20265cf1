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
//
// Exactly one transmitter works on the outbound queue at a time, in this process or any other
// (the server's runs, postvane-send): a run holds the lock <Maildrop>/outbox.lck from before it
// lists the queue until it ends; a run that finds it held ends at once without sending.
//
// What a refusal does to a message (one message never holds up the others):
//   - a permanent refusal (5xx) of the sender, DATA or the end of the text: the sender gets a
//     failure report and the message is set aside (".old" beside its text);
//   - recipients refused for good (5xx) are reported once and leave the envelope; the message
//     goes on for the others;
//   - a temporary refusal (4xx) keeps the message queued for every recipient not refused for
//     good, and it is sent again by the next run;
//   - a conversation that ends while a message is on its way (the relay closes, answers 421 or
//     falls silent) after the relay took its sender counts as a run without progress for it,
//     in <base>.cnt. Such messages are sent after the others, and at kMaxStalledRuns in a row
//     the message is reported and set aside.
//
// With a security or a relay user configured (see smtp/RelayLogin.h) the conversation opens with
// EHLO, starts TLS (STARTTLS, or TLS from the first byte) and logs in (AUTH PLAIN or LOGIN)
// before the first MAIL FROM; without them it is HELO as always. A relay that refuses any of
// these, or a certificate that fails its check, ends the run with one log line naming the
// setting to check: nothing is sent, nobody gets a report, and the run counts as failed, so the
// connection manager's pause and retry rules apply.
//
// With AdvCon\RelayAuth = oauth2 (auth/OAuth2.h) the login is AUTH XOAUTH2 or OAUTHBEARER with
// an access token for RelayUser, only over TLS: the token is had before the connection is
// made; a refusal of a stored token is answered by one refresh and a second AUTH; a refusal
// after that ends the run like a refused password, with the relay's decoded error in the line.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "auth/OAuth2.h"
#include "net/SocketThread.h"
#include "platform/FileLock.h"
#include "smtp/RelayLogin.h"

namespace pv::net {
class CTlsContext;
}

namespace pv {

// The transmit-failed flag: set by a run that could not reach the relay, read and cleared by
// the connection manager (which starts no run while it is set).
bool TransmitFailed();
void SetTransmitFailed(bool failed);

// What the last run in this process did, for postvane-send's exit status.
struct TransmitTotals {
    int delivered = 0;  // messages the relay took for every recipient
    int reported = 0;   // failure reports written (refused messages or recipients)
    int setAside = 0;   // messages taken out of the queue without reaching anyone
    bool busy = false;  // another transmitter held the queue: nothing was sent
};
TransmitTotals LastTransmitTotals();

// Reads a message file for the DATA phase. Lines go on the wire whole, however long (cutting
// one would change the message): a line longer than kMaxPiece comes out in several pieces, and
// only the last one says that the line ends there. Line ends (LF or CR LF, and CRs right before
// the LF) are not part of a piece. Memory stays bounded whatever the file holds.
class CBodyReader {
public:
    static constexpr size_t kMaxPiece = 16 * 1024;

    CBodyReader() = default;
    ~CBodyReader();
    CBodyReader(const CBodyReader&) = delete;
    CBodyReader& operator=(const CBodyReader&) = delete;

    bool Open(const std::string& path);  // false with errno set
    bool IsOpen() const { return fd_ >= 0; }
    void Close();
    // The next piece and whether its line ends with it; false at the end of the file or on a
    // read error (Failed() tells).
    bool Next(std::string& piece, bool& lineEnds);
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
        AwaitEhlo,      // EHLO sent: its capability lines are being read
        AwaitStartTls,  // STARTTLS sent
        StartingTls,    // the TLS handshake runs (after STARTTLS, or before the greeting)
        AwaitAuth,      // AUTH sent, and for LOGIN the user name and password
        AwaitMail,
        AwaitRcpt,
        AwaitData,
        SendingBody,
        AwaitRset,
        AwaitQuit,
        AwaitQuitAfterFailure,
    };

    // Runs in a row in which the conversation ended on a message without progress for it,
    // before it is reported and set aside.
    static constexpr int kMaxStalledRuns = 3;
    // The reply that says the relay is closing the conversation, whatever was asked.
    static constexpr int kClosingCode = 421;

    // Reply lines are short; a relay sending endless text gets the rest of such a line dropped.
    static constexpr size_t kMaxReplyLine = 1000;
    // Body bytes handed to the socket per send: many short lines go out together, and at most
    // this much (plus one line) waits in memory while the socket is full.
    static constexpr size_t kBodyBatch = 64 * 1024;

    CSMTPSend();
    ~CSMTPSend() override;

    // Makes a run and starts its thread. An invalid handle means no run started (said in the
    // log, and the transmit-failed flag is set). A caller that already holds the outbound
    // queue's lock (the connection manager, which must not start a run another program would
    // turn away) hands it over; otherwise the run takes it itself.
    static net::ThreadHandle StartRun(platform::FileLock queueLock = {});
    // Runs alive in this process.
    static int LiveCount();

protected:
    void OnTimeout() override;
    bool OnStart() override;
    void OnReceive() override;
    void OnSend() override;
    void OnConnect() override;
    void OnClose() override;
    void OnTlsReady(bool ok, const std::string& reason) override;

private:
    // What became of the current message's recipients.
    enum Outcome : char { kUntried = 0, kAccepted = 2, kDeferred = 4, kRefused = 5 };
    // The message as a whole, once the relay has said so.
    enum class Fate { Open, Delivered, Refused, Deferred };

    bool SendCommand(std::string_view line);
    // A command whose text must not reach the transcript: `shown` stands there instead.
    bool SendSecret(std::string_view line, std::string_view shown);
    // A command that holds a CR or LF is not sent: logged once, and the run ends. True then.
    bool RefusedLineBreak(std::string_view line, std::string_view shown);
    // Checks the relay settings before any connection is made; false (said in the log) when
    // they cannot work.
    bool RelaySettingsUsable();
    void BeginTls();
    // The EHLO reply is complete and positive: STARTTLS, AUTH or the first message next.
    void AfterEhlo();
    void HandleAuthReply(const SmtpReply& reply, const std::string& line);
    // OAuth2: the token before the run, AUTH with it, and the relay's replies to it.
    bool PrepareOAuth();
    void SendOAuth();
    void HandleOAuthReply(const SmtpReply& reply, const std::string& line);
    // The relay refused what the settings ask for: the run ends, every message stays queued,
    // and the run counts as failed.
    void EndOnSetting(const std::string& logLine, bool quit = true);
    void HandleReply(const std::string& line);
    // Loads the next message and sends its MAIL FROM, or QUIT when none is left.
    void NextMessageOrQuit();
    bool NextMessage();
    void SendBody();
    void ContinueBody();
    bool BodyComplete() const { return !body_.IsOpen() && !OutputBlocked(); }
    void AbortBody(const std::string& why);
    // The relay said 421: it is going away. The message on its way waits for the next run.
    void RelayClosing(const std::string& line);
    // Acts on what the relay said about the current message, once: reports, new envelope,
    // removal. `conversationEnded` when the conversation ends with the message still open.
    void Settle(bool conversationEnded = false);
    void FinishMessage();
    // Writes a report about the current message; an empty `remaining` takes it out of the queue.
    bool WriteReport(bool recipientRejected, const std::vector<std::string>& remaining, const std::string& note = "");
    bool ReplaceEnvelope(const std::vector<std::string>& remaining);
    int StallCount() const;
    void SetStallCount(int count);
    void SetAsideWorkFile();
    std::string CurrentName() const;
    // A refusal that decides a message's fate, in the operator's words.
    void LogRefusal(const std::string& what, const std::string& reply, const std::string& outcome);

    std::deque<std::string> queue_;
    std::string heloName_;
    std::string messagePath_;
    std::string workPath_;
    // Open only while the body is being sent. Bytes the socket has not taken yet wait in the
    // framework's output buffer and go first when it can take more.
    CBodyReader body_;
    bool atLineStart_ = true;
    std::vector<std::string> recipients_;
    std::vector<Outcome> outcomes_;
    size_t recipientIndex_ = 0;
    std::string sender_;
    std::vector<std::string> transcript_;
    std::string reply_;
    State state_ = State::Idle;
    Fate fate_ = Fate::Open;
    bool senderAccepted_ = false;  // MAIL FROM was taken: what follows concerns this message

    std::string outboxDir_;
    std::string gateway_;
    unsigned port_ = 25;
    RelaySettings relay_;
    std::shared_ptr<net::CTlsContext> tls_;
    EhloCapabilities caps_;
    size_t ehloLines_ = 0;
    bool tlsUp_ = false;
    AuthMechanism mechanism_ = AuthMechanism::None;
    int loginStep_ = 0;  // AUTH LOGIN: challenges answered so far
    auth::OAuthSettings oauthSettings_;
    auth::OAuthMechanism oauthMechanism_ = auth::OAuthMechanism::Auto;
    std::string token_;        // the access token: a secret, never in the transcript
    bool tokenFresh_ = false;  // from the token endpoint in this run: refreshing cannot cure a refusal
    bool tokenRetried_ = false;
    std::string saslError_;    // the relay's decoded error challenge
    bool endLogged_ = false;
    platform::FileLock queueLock_;
    bool messageDone_ = false;  // settled: nothing more happens to it in this run
    TransmitTotals totals_;
};

}  // namespace pv
