#include "delivery/Spooler.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/AddressParsing.h"
#include "platform/DirectoryWatch.h"

namespace pv {

namespace {

constexpr const char* kRejectionNotice =
    "Your message was not distributed to the list %s.\n"
    "The list takes postings from its members only, or it has no members yet.\n"
    "To join, write to the list's owner.\n";

std::string LocalPart(const std::string& address) { return address.substr(0, address.find('@')); }

std::vector<std::string> ListFiles(const std::string& folder, const char* suffix) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return names;
    const std::string_view want(suffix);
    while (dirent* e = ::readdir(dir)) {
        std::string_view name(e->d_name);
        if (name.size() > want.size() && name.substr(name.size() - want.size()) == want) {
            names.emplace_back(name);
        }
    }
    ::closedir(dir);
    // Queue names count up, so name order is arrival order.
    std::sort(names.begin(), names.end());
    return names;
}

std::string WithoutSuffix(const std::string& path) {
    size_t dot = path.find_last_of('.');
    return dot == std::string::npos ? path : path.substr(0, dot);
}

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

}  // namespace

namespace {
std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }
}  // namespace

// Every message file in the inbox is on disk before anyone may process it, and message files
// are never changed in place, so a copy can be a second name for the same file: no data is
// written and no file is made, only a folder entry (flushed with the batch).
bool CSpooler::LinkCopy(const std::string& text, const std::string& target) {
    if (::link(text.c_str(), target.c_str()) != 0) return false;
    pending_->temporaries.push_back(target);
    pending_->folders.push_back(FolderOf(target));
    return true;
}

bool CSpooler::StageCopy(const std::string& text, const std::string& target) {
    if (target.empty()) return false;
    if (LinkCopy(text, target)) return true;
    // Another file system, or one without links: a real copy, under a name no reader looks
    // at until the batch commits.
    const std::string temporary = WithoutSuffix(target) + ".tmp";
    TextFileWriter out;
    if (!out.Open(temporary) || !CopyInto(text, out) || !out.StartWriteback() || !out.Close()) {
        out.Discard();
        return false;
    }
    pending_->temporaries.push_back(temporary);
    pending_->flush.push_back(temporary);
    pending_->renames.emplace_back(temporary, target);
    pending_->folders.push_back(FolderOf(target));
    return true;
}

template <class Fill>
bool CSpooler::StagePair(const std::string& base, const std::string& sender,
                         const std::vector<std::string>& recipients, Fill&& fill, const std::string& same) {
    TextFileWriter text, envelope;
    const bool linked = !same.empty() && LinkCopy(same, base + ".txt");
    bool ok = linked || (text.Open(base + ".txt") && fill(text) && text.StartWriteback() && text.Close());
    if (ok) {
        if (!linked) pending_->temporaries.push_back(base + ".txt");
        ok = envelope.Open(base + ".tmp");
        if (ok) {
            envelope.WriteLine(sender);
            for (const auto& r : recipients) envelope.WriteLine(r);
            ok = envelope.StartWriteback() && envelope.Close();
        }
        pending_->temporaries.push_back(base + ".tmp");
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
        // The stop request is looked at every tenth of a second.
        for (int slice = 0; slice < 10 && !StopRequested(); ++slice) {
            if (WaitForStop(0)) return;
            if (watch.Wait(100)) break;
        }
    }
}

void CSpooler::Sweep() {
    for (const auto& name : ListFiles(inboxPath_, ".pop")) {
        if (StopRequested()) return;
        ConvertCollectedMessage(inboxPath_ + name);
    }
    std::vector<std::string> batch;
    for (const auto& name : ListFiles(inboxPath_, ".wrk")) {
        const std::string base = inboxPath_ + WithoutSuffix(name);
        if (CanRead(base + ".txt")) {
            batch.push_back(base);
        } else {
            std::rename((base + ".wrk").c_str(), (base + ".err").c_str());
            WriteLogLine("Found an inbox *.wrk file without associated *.txt");
        }
    }
    std::vector<Pending> staged;
    for (const auto& base : batch) {
        if (StopRequested()) break;
        staged.emplace_back();
        staged.back().base = base;
        if (!ProcessMessage(base, staged.back())) staged.pop_back();
        if (staged.size() >= kBatch) CommitBatch(staged);
    }
    CommitBatch(staged);
}

// One flush for many messages: their files are written already and on their way to the disk,
// so waiting for each is short, and each folder is flushed once.
void CSpooler::CommitBatch(std::vector<Pending>& batch) {
    std::vector<bool> ok(batch.size(), true);
    for (size_t i = 0; i < batch.size(); ++i) {
        for (const auto& file : batch[i].flush) {
            if (!SyncPath(file)) {
                ok[i] = false;
                break;
            }
        }
    }
    std::set<std::string> folders;
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!ok[i]) continue;
        for (const auto& [from, to] : batch[i].renames) {
            if (std::rename(from.c_str(), to.c_str()) != 0) ok[i] = false;
        }
        folders.insert(batch[i].folders.begin(), batch[i].folders.end());
    }
    bool foldersOk = true;
    for (const auto& folder : folders) foldersOk = SyncDirectory(folder) && foldersOk;
    for (size_t i = 0; i < batch.size(); ++i) {
        Pending& p = batch[i];
        if (!ok[i] || !foldersOk) {
            // Nothing of this message is trusted: what became visible may be delivered again,
            // but nothing is lost, because the inbox pair stays.
            if (!ok[i]) {
                for (const auto& t : p.temporaries) std::remove(t.c_str());
                WriteLogLine("Could not flush the copies of " + p.base + " to disk; it is tried again at the next sweep");
            }
            continue;
        }
        switch (p.inbox) {
            case Pending::Inbox::Remove:
                std::remove((p.base + ".wrk").c_str());
                std::remove((p.base + ".txt").c_str());
                break;
            case Pending::Inbox::Keep: std::rename((p.base + ".wrk").c_str(), (p.base + ".tmp").c_str()); break;
            case Pending::Inbox::Replace: break;  // the new envelope took the old one's place above
        }
    }
    batch.clear();
}

void CSpooler::AddRecipient(const std::string& address) {
    if (recipients_.size() >= kMaxRecipients) {
        if (!capLogged_) {
            WriteLogLine("Recipient list reached " + std::to_string(kMaxRecipients) +
                         " entries; further recipients of this message are dropped (" + address + ")");
            capLogged_ = true;
        }
        return;
    }
    recipients_.push_back(address);
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
    const std::string sender = lines.empty() ? std::string() : lines.front();
    recipients_.clear();
    expandedAliases_.clear();
    capLogged_ = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        // An empty line names nobody; delivering it would only invent a recipient.
        if (!lines[i].empty()) AddRecipient(lines[i]);
    }

    std::vector<std::string> outbound, retry;
    // The end is looked at again after every entry: alias members appended during the walk
    // are delivered in the same walk.
    for (size_t i = 0; i < recipients_.size(); ++i) {
        const std::string recipient = recipients_[i];
        switch (LocalDelivery(recipient, sender, text)) {
            case Delivery::Handled: break;
            case Delivery::NotHandled: outbound.push_back(recipient); break;
            case Delivery::Failed: retry.push_back(recipient); break;
        }
    }

    if (!outbound.empty()) {
        const std::string out = OutboundQueuePath();
        if (!StagePair(out, sender, outbound, [&](TextFileWriter& w) { return CopyInto(text, w); }, text)) {
            WriteLogLine("Could not write the outbound queue file " + out +
                         "; the remote recipients are kept for the next sweep");
            retry.insert(retry.end(), outbound.begin(), outbound.end());
        }
    }

    pending_ = nullptr;
    if (!retry.empty()) {
        // Only the recipients still owed a copy stay queued; the envelope is replaced whole.
        const std::string replacement = base + ".new";
        std::vector<std::string> envelope{sender};
        envelope.insert(envelope.end(), retry.begin(), retry.end());
        if (!WriteTextFile(replacement, envelope)) {
            std::remove(replacement.c_str());
            // Everything is tried again: better a second copy than a lost one.
            for (const auto& t : pending.temporaries) std::remove(t.c_str());
            return false;
        }
        pending.temporaries.push_back(replacement);
        pending.flush.push_back(replacement);
        pending.renames.emplace_back(replacement, work);
        pending.folders.push_back(FolderOf(work));
        pending.inbox = Pending::Inbox::Replace;
        return true;
    }
    uint32_t keepFiles = 0;
    CRegistryKey("", false).ReadInt("KeepFiles", keepFiles);
    pending.inbox = keepFiles ? Pending::Inbox::Keep : Pending::Inbox::Remove;
    return true;
}

bool CSpooler::ExpandAlias(const std::string& recipient) {
    const std::string alias = LocalPart(recipient);
    std::string value;
    if (!CRegistryKey("Alias", false).ReadString(alias, value)) return false;
    if (!expandedAliases_.insert(alias).second) {
        WriteLogLine("Alias " + alias + " refers to itself through its members; it was expanded once only");
        return true;
    }
    // Only the pieces that stand before a comma name recipients.
    size_t start = 0;
    for (size_t comma = value.find(','); comma != std::string::npos; comma = value.find(',', start)) {
        std::string piece = value.substr(start, comma - start);
        start = comma + 1;
        size_t b = piece.find_first_not_of(" \t");
        if (b == std::string::npos) continue;
        size_t e = piece.find_last_not_of(" \t");
        AddRecipient(piece.substr(b, e - b + 1));
    }
    return true;
}

CSpooler::Delivery CSpooler::LocalDelivery(const std::string& recipient, const std::string& sender,
                                           const std::string& text) {
    CMailbox box;
    switch (box.Classify(recipient)) {
        case AddressClass::Remote:
        case AddressClass::UnknownLocal: return Delivery::NotHandled;
        case AddressClass::Alias: return ExpandAlias(recipient) ? Delivery::Handled : Delivery::NotHandled;
        case AddressClass::LocalMailbox: break;
    }
    switch (box.Type()) {
        case kMailboxUser: return UserDelivery(box, sender, text);
        case kMailboxList: return ListDelivery(box, sender, text);
        case kMailboxResponder:
        case kMailboxCommand:
        case kMailboxListServer:
            // The robot's own copy; the robot works on it.
            return StageCopy(text, box.NewMessagePath()) ? Delivery::Handled : Delivery::Failed;
        default: {
            WriteLogLine("Attempt to spool to an unknown local user " + recipient);
            CMailbox postmaster;
            if (!postmaster.Open("postmaster")) {
                WriteLogLine("The postmaster's mailbox cannot be opened; mail for " + recipient +
                             " waits in the inbox. Create the mailbox named by the alias postmaster.");
                return Delivery::Failed;
            }
            return StageCopy(text, postmaster.NewMessagePath()) ? Delivery::Handled : Delivery::Failed;
        }
    }
}

CSpooler::Delivery CSpooler::UserDelivery(CMailbox& box, const std::string& sender, const std::string& text) {
    const bool forwarding = box.GetOption(1) != 0;
    const bool forwardOnly = box.GetOption(2) != 0;
    const std::string forwardTo = box.GetText(1);
    bool ok = true;
    // Forward-only without an address would deliver nowhere: the mail stays here instead.
    if (!forwarding || !forwardOnly || forwardTo.empty()) {
        WriteLogLine("Delivering to <" + box.Name() + "> from <" + sender + "> (" + text + ")");
        const std::string target = box.NewMessagePath();
        if (!StageCopy(text, target)) {
            WriteLogLine("Could not store a copy for <" + box.Name() + "> in " + box.Directory() +
                         "; it is tried again at the next sweep. Check the folder's permissions and free space.");
            ok = false;
        }
    }
    if (ok && forwarding && !forwardTo.empty()) {
        WriteLogLine("Forwarding to " + forwardTo + " from " + sender + " (" + text + ")");
        // The forward keeps the sender and is resolved by a later sweep.
        if (!StagePair(InboundQueuePath(), sender, {forwardTo}, [&](TextFileWriter& w) { return CopyInto(text, w); },
                       text)) {
            WriteLogLine("Could not queue the forward to " + forwardTo + "; it is tried again at the next sweep");
            ok = false;
        }
    }
    return ok ? Delivery::Handled : Delivery::Failed;
}

CSpooler::Delivery CSpooler::ListDelivery(CMailbox& list, const std::string& sender, const std::string& text) {
    if (list.GetOption(1) != 0) {
        if (!StageCopy(text, list.NewMessagePath())) {
            WriteLogLine("Could not keep the list copy in " + list.Directory() + "; tried again at the next sweep");
            return Delivery::Failed;
        }
    }
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
        if (poster != owner) members.assign(1, owner);
    }
    bool ok = allowed ? Distribute(list, sender, text, members, replyTo) : RejectionNotice(list, sender, text);
    return ok ? Delivery::Handled : Delivery::Failed;
}

bool CSpooler::Distribute(CMailbox& list, const std::string& sender, const std::string& text,
                          const std::vector<std::string>& members, bool replyTo) {
    std::vector<std::string> recipients;
    for (const auto& m : members) {
        if (m != sender) recipients.push_back(m);  // the poster does not get his own posting
    }
    if (recipients.empty()) return true;
    const std::string owner = list.GetText(1);
    const std::string from = (owner.empty() ? std::string("postmaster") : owner) + "@" + primaryDomain_;
    auto fill = [&](TextFileWriter& out) {
        if (!replyTo) return CopyInto(text, out);
        LineReader in;
        if (!in.Open(text)) return CopyInto(text, out);
        std::string line;
        bool inHeader = true;
        while (in.ReadLine(line)) {
            if (inHeader && line.empty()) {
                out.WriteLine("reply-to: \"" + list.GetText(2) + "\" <" + list.Name() + "@" + primaryDomain_ + ">");
                inHeader = false;
            }
            if (!out.WriteLine(line)) return false;
        }
        return true;
    };
    if (!StagePair(InboundQueuePath(), from, recipients, fill, replyTo ? std::string() : text)) {
        WriteLogLine("Could not queue the distribution of list " + list.Name() + "; tried again at the next sweep");
        return false;
    }
    return true;
}

bool CSpooler::RejectionNotice(CMailbox& list, const std::string& sender, const std::string& text) {
    // Nobody to tell, or a robot that must not be answered.
    if (!MayAnswerAutomatically(sender, text, primaryDomain_)) return true;
    const std::string listAddress = list.Name() + "@" + primaryDomain_;
    const std::string about = list.GetText(2);
    auto fill = [&](TextFileWriter& out) {
        char notice[1024];
        std::snprintf(notice, sizeof notice, kRejectionNotice, listAddress.c_str());
        std::string body(notice);
        std::string text = "FROM: \"" + about + "\" <" + listAddress + ">\n" + "TO: " + sender + "\n" +
                           "SUBJECT: Your posting to " + about + "\n\n" + body;
        // Written with the spool's line ends.
        size_t start = 0;
        for (size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
            if (!out.WriteLine(std::string_view(text).substr(start, nl - start))) return false;
            start = nl + 1;
        }
        return true;
    };
    if (!StagePair(InboundQueuePath(), listAddress, {sender}, fill)) {
        WriteLogLine("Could not queue the rejection notice of list " + list.Name() + "; tried again at the next sweep");
        return false;
    }
    return true;
}

}  // namespace pv
