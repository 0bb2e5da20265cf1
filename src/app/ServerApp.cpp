#include "app/ServerApp.h"

#include <cerrno>
#include <csignal>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "dialup/ConnectionManager.h"
#include "finger/FingerServer.h"
#include "delivery/Spooler.h"
#include "net/Listeners.h"
#include "pop3/PopServer.h"
#include "imap/ImapServer.h"
#include "pop3/SmartPop.h"
#include "robots/RobotPool.h"
#include "smtp/FailureReport.h"
#include "smtp/SmtpServer.h"
#include "platform/Events.h"
#include "platform/FileLock.h"
#include "platform/Hive.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/SocketErrors.h"
#include "ui/ConsoleStatus.h"
#include "web/WebConsole.h"

namespace pv {

namespace {
constexpr const char* kConfigErrorTitle = "Postvane configuration Error";
constexpr const char* kWizardProgram = "postvane-wizard";
}  // namespace

CServerApp::CServerApp(ServerOptions options) : options_(options) {}

// Step 5-6: a configuration exists when `Gateway` exists (even empty); otherwise the set-up
// wizard gets its chance.
bool CServerApp::EnsureConfigured() {
    std::string gateway;
    if (CRegistryKey("", false).ReadString("Gateway", gateway)) return true;

    std::string wizard = platform::FindProgram(kWizardProgram);
    if (wizard.empty()) {
        std::cerr << "Postvane is not configured yet and " << kWizardProgram
                  << " was not found next to postvane or on PATH: run it to configure Postvane." << std::endl;
    } else {
        // On a terminal the wizard asks its questions; otherwise it writes its defaults.
        std::vector<std::string> args;
        if (!::isatty(STDIN_FILENO)) args.push_back("--defaults");
        platform::SpawnProcess(wizard, args, true);
    }
    return CRegistryKey("", false).ReadString("Gateway", gateway);
}

// Steps 7-8.
bool CServerApp::CheckSpoolRoot() {
    CRegistryKey("", false).ReadString("Maildrop", spoolRoot_);
    if (spoolRoot_.empty()) {
        platform::MessageBox("Cannot start Postvane.\nNo path has been specified for temporary files",
                             kConfigErrorTitle, platform::kMbOk | platform::kMbIconError);
        return false;
    }
    if (::chdir(spoolRoot_.c_str()) == 0) return true;

    char question[1400];
    std::snprintf(question, sizeof question, "Temporary directory does not exist.\nCreate directory '%s'?",
                  spoolRoot_.c_str());
    if (platform::MessageBox(question, kConfigErrorTitle, platform::kMbYesNo | platform::kMbIconQuestion) !=
        platform::kIdYes) {
        return false;
    }
    if (::mkdir(spoolRoot_.c_str(), 0700) != 0) {
        platform::MessageBox("Cannot start Postvane.\nfailed to create directory for temporary files",
                             kConfigErrorTitle, platform::kMbOk | platform::kMbIconError);
        return false;
    }
    return true;
}

// Step 9: failures (mostly "exists already") are left for the users of each folder to meet.
void CServerApp::CreateSpoolFolders() {
    for (const char* dir : {kInboxDir, kOutboxDir, kMailboxDir}) {
        ::mkdir(JoinPath(spoolRoot_, dir).c_str(), 0700);
    }
}

// Step 10: the robots' mailboxes and the postmaster's, each only when missing. Each gets a
// random password that is never printed or logged: the robots' mailboxes take no logins, and
// the postmaster's owner sets one with the admin tool (the wizard makes it and prints it once).
void CServerApp::CreateSystemMailboxes() {
    CMailbox box;
    if (!box.Open("Postvane")) box.Create("Postvane", kMailboxCommand);
    if (!box.Open("PVList")) box.Create("PVList", kMailboxListServer);
    std::string postmaster = CMailbox::PostmasterName();
    if (!box.Open(postmaster) && box.Create(postmaster, kMailboxUser)) {
        WriteLogLine("Created the postmaster's mailbox " + postmaster +
                     " with a random password; set one to collect its mail: postvane-admin mailbox password " +
                     postmaster + " -");
    }
    // Stores from earlier versions (or imported ones) may still have the name as password:
    // such a login counts only from AdvCon\RelayNets, and every start says how to end that.
    for (const auto& name : CMailbox::ListMailboxes()) {
        if (!box.Open(name) || box.IsRobot() || !box.PasswordIsName()) continue;
        WriteLogLine("Mailbox " + name + " still has its name as password: logins from outside AdvCon\\RelayNets "
                     "are refused. Set a password with: postvane-admin mailbox password " + name + " -");
    }
}

// Failure reports a killed transmitter left staged are finished first (their texts wait in the
// inbox without an envelope), then what interrupted transactions left is removed. A transmitter
// in another program (postvane-send) may be writing a report right now: then the spool is left
// as it is until the next start or stop.
void CServerApp::TidySpool() {
    platform::FileLock outbox;
    if (!outbox.Lock(JoinPath(spoolRoot_, kOutboxLockFile), false)) {
        WriteLogLine(outbox.Error().empty()
                         ? std::string("Another program is sending the outbound queue; unfinished queue files are "
                                       "left for the next start")
                         : "Unfinished queue files are not removed: " + outbox.Error());
        return;
    }
    if (int finished = CompleteStagedReports(QueueDirectory(kOutboxDir))) {
        WriteLogLine("Finished " + std::to_string(finished) + " failure report(s) an earlier run left unfinished");
    }
    CSpooler::CleanUpSpool(spoolRoot_);
}

bool CServerApp::ReportListenFailures(const std::vector<net::ListenFailure>& failures, bool windowed) {
    for (const auto& f : failures) {
        std::string why;
        if (f.error == platform::kWsaEAddrInUse) {
            const std::string holder = platform::ListeningPortHolder(f.port);
            why = "the port is already in use" + (holder.empty() ? std::string(" by another program") : " by " + holder);
        } else {
            why = "Error Code =" + std::to_string(f.error);
        }
        const std::string text = "The " + f.service + " service cannot listen on port " + std::to_string(f.port) +
                                 ": " + why + ". Stop that program, or choose another port" +
                                 (f.portValue.empty() ? std::string() : " (AdvCon\\" + f.portValue + ")") +
                                 ", and start Postvane again.";
        if (windowed) {
            platform::MessageBox(text, "Postvane: " + f.service + " service not started",
                                 platform::kMbOk | platform::kMbIconError);
        } else {
            WriteLogLine(text);
            std::cerr << "Cannot start Postvane: " << text << std::endl;
        }
    }
    return windowed || failures.empty();
}

int CServerApp::Run() {
    // Step 1-2: one server per hive. A second copy asks the first to show its window (as
    // postvane-ctl showui does), says so, and ends: started from a menu, it would otherwise seem
    // to do nothing while the first copy's window stays hidden.
    const std::string hive = platform::HivePath();
    // Root on a hive that belongs to another user (the service's) runs as that user, as the
    // tools do: every file it makes (messages, the hive's side files) must stay usable by the
    // service. The hive is pinned first, and handed to the wizard it may start, so the switch
    // of identity does not change which hive is meant.
    platform::SetHivePath(hive);
    ::setenv("POSTVANE_HIVE", hive.c_str(), 1);
    if (std::string error; !platform::BecomeOwnerOf(hive, error, true)) {
        std::cerr << "Cannot start Postvane: " << error
                  << ". Run it as the owner of the configuration store, or start the service (systemctl start postvane)."
                  << std::endl;
        return 1;
    }
    platform::InstanceLock instance;
    if (!instance.TryAcquire(hive)) {
        if (instance.Error().empty()) {
            platform::NamedEvents::Get().Signal(platform::NamedEvent::ShowUi);
            std::cout << "Postvane is already running on " << hive
                      << "; it was asked to show its window (a server without a window prints its status)."
                      << std::endl;
            return 0;
        }
        std::cerr << "Cannot start Postvane: " << instance.Error()
                  << ". Check that the folder of the configuration store is writable, or set POSTVANE_HIVE."
                  << std::endl;
        return 1;
    }
    platform::NamedEvents::Get().ResetAll();

    // Step 3.
    SetConfigRoot(kDefaultConfigRoot);
    if (!platform::Hive::Acquire()) {
        std::cerr << "Cannot start Postvane: " << platform::Hive::LastOpenError()
                  << (platform::Hive::LastOpenDamaged() ? "."
                                                        : ". Check the file's permissions, or set POSTVANE_HIVE to another file.")
                  << std::endl;
        return 1;
    }
    platform::SetAssumeYes(options_.assumeYes);
    platform::SetMessageBoxLogger([](const std::string& line) { WriteLogLine(line); });

    // Step 4: a peer that closes early must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);

    if (!EnsureConfigured()) return 1;  // steps 5-6
    if (!CheckSpoolRoot()) return 1;    // steps 7-8
    CreateSpoolFolders();               // step 9
    CreateSystemMailboxes();            // step 10
    // No conversation runs yet, so every mailbox lock left behind belongs to a run that ended.
    RemoveStaleMailboxLocks(spoolRoot_);
    // Nor does any transaction: what a killed run left half done is finished or removed.
    TidySpool();

    // From here on threads run: the stop signals are taken by the status display only.
    CConsoleStatus::BlockStopSignals();
    // Step 11: the window with a display, the console without.
    std::unique_ptr<StatusDisplay> status;
    if (!options_.headless && options_.makeWindow) status = options_.makeWindow();
    const bool windowed = status != nullptr;
    if (!status) status = std::make_unique<CConsoleStatus>(std::cout);
    WriteLogLine("Starting Postvane 1.0 Pre-release");

    ConnectRequestEvent().Reset();  // step 12
    DisconnectRequestEvent().Reset();

    // Step 13: the spooler, the connection manager, then the listeners, finger, POP3 and SMTP in
    // that order; a service whose conversation is not part of this build stays closed.
    // The robots first: they answer what a killed run left in their mailboxes, then take the
    // copies the spooler commits.
    auto robots = std::make_unique<robots::CRobotPool>();
    robots->Start();
    auto spooler = std::make_unique<CSpooler>();
    spooler->SetRobotQueue(robots.get());
    spooler->Start(false);
    auto manager = std::make_unique<dialup::CConnectionManager>();
    manager->Start(false);
    net::ListenerFactories factories;
    factories.finger = net::MakeConversationFactory<CFingerServer>();
    factories.pop = net::MakeConversationFactory<CPopServer>();
    factories.smtp = net::MakeConversationFactory<CSMTPServer>();
    factories.imap = net::MakeConversationFactory<CImapServer>();
    // `AdvCon\BindAddress` (optional) keeps the services on the addresses it lists, of either
    // family, for instance the LAN side of the machine only; absent, they listen on every
    // address of both families. A bad entry is refused with a log line by the listeners.
    std::string bindAddress;
    CRegistryKey("AdvCon", false).ReadString("BindAddress", bindAddress);
    net::CServiceListeners listeners(std::move(factories), bindAddress);
    listeners.Start();
    // Headless, a service without its port is a start-up failure: everything started is
    // stopped again in order below, and the exit code says so.
    const int exitCode = ReportListenFailures(listeners.Failures(), windowed) ? 0 : 1;
    // `AdvCon\WebPort` (off when missing): the browser console for a server without a desktop.
    web::CWebConsole webConsole;
    webConsole.Start();

    if (exitCode == 0) status->Run();  // step 14

    WriteLogLine("Shutting Down Postvane");  // step 15
    // Step 16: a task that does not end in time is left to the end of the process: its thread
    // still uses the object.
    spooler->Stop();
    manager->Stop();
    if (!spooler->StopAndWait(1000)) spooler.release();
    // The hang-up has gone out by then; a manager still waiting for the line to go down is left
    // to the end of the process.
    if (!manager->StopAndWait(1000)) manager.release();
    // SmartPop collectors end before the spool is tidied: a message on its way is left on the
    // provider and its unfinished file removed by the collector itself.
    EndSmartPop(1000);
    webConsole.Stop();
    listeners.Stop(1000);  // step 17
    // A spooler left running may still hand copies to the pool, which then takes no more and
    // stays for the rest of the process.
    robots->Stop();
    if (!spooler) robots.release();
    // A message still being received was never acknowledged: it leaves nothing behind.
    if (spooler) TidySpool();
    status->Refresh();
    return exitCode;
}

}  // namespace pv
