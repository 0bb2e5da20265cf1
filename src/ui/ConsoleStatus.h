// The console status: what the status window does, for a server without a display. Pending
// log lines go to standard output as they come; SIGINT is the operator's OK, SIGTERM and
// SIGHUP a service manager's stop; "PVG:SHOWUI" prints the status rows.
#pragma once

#include <csignal>
#include <iosfwd>
#include <string>

#include "ui/StatusDisplay.h"

namespace pv {

class CConsoleStatus : public StatusDisplay {
public:
    explicit CConsoleStatus(std::ostream& out);

    // Blocks the stop signals in the calling thread; call before any other thread starts, so
    // that every thread inherits the mask and only Run sees them.
    static void BlockStopSignals();
    // A stop signal waiting for this process (SIGINT, SIGTERM or SIGHUP), taken; 0 when none.
    // The desktop window polls it at each refresh.
    static int TakeStopSignal();

    // Runs until shut down. Returns when the shutdown is confirmed.
    void Run() override;
    // One refresh: pending lines out, status rows on request.
    void Refresh() override;
    void PrintStatusRows();

private:
    bool ConfirmShutdown(bool fromOperator);
    std::ostream& out_;
};

}  // namespace pv
