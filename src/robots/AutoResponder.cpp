// The auto-responder robot: any mailbox of type Responder answers every message with its
// default text, or (a titled responder) with the title its subject names.
#include <cstdio>

#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/AddressParsing.h"
#include "delivery/Mailbox.h"
#include "robots/RobotReply.h"

namespace pv::robots {

namespace {

// Every text the auto-responder writes.
struct ResponderTexts {
    const char* from = "From: \"%s\" <%s@%s>";
    const char* to = "To: %s";
    const char* subject = "Subject: re:%s";
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
        WriteLogLine("The auto-responder " + mailbox + " leaves unanswered a message from <" + request.senderAddress +
                     ">: it comes from a robot, a list or a failure report");
        return FinishRun(copyPath, nullptr, "auto-responder");
    }
    const std::string folder = box.Directory();
    // The subject names a file in the mailbox folder: it must stay there.
    const bool safeSubject = request.subject.empty() || IsSafeMailboxName(request.subject);
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
                    out.WriteLine(Format(kText.from, box.GetText(2), mailbox, domain));
                    out.WriteLine(Format(kText.to, request.sender));
                    out.WriteLine(Format(kText.subject, request.subject));
                    out.WriteLine(kAutoSubmittedHeader);
                    out.WriteLine("");
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
