// postvane: the mail gateway server.
#include <cstring>
#include <iostream>

#include "app/ServerApp.h"
#include "platform/Hive.h"

namespace {
void Usage(std::ostream& out) {
    out << "usage: postvane [--headless] [--yes]\n"
           "  --headless  run without a window: log lines go to standard output; Ctrl-C asks to stop\n"
           "  --yes       answer Yes to start-up questions when no terminal can be asked\n"
           "The configuration store is $POSTVANE_HIVE (see README.md).\n";
}
}  // namespace

int main(int argc, char** argv) {
    // Before anything reads the hive: the server later changes into its spool folder.
    pv::platform::MakeHivePathAbsolute();
    pv::ServerOptions options;
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
    return pv::CServerApp(options).Run();
}
