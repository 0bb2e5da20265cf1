// CSpooler: the background task that empties the inbound queue into mailboxes, lists, robot
// mailboxes, forwards and the outbound queue.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/GeneratedMail.h"
#include "delivery/Mailbox.h"
#include "delivery/RobotCopies.h"
#include "delivery/SpoolJournal.h"
#include "net/BackgroundTask.h"

namespace pv {

class CSpooler : public net::CBackgroundTask {
public:
    // Longest recipient list one message may grow to through aliases.
    static constexpr size_t kMaxRecipients = 1000;

    // Messages handled between two flushes of the disk.
    static constexpr size_t kBatch = 64;

    // A message that has passed this many mail systems (its "Received:" trace lines) is in a
    // loop: it is returned to its sender instead of going round again.
    static constexpr int kMaxHops = 50;

    // A message that could not be delivered completely waits before the next attempt: first
    // this long, doubling with every attempt that fails, up to kMaxRetryDelay.
    static constexpr std::chrono::seconds kFirstRetryDelay{1};
    static constexpr std::chrono::seconds kMaxRetryDelay{300};

    // The batch journal in the inbox (CSpoolJournal holds its contract).
    static constexpr const char* kJournal = CSpoolJournal::kName;

    // Reads the domains and the spool root, as the start of Run does; false (with the log line)
    // when no domain is configured.
    bool Prepare();
    // One sweep: an interrupted batch is finished first, then collected messages, then queued
    // messages.
    void Sweep();

    // Start-up (before any conversation runs) and orderly shutdown: finishes a batch that a
    // kill interrupted, then removes what interrupted transactions left in the spool: message
    // files without an envelope, unfinished envelopes and copies. None of it was ever
    // acknowledged to anyone. Logs one line with the count. Returns the number removed.
    static int CleanUpSpool(const std::string& spoolRoot);

    // Where committed robot copies go (the robot pool); set before Start, never changed while
    // the task runs. Without one the copies wait in the robot mailboxes.
    void SetRobotQueue(IRobotQueue* robots) { robots_ = robots; }

    // What one message leaves to do once its batch is flushed: every file it wrote is flushed,
    // the batch journal records the renames and removals and is flushed, then the files are
    // renamed to their visible names, the folders are flushed, and only then is the inbox pair
    // removed (or kept, or its envelope replaced by the recipients still owed). A kill at any
    // moment leaves either nothing visible (the message is processed again) or a journal that
    // the next sweep finishes: every copy is made exactly once.
    struct Pending {
        std::string base;
        std::vector<std::string> flush;
        std::vector<std::pair<std::string, std::string>> renames;
        std::vector<std::string> folders;
        std::vector<std::string> temporaries;  // removed when the message cannot be committed
        std::set<std::string> copies;          // mailbox copies of this message, by final name
        // Copies for robots, by final name and robot mailbox: handed to the robots once they
        // are committed, never while they are staged.
        std::vector<std::pair<std::string, std::string>> robotCopies;
        // The robot copy this message (a robot's reply) answers: it goes with the inbox pair.
        std::string answeredCopy;
        enum class Inbox { Remove, Keep, Replace } inbox = Inbox::Remove;
        bool incomplete = false;  // some recipients wait for a later attempt
    };

protected:
    void Run() override;

private:
    // Outcome of one recipient.
    // SecondStepFailed: the first step (a user's copy, a list's archive copy) is made and only
    // the second (the forward, the distribution) is owed.
    enum class Delivery { Handled, NotHandled, Failed, SecondStepFailed };
    // What part of a recipient's delivery is still owed: everything, or only the second step
    // of a user (the forward) or a list (the distribution) whose first step is done.
    enum class Part { Whole, SecondStep };
    struct Recipient {
        std::string address;
        Part part = Part::Whole;
    };

    bool ProcessMessage(const std::string& base, Pending& pending);
    bool CommitBatch(std::vector<Pending>& batch);
    bool FinishJournal();
    void Postpone(const std::string& base);
    bool ReturnLoopingMessage(const std::string& sender, const std::string& text, int hops);
    Delivery LocalDelivery(const Recipient& recipient, const std::string& sender, const std::string& text);
    Delivery UserDelivery(CMailbox& box, const Recipient& recipient, const std::string& sender,
                          const std::string& text);
    Delivery ListDelivery(CMailbox& list, const Recipient& recipient, const std::string& sender,
                          const std::string& text);
    Delivery PostmasterDelivery(const std::string& why, const std::string& text);
    bool Distribute(CMailbox& list, const std::string& sender, const std::string& text,
                    const std::vector<std::string>& members, bool replyTo);
    bool RejectionNotice(CMailbox& list, const std::string& sender, const std::string& text);
    // A notice from this system into the inbound queue: the header lines, the body, and the
    // original message when `original` is given.
    bool StageNotice(const std::string& from, const std::string& to, const GeneratedHeader& header,
                     const std::string& body, const std::string& original = std::string());
    // A notice's header (the shared generated one, marked as automatic) about the message at
    // `about`, which it answers.
    GeneratedHeader NoticeHeader(const std::string& fromName, const std::string& fromAddress, const std::string& to,
                                 const std::string& subject, const std::string& about) const;
    // The message's copy in a mailbox, named after the inbound message so that a second
    // attempt recognises a copy already made (Present) instead of making another.
    enum class Copy { Staged, Present, Failed };
    Copy StageMailboxCopy(const CMailbox& box, const std::string& text);
    bool LinkCopy(const std::string& text, const std::string& target);
    // A new queue pair whose message is `same` (when given and it can be linked) or is written
    // by fill; it appears (.wrk) once the batch is committed.
    template <class Fill>
    bool StagePair(const std::string& base, const std::string& sender, const std::vector<std::string>& recipients,
                   Fill&& fill, const std::string& same = std::string());
    // "Received:" trace line that a forward or a list distribution adds, so that loops end.
    std::string TraceLine(const std::string& forWhom) const;
    bool ExpandAlias(const std::string& recipient);
    void AddRecipient(const std::string& address, Part part = Part::Whole);

    struct Retry {
        int attempts = 0;
        std::chrono::steady_clock::time_point due;
    };

    Pending* pending_ = nullptr;  // the message being processed
    std::vector<Recipient> recipients_;
    std::set<std::string> seenRecipients_;  // lower case: one delivery per address and part
    std::set<std::string> distributedTo_;   // lower case: final recipients of this message's lists
    std::set<std::string> expandedAliases_;
    std::map<std::string, Retry> retries_;  // by inbox base path
    bool capLogged_ = false;
    IRobotQueue* robots_ = nullptr;
    std::string primaryDomain_;
    std::string inboxPath_;
};

}  // namespace pv
