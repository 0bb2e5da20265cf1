// The finger request: an input is what a client sends; the answer is built and sent, then
// the rest of the input is drained as from a client that keeps sending.
#include <string_view>

#include "FuzzSupport.h"
#include "core/AppEvents.h"
#include "finger/FingerServer.h"
#include "platform/Events.h"

namespace {

class FuzzedFinger : public pvfuzz::FedConversation<pv::CFingerServer> {
public:
    using FedConversation::FedConversation;

    void Run() {
        if (!Attach(pvfuzz::ServerSocketCopy())) return;
        while (Step()) {
        }
        HangUp();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pvfuzz::Setup();
    {
        FuzzedFinger conversation(std::string_view(reinterpret_cast<const char*>(data), size));
        conversation.Run();
    }
    // "dialnow" asks for a connection; the next input starts without the request.
    pv::ConnectRequestEvent().Reset();
    pvfuzz::DrainLog();
    return 0;
}
