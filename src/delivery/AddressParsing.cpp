#include "delivery/AddressParsing.h"

#include <algorithm>
#include <cstdio>

#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"

namespace pv {

namespace {

// Removes each open...close pair, leftmost first; an opener without its closer ends the step.
std::string RemovePairs(std::string text, char open, char close) {
    for (;;) {
        size_t a = text.find(open);
        if (a == std::string::npos) return text;
        size_t b = text.find(close, a + 1);
        if (b == std::string::npos) return text;
        text.erase(a, b - a + 1);
    }
}

std::string RemoveSpaces(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

constexpr const char* kHeaders[] = {
    "from:",     "received:",  "to:",         "cc:",           "resent-to:",
    "resent-cc:", "bcc:",      "resent-bcc:", "x-listmember:", "x-recipient:",
};

void AddRecipientList(std::string value, std::vector<std::string>& recipients) {
    value = CleanAddressList(value + ",");
    size_t start = 0;
    for (size_t comma = value.find(','); comma != std::string::npos; comma = value.find(',', start)) {
        std::string address = NormaliseAddress(value.substr(start, comma - start));
        start = comma + 1;
        // Two commas in a row give nothing worth delivering to.
        if (address.empty()) continue;
        if (std::find(recipients.begin(), recipients.end(), address) == recipients.end()) {
            recipients.push_back(address);
        }
    }
}

}  // namespace

std::string CleanAddressList(std::string text) {
    text = RemovePairs(std::move(text), '"', '"');
    text = RemovePairs(std::move(text), '(', ')');
    return RemoveSpaces(std::move(text));
}

std::string NormaliseAddress(std::string text) {
    text = Trim(text);
    if (size_t lt = text.find('<'); lt != std::string::npos) {
        std::string rest = text.substr(lt + 1);
        size_t gt = rest.find('>');
        text = gt == std::string::npos ? "" : rest.substr(0, gt);
    }
    // Only a "(" followed later by its ")" is a comment; anything else is left alone, so the
    // loop always ends.
    for (;;) {
        size_t a = text.find('(');
        if (a == std::string::npos) break;
        size_t b = text.find(')', a + 1);
        if (b == std::string::npos) break;
        text.erase(a, b - a + 1);
    }
    return RemoveSpaces(std::move(text));
}

bool ReadCollectedHeaders(const std::string& path, CollectedEnvelope& envelope) {
    LineReader in;
    if (!in.Open(path)) return false;
    std::vector<std::string> headers;
    std::string line;
    while (in.ReadLine(line, kWorkLineLimit)) {
        size_t end = line.find_last_not_of(" \t\r\n\v\f");
        line.erase(end == std::string::npos ? 0 : end + 1);
        if (line.empty()) break;
        if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {
            headers.back() += line;
        } else {
            headers.push_back(line);
        }
    }
    in.Close();

    for (const auto& header : headers) {
        std::string lower = Lower(header);
        int index = -1;
        for (int i = 0; i < static_cast<int>(std::size(kHeaders)); ++i) {
            if (lower.rfind(kHeaders[i], 0) == 0) {
                index = i;
                break;
            }
        }
        if (index < 0) continue;
        std::string value = lower.substr(std::char_traits<char>::length(kHeaders[index]));
        if (index == 0) {
            size_t lt = value.find('<');
            size_t gt = lt == std::string::npos ? std::string::npos : value.find('>', lt + 1);
            // Without angle brackets the value itself is the address ("From: bob@example.test").
            envelope.sender = lt != std::string::npos && gt != std::string::npos
                                  ? value.substr(lt + 1, gt - lt - 1)
                                  : NormaliseAddress(CleanAddressList(value));
        } else if (index == 1) {
            size_t f = value.find("for ");
            if (f == std::string::npos) continue;
            std::string target = value.substr(f + 4);
            target.erase(0, target.find_first_not_of(" \t"));
            target = target.substr(0, target.find(' '));
            if (size_t lt = target.find('<'); lt != std::string::npos) target = target.substr(lt + 1);
            if (size_t gt = target.find('>'); gt != std::string::npos) target = target.substr(0, gt);
            if (target.find('@') != std::string::npos) AddRecipientList(target, envelope.recipients);
        } else {
            AddRecipientList(value, envelope.recipients);
        }
    }
    return true;
}

bool MayAnswerAutomatically(const std::string& sender, const std::string& messagePath,
                            const std::string& primaryDomain) {
    const std::string who = Lower(sender);
    // An address with control characters or blanks would carry them into an envelope.
    if (who.empty() || who == "postvane" || !IsStorableAddress(who)) return false;
    for (const char* robot : {"postvane", "pvlist"}) {
        if (who == robot || who == std::string(robot) + "@" + Lower(primaryDomain)) return false;
    }
    if (who.substr(0, who.find('@')) == "mailer-daemon") return false;  // anyone's bounce robot
    LineReader in;
    if (!in.Open(messagePath)) return true;
    std::string line;
    while (in.ReadLine(line, kWorkLineLimit) && !line.empty()) {
        std::string header = Lower(line);
        auto value = [&](size_t nameLength) {
            std::string v = header.substr(nameLength);
            size_t b = v.find_first_not_of(" \t");
            size_t e = v.find_last_not_of(" \t\r");
            return b == std::string::npos ? std::string() : v.substr(b, e - b + 1);
        };
        if (header.rfind("auto-submitted:", 0) == 0 && value(15) != "no") return false;
        if (header.rfind("precedence:", 0) == 0) {
            std::string v = value(11);
            if (v == "bulk" || v == "junk" || v == "list") return false;
        }
    }
    return true;
}

bool ConvertCollectedMessage(const std::string& popPath) {
    size_t dot = popPath.find_last_of('.');
    std::string base = dot == std::string::npos ? popPath : popPath.substr(0, dot);
    if (FileExists(base + ".wrk")) {
        // Converted already; only the removal of the collected file was cut short.
        std::remove(popPath.c_str());
        return true;
    }
    CollectedEnvelope envelope;
    if (!ReadCollectedHeaders(popPath, envelope)) return false;

    std::vector<std::string> lines;
    CMailbox box;
    CRegistryKey providerDomains("SmartPop_Domains", false);
    for (const auto& r : envelope.recipients) {
        AddressClass c = box.Classify(r);
        if (c == AddressClass::LocalMailbox || c == AddressClass::Alias) {
            lines.push_back(r);
        } else if (size_t at = r.find('@');
                   at != std::string::npos && providerDomains.ReadBinary(r.substr(at + 1), nullptr, 0)) {
            // A provider domain's name is ours only when a mailbox or an alias has it; any
            // other name would leave as a bare name that no relay can deliver.
            std::string local = r.substr(0, at);
            AddressClass lc = box.Classify(local);
            if (lc == AddressClass::LocalMailbox || lc == AddressClass::Alias) {
                lines.push_back(local);
            } else {
                WriteLogLine("Collected mail for the unknown user " + r + " goes to the postmaster");
                lines.push_back("postmaster");
            }
        }
    }
    if (lines.empty()) lines.push_back("postmaster");

    TextFileWriter tmp;
    if (!tmp.Open(base + ".tmp")) {
        WriteLogLine("Cannot create " + base + ".tmp for a collected message; it stays for the next sweep");
        return false;
    }
    tmp.WriteLine(envelope.sender);
    for (const auto& l : lines) tmp.WriteLine(l);
    if (!tmp.Sync() || !tmp.Close()) {
        tmp.Discard();
        WriteLogLine("Cannot write " + base + ".tmp for a collected message; it stays for the next sweep");
        return false;
    }
    // The collected file keeps its name until the pair is committed: a kill in between leaves
    // it for the next conversion, never a pair that start-up would take for an unfinished one.
    std::remove((base + ".txt").c_str());
    const bool linked = LinkFile(popPath, base + ".txt");
    // Without links (another kind of file system) the file is renamed, as it was always done.
    if (!linked && std::rename(popPath.c_str(), (base + ".txt").c_str()) != 0) {
        std::remove((base + ".tmp").c_str());
        return false;
    }
    if (!CommitPair(base) && !FileExists(base + ".wrk")) {
        if (linked) {
            std::remove((base + ".txt").c_str());
        } else {
            std::rename((base + ".txt").c_str(), popPath.c_str());
        }
        std::remove((base + ".tmp").c_str());
        return false;
    }
    if (linked) std::remove(popPath.c_str());
    return true;
}

}  // namespace pv
