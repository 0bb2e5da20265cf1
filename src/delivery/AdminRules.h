// AdminRules: the checks and store steps every administration surface shares (postvane-admin,
// the web console), so that a rule lives in one place. Each check returns "" when the value is
// acceptable, else a sentence a person can act on.
#pragma once

#include <cstdint>
#include <map>
#include <vector>
#include <string>

namespace pv {

class CMailbox;

// "user", "list", "responder", "command", "listserver" and their MailboxType values.
const std::map<std::string, uint32_t>& MailboxTypeNames();
std::string MailboxTypeName(uint32_t type);

// Names typed by an administrator become mail addresses: besides the folder rules they may hold
// no address punctuation or blanks. `what` names the thing ("mailbox", "alias", "owner").
std::string NameProblem(const std::string& what, const std::string& name);
// A mailbox password: not empty, and it fits the OPS field.
std::string MailboxPasswordProblem(const std::string& password);
// A local or provider domain name.
std::string DomainNameProblem(const std::string& name);
// A forwarding address: an address with "@", or a local name.
std::string ForwardAddressProblem(const std::string& address);
// One address of an alias (the store keeps them comma-separated).
std::string AliasAddressProblem(const std::string& address);
// A list member's address as the list server keeps it (lower case: addresses joined by mail are
// kept so, and comparisons are exact, so a later "leave" by mail finds them); "" or why not.
std::string ListMemberAddress(const std::string& typed, std::string& address);
// An auto-responder's reply text as typed in a box: its line ends (CR LF, CR or LF) become the
// "\n" the responder splits lines at, and other control characters but tabs are refused, since
// they would reach a message as they are.
inline constexpr size_t kMaxReplyText = 16 * 1024;
std::string ReplyTextProblem(const std::string& typed, std::string& text);
// "on"/"1"/"yes" or "off"/"0"/"no"; false with `ok` false for anything else.
bool ParseOnOff(const std::string& value, bool& ok);
// A list's options by name ("owner", "description", "archive", "join-by-mail", "reply-to",
// "hidden", "moderated", "members-only"; the switches take on/off). Every option is checked
// before any is written; "" or why not.
std::string SetListOptions(CMailbox& box, const std::vector<std::pair<std::string, std::string>>& options);

// A SmartPop "deliver to" name: a local mailbox or alias (collected mail is never relayed on).
std::string DeliverToProblem(const std::string& name);
// Whether `SmartPop\<account>` exists, comparing without regard to case as the store does.
bool SmartPopAccountExists(const std::string& account);
// Said of an account name pop3's IsValidSmartPopAccount refuses.
inline constexpr const char* kSmartPopAccountText =
    "'%s' is not an account: write USER@HOST (the POP3 user name, \"@\", the provider's POP3 server), "
    "without \"/\", \"\\\", \"..\" or control characters.";

// Creates the mailbox with its first password, or nothing at all: "" or why not.
std::string CreateMailboxWithPassword(const std::string& name, uint32_t type, const std::string& password);
// Writes an alias: the addresses, each checked, in the store's form ("a,b,").
std::string SetAlias(const std::string& name, const std::vector<std::string>& addresses);

}  // namespace pv
