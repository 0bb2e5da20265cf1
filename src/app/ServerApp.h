// CServerApp: start-up and shutdown of the server program.
#pragma once

#include <string>

namespace pv {

struct ServerOptions {
    bool headless = true;
    bool assumeYes = false;
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

    ServerOptions options_;
    std::string spoolRoot_;
};

}  // namespace pv
