#include "ToolCommon.h"

#include <cstdlib>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/RegistryKey.h"
#include "platform/Hive.h"
#include "platform/Process.h"

namespace pv::tools {

std::vector<std::string> PrepareTool(int argc, char** argv, bool rescue) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--hive" && i + 1 < argc) {
            platform::SetHivePath(argv[++i]);
        } else if (a.rfind("--hive=", 0) == 0) {
            platform::SetHivePath(a.substr(7));
        } else {
            args.push_back(a);
        }
    }
    SetConfigRoot(kDefaultConfigRoot);
    // The hive is chosen once, by the identity that started the tool: root's default is the
    // system hive, and it stays that hive after the switch to its owner below.
    platform::SetHivePath(platform::HivePath());
    // Root working on the service's hive works as the service's user, or the server could not
    // use what the tool writes.
    std::string error;
    if (!platform::BecomeOwnerOf(platform::HivePath(), error)) {
        std::cerr << argv[0] << ": " << error << "; run it as that user instead.\n";
        std::exit(1);
    }
    struct stat st {};
    if (::stat(platform::HivePath().c_str(), &st) == 0 && !platform::Hive::Acquire() &&
        platform::Hive::LastOpenDamaged()) {
        if (!rescue || st.st_size == 0) {
            std::cerr << argv[0] << ": " << platform::Hive::LastOpenError() << ".\n";
            std::exit(1);
        }
        // Only reads follow: what can still be read is saved, the store stays as it is.
        std::cerr << argv[0] << ": the configuration store " << platform::HivePath()
                  << " is damaged: the export holds only what can still be read; look it over before importing it.\n";
        platform::Hive::SetRescueMode(true);
    }
    return args;
}

std::string Ask(const std::string& question, const std::string& defaultAnswer) {
    std::cout << question;
    if (!defaultAnswer.empty()) std::cout << " [" << defaultAnswer << "]";
    std::cout << ": " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return defaultAnswer;
    size_t b = line.find_first_not_of(" \t\r");
    size_t e = line.find_last_not_of(" \t\r");
    line = b == std::string::npos ? "" : line.substr(b, e - b + 1);
    return line.empty() ? defaultAnswer : line;
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
    std::string name = buf;
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace pv::tools
