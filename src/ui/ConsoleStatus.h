// The console status: what the status window does, for a server without a display. Pending
// log lines go to standard output as they come; SIGINT is the operator's OK, SIGTERM and
// SIGHUP a service manager's stop; "PVG:SHOWUI" prints the status rows.
#pragma once

#include <csignal>
#include <iosfwd>
#include <string>

namespace pv {

class CConsoleStatus {
public:
    explicit CConsoleStatus(std::ostream& out);

    // Blocks the stop signals in the calling thread; call before any other thread starts, so
    // that every thread inherits the mask and only Run sees them.
    static void BlockStopSignals();

    // Runs until shut down. Returns when the shutdown is confirmed.
    void Run();
    // One refresh: pending lines out, status rows on request.
    void Refresh();
    void PrintStatusRows();

private:
    bool ConfirmShutdown(bool fromOperator);
    std::ostream& out_;
};

}  // namespace pv
