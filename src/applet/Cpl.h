// The control-panel applet: the message numbers and record that an applet host and an applet agree on.
//
// An applet library exports one function, CPlApplet, and the host drives it with the numbered
// messages below. The information record has a fixed layout of 244 bytes, so a host and an
// applet built apart still agree on it.
#pragma once

#include <cstdint>

namespace pv::cpl {

enum Message : uint32_t {
    kInit = 1,        // result 1: the applet is ready
    kGetCount = 2,    // result: how many applets the library holds
    kInquire = 3,     // old-style inquiry: answered with 0, the reply is left alone
    kSelect = 4,
    kDblClk = 5,      // open applet number lParam1
    kStop = 6,        // applet number lParam1 is about to go
    kExit = 7,        // the library is about to be unloaded
    kNewInquire = 8,  // lParam2 points at a NewCplInfo to fill
};

// What a new-style inquiry fills in. `icon` is the number of the applet's icon resource once
// it has been loaded (0: none); the host shows it with CPlIconPath.
struct NewCplInfo {
    uint32_t size;
    uint32_t flags;
    uint32_t helpContext;
    int32_t appletData;
    uint32_t icon;
    char name[32];
    char info[64];
    char helpFile[128];
};
static_assert(sizeof(NewCplInfo) == 244, "the record's layout is fixed");
inline constexpr uint32_t kNewCplInfoSize = 244;

// CPlApplet(control panel window, message, parameter 1, parameter 2).
using CPlAppletFn = int32_t (*)(void* window, uint32_t message, intptr_t lParam1, intptr_t lParam2);
inline constexpr const char* kEntryName = "CPlApplet";

}  // namespace pv::cpl
