// The POP3 command interpreter: an input is what a client sends after the greeting. The
// mailbox "alice" (password "secret") holds three messages; whatever a run deletes or locks
// is put back before the next.
#include <string_view>

#include "FuzzSupport.h"
#include "auth/LoginThrottle.h"
#include "pop3/PopServer.h"

namespace {

class FuzzedPop : public pvfuzz::FedConversation<pv::CPopServer> {
public:
    using FedConversation::FedConversation;

    void Run() {
        if (!Attach(pvfuzz::ServerSocketCopy())) return;
        OnSend();  // the greeting
        while (Connected()) {
            if (passDelay_) {
                // The pause after a wrong password is over at once: the answer follows.
                passDelay_ = false;
                OnThreadMessage({kWmPassDelayOver, 0, 0});
                continue;
            }
            if (!Step() && !passDelay_) break;
        }
        HangUp();
    }

protected:
    bool StartPassDelay(std::chrono::milliseconds) override {
        passDelay_ = true;
        return true;
    }

private:
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
    // Failed logins are counted per address across conversations: each input starts uncounted.
    pv::auth::CLoginThrottle::Shared().Clear();
    pvfuzz::DrainLog();
    return 0;
}
