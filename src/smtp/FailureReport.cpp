#include "smtp/FailureReport.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/Folders.h"
#include "core/GeneratedMail.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"

namespace pv {

namespace {

std::string WithSuffix(const std::string& path, const char* suffix) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + suffix;
    return path.substr(0, dot) + suffix;
}

// The refused message, byte for byte; only a bare LF becomes CR LF, as every queue file keeps
// its lines. A message that cannot be opened is left out (the report ends after its heading).
bool CopyMessage(const std::string& path, TextFileWriter& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buffer[64 * 1024];
    std::string converted;
    bool lastWasCr = false;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A read error is not a short message: the report must not pretend to hold it all.
            ok = n == 0;
            break;
        }
        converted.clear();
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n' && !lastWasCr) converted.push_back('\r');
            converted.push_back(c);
            lastWasCr = c == '\r';
        }
        if (!out.Write(converted)) {
            ok = false;
            break;
        }
    }
    ::close(fd);
    return ok;
}

// The transcript's frame in a report's text, written by FailureReportHead and read back by
// ReadFailureReportSummary.
constexpr const char* kTranscriptTitle = "Transcript of session follows";
constexpr const char* kTranscriptRule = "---------";
constexpr const char* kRcptCommand = "RCPT TO:";
constexpr size_t kMaxSummaryLine = 2000;  // longer lines are cut when a summary reads them

constexpr const char* kStagedTakeOut = ".rpw";  // the message leaves the queue
constexpr const char* kStagedKeep = ".rpk";     // the message stays for the recipients left
constexpr const char* kStaging = ".rpt";        // a staged envelope being written
constexpr const char* kNewEnvelope = kNewEnvelopeStaging;
constexpr char kNameSeparator = '=';

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Directory(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool EndsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool WriteSynced(const std::string& path, const std::vector<std::string>& lines) {
    TextFileWriter out;
    if (!out.Open(path)) return false;
    for (const auto& line : lines) out.WriteLine(line);
    if (!out.Sync() || !out.Close()) {
        out.Discard();
        return false;
    }
    return true;
}

// Steps 4 and 5 for one staged envelope "<base>=<R>.rpw|.rpk" in outboxDir; the report's text
// <R>.txt waits in the inbound queue. Each step can be repeated: a run killed in the middle of
// them is completed by the next.
bool CompleteStaged(const std::string& outboxDir, const std::string& staged, const std::string& inboxDir) {
    const size_t separator = staged.find(kNameSeparator);
    const size_t dot = staged.find_last_of('.');
    if (separator == std::string::npos || dot == std::string::npos || dot < separator) return false;
    const std::string base = JoinPath(outboxDir, staged.substr(0, separator));
    const std::string report = JoinPath(inboxDir, staged.substr(separator + 1, dot - separator - 1));
    const std::string stagedPath = JoinPath(outboxDir, staged);
    if (EndsWith(staged, kStagedKeep)) {
        std::rename((base + kNewEnvelope).c_str(), (base + ".wrk").c_str());  // fails once done
    } else {
        std::rename((base + ".wrk").c_str(), (base + ".old").c_str());
        std::remove((base + kStallCountSuffix).c_str());
    }
    if (!SyncDirectory(outboxDir)) return false;
    if (!FileExists(report + ".txt")) {
        // Its text is gone (removed by hand): an envelope alone would only be set aside.
        std::remove(stagedPath.c_str());
        return false;
    }
    if (std::rename(stagedPath.c_str(), (report + ".wrk").c_str()) != 0) return false;
    SyncDirectory(inboxDir);
    SyncDirectory(outboxDir);
    return true;
}

}  // namespace

FailureReportSummary ReadFailureReportSummary(const std::string& path) {
    FailureReportSummary summary;
    LineReader reader;
    if (!reader.Open(path)) return summary;
    enum class Part { Header, Note, Transcript } part = Part::Header;
    std::string note, lastCommand, line;
    for (size_t n = 0; n < kFailureReportHeadLines && reader.ReadLine(line, kMaxSummaryLine); ++n) {
        if (part == Part::Header) {
            if (line.empty()) part = Part::Note;
            continue;
        }
        if (part == Part::Note) {
            if (line == kTranscriptTitle) {
                part = Part::Transcript;
                reader.ReadLine(line, kMaxSummaryLine);  // the rule under the title
            } else if (!line.empty()) {
                note += (note.empty() ? "" : " ") + line;
            }
            continue;
        }
        if (line == kTranscriptRule) break;
        if (line.size() > 1 && line[0] == '<') {
            lastCommand = line.substr(1);
        } else if (line.size() > 1 && line[0] == '>' && (line[1] == '4' || line[1] == '5')) {
            // The last refusing reply; a recipient only when it answered a RCPT command.
            summary.reason = line.substr(1);
            summary.recipient.clear();
            if (lastCommand.size() > std::strlen(kRcptCommand) &&
                std::equal(kRcptCommand, kRcptCommand + std::strlen(kRcptCommand), lastCommand.begin(),
                           [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); })) {
                std::string address = lastCommand.substr(std::strlen(kRcptCommand));
                const size_t open = address.find('<');
                const size_t close = address.find('>', open == std::string::npos ? 0 : open);
                if (open != std::string::npos && close != std::string::npos) {
                    address = address.substr(open + 1, close - open - 1);
                }
                summary.recipient = address;
            }
        }
    }
    if (!note.empty()) summary.reason = note;
    return summary;
}

bool IsReportSender(const std::string& sender) {
    if (sender.size() != std::strlen(kReportSender)) return false;
    for (size_t i = 0; i < sender.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(sender[i])) != kReportSender[i]) return false;
    }
    return true;
}

bool MayReportTo(const std::string& sender) {
    return !sender.empty() && sender != "<>" && !IsReportSender(sender);
}

std::vector<std::string> FailureReportHead(const FailureReport& report) {
    GeneratedHeader header;
    header.fromName = "mail-deamon";
    header.domain = PrimaryDomain();
    header.fromAddress = std::string(kReportSender) + "@" + header.domain;
    header.to = report.sender;
    header.subject = report.recipientRejected ? "Recipient rejected by receiver" : "Failed mail";
    header.inReplyTo = MessageIdOf(report.messagePath);
    header.extra.push_back("Auto-Submitted: auto-replied");
    std::vector<std::string> lines = GeneratedHeaderLines(header);
    lines.push_back("");
    if (!report.note.empty()) {
        lines.push_back(report.note);
        lines.push_back("");
    }
    lines.push_back(kTranscriptTitle);
    lines.push_back(kTranscriptRule);
    if (report.transcript) lines.insert(lines.end(), report.transcript->begin(), report.transcript->end());
    lines.push_back(kTranscriptRule);
    lines.push_back("");
    lines.push_back("Origional message follows");
    lines.push_back("");
    return lines;
}

bool WriteFailureReport(const FailureReport& report, std::string& error) {
    if (!MayReportTo(report.sender)) {
        error = "no report is written to the sender <" + report.sender + ">";
        return false;
    }
    const std::string outboxDir = Directory(report.workPath);
    const std::string base = WithSuffix(report.workPath, "");
    const std::string reportBase = InboundQueuePath();
    const std::string inboxDir = Directory(reportBase);

    // 1. The report's text, invisible until its envelope arrives.
    TextFileWriter text;
    if (!text.Open(reportBase + ".txt", true)) {
        error = "cannot create " + reportBase + ".txt: " + std::strerror(text.Errno());
        return false;
    }
    for (const std::string& line : FailureReportHead(report)) text.WriteLine(line);
    const bool copied = CopyMessage(report.messagePath, text);
    if (!copied || !text.Sync() || !text.Close() || !SyncDirectory(inboxDir)) {
        const int err = text.Errno() ? text.Errno() : errno;
        text.Discard();
        std::remove((reportBase + ".txt").c_str());
        error = (copied ? "cannot write " : "cannot read " + report.messagePath + " into ") + reportBase + ".txt: " +
                std::strerror(err ? err : EIO);
        return false;
    }
    auto undo = [&](const std::string& what) {
        const int err = errno;
        std::remove((reportBase + ".txt").c_str());
        std::remove((base + kNewEnvelope).c_str());
        error = what + ": " + std::strerror(err ? err : EIO);
        return false;
    };

    // 2. The envelope the message keeps.
    const bool keep = !report.remaining.empty();
    if (keep) {
        std::vector<std::string> envelope{report.sender};
        envelope.insert(envelope.end(), report.remaining.begin(), report.remaining.end());
        if (!WriteSynced(base + kNewEnvelope, envelope)) return undo("cannot write " + base + kNewEnvelope);
    }

    // 3. The staged report envelope: from now on the report is due.
    const std::string stagedName = BaseName(base) + kNameSeparator + BaseName(reportBase);
    const std::string staging = JoinPath(outboxDir, stagedName + kStaging);
    const std::string staged = stagedName + (keep ? kStagedKeep : kStagedTakeOut);
    if (!WriteSynced(staging, {kReportSender, report.sender})) {
        std::remove(staging.c_str());
        return undo("cannot write " + staging);
    }
    if (std::rename(staging.c_str(), JoinPath(outboxDir, staged).c_str()) != 0 || !SyncDirectory(outboxDir)) {
        std::remove(staging.c_str());
        std::remove(JoinPath(outboxDir, staged).c_str());
        return undo("cannot stage the report in " + outboxDir);
    }

    // 4 and 5.
    if (!CompleteStaged(outboxDir, staged, inboxDir)) {
        // Staged and durable: the next run commits it.
        error = "the report is staged in " + outboxDir + " and is committed by the next run";
        return true;
    }
    return true;
}

int CompleteStagedReports(const std::string& outboxDir) {
    const std::string inboxDir = JoinPath(Directory(outboxDir), kInboxDir);
    std::vector<std::string> staged, leftovers;
    for (const auto& name : ListFolderNames(outboxDir)) {
        if (EndsWith(name, kStagedTakeOut) || EndsWith(name, kStagedKeep)) staged.push_back(name);
        if (EndsWith(name, kStaging) || EndsWith(name, kNewEnvelope)) leftovers.push_back(name);
    }
    int committed = 0;
    for (const auto& name : staged) committed += CompleteStaged(outboxDir, name, inboxDir) ? 1 : 0;
    // What was written before a report was staged: the report was never due, and the run
    // decides about the message again.
    for (const auto& name : leftovers) {
        const std::string path = JoinPath(outboxDir, name);
        if (!FileExists(path)) continue;  // a new envelope that step 4 has just used
        const size_t separator = name.find(kNameSeparator);
        if (EndsWith(name, kStaging) && separator != std::string::npos) {
            const std::string report = name.substr(separator + 1, name.size() - separator - 1 - std::strlen(kStaging));
            std::remove((JoinPath(inboxDir, report) + ".txt").c_str());
        }
        std::remove(path.c_str());
    }
    return committed;
}

}  // namespace pv
