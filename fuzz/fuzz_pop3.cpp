// The POP3 command interpreter: an input is what a client sends after the greeting. The
// mailbox "alice" (password "secret") holds three messages; whatever a run deletes or locks
// is put back before the next.
#include <string_view>

#include "FuzzSupport.h"
#include "pop3/PopServer.h"

namespace {

class FuzzedPop : public pv::CPopServer {
public:
    explicit FuzzedPop(std::string_view input) : source_(input) {}

    void Run() {
        if (!Attach(pvfuzz::ServerSocketCopy())) return;
        OnSend();  // the greeting
        while (Socket() != pv::net::kInvalidSocket) {
            if (passDelay_) {
                // The pause after a wrong password is over at once: the answer follows.
                passDelay_ = false;
                OnThreadMessage({kWmPassDelayOver, 0, 0});
                continue;
            }
            if (source_.Empty()) break;
            const size_t before = source_.Left();
            OnReceive();
            OnSend();
            if (source_.Left() == before && !passDelay_) break;
        }
        if (Socket() != pv::net::kInvalidSocket) OnClose();
    }

protected:
    int Receive(void* buffer, int size, int) override { return source_.Take(buffer, size); }
    int Send(const void* data, int length, int) override {
        pvfuzz::TraceSent(data, length);
        return length;
    }
    bool StartPassDelay(std::chrono::milliseconds) override {
        passDelay_ = true;
        return true;
    }

private:
    pvfuzz::ByteSource source_;
    bool passDelay_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    pvfuzz::Setup();
    {
        FuzzedPop conversation(std::string_view(reinterpret_cast<const char*>(data), size));
        conversation.Run();
    }
    pvfuzz::RestoreAlice();
    pvfuzz::DrainLog();
    return 0;
}
