// The status window's own cost: CPU time of the GUI thread (refresh and painting) over a stretch
// with a full log list and five services toggling, on whatever display $DISPLAY names.
//
//     status_window_bench [seconds]      (default 60; bench/status_window_cost.sh runs it on Xvfb)
#include <QApplication>
#include <QTimer>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <time.h>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"
#include "ui/StatusDlg.h"

namespace fs = std::filesystem;

static double ThreadCpuSeconds() {
    timespec t {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    char pattern[] = "/tmp/pvbench-XXXXXX";
    fs::path dir = ::mkdtemp(pattern);
    fs::create_directories(dir / "spool" / "outbox");
    pv::platform::SetHivePath((dir / "registry.db").string());
    pv::SetConfigRoot(pv::kDefaultConfigRoot);
    pv::CRegistryKey("", true).WriteString("Maildrop", (dir / "spool").string());
    pv::Events().ResetAll();
    pv::Events().Signal(pv::NamedEvent::Offline);
    pv::SetConnectionStatusText("Offline");

    QApplication app(argc, argv);
    pv::CStatusDlg dlg;
    dlg.show();
    for (int i = 0; i < pv::CStatusDlg::kLogMaxRows; ++i) pv::WriteLogLine("Filling line " + std::to_string(i));

    // Five services change state every 100 ms and a log line comes every 500 ms: busier than an
    // office's day, so every refresh has rows to rewrite and the list trims now and then.
    std::atomic<bool> stop {false};
    std::thread services([&] {
        const pv::NamedEvent five[] = {pv::NamedEvent::SmtpRc, pv::NamedEvent::SmtpTr, pv::NamedEvent::PopServer,
                                       pv::NamedEvent::SmartPop, pv::NamedEvent::Finger};
        for (int tick = 0; !stop; ++tick) {
            for (int i = 0; i < 5; ++i) {
                ((tick + i) % 2) ? pv::Events().Signal(five[i]) : pv::Events().Reset(five[i]);
            }
            pv::SetConnectionStatusText(tick % 20 < 10 ? "Offline" : "Online");
            if (tick % 5 == 0) pv::WriteLogLine("Accepted connection from 127.0.0.1, tick " + std::to_string(tick));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    const double cpuStart = ThreadCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    // exit(), not quit(): quit() first asks the windows to close, and the status window only hides.
    QTimer::singleShot(seconds * 1000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    stop = true;
    services.join();

    std::printf("status window: %.3f s CPU of the GUI thread in %.1f s (%.3f%% of one core); %d log rows shown\n",
                cpu, wall, 100.0 * cpu / wall, dlg.LogList()->topLevelItemCount());
    pv::platform::SetHivePath("");
    fs::remove_all(dir);
    return 0;
}
