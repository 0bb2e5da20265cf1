// The parts the mail robots share: reading a request, and committing the reply to the inbound
// queue exactly once for each copy answered.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>
#include <string_view>

#include "core/GeneratedMail.h"
#include "core/TextFile.h"
#include "robots/Robots.h"

namespace pv::robots {

// A request's command line may be this long, as the members and work files' lines are; a
// longer one is refused with a reply that says so, never cut and carried out.
inline constexpr size_t kRequestLineLimit = 254;
// Lines are read this far, so that one beyond a limit is recognised as too long.
inline constexpr size_t kReadLineLimit = 1000;
// Header lines looked at before a request is taken as having no body.
inline constexpr int kMaxHeaderLines = 1000;
// Lines of a body kept as text (plan, title, default text): RFC 5322's line limit. A text
// with a longer line is refused.
inline constexpr size_t kTextLineLimit = 998;
// A plan, a title or a default text taken from mail may be this large; a larger one is
// refused with a reply that says so.
inline constexpr size_t kMaxTextBytes = 64 * 1024;
// The robots mark every reply like this, so that other robots (ours included) never answer it.
inline constexpr const char* kAutoSubmittedHeader = "Auto-Submitted: auto-replied";

// The header of a robot's reply to the copy at copyPath: the shared generated header (Date,
// Message-ID, In-Reply-To the request, MIME) marked as an automatic reply.
GeneratedHeader ReplyHeader(std::string fromName, std::string fromAddress, std::string to, std::string subject,
                            const std::string& copyPath);

std::string Lower(std::string text);
std::string Trim(std::string_view text);
std::string TrimRight(std::string_view text);
// The address in a header value: quoted strings, comments and blanks removed, and only what
// stands between "<" and ">" when they are there.
std::string BareAddress(const std::string& value);
// Writes text that may hold "\n" as one line per piece.
bool WriteText(TextFileWriter& out, std::string_view text);
// Copies a text file line by line (its line ends become the spool's); false when it cannot be
// opened.
bool CopyLines(const std::string& path, TextFileWriter& out, size_t maxBytes = SIZE_MAX);

// A request as the command robot and the auto-responders read it: every header line in lower
// case, the first non-empty body line as the command, the rest of the body left unread.
struct Request {
    std::string sender;           // the From address as read (may keep a display name)
    std::string senderAddress;    // the bare address
    std::string subject;          // lower case, after "subject:" and blanks
    std::string subjectAsTyped;   // the same in the case it was typed (mailbox name, password)
    std::string command;          // lower case, trailing blanks removed
    std::string commandAsTyped;
    bool commandTooLong = false;  // longer than kRequestLineLimit
    LineReader body;              // after the command line

    // False when the copy cannot be opened.
    bool Read(const std::string& path);
};

// The reply: its envelope and a writer of its text (header included).
struct Reply {
    std::string sender;
    std::string recipient;
    std::function<bool(TextFileWriter&)> fill;
};

// The reply the list server and the command robot send: the header, their result lines, and
// after two empty lines the help file (`HelpFile`) when help is wanted.
Reply ResultReply(std::string sender, std::string recipient, GeneratedHeader header, std::vector<std::string> lines,
                  bool helpWanted);
// Writes the header lines and the empty line after them.
bool WriteHeader(TextFileWriter& out, const GeneratedHeader& header);

// Ends a run on copyPath. With a reply (fill set): unless a reply to this copy is committed
// already (a run cut short by a kill), the reply is written under the name derived from the
// copy, flushed and committed; only then is the copy removed. Without a reply the copy is
// removed. Retry (the copy stays) when the reply could not be made durable.
Outcome FinishRun(const std::string& copyPath, const Reply* reply, const std::string& robot);

// The list server and the command robot answer every request, but a sender gets at most this
// many answers an hour from each: an outside auto-responder that ignores Auto-Submitted, or
// someone sending requests in a loop, cannot make them write without end. The office's own
// users (local senders) manage lists in bulk and get far more.
inline constexpr int kMaxRepliesPerSenderPerHour = 20;
inline constexpr int kMaxRepliesPerLocalSenderPerHour = 1000;
// Senders counted at once; beyond it the one counted longest ago is forgotten.
inline constexpr size_t kMaxCountedSenders = 4096;

// Counts one answer of `robot` to `sender`; false (logged once per sender and hour) when the
// sender has had all its answers this hour: the request is then neither carried out nor
// answered.
bool WithinReplyQuota(const std::string& robot, const std::string& sender);

// What a robot did for a copy, noted beside it (the copy's name with ".did") and flushed
// before the change is made: a run repeated after a kill tells "I made this change before the
// kill" from "someone else made it" by the note, and answers as the first run would have.
// FinishRun removes the note with the copy.
bool NoteDone(const std::string& copyPath, const std::string& what);
bool NotedDone(const std::string& copyPath, const std::string& what);

// Whether a reply to this copy is committed already.
bool ReplyCommitted(const std::string& copyPath);

}  // namespace pv::robots
