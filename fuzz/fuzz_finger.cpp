// The finger request: an input is what a client sends; the answer is built and sent, then
// the rest of the input is drained as from a client that keeps sending.
#include <string_view>

#include "FuzzSupport.h"
#include "core/AppEvents.h"
#include "finger/FingerServer.h"
#include "platform/Events.h"

namespace {

class FuzzedFinger : public pv::CFingerServer {
public:
    explicit FuzzedFinger(std::string_view input) : source_(input) {}

    void Run() {
        if (!Attach(pvfuzz::ServerSocketCopy())) return;
        while (Socket() != pv::net::kInvalidSocket && !source_.Empty()) {
            const size_t before = source_.Left();
            OnReceive();
            OnSend();
            if (source_.Left() == before) break;
        }
        if (Socket() != pv::net::kInvalidSocket) OnClose();
    }

protected:
    int Receive(void* buffer, int size, int) override { return source_.Take(buffer, size); }
    int Send(const void* data, int length, int) override {
        pvfuzz::TraceSent(data, length);
        return length;
    }

private:
    pvfuzz::ByteSource source_;
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
