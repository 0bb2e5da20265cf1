// CServerApp: start-up and shutdown of the server program.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/Listeners.h"
#include "ui/StatusDisplay.h"

namespace pv {

struct ServerOptions {
    bool headless = true;
    bool assumeYes = false;
    // Makes the desktop status window (step 11) when the program runs with a display; unset,
    // or with headless on, the console status runs instead.
    std::function<std::unique_ptr<StatusDisplay>()> makeWindow;
};

class CServerApp {
public:
    explicit CServerApp(ServerOptions options);
    // Starts everything, runs the status display until the operator closes it, then stops the
    // workers in order. Returns the process exit code.
    int Run();

private:
    bool EnsureConfigured();
    bool CheckSpoolRoot();
    void CreateSpoolFolders();
    void CreateSystemMailboxes();
    void TidySpool();
    // Each service whose port could not be opened: with the window, a message box naming the
    // port and what holds it, and the other services run on; headless, the same on standard
    // error and in the log, and false: a start-up failure (the service manager restarts the
    // server once the port is free).
    bool ReportListenFailures(const std::vector<net::ListenFailure>& failures, bool windowed);

    ServerOptions options_;
    std::string spoolRoot_;
};

}  // namespace pv
