// CSmartPop: one collection run of one provider POP3 mailbox (an account under `SmartPop`).
// It logs in with USER and PASS, fetches messages 1, 2, 3 ... with RETR, stores each in the
// inbound queue and only then deletes it on the provider with DELE, and ends with QUIT at the
// first refused command or after kMessageLimit messages.
//
// What a message becomes: with a "Deliver to" recipient (`for`) the pair q.txt + q.wrk (the
// account name as sender, the recipient); without one the collected file q.pop, whose
// recipients the spooler takes from its headers.
//
// The order of a message's commit, and why: the text is written to q.tmp; at its end the file
// is flushed, renamed to its final name and the folder flushed (for a pair the envelope is
// written and committed the same way); then the provider's UID is added to the account's
// record (written, not flushed: see RecordUid); only then does DELE go out. A provider that drops the connection before
// the end of a message leaves it on the provider, and its q.tmp is removed: nothing
// half-written is ever queued.
//
// A message ends only at a line that is exactly "."; a line that starts with ".." loses its
// first dot (dot-stuffing undone), and any other line that starts with "." is kept as it came
// (a provider that does not double dots loses nothing).
//
// Exactly once across a kill: a message whose pair is committed but whose DELE never reached
// the provider would be fetched again. When the provider offers UIDL, the UIDs of committed
// messages are kept in <Maildrop>/<account>.uidl ("stored, deletion pending") until the
// provider confirms their deletion with its answer to QUIT, or no longer lists them. A listed
// UID found there at the start of a run is deleted without being fetched again. The record never
// deletes unread mail: only UIDs stored by an earlier run count, a UID listed twice in one
// listing is not trusted (both messages are fetched), and a UID that is not printable ASCII of
// at most kMaxUidLength characters is not trusted either. In doubt a message is fetched again (a
// duplicate) rather than deleted (a loss). What is left is the moment between the commit and the
// record's write (and, after a power loss, the unflushed record).
//
// Security per account (`security` under the account: none, stls or tls; `fingerprint` pins the
// provider's certificate): with stls the greeting is answered with STLS and USER follows once
// TLS is up; with tls the connection speaks TLS from its first byte, on port 995 unless `port`
// says otherwise. The certificate is checked against the system's trusted certificates and the
// host name, or, with a pin, by its SHA-256 fingerprint alone. A refused STLS or a failed check
// ends the run with a log line naming the value to check; nothing is fetched.
//
// What goes on the wire is what was meant: a command that holds a CR or LF (a damaged password
// in the store) is never sent; the run logs it once and ends with QUIT.
//
// Every run that tried to connect ends with exactly one line: "SmartPop connection to A closed
// after N messages" when the provider answered QUIT (or went away right after it), else "... ended
// after N messages: " and how (no connection, TLS, a dropped or silent provider, no answer to
// QUIT, the server stopping).
//
// One run per account: a collector claims its account for its whole life; a start that finds
// the account claimed logs so and starts nothing for it. The collector count stands behind
// "PVG:SMARTPOP", which stays set until the last collector of all has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/SettingChecks.h"
#include "core/TextFile.h"
#include "auth/OAuth2.h"
#include "net/SocketThread.h"

namespace pv::net {
class CTlsContext;
}

namespace pv {

class CRegistryKey;

// PopSecurity and ParsePopSecurity come from core/SettingChecks.h, which the editors of the
// configuration share.

// The connection manager's "start SmartPop": takes the poll request and starts one collector
// per account under `SmartPop`, in the hive's order. Returns the number started.
int StartSmartPop();
// Collectors alive in this process.
int SmartPopCount();
// Asks every collector to end and waits up to waitMs for them (0: does not wait). True when
// none is left.
bool EndSmartPop(int waitMs);

// An account name the collector accepts: user "@" host, both parts present, and nothing that
// would take the transcript or UID record out of the spool root ("/", "\", "..", control
// characters).
bool IsValidSmartPopAccount(std::string_view account);

class CSmartPop : public net::CSocketThread {
public:
    // The conversation. The numbers of the described states are kept (there is no state 3: STAT
    // is never sent); UIDL and its listing come between PASS and the first RETR.
    enum class State : int {
        AwaitGreeting = 0,
        UserSent = 1,
        PassSent = 2,
        RetrSent = 4,
        Receiving = 5,
        DeleSent = 6,
        QuitSent = 7,
        UidlSent = 8,
        UidlListing = 9,
        StlsSent = 10,
        StartingTls = 11,  // the TLS handshake runs (after STLS, or before the greeting)
        AuthSent = 12,     // AUTH with an OAuth2 mechanism, its response, or the error answer
    };
    static const char* StateName(State state);

    // Messages fetched (or recognised) per run; the rest wait for the next run.
    static constexpr uint16_t kMessageLimit = 50;
    // The longest reply line taken from the provider; beyond it the run ends with QUIT. Message
    // text is never cut or joined: a longer line is written to the file in pieces of this size as
    // it arrives, so memory stays bounded and the line arrives whole.
    static constexpr size_t kMaxLineBytes = 256 * 1024;
    // The size limit for collected mail, in bytes: `AdvCon\SmartPopMaxMessageSize`; when missing
    // or 0, `AdvCon\MaxMessageSize`, and then the SMTP receiver's default. A message over it is
    // not stored: the rest of it is read and dropped up to kOversizeDrainBytes more (to reach the
    // next message), it stays on the provider, later runs skip it (by UID, listed in
    // <Maildrop>/<account>.skip) and the postmaster is told once with its size, sender and
    // subject. A message longer still (an endless one) ends the run.
    static constexpr const char* kMaxSizeValue = "SmartPopMaxMessageSize";
    static constexpr uint64_t kOversizeDrainBytes = 16 * 1024 * 1024;
    static constexpr size_t kMaxNoticeField = 200;  // characters of a header quoted in the notice
    // UIDs kept in an account's record; POP3 allows 70 characters each.
    static constexpr size_t kMaxRecordedUids = 10000;
    static constexpr size_t kMaxUidLength = 70;
    static constexpr int kReceiveBytes = 16 * 1024;  // taken from the socket per read event
    static constexpr uint32_t kDefaultPort = kPopPort;
    static constexpr uint32_t kDefaultTlsPort = kPopTlsPort;  // TLS from the first byte
    static constexpr uint32_t kDefaultTimeout = 60;  // seconds of silence, `AdvCon\SmartPoptimeout`

    // Runs on the starter's thread: counts the collector and claims the account.
    explicit CSmartPop(std::string account);
    ~CSmartPop() override;
    // Whether the constructor could claim the account (no other run of it is alive).
    bool Claimed() const { return claimed_; }

protected:
    void OnTimeout() override;
    bool OnStart() override;
    void OnReceive() override;
    void OnSend() override {}
    void OnConnect() override;
    void OnClose() override;
    void OnLine(std::string& line) override;
    void OnTlsReady(bool ok, const std::string& reason) override;

private:
    struct Command {
        State state;  // the state a reply line arrives in
        void (CSmartPop::*handler)(const std::string& line);
    };
    static const Command kCommands[];

    void OnGreeting(const std::string& line);
    void OnStlsReply(const std::string& line);
    void BeginTls();
    // TLS could not be had: the log line, and the run ends without a word more to the provider.
    void EndWithoutTls(const std::string& logLine);
    void OnUserReply(const std::string& line);
    void OnPassReply(const std::string& line);
    void OnUidlReply(const std::string& line);
    void OnUidlLine(const std::string& line);
    void OnRetrReply(const std::string& line);
    void OnMessageLine(const std::string& line);
    void OnDeleReply(const std::string& line);
    void OnQuitReply(const std::string& line);
    void ForgetDeleted();
    // OAuth2: USER, or AUTH with the account's mechanism; the replies to AUTH.
    bool PrepareOAuth(const CRegistryKey& key);
    void BeginLogin();
    void OnAuthReply(const std::string& line);

    void SendCommand(const std::string& command, const std::string& shown);
    void SendCommand(const std::string& command) { SendCommand(command, command); }
    // RETR of the current message, or DELE at once when an earlier run already stored it.
    void FetchCurrent();
    void NextOrQuit();
    bool OpenMessage();  // false (logged, QUIT sent) when the file cannot be made
    // Writes message text: a whole line (lineEnds) or a piece of a long one.
    bool StoreText(std::string_view text, bool lineEnds);
    void ReplyTooLong();
    // Messages over the size limit.
    static uint32_t ReadMaxCollectedSize();
    void NoteHeader(std::string_view text);  // From, Subject, Message-ID for the notice
    void BeginOversize();
    void EndOversize(bool endless);
    bool WriteOversizeNotice(bool endless);
    std::string SkipPath() const;
    void LoadSkipped();
    void PruneSkipped();
    void AppendSkipped(const std::string& key);
    // Commits the finished message; false (logged) when it could not be made durable.
    bool CommitMessage(const std::string& uid);
    void ReconcileUids();
    void DiscardMessage();
    void Quit();        // QUIT after a local failure: "SmartPop Closing"
    void ErrorEnd();    // QUIT without waiting for the reply
    void Finish(const char* how = nullptr);  // the closing lines, then the thread ends
    // The run's one closing line: how it ended (null: with the answer to QUIT) and how many
    // messages it collected. Said once, whichever way the run ends.
    void LogEnd(const char* how);
    void Transcript(std::string_view text);
    void CloseTranscript();

    // The UID record.
    std::string RecordPath() const;
    std::string tmpBase_;  // the queue name of the message being committed
    void LoadRecord();
    bool SaveRecord();
    bool RecordUid(const std::string& uid);

    // Fields, in the described order where they have a counterpart.
    bool transcriptOn_ = false;
    uint16_t collected_ = 0;
    bool hasRecipient_ = false;
    std::string inboxFolder_;
    std::string account_;
    std::string user_;
    std::string host_;
    std::string recipient_;
    std::string password_;
    std::string tmpPath_;
    bool closed_ = true;
    TextFileWriter transcript_;
    uint16_t current_ = 0;
    State state_ = State::AwaitGreeting;
    uint16_t limit_ = kMessageLimit;
    TextFileWriter message_;

    // The message being received.
    bool lineEnds_ = true;        // the line just handed on ends there (else: a piece of it)
    bool midLine_ = false;        // the text so far ended inside a line
    uint64_t messageBytes_ = 0;   // its size as stored, CR LF line ends
    bool oversize_ = false;       // over the limit: the rest is read and dropped
    bool noticeDue_ = false;      // ... and the postmaster has not been told yet
    bool inHeader_ = true;
    std::string from_, subject_, messageId_;
    uint32_t maxSize_ = 0;
    std::set<std::string> skipped_;       // over-size messages left on the provider
    std::set<std::string> stillSkipped_;  // ... that the provider still lists

    bool running_ = false;        // a connection was attempted: the run owes a closing line
    bool endLogged_ = false;
    bool connectFailed_ = false;
    bool lost_ = false;           // the provider closed the connection in the middle
    bool claimed_ = false;
    bool counted_ = false;
    unsigned port_ = kDefaultPort;
    std::string localAddress_ = "0.0.0.0";  // for the time-out line once the socket is gone
    unsigned localPort_ = 0;
    // UIDL: the UIDs of messages 1 .. kMessageLimit ("" when not listed), the account's record,
    // and which recorded UIDs the provider still lists.
    std::vector<std::string> uids_;
    std::set<std::string> record_;
    std::set<std::string> stillListed_;
    std::set<std::string> pending_;       // the record as this run found it: stored by earlier runs
    std::set<std::string> firstListed_;   // UIDs of messages 1 .. kMessageLimit seen in the listing
    std::set<std::string> doubled_;       // ... and those among them listed more than once
    std::vector<std::string> deleted_;    // UIDs whose DELE the provider took in this run
    bool recognised_ = false;  // the current message was deleted without fetching it

    PopSecurity security_ = PopSecurity::None;
    std::string fingerprint_;  // normalised pin; "" verifies against the trusted certificates
    std::shared_ptr<net::CTlsContext> tls_;
    bool tlsUp_ = false;

    // OAuth2 (none of it used with a password).
    bool oauth_ = false;
    auth::OAuthSettings oauthSettings_;
    auth::OAuthMechanism mechanism_ = auth::OAuthMechanism::Auto;
    std::string token_;        // the access token: a secret, never in the transcript
    bool tokenFresh_ = false;  // from the token endpoint in this run: refreshing cannot cure a refusal
    bool tokenRetried_ = false;
    int authStep_ = 0;         // 0 AUTH sent, 1 response sent, 2 error answer sent
    std::string saslError_;    // the provider's decoded error challenge
};

}  // namespace pv
