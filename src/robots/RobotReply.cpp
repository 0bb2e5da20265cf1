#include "robots/RobotReply.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

#include "core/GeneratedMail.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/AddressParsing.h"
#include "delivery/RobotCopies.h"

namespace pv::robots {

std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(std::string_view text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(b, e - b + 1));
}

std::string TrimRight(std::string_view text) {
    size_t e = text.find_last_not_of(" \t\r\n\v\f");
    return e == std::string_view::npos ? std::string() : std::string(text.substr(0, e + 1));
}

std::string BareAddress(const std::string& value) {
    std::string address = CleanAddressList(value);
    if (size_t lt = address.find('<'); lt != std::string::npos) {
        size_t gt = address.find('>', lt + 1);
        address = address.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
    }
    return address;
}

bool WriteText(TextFileWriter& out, std::string_view text) {
    size_t start = 0;
    for (size_t nl = text.find('\n'); nl != std::string_view::npos; nl = text.find('\n', start)) {
        if (!out.WriteLine(text.substr(start, nl - start))) return false;
        start = nl + 1;
    }
    return out.WriteLine(text.substr(start));
}

GeneratedHeader ReplyHeader(std::string fromName, std::string fromAddress, std::string to, std::string subject,
                            const std::string& copyPath) {
    GeneratedHeader header;
    header.fromName = std::move(fromName);
    header.fromAddress = std::move(fromAddress);
    header.to = std::move(to);
    header.subject = std::move(subject);
    header.domain = PrimaryDomain();
    header.inReplyTo = MessageIdOf(copyPath);
    header.extra.push_back(kAutoSubmittedHeader);
    return header;
}

bool WriteHeader(TextFileWriter& out, const GeneratedHeader& header) {
    for (const auto& line : GeneratedHeaderLines(header)) out.WriteLine(line);
    return out.WriteLine("");
}

Reply ResultReply(std::string sender, std::string recipient, GeneratedHeader header, std::vector<std::string> lines,
                  bool helpWanted) {
    std::string helpFile;
    if (helpWanted) CRegistryKey("", false).ReadString("HelpFile", helpFile);
    return Reply{std::move(sender), std::move(recipient),
                 [header = std::move(header), lines = std::move(lines), helpWanted, helpFile](TextFileWriter& out) {
                     WriteHeader(out, header);
                     for (const auto& line : lines) {
                         if (!WriteText(out, line)) return false;
                     }
                     if (helpWanted) {
                         out.WriteLine("");
                         out.WriteLine("");
                         if (!helpFile.empty()) CopyLines(helpFile, out);
                     }
                     return !out.Failed();
                 }};
}

bool CopyLines(const std::string& path, TextFileWriter& out, size_t maxBytes) {
    LineReader in;
    if (!in.Open(path)) return false;
    std::string line;
    size_t written = 0;
    while (written < maxBytes && in.ReadLine(line, kTextLineLimit)) {
        written += line.size() + 2;
        if (!out.WriteLine(line)) return false;
    }
    return true;
}

bool Request::Read(const std::string& path) {
    if (!body.Open(path)) return false;
    std::string line;
    bool inHeader = true;
    for (int n = 0; body.ReadLine(line, kReadLineLimit);) {
        std::string typed = TrimRight(line);
        std::string lower = Lower(typed);
        if (!inHeader) {
            if (lower.empty()) continue;
            commandTooLong = typed.size() > kRequestLineLimit;
            command = lower;
            commandAsTyped = typed;
            return true;
        }
        if (lower.empty() || ++n > kMaxHeaderLines) {
            inHeader = false;
        } else if (lower.rfind("subject", 0) == 0) {
            size_t colon = typed.find(':');
            subjectAsTyped = colon == std::string::npos ? std::string() : Trim(typed.substr(colon + 1));
            subject = Lower(subjectAsTyped);
        } else if (lower.rfind("from", 0) == 0) {
            size_t colon = lower.find(':');
            std::string value = colon == std::string::npos ? lower : lower.substr(colon + 1);
            if (size_t lt = value.find('<'); lt != std::string::npos) {
                size_t gt = value.find('>', lt + 1);
                value = value.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
            }
            sender = Trim(value);
            senderAddress = BareAddress(sender);
        }
    }
    return true;
}

namespace {
// Answers per robot and sender in the current hour of each.
struct ReplyCount {
    std::chrono::steady_clock::time_point start;
    int replies = 0;
};
std::mutex g_countsMutex;
std::map<std::string, ReplyCount> g_counts;
}  // namespace

void ForgetRobotCounts() {
    ForgetLoginFailures();
    std::lock_guard lock(g_countsMutex);
    g_counts.clear();
}

bool WithinReplyQuota(const std::string& robot, const std::string& sender) {
    auto& counts = g_counts;
    const auto now = std::chrono::steady_clock::now();
    const std::string address = Lower(sender);
    const size_t at = address.find('@');
    bool local = at == std::string::npos;
    for (const auto& domain : LocalDomains()) local = local || Lower(domain) == address.substr(at + 1);
    const int bound = local ? kMaxRepliesPerLocalSenderPerHour : kMaxRepliesPerSenderPerHour;
    std::lock_guard lock(g_countsMutex);
    const std::string key = robot + " " + address;
    auto it = counts.find(key);
    if (it != counts.end() && now - it->second.start >= std::chrono::hours(1)) {
        counts.erase(it);
        it = counts.end();
    }
    if (it == counts.end()) {
        if (counts.size() >= kMaxCountedSenders) {
            auto oldest = counts.begin();
            for (auto c = counts.begin(); c != counts.end(); ++c) {
                if (c->second.start < oldest->second.start) oldest = c;
            }
            counts.erase(oldest);
        }
        it = counts.emplace(key, ReplyCount{now, 0}).first;
    }
    if (++it->second.replies <= bound) return true;
    if (it->second.replies == bound + 1) {
        WriteLogLine("The " + robot + " has answered <" + ReplaceControlCharacters(sender) + "> " +
                     std::to_string(bound) + " times this hour; its further requests are neither carried out nor "
                     "answered until the hour is over");
    }
    return false;
}

namespace {
constexpr const char* kNoteSuffix = ".did";
std::string NotePath(const std::string& copyPath) {
    const size_t dot = copyPath.find_last_of('.');
    return (dot == std::string::npos ? copyPath : copyPath.substr(0, dot)) + kNoteSuffix;
}
}  // namespace

bool NoteDone(const std::string& copyPath, const std::string& what) {
    // Flushed with its folder before the change it announces is made.
    return WriteTextFile(NotePath(copyPath), {what}, true) && SyncDirectoryOf(copyPath);
}

bool NotedDone(const std::string& copyPath, const std::string& what) {
    std::vector<std::string> lines;
    return FileExists(NotePath(copyPath)) && ReadTextFile(NotePath(copyPath), lines) && lines.size() == 1 &&
           lines[0] == what;
}

bool ReplyCommitted(const std::string& copyPath) {
    const std::string base = RobotReplyBase(copyPath);
    return !base.empty() && FileExists(base + ".wrk");
}

Outcome FinishRun(const std::string& copyPath, const Reply* reply, const std::string& robot) {
    const std::string base = RobotReplyBase(copyPath);
    if (reply && reply->fill && !base.empty() && !FileExists(base + ".wrk")) {
        // Leftovers of an attempt that failed half way are replaced.
        std::remove((base + ".tmp").c_str());
        std::remove((base + ".txt").c_str());
        TextFileWriter out;
        bool ok = out.Open(base + ".txt", true) && reply->fill(out) && out.StartWriteback() && out.Close();
        if (!ok) {
            WriteLogLine("The " + robot + " could not write its reply " + base +
                         ".txt; the request waits for a later attempt. Check the spool's free space.");
            out.Discard();
            return Outcome::Retry;
        }
        // Flushed and renamed into view: the reply is durable before the request goes.
        if (!WriteEnvelopeAndCommit(base, reply->sender, {reply->recipient})) {
            WriteLogLine("The " + robot + " could not commit its reply " + base +
                         "; the request waits for a later attempt. Check the spool's free space.");
            std::remove((base + ".txt").c_str());
            return Outcome::Retry;
        }
        WriteLogLine("The " + robot + " answered <" + reply->recipient + ">");
    }
    // The note goes before the copy: without the copy nobody needs it, and a kill in between
    // leaves a copy whose reply is committed, which is only removed.
    std::remove(NotePath(copyPath).c_str());
    if (std::remove(copyPath.c_str()) != 0 && errno != ENOENT) {
        // The reply is committed under the copy's name: the next attempt only removes the copy.
        WriteLogLine("The " + robot + " could not remove the request " + copyPath);
        return Outcome::Retry;
    }
    return Outcome::Done;
}

}  // namespace pv::robots
