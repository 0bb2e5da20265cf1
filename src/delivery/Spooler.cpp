#include "delivery/Spooler.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "core/Folders.h"
#include "core/GeneratedMail.h"
#include "core/Log.h"
#include "core/Metrics.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/AddressParsing.h"
#include "delivery/SpoolJournal.h"
#include "platform/DirectoryWatch.h"

namespace pv {

namespace {

constexpr const char* kRejectionNotice =
    "Your message was not distributed to the list %s.\n"
    "The list takes postings from its members only, or it has no members yet.\n"
    "To join, write to the list's owner.\n";

constexpr const char* kLoopNotice =
    "Your message was not delivered: it has passed %d mail systems, so it is going round in a\n"
    "loop between forwarding addresses, aliases or lists. Its recipients were:\n%s\n"
    "Ask the postmaster of %s to check the forwarding of these addresses.\n";

// The sender of notices this system writes itself; robots never answer it.
constexpr const char* kNoticeSender = "postvane";

// A recipient line of a replaced envelope that owes only the second step (the forward of a
// user whose copy is made, the distribution of a list whose archive copy is made) carries this
// after a tab. Addresses never contain a tab: the SMTP receiver refuses control characters.
constexpr const char* kSecondStepMark = "\t2";

constexpr const char* kOpRename = CSpoolJournal::kOpRename;
constexpr const char* kOpFolder = CSpoolJournal::kOpFolder;
constexpr const char* kOpRemove = CSpoolJournal::kOpRemove;
constexpr const char* kOpKeep = CSpoolJournal::kOpKeep;

// Header lines looked at for trace lines; a longer header is not a reason to stop counting
// loops, but the count needs no more.
constexpr int kMaxHeaderLines = 10000;
constexpr size_t kHeaderLineLimit = 1000;

std::string LocalPart(const std::string& address) { return address.substr(0, address.find('@')); }

std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Queue names count up, so the listing's name order is arrival order.
std::vector<std::string> ListFiles(const std::string& folder, const char* suffix) { return ListFolderNames(folder, suffix); }

std::string WithoutSuffix(const std::string& path) {
    size_t dot = path.find_last_of('.');
    size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
    return path.substr(0, dot);
}

std::string FileNameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

bool CanRead(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Raw copy into an open writer.
bool CopyInto(const std::string& source, TextFileWriter& out) {
    int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[64 * 1024];
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!out.Write(std::string_view(buffer, static_cast<size_t>(n)))) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

// Writes text with the spool's line ends, one line per "\n".
bool WriteLines(TextFileWriter& out, std::string_view text) {
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string_view::npos; nl = text.find('\n', start)) {
        if (!out.WriteLine(text.substr(start, nl - start))) return false;
        start = nl + 1;
    }
    return start >= text.size() || out.WriteLine(text.substr(start));
}

// How many mail systems the message has passed: its "Received:" header lines.
int CountTraceLines(const std::string& text) {
    LineReader in;
    if (!in.Open(text)) return 0;
    std::string line;
    int hops = 0;
    for (int n = 0; n < kMaxHeaderLines && in.ReadLine(line, kHeaderLineLimit) && !line.empty(); ++n) {
        if (line.size() >= 9 && Lower(line.substr(0, 9)) == "received:") ++hops;
    }
    return hops;
}

// Whether the message carries the trace line this system adds when it distributes for the
// list at listAddress: then it has been distributed by that list already.
bool HasListTrace(const std::string& text, const std::string& listAddress) {
    LineReader in;
    if (!in.Open(text)) return false;
    const std::string mark = "(postvane) for <" + Lower(listAddress) + ">";
    std::string line;
    for (int n = 0; n < kMaxHeaderLines && in.ReadLine(line, kHeaderLineLimit) && !line.empty(); ++n) {
        const std::string lower = Lower(line);
        if (lower.rfind("received:", 0) == 0 && lower.find(mark) != std::string::npos) return true;
    }
    return false;
}

struct FolderEntries {
    std::map<std::string, std::set<std::string>> suffixes;  // base name -> suffixes present
};

FolderEntries ReadFolder(const std::string& folder) {
    FolderEntries entries;
    for (const auto& name : ListFolderNames(folder)) {
        size_t dot = name.find('.');
        if (dot == std::string::npos || dot == 0) continue;
        entries.suffixes[name.substr(0, dot)].insert(name.substr(dot));
    }
    return entries;
}

int RemoveFile(const std::string& path) { return std::remove(path.c_str()) == 0 ? 1 : 0; }

}  // namespace

int CSpooler::CleanUpSpool(const std::string& spoolRoot) {
    const std::string inbox = JoinPath(spoolRoot, kInboxDir);
    if (!CSpoolJournal::Finish(inbox)) {
        // The staged files the journal names must stay until it is finished.
        WriteLogLine("The spooler's journal in " + inbox +
                     " could not be finished; unfinished queue files are left for the next start");
        return 0;
    }
    uint32_t keepFiles = 0;
    CRegistryKey("", false).ReadInt("KeepFiles", keepFiles);
    int removed = 0;

    // A failure report's text waits in the inbox without an envelope while the transmitter's
    // staged envelope for it ("<message>=<report>.*") is in the outbound queue: it stays.
    const std::string outbox = JoinPath(spoolRoot, kOutboxDir);
    const FolderEntries outboxEntries = ReadFolder(outbox);
    std::set<std::string> reportTexts;
    std::set<std::string> reportedMessages;  // their new envelope waits for the report's step
    for (const auto& entry : outboxEntries.suffixes) {
        if (size_t separator = entry.first.find('='); separator != std::string::npos) {
            reportTexts.insert(entry.first.substr(separator + 1));
            reportedMessages.insert(entry.first.substr(0, separator));
        }
    }

    for (const auto& [base, has] : ReadFolder(inbox).suffixes) {
        if (reportTexts.count(base)) continue;
        const std::string path = JoinPath(inbox, base);
        auto present = [&has = has](const char* suffix) { return has.count(suffix) != 0; };
        // A SmartPop UID note stays with a committed message (or one delivered already) for the
        // collector's next run; with an unfinished pair it goes, and the message is fetched again.
        if (present(kUidSuffix) && !present(".wrk") && !present(".pop") && (present(".tmp") || present(".txt"))) {
            removed += RemoveFile(path + kUidSuffix);
        }
        removed += present(CSpoolJournal::kStagingSuffix) ? RemoveFile(path + CSpoolJournal::kStagingSuffix) : 0;
        removed += present(".new") ? RemoveFile(path + ".new") : 0;  // a replacement never committed
        if (present(".wrk")) {
            // A committed pair; a collected file beside it was converted already.
            if (present(".pop")) removed += RemoveFile(path + ".pop");
            continue;
        }
        if (present(".pop")) {
            // The collected file is the message: its conversion starts again.
            if (present(".txt")) removed += RemoveFile(path + ".txt");
            if (present(".tmp")) removed += RemoveFile(path + ".tmp");
            continue;
        }
        // With KeepFiles a processed pair stays as .txt and .tmp; otherwise an envelope that
        // never became .wrk, or a message file without one, belongs to a transaction that was
        // cut off before anyone was told the message was taken.
        const bool keptPair = keepFiles && present(".txt") && present(".tmp");
        if (keptPair) continue;
        if (present(".tmp")) removed += RemoveFile(path + ".tmp");
        if (present(".txt")) removed += RemoveFile(path + ".txt");
    }

    // The outbound queue: staged pairs that never became .wrk. A message file kept beside any
    // other file of its name (an envelope set aside) stays.
    for (const auto& [base, has] : outboxEntries.suffixes) {
        const std::string path = JoinPath(outbox, base);
        // The transmitter's half-written replacements: the files they were to replace stand.
        if (has.count(kNewEnvelopeStaging) && !reportedMessages.count(base)) {
            removed += RemoveFile(path + kNewEnvelopeStaging);
        }
        if (has.count(kStallCountStaging)) removed += RemoveFile(path + kStallCountStaging);
        if (has.count(".tmp")) removed += RemoveFile(path + ".tmp");
        if (has.count(".txt") && has.size() == (has.count(".tmp") ? 2u : 1u)) removed += RemoveFile(path + ".txt");
    }

    // Mailbox copies staged for a batch that never committed.
    const std::string mailboxes = JoinPath(spoolRoot, kMailboxDir);
    for (const auto& box : ListSubfolders(mailboxes)) {
        if (box[0] != 'M') continue;
        const std::string folder = JoinPath(mailboxes, box);
        for (const auto& name : ListFiles(folder, ".tmp")) removed += RemoveFile(JoinPath(folder, name));
    }
    if (removed > 0) {
        WriteLogLine("Removed " + std::to_string(removed) +
                     " unfinished queue files left by interrupted transactions (none was acknowledged)");
    }
    return removed;
}

// Every message file in the inbox is on disk before anyone may process it, and message files
// are never changed in place, so a copy can be a second name for the same file: no data is
// written and no file is made, only a folder entry (flushed with the batch).
bool CSpooler::LinkCopy(const std::string& text, const std::string& target) {
    if (::link(text.c_str(), target.c_str()) != 0) return false;
    pending_->temporaries.push_back(target);
    pending_->folders.push_back(FolderOf(target));
    return true;
}

CSpooler::Copy CSpooler::StageMailboxCopy(const CMailbox& box, const std::string& text) {
    const std::string dir = box.Directory();
    if (dir.empty()) return Copy::Failed;
    const std::string derived = JoinPath(dir, FileNameOf(WithoutSuffix(text)) + ".txt");
    // Two recipients that lead to one mailbox get one copy.
    if (pending_->copies.count(derived)) return Copy::Present;
    std::string target = derived;
    if (FileExists(derived)) {
        // Made by an earlier attempt at this message; or, after the queue counter wrapped, a
        // different message that happens to have the same name.
        if (SameFileContent(derived, text)) return Copy::Present;
        target = box.NewMessagePath();
        if (target.empty()) return Copy::Failed;
    }
    // Staged under a name no reader looks at; a leftover of an attempt cut short is replaced.
    const std::string staged = WithoutSuffix(target) + ".tmp";
    std::remove(staged.c_str());
    if (::link(text.c_str(), staged.c_str()) != 0) {
        // Another file system, or one without links: a real copy.
        TextFileWriter out;
        if (!out.Open(staged, true) || !CopyInto(text, out) || !out.StartWriteback() || !out.Close()) {
            out.Discard();
            return Copy::Failed;
        }
        pending_->flush.push_back(staged);
    }
    pending_->temporaries.push_back(staged);
    pending_->renames.emplace_back(staged, target);
    pending_->folders.push_back(dir);
    pending_->copies.insert(derived);
    return Copy::Staged;
}

template <class Fill>
bool CSpooler::StagePair(const std::string& base, const std::string& sender,
                         const std::vector<std::string>& recipients, Fill&& fill, const std::string& same) {
    TextFileWriter text, envelope;
    const bool linked = !same.empty() && LinkCopy(same, base + ".txt");
    bool ok = linked || (text.Open(base + ".txt", true) && fill(text) && text.StartWriteback() && text.Close());
    if (ok) {
        if (!linked) pending_->temporaries.push_back(base + ".txt");
        ok = envelope.Open(base + ".tmp", true);
        if (ok) {
            pending_->temporaries.push_back(base + ".tmp");
            envelope.WriteLine(sender);
            for (const auto& r : recipients) envelope.WriteLine(r);
            ok = envelope.StartWriteback() && envelope.Close();
        }
    }
    if (!ok) {
        text.Discard();
        envelope.Discard();
        return false;
    }
    if (!linked) pending_->flush.push_back(base + ".txt");
    pending_->flush.push_back(base + ".tmp");
    pending_->renames.emplace_back(base + ".tmp", base + ".wrk");
    pending_->folders.push_back(FolderOf(base));
    return true;
}

std::string CSpooler::TraceLine(const std::string& forWhom) const {
    return "Received: by " + primaryDomain_ + " (Postvane) for <" + forWhom + ">; " + MailDate();
}

bool CSpooler::Prepare() {
    std::vector<std::string> domains = LocalDomains();
    if (domains.empty()) {
        WriteLogLine("No domains specified. Stopping Spooler\n");
        return false;
    }
    for (const auto& d : domains) WriteLogLine("Domain Listed = " + d);
    primaryDomain_ = PrimaryDomain();
    inboxPath_ = SpoolRoot() + "/" + kInboxDir + "/";
    return true;
}

void CSpooler::Run() {
    // Above the conversations: under a burst of submissions the delivery keeps pace, and the
    // clients wait a little longer for their "250" instead of the inbox growing without end.
    net::SetCurrentThreadPriority(net::ThreadPriority::Highest);
    if (!Prepare()) return;
    platform::DirectoryWatch watch;
    watch.Watch(inboxPath_);
    while (!StopRequested()) {
        Sweep();
        // A sweep a second at the latest; at once when a pair or a collected file arrives.
        // Messages waiting for a later attempt are skipped by the sweep, so the spooler's own
        // writes into the inbox never turn a failing delivery into a tight loop. The stop
        // request is looked at every tenth of a second.
        for (int slice = 0; slice < 10 && !StopRequested(); ++slice) {
            if (WaitForStop(0)) return;
            if (watch.Wait(100)) break;
        }
    }
}

void CSpooler::Postpone(const std::string& base) {
    Retry& retry = retries_[base];
    ++retry.attempts;
    auto delay = kFirstRetryDelay * (1LL << std::min(retry.attempts - 1, 20));
    if (delay > kMaxRetryDelay) delay = kMaxRetryDelay;
    retry.due = std::chrono::steady_clock::now() + delay;
    WriteLogLine((base.empty() ? std::string("The last delivery batch") : "Delivery of " + FileNameOf(base)) +
                 " is not complete (attempt " + std::to_string(retry.attempts) + "); it is tried again in " +
                 std::to_string(delay.count()) + " seconds");
}

bool CSpooler::FinishJournal() { return CSpoolJournal::Finish(inboxPath_); }

void CSpooler::Sweep() {
    const auto now = std::chrono::steady_clock::now();
    auto waiting = [&](const std::string& key) {
        auto it = retries_.find(key);
        return it != retries_.end() && it->second.due > now;
    };
    // A batch cut short is finished before anything else moves (its key is "").
    if (FileExists(inboxPath_ + kJournal)) {
        if (waiting("")) return;
        if (!FinishJournal()) {
            Postpone("");
            return;
        }
        retries_.erase("");
    }
    for (const auto& name : ListFiles(inboxPath_, ".pop")) {
        if (StopRequested()) return;
        ConvertCollectedMessage(inboxPath_ + name);
    }
    std::vector<std::string> batch;
    std::set<std::string> queued;
    for (const auto& name : ListFiles(inboxPath_, ".wrk")) {
        const std::string base = inboxPath_ + WithoutSuffix(name);
        queued.insert(base);
        if (waiting(base)) continue;
        if (CanRead(base + ".txt")) {
            batch.push_back(base);
        } else {
            std::rename((base + ".wrk").c_str(), (base + ".err").c_str());
            WriteLogLine("Found an inbox *.wrk file without associated *.txt");
        }
    }
    // Forget the attempts of messages that have left the queue.
    for (auto it = retries_.begin(); it != retries_.end();) {
        it = (!it->first.empty() && !queued.count(it->first)) ? retries_.erase(it) : std::next(it);
    }
    std::vector<Pending> staged;
    for (const auto& base : batch) {
        if (StopRequested()) break;
        staged.emplace_back();
        staged.back().base = base;
        if (!ProcessMessage(base, staged.back())) {
            staged.pop_back();
            Postpone(base);
        }
        if (staged.size() >= kBatch && !CommitBatch(staged)) return;
    }
    CommitBatch(staged);
}

// One flush for many messages: their files are written already and on their way to the disk,
// so waiting for each is short; the journal is one more file; each folder is flushed once.
bool CSpooler::CommitBatch(std::vector<Pending>& batch) {
    if (batch.empty()) return true;
    std::vector<bool> ok(batch.size(), true);
    for (size_t i = 0; i < batch.size(); ++i) {
        for (const auto& file : batch[i].flush) {
            if (!SyncPath(file)) {
                ok[i] = false;
                break;
            }
        }
    }
    std::vector<std::string> journal;
    std::set<std::string> folders;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!ok[i]) continue;
        for (const auto& [from, to] : batch[i].renames) journal.insert(journal.end(), {kOpRename, from, to});
        folders.insert(batch[i].folders.begin(), batch[i].folders.end());
    }
    for (const auto& folder : folders) journal.insert(journal.end(), {kOpFolder, folder});
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!ok[i]) continue;
        const Pending& p = batch[i];
        // A robot's reply takes its copy with it, before the inbox pair goes: the reply can
        // never be delivered while the copy it answers is still there to be answered again.
        if (!p.answeredCopy.empty()) journal.insert(journal.end(), {kOpRemove, p.answeredCopy});
        switch (p.inbox) {
            case Pending::Inbox::Remove: journal.insert(journal.end(), {kOpRemove, p.base + ".wrk", kOpRemove, p.base + ".txt"}); break;
            case Pending::Inbox::Keep: journal.insert(journal.end(), {kOpKeep, p.base + ".wrk", p.base + ".tmp"}); break;
            case Pending::Inbox::Replace: break;  // the new envelope takes the old one's place with the renames
        }
    }
    // The decision: once the journal is on disk, the batch is finished even across a kill.
    const bool decided = CSpoolJournal::Write(inboxPath_, journal);
    for (size_t i = 0; i < batch.size(); ++i) {
        if (ok[i] && decided) continue;
        // Nothing of this message became visible; the inbox pair stays for a later attempt.
        for (const auto& t : batch[i].temporaries) std::remove(t.c_str());
        WriteLogLine("Could not flush the copies of " + batch[i].base + " to disk. Check the free space of the spool.");
        Postpone(batch[i].base);
    }
    if (!decided) {
        batch.clear();
        return false;
    }
    const bool finished = FinishJournal();
    if (!finished) Postpone("");
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!ok[i]) continue;
        // Committed and visible now; a batch whose journal could not be finished leaves its
        // copies to the robots' own look through their mailboxes.
        if (finished && robots_) {
            for (const auto& [copy, mailbox] : batch[i].robotCopies) robots_->Submit(copy, mailbox);
        }
        if (batch[i].incomplete) {
            Postpone(batch[i].base);
        } else {
            retries_.erase(batch[i].base);
        }
    }
    batch.clear();
    return finished;
}

void CSpooler::AddRecipient(const std::string& address, Part part) {
    if (recipients_.size() >= kMaxRecipients) {
        if (!capLogged_) {
            WriteLogLine("Recipient list reached " + std::to_string(kMaxRecipients) +
                         " entries; further recipients of this message are dropped (" + address + ")");
            capLogged_ = true;
        }
        return;
    }
    recipients_.push_back({address, part});
}

bool CSpooler::ProcessMessage(const std::string& base, Pending& pending) {
    const std::string work = base + ".wrk";
    const std::string text = base + ".txt";
    std::vector<std::string> lines;
    if (!ReadWorkFile(work, lines)) {
        WriteLogLine("Could not open workfile");
        return false;
    }
    pending_ = &pending;
    pending.answeredCopy = RobotCopyOfReply(base);
    const std::string sender = lines.empty() ? std::string() : lines.front();
    recipients_.clear();
    seenRecipients_.clear();
    distributedTo_.clear();
    expandedAliases_.clear();
    capLogged_ = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string line = lines[i];
        Part part = Part::Whole;
        if (EndsWith(line, kSecondStepMark)) {
            line.resize(line.size() - std::string_view(kSecondStepMark).size());
            part = Part::SecondStep;
        }
        // An empty line names nobody; delivering it would only invent a recipient.
        if (!line.empty()) AddRecipient(line, part);
    }

    uint32_t keepFiles = 0;
    CRegistryKey("", false).ReadInt("KeepFiles", keepFiles);
    const Pending::Inbox done = keepFiles ? Pending::Inbox::Keep : Pending::Inbox::Remove;

    if (int hops = CountTraceLines(text); hops >= kMaxHops) {
        const bool ok = ReturnLoopingMessage(sender, text, hops);
        pending_ = nullptr;
        if (!ok) {
            for (const auto& t : pending.temporaries) std::remove(t.c_str());
            return false;
        }
        pending.inbox = done;
        return true;
    }

    std::vector<std::string> outbound;
    std::vector<Recipient> retry;
    // The end is looked at again after every entry: alias members appended during the walk
    // are delivered in the same walk.
    for (size_t i = 0; i < recipients_.size(); ++i) {
        const Recipient recipient = recipients_[i];
        // One delivery per address: a recipient named twice (directly and through an alias, or
        // twice in the envelope) gets one copy.
        std::string key = Lower(recipient.address) + (recipient.part == Part::SecondStep ? kSecondStepMark : "");
        if (!seenRecipients_.insert(key).second) {
            if (expandedAliases_.count(Lower(LocalPart(recipient.address)))) {
                WriteLogLine("Alias " + LocalPart(recipient.address) +
                             " refers to itself through its members; it was expanded once only");
            }
            continue;
        }
        switch (LocalDelivery(recipient, sender, text)) {
            case Delivery::Handled: CountMetric(Metric::MessagesDelivered); break;
            case Delivery::NotHandled: outbound.push_back(recipient.address); break;
            case Delivery::Failed: retry.push_back(recipient); break;
            case Delivery::SecondStepFailed: retry.push_back({recipient.address, Part::SecondStep}); break;
        }
    }

    if (!outbound.empty()) {
        const std::string out = OutboundQueuePath();
        if (!StagePair(out, sender, outbound, [&](TextFileWriter& w) { return CopyInto(text, w); }, text)) {
            WriteLogLine("Could not write the outbound queue file " + out +
                         "; the remote recipients wait for a later attempt");
            for (const auto& r : outbound) retry.push_back({r, Part::Whole});
        }
    }

    pending_ = nullptr;
    if (!retry.empty()) {
        // Only what is still owed stays queued: the envelope is replaced whole, and a recipient
        // whose first step is done keeps only its second step.
        const std::string replacement = base + ".new";
        std::vector<std::string> envelope{sender};
        for (const auto& r : retry) envelope.push_back(r.address + (r.part == Part::SecondStep ? kSecondStepMark : ""));
        if (!WriteTextFile(replacement, envelope)) {
            std::remove(replacement.c_str());
            // Everything is tried again: the copies already made are recognised then.
            for (const auto& t : pending.temporaries) std::remove(t.c_str());
            return false;
        }
        pending.temporaries.push_back(replacement);
        pending.flush.push_back(replacement);
        pending.renames.emplace_back(replacement, work);
        pending.folders.push_back(FolderOf(work));
        pending.inbox = Pending::Inbox::Replace;
        pending.incomplete = true;
        return true;
    }
    pending.inbox = done;
    return true;
}

bool CSpooler::ReturnLoopingMessage(const std::string& sender, const std::string& text, int hops) {
    std::string recipients;
    for (const auto& r : recipients_) recipients += "  " + r.address + "\n";
    WriteLogLine("A message from <" + sender + "> has passed " + std::to_string(hops) +
                 " mail systems and is going round in a loop (" + text + "); it is returned to its sender");
    if (!MayAnswerAutomatically(sender, text, primaryDomain_)) {
        return PostmasterDelivery("The looping message cannot be returned to <" + sender +
                                      ">; it goes to the postmaster",
                                  text) == Delivery::Handled;
    }
    char body[2048];
    std::snprintf(body, sizeof body, kLoopNotice, hops, recipients.substr(0, 1500).c_str(), primaryDomain_.c_str());
    return StageNotice(kNoticeSender, sender, NoticeHeader("Postvane", std::string(kNoticeSender) + "@" + primaryDomain_,
                                                          sender, "Undelivered mail: mail loop", text),
                       body, text);
}

GeneratedHeader CSpooler::NoticeHeader(const std::string& fromName, const std::string& fromAddress,
                                       const std::string& to, const std::string& subject,
                                       const std::string& about) const {
    GeneratedHeader header;
    header.fromName = fromName;
    header.fromAddress = fromAddress;
    header.to = to;
    header.subject = subject;
    header.domain = primaryDomain_;
    header.inReplyTo = MessageIdOf(about);
    header.extra.push_back("Auto-Submitted: auto-replied");
    return header;
}

bool CSpooler::StageNotice(const std::string& from, const std::string& to, const GeneratedHeader& header,
                           const std::string& body, const std::string& original) {
    auto fill = [&](TextFileWriter& out) {
        for (const auto& line : GeneratedHeaderLines(header)) out.WriteLine(line);
        out.WriteLine("");
        if (!WriteLines(out, body)) return false;
        if (original.empty()) return true;
        out.WriteLine("");
        out.WriteLine("----- The message follows -----");
        return CopyInto(original, out);
    };
    if (!StagePair(InboundQueuePath(), from, {to}, fill)) {
        WriteLogLine("Could not queue a notice to " + to + "; it is tried again later");
        return false;
    }
    return true;
}

bool CSpooler::ExpandAlias(const std::string& recipient) {
    const std::string alias = LocalPart(recipient);
    std::string value;
    if (!CRegistryKey("Alias", false).ReadString(alias, value)) return false;
    if (!expandedAliases_.insert(Lower(alias)).second) {
        WriteLogLine("Alias " + alias + " refers to itself through its members; it was expanded once only");
        return true;
    }
    // Members are separated by commas; the last one counts with or without a comma after it
    // (hand edits and imported files leave it out).
    size_t start = 0;
    while (start <= value.size()) {
        size_t comma = value.find(',', start);
        std::string piece = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? value.size() + 1 : comma + 1;
        size_t b = piece.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        size_t e = piece.find_last_not_of(" \t");
        AddRecipient(piece.substr(b, e - b + 1));
    }
    return true;
}

CSpooler::Delivery CSpooler::PostmasterDelivery(const std::string& why, const std::string& text) {
    WriteLogLine(why);
    CMailbox postmaster;
    if (!postmaster.Open("postmaster")) {
        WriteLogLine("The postmaster's mailbox cannot be opened; the message waits in the inbox. "
                     "Create the mailbox named by the alias postmaster.");
        return Delivery::Failed;
    }
    return StageMailboxCopy(postmaster, text) == Copy::Failed ? Delivery::Failed : Delivery::Handled;
}

CSpooler::Delivery CSpooler::LocalDelivery(const Recipient& recipient, const std::string& sender,
                                           const std::string& text) {
    CMailbox box;
    switch (box.Classify(recipient.address)) {
        case AddressClass::Remote: return Delivery::NotHandled;
        case AddressClass::UnknownLocal:
            // A name without a domain cannot be sent anywhere else.
            if (recipient.address.find('@') == std::string::npos) {
                return PostmasterDelivery("Mail for the unknown local name " + recipient.address +
                                              " goes to the postmaster",
                                          text);
            }
            return Delivery::NotHandled;
        case AddressClass::Alias:
            return ExpandAlias(recipient.address) ? Delivery::Handled : Delivery::NotHandled;
        case AddressClass::LocalMailbox: break;
    }
    switch (box.Type()) {
        case kMailboxUser: return UserDelivery(box, recipient, sender, text);
        case kMailboxList: return ListDelivery(box, recipient, sender, text);
        case kMailboxResponder:
        case kMailboxCommand:
        case kMailboxListServer:
            // The robot's own copy; the robot works on it once the batch is committed.
            switch (StageMailboxCopy(box, text)) {
                case Copy::Failed: return Delivery::Failed;
                case Copy::Staged: pending_->robotCopies.emplace_back(pending_->renames.back().second, box.Name()); break;
                case Copy::Present: break;  // committed earlier: the robots find it themselves
            }
            return Delivery::Handled;
        default:
            return PostmasterDelivery("Attempt to spool to an unknown local user " + recipient.address, text);
    }
}

CSpooler::Delivery CSpooler::UserDelivery(CMailbox& box, const Recipient& recipient, const std::string& sender,
                                          const std::string& text) {
    const std::string forwardTo = box.GetText(1);
    // A forward to the mailbox itself would only go round until the hop limit: the mail stays.
    const bool toItself = box.GetOption(1) != 0 && AddressNamesMailbox(forwardTo, box.Name());
    if (toItself && recipient.part == Part::Whole) {
        WriteLogLine("Mailbox " + box.Name() + " forwards to itself (" + forwardTo +
                     "); its mail stays in the mailbox. Correct or remove the forward.");
    }
    const bool forwarding = box.GetOption(1) != 0 && !toItself;
    const bool forwardOnly = box.GetOption(2) != 0;
    // Forward-only without an address would deliver nowhere: the mail stays here instead.
    if (recipient.part == Part::Whole && (!forwarding || !forwardOnly || forwardTo.empty())) {
        WriteLogLine("Delivering to <" + box.Name() + "> from <" + sender + "> (" + text + ")");
        if (StageMailboxCopy(box, text) == Copy::Failed) {
            WriteLogLine("Could not store a copy for <" + box.Name() + "> in " + box.Directory() +
                         "; it is tried again later. Check the folder's permissions and free space.");
            return Delivery::Failed;
        }
    }
    if (forwarding && !forwardTo.empty()) {
        WriteLogLine("Forwarding to " + forwardTo + " from " + sender + " (" + text + ")");
        // The forward keeps the sender, carries a trace line of its own (so that a loop of
        // forwards ends) and is resolved by a later sweep.
        auto fill = [&](TextFileWriter& w) { return w.WriteLine(TraceLine(forwardTo)) && CopyInto(text, w); };
        if (!StagePair(InboundQueuePath(), sender, {forwardTo}, fill)) {
            WriteLogLine("Could not queue the forward to " + forwardTo + "; it is tried again later");
            // Only the forward is owed: the copy made here is not made again.
            const bool copyMade = recipient.part == Part::Whole && !forwardOnly;
            return copyMade ? Delivery::SecondStepFailed : Delivery::Failed;
        }
    }
    return Delivery::Handled;
}

CSpooler::Delivery CSpooler::ListDelivery(CMailbox& list, const Recipient& recipient, const std::string& sender,
                                          const std::string& text) {
    const std::string listAddress = list.Name() + "@" + primaryDomain_;
    if (recipient.part == Part::Whole && HasListTrace(text, listAddress)) {
        WriteLogLine("List " + list.Name() + " has distributed this message already (" + text +
                     "); it is not distributed again");
        return Delivery::Handled;
    }
    const bool archived = list.GetOption(1) != 0;
    if (archived && recipient.part == Part::Whole && StageMailboxCopy(list, text) == Copy::Failed) {
        WriteLogLine("Could not keep the list copy in " + list.Directory() + "; it is tried again later");
        return Delivery::Failed;
    }
    // Once the archive copy is made, only the distribution is owed.
    const Delivery failed = archived ? Delivery::SecondStepFailed : Delivery::Failed;
    const uint32_t flags = list.GetOption(3);
    bool replyTo = (flags & kListReplyTo) != 0;
    std::vector<std::string> members;
    ReadWorkFile(JoinPath(list.Directory(), kMembersFile), members);  // missing: no members
    members.erase(std::remove(members.begin(), members.end(), std::string()), members.end());

    const std::string owner = list.GetText(1);
    bool allowed = !members.empty();
    if (allowed && (flags & kListMembersOnly)) {
        allowed = std::find(members.begin(), members.end(), sender) != members.end();
        if (!allowed) {
            CMailbox senderBox;
            allowed = senderBox.Classify(sender) == AddressClass::LocalMailbox && LocalPart(sender) == owner;
        }
    }
    if (allowed && (flags & kListModerated)) {
        replyTo = false;
        std::string poster = sender;
        CMailbox senderBox;
        if (sender.find('@') != std::string::npos && senderBox.Classify(sender) == AddressClass::LocalMailbox) {
            poster = LocalPart(sender);
        }
        if (poster != owner) {
            if (owner.empty()) {
                // Nobody to moderate: the postmaster decides instead of the posting vanishing.
                Delivery d = PostmasterDelivery("List " + list.Name() +
                                                    " is moderated but has no owner; the posting goes to the postmaster",
                                                text);
                return d == Delivery::Failed ? failed : d;
            }
            members.assign(1, owner);
        }
    }
    bool ok = allowed ? Distribute(list, sender, text, members, replyTo) : RejectionNotice(list, sender, text);
    return ok ? Delivery::Handled : failed;
}

bool CSpooler::Distribute(CMailbox& list, const std::string& sender, const std::string& text,
                          const std::vector<std::string>& members, bool replyTo) {
    // Each final recipient gets one copy of a posting: the list never sends to itself in any
    // spelling, a member that is another local list takes the posting as a recipient of this
    // same message (it is handled once: a list that names this one back is not handled again),
    // robots and auto-responders are never sent list mail, and an address reached through
    // several lists gets it once.
    std::vector<std::string> recipients;
    const std::string poster = Lower(sender);
    std::set<std::string> localDomains;
    for (const auto& d : LocalDomains()) localDomains.insert(Lower(d));
    for (const auto& m : members) {
        const std::string key = Lower(m);
        if (key == poster) continue;  // the poster does not get his own posting
        // Only a local address can be this list, another list or a robot: the rest of a long
        // list costs no look-up.
        const size_t at = key.find('@');
        const bool local = at == std::string::npos || localDomains.count(key.substr(at + 1));
        if (local && AddressNamesMailbox(m, list.Name())) continue;
        if (local && IsAutomaticAddress(m)) {
            CMailbox member;
            if (member.Classify(m) == AddressClass::LocalMailbox && member.Type() == kMailboxList) {
                AddRecipient(m);
            } else {
                WriteLogLine("List " + list.Name() + " does not send list mail to the robot " + m);
            }
            continue;
        }
        if (distributedTo_.insert(key).second) recipients.push_back(m);
    }
    if (recipients.empty()) return true;
    const std::string owner = list.GetText(1);
    const std::string listAddress = list.Name() + "@" + primaryDomain_;
    const std::string from = (owner.empty() ? std::string("postmaster") : owner) + "@" + primaryDomain_;
    auto fill = [&](TextFileWriter& out) {
        // A trace line of the list's own, so that lists that are members of each other stop.
        if (!out.WriteLine(TraceLine(listAddress))) return false;
        if (!replyTo) return CopyInto(text, out);
        LineReader in;
        if (!in.Open(text)) return CopyInto(text, out);
        std::string line;
        bool inHeader = true;
        while (in.ReadLine(line)) {
            if (inHeader && line.empty()) {
                out.WriteLine("reply-to: \"" + list.GetText(2) + "\" <" + listAddress + ">");
                inHeader = false;
            }
            if (!out.WriteLine(line)) return false;
        }
        return true;
    };
    if (!StagePair(InboundQueuePath(), from, recipients, fill)) {
        WriteLogLine("Could not queue the distribution of list " + list.Name() + "; it is tried again later");
        return false;
    }
    return true;
}

bool CSpooler::RejectionNotice(CMailbox& list, const std::string& sender, const std::string& text) {
    // Nobody to tell, or a robot that must not be answered.
    if (!MayAnswerAutomatically(sender, text, primaryDomain_)) return true;
    const std::string listAddress = list.Name() + "@" + primaryDomain_;
    const std::string about = list.GetText(2);
    char notice[1024];
    std::snprintf(notice, sizeof notice, kRejectionNotice, listAddress.c_str());
    if (!StageNotice(listAddress, sender, NoticeHeader(about, listAddress, sender, "Your posting to " + about, text),
                     notice)) {
        WriteLogLine("Could not queue the rejection notice of list " + list.Name() + "; it is tried again later");
        return false;
    }
    return true;
}

}  // namespace pv
