// pv-smartpop-run: one SmartPop collection run outside the server, for the tests and the
// benchmark. It starts the collectors exactly as the connection manager does, prints the log
// lines as they come, then "PVG:SMARTPOP clear" once the event is reset and every collector has
// ended, and the run's wall time. No spooler runs beside it, so what the collectors stored
// stays in the inbox to be looked at.
//
//   pv-smartpop-run [--hive PATH] [--twice]
//     --twice   starts a second run right after the first (one run per account must hold)
//     --sync-trace FILE
//               appends the path of every file and folder flushed to FILE as the flush ends, so
//               a test can see what was durable at any moment of the conversation
#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "ToolCommon.h"
#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/TextFile.h"
#include "platform/Hive.h"
#include "pop3/SmartPop.h"

namespace {

std::FILE* g_trace = nullptr;

void TraceSync(const std::string& path) {
    std::fprintf(g_trace, "%s\n", path.c_str());
    std::fflush(g_trace);  // seen by the test before the collector's next command goes out
}

void Drain() {
    std::string line;
    while (pv::TakePendingLine(line)) std::cout << line << "\n";
    std::cout.flush();
}

}  // namespace

int main(int argc, char** argv) {
    auto args = pv::tools::PrepareTool(argc, argv);
    bool twice = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--twice") twice = true;
        if (args[i] == "--sync-trace" && i + 1 < args.size()) {
            g_trace = std::fopen(args[++i].c_str(), "a");
            if (!g_trace) return 1;
            pv::SetSyncObserver(&TraceSync);
        }
    }
    if (!pv::platform::Hive::Acquire()) {
        std::cerr << "pv-smartpop-run: cannot open the hive " << pv::platform::HivePath() << "\n";
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    int started = pv::StartSmartPop();
    if (twice) started += pv::StartSmartPop();
    std::cout << "started " << started << "\n";
    // Until the event is reset, which the last collector does as it ends.
    while (pv::Events().Test(pv::NamedEvent::SmartPop) || pv::SmartPopCount() > 0) {
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // The event is reset in the collector's destructor, before its connection (and TLS session)
    // is released: the threads themselves are waited for before the process ends.
    pv::EndSmartPop(10000);
    Drain();
    std::cout << "PVG:SMARTPOP clear\n"
              << "elapsed_ms " << std::chrono::duration<double, std::milli>(elapsed).count() << std::endl;
    return 0;
}
