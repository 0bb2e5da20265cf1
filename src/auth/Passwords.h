// Passwords: the rules every login surface (POP3 now, later IMAP and the web console) applies
// to a mailbox's password, and the random passwords new mailboxes get instead of a factory one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pv::auth {

// A first password nobody can guess from the mailbox list: this many characters from an
// alphabet without look-alikes (no 0/O, 1/l/I), about 70 bits, drawn from the kernel's
// cryptographic random source. It fits the 19 characters the `OPS` field holds.
inline constexpr size_t kRandomPasswordLength = 12;
std::string RandomPassword();

// Why a login to a mailbox is refused whatever password is typed.
enum class LoginBar {
    None,
    // The command robot's and the list server's mailboxes hold the robots' input: nobody is to
    // collect it, so they take no logins at all.
    RobotMailbox,
    // The password is still the mailbox's own name (a store written by an earlier version or
    // imported): anyone who knows an address could type it, so it counts only from the office's
    // own networks (AdvCon\RelayNets) until a real one is set.
    NameAsPassword,
};
// robotMailbox: the mailbox is the command robot's or the list server's.
LoginBar LoginBarFor(bool robotMailbox, bool passwordIsName, bool fromRelayNets);

}  // namespace pv::auth
