// postvane-ctl: shows the server's named events and signals the two requests that other
// programs may make.
#include <iostream>

#include "ToolCommon.h"
#include "core/AppEvents.h"
#include "platform/Events.h"
#include "platform/Hive.h"

using pv::platform::NamedEvent;
using pv::platform::NamedEvents;

namespace {

void Usage(std::ostream& out) {
    out << "usage: postvane-ctl [--hive PATH] COMMAND\n"
           "  status         show whether the server runs and the state of the ten events\n"
           "  connect        ask the server to go online now (the operator's Connect)\n"
           "  disconnect     ask the server to end its online session or connection attempt\n"
           "                 (the operator's Disconnect; also withdraws a SmartPop poll request)\n"
           "  poll           ask the server to collect SmartPop mail (PVG:POLLSMARTPOP)\n"
           "  showui         print the status rows, and ask the status window to show its icon\n"
           "                 again (PVG:SHOWUI)\n"
           "  test NAME      exit 0 when the event NAME (e.g. PVG:SMTPRC) is signalled, else 1\n";
}

}  // namespace

int main(int argc, char** argv) {
    auto args = pv::tools::PrepareTool(argc, argv);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        Usage(args.empty() ? std::cerr : std::cout);
        return args.empty() ? 2 : 0;
    }
    const std::string hive = pv::platform::HivePath();
    auto& events = NamedEvents::Get();
    if (!events.Available()) {
        std::cerr << "postvane-ctl: cannot open the events next to " << hive
                  << ": check that the folder exists and is writable, or set POSTVANE_HIVE.\n";
        return 1;
    }
    const std::string& cmd = args[0];
    if (cmd == "status") {
        bool running = pv::platform::InstanceLock::HeldByOther(hive);
        std::cout << "Hive: " << hive << "\n"
                  << "Server: " << (running ? "running" : "not running") << "\n";
        for (int i = 0; i < pv::platform::kNamedEventCount; ++i) {
            auto ev = static_cast<NamedEvent>(i);
            std::cout << pv::platform::NamedEventName(ev) << ": "
                      << (events.Peek(ev) ? "signalled" : "not signalled") << "\n";
        }
        return 0;
    }
    if (cmd == "poll" || cmd == "showui") {
        const bool running = pv::platform::InstanceLock::HeldByOther(hive);
        if (!running) {
            std::cerr << "postvane-ctl: no server runs on " << hive
                      << ": the request is recorded, but a server that starts later clears it. Start postvane first.\n";
        }
        events.Signal(cmd == "poll" ? NamedEvent::PollSmartPop : NamedEvent::ShowUi);
        if (cmd == "showui") {
            // The rows here too, as far as another process can see them: the server's own
            // dialing steps show in its window or output.
            std::string connection = "not running";
            if (running) {
                const std::string noRelay = pv::NoRelayText();
                connection = events.Peek(NamedEvent::Online) ? "Online" : noRelay.empty() ? pv::kStatusOffline : noRelay;
            }
            std::cout << pv::StatusRows(connection);
        }
        return 0;
    }
    if (cmd == "connect" || cmd == "disconnect") {
        // Only a running server can act on these: a request left for a later start would
        // connect or disconnect at a moment nobody chose.
        if (!pv::platform::InstanceLock::HeldByOther(hive)) {
            std::cerr << "postvane-ctl: no server runs on " << hive << "; start postvane first.\n";
            return 1;
        }
        events.PostRequest(cmd == "connect" ? pv::platform::ControlRequest::Connect
                                            : pv::platform::ControlRequest::Disconnect);
        return 0;
    }
    if (cmd == "test" && args.size() == 2) {
        auto ev = pv::platform::NamedEventByName(args[1]);
        if (!ev) {
            std::cerr << "postvane-ctl: unknown event " << args[1] << " (names run from PVG:RUNNING to PVG:SHOWUI)\n";
            return 2;
        }
        return events.Test(*ev) ? 0 : 1;
    }
    std::cerr << "postvane-ctl: unknown command " << cmd << "\n";
    Usage(std::cerr);
    return 2;
}
