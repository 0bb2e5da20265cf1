#include "dialup/DialerConfig.h"

#include <string>

#include "core/RegistryKey.h"

namespace pv::dialup {

std::vector<platform::SimulatedEntry> ReadSimulatorScript() {
    std::vector<platform::SimulatedEntry> script;
    CRegistryKey root("Simulator", false);
    if (!root.IsOpen()) return script;
    std::vector<std::string> names;
    root.ListSubkeys(names);
    for (const auto& name : names) {
        CRegistryKey key("Simulator\\" + name, false);
        platform::SimulatedEntry e;
        e.name = name;
        // Counts read as signed: a value that is not there, or a negative one, means "never".
        int32_t v = -1;
        if (key.ReadInt("ConnectAfter", v) && v >= 0) e.connectAfter = v;
        v = -1;
        if (key.ReadInt("DropAfter", v) && v >= 0) e.dropAfter = v;
        v = -1;
        if (key.ReadInt("DropTimes", v) && v >= 0) e.dropTimes = v;
        uint32_t u = 0;
        key.ReadIntOrZero("FailCode", u);
        e.failCode = u;
        key.ReadIntOrZero("External", u);
        e.external = u != 0;
        script.push_back(e);
    }
    return script;
}

std::unique_ptr<platform::IDialer> MakeConfiguredDialer() {
    std::string kind;
    CRegistryKey advCon("AdvCon", false);
    advCon.ReadString("Dialer", kind);
    if (kind == "simulator") return platform::MakeSimulatedDialer(&ReadSimulatorScript);
    platform::PppdPaths paths;
    // Installations with pppd elsewhere name its places; absent values keep Debian's.
    CRegistryKey pppd("Pppd", false);
    std::string value;
    if (pppd.ReadString("Program", value) && !value.empty()) paths.program = value;
    if (pppd.ReadString("Peers", value) && !value.empty()) paths.peersDir = value;
    if (pppd.ReadString("RunDir", value) && !value.empty()) paths.runDir = value;
    return platform::MakePppdDialer(paths);
}

}  // namespace pv::dialup
