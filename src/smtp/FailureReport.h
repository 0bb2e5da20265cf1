// Failure reports: when the relay refuses a message or some of its recipients, its sender gets
// a message in the inbound queue with the conversation and a copy of the refused text. The
// spooler then delivers it like any other mail.
//
// A report and the change it makes to the outbound queue happen exactly once, whenever the
// process is killed. Writing one:
//   1. the report's text goes into the inbound queue as <R>.txt (R a new queue name), flushed;
//      it is invisible there, since the spooler only takes pairs with an envelope;
//   2. for a message that stays queued, its new envelope is written as <base>.nwk, flushed;
//   3. the report's envelope is written into the outbound queue as "<base>=<R>.rpw" (the
//      message leaves the queue) or "<base>=<R>.rpk" (it stays for the recipients left),
//      flushed together with its folder. From here on the report is decided;
//   4. the message's envelope changes: <base>.wrk becomes <base>.old (.rpw), or <base>.nwk
//      replaces <base>.wrk (.rpk);
//   5. the staged envelope is renamed into the inbound queue as <R>.wrk: one rename makes the
//      report visible and removes the only sign that it was still due.
// A run that finds a staged envelope (its writer was killed after step 3) carries out steps 4
// and 5 for it before it sends anything; leftovers of steps 1 and 2 without a staged envelope
// are removed.
#pragma once

#include <string>
#include <vector>

namespace pv {

// The envelope sender of every report, and the address in its From line.
inline constexpr const char* kReportSender = "postvane";

struct FailureReport {
    std::string workPath;     // the refused message's work file in the outbound queue
    std::string messagePath;  // and its message file
    std::string sender;       // the refused message's sender: the report's one recipient
    bool recipientRejected = false;
    const std::vector<std::string>* transcript = nullptr;  // "<" sent, ">" received
    // Why the message is reported when the transcript alone does not say it; empty for none.
    std::string note;
    // The message stays queued for these recipients (the ones not refused for good); empty:
    // it leaves the queue (its work file becomes ".old").
    std::vector<std::string> remaining;
};

// Whether a report may be written to this sender at all: never to an empty sender (the message
// was itself a report or a bounce) nor to the report sender: reports about reports would
// travel for ever.
bool MayReportTo(const std::string& sender);
// Whether an envelope sender is the report sender's (any case): the message is a report.
bool IsReportSender(const std::string& sender);

// The report's message text, line by line, up to and including the empty line after
// "Origional message follows"; the refused message follows it.
std::vector<std::string> FailureReportHead(const FailureReport& report);

// What a person needs of a report at a glance, read back from the head of its text (the lines
// FailureReportHead wrote): the recipient the relay refused, when the transcript names one, and
// why the message was reported (the note, else the relay's last refusing reply).
struct FailureReportSummary {
    std::string recipient;
    std::string reason;
};

// Reads at most kFailureReportHeadLines lines of the report text at `path`; a file that is no
// report (or cannot be read) gives an empty summary, never an error.
FailureReportSummary ReadFailureReportSummary(const std::string& path);
inline constexpr size_t kFailureReportHeadLines = 400;

// Writes and commits the report and changes the message's envelope, in the order above. When
// the report cannot be committed nothing of it is left behind, the work file is untouched, the
// result is false and `error` says why. A sender MayReportTo refuses is an error too.
bool WriteFailureReport(const FailureReport& report, std::string& error);

// Carries out every report a killed writer left staged in outboxDir (steps 4 and 5) and removes
// the leftovers of reports that were never staged. Returns how many reports it committed.
int CompleteStagedReports(const std::string& outboxDir);

// The names of the outbound queue's own files: <base>.cnt (runs without progress), staged
// report envelopes, new envelopes.
inline constexpr const char* kStallCountSuffix = ".cnt";

}  // namespace pv
