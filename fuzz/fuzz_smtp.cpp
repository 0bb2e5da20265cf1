// The SMTP receiver's command and text handling: an input is what a client sends, from the
// first byte after the greeting to the close. Messages it manages to commit land in the
// private inbox and are removed after the run.
#include <string_view>

#include "FuzzSupport.h"
#include "smtp/SmtpServer.h"

namespace {

class FuzzedSmtp : public pvfuzz::FedConversation<pv::CSMTPServer> {
public:
    using FedConversation::FedConversation;

    void Run() {
        if (!Attach(pvfuzz::ServerSocketCopy())) return;
        OnConnect();
        OnSend();  // the greeting
        while (Step()) {
        }
        HangUp();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const pvfuzz::Site& site = pvfuzz::Setup();
    {
        FuzzedSmtp conversation(std::string_view(reinterpret_cast<const char*>(data), size));
        conversation.Run();
    }
    pvfuzz::ClearFolder(site.inbox);
    pvfuzz::DrainLog();
    return 0;
}
