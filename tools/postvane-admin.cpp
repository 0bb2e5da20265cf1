// postvane-admin: mailboxes, aliases, domains, list members and SmartPop accounts from the
// shell, written in exactly the layout the server reads.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <thread>
#include <unistd.h>

#include "core/GeneratedMail.h"
#include "ToolCommon.h"
#include "auth/AdminPassword.h"
#include "auth/Passwords.h"
#include "core/Folders.h"
#include "core/Format.h"
#include "core/ProtocolText.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/AdminRules.h"
#include "delivery/Mailbox.h"
#include "imap/ImapStore.h"
#include "robots/MembersFile.h"
#include "platform/Hive.h"
#include "core/SettingChecks.h"
#include "core/Fingerprint.h"
#include "auth/Http.h"
#include "auth/OAuth2.h"
#include "net/LoopbackRedirect.h"
#include "pop3/SmartPop.h"
#include "smtp/RelayLogin.h"
#include "net/Address.h"
#include "net/RelayNets.h"
#include "web/WebConsole.h"

namespace {

using Args = std::vector<std::string>;

struct Failure {
    std::string message;
    int code = 1;
};

[[noreturn]] void Fail(const std::string& message, int code = 1) { throw Failure{message, code}; }

void Usage(std::ostream& out) {
    out << "usage: postvane-admin [--hive PATH] COMMAND ...\n"
           "  domain list | add NAME [--primary] | remove NAME | primary NAME\n"
           "  mailbox list\n"
           "  mailbox add NAME [--type user|list|responder|command|listserver] [--password TEXT]\n"
           "                                      (without --password: a random one, printed once)\n"
           "  mailbox show NAME | remove NAME\n"
           "  mailbox password NAME TEXT          (at most 19 characters; '-' reads it from standard input)\n"
           "  mailbox forward NAME ADDRESS|--off  forwarding on to ADDRESS, or off\n"
           "  mailbox forward-only NAME on|off    with forwarding on: keep no local copy\n"
           "  mailbox fullname NAME TEXT\n"
           "  mailbox list-options NAME [--owner NAME] [--description TEXT] [--archive on|off]\n"
           "                       [--reply-to on|off] [--hidden on|off] [--moderated on|off]\n"
           "                       [--members-only on|off] [--join-by-mail on|off]\n"
           "  alias list | set NAME ADDRESS... | remove NAME\n"
           "  members show LIST | add LIST ADDRESS | remove LIST ADDRESS\n"
           "  smartpop list\n"
           "  smartpop add USER@HOST [--password TEXT] [--deliver-to NAME] [--port N]\n"
           "  smartpop remove USER@HOST\n"
           "  smartpop password USER@HOST TEXT    ('-' reads it from standard input)\n"
           "  smartpop deliver-to USER@HOST NAME|--off\n"
           "                                      every message to the local NAME, or (--off) to the\n"
           "                                      recipients its headers name\n"
           "  smartpop port USER@HOST N\n"
           "  smartpop security USER@HOST none|stls|tls\n"
           "                                      tls: TLS from the first byte (port 995 unless set)\n"
           "  smartpop fingerprint USER@HOST HEX|--off\n"
           "                                      accept the provider's certificate by its SHA-256\n"
           "  smartpop enable | disable          collect at every online session and on poll requests\n"
           "  smartpop domains list | add NAME | remove NAME\n"
           "                                      provider domains whose addresses are local users\n"
           "  relay show\n"
           "  relay gateway HOST                  the provider's relay: a name, an address, [IPv6 address]\n"
           "  relay security none|starttls|tls    starttls: port 587, tls: port 465 unless set\n"
           "  relay user NAME|--off               log in to the relay (AUTH PLAIN or LOGIN)\n"
           "  relay password TEXT                 ('-' reads it from standard input)\n"
           "  relay fingerprint HEX|--off         accept the relay's certificate by its SHA-256\n"
           "  relay port N|--off                  --off: the usual port for the security\n"
           "  network show\n"
           "  network listen ADDRESS...|--all     listen on these addresses of either family only\n"
           "                                      (AdvCon\\BindAddress), e.g. 192.168.1.5 fd00::5\n"
           "  network relaynets NET...|--default  who may relay (AdvCon\\RelayNets), e.g. 192.168.1.0/24\n"
           "                                      fd00:1:2:3::/64; --default: loopback and private ranges\n"
           "OAuth2 sign-in instead of a password (Microsoft 365, Google; see docs/oauth2.md):\n"
           "  smartpop oauth setup USER@HOST --provider microsoft|google|custom --client-id ID\n"
           "        [--client-secret TEXT|-] [--tenant T] [--scope S] [--user ADDRESS]\n"
           "        [--auth-url U] [--device-url U] [--token-url U] [--mechanism auto|xoauth2|oauthbearer]\n"
           "  smartpop oauth login USER@HOST [--device | --browser [--redirect-port N]]\n"
           "  smartpop oauth status USER@HOST | off USER@HOST      off: back to the password\n"
           "  relay oauth setup --provider ... (as above; --user sets RelayUser)\n"
           "  relay oauth login [--device | --browser [--redirect-port N]]\n"
           "  relay oauth status | off\n"
           "  web show\n"
           "  web port N|--off                    the web console's HTTPS port (at the next start)\n"
           "  web password TEXT                   the console administrator's password, at least 10\n"
           "                                      characters ('-' reads it from standard input)\n";
}

const std::map<std::string, uint32_t>& TypeNames() { return pv::MailboxTypeNames(); }
std::string TypeName(uint32_t type) { return pv::MailboxTypeName(type); }

// Every check is the shared one (delivery/AdminRules.h); a refusal is a usage error here.
void Check(const std::string& problem) {
    if (!problem.empty()) Fail(problem, 2);
}

void CheckName(const std::string& what, const std::string& name) { Check(pv::NameProblem(what, name)); }

bool OnOff(const std::string& value) {
    bool ok = false;
    const bool on = pv::ParseOnOff(value, ok);
    if (!ok) Fail("expected on or off, got '" + value + "'", 2);
    return on;
}

pv::CMailbox OpenMailbox(const std::string& name) {
    CheckName("mailbox", name);
    pv::CMailbox box;
    if (!box.Open(name)) Fail("there is no mailbox '" + name + "' (see: postvane-admin mailbox list).");
    return box;
}

void Need(const Args& a, size_t count) {
    if (a.size() < count) Fail("missing arguments; see postvane-admin --help", 2);
}

size_t CountMessages(const std::string& dir) { return pv::ListFolderNames(dir, ".txt").size(); }

void RequireSpool() {
    if (pv::SpoolRoot().empty()) Fail("Maildrop is not set: run postvane-wizard first.");
}

// ---- domains -------------------------------------------------------------------------------

int Domain(const Args& a) {
    Need(a, 1);
    pv::CRegistryKey key("Domain", true);
    if (!key.IsOpen()) Fail(pv::platform::Hive::LastOpenError());
    std::string primary = pv::PrimaryDomain();
    if (a[0] == "list") {
        for (const auto& d : pv::LocalDomains()) std::cout << d << (d == primary ? "  (primary)" : "") << "\n";
        return 0;
    }
    Need(a, 2);
    const std::string& name = a[1];
    Check(pv::DomainNameProblem(name));
    uint32_t flag = 0;
    bool exists = key.ReadBinary(name, nullptr, 0);
    if (a[0] == "add") {
        bool makePrimary = a.size() > 2 && a[2] == "--primary";
        if (exists && !makePrimary) Fail("the domain '" + name + "' is already listed.");
        if (makePrimary || primary.empty()) {
            for (const auto& d : pv::LocalDomains()) key.WriteInt(d, 0);
        }
        if (!key.WriteInt(name, makePrimary || primary.empty() ? 1 : 0)) Fail("could not write the domain.");
        return 0;
    }
    if (!exists) Fail("the domain '" + name + "' is not listed (see: postvane-admin domain list).");
    if (a[0] == "remove") {
        key.ReadIntOrZero(name, flag);
        if (!key.DeleteValue(name)) Fail("could not remove the domain.");
        if (flag) std::cerr << "Note: " << name << " was the primary domain; now " << pv::PrimaryDomain() << ".\n";
        return 0;
    }
    if (a[0] == "primary") {
        for (const auto& d : pv::LocalDomains()) key.WriteInt(d, d == name ? 1 : 0);
        return 0;
    }
    Fail("unknown domain command '" + a[0] + "'", 2);
}

// ---- mailboxes -----------------------------------------------------------------------------

int MailboxShow(const std::string& name) {
    pv::CMailbox box = OpenMailbox(name);
    uint32_t type = box.Type();
    std::cout << "Name:      " << box.Name() << "\n"
              << "Type:      " << TypeName(type) << "\n"
              << "Number:    " << box.Number() << "\n"
              << "Folder:    " << box.Directory() << "\n"
              << "Messages:  " << CountMessages(box.Directory()) << "\n";
    unsigned char ops[pv::kPasswordField];
    bool changed = pv::CRegistryKey("mailbox\\" + box.Name(), false).ReadBinary("OPS", ops, sizeof ops);
    std::cout << "Password:  "
              << (box.PasswordIsName() ? "its own name (refused from outside AdvCon\\RelayNets; set one)"
                                       : changed ? "set" : "initial")
              << "\n";
    if (type == pv::kMailboxUser) {
        std::cout << "Full name: " << box.GetText(2) << "\n"
                  << "Forward:   " << (box.GetOption(1) ? box.GetText(1) : std::string("off"))
                  << (box.GetOption(1) && box.GetOption(2) ? " (no local copy)" : "") << "\n";
        // The folders an IMAP client sees; INBOX is the mailbox folder itself.
        const pv::imap::CImapAccount account(box.Directory());
        const std::vector<std::string> folders = account.List();
        if (!pv::FileExists(pv::JoinPath(box.Directory(), pv::imap::kImapDir))) {
            std::cout << "IMAP:      no folders yet (made at the first IMAP login)\n";
        } else {
            std::cout << "IMAP folders:\n";
            for (const auto& name : folders) {
                std::cout << "  " << name << ": " << CountMessages(account.FolderDir(name)) << " messages\n";
            }
        }
    } else if (type == pv::kMailboxList) {
        uint32_t flags = box.GetOption(3);
        std::cout << "Owner:     " << box.GetText(1) << "\n"
                  << "About:     " << box.GetText(2) << "\n"
                  << "Archive:   " << (box.GetOption(1) ? "on" : "off") << "\n"
                  << "Join by mail: " << (box.GetOption(2) == 1 ? "on" : "off") << "\n"
                  << "Reply-to:  " << (flags & pv::kListReplyTo ? "on" : "off") << "\n"
                  << "Hidden:    " << (flags & pv::kListHidden ? "on" : "off") << "\n"
                  << "Moderated: " << (flags & pv::kListModerated ? "on" : "off") << "\n"
                  << "Members only: " << (flags & pv::kListMembersOnly ? "on" : "off") << "\n";
    }
    return 0;
}

std::string ReadPassword(const std::string& given) {
    if (given != "-") return given;
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void CheckPassword(const std::string& password) { Check(pv::MailboxPasswordProblem(password)); }

int Mailbox(const Args& a) {
    Need(a, 1);
    if (a[0] == "list") {
        for (const auto& name : pv::CMailbox::ListMailboxes()) {
            pv::CMailbox box;
            if (box.Open(name)) std::cout << name << "\t" << TypeName(box.Type()) << "\n";
        }
        return 0;
    }
    Need(a, 2);
    const std::string& name = a[1];
    if (a[0] == "show") return MailboxShow(name);
    if (a[0] == "add") {
        CheckName("mailbox", name);
        RequireSpool();
        uint32_t type = pv::kMailboxUser;
        std::string password;
        for (size_t i = 2; i < a.size(); ++i) {
            if (a[i] == "--type" && i + 1 < a.size()) {
                auto it = TypeNames().find(a[++i]);
                if (it == TypeNames().end()) Fail("unknown mailbox type '" + a[i] + "'", 2);
                type = it->second;
            } else if (a[i] == "--password" && i + 1 < a.size()) {
                password = ReadPassword(a[++i]);
                CheckPassword(password);
            } else {
                Fail("unknown option '" + a[i] + "'", 2);
            }
        }
        // Without --password the mailbox gets a random one rather than its own name, which
        // anyone who knows the address could type.
        const bool chosen = !password.empty();
        if (!chosen) password = pv::auth::RandomPassword();
        if (auto problem = pv::CreateMailboxWithPassword(name, type, password); !problem.empty()) Fail(problem);
        pv::CMailbox box;
        box.Open(name);
        std::cout << "Mailbox " << name << " (" << TypeName(type) << ") created in " << box.Directory() << "\n";
        if (!chosen) {
            std::cout << "Password: " << password << "\n"
                      << "(shown only now; set another with: postvane-admin mailbox password " << name << " -)\n";
        }
        return 0;
    }
    pv::CMailbox box = OpenMailbox(name);
    if (a[0] == "remove") {
        std::string dir = box.Directory();
        size_t messages = CountMessages(dir);
        box.Close();
        pv::CRegistryKey parent("mailbox", true);
        if (!parent.DeleteSubkey(name)) {
            Fail("could not remove the mailbox '" + name + "' (a key below it? see postvane-reg query mailbox\\" +
                 name + " /s).");
        }
        std::cout << "Mailbox " << name << " removed. Its folder " << dir << " (" << messages
                  << " messages) was kept; delete it by hand when the mail is no longer needed.\n";
        return 0;
    }
    Need(a, 3);
    bool ok = false;
    if (a[0] == "password") {
        std::string password = ReadPassword(a[2]);
        CheckPassword(password);
        ok = box.SetPassword(password);
    } else if (a[0] == "forward") {
        if (a[2] == "--off") {
            ok = box.SetOption(1, 0);
        } else {
            Check(pv::ForwardAddressProblem(a[2]));
            if (pv::AddressNamesMailbox(a[2], box.Name())) {
                Fail("'" + a[2] + "' is this mailbox itself; a forward to it would go round in a loop.", 2);
            }
            ok = box.SetText(1, a[2]) && box.SetOption(1, 1);
        }
    } else if (a[0] == "forward-only") {
        ok = box.SetOption(2, OnOff(a[2]) ? 1 : 0);
    } else if (a[0] == "fullname") {
        ok = box.SetText(2, a[2]);
    } else if (a[0] == "list-options") {
        std::vector<std::pair<std::string, std::string>> options;
        for (size_t i = 2; i < a.size(); i += 2) {
            if (i + 1 >= a.size()) Fail("option '" + a[i] + "' needs a value", 2);
            if (a[i].rfind("--", 0) != 0) Fail("unknown list option '" + a[i] + "'", 2);
            options.emplace_back(a[i].substr(2), a[i + 1]);
        }
        const std::string problem = pv::SetListOptions(box, options);
        if (!problem.empty()) Fail(problem, problem.rfind("could not", 0) == 0 ? 1 : 2);
        ok = true;
    } else {
        Fail("unknown mailbox command '" + a[0] + "'", 2);
    }
    if (!ok) Fail("could not write to the configuration store.");
    return 0;
}

// ---- aliases -------------------------------------------------------------------------------

int Alias(const Args& a) {
    Need(a, 1);
    pv::CRegistryKey key("Alias", true);
    if (!key.IsOpen()) Fail(pv::platform::Hive::LastOpenError());
    if (a[0] == "list") {
        std::vector<std::string> names;
        key.ListValueNames(names);
        for (const auto& n : names) {
            std::string value;
            key.ReadString(n, value);
            std::cout << n << "\t" << value << "\n";
        }
        return 0;
    }
    Need(a, 2);
    const std::string& name = a[1];
    CheckName("alias", name);
    if (a[0] == "set") {
        Need(a, 3);
        const std::string problem = pv::SetAlias(name, Args(a.begin() + 2, a.end()));
        if (!problem.empty()) Fail(problem, problem.find("could not") == 0 ? 1 : 2);
        return 0;
    }
    if (a[0] == "remove") {
        if (!key.DeleteValue(name)) Fail("there is no alias '" + name + "'.");
        return 0;
    }
    Fail("unknown alias command '" + a[0] + "'", 2);
}

// ---- list members --------------------------------------------------------------------------

int Members(const Args& a) {
    Need(a, 2);
    pv::CMailbox box = OpenMailbox(a[1]);
    if (box.Type() != pv::kMailboxList) Fail("'" + a[1] + "' is not a list.", 2);
    std::string file = pv::JoinPath(box.Directory(), pv::kMembersFile);
    std::vector<std::string> members;
    pv::ReadWorkFile(file, members);  // a missing file means no members
    if (a[0] == "show") {
        for (const auto& m : members) {
            // Entries stored before addresses were checked may hold control characters: they never
            // reach the terminal as they are.
            if (!m.empty()) std::cout << pv::ReplaceControlCharacters(m) << "\n";
        }
        return 0;
    }
    Need(a, 3);
    std::string address;
    Check(pv::ListMemberAddress(a[2], address));
    if (a[0] == "add" && pv::IsAutomaticAddress(address)) {
        Fail("'" + a[2] + "' is one of this system's lists or robots: a list never sends to those.", 2);
    }
    if (a[0] != "add" && a[0] != "remove") Fail("unknown members command '" + a[0] + "'", 2);
    // Under the lock the list server takes too: a join by mail at the same moment is not lost.
    std::string refusal;
    auto result = pv::robots::ChangeMembers(box.Directory(), [&](std::vector<std::string>& current) {
        auto it = std::find(current.begin(), current.end(), address);
        if (a[0] == "add") {
            if (it != current.end()) refusal = address + " is already a member of " + a[1] + ".";
            if (it == current.end()) current.push_back(address);
        } else {
            if (it == current.end()) refusal = address + " is not a member of " + a[1] + ".";
            if (it != current.end()) current.erase(it);
        }
        return refusal.empty();
    });
    if (!refusal.empty()) Fail(refusal);
    if (result == pv::robots::MembersChange::Failed) Fail("could not write " + file + "; check the folder's permissions.");
    return 0;
}

// ---- SmartPop accounts ------------------------------------------------------------------------

std::string AccountKey(const std::string& account) { return "SmartPop\\" + account; }

bool AccountExists(const std::string& account) { return pv::SmartPopAccountExists(account); }

void CheckDeliverTo(const std::string& name) {
    const std::string problem = pv::DeliverToProblem(name);
    if (!problem.empty()) Fail(problem + " See: postvane-admin mailbox list, alias list.", 2);
}

// A value that goes into a command sent to a provider: a line break in it would send a command
// of its own.
void CheckProtocolValue(const std::string& value, const char* what) {
    if (!pv::IsProtocolSafe(value)) Fail(pv::Format(pv::kProtocolUnsafeText, what), 2);
}


void CheckPort(const std::string& text, uint32_t& port) { Check(pv::CheckPort(text, port)); }

int SmartPopDomains(const Args& a) {
    Need(a, 1);
    pv::CRegistryKey key("SmartPop_Domains", true);
    if (!key.IsOpen()) Fail(pv::platform::Hive::LastOpenError());
    if (a[0] == "list") {
        std::vector<std::string> names;
        key.ListValueNames(names);
        for (const auto& n : names) std::cout << n << "\n";
        return 0;
    }
    Need(a, 2);
    const std::string& name = a[1];
    Check(pv::DomainNameProblem(name));
    const bool exists = key.ReadBinary(name, nullptr, 0);
    if (a[0] == "add") {
        if (exists) Fail("the provider domain '" + name + "' is already listed.");
        if (!key.WriteInt(name, 1)) Fail("could not write the provider domain.");
        return 0;
    }
    if (a[0] == "remove") {
        if (!exists) Fail("the provider domain '" + name + "' is not listed (see: postvane-admin smartpop domains list).");
        if (!key.DeleteValue(name)) Fail("could not remove the provider domain.");
        return 0;
    }
    Fail("unknown smartpop domains command '" + a[0] + "'", 2);
}

// ---- OAuth2 sign-in (SmartPop accounts and the relay) -----------------------------------------

// The default loopback port of the browser sign-in's redirect address; the provider sends the
// browser there with the code, and the user copies that address back when nothing listens.
constexpr unsigned kDefaultRedirectPort = 8765;
// How long the browser sign-in waits for the user.
constexpr int kSignInSeconds = 15 * 60;

int OAuthSetup(const pv::auth::OAuthPlace& place, const Args& a, size_t first, bool relay) {
    pv::auth::OAuthSettings s;
    std::string tenant;
    for (size_t i = first; i < a.size(); ++i) {
        if (i + 1 >= a.size()) Fail("'" + a[i] + "' needs a value", 2);
        const std::string& option = a[i];
        const std::string& value = a[++i];
        if (option == "--provider") s.provider = value;
        else if (option == "--client-id") s.clientId = value;
        else if (option == "--client-secret") s.clientSecret = ReadPassword(value);
        else if (option == "--tenant") tenant = value;
        else if (option == "--scope") s.scope = value;
        else if (option == "--user") s.user = value;
        else if (option == "--auth-url") s.authUrl = value;
        else if (option == "--device-url") s.deviceUrl = value;
        else if (option == "--token-url") s.tokenUrl = value;
        else if (option == "--mechanism") {
            s.mechanism = pv::auth::ParseOAuthMechanism(value);
            if (s.mechanism == pv::auth::OAuthMechanism::Invalid) Fail("'" + value + "' is not a mechanism: write auto, xoauth2 or oauthbearer.", 2);
        } else {
            Fail("unknown option '" + option + "'", 2);
        }
    }
    if (s.provider.empty()) Fail("--provider is needed: microsoft, google or custom.", 2);
    if (!pv::IsProtocolSafe(s.user)) Fail(pv::Format(pv::kProtocolUnsafeText, "The user"), 2);
    if (!pv::IsProtocolSafe(s.clientId)) Fail(pv::Format(pv::kProtocolUnsafeText, "The client id"), 2);
    if (s.clientId.empty()) Fail("--client-id is needed: the application (client) id of the registration the office made at the provider.", 2);
    if (const pv::auth::OAuthPreset* preset = pv::auth::FindPreset(s.provider)) {
        s.provider = preset->name;
        auto fill = [&](std::string& field, const char* value) {
            if (!field.empty()) return;
            field = value;
            if (!tenant.empty() && s.provider == "microsoft") {
                const size_t at = field.find("/organizations/");
                if (at != std::string::npos) field.replace(at + 1, 13, tenant);
            }
        };
        fill(s.authUrl, preset->authUrl);
        fill(s.deviceUrl, preset->deviceUrl);
        fill(s.tokenUrl, preset->tokenUrl);
        fill(s.scope, relay ? preset->smtpScope : preset->popScope);
    } else if (s.provider != "custom") {
        Fail("'" + s.provider + "' is not a provider: write microsoft, google or custom.", 2);
    }
    if (s.scope.empty()) Fail("--scope is needed for a custom provider.", 2);
    std::string why;
    if (!pv::auth::EndpointAllowed(s.tokenUrl, why)) Fail("the token endpoint: " + why + ".", 2);
    if (s.deviceUrl.empty() && s.authUrl.empty()) Fail("give --device-url or --auth-url (or both).", 2);
    for (const std::string* url : {&s.deviceUrl, &s.authUrl}) {
        if (!url->empty() && !pv::auth::EndpointAllowed(*url, why)) Fail(why + ".", 2);
    }
    if (relay && !s.user.empty()) {
        if (!pv::CRegistryKey("AdvCon", true).WriteString(pv::kRelayUserValue, s.user)) Fail("could not write the user.");
        s.user.clear();
    }
    pv::CRegistryKey key(place.key, true);
    if (!pv::auth::WriteOAuthSettings(place, s) ||
        !key.WriteString(relay ? pv::auth::kRelayAuthValue : pv::auth::kSmartPopAuthValue, "oauth2")) {
        Fail("could not write the settings.");
    }
    std::cout << place.what << " now logs in with OAuth2 (" << s.provider << "). Sign in with: " << place.loginCommand
              << "\n";
    return 0;
}

int OAuthDeviceLogin(const pv::auth::OAuthPlace& place, const pv::auth::OAuthSettings& s) {
    pv::auth::CDeviceSignIn signIn(place, s);
    std::string error;
    if (!signIn.Start(error)) Fail("the sign-in could not start: " + error + ".");
    const pv::auth::DeviceGrant& grant = signIn.Grant();
    std::cout << "To sign in, open " << grant.verificationUri << " in a browser on any device and enter the code "
              << grant.userCode << "\n";
    if (!grant.verificationUriComplete.empty()) std::cout << "(or open " << grant.verificationUriComplete << ")\n";
    std::cout.flush();
    const bool terminal = ::isatty(STDOUT_FILENO);
    for (;;) {
        if (terminal) std::cout << "\rWaiting for the sign-in ... " << signIn.SecondsLeft() << " s left   " << std::flush;
        std::this_thread::sleep_for(std::chrono::seconds(signIn.IntervalSeconds()));
        const pv::auth::PollOutcome outcome = signIn.Poll(error);
        if (outcome == pv::auth::PollOutcome::Pending) continue;
        if (terminal) std::cout << "\n";
        if (outcome != pv::auth::PollOutcome::Done) Fail("the sign-in did not succeed: " + error + ".");
        std::cout << "Signed in: " << place.what << " is ready.\n";
        return 0;
    }
}

int OAuthBrowserLogin(const pv::auth::OAuthPlace& place, const pv::auth::OAuthSettings& s, unsigned port) {
    pv::auth::PkceRequest request;
    std::string error;
    const std::string redirect = "http://127.0.0.1:" + std::to_string(port) + "/";
    if (!pv::auth::StartPkce(s, redirect, request, error)) Fail("the sign-in could not start: " + error + ".");
    pv::net::CLoopbackRedirect listener;
    const bool listening = listener.Listen(port);  // before the address is shown: the browser may be quick
    std::cout << "Open this address in a browser and sign in:\n\n" << request.address << "\n\n"
              << (listening ? "When the browser runs on this machine, the sign-in comes back by itself. Otherwise the browser\n"
                            : "(The port " + std::to_string(port) + " is busy, so nothing waits for the browser here.) The browser\n")
              << "is sent to " << redirect << "... and says that the page cannot be reached: copy the\n"
              << "whole address from its address bar and paste it here:\n" << std::flush;
    std::string redirected;
    if (listener.Await(STDIN_FILENO, kSignInSeconds, redirected, error) == pv::net::RedirectSource::Failed) {
        Fail("the sign-in did not come back: " + error + ".");
    }
    if (!pv::auth::FinishBrowserSignIn(place, s, request, redirected, error)) Fail(error + ".");
    std::cout << "Signed in: " << place.what << " is ready.\n";
    return 0;
}

std::string FormatTime(std::time_t when) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// "  login oauth2 (signed in)" for listings; "" for a password login.
std::string OAuthSummary(const pv::CRegistryKey& key, const char* authValue, const pv::auth::OAuthPlace& place) {
    std::string method;
    key.ReadString(authValue, method);
    if (pv::auth::ParseLoginMethod(method) != pv::auth::LoginMethod::OAuth2) return {};
    const pv::auth::SignInState state = pv::auth::ReadSignInState(place);
    return std::string("  login oauth2 (") +
           (state.signedIn ? "signed in" : state.revoked ? "revoked by the provider: sign in again" : "not signed in") + ")";
}

// `a[first]` is the sub-command (setup, login, status, off).
int OAuthCommand(const pv::auth::OAuthPlace& place, const Args& a, size_t first, bool relay) {
    Need(a, first + 1);
    const std::string& cmd = a[first];
    if (cmd == "setup") return OAuthSetup(place, a, first + 1, relay);
    const char* authValue = relay ? pv::auth::kRelayAuthValue : pv::auth::kSmartPopAuthValue;
    if (cmd == "off") {
        if (!pv::CRegistryKey(place.key, true).WriteString(authValue, "password")) Fail("could not write the setting.");
        std::cout << place.what << " logs in with its password again; the OAuth2 settings stay for later.\n";
        return 0;
    }
    pv::auth::OAuthSettings s;
    std::string problem;
    const bool usable = pv::auth::ReadOAuthSettings(place, s, problem);
    if (cmd == "status") {
        std::string method;
        pv::CRegistryKey(place.key, false).ReadString(authValue, method);
        const pv::auth::SignInState state = pv::auth::ReadSignInState(place);
        std::cout << "Login:        " << (method.empty() ? "password" : method) << "\n"
                  << "Provider:     " << (s.provider.empty() ? "(not set up)" : s.provider) << "\n"
                  << "Client id:    " << s.clientId << "\n"
                  << "Secret:       " << (s.clientSecret.empty() ? "none" : "set") << "\n"
                  << "Scope:        " << s.scope << "\n"
                  << "Device URL:   " << s.deviceUrl << "\n"
                  << "Browser URL:  " << s.authUrl << "\n"
                  << "Token URL:    " << s.tokenUrl << "\n"
                  << "Mechanism:    " << pv::auth::OAuthMechanismName(s.mechanism) << "\n"
                  << "Signed in:    " << (state.signedIn ? "yes (a refresh token is stored)" : state.revoked ? "no (revoked by the provider)" : "no") << "\n"
                  << "Access token: " << (state.expires ? "until " + FormatTime(state.expires) : std::string("none")) << "\n"
                  << "Status:       " << state.status << "\n";
        if (!usable) std::cout << "Problem:      " << problem << "\n";
        return 0;
    }
    if (cmd == "login") {
        if (!usable) Fail(problem);
        if (relay) s.user.clear();
        bool browser = s.deviceUrl.empty();
        unsigned port = kDefaultRedirectPort;
        for (size_t i = first + 1; i < a.size(); ++i) {
            if (a[i] == "--device") browser = false;
            else if (a[i] == "--browser") browser = true;
            else if (a[i] == "--redirect-port" && i + 1 < a.size()) {
                uint32_t p = 0;
                CheckPort(a[++i], p);
                port = p;
            } else {
                Fail("unknown option '" + a[i] + "'", 2);
            }
        }
        if (browser && s.authUrl.empty()) Fail("no browser sign-in address is set (--auth-url in setup).", 2);
        return browser ? OAuthBrowserLogin(place, s, port) : OAuthDeviceLogin(place, s);
    }
    Fail("unknown oauth command '" + cmd + "': write setup, login, status or off.", 2);
}

int SmartPop(const Args& a) {
    Need(a, 1);
    const std::string& cmd = a[0];
    if (cmd == "enable" || cmd == "disable") {
        if (!pv::CRegistryKey("SmartPop", true).WriteInt("Enable", cmd == "enable" ? 1 : 0)) {
            Fail("could not write SmartPop\\Enable.");
        }
        return 0;
    }
    if (cmd == "domains") return SmartPopDomains(Args(a.begin() + 1, a.end()));
    if (cmd == "oauth") {
        Need(a, 3);
        const std::string& account = a[2];
        if (!pv::IsValidSmartPopAccount(account) || !AccountExists(account)) {
            Fail("there is no account '" + account + "' (see: postvane-admin smartpop list).");
        }
        // The sub-command and its options, with the account taken out.
        Args rest = {a[1]};
        rest.insert(rest.end(), a.begin() + 3, a.end());
        return OAuthCommand(pv::auth::SmartPopOAuthPlace(account), rest, 0, false);
    }
    if (cmd == "list") {
        uint32_t enabled = 0;
        pv::CRegistryKey("SmartPop", false).ReadInt("Enable", enabled);
        std::cout << "SmartPop: " << (enabled ? "enabled" : "disabled") << "\n";
        std::vector<std::string> names;
        pv::CRegistryKey("SmartPop", false).ListSubkeys(names);
        for (const auto& n : names) {
            pv::CRegistryKey key(AccountKey(n), false);
            std::string to, security, pin;
            key.ReadString("for", to);
            key.ReadString("security", security);
            key.ReadString("fingerprint", pin);
            const pv::PopSecurity sec = pv::ParsePopSecurity(security);
            uint32_t port = pv::DefaultPopPort(sec);
            key.ReadInt("port", port);
            std::cout << n << "  port " << port << "  security " << pv::PopSecurityName(sec)
                      << (pin.empty() ? "" : "  pinned") << "  "
                      << (to.empty() ? std::string("recipients from the headers") : "deliver to " + to)
                      << (pv::IsValidSmartPopAccount(n) ? "" : "  (not a valid account name: never collected)")
                      << OAuthSummary(key, pv::auth::kSmartPopAuthValue, pv::auth::SmartPopOAuthPlace(n)) << "\n";
        }
        return 0;
    }
    Need(a, 2);
    const std::string& account = a[1];
    if (!pv::IsValidSmartPopAccount(account)) {
        Fail(pv::Format(pv::kSmartPopAccountText, account.c_str()), 2);
    }
    const bool exists = AccountExists(account);
    if (cmd == "add") {
        if (exists) Fail("the account '" + account + "' exists already.");
        std::string password, deliverTo;
        uint32_t port = pv::CSmartPop::kDefaultPort;
        bool portGiven = false;
        for (size_t i = 2; i < a.size(); ++i) {
            if (i + 1 >= a.size()) Fail("'" + a[i] + "' needs a value", 2);
            if (a[i] == "--password") {
                password = ReadPassword(a[++i]);
                CheckProtocolValue(password, "The password");
            } else if (a[i] == "--deliver-to") {
                deliverTo = a[++i];
                CheckDeliverTo(deliverTo);
            } else if (a[i] == "--port") {
                CheckPort(a[++i], port);
                portGiven = true;
            } else {
                Fail("unknown option '" + a[i] + "'", 2);
            }
        }
        pv::CRegistryKey key(AccountKey(account), true);
        bool ok = key.IsOpen() && key.WriteString("pwd", password) && key.WriteString("for", deliverTo);
        if (ok && portGiven) ok = key.WriteInt("port", port);
        if (!ok) Fail("could not write the account.");
        return 0;
    }
    if (!exists) Fail("there is no account '" + account + "' (see: postvane-admin smartpop list).");
    if (cmd == "oauth") Fail("write: postvane-admin smartpop oauth setup|login|status|off USER@HOST ...", 2);
    pv::CRegistryKey key(AccountKey(account), true);
    if (cmd == "remove") {
        if (!pv::CRegistryKey("SmartPop", true).DeleteSubkey(account)) Fail("could not remove the account.");
        return 0;
    }
    Need(a, 3);
    if (cmd == "password") {
        const std::string password = ReadPassword(a[2]);
        CheckProtocolValue(password, "The password");
        if (!key.WriteString("pwd", password)) Fail("could not write the password.");
        return 0;
    }
    if (cmd == "deliver-to") {
        const std::string to = a[2] == "--off" ? std::string() : a[2];
        if (!to.empty()) CheckDeliverTo(to);
        if (!key.WriteString("for", to)) Fail("could not write the recipient.");
        return 0;
    }
    if (cmd == "port") {
        uint32_t port = 0;
        CheckPort(a[2], port);
        if (!key.WriteInt("port", port)) Fail("could not write the port.");
        return 0;
    }
    if (cmd == "security") {
        pv::PopSecurity security = pv::PopSecurity::None;
        Check(pv::CheckPopSecurity(a[2], security));
        if (!key.WriteString(pv::kPopSecurityValue, pv::PopSecurityName(security))) {
            Fail("could not write the security.");
        }
        return 0;
    }
    if (cmd == "fingerprint") {
        if (a[2] == "--off") {
            key.DeleteValue("fingerprint");
            return 0;
        }
        std::string pin;
        Check(pv::CheckFingerprint(a[2], pin));
        if (!key.WriteString(pv::kPopFingerprintValue, pin)) Fail("could not write the fingerprint.");
        return 0;
    }
    Fail("unknown smartpop command '" + cmd + "'", 2);
}

// ---- the relay (the transmitter's provider) ---------------------------------------------------

int Relay(const Args& a) {
    Need(a, 1);
    const std::string& cmd = a[0];
    pv::CRegistryKey key("AdvCon", true);
    if (!key.IsOpen()) Fail(pv::platform::Hive::LastOpenError());
    if (cmd == "oauth") return OAuthCommand(pv::auth::RelayOAuthPlace(), a, 1, true);
    if (cmd == "show") {
        const pv::RelaySettings s = pv::ReadRelaySettings();
        std::string gateway;
        pv::CRegistryKey("", false).ReadString("Gateway", gateway);
        uint32_t rawPort = 0;
        const bool portSet = key.ReadInt(pv::kRelayPortValue, rawPort);
        std::cout << "Gateway:     " << (gateway.empty() ? "(not set)" : gateway) << "\n"
                  << "Port:        " << s.port << (portSet ? "" : " (the usual one for the security)") << "\n"
                  << "Security:    "
                  << (s.security == pv::RelaySecurity::Invalid ? "invalid (\"" + s.securityText + "\")"
                                                                : std::string(pv::RelaySecurityName(s.security)))
                  << "\n"
                  << "User:        " << (s.user.empty() ? "(none: no login)" : s.user) << "\n"
                  << "Password:    " << (s.password.empty() ? "not set" : "set")
                  << OAuthSummary(key, pv::auth::kRelayAuthValue, pv::auth::RelayOAuthPlace()) << "\n"
                  << "Fingerprint: "
                  << (s.fingerprintInvalid ? "invalid" : s.fingerprint.empty() ? "(none: trusted certificates)"
                                                                               : s.fingerprint)
                  << "\n";
        return 0;
    }
    Need(a, 2);
    const std::string& value = a[1];
    if (cmd == "security") {
        pv::RelaySecurity security = pv::RelaySecurity::Unset;
        Check(pv::CheckRelaySecurity(value, security));
        if (!key.WriteString(pv::kRelaySecurityValue, pv::RelaySecurityName(security))) Fail("could not write the security.");
        return 0;
    }
    if (cmd == "user") {
        if (value == "--off") {
            key.DeleteValue(pv::kRelayUserValue);
            key.DeleteValue(pv::kRelayPasswordValue);  // a password for nobody has no use
            return 0;
        }
        Check(pv::CheckRelayUser(value));
        if (!key.WriteString(pv::kRelayUserValue, value)) Fail("could not write the user.");
        if (pv::ReadRelaySettings().security == pv::RelaySecurity::Unset) {
            std::cerr << "Note: no relay security is set, so no run sends the password: set it with "
                         "'postvane-admin relay security starttls' (or tls, or none to send it unencrypted).\n";
        }
        return 0;
    }
    if (cmd == "password") {
        const std::string password = ReadPassword(value);
        Check(pv::CheckRelayPassword(password));
        if (!key.WriteBinary(pv::kRelayPasswordValue, password.data(), password.size())) {
            Fail("could not write the password.");
        }
        return 0;
    }
    if (cmd == "fingerprint") {
        if (value == "--off") {
            key.DeleteValue(pv::kRelayFingerprintValue);
            return 0;
        }
        std::string pin;
        Check(pv::CheckFingerprint(value, pin));
        if (!key.WriteString(pv::kRelayFingerprintValue, pin)) Fail("could not write the fingerprint.");
        return 0;
    }
    if (cmd == "gateway") {
        const std::string host = pv::net::CanonicalHost(value);
        if (host.empty()) {
            Fail("'" + value + "' is not a host: write a name (relay.provider.example), an IPv4 address or an "
                 "IPv6 address (2001:db8::25 or [2001:db8::25]), without a port (set it with 'relay port').", 2);
        }
        if (!pv::CRegistryKey("", true).WriteString("Gateway", host)) Fail("could not write the gateway.");
        return 0;
    }
    if (cmd == "port") {
        if (value == "--off") {
            key.DeleteValue(pv::kRelayPortValue);
            return 0;
        }
        uint32_t port = 0;
        CheckPort(value, port);
        if (!key.WriteInt(pv::kRelayPortValue, port)) Fail("could not write the port.");
        return 0;
    }
    Fail("unknown relay command '" + cmd + "'", 2);
}

// ---- where the services listen and who may relay -------------------------------------------------

std::string Joined(const Args& a, size_t from) {
    std::string text;
    for (size_t i = from; i < a.size(); ++i) text += (text.empty() ? "" : ", ") + a[i];
    return text;
}

int Network(const Args& a) {
    Need(a, 1);
    const std::string& cmd = a[0];
    pv::CRegistryKey key("AdvCon", true);
    if (!key.IsOpen()) Fail(pv::platform::Hive::LastOpenError());
    if (cmd == "show") {
        std::string bind;
        key.ReadString("BindAddress", bind);
        std::cout << "Listen on:   " << (bind.empty() ? "every address of both families" : bind) << "\n"
                  << "Relay from:  " << pv::RelayNets() << "\n";
        return 0;
    }
    Need(a, 2);
    if (cmd == "listen") {
        if (a[1] == "--all") {
            key.DeleteValue("BindAddress");
            return 0;
        }
        std::vector<std::string> addresses;
        std::string bad;
        if (!pv::net::ParseAddressList(Joined(a, 1), addresses, bad) || addresses.empty()) {
            Fail("'" + bad + "' is not an IPv4 or IPv6 address (names and networks are not taken here).", 2);
        }
        std::string list;
        for (const std::string& address : addresses) list += (list.empty() ? "" : ", ") + address;
        if (!key.WriteString("BindAddress", list)) Fail("could not write the addresses.");
        std::cout << "The services listen on " << list << " from the next start of Postvane.\n";
        return 0;
    }
    if (cmd == "relaynets") {
        if (a[1] == "--default") {
            key.DeleteValue("RelayNets");
            return 0;
        }
        const std::string nets = Joined(a, 1);
        std::string bad;
        if (!pv::CheckNets(nets, bad)) {
            Fail("'" + bad + "' is not a network: write an address with an optional prefix length, such as "
                 "192.168.1.0/24 or fd00:1:2:3::/64.", 2);
        }
        if (!key.WriteString("RelayNets", nets)) Fail("could not write the networks.");
        return 0;
    }
    Fail("unknown network command '" + cmd + "'", 2);
}

// ---- the web console ---------------------------------------------------------------------------

int Web(const Args& a) {
    Need(a, 1);
    pv::CRegistryKey key("AdvCon", true);
    if (!key.IsOpen()) Fail(pv::platform::Hive::LastOpenError());
    if (a[0] == "show") {
        uint32_t port = 0;
        key.ReadInt(pv::web::kWebPortValue, port);
        std::cout << "Port:      " << (port ? std::to_string(port) : std::string("off")) << "\n"
                  << "Password:  " << (pv::auth::AdminPasswordSet() ? "set" : "not set (nobody can log in)") << "\n";
        return 0;
    }
    Need(a, 2);
    if (a[0] == "port") {
        if (a[1] == "--off") {
            key.DeleteValue(pv::web::kWebPortValue);
            return 0;
        }
        uint32_t port = 0;
        CheckPort(a[1], port);
        if (!key.WriteInt(pv::web::kWebPortValue, port)) Fail("could not write the port.");
        if (!pv::auth::AdminPasswordSet()) {
            std::cerr << "Note: no console password is set yet: set one with 'postvane-admin web password -'.\n";
        }
        return 0;
    }
    if (a[0] == "password") {
        const std::string problem = pv::auth::SetAdminPassword(ReadPassword(a[1]));
        if (!problem.empty()) Fail(problem, problem.find("must") != std::string::npos ? 2 : 1);
        return 0;
    }
    Fail("unknown web command '" + a[0] + "'", 2);
}

}  // namespace

int main(int argc, char** argv) {
    Args args = pv::tools::PrepareTool(argc, argv);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        Usage(args.empty() ? std::cerr : std::cout);
        return args.empty() ? 2 : 0;
    }
    if (!pv::platform::Hive::Acquire()) {
        std::cerr << "postvane-admin: " << pv::platform::Hive::LastOpenError()
                  << "\nSet POSTVANE_HIVE or --hive to the server's configuration store.\n";
        return 1;
    }
    std::string group = args[0];
    Args rest(args.begin() + 1, args.end());
    try {
        if (group == "domain") return Domain(rest);
        if (group == "mailbox") return Mailbox(rest);
        if (group == "alias") return Alias(rest);
        if (group == "members") return Members(rest);
        if (group == "smartpop") return SmartPop(rest);
        if (group == "relay") return Relay(rest);
        if (group == "network") return Network(rest);
        if (group == "web") return Web(rest);
        Fail("unknown command '" + group + "'", 2);
    } catch (const Failure& f) {
        std::cerr << "postvane-admin: " << f.message << "\n";
        if (f.code == 2 && f.message.find("--help") == std::string::npos) {
            std::cerr << "See postvane-admin --help.\n";
        }
        return f.code;
    }
}
