#include "smtp/FailureReport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/QueueFiles.h"
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

}  // namespace

std::vector<std::string> FailureReportHead(const FailureReport& report) {
    std::vector<std::string> lines;
    lines.push_back("From: \"mail-deamon\" <" + std::string(kReportSender) + ">");
    lines.push_back("To: " + report.sender);
    lines.push_back(report.recipientRejected ? "Subject: Recipient rejected by receiver" : "Subject: Failed mail");
    lines.push_back("");
    lines.push_back("Transcript of session follows");
    lines.push_back("---------");
    if (report.transcript) lines.insert(lines.end(), report.transcript->begin(), report.transcript->end());
    lines.push_back("---------");
    lines.push_back("");
    lines.push_back("Origional message follows");
    lines.push_back("");
    return lines;
}

bool WriteFailureReport(const FailureReport& report, std::string& error) {
    const std::string base = InboundQueuePath();
    TextFileWriter text;
    if (!text.Open(base + ".txt", true)) {
        error = "cannot create " + base + ".txt: " + std::strerror(text.Errno());
        return false;
    }
    for (const std::string& line : FailureReportHead(report)) text.WriteLine(line);
    const bool copied = CopyMessage(report.messagePath, text);
    if (!copied || !text.Sync() || !text.Close()) {
        const int err = text.Errno() ? text.Errno() : errno;
        text.Discard();
        error = (copied ? "cannot write " : "cannot read " + report.messagePath + " into ") + base + ".txt: " +
                std::strerror(err ? err : EIO);
        return false;
    }
    if (!WriteEnvelopeAndCommit(base, kReportSender, {report.sender})) {
        const int err = errno;
        std::remove((base + ".txt").c_str());
        error = "cannot commit " + base + ".wrk: " + std::strerror(err ? err : EIO);
        return false;
    }
    // Only now, with the report safely queued, does the message leave the outbound queue.
    std::rename(report.workPath.c_str(), WithSuffix(report.workPath, ".old").c_str());
    return true;
}

}  // namespace pv
