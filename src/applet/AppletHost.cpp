#include "applet/AppletHost.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <set>

#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace pv {

bool CAppletHost::Load(const std::string& path) {
    Unload();
    error_.clear();
    if (!library_.Open(path)) {
        error_ = library_.Error();
        return false;
    }
    entry_ = reinterpret_cast<cpl::CPlAppletFn>(library_.Symbol(cpl::kEntryName));
    if (!entry_) {
        error_ = path + " is not an applet: " + library_.Error();
        library_.Close();
        return false;
    }
    return true;
}

void CAppletHost::Unload() {
    if (entry_ && initialised_) entry_(nullptr, cpl::kExit, 0, 0);
    initialised_ = false;
    entry_ = nullptr;
    library_.Close();
}

int32_t CAppletHost::Send(uint32_t message, intptr_t lParam1, intptr_t lParam2, void* window) {
    return entry_ ? entry_(window, message, lParam1, lParam2) : 0;
}

bool CAppletHost::Initialise() {
    initialised_ = Send(cpl::kInit) != 0;
    return initialised_;
}

int32_t CAppletHost::Count() { return Send(cpl::kGetCount); }

cpl::NewCplInfo CAppletHost::Inquire(int32_t applet) {
    cpl::NewCplInfo info{};
    Send(cpl::kNewInquire, applet, reinterpret_cast<intptr_t>(&info));
    return info;
}

int32_t CAppletHost::DoubleClick(int32_t applet, void* window) {
    return Send(cpl::kDblClk, applet, 0, window);
}

void CAppletHost::Stop(int32_t applet) { Send(cpl::kStop, applet, 0); }

namespace {
std::vector<std::string> AppletFolders() {
    std::vector<std::string> folders;
    const std::string beside = platform::ExecutableDirectory();
    if (!beside.empty()) {
        folders.push_back(beside);
        folders.push_back(platform::DirectoryOf(beside) + "/lib/postvane");
    }
    return folders;
}
}  // namespace

std::string FindApplet(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    for (const std::string& folder : AppletFolders()) {
        std::error_code ec;
        if (fs::is_regular_file(folder + "/" + name, ec)) return folder + "/" + name;
    }
    return "";
}

std::vector<std::string> ListApplets() {
    std::vector<std::string> found;
    std::set<std::string> names;
    for (const std::string& folder : AppletFolders()) {
        std::error_code ec;
        std::vector<std::string> here;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            if (entry.path().extension() == ".cpl" && names.insert(entry.path().filename().string()).second)
                here.push_back(entry.path().string());
        }
        std::sort(here.begin(), here.end());
        found.insert(found.end(), here.begin(), here.end());
    }
    return found;
}

int RunApplet(const std::string& path, std::ostream& err) {
    CAppletHost host;
    if (!host.Load(path)) {
        err << "postvane-control: " << host.Error() << "\n";
        return 1;
    }
    if (!host.Initialise()) {
        err << "postvane-control: " << path << " did not initialise\n";
        return 1;
    }
    const int32_t count = host.Count();
    for (int32_t i = 0; i < count; ++i) host.Inquire(i);
    if (count > 0) host.DoubleClick(0);
    for (int32_t i = 0; i < count; ++i) host.Stop(i);
    host.Unload();
    return 0;
}

int ListAppletsTo(std::ostream& out, std::ostream& err) {
    int status = 0;
    for (const std::string& path : ListApplets()) {
        CAppletHost host;
        if (!host.Load(path) || !host.Initialise()) {
            err << "postvane-control: " << (host.Error().empty() ? path + " did not initialise" : host.Error())
                << "\n";
            status = 1;
            continue;
        }
        const int32_t count = host.Count();
        for (int32_t i = 0; i < count; ++i) {
            cpl::NewCplInfo info = host.Inquire(i);
            out << info.name << ": " << info.info << " (" << fs::path(path).filename().string() << ")\n";
        }
        for (int32_t i = 0; i < count; ++i) host.Stop(i);
    }
    return status;
}

}  // namespace pv
