// The control panel's side of CPlApplet: load an applet library and talk to it.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "applet/Cpl.h"
#include "platform/SharedLibrary.h"

namespace pv {

class CAppletHost {
public:
    ~CAppletHost() { Unload(); }

    // Loads the library and finds CPlApplet; Error() says what failed.
    bool Load(const std::string& path);
    // Sends exit when the applet was initialised, then unloads it.
    void Unload();
    const std::string& Error() const { return error_; }

    int32_t Send(uint32_t message, intptr_t lParam1 = 0, intptr_t lParam2 = 0, void* window = nullptr);
    bool Initialise();
    int32_t Count();
    cpl::NewCplInfo Inquire(int32_t applet);
    int32_t DoubleClick(int32_t applet, void* window = nullptr);
    void Stop(int32_t applet);

private:
    platform::SharedLibrary library_;
    cpl::CPlAppletFn entry_ = nullptr;
    bool initialised_ = false;
    std::string error_;
};

// Where a bare applet name is looked for: beside the running program, then in
// <prefix>/lib/postvane beside its folder. A name with a slash is taken as it is.
std::string FindApplet(const std::string& name);
// The applet libraries (*.cpl) in those folders, sorted, without repeats of a name.
std::vector<std::string> ListApplets();

// The control panel's whole run for one library: initialise, count, inquire every applet,
// open the first, stop every applet, exit. Returns the program's exit status.
int RunApplet(const std::string& path, std::ostream& err);
// Lists every applet of every library found, one "name: description (file)" line each.
int ListAppletsTo(std::ostream& out, std::ostream& err);

}  // namespace pv
