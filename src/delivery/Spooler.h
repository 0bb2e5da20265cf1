// CSpooler: the background task that empties the inbound queue into mailboxes, lists, robot
// mailboxes, forwards and the outbound queue.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "delivery/Mailbox.h"
#include "net/BackgroundTask.h"

namespace pv {

class CSpooler : public net::CBackgroundTask {
public:
    // Longest recipient list one message may grow to through aliases.
    static constexpr size_t kMaxRecipients = 1000;

    // Reads the domains and the spool root, as the start of Run does; false (with the log line)
    // when no domain is configured.
    bool Prepare();
    // One sweep: collected messages, then queued messages.
    void Sweep();

protected:
    void Run() override;

private:
    // Outcome of one recipient.
    enum class Delivery { Handled, NotHandled, Failed };

    void ProcessMessage(const std::string& base);
    Delivery LocalDelivery(const std::string& recipient, const std::string& sender, const std::string& text);
    Delivery UserDelivery(CMailbox& box, const std::string& sender, const std::string& text);
    Delivery ListDelivery(CMailbox& list, const std::string& sender, const std::string& text);
    bool Distribute(CMailbox& list, const std::string& sender, const std::string& text,
                    const std::vector<std::string>& members, bool replyTo);
    bool RejectionNotice(CMailbox& list, const std::string& sender);
    bool ExpandAlias(const std::string& recipient);
    void AddRecipient(const std::string& address);

    std::vector<std::string> recipients_;
    std::set<std::string> expandedAliases_;
    bool capLogged_ = false;
    std::string primaryDomain_;
    std::string inboxPath_;
};

// Copies a message file to `target` through a temporary name in the same folder, flushed and
// renamed: a reader of the folder's *.txt files never sees half a message.
bool CopyMessageDurably(const std::string& source, const std::string& target);

}  // namespace pv
