// postvane-wizard: first-run set-up. Writes `Gateway`, `Maildrop`, a primary `Domain` and
// sensible defaults; asks on a terminal, or takes the defaults with --defaults.
#include <iostream>
#include <unistd.h>

#include "ToolCommon.h"
#include "auth/AdminPassword.h"
#include "auth/Passwords.h"
#include "core/ProtocolText.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "net/Address.h"
#include "net/LanTls.h"
#include "net/ThisServer.h"
#include "net/Tls.h"
#include "platform/Hive.h"
#include "platform/Paths.h"
#include "web/WebConsole.h"

namespace {

struct Answers {
    // No relay until one is named: mail for other domains then waits in the queue (and the
    // status says so) rather than going to a guess that may be this very server.
    std::string gateway;
    std::string maildrop;
    std::string domain;
    std::string postmaster = "postmaster";
    uint32_t smtpPort = 25, popPort = 110, fingerPort = 79, imapPort = 143;
    uint32_t webPort = 0;  // the web console stays off unless the operator says otherwise
};

// The port the wizard offers for the web console.
constexpr uint32_t kProposedWebPort = 8443;

void Usage(std::ostream& out) {
    out << "usage: postvane-wizard [--hive PATH] [--defaults] [--gateway HOST] [--maildrop DIR]\n"
           "                       [--domain NAME] [--postmaster NAME] [--show-password]\n"
           "  Writes the first configuration. On a terminal it asks for each value; --defaults\n"
           "  takes the values shown below without asking. Values already set are kept.\n"
           "  The postmaster's new password is shown on a terminal, or with --show-password.\n";
}

// A value already in the hive wins over the proposal, so running the wizard twice is harmless.
void ProposeString(const pv::CRegistryKey& key, const char* name, std::string& value) {
    std::string current;
    if (key.ReadString(name, current) && !current.empty()) value = current;
}
void ProposeInt(const pv::CRegistryKey& key, const char* name, uint32_t& value) { key.ReadInt(name, value); }

// The relay's port as the transmitter uses it.
uint32_t RelayPort() {
    uint32_t port = 25;
    pv::CRegistryKey("AdvCon", false).ReadInt("smtpoutport", port);
    return port;
}

bool IsThisServer(const std::string& gateway, uint32_t smtpPort) {
    if (!pv::net::RelayIsThisServer(gateway, RelayPort(), smtpPort)) return false;
    std::cerr << "postvane-wizard: the relay " << gateway << " port " << RelayPort()
              << " is this server's own SMTP receiver: mail for other domains would come straight back.\n"
                 "Name the provider's relay, or leave it empty to keep such mail queued until one is set.\n";
    return true;
}

uint32_t AskPort(const std::string& question, uint32_t current) {
    for (;;) {
        std::string answer = pv::tools::Ask(question, std::to_string(current));
        try {
            unsigned long v = std::stoul(answer);
            if (v > 0 && v < 65536) return static_cast<uint32_t>(v);
        } catch (...) {
        }
        std::cout << "A port is a number from 1 to 65535.\n";
    }
}

// Mail clients on the LAN expect STARTTLS and STLS: without a certificate configured, one is
// made for this host beside the hive (the key readable by its owner only), as Debian's mail
// servers do with their default certificate. An operator can point the values at a real one.
// A failure is said and set-up goes on: the services then run without TLS.
void ProposeCertificate(pv::CRegistryKey& adv, const std::string& hive, std::string& certificate) {
    std::string cert, key;
    adv.ReadString(pv::net::kTlsCertificateValue, cert);
    adv.ReadString(pv::net::kTlsKeyValue, key);
    if (!cert.empty() || !key.empty()) {
        certificate = cert.empty() ? "(AdvCon\\TlsCertificate not set)" : cert;
        return;
    }
    const std::string folder = pv::platform::DirectoryOf(hive);
    cert = folder + "/tls-certificate.pem";
    key = folder + "/tls-key.pem";
    std::string error;
    if (!pv::net::MakeSelfSignedCertificate(pv::tools::HostName(), cert, key, error)) {
        std::cerr << "postvane-wizard: no certificate for TLS was made: " << error
                  << "\nSMTP and POP3 run without TLS until AdvCon\\TlsCertificate and AdvCon\\TlsKey name one.\n";
        certificate = "none (TLS off)";
        return;
    }
    if (!adv.WriteString(pv::net::kTlsCertificateValue, cert) || !adv.WriteString(pv::net::kTlsKeyValue, key)) {
        certificate = "none (the values could not be written)";
        return;
    }
    certificate = cert + " (self-signed, SHA-256 " + pv::net::CertificateFingerprint(cert, error) + ")";
}

}  // namespace

int main(int argc, char** argv) {
    auto args = pv::tools::PrepareTool(argc, argv);
    bool defaults = false;
    // Run by the server on its first start, the output goes to the service's journal: a
    // password is shown only to a person (a terminal) or on request.
    bool showPassword = ::isatty(STDOUT_FILENO) != 0;
    Answers a;
    std::string hive = pv::platform::HivePath();
    const bool root = ::geteuid() == 0;
    // The spool sits beside the hive, so one folder holds a whole installation; a system
    // installation keeps it where Debian keeps spools.
    a.maildrop = hive == pv::platform::kSystemHivePath ? std::string(pv::platform::kSystemSpoolPath)
                                                       : pv::platform::DirectoryOf(hive) + "/spool";
    a.domain = pv::tools::HostName();
    // The standard ports for root and for the system installation's store (whose service may
    // bind them); unprivileged ports for anyone else's own store.
    if (!root && hive != pv::platform::kSystemHivePath) {
        a.smtpPort = 2525;
        a.popPort = 1110;
        a.fingerPort = 7979;
        a.imapPort = 1143;
    }
    bool forced[4] = {};
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& o = args[i];
        auto next = [&](std::string& into, int slot) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            forced[slot] = true;
            return true;
        };
        if (o == "--defaults") {
            defaults = true;
        } else if (o == "--show-password") {
            showPassword = true;
        } else if (o == "--help" || o == "-h") {
            Usage(std::cout);
            return 0;
        } else if (!((o == "--gateway" && next(a.gateway, 0)) || (o == "--maildrop" && next(a.maildrop, 1)) ||
                     (o == "--domain" && next(a.domain, 2)) || (o == "--postmaster" && next(a.postmaster, 3)))) {
            std::cerr << "postvane-wizard: unknown or incomplete option " << o << "\n";
            Usage(std::cerr);
            return 2;
        }
    }

    pv::CRegistryKey rootKey("", true);
    pv::CRegistryKey adv("AdvCon", true);
    pv::CRegistryKey domains("Domain", true);
    pv::CRegistryKey alias("Alias", true);
    if (!rootKey.IsOpen() || !adv.IsOpen() || !domains.IsOpen() || !alias.IsOpen()) {
        std::cerr << "postvane-wizard: " << pv::platform::Hive::LastOpenError()
                  << (pv::platform::Hive::LastOpenDamaged()
                          ? ".\n"
                          : "\nCheck that the folder is writable, or point POSTVANE_HIVE at another file.\n");
        return 1;
    }
    if (!forced[0]) ProposeString(rootKey, "Gateway", a.gateway);
    if (!forced[1]) ProposeString(rootKey, "Maildrop", a.maildrop);
    if (!forced[3]) ProposeString(alias, "postmaster", a.postmaster);
    std::string primary = pv::PrimaryDomain();
    if (!forced[2] && !primary.empty()) a.domain = primary;
    ProposeInt(adv, "smtpinport", a.smtpPort);
    ProposeInt(adv, "popport", a.popPort);
    ProposeInt(adv, "fingerport", a.fingerPort);
    ProposeInt(adv, "imapport", a.imapPort);
    ProposeInt(adv, pv::web::kWebPortValue, a.webPort);

    if (!defaults) {
        if (!::isatty(STDIN_FILENO)) {
            std::cerr << "postvane-wizard: no terminal to ask on; run it with --defaults to take the proposed values.\n";
            return 2;
        }
        std::cout << "Postvane set-up (configuration store: " << hive << ")\n";
        for (;;) {
            a.gateway = pv::tools::Ask("Provider's SMTP relay (host name, IPv4 or IPv6 address; empty: none yet)", a.gateway);
            if (!IsThisServer(a.gateway, a.smtpPort)) break;
            a.gateway.clear();
        }
        a.maildrop = pv::tools::Ask("Folder for queued mail and mailboxes", a.maildrop);
        a.domain = pv::tools::Ask("This office's mail domain", a.domain);
        a.postmaster = pv::tools::Ask("Mailbox that receives postmaster mail", a.postmaster);
        a.smtpPort = AskPort("SMTP port for mail clients", a.smtpPort);
        a.popPort = AskPort("POP3 port for mail clients", a.popPort);
        a.fingerPort = AskPort("Finger port", a.fingerPort);
        a.imapPort = AskPort("IMAP port for mail clients", a.imapPort);
        // The console is offered, not imposed: it is one more door into the gateway.
        const std::string web = pv::tools::Ask("Run the web console for browsers on the LAN (yes/no)",
                                               a.webPort ? "yes" : "no");
        if (web == "yes" || web == "y") a.webPort = AskPort("Web console HTTPS port", a.webPort ? a.webPort : kProposedWebPort);
        if (web == "no" || web == "n") a.webPort = 0;
    }
    if (!a.gateway.empty()) {
        // Stored in the form the transmitter and the other tools use: [2001:db8::25] for IPv6.
        const std::string host = pv::net::CanonicalHost(a.gateway);
        if (host.empty()) {
            std::cerr << "postvane-wizard: '" << a.gateway << "' is not a host: give a name, an IPv4 address or an "
                      << "IPv6 address (2001:db8::25 or [2001:db8::25]), without a port.\n";
            return 2;
        }
        a.gateway = host;
    }
    if (IsThisServer(a.gateway, a.smtpPort)) return 2;
    if (a.maildrop.empty() || a.maildrop[0] != '/') {
        std::cerr << "postvane-wizard: the mail folder must be an absolute path (got '" << a.maildrop << "').\n";
        return 2;
    }
    if (!pv::IsProtocolSafe(a.gateway) || !pv::IsProtocolSafe(a.domain)) {
        std::cerr << "postvane-wizard: the relay's name and the domain must not contain control characters: they "
                     "are sent to the relay as they are.\n";
        return 2;
    }
    if (a.domain.empty() || a.postmaster.empty() || a.postmaster.find_first_of("/\\,@") != std::string::npos) {
        std::cerr << "postvane-wizard: the domain and the postmaster mailbox need a plain name.\n";
        return 2;
    }

    if (!pv::platform::MakeDirectories(a.maildrop, 0700)) {
        std::cerr << "postvane-wizard: cannot create the mail folder " << a.maildrop
                  << "; choose a writable place with --maildrop.\n";
        return 1;
    }
    bool ok = rootKey.WriteString("Maildrop", a.maildrop) && adv.WriteInt("smtpinport", a.smtpPort) &&
              adv.WriteInt("popport", a.popPort) && adv.WriteInt("fingerport", a.fingerPort) &&
              adv.WriteInt("imapport", a.imapPort) &&
              alias.WriteString("postmaster", a.postmaster);
    uint32_t flag = 0;
    if (ok && !domains.ReadInt(a.domain, flag)) {
        // A new domain becomes the primary one only when there is none yet.
        ok = domains.WriteInt(a.domain, primary.empty() || a.domain == primary ? 1 : 0);
    }
    std::string certificate;
    if (ok) ProposeCertificate(adv, hive, certificate);
    uint32_t existing = 0;
    // The console's password is random and shown once, like the postmaster's: never a factory one.
    std::string webPassword;
    if (ok && a.webPort) {
        ok = adv.WriteInt(pv::web::kWebPortValue, a.webPort);
        if (ok && !pv::auth::AdminPasswordSet()) {
            webPassword = pv::auth::RandomPassword();
            const std::string problem = pv::auth::SetAdminPassword(webPassword);
            if (!problem.empty()) {
                std::cerr << "postvane-wizard: " << problem << "\n";
                webPassword.clear();
            }
        }
    } else if (ok) {
        adv.DeleteValue(pv::web::kWebPortValue);
    }
    if (ok && !rootKey.ReadInt("UseLan", existing)) ok = rootKey.WriteInt("UseLan", 1);
    if (ok && !rootKey.ReadInt("LogAll", existing)) ok = rootKey.WriteInt("LogAll", 1);
    // With a relay over the LAN, mail leaves as soon as one message waits: otherwise nothing
    // would ever go online by itself. A schedule set already is left as it is.
    uint32_t useLan = 0;
    if (ok && !a.gateway.empty() && rootKey.ReadInt("UseLan", useLan) && useLan == 1) {
        pv::CRegistryKey schedule("Schedule", true);
        uint32_t check = 0;
        if (schedule.IsOpen() && !schedule.ReadInt("CheckWaiting", check)) {
            ok = schedule.WriteInt("CheckWaiting", 1) && schedule.WriteInt("CountWaiting", 1);
        }
    }
    // Gateway last: its presence (even empty, for no relay yet) is what tells the server that
    // set-up is complete.
    if (ok) ok = rootKey.WriteString("Gateway", a.gateway);
    // The postmaster's mailbox, when missing, with a random password shown only here: the
    // server would make it too, but could tell nobody the password.
    std::string postmasterPassword;
    if (ok) {
        pv::CMailbox box;
        if (!box.Open(a.postmaster)) {
            postmasterPassword = pv::auth::RandomPassword();
            ok = box.Create(a.postmaster, pv::kMailboxUser) && box.SetPassword(postmasterPassword);
        }
    }
    if (!ok) {
        std::cerr << "postvane-wizard: could not write the configuration to " << hive
                  << "; check the file's permissions and free space.\n";
        return 1;
    }
    std::cout << "Postvane is configured:\n"
              << "  configuration store  " << hive << "\n"
              << "  mail folder          " << a.maildrop << "\n"
              << "  domain               " << a.domain << "\n"
              << "  relay                "
              << (a.gateway.empty() ? "none yet: mail for other domains waits until one is set with\n"
                                      "                       postvane-wizard --gateway HOST"
                                    : a.gateway)
              << "\n"
              << "  ports                SMTP " << a.smtpPort << ", POP3 " << a.popPort << ", IMAP " << a.imapPort << ", finger "
              << a.fingerPort << "\n"
              << "  TLS certificate      " << certificate << "\n"
              << "  web console          "
              << (a.webPort ? "https://" + pv::tools::HostName() + ":" + std::to_string(a.webPort) + "/"
                            : std::string("off (turn it on with: postvane-admin web port ") +
                                  std::to_string(kProposedWebPort) + ")")
              << "\n";
    if (!webPassword.empty() && showPassword) {
        std::cout << "  web console password " << webPassword << "\n"
                  << "(shown only now; set another with: postvane-admin web password -)\n";
    } else if (!webPassword.empty()) {
        std::cout << "  web console          with a random password; set one with: postvane-admin web password -\n";
    }
    if (!postmasterPassword.empty() && showPassword) {
        std::cout << "  postmaster mailbox   " << a.postmaster << ", password " << postmasterPassword << "\n"
                  << "(the password is shown only now; set another with: postvane-admin mailbox password "
                  << a.postmaster << " -)\n";
    } else if (!postmasterPassword.empty()) {
        std::cout << "  postmaster mailbox   " << a.postmaster << ", with a random password; set one with: "
                  << "postvane-admin mailbox password " << a.postmaster << " -\n";
    }
    return 0;
}
