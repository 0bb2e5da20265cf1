// CSMTPServer: one SMTP conversation with a mail client on the LAN. Accepted messages go into
// the inbound queue as a message file and a work file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/TextFile.h"
#include "net/SocketThread.h"

namespace pv {

// Every reply text the conversation sends, in one place. Replies that name the primary domain
// are built as code + domain + text.
namespace smtp_reply {
inline constexpr const char* kGreeting = " Postvane server ready";              // 220 <domain>
inline constexpr const char* kClosing = " Service closing transmission channel";  // 221 <domain>
inline constexpr const char* kSessionLimit = " Session time limit reached, closing connection";  // 421 <domain>
inline constexpr const char* kAnonymous = "250 Why do you wish to remain anonymous";
inline constexpr const char* kSenderOk = "> Sender Ok";  // 250 <sender>
inline constexpr const char* kRecipientOk = "250 Recipient Ok";
inline constexpr const char* kOk = "250 Ok";
inline constexpr const char* kNoop = "250 Ok, Twiddling thumbs";
inline constexpr const char* kStartInput = "354 Start mail input; end with <CRLF>.<CRLF>";
inline constexpr const char* kNotStored = "451 Error: the message could not be stored, please try again later";
inline constexpr const char* kTooManyRecipients = "452 Too many recipients";
inline constexpr const char* kLineTooLong = "500 Line too long";
inline constexpr const char* kBracketSyntax = "500 Syntax Error";
inline constexpr const char* kAddressTooLong = "501 Address too long: at most 254 characters";
inline constexpr const char* kAddressControl = "501 Address contains control characters";
inline constexpr const char* kHeloControl = "501 Host name contains control characters";
inline constexpr const char* kSyntaxError = "550 Syntax Error";
inline constexpr const char* kWhoAreYou = "550 who are you";
inline constexpr const char* kWhoIsFrom = "550 who is the MAIL from";
inline constexpr const char* kWhoIsTo = "550 who is the mail to";
inline constexpr const char* kRelayDenied = "550 Relaying denied";
inline constexpr const char* kUnknown = "550 Recipient unknown";
inline constexpr const char* kEmptyText = "550 Error";
// Extended SMTP: offered to clients that say EHLO; a HELO client never sees these.
inline constexpr const char* kEhloNeedsName = "501 Syntax: EHLO hostname";
inline constexpr const char* kEhloExtensions[] = {"PIPELINING", "8BITMIME"};
inline constexpr const char* kEhloSize = "SIZE ";  // + the limit in bytes
inline constexpr const char* kEhloStartTls = "STARTTLS";
inline constexpr const char* kTooBig = "552 Message size exceeds the limit of ";  // + bytes
inline constexpr const char* kBadSize = "501 SIZE needs a number of bytes";
inline constexpr const char* kBadBody = "501 BODY must be 7BIT or 8BITMIME";
inline constexpr const char* kUnknownParameter = "555 MAIL FROM parameter not recognized: ";  // + the parameter
inline constexpr const char* kReadyForTls = "220 Ready to start TLS";
inline constexpr const char* kTlsActive = "503 TLS is already active";
inline constexpr const char* kStartTlsSyntax = "501 Syntax: STARTTLS takes no parameters";
}  // namespace smtp_reply

class CSMTPServer : public net::CSocketThread {
public:
    enum State { kGreeting = 0, kCommands = 1, kText = 2, kClosing = 3 };

    // Longest command line; a longer one is answered "500 Line too long".
    static constexpr size_t kMaxCommandLine = 4096;
    // A text line longer than this is written to the message file in pieces, so a client
    // cannot make the server hold it in memory.
    static constexpr size_t kTextSpill = 64 * 1024;
    static constexpr size_t kMaxRecipients = 1000;
    // Bytes taken from the socket at a time.
    static constexpr size_t kReceiveChunk = 16 * 1024;
    // Replies the client has not taken yet: beyond this the conversation stops reading, so a
    // client that pipelines commands without reading the answers cannot make the server hold
    // them. The socket's own buffers then fill and the client's sends block.
    static constexpr size_t kMaxPendingOutput = 32 * 1024;
    // AdvCon\MaxMessageSize: the SIZE announced after EHLO, in bytes. A client declaring more
    // is refused before it sends the text, and any client (HELO or EHLO) whose text passes it
    // gets 552 at the end of the text, with nothing stored.
    static constexpr uint32_t kDefaultMaxMessageSize = 50u * 1024 * 1024;

    CSMTPServer();
    ~CSMTPServer() override;

    // Live conversations (what keeps "PVG:SMTPRC" signalled).
    static int LiveCount();

protected:
    void OnSend() override;
    void OnReceive() override;
    void OnClose() override;
    void OnConnect() override;
    void OnTimeout() override;
    void OnSessionLimit() override;
    void OnTlsReady(bool ok, const std::string& reason) override;

private:
    bool InputHeld() const;
    void ReadSome();
    void Feed(std::string_view bytes);
    void EndOfLine();
    void HandleCommand(std::string line);
    void HandleTextLine(std::string_view line, bool lineEnds);
    bool OpenMessageFile();
    void EndOfText();
    void DropMessageFile();
    void ResetTransaction();
    void Reply(std::string_view text);

    void Helo(const std::string& arg);
    void Ehlo(const std::string& arg);
    void StartTls(const std::string& arg);
    // MAIL FROM parameters after EHLO; false when a reply refusing them has been sent.
    bool MailParameters(std::string_view params);
    void Mail(const std::string& arg);
    void Rcpt(const std::string& arg);

    int state_ = kGreeting;
    std::string primaryDomain_;
    std::string clientName_;
    std::string sender_;           // "" for the null reverse-path "<>"
    bool haveSender_ = false;      // MAIL was accepted for this transaction
    std::vector<std::string> recipients_;
    std::string queuePath_;  // without suffix
    TextFileWriter messageFile_;
    bool messageOpen_ = false;     // text is being written to the message file
    bool messageFailed_ = false;   // the file could not be made or written: the text is dropped
    bool messageCreated_ = false;  // the message file on disk is this transaction's own
    std::string line_;             // the line being received, without CR
    size_t rawLength_ = 0;         // bytes of that line as received, CRs included
    bool lastByteCR_ = false;      // the last byte received for it was a CR
    bool afterCRLF_ = true;        // the previous line ended with CR LF
    bool overLong_ = false;        // a command line past its limit: dropped up to its end
    bool midTextLine_ = false;     // part of the current text line is already in the file
    std::string heldInput_;        // received but not yet handled: waits while replies pile up
    bool readDeferred_ = false;    // a read event came while input was held
    std::shared_ptr<net::CTlsContext> tls_;  // offered with STARTTLS when set
    uint32_t maxMessageSize_ = kDefaultMaxMessageSize;
    bool extended_ = false;        // the client said EHLO: MAIL parameters apply
    uint64_t textBytes_ = 0;       // bytes of this message's text so far
    bool tooBig_ = false;          // the text passed the limit: it is dropped, 552 at its end
    uint64_t tlsStarts_ = 0;       // changes at STARTTLS: input in hand is dropped
};

}  // namespace pv
