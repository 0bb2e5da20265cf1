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

    // Messages handled between two flushes of the disk.
    static constexpr size_t kBatch = 64;

    // Reads the domains and the spool root, as the start of Run does; false (with the log line)
    // when no domain is configured.
    bool Prepare();
    // One sweep: collected messages, then queued messages.
    void Sweep();

    // What one message leaves to do once its batch is flushed: every file it wrote is flushed,
    // then renamed to its visible name, then the folders are flushed, and only then is the
    // inbox pair removed (or kept, or its envelope replaced by the recipients still owed).
    struct Pending {
        std::string base;
        std::vector<std::string> flush;
        std::vector<std::pair<std::string, std::string>> renames;
        std::vector<std::string> folders;
        std::vector<std::string> temporaries;  // removed when the message cannot be committed
        enum class Inbox { Remove, Keep, Replace } inbox = Inbox::Remove;
    };

protected:
    void Run() override;

private:
    // Outcome of one recipient.
    enum class Delivery { Handled, NotHandled, Failed };

    bool ProcessMessage(const std::string& base, Pending& pending);
    void CommitBatch(std::vector<Pending>& batch);
    Delivery LocalDelivery(const std::string& recipient, const std::string& sender, const std::string& text);
    Delivery UserDelivery(CMailbox& box, const std::string& sender, const std::string& text);
    Delivery ListDelivery(CMailbox& list, const std::string& sender, const std::string& text);
    bool Distribute(CMailbox& list, const std::string& sender, const std::string& text,
                    const std::vector<std::string>& members, bool replyTo);
    bool RejectionNotice(CMailbox& list, const std::string& sender, const std::string& text);
    // A copy of the message as a mailbox file, durable once the batch is committed.
    bool StageCopy(const std::string& text, const std::string& target);
    bool LinkCopy(const std::string& text, const std::string& target);
    // A new queue pair whose message is `same` (when given and it can be linked) or is written
    // by fill; it appears (.wrk) once the batch is committed.
    template <class Fill>
    bool StagePair(const std::string& base, const std::string& sender, const std::vector<std::string>& recipients,
                   Fill&& fill, const std::string& same = std::string());
    bool ExpandAlias(const std::string& recipient);
    void AddRecipient(const std::string& address);

    Pending* pending_ = nullptr;  // the message being processed
    std::vector<std::string> recipients_;
    std::set<std::string> expandedAliases_;
    bool capLogged_ = false;
    std::string primaryDomain_;
    std::string inboxPath_;
};

}  // namespace pv
