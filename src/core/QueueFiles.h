// The spool tree and its queue files.
//
// Every queued message is a pair sharing one queue file name: the message (".txt") and the
// envelope (".wrk": sender line, then one recipient per line). A pair becomes visible only
// when its envelope is renamed from ".tmp" to ".wrk", after both files are on disk.
#pragma once

#include <string>
#include <vector>

namespace pv {

inline constexpr const char* kInboxDir = "inbox";
inline constexpr const char* kOutboxDir = "outbox";
inline constexpr const char* kMailboxDir = "mailbox";
inline constexpr size_t kWorkLineLimit = 254;
// Beside a message SmartPop is committing: its account and provider UID ("<q>.uid"), until the
// UID is in the account's record.
inline constexpr const char* kUidSuffix = ".uid";
// The transmitter's files in the outbound queue while it writes them, renamed into place once
// whole: a new envelope with the recipients still owed (".nwk" -> ".wrk") and a new stall count
// (".cnn" -> ".cnt"). One left by a kill was never used; start-up and shutdown remove it.
inline constexpr const char* kNewEnvelopeStaging = ".nwk";
inline constexpr const char* kStallCountStaging = ".cnn";
// Held by the one transmitter that works on the outbound queue, and by start-up and shutdown
// while they tidy the spool: <Maildrop>/outbox.lck.
inline constexpr const char* kOutboxLockFile = "outbox.lck";

// The spool root (`Maildrop`), "" when not configured.
std::string SpoolRoot();
// dir + "/" + name, without doubling a separator that dir already ends with.
std::string JoinPath(const std::string& dir, const std::string& name);

// "f%07X" from the 28-bit counter `FileNum`, under the queue-number lock that every process
// of this hive honours (the file QueueNameLockPath()).
std::string NextQueueFileName();
std::string QueueNameLockPath();
std::string FormatQueueFileName(uint32_t number);

// <root>/inbox/<new name> and <root>/outbox/<new name>, without suffix; the folder is made
// when missing.
std::string InboundQueuePath();
std::string OutboundQueuePath();
std::string QueueDirectory(const char* dir);  // <root>/<dir>

// A work file's lines: at most 254 characters each (the rest of a longer line is dropped, so
// it never turns into a line of its own), trailing white space removed. False when the file
// cannot be read.
bool ReadWorkFile(const std::string& path, std::vector<std::string>& lines);

// Writes base.tmp with the envelope lines and commits the pair whose message base.txt is
// already written (and closed): both files are flushed, base.tmp is renamed to base.wrk and the
// folder is flushed. Nothing is reported as done before it is durable.
bool WriteEnvelopeAndCommit(const std::string& base, const std::string& sender,
                            const std::vector<std::string>& recipients);
bool CommitPair(const std::string& base);
// Commits queued behind the one being flushed now (they will share the next batch's flushes).
size_t CommitsWaiting();

}  // namespace pv
