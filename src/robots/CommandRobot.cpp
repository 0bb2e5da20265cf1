// The server command robot behind "Postvane": a user changes his own mailbox's plan,
// forwarding, password and auto-response titles by mail.
#include <cstdio>

#include "auth/FailureThrottle.h"
#include "core/GeneratedMail.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/AddressParsing.h"
#include "delivery/Mailbox.h"
#include "robots/RobotReply.h"

namespace pv::robots {

namespace {

// Every text the command robot writes.
struct CommandTexts {
    const char* fromName = "Postvane Server";
    const char* robotLocalPart = "postvane";
    const char* done = "Command executed OK";
    const char* planFailed = "Command failed: the plan file could not be written";
    const char* notResponder = "Command failed: this command is for auto-responder mailboxes only";
    const char* accessRefused =
        "Access refused: the subject must name your mailbox and its password, separated by a comma";
    const char* unknown = "Unknown command; the commands are described below";
    const std::string lineTooLong = "Command failed: the command line is longer than " +
                                    std::to_string(kRequestLineLimit) + " characters; nothing was changed";
    const std::string textTooLong = "Command failed: the text is longer than " + std::to_string(kMaxTextBytes) +
                                    " bytes or has a line longer than " + std::to_string(kTextLineLimit) +
                                    " characters; nothing was changed";
    const char* systemMailbox =
        "Command refused: lists, robots and the system's own mailboxes are set up by the administrator only";
    const char* responderSettings =
        "Command refused: of an auto-responder only its titles and default text are changed by mail";
    const char* noAddress = "Command failed: set forward needs an address";
    const char* forwardToItself = "Command failed: a mailbox cannot forward to itself; nothing was changed";
    const char* passwordRefused = "Command failed: a password must be 1 to 19 characters long";
    const char* titleFailed = "Command Failed";
    const char* titleFailedLine = "Command Failed\n";
    const char* titleFormat = "\n\nCorrect format is\nADD TITLE newtitle,description\n";
    const char* titleUnsafe = "A title must be 1 to 8 characters without /, \\, .. or control characters";
    const char* accessDenied = "Access Denied";
    const char* dataFileFailed = "Failed to create data file";
    const char* titleSucceeded = "Command Succeeded";
    const char* simpleNoDelete = "Cannot delete title from a simple auto-responder";
    const char* titleNotFound = "Title not found";
    const char* hiddenPassword = "set pass (hidden)";
    const char* helpSubject = "help";
    const char* simpleTitle = "default,default";
};
const CommandTexts kText;

// The plan finger shows, in the mailbox folder; "set plan" writes it and "delete plan"
// removes it.
constexpr const char* kPlanFile = "plan.pvg";
constexpr const char* kTitlesKey = "Titles";
constexpr const char* kTitleSuffix = ".dat";
constexpr const char* kSimpleTitle = "default";
// Titles are value names of at most this many characters.
constexpr size_t kMaxTitleLength = 8;

// Failed logins per mailbox name: after a few, commands for that mailbox are not carried out
// for a while, doubling from a minute up to an hour while the failures go on; a stranger
// guessing passwords by mail gets a handful of tries an hour.
constexpr auth::FailureThrottle::Policy kLoginThrottle{
    .freeFailures = 3,
    .firstBlock = std::chrono::seconds(60),
    .maxBlock = std::chrono::seconds(3600),
    .forgetAfter = std::chrono::seconds(24 * 3600),
    .maxKeys = 1024,
};
auth::FailureThrottle& LoginThrottle() {
    static auth::FailureThrottle throttle(kLoginThrottle);
    return throttle;
}

// Which mailboxes a command may change: only a user's own settings, and of an auto-responder
// only its titles and default text. Lists, robots and the system's mailboxes belong to the
// administrator.
enum class Target { User, Responder, Any };
class CCommandRobot {
public:
    explicit CCommandRobot(std::string copyPath) : copy_(std::move(copyPath)) {
        robotAddress_ = std::string(kText.robotLocalPart) + "@" + PrimaryDomain();
    }
    Outcome Run();

private:
    // What a command leaves for the help text: true keeps it wanted.
    using Handler = bool (CCommandRobot::*)(const std::string& argument);
    struct Command {
        const char* keyword;
        Handler handler;
        Target target;
    };
    bool SetPlan(const std::string&);
    bool SetForward(const std::string& argument);
    bool SetPass(const std::string& argument);
    bool DeletePlan(const std::string&);
    bool DeleteForward(const std::string&);
    bool Nothing(const std::string&) { return true; }
    bool AddTitle(const std::string& argument);
    bool DeleteTitle(const std::string& argument);
    bool SetDefault(const std::string&);
    bool Help(const std::string&) { return Result(kText.unknown); }
    static constexpr Command kCommands[] = {
        {"set plan", &CCommandRobot::SetPlan, Target::User},
        {"set forward", &CCommandRobot::SetForward, Target::User},
        {"set pass", &CCommandRobot::SetPass, Target::User},
        {"delete plan", &CCommandRobot::DeletePlan, Target::User},
        {"delete forward", &CCommandRobot::DeleteForward, Target::User},
        {"add user", &CCommandRobot::Nothing, Target::User},
        {"delete user", &CCommandRobot::Nothing, Target::User},
        {"add title", &CCommandRobot::AddTitle, Target::Responder},
        {"delete title", &CCommandRobot::DeleteTitle, Target::Responder},
        {"set default", &CCommandRobot::SetDefault, Target::Responder},
        {"help", &CCommandRobot::Help, Target::Any},
    };

    void Add(std::string line) { reply_.push_back(std::move(line)); }
    // A result line; the help text follows it (true) or not.
    bool Result(const char* line, bool helpWanted = true) {
        Add(line);
        return helpWanted;
    }
    bool Done() { return Result(kText.done, false); }
    // The rest of the request, written to path through a file beside it (path.new, flushed)
    // that CommitRest renames over it: finger never shows half a plan. A text beyond the
    // limits is refused whole.
    enum class Rest { Staged, TooLong, Failed };
    Rest StageRest(const std::string& path);
    bool CommitRest(const std::string& path);
    // False when the text is beyond the limits.
    bool ReadRest(std::string& text);
    bool Simple() const { return box_.GetOption(1) != 0; }
    // Whether the subject's name and password open a mailbox: not while the name is blocked
    // after failed logins, never with the factory password. Failures are logged and counted.
    bool Login(const std::string& name, const std::string& password);

    std::string copy_;
    std::string robotAddress_;
    std::vector<std::string> reply_;
    Request request_;
    CMailbox box_;
    std::string argumentAsTyped_;
    bool failedOnDisk_ = false;
};

CCommandRobot::Rest CCommandRobot::StageRest(const std::string& path) {
    const std::string fresh = path + ".new";
    TextFileWriter out;
    if (!out.Open(fresh)) return Rest::Failed;
    std::string line;
    size_t written = 0;
    while (request_.body.ReadLine(line, kTextLineLimit + 1)) {
        written += line.size() + 2;
        if (line.size() > kTextLineLimit || written > kMaxTextBytes) {
            out.Discard();
            return Rest::TooLong;
        }
        out.WriteLine(line);
    }
    if (!out.Sync() || !out.Close()) {
        out.Discard();
        return Rest::Failed;
    }
    return Rest::Staged;
}

bool CCommandRobot::CommitRest(const std::string& path) {
    const std::string fresh = path + ".new";
    if (std::rename(fresh.c_str(), path.c_str()) != 0) {
        std::remove(fresh.c_str());
        return false;
    }
    return SyncDirectoryOf(path);
}

bool CCommandRobot::ReadRest(std::string& text) {
    std::string line;
    while (request_.body.ReadLine(line, kTextLineLimit + 1)) {
        if (line.size() > kTextLineLimit || text.size() + line.size() + 1 > kMaxTextBytes) return false;
        if (!text.empty()) text += "\n";
        text += line;
    }
    return true;
}

bool CCommandRobot::SetPlan(const std::string&) {
    const std::string plan = JoinPath(box_.Directory(), kPlanFile);
    const Rest staged = StageRest(plan);
    if (staged == Rest::TooLong) return Result(kText.textTooLong.c_str(), false);
    if (staged == Rest::Failed || !CommitRest(plan)) return Result(kText.planFailed);
    return Done();
}

bool CCommandRobot::SetForward(const std::string& argument) {
    if (!IsStorableAddress(argument)) return Result(kText.noAddress);
    if (AddressNamesMailbox(argument, box_.Name())) return Result(kText.forwardToItself);
    if (!box_.SetText(1, argument) || !box_.SetOption(1, 1)) failedOnDisk_ = true;
    return Done();
}

bool CCommandRobot::SetPass(const std::string&) {
    // The password is taken as typed: it is compared with the case it has.
    if (argumentAsTyped_.empty() || !box_.SetPassword(argumentAsTyped_)) return Result(kText.passwordRefused);
    return Done();
}

bool CCommandRobot::DeletePlan(const std::string&) {
    std::remove(JoinPath(box_.Directory(), kPlanFile).c_str());
    return Done();
}

bool CCommandRobot::DeleteForward(const std::string&) {
    if (!box_.SetOption(1, 0) || !box_.SetText(1, "")) failedOnDisk_ = true;
    return Done();
}

bool CCommandRobot::AddTitle(const std::string& given) {
    const std::string argument = Simple() ? kText.simpleTitle : given;
    const size_t comma = argument.find(',');
    if (comma == std::string::npos) {
        Add(kText.titleFailed);
        Add(kText.titleFormat);
        return false;
    }
    std::string title = Trim(argument.substr(0, comma));
    const std::string description = Trim(argument.substr(comma + 1));
    if (title.size() > kMaxTitleLength) title.resize(kMaxTitleLength);
    title = title.substr(0, title.find_first_of(" \t"));
    // The title names a file in the mailbox folder: it must stay there.
    if (!IsSafeMailboxName(title)) {
        Add(kText.titleFailed);
        Add(kText.titleUnsafe);
        return false;
    }
    CRegistryKey titles("mailbox\\" + box_.Name() + "\\" + kTitlesKey, true);
    if (!titles.IsOpen()) {
        Add(kText.titleFailed);
        Add(kText.accessDenied);
        return false;
    }
    const std::string file = box_.Directory() + "/" + (Simple() ? kSimpleTitle : title) + kTitleSuffix;
    // The text is looked at first: one beyond the limits changes nothing at all.
    const Rest staged = StageRest(file);
    if (staged == Rest::TooLong) {
        Add(kText.titleFailed);
        Add(kText.textTooLong);
        return false;
    }
    if (!titles.WriteString(title, description)) failedOnDisk_ = true;
    if (staged == Rest::Staged && CommitRest(file)) {
        Add(kText.titleSucceeded);
    } else {
        Add(kText.titleFailed);
        Add(kText.dataFileFailed);
        Add(file);
    }
    return false;
}

bool CCommandRobot::DeleteTitle(const std::string& argument) {
    if (Simple()) {
        Add(kText.titleFailedLine);
        Add(kText.simpleNoDelete);
        return false;
    }
    const std::string title = Trim(argument);
    if (!IsSafeMailboxName(title)) {
        Add(kText.titleFailed);
        Add(kText.titleUnsafe);
        return false;
    }
    CRegistryKey titles("mailbox\\" + box_.Name() + "\\" + kTitlesKey, true);
    if (!titles.IsOpen()) {
        Add(kText.titleFailedLine);
        Add(kText.titleNotFound);
        return false;
    }
    titles.DeleteValue(title);  // a title that is not there is no error
    std::remove((box_.Directory() + "/" + title + kTitleSuffix).c_str());
    Add(kText.titleSucceeded);
    return false;
}

bool CCommandRobot::SetDefault(const std::string&) {
    std::string text;
    if (!ReadRest(text)) return Result(kText.textTooLong.c_str(), false);
    if (!box_.SetText(3, text)) failedOnDisk_ = true;
    return Done();
}

bool CCommandRobot::Login(const std::string& name, const std::string& password) {
    if (name.empty()) return false;
    const std::string key = Lower(name);
    const std::string who = "mailbox " + ReplaceControlCharacters(name) + " for <" +
                            ReplaceControlCharacters(request_.senderAddress) + ">";
    const auto now = auth::FailureThrottle::Clock::now();
    // Blocked: the password is not even tried (the block's start was logged once).
    if (LoginThrottle().BlockedFor(key, now).count() > 0) return false;
    const bool opened = box_.Open(name);
    const bool factory = opened && IsFactoryPassword(box_.Name(), password);
    if (opened && !factory && box_.CheckPassword(password)) {
        LoginThrottle().Succeed(key);
        return true;
    }
    box_.Close();
    WriteLogLine("The command robot refused access to " + who +
                 (factory ? ": the factory password opens nothing; set a password with postvane-admin"
                          : ": unknown mailbox or wrong password"));
    if (const auto block = LoginThrottle().Fail(key, now); block.count() > 0) {
        WriteLogLine("Commands by mail for mailbox " + ReplaceControlCharacters(name) + " are not carried out for " +
                     std::to_string(block.count()) + " seconds after repeated failed logins");
    }
    return false;
}

Outcome CCommandRobot::Run() {
    if (!request_.Read(copy_)) return FileExists(copy_) ? Outcome::Retry : Outcome::Done;
    if (!MayAnswerAutomatically(request_.senderAddress, copy_, PrimaryDomain())) {
        WriteLogLine("The command robot leaves unanswered a message from <" + ReplaceControlCharacters(request_.senderAddress) +
                     ">: it comes from a robot, a list or a failure report");
        return FinishRun(copy_, nullptr, "command robot");
    }
    if (!WithinReplyQuota("command robot", request_.senderAddress)) return FinishRun(copy_, nullptr, "command robot");
    const Command* command = nullptr;
    for (const auto& c : kCommands) {
        if (request_.command.rfind(c.keyword, 0) == 0) {
            command = &c;
            break;
        }
    }
    // The body starts with an empty line: two empty lines follow the header, as they always did.
    Add("");
    // A new password never goes back in the reply.
    const bool secret = command && command->handler == &CCommandRobot::SetPass;
    const std::string subject = "re:" + (secret ? std::string(kText.hiddenPassword) : request_.command);
    bool helpWanted = true;
    if (request_.subject != kText.helpSubject) {
        const std::string& subject = request_.subjectAsTyped;
        const size_t comma = subject.find(',');
        const std::string name = comma == std::string::npos ? "" : Trim(subject.substr(0, comma));
        const std::string password = comma == std::string::npos ? "" : Trim(subject.substr(comma + 1));
        const uint32_t type = Login(name, password) ? box_.Type() : 0;
        if (type == 0) {
            helpWanted = Result(kText.accessRefused);
        } else if (request_.commandTooLong) {
            helpWanted = Result(kText.lineTooLong.c_str());
        } else if (type != kMailboxUser && type != kMailboxResponder) {
            helpWanted = Result(kText.systemMailbox);
        } else if (!command) {
            helpWanted = Result(kText.unknown);
        } else if (command->target == Target::Responder && type != kMailboxResponder) {
            helpWanted = Result(kText.notResponder);
        } else if (command->target == Target::User && type != kMailboxUser) {
            helpWanted = Result(kText.responderSettings);
        } else {
            const size_t skip = std::string_view(command->keyword).size() + 1;
            argumentAsTyped_ = request_.commandAsTyped.size() > skip ? Trim(request_.commandAsTyped.substr(skip)) : "";
            const std::string argument = request_.command.size() > skip ? Trim(request_.command.substr(skip)) : "";
            helpWanted = (this->*command->handler)(argument);
        }
    }
    // A setting that could not be stored is tried again, rather than reported as done.
    if (failedOnDisk_) {
        WriteLogLine("The command robot could not change the settings of mailbox " + box_.Name() +
                     "; the request waits for a later attempt");
        return Outcome::Retry;
    }
    const Reply reply = ResultReply(robotAddress_, request_.senderAddress,
                                    ReplyHeader(kText.fromName, robotAddress_, request_.sender, subject, copy_), reply_,
                                    helpWanted);
    return FinishRun(copy_, &reply, "command robot");
}

}  // namespace

void ForgetLoginFailures() { LoginThrottle().Clear(); }

Outcome RunCommandRobot(const std::string& copyPath, const std::string&) { return CCommandRobot(copyPath).Run(); }

}  // namespace pv::robots
