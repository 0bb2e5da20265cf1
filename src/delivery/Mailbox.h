// CMailbox: the mailbox and alias directory. Mailboxes live in the hive below `mailbox`, each
// with a numbered folder below <Maildrop>/mailbox that holds its messages as .txt files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/RegistryKey.h"

namespace pv {

enum class AddressClass : int { UnknownLocal = 0, LocalMailbox = 1, Remote = 2, Alias = 3 };

enum MailboxType : uint32_t {
    kMailboxUser = 1,
    kMailboxList = 2,
    kMailboxResponder = 3,
    kMailboxCommand = 5,
    kMailboxListServer = 6,
};

// `Option3` bits of a List mailbox.
enum ListFlags : uint32_t {
    kListReplyTo = 1,
    kListHidden = 2,
    kListModerated = 4,
    kListMembersOnly = 8,
};

inline constexpr size_t kPasswordField = 20;  // the `OPS` value
inline constexpr size_t kMaxPasswordLength = kPasswordField - 1;
inline constexpr const char* kMembersFile = "rcpt.pvg";

// A name that comes from mail or the network must never leave its folder or reach into
// another key: no "/", "\", "..", control characters, and not empty.
bool IsSafeMailboxName(const std::string& name);

// The longest address taken from mail or an administrator (RFC 5321's limit for a path).
inline constexpr size_t kMaxAddressLength = 254;

// An address that may be stored (a list member, a forward) and written to an envelope: not
// empty, at most kMaxAddressLength bytes, no byte below 0x21 or DEL (no blank, no NUL, no
// escape sequence), none of , < > " (they would split or end an envelope line), and not
// beginning or ending with "@". An address without "@" is a local name and is taken.
bool IsStorableAddress(const std::string& address);

// Whether the address names the mailbox `name` (any case; without a domain or at any local
// domain): a mailbox forwarding to it, or a list having it as a member, talks to itself.
bool AddressNamesMailbox(const std::string& address, const std::string& name);

// Whether the address is one of this system's own automatic mailboxes: a list, an
// auto-responder, the command robot or the list server, in any local spelling. Mail to them is
// answered or distributed automatically, so they never become list members.
bool IsAutomaticAddress(const std::string& address);

// The factory password: the one every mailbox is created with, equal to its name (compared
// without regard to case). It opens nothing: not the command robot, not POP3.
bool IsFactoryPassword(const std::string& mailboxName, const std::string& password);

class CMailbox {
public:
    // Opens mailbox\<name> ("postmaster" resolves through the alias `postmaster`). Makes sure
    // the mailbox folder exists. False for an unknown, unsafe or numberless mailbox.
    bool Open(const std::string& name, bool create = false);
    // A new mailbox with the next number, a random password nobody has been told (the caller
    // sets one it can hand on) and the options cleared.
    bool Create(const std::string& name, uint32_t type);
    AddressClass Classify(const std::string& address);
    void Close();

    bool IsOpen() const { return key_.IsOpen(); }
    const std::string& Name() const { return name_; }
    uint32_t Type() const;
    uint32_t Number() const;
    std::string Directory() const;
    // <folder>/<new queue file name>.txt
    std::string NewMessagePath() const;

    uint32_t GetOption(int n) const;
    bool SetOption(int n, uint32_t value);
    std::string GetText(int n) const;
    bool SetText(int n, const std::string& text);

    bool CheckPassword(const std::string& typed) const;
    // The password is still the mailbox's own name (letter case aside): what stores written by
    // earlier versions, or imported from a .reg file, hold until someone sets a real one.
    bool PasswordIsName() const;
    // The command robot's and the list server's mailboxes: the robots' input.
    bool IsRobot() const;
    // False (nothing written) when the text does not fit the 20-byte field.
    bool SetPassword(const std::string& text);

    static std::vector<std::string> ListMailboxes();
    // The name the postmaster's mail goes to: the first name of the alias `postmaster`
    // ("postmaster" itself when that alias is missing or empty).
    static std::string PostmasterName();
    // <Maildrop>/mailbox/M%07X
    static std::string DirectoryFor(uint32_t number);

private:
    CRegistryKey key_;
    std::string name_;
};

}  // namespace pv
