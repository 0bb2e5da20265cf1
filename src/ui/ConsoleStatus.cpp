#include "ui/ConsoleStatus.h"

#include <cerrno>
#include <ctime>
#include <ostream>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "platform/MessageBox.h"

namespace pv {

namespace {
sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

CConsoleStatus::CConsoleStatus(std::ostream& out) : out_(out) {}

void CConsoleStatus::BlockStopSignals() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int CConsoleStatus::TakeStopSignal() {
    sigset_t set = StopSignals();
    timespec now {0, 0};
    int sig = sigtimedwait(&set, nullptr, &now);
    return sig > 0 ? sig : 0;
}

void CConsoleStatus::Refresh() {
    std::string line;
    bool any = false;
    while (TakePendingLine(line)) {
        out_ << line << '\n';
        any = true;
    }
    // postvane-ctl connect/disconnect: the Connect and Disconnect buttons of a headless server.
    if (Events().TakeRequest(platform::ControlRequest::Connect)) OperatorConnect();
    if (Events().TakeRequest(platform::ControlRequest::Disconnect)) OperatorDisconnect();
    if (Events().Test(NamedEvent::ShowUi)) {
        PrintStatusRows();
        any = true;
    }
    if (any) out_.flush();
}

void CConsoleStatus::PrintStatusRows() { out_ << StatusRows(ConnectionStatusText()); }

bool CConsoleStatus::ConfirmShutdown(bool fromOperator) {
    // A service manager's stop is not a question; the operator is asked while mail moves.
    if (fromOperator && AnyServiceActive()) {
        int answer = platform::MessageBox(
            "The mail system is currently active\nShutting down may lose data\nAre you sure you wish to continue",
            "Mail transfer in progress", platform::kMbYesNo | platform::kMbIconWarning);
        if (answer != platform::kIdYes) return false;
    }
    OperatorDisconnect();
    return true;
}

void CConsoleStatus::Run() {
    sigset_t set = StopSignals();
    for (;;) {
        Refresh();
        timespec tick {0, 250 * 1000 * 1000};
        int sig = sigtimedwait(&set, nullptr, &tick);
        if (sig < 0) continue;  // the tick, or EINTR
        if (ConfirmShutdown(sig == SIGINT)) break;
    }
    Refresh();
}

}  // namespace pv
