// Failure reports: when the relay refuses a message or some of its recipients, its sender gets
// a message in the inbound queue with the conversation and a copy of the refused text. The
// spooler then delivers it like any other mail.
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
};

// The report's message text, line by line, up to and including the empty line after
// "Origional message follows"; the refused message follows it.
std::vector<std::string> FailureReportHead(const FailureReport& report);

// Writes the report into the inbound queue and commits it (both files on disk before its work
// file appears), then takes the refused message out of the outbound queue by renaming its work
// file to ".old". When the report cannot be committed nothing of it is left behind, the work
// file is untouched, the result is false and `error` says why.
bool WriteFailureReport(const FailureReport& report, std::string& error);

}  // namespace pv
