// The auto-responder robot: any mailbox of type Responder answers every message with its
// default text, or (a titled responder) with the title its subject names.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>

#include "core/GeneratedMail.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/AddressParsing.h"
#include "delivery/Mailbox.h"
#include "robots/MembersFile.h"
#include "robots/RobotReply.h"

namespace pv::robots {

namespace {

// Every text the auto-responder writes.
struct ResponderTexts {
    const char* subject = "re:%s";
    const char* envelopeSender = "postmaster@%s";
    const char* listSubject = "list";
    const char* listHeader = "Titles available here (send one of them as the subject):";
    const char* listLine = "%s , %s";
    const char* unsafeSubject =
        "Your subject cannot name a title: a title has no /, \\, .. or control characters.";
};
constexpr ResponderTexts kText;

constexpr const char* kTitlesKey = "Titles";
constexpr const char* kTitleSuffix = ".dat";
// A simple responder's text added by mail ("add title"), sent after its default text.
constexpr const char* kSimpleTitleFile = "default.dat";

// Each sender is answered once per period (RFC 3834 suggests days; a week is what people
// expect of an "away" notice); a titled responder, which sends the title its subject asks
// for, answers each sender once per period and title (the subject without its "re:" and
// "fwd:" prefixes, so an outside responder's "re: re: ..." is the same request again). The
// senders answered are remembered in the responder's folder, one line each ("<time> <copy>
// <sender>[ title:<title>]"), at most kMaxRemembered of them: beyond it the oldest are forgotten
// first, so a flood of invented senders costs a bounded file.
constexpr std::time_t kAnswerPeriod = 7 * 24 * 3600;
constexpr size_t kMaxRemembered = 1000;
constexpr const char* kAnsweredFile = "answered.pvg";
constexpr const char* kAnsweredLock = "answered.lck";
// A sender longer than this is remembered by a hash, so that every line fits the file's limit.
constexpr size_t kMaxRememberedSender = 200;

enum class Memory { Answer, AnsweredAlready, Failed };

// Decides whether this copy's sender is answered, and if so remembers it before the answer is
// written: the answer may be lost to a kill, never sent twice. A copy tried again after a
// failure finds its own line and is answered.
Memory RememberSender(const std::string& folder, std::string who, const std::string& copyPath) {
    if (who.size() > kMaxRememberedSender) who = "#" + std::to_string(std::hash<std::string>{}(who));
    const std::string copy = copyPath.substr(copyPath.find_last_of('/') + 1);
    const std::time_t now = std::time(nullptr);
    bool already = false;
    const MembersChange result = ChangeLineFile(
        JoinPath(folder, kAnsweredFile), JoinPath(folder, kAnsweredLock), [&](std::vector<std::string>& lines) {
            std::vector<std::string> kept;
            for (const auto& line : lines) {
                const size_t a = line.find(' '), b = a == std::string::npos ? a : line.find(' ', a + 1);
                if (b == std::string::npos) continue;  // damaged: forgotten
                const std::time_t when = std::strtoll(line.c_str(), nullptr, 10);
                if (when > now || now - when >= kAnswerPeriod) continue;  // expired
                if (line.compare(b + 1, std::string::npos, who) == 0) {
                    if (line.compare(a + 1, b - a - 1, copy) == 0) return false;  // this copy, tried again
                    already = true;
                }
                kept.push_back(line);
            }
            if (already) return false;  // nothing new to remember
            if (kept.size() >= kMaxRemembered) kept.erase(kept.begin(), kept.begin() + (kept.size() - kMaxRemembered + 1));
            kept.push_back(std::to_string(static_cast<long long>(now)) + " " + copy + " " + who);
            lines = std::move(kept);
            return true;
        });
    if (result == MembersChange::Failed) return Memory::Failed;
    return already ? Memory::AnsweredAlready : Memory::Answer;
}

// A subject without the prefixes replies and forwards put before it.
std::string RequestedTitle(std::string subject) {
    for (bool cut = true; cut;) {
        cut = false;
        subject = Trim(subject);
        for (const char* prefix : {"re:", "fw:", "fwd:", "aw:"}) {
            if (Lower(subject).rfind(prefix, 0) == 0) {
                subject.erase(0, std::strlen(prefix));
                cut = true;
            }
        }
    }
    return Lower(subject);
}

std::string Format(const char* format, const std::string& a, const std::string& b = "",
                   const std::string& c = "") {
    char line[1024];
    std::snprintf(line, sizeof line, format, a.c_str(), b.c_str(), c.c_str());
    return line;
}

}  // namespace

Outcome RunAutoResponder(const std::string& copyPath, const std::string& mailbox) {
    CMailbox box;
    if (!box.Open(mailbox) || box.Type() != kMailboxResponder) {
        WriteLogLine("The auto-responder " + mailbox + " no longer exists; its request " + copyPath + " stays unanswered");
        return Outcome::Done;  // the copy stays where it is, for the postmaster to look at
    }
    const bool simple = box.GetOption(1) != 0;
    const std::string domain = PrimaryDomain();
    Request request;
    if (!request.Read(copyPath)) return FileExists(copyPath) ? Outcome::Retry : Outcome::Done;
    request.body.Close();
    if (!MayAnswerAutomatically(request.senderAddress, copyPath, domain)) {
        WriteLogLine("The auto-responder " + mailbox + " leaves unanswered a message from <" +
                     ReplaceControlCharacters(request.senderAddress) +
                     ">: it comes from a robot, a list or a failure report");
        return FinishRun(copyPath, nullptr, "auto-responder");
    }
    const std::string folder = box.Directory();
    const std::string who = Lower(request.senderAddress) + (simple ? "" : " title:" + RequestedTitle(request.subject));
    switch (RememberSender(folder, who, copyPath)) {
        case Memory::Failed: return Outcome::Retry;
        case Memory::AnsweredAlready:
            WriteLogLine("The auto-responder " + mailbox + " answered <" +
                         ReplaceControlCharacters(request.senderAddress) + "> less than " +
                         std::to_string(kAnswerPeriod / 86400) + " days ago; this message is not answered");
            return FinishRun(copyPath, nullptr, "auto-responder");
        case Memory::Answer: break;
    }
    // The subject names a file in the mailbox folder: it must stay there.
    const bool safeSubject = simple || request.subject.empty() || IsSafeMailboxName(request.subject);
    std::vector<std::string> titles;
    CRegistryKey titleKey("mailbox\\" + mailbox + "\\" + kTitlesKey, false);
    if (titleKey.IsOpen()) titleKey.ListValueNames(titles);
    std::vector<std::pair<std::string, std::string>> list;
    for (const auto& t : titles) {
        std::string description;
        titleKey.ReadString(t, description);
        list.emplace_back(t, description);
    }
    const std::string defaultText = box.GetText(3);

    Reply reply{Format(kText.envelopeSender, domain), request.senderAddress, [&](TextFileWriter& out) {
                    WriteHeader(out, ReplyHeader(box.GetText(2), mailbox + "@" + domain, request.sender,
                                                 Format(kText.subject, request.subject), copyPath));
                    if (!safeSubject) out.WriteLine(kText.unsafeSubject);
                    bool titled = false;
                    if (!simple && safeSubject && !request.subject.empty()) {
                        titled = CopyLines(JoinPath(folder, request.subject + kTitleSuffix), out);
                    }
                    if (titled) return !out.Failed();
                    if (!simple && request.subject == kText.listSubject) {
                        out.WriteLine(kText.listHeader);
                        for (const auto& [title, description] : list) {
                            out.WriteLine(Format(kText.listLine, title, description));
                        }
                    } else {
                        WriteText(out, defaultText);
                        if (simple) CopyLines(JoinPath(folder, kSimpleTitleFile), out);
                    }
                    return !out.Failed();
                }};
    return FinishRun(copyPath, &reply, "auto-responder " + mailbox);
}

}  // namespace pv::robots
