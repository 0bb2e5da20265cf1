// GeneratedMail: the header of every message this system writes itself (robot replies, failure
// reports, loop and rejection notices), so that each is proper mail wherever it goes.
//
// Every generated header holds, after the lines its writer chose (From, To, Subject and any
// extra line such as Auto-Submitted):
//   Date            the time of writing, in the RFC 5322 format with the local offset;
//   Message-ID      unique: time, process, a counter and random bits, at the primary domain;
//   In-Reply-To,
//   References      the answered message's Message-ID, when it answers one that has a
//                   well-formed one (its own References are not carried on: a reply is never
//                   answered in turn, so the thread stays one deep);
//   MIME-Version,
//   Content-Type    text/plain in UTF-8 sent as 8 bit: the body may hold whatever a user typed.
// Nothing from mail reaches a header with a control character in it: those are replaced, and a
// Subject with non-ASCII text is written as RFC 2047 encoded words.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

struct GeneratedHeader {
    std::string fromName;     // the display name of From (quoted, or encoded when not ASCII)
    std::string fromAddress;  // the address of From
    std::string to;         // the To value as the writer shows it
    std::string subject;    // as typed; cleaned and encoded here
    std::string domain;     // the primary domain, for the Message-ID
    std::string inReplyTo;  // the answered message's Message-ID, "<...>"; empty for none
    std::vector<std::string> extra;  // whole lines, written after Subject
};

// The header lines, without the empty line that ends them. A folded Subject takes more than
// one line (each further one begins with a blank).
std::vector<std::string> GeneratedHeaderLines(const GeneratedHeader& header);

// "Fri, 11 Dec 2026 16:04:05 +0100"
std::string MailDate(std::time_t when);
std::string MailDate();
// "<...@domain>", never the same twice from one host.
std::string NewMessageId(const std::string& domain);

// Text from mail made safe for a header, a log line or a terminal: every byte below 0x20 and
// DEL becomes `replacement` (a tab included, since it has no business in one-line values).
std::string ReplaceControlCharacters(std::string_view text, char replacement = '?');
// Whether text holds a byte below 0x20 or DEL.
bool HasControlCharacters(std::string_view text);

// The Message-ID of a message file ("<...>"), from its header section; "" when it has none or
// the value is not one well-formed identifier.
std::string MessageIdOf(const std::string& messagePath);

}  // namespace pv
