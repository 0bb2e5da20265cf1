// The applet library's side of CPlApplet: the default answers and the one Postvane applet.
#pragma once

#include <cstdint>

#include "applet/Cpl.h"

namespace pv {

// Default answers to every control-panel message; an applet overrides what it needs.
class CCplApplet {
public:
    virtual ~CCplApplet() = default;
    virtual int32_t DoubleClick(void* window, intptr_t lParam1, intptr_t lParam2);
    virtual int32_t Exit();
    virtual int32_t GetCount();
    virtual int32_t Init();
    virtual int32_t NewInquire(cpl::NewCplInfo& info);
    virtual int32_t Select();
    virtual int32_t Stop();

    // Dispatches one message of CPlApplet to the operations above.
    int32_t Dispatch(void* window, uint32_t message, intptr_t lParam1, intptr_t lParam2);

protected:
    // Fills the record the way every applet does; `iconResource` is loaded when it exists.
    static void FillInfo(cpl::NewCplInfo& info, uint32_t iconResource, const char* name,
                         const char* description, const char* helpFile);
};

// "Mail Gateway": the sheet "Postvane Properties" over the server's configuration.
class CMailGatewayApplet : public CCplApplet {
public:
    int32_t DoubleClick(void* window, intptr_t lParam1, intptr_t lParam2) override;
    int32_t NewInquire(cpl::NewCplInfo& info) override;
};

// Whether the library holds icon resource `number`, and where a host finds its image.
bool HasIconResource(uint32_t number);

}  // namespace pv

extern "C" __attribute__((visibility("default"))) int32_t CPlApplet(void* window, uint32_t message,
                                                                   intptr_t lParam1, intptr_t lParam2);
