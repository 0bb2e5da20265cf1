// CSpoolJournal: the spooler's batch journal, the one file that turns a batch of staged copies
// into delivered mail exactly once across a kill.
//
// The contract:
// - A batch's copies are first written under names no reader looks at and flushed. The journal
//   then records, in this order, what is to become visible: the renames (kOpRename: staged
//   name, final name), the folders to flush after them (kOpFolder), and what goes once the
//   folders are flushed: inbox files to remove (kOpRemove) and envelopes to keep under another
//   name (kOpKeep: from, to). Each record is an operation line followed by its paths.
// - Write() puts the journal on disk under a staging name (kStagingSuffix, which no other
//   reader of the inbox looks at), flushes it, renames it to kName and flushes the inbox
//   folder. That rename is the decision: before it nothing of the batch is visible and the
//   messages are processed again; after it the batch is finished even across a kill.
// - Finish() carries a journal out: the renames whose staged file is still there, then the
//   folder flushes, and only then the removals and keeps, and finally removes the journal.
//   Every step can be done again, so a kill in the middle only means the next Finish repeats
//   it. A journal must be finished before anything else touches the inbox: at start-up before
//   unfinished files are cleaned up (they are the staged copies it names), and at the start of
//   every sweep.
#pragma once

#include <string>
#include <vector>

namespace pv {

class CSpoolJournal {
public:
    // The journal in the inbox. Its presence means "finish this batch".
    static constexpr const char* kName = "spooler.jnl";
    // The journal while it is written, as "spooler" + this suffix.
    static constexpr const char* kStagingSuffix = ".jnw";

    static constexpr const char* kOpRename = "R";  // from, to: makes a staged file visible
    static constexpr const char* kOpFolder = "F";  // folder: flushed after the renames
    static constexpr const char* kOpRemove = "D";  // path: removed after the folders are flushed
    static constexpr const char* kOpKeep = "K";    // from, to: renamed after the folders are flushed

    // Writes and flushes the records as the journal of `inbox`; true once it is durable under
    // kName. On false nothing of it is left behind and the batch is not decided.
    static bool Write(const std::string& inbox, const std::vector<std::string>& records);

    // Finishes the batch the journal of `inbox` describes (true when there is none). False,
    // with a log line, when a rename or a folder flush failed: the journal is kept and the
    // next attempt starts it again.
    static bool Finish(const std::string& inbox);
};

}  // namespace pv
