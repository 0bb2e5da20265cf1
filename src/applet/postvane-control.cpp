// postvane-control: the control panel. With an applet library's name it opens that applet;
// with none it lists the applets beside itself.
#include <cstring>
#include <iostream>

#include "applet/AppletHost.h"

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (!std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")))) {
        std::cerr << "usage: postvane-control [applet.cpl]\n";
        return argc > 2 ? 2 : 0;
    }
    if (argc == 1) return pv::ListAppletsTo(std::cout, std::cerr);
    const std::string path = pv::FindApplet(argv[1]);
    if (path.empty()) {
        std::cerr << "postvane-control: no applet " << argv[1] << " beside this program\n";
        return 1;
    }
    return pv::RunApplet(path, std::cerr);
}
