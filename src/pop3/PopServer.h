// CPopServer: one POP3 conversation with a mail client on the LAN. It authenticates a local
// mailbox, locks it with `user.lck`, lists and sends the message files of its folder, and at
// QUIT deletes those the client marked.
//
// Long replies (RETR, LIST, UIDL) are produced piece by piece: the conversation fills the
// socket, stops when it is full and goes on at the next write event. Commands that arrive in
// the meantime wait, and the socket is not read again until the reply is out, so neither a
// slow reader nor a client that sends without reading makes the server hold more than a few
// tens of kilobytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/Mailbox.h"
#include "net/SocketThread.h"

namespace pv {

inline constexpr const char* kMailboxLockFile = "user.lck";

class CPopServer : public net::CSocketThread {
public:
    enum State { kGreeting = 0, kWaitUser = 1, kWaitPass = 2, kTransaction = 3, kClosing = 4 };

    // Longest command line a client may send, without its line end; a longer one is answered
    // with an error and dropped. Real commands are a few dozen bytes.
    static constexpr size_t kMaxCommandLine = 512;
    // Bytes handed to the socket at a time during a long reply.
    static constexpr size_t kOutputBatch = 32 * 1024;
    // Password guessing: each wrong PASS is answered only after a pause that doubles with every
    // failure (kPassDelay, then twice, then four times), and the connection is closed with the
    // answer to the kMaxPassFailures-th one. A guesser gets three tries in seven seconds per
    // connection instead of tens of thousands a second. Across connections the shared
    // auth::CLoginThrottle counts failures per client address and refuses an address that
    // failed too often; a refusal answers exactly as a wrong password does, after the same
    // pause. USER answers the same for every name; the failure comes at PASS.
    static constexpr int kMaxPassFailures = 3;
    static constexpr std::chrono::milliseconds kPassDelay{1000};
    // A mailbox made by logging in must be a name SMTP can deliver to: an unquoted local part
    // of at most this many characters (the longest an address may have).
    static constexpr size_t kMaxNewNameLength = 64;
    // The posted message that ends a pause after a wrong password.
    static constexpr unsigned kWmPassDelayOver = net::kWmUser + 0x40;

    struct Message {
        std::string fileName;
        bool deleted = false;
        uint64_t size = 0;
    };

    CPopServer();
    ~CPopServer() override;

    // Live conversations (what keeps "PVG:POPSERVER" signalled).
    static int LiveCount();

protected:
    void OnSend() override;
    void OnReceive() override;
    void OnClose() override;
    void OnTimeout() override;
    void OnLine(std::string& line) override;
    void OnLineTooLong() override;
    void OnThreadMessage(const net::ThreadMessage& msg) override;
    // Arranges for kWmPassDelayOver to reach this conversation after the delay. The default
    // sleeps on a helper thread; a harness that drives the conversation without its thread
    // delivers the message itself.
    virtual bool StartPassDelay(std::chrono::milliseconds delay);

private:
    enum class Output { None, List, Uidl, Retr, Capa };
    struct Input {
        std::string line;
        bool tooLong = false;
    };

    // A reply line: trailing CR and LF removed (blanks stay: "+OK " keeps its space), CR LF
    // appended.
    void Reply(std::string_view text);
    // Handles queued commands, continues a long reply and reads more input, until the socket
    // is full or nothing is left to do.
    void Pump();
    bool Busy() const { return output_ != Output::None || OutputBlocked() || passWaiting_; }
    void Interpret(std::string line);

    void User(const std::string& arg);
    void Pass(const std::string& arg);
    // A wrong password (or a refused login, which answers the same) from peer: counted by the
    // shared login throttle, the answer waits for the pause, and the last allowed one ends the
    // conversation.
    void PassFailed(const std::string& peer);
    void Transaction(int command, const std::string& arg);
    void Quit();
    void Stls();

    // Locks the mailbox and loads its message list; replies and enters the transaction state
    // on success, replies with the reason otherwise.
    void EnterTransaction(const char* okText);
    bool CreateLock();
    void RemoveLock();
    bool LoadMessageList();
    // RETR (all lines) and TOP (the header and at most topLines lines of the body).
    void StartRetrieve(size_t index, bool top = false, uint64_t topLines = 0);

    // Long replies: each call adds about one batch; true when the reply is complete.
    enum class Fill { More, Done, Failed };
    void ContinueOutput();
    Fill FillList(std::string& out);
    Fill FillUidl(std::string& out);
    Fill FillRetr(std::string& out);
    Fill FillCapa(std::string& out);
    void AppendMessageBytes(std::string& out, std::string_view piece, bool lineEnds);
    void EndOutput();

    int state_ = kGreeting;
    std::string primaryDomain_;
    CMailbox mailbox_;
    std::string user_;
    std::string directory_;
    std::string lockPath_;
    bool lockHeld_ = false;
    uint32_t autocreate_ = 0;
    std::vector<Message> messages_;
    size_t last_ = 0;
    int passFailures_ = 0;
    bool passWaiting_ = false;  // a wrong password's answer waits for its pause
    bool quietFailures_ = false;  // the address is being refused: the throttle does the logging

    // Input waiting while a reply goes out.
    std::deque<Input> input_;
    bool readDeferred_ = false;
    bool pumping_ = false;
    std::shared_ptr<net::CTlsContext> tls_;  // offered with STLS when set

    // The long reply in progress.
    Output output_ = Output::None;
    std::string status_;  // the reply's first line, not sent yet
    size_t cursor_ = 0;
    std::string batch_;
    int file_ = -1;
    std::string fileName_;
    std::vector<char> readBuffer_;
    size_t readPos_ = 0;
    size_t readEnd_ = 0;
    bool atLineStart_ = true;
    size_t heldCR_ = 0;  // CRs at the end of what was read so far: dropped if a line end follows
    // TOP: the message ends after the header's empty line and topLines_ lines of the body.
    bool top_ = false;
    bool inHeader_ = true;
    bool lineHasText_ = false;
    uint64_t topLines_ = 0;
    uint64_t bodyLines_ = 0;
    bool topDone_ = false;
};

// Removes the `user.lck` of every mailbox folder below <spoolRoot>/mailbox. Called at start-up,
// before the POP3 listener opens: no conversation can hold a mailbox then, so any lock found
// was left by a run that ended without cleaning up. Returns how many were removed.
int RemoveStaleMailboxLocks(const std::string& spoolRoot);

}  // namespace pv
