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
