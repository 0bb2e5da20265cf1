// postvane: the mail gateway server. Built twice: `postvane` without the desktop libraries,
// which hands a run with a display to `postvane-window` when the desktop part is installed and
// otherwise runs headless; and `postvane-window` (POSTVANE_WINDOW), the same server with the Qt
// status window and tray icon.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

#include "app/ServerApp.h"
#include "platform/Hive.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "ui/ConsoleStatus.h"

#ifdef POSTVANE_WINDOW
#include <QApplication>

#include "platform/QtMessageBox.h"
#include "ui/StatusDlg.h"
#endif

namespace {
#ifndef POSTVANE_WINDOW
constexpr const char* kWindowProgram = "postvane-window";
#endif

bool HaveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

void Usage(std::ostream& out) {
    out << "usage: postvane [--headless] [--yes]\n"
           "  --headless  run without a window even when a display is available: log lines go to\n"
           "              standard output; Ctrl-C asks to stop. Without a display this is the default.\n"
           "  --yes       answer Yes to start-up questions when no terminal can be asked\n"
           "The configuration store is $POSTVANE_HIVE (see README.md).\n";
}
}  // namespace

int main(int argc, char** argv) {
    // Before anything reads the hive: the server later changes into its spool folder.
    pv::platform::MakeHivePathAbsolute();
    pv::ServerOptions options;
    options.headless = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--headless")) {
            options.headless = true;
        } else if (!std::strcmp(argv[i], "--yes")) {
            options.assumeYes = true;
        } else if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            Usage(std::cout);
            return 0;
        } else if (!std::strcmp(argv[i], "--version")) {
            std::cout << "Postvane 1.0 Pre-release\n";
            return 0;
        } else {
            std::cerr << "postvane: unknown option " << argv[i] << "\n";
            Usage(std::cerr);
            return 2;
        }
    }
    if (!options.headless && !HaveDisplay()) options.headless = true;
    // A display that is named but gone (a closed session, a stale forwarded one) would end the
    // program inside the window system: the server runs without a window instead.
    if (!options.headless && !pv::platform::DisplayReachable()) {
        std::cerr << "postvane: the display cannot be reached; running without a window (use --headless to say so)\n";
        options.headless = true;
    }
    if (options.headless) return pv::CServerApp(options).Run();

#ifndef POSTVANE_WINDOW
    // The window lives in the desktop part; without it the server runs headless.
    const std::string window = pv::platform::FindProgram(kWindowProgram);
    if (!window.empty()) {
        std::string error;
        pv::platform::ReplaceProcess(window, argv, error);
        std::cerr << "postvane: " << error << "; running without a window\n";
    } else {
        std::cerr << "postvane: the status window is not installed (package postvane-desktop); running without a window\n";
    }
    options.headless = true;
    return pv::CServerApp(options).Run();
#else
    // Before Qt starts its own threads: they must inherit the blocked stop signals, which the
    // window then takes at its refresh.
    pv::CConsoleStatus::BlockStopSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName("Postvane");
    // Hiding the window to the notification area must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    pv::platform::InstallQtMessageBoxes();
    options.makeWindow = [] { return std::make_unique<pv::CStatusDlg>(); };
    return pv::CServerApp(options).Run();
#endif
}
