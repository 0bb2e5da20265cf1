#include "delivery/AdminRules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "core/ProtocolText.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"

namespace pv {

const std::map<std::string, uint32_t>& MailboxTypeNames() {
    static const std::map<std::string, uint32_t> names = {
        {"user", kMailboxUser},           {"list", kMailboxList},
        {"responder", kMailboxResponder}, {"command", kMailboxCommand},
        {"listserver", kMailboxListServer},
    };
    return names;
}

std::string MailboxTypeName(uint32_t type) {
    for (const auto& [name, value] : MailboxTypeNames()) {
        if (value == type) return name;
    }
    return "unknown (" + std::to_string(type) + ")";
}

std::string NameProblem(const std::string& what, const std::string& name) {
    if (!IsSafeMailboxName(name) || name.find_first_of("@,<>\" \t") != std::string::npos) {
        return "'" + name + "' is not a valid " + what +
               " name: use letters, digits and . - _ without '/', '\\', '..', '@', ',', blanks or control "
               "characters.";
    }
    return "";
}

std::string MailboxPasswordProblem(const std::string& password) {
    if (password.size() > kMaxPasswordLength) {
        return "the password is " + std::to_string(password.size()) + " characters long; at most " +
               std::to_string(kMaxPasswordLength) + " fit. Choose a shorter one.";
    }
    if (password.empty()) return "an empty password is not allowed.";
    return "";
}

std::string DomainNameProblem(const std::string& name) {
    if (name.empty() || name.find_first_of(" \t\\/@,") != std::string::npos || !IsProtocolSafe(name)) {
        return "'" + name + "' is not a valid domain name.";
    }
    return "";
}

std::string ForwardAddressProblem(const std::string& address) {
    if (!IsProtocolSafe(address) || address.find_first_of(" ,<>") != std::string::npos ||
        (address.find('@') == std::string::npos && !IsSafeMailboxName(address))) {
        return "'" + address + "' is not an address.";
    }
    return "";
}

std::string AliasAddressProblem(const std::string& address) {
    if (address.empty() || address.find_first_of(", \t") != std::string::npos || !IsProtocolSafe(address)) {
        return "'" + address + "' is not an address; give the addresses as separate words.";
    }
    return "";
}

std::string ListMemberAddress(const std::string& typed, std::string& address) {
    address = typed;
    std::transform(address.begin(), address.end(), address.begin(), [](unsigned char c) { return std::tolower(c); });
    if (address.empty() || address.size() > kWorkLineLimit || address.find_first_of(" \t\r\n,<>") != std::string::npos ||
        !IsProtocolSafe(address)) {
        return "'" + typed + "' is not an address.";
    }
    return "";
}

std::string ReplyTextProblem(const std::string& typed, std::string& text) {
    text.clear();
    for (size_t i = 0; i < typed.size(); ++i) {
        const auto c = static_cast<unsigned char>(typed[i]);
        if (c == '\r') {
            text.push_back('\n');
            if (i + 1 < typed.size() && typed[i + 1] == '\n') ++i;
        } else if (c == '\n' || c == '\t' || (c >= 0x20 && c != 0x7F)) {
            text.push_back(static_cast<char>(c));
        } else {
            return "the reply text holds a control character; type it again without it.";
        }
    }
    if (text.size() > kMaxReplyText) {
        return "the reply text is " + std::to_string(text.size()) + " characters long; at most " +
               std::to_string(kMaxReplyText) + " are kept.";
    }
    return "";
}

bool ParseOnOff(const std::string& value, bool& ok) {
    ok = true;
    if (value == "on" || value == "1" || value == "yes") return true;
    if (value == "off" || value == "0" || value == "no") return false;
    ok = false;
    return false;
}

std::string SetListOptions(CMailbox& box, const std::vector<std::pair<std::string, std::string>>& options) {
    if (box.Type() != kMailboxList) return "'" + box.Name() + "' is not a list.";
    uint32_t flags = box.GetOption(3);
    std::vector<std::pair<int, std::string>> texts;
    std::vector<std::pair<int, uint32_t>> switches;
    for (const auto& [o, v] : options) {
        bool ok = true;
        const bool on = ParseOnOff(v, ok);
        auto bit = [&](uint32_t b) { flags = on ? (flags | b) : (flags & ~b); };
        if (o == "owner") {
            if (auto problem = NameProblem("owner", v); !problem.empty()) return problem;
            texts.emplace_back(1, v);
            continue;
        }
        if (o == "description") {
            // It goes into the list's replies: a line break would start a header of its own.
            if (!IsProtocolSafe(v)) return "the description must not contain control characters.";
            texts.emplace_back(2, v);
            continue;
        }
        if (!ok) return "expected on or off for " + o + ", got '" + v + "'";
        if (o == "archive") {
            switches.emplace_back(1, on ? 1 : 0);
        } else if (o == "join-by-mail") {
            switches.emplace_back(2, on ? 1 : 0);
        } else if (o == "reply-to") {
            bit(kListReplyTo);
        } else if (o == "hidden") {
            bit(kListHidden);
        } else if (o == "moderated") {
            bit(kListModerated);
        } else if (o == "members-only") {
            bit(kListMembersOnly);
        } else {
            return "unknown list option '" + o + "'";
        }
    }
    // Everything was checked above; only now is anything written.
    bool ok = true;
    for (auto& [n, t] : texts) ok = ok && box.SetText(n, t);
    for (auto& [n, v] : switches) ok = ok && box.SetOption(n, v);
    ok = ok && box.SetOption(3, flags);
    return ok ? "" : "could not write to the configuration store.";
}

std::string DeliverToProblem(const std::string& name) {
    CMailbox box;
    const AddressClass c = box.Classify(name);
    if (c != AddressClass::LocalMailbox && c != AddressClass::Alias) {
        return "'" + name + "' is not a local mailbox or alias; collected mail is delivered here only.";
    }
    return "";
}

bool SmartPopAccountExists(const std::string& account) {
    std::vector<std::string> names;
    CRegistryKey("SmartPop", false).ListSubkeys(names);
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
        return n.size() == account.size() && std::equal(n.begin(), n.end(), account.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    });
}

std::string CreateMailboxWithPassword(const std::string& name, uint32_t type, const std::string& password) {
    if (auto problem = NameProblem("mailbox", name); !problem.empty()) return problem;
    if (auto problem = MailboxPasswordProblem(password); !problem.empty()) return problem;
    if (SpoolRoot().empty()) return "Maildrop is not set: run postvane-wizard first.";
    if (CRegistryKey("mailbox\\" + name, false).IsOpen()) return "the mailbox '" + name + "' exists already.";
    CMailbox box;
    if (!box.Create(name, type) || !box.SetPassword(password)) {
        // Half a mailbox (a key without a password) would take the name's own password.
        CRegistryKey("mailbox", true).DeleteSubkey(name);
        return "could not create the mailbox '" + name + "'; nothing was kept.";
    }
    return "";
}

std::string SetAlias(const std::string& name, const std::vector<std::string>& addresses) {
    if (auto problem = NameProblem("alias", name); !problem.empty()) return problem;
    if (addresses.empty()) return "an alias needs at least one address.";
    // Each address is followed by a comma: the server takes the pieces before commas.
    std::string value;
    for (const auto& a : addresses) {
        if (auto problem = AliasAddressProblem(a); !problem.empty()) return problem;
        value += a + ",";
    }
    if (!CRegistryKey("Alias", true).WriteString(name, value)) return "could not write the alias.";
    return "";
}

}  // namespace pv
