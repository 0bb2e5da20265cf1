// CImapServer: one IMAP conversation (IMAP4rev2, and IMAP4rev1 for the clients that ask for
// it) with a mail client on the LAN. A Postvane user mailbox is one IMAP account: its folder is
// INBOX, shared with POP3; its other folders, and the UIDs and flags of all, live below it (see
// ImapStore.h).
//
// The contract:
// - LOGIN and AUTHENTICATE PLAIN only under TLS (STARTTLS, or the implicit-TLS port), unless
//   the client is in AdvCon\RelayNets; elsewhere the capability says LOGINDISABLED. A wrong
//   password is answered after a pause that doubles each time, and the kMaxLoginFailures-th
//   ends the conversation (LoginFailed is the one place a failure is counted). Only user
//   mailboxes log in; at most kMaxSessionsPerAccount conversations hold one mailbox at once.
// - Input is read only while no reply is going out, so a client that sends without reading
//   makes the server hold one reply and one receive buffer at most. Message bodies stream from
//   their files in kOutputBatch pieces, as POP3 RETR does.
// - A command's text is bounded (CImapReader); an APPEND's message is at most
//   AdvCon\MaxMessageSize bytes (the SMTP limit) and goes to a file as it arrives.
// - What other clients, POP3 and the spooler did to the selected folder is told as EXISTS,
//   EXPUNGE and FETCH FLAGS after each command (not during FETCH, STORE and SEARCH by number,
//   where sequence numbers must hold still), and at once while the client idles: IDLE is woken
//   by the folder's inotify watch, the one the spooler uses.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "imap/ImapParse.h"
#include "imap/ImapStore.h"
#include "net/SocketThread.h"

namespace pv {

class CImapServer : public net::CSocketThread {
public:
    enum State { kGreeting = 0, kNotAuthenticated = 1, kAuthenticated = 2, kSelected = 3, kLogout = 4 };

    // Bytes handed to the socket at a time during a long reply, and read at a time.
    static constexpr size_t kOutputBatch = 32 * 1024;
    static constexpr int kReceiveSize = 32 * 1024;
    // Password guessing, as POP3: pauses of kLoginDelay, twice, four times; the third failure
    // ends the conversation.
    static constexpr int kMaxLoginFailures = 3;
    static constexpr std::chrono::milliseconds kLoginDelay{1000};
    // Conversations on one mailbox at once: a phone, a laptop and a desktop each keep two or
    // three (one idling on INBOX, others syncing).
    static constexpr int kMaxSessionsPerAccount = 10;
    // How much of a header is read for ENVELOPE, BODYSTRUCTURE, HEADER.FIELDS and SEARCH.
    static constexpr size_t kMaxHeaderRead = 64 * 1024;
    static constexpr uint32_t kDefaultTimeout = 30 * 60;  // RFC 9051: at least 30 minutes
    static constexpr unsigned kWmLoginDelayOver = net::kWmUser + 0x50;
    static constexpr unsigned kWmFolderChanged = net::kWmUser + 0x51;

    CImapServer();
    ~CImapServer() override;

    static int LiveCount();

protected:
    void OnSend() override;
    void OnReceive() override;
    void OnClose() override;
    void OnTimeout() override;
    void OnThreadMessage(const net::ThreadMessage& msg) override;
    // Says goodbye first: clients reconnect at once after a BYE (an idling one among them).
    void OnSessionLimit() override;
    virtual bool StartLoginDelay(std::chrono::milliseconds delay);
    // Starts the helper that waits on the selected folder's inotify watch while idling.
    virtual void StartIdleWatch();

private:
public:
    struct Command;
    using Handler = void (CImapServer::*)(Command&);

private:
    struct CommandEntry;
    static const CommandEntry* LookUpCommand(const std::string& word);
    struct OutItem {
        OutItem() = default;
        OutItem(std::string text) : bytes(std::move(text)) {}  // NOLINT: bytes as they are
        std::string bytes;
        int fd = -1;           // a message file: `left` octets from octet `skip` (as sent)
        uint64_t skip = 0;
        uint64_t left = 0;
        std::string path;
    };
    struct FetchItem;
    struct FetchJob;

    // --- input ----------------------------------------------------------------------------
    void Pump();
    bool FeedInput();  // false: stop pumping
    bool ReadInput();
    void OnLiteral();
    void Execute();
    void CancelAppend();

    // --- output ---------------------------------------------------------------------------
    void Send(std::string_view text);  // as it is
    void Untagged(std::string_view text);
    void Tagged(const Command& c, std::string_view status, std::string_view text);
    // Goes on with queued output; false while the socket is full.
    bool ContinueOutput();
    static void EmitPiece(OutItem& item, std::string& out, const char* data, size_t size);
    bool SendFilePiece(OutItem& item);  // false on a read or socket error (connection ended)

    // --- commands -------------------------------------------------------------------------
    void Capability(Command& c);
    void Noop(Command& c);
    void Logout(Command& c);
    void Id(Command& c);
    void StartTls(Command& c);
    void Login(Command& c);
    void Authenticate(Command& c);
    void Enable(Command& c);
    void Namespace(Command& c);
    void Select(Command& c);
    void Create(Command& c);
    void Delete(Command& c);
    void Rename(Command& c);
    void Subscribe(Command& c);
    void List(Command& c);
    void Status(Command& c);
    void Append(Command& c);
    void Idle(Command& c);
    void Check(Command& c);
    void CloseFolder(Command& c);
    void Unselect(Command& c);
    void Expunge(Command& c);
    void Search(Command& c);
    void Fetch(Command& c);
    void Store(Command& c);
    void Copy(Command& c);
    void Uid(Command& c);

    void FinishAuthenticate(const std::string& response);
    void TryLogin(const std::string& user, const std::string& password, const std::string& tag);
    // The one place a failed login is counted: the pause before the answer, the end of the
    // conversation after too many.
    void LoginFailed(const std::string& user);
    bool LoginAllowed() const;
    std::string CapabilityText() const;

    // --- the selected folder --------------------------------------------------------------
    // Tells the client what changed in the folder since its view; expunges only when allowed.
    void Sync(bool expunges);
    void Deselect();
    // Indices into view_ for a sequence or UID set; false (with a BAD answered) when malformed.
    bool Resolve(Command& c, const std::string& set, bool uid, std::vector<size_t>& out);
    std::string FlagsText(const imap::MessageState& m) const;
    void ExpungeDeleted(Command& c, const std::vector<imap::SeqRange>* uids);
    void BuildFetch(FetchJob& job, size_t index);
    bool ReadHeader(const imap::MessageState& m, std::string& header);
    bool MatchSearch(const std::vector<imap::Token>& keys, size_t& pos, size_t index, int depth);
    void StopIdleWatch();

    int state_ = kGreeting;
    bool rev2_ = false;
    bool relayClient_ = false;
    std::string peer_;
    std::shared_ptr<net::CTlsContext> tls_;
    uint64_t maxMessageSize_ = 0;

    imap::CImapReader reader_;
    std::string inbuf_;
    size_t inpos_ = 0;
    bool readDeferred_ = false;
    bool pumping_ = false;
    bool closing_ = false;

    std::deque<OutItem> out_;
    std::unique_ptr<FetchJob> fetch_;
    bool syncBeforeTagged_ = false;  // the command's tagged answer is first preceded by Sync
    bool syncExpunges_ = false;

    // Waiting for a continuation line.
    enum class Waiting { None, AuthResponse, IdleDone } waiting_ = Waiting::None;
    std::string waitingTag_;

    // Logins.
    int loginFailures_ = 0;
    bool loginWaiting_ = false;
    std::string pendingReply_;  // the answer that waits for the pause
    std::string user_;
    std::string mailboxDir_;
    std::unique_ptr<imap::CImapAccount> account_;
    std::shared_ptr<void> accountSlot_;

    // APPEND's message on its way to a file.
    std::string appendTemp_;
    int appendFd_ = -1;
    uint64_t appendSize_ = 0;
    bool appendFailed_ = false;

    // The selected folder, as this client has been told about it.
    std::string folderName_;
    std::shared_ptr<imap::CFolder> folder_;
    bool readOnly_ = false;
    uint32_t uidValidity_ = 0;
    std::vector<imap::MessageState> view_;

    std::shared_ptr<std::atomic<bool>> idleStop_;
};

}  // namespace pv
