// StatusDisplay: what start-up needs of the operator's display, so that the server runs the
// console status or the desktop window without knowing which.
#pragma once

namespace pv {

class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;
    // Runs until the operator (or a service manager) shuts the server down.
    virtual void Run() = 0;
    // One refresh, also used once after the workers have stopped for the last log lines.
    virtual void Refresh() = 0;
};

}  // namespace pv
