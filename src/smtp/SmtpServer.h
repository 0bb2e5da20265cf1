// CSMTPServer: one SMTP conversation with a mail client on the LAN. Accepted messages go into
// the inbound queue as a message file and a work file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/TextFile.h"
#include "net/SocketThread.h"

namespace pv {

class CSMTPServer : public net::CSocketThread {
public:
    enum State { kGreeting = 0, kCommands = 1, kText = 2, kClosing = 3 };

    // Longest command line; a longer one is answered "500 Line too long".
    static constexpr size_t kMaxCommandLine = 4096;
    // A text line longer than this is written to the message file in pieces, so a client
    // cannot make the server hold it in memory.
    static constexpr size_t kTextSpill = 64 * 1024;
    static constexpr size_t kMaxRecipients = 1000;

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

private:
    void Feed(std::string_view bytes);
    void EndOfLine();
    void HandleCommand(std::string line);
    void HandleTextLine(std::string_view line, bool lineEnds);
    bool OpenMessageFile();
    void EndOfText();
    void ResetTransaction();
    void Reply(std::string_view text);

    void Helo(const std::string& arg);
    void Mail(const std::string& arg);
    void Rcpt(const std::string& arg);

    int state_ = kGreeting;
    std::string primaryDomain_;
    std::string clientName_;
    std::string sender_;
    std::vector<std::string> recipients_;
    std::string queuePath_;  // without suffix
    TextFileWriter messageFile_;
    bool messageOpen_ = false;
    bool messageFailed_ = false;  // the file could not be made or written: the text is dropped
    std::string line_;             // the line being received
    bool overLong_ = false;        // a command line past its limit: dropped up to its end
    bool midTextLine_ = false;     // part of the current text line is already in the file
};

}  // namespace pv
