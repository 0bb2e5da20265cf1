// postvane-send: sends the outbound queue to the gateway now, in one run, and waits for it to
// end. The log lines of the run go to standard output as the server would log them.
//
// Exit status:
//   0 every message of the run was sent to all its recipients;
//   1 the run failed (no connection, no greeting, time-out);
//   2 usage or configuration error;
//   3 messages stay queued (refused for now, or the conversation ended early);
//   4 every message left the queue, but some messages or recipients were refused for good and
//     reported to their senders (set aside);
//   5 another transmitter (the server's, or a second postvane-send) was working on the queue;
//     nothing was sent.
#include <iostream>
#include <set>
#include <string>

#include "ToolCommon.h"
#include "core/Folders.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"
#include "platform/Events.h"
#include "platform/Hive.h"
#include "smtp/SmtpSend.h"

namespace {

void Usage(std::ostream& out) {
    out << "usage: postvane-send [--hive PATH]\n"
           "Sends every message waiting in the outbound queue to the configured Gateway in one\n"
           "SMTP conversation, as the server's transmit run does, and waits until it ends.\n";
}

std::set<std::string> WorkFiles(const std::string& folder) {
    const auto names = pv::ListFolderNames(folder, ".wrk");
    return {names.begin(), names.end()};
}

void PrintLog() {
    std::string line;
    while (pv::TakePendingLine(line)) std::cout << line << '\n';
    std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
    auto args = pv::tools::PrepareTool(argc, argv);
    if (!args.empty()) {
        const bool help = args[0] == "--help" || args[0] == "-h";
        Usage(help ? std::cout : std::cerr);
        return help ? 0 : 2;
    }
    if (pv::SpoolRoot().empty()) {
        std::cerr << "postvane-send: no spool folder (Maildrop) is configured in " << pv::platform::HivePath()
                  << ". Run postvane-wizard first, or point --hive at the server's hive.\n";
        return 2;
    }
    const std::string outbox = pv::QueueDirectory(pv::kOutboxDir);
    const std::set<std::string> before = WorkFiles(outbox);
    if (before.empty()) {
        std::cout << "postvane-send: nothing waits in " << outbox << "\n";
        return 0;
    }

    pv::SetTransmitFailed(false);
    pv::net::ThreadHandle run = pv::CSMTPSend::StartRun();
    if (run.Valid()) {
        while (!run.Wait(100)) PrintLog();
    }
    PrintLog();

    // The run's lock decides who sends; the server's own run may hold it.
    const pv::TransmitTotals totals = pv::LastTransmitTotals();
    if (totals.busy) {
        std::cerr << "postvane-send: another transmitter is sending the outbound queue right now; nothing was sent. "
                     "Try again when it has ended.\n";
        return 5;
    }
    size_t remaining = 0;
    for (const auto& name : WorkFiles(outbox)) remaining += before.count(name);
    if (pv::TransmitFailed()) {
        std::cerr << "postvane-send: the run failed (see the log lines above); " << remaining << " of "
                  << before.size() << " messages stay queued in " << outbox << ".\n";
        return 1;
    }
    if (remaining > 0) {
        std::cerr << "postvane-send: " << remaining << " of " << before.size() << " messages stay queued in "
                  << outbox << " (see the log lines above); run postvane-send again later.\n";
        return 3;
    }
    if (totals.reported > 0 || totals.setAside > 0) {
        std::cerr << "postvane-send: " << totals.setAside << " message(s) set aside and " << totals.reported
                  << " failure report(s) written for refusals (see the log lines above).\n";
        return 4;
    }
    return 0;
}
