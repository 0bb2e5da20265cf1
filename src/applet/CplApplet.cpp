#include "applet/CplApplet.h"

#include <QApplication>
#include <QFile>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "applet/PropertySheet.h"
#include "core/RegistryKey.h"
#include "platform/Paths.h"
#include "platform/SharedLibrary.h"

namespace pv {

namespace {
constexpr uint32_t kGatewayIcon = 129;

QString IconResourcePath(uint32_t number) {
    return QStringLiteral(":/postvane-cpl/icons/%1.svg").arg(number);
}

void CopyText(char* to, size_t size, const char* from) {
    std::strncpy(to, from, size - 1);
    to[size - 1] = '\0';
}
}  // namespace

// The README installed with the package: <prefix>/share/doc/postvane, the library being in
// <prefix>/lib/postvane.
static std::string HelpFile() {
    const std::string library = platform::LibraryPathOf(reinterpret_cast<const void*>(&CPlApplet));
    const std::string prefix = platform::DirectoryOf(platform::DirectoryOf(platform::DirectoryOf(library)));
    return prefix + "/share/doc/postvane/README.md";
}

bool HasIconResource(uint32_t number) { return QFile::exists(IconResourcePath(number)); }

int32_t CCplApplet::DoubleClick(void*, intptr_t, intptr_t) { return 0; }
int32_t CCplApplet::Exit() { return 0; }
int32_t CCplApplet::GetCount() { return 1; }
int32_t CCplApplet::Init() { return 1; }
int32_t CCplApplet::Select() { return 1; }
int32_t CCplApplet::Stop() { return 1; }

int32_t CCplApplet::NewInquire(cpl::NewCplInfo& info) {
    FillInfo(info, 1, "Applet", "Raw Cpl Applet", "");
    return 0;
}

void CCplApplet::FillInfo(cpl::NewCplInfo& info, uint32_t iconResource, const char* name,
                          const char* description, const char* helpFile) {
    std::memset(&info, 0, sizeof info);
    info.size = cpl::kNewCplInfoSize;
    info.icon = HasIconResource(iconResource) ? iconResource : 0;
    CopyText(info.name, sizeof info.name, name);
    CopyText(info.info, sizeof info.info, description);
    CopyText(info.helpFile, sizeof info.helpFile, helpFile);
}

int32_t CCplApplet::Dispatch(void* window, uint32_t message, intptr_t lParam1, intptr_t lParam2) {
    switch (message) {
    case cpl::kInit: return Init();
    case cpl::kGetCount: return GetCount();
    case cpl::kInquire: return 0;
    case cpl::kSelect: return Select();
    case cpl::kDblClk: return DoubleClick(window, lParam1, lParam2);
    case cpl::kStop: return Stop();
    case cpl::kExit: return Exit();
    case cpl::kNewInquire:
        // A host that passes no record gets the same answer without anything filled.
        if (lParam2 == 0) return 0;
        return NewInquire(*reinterpret_cast<cpl::NewCplInfo*>(lParam2));
    default: return 1;
    }
}

int32_t CMailGatewayApplet::NewInquire(cpl::NewCplInfo& info) {
    FillInfo(info, kGatewayIcon, "Mail Gateway", "Postvane Properties", HelpFile().c_str());
    return 0;
}

int32_t CMailGatewayApplet::DoubleClick(void*, intptr_t, intptr_t) {
    // A host without Qt of its own gets an application for as long as the sheet is up.
    std::unique_ptr<QApplication> ownApp;
    if (!QApplication::instance()) {
        if (!std::getenv("QT_QPA_PLATFORM") && !platform::DisplayReachable()) {
            std::fputs("Postvane Properties needs a display; postvane-reg changes the settings from a terminal.\n",
                       stderr);
            return 0;
        }
        static int argc = 1;
        static char name[] = "postvane-control";
        static char* argv[] = {name, nullptr};
        ownApp = std::make_unique<QApplication>(argc, argv);
    }
    SetConfigRoot(kDefaultConfigRoot);
    RunPropertySheet();
    return 0;
}

}  // namespace pv

namespace {
// The one applet object, alive as long as the library is loaded.
pv::CMailGatewayApplet theApplet;
}  // namespace

extern "C" int32_t CPlApplet(void* window, uint32_t message, intptr_t lParam1, intptr_t lParam2) {
    return theApplet.Dispatch(window, message, lParam1, lParam2);
}
