// The list-server robot behind "PVList": join, leave and list by mail.
#include <algorithm>
#include <cstdio>

#include "core/Format.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/AddressParsing.h"
#include "delivery/Mailbox.h"
#include "robots/MembersFile.h"
#include "robots/RobotReply.h"

namespace pv::robots {

namespace {

// Every text the list server writes.
struct ListServerTexts {
    const char* fromName = "PVList";
    const char* robotLocalPart = "pvlist";
    const char* unrecognised = "Unrecognised command";
    const char* failed = "Command failed";
    const char* notAnAddress = " is not a valid email address";
    const char* alreadyMember = " is already a member of this list";
    const char* executed = "Command executed OK";
    const char* toLeave = "to leave the list send the line";
    const char* leave = "leave ";
    const char* to = "to ";
    const char* noSuchList = "No such list";
    const char* noLonger = " is no longer in the list";
    const char* listsHeader = "lists available at this site are:";
    const char* listLine = "%s - %s";
    const char* lineTooLong = "The command line is longer than %zu characters; nothing was changed";
};
constexpr ListServerTexts kText;

// A request with no subject header adds a "Subject:" line for every body line up to the
// command; a long body is not read beyond this many lines.
constexpr int kMaxCommandLines = 50;

class CListServer {
public:
    CListServer(std::string copyPath) : copy_(std::move(copyPath)) {
        robotAddress_ = std::string(kText.robotLocalPart) + "@" + PrimaryDomain();
    }

    Outcome Run();

private:
    bool Read(LineReader& in);
    // False when a members file could not be changed (the request is tried again later).
    bool Dispatch();
    bool Join(const std::string& list, std::string address);
    bool Leave(const std::string& list, std::string address);
    void List();
    void Add(std::string line) { reply_.push_back(std::move(line)); }

    struct Command {
        const char* keyword;
        bool (CListServer::*handler)(const std::string& argument);
    };
    bool JoinCommand(const std::string& argument);
    bool LeaveCommand(const std::string& argument) { return Leave(argument, sender_); }
    bool ListCommand(const std::string&) {
        List();
        return true;
    }
    static constexpr Command kCommands[] = {
        {"join", &CListServer::JoinCommand},
        {"leave", &CListServer::LeaveCommand},
        {"list", &CListServer::ListCommand},
    };

    std::string copy_;
    std::string robotAddress_;
    std::vector<std::string> reply_;  // the body
    std::string to_;                  // the request's From value, as the reply's To
    std::string sender_;
    std::string subjectLine_;
    std::string command_;
    bool helpWanted_ = false;
};

bool CListServer::Read(LineReader& in) {
    std::string line;
    bool inHeader = true;
    int commandLines = 0, headerLines = 0;
    while ((command_.empty() || sender_.empty() || subjectLine_.empty()) && in.ReadLine(line, kReadLineLimit)) {
        line = Lower(TrimRight(line));
        if (inHeader) {
            if (line.empty() || ++headerLines > kMaxHeaderLines) {
                inHeader = false;
            } else if (line.rfind("subject", 0) == 0) {
                subjectLine_ = line;
            } else if (line.rfind("from", 0) == 0) {
                const std::string value = line.size() > 5 ? line.substr(5) : std::string();
                to_ = value;
                sender_ = BareAddress(value);
            }
        } else if (!line.empty()) {
            // The reply's Subject is the command line (one Subject: proper mail has no second).
            if (++commandLines > kMaxCommandLines) break;
            command_ = line;
        }
    }
    return true;
}

bool CListServer::Dispatch() {
    if (command_.size() > kRequestLineLimit) {
        Add(kText.failed);
        Add(Format(kText.lineTooLong, kRequestLineLimit));
        return true;
    }
    std::string line = command_;
    if (size_t colon = line.find(':'); colon != std::string::npos) line.erase(0, colon + 1);
    line.erase(0, line.find_first_not_of(" \t"));
    for (const auto& command : kCommands) {
        const std::string keyword = command.keyword;
        if (line.compare(0, keyword.size(), keyword) != 0) continue;
        const std::string argument = line.size() > keyword.size() + 1 ? Trim(line.substr(keyword.size() + 1)) : "";
        return (this->*command.handler)(argument);
    }
    Add(kText.unrecognised);
    helpWanted_ = true;
    return true;
}

bool CListServer::JoinCommand(const std::string& argument) {
    size_t blank = argument.find_first_of(" \t");
    if (blank == std::string::npos) return Join(argument, sender_);
    return Join(TrimRight(argument.substr(0, blank)), Trim(argument.substr(blank + 1)));
}

bool CListServer::Join(const std::string& list, std::string address) {
    address = Lower(address);
    // Nothing that would break the members file or an envelope, and none of this system's own
    // lists and robots: a list that has one of them as a member sends its postings round.
    if (!IsStorableAddress(address) || IsAutomaticAddress(address)) {
        Add(kText.failed);
        Add(ReplaceControlCharacters(address) + kText.notAnAddress);
        return true;
    }
    CMailbox box;
    if (!box.Open(list) || box.Type() != kMailboxList || box.GetOption(2) != 1) {
        Add(kText.failed);
        return true;
    }
    // A member already: unless this very request made it one before a kill (its note says
    // so), in which case it is answered as the first run would have been.
    const std::string note = "join " + list + " " + address;
    bool already = false, notedFailure = false;
    const MembersChange result = ChangeMembers(box.Directory(), [&](std::vector<std::string>& members) {
        already = std::find(members.begin(), members.end(), address) != members.end();
        if (already) {
            already = !NotedDone(copy_, note);
            return false;
        }
        if (!NoteDone(copy_, note)) {
            notedFailure = true;
            return false;
        }
        members.push_back(address);
        return true;
    });
    if (result == MembersChange::Failed || notedFailure) return false;
    if (already) {
        Add(kText.failed);
        Add(address + kText.alreadyMember);
        return true;
    }
    Add(kText.executed);
    Add(kText.toLeave);
    Add(kText.leave + list);
    Add(kText.to + robotAddress_);
    return true;
}

bool CListServer::Leave(const std::string& list, std::string address) {
    CMailbox box;
    if (!box.Open(list) || box.Type() != kMailboxList) {
        Add(kText.failed);
        Add(kText.noSuchList);
        return true;
    }
    address = Lower(address);
    // Not a member: unless this very request took the address off before a kill.
    const std::string note = "leave " + list + " " + address;
    bool left = false, notedFailure = false;
    const MembersChange result = ChangeMembers(box.Directory(), [&](std::vector<std::string>& members) {
        auto it = std::find(members.begin(), members.end(), address);
        if (it == members.end()) {
            left = NotedDone(copy_, note);
            return false;
        }
        if (!NoteDone(copy_, note)) {
            notedFailure = true;
            return false;
        }
        members.erase(it);
        return left = true;
    });
    if (result == MembersChange::Failed || notedFailure) return false;
    // Someone who was not a member gets no result line.
    if (left) {
        Add(kText.executed);
        Add(address + kText.noLonger);
    }
    return true;
}

void CListServer::List() {
    Add(kText.listsHeader);
    for (const auto& name : CMailbox::ListMailboxes()) {
        CMailbox box;
        if (!box.Open(name) || box.Type() != kMailboxList || (box.GetOption(3) & kListHidden)) continue;
        char line[1024];
        std::snprintf(line, sizeof line, kText.listLine, name.c_str(), box.GetText(2).c_str());
        Add(line);
    }
}

Outcome CListServer::Run() {
    LineReader in;
    if (!in.Open(copy_)) return FileExists(copy_) ? Outcome::Retry : Outcome::Done;
    Read(in);
    in.Close();
    if (!MayAnswerAutomatically(sender_, copy_, PrimaryDomain())) {
        WriteLogLine("The list server leaves unanswered a message from <" + ReplaceControlCharacters(sender_) +
                     ">: it comes from a robot, a list or a failure report");
        return FinishRun(copy_, nullptr, "list server");
    }
    if (!WithinReplyQuota("list server", sender_)) return FinishRun(copy_, nullptr, "list server");
    if (!Dispatch()) return Outcome::Retry;
    const Reply reply = ResultReply(robotAddress_, sender_,
                                    ReplyHeader(kText.fromName, robotAddress_, to_, command_, copy_), reply_,
                                    helpWanted_);
    return FinishRun(copy_, &reply, "list server");
}

}  // namespace

Outcome RunListServer(const std::string& copyPath, const std::string&) { return CListServer(copyPath).Run(); }

}  // namespace pv::robots
