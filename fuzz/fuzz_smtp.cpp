// The SMTP receiver's command and text handling: an input is what a client sends, from the
// first byte after the greeting to the close. Messages it manages to commit land in the
// private inbox and are removed after the run.
#include <string_view>

#include "FuzzSupport.h"
#include "smtp/SmtpServer.h"

namespace {

class FuzzedSmtp : public pv::CSMTPServer {
public:
    explicit FuzzedSmtp(std::string_view input) : source_(input) {}

    void Run() {
        if (!Attach(pvfuzz::ServerSocketCopy())) return;
        OnConnect();
        OnSend();  // the greeting
        while (Socket() != pv::net::kInvalidSocket && !source_.Empty()) {
            const size_t before = source_.Left();
            OnReceive();
            OnSend();
            if (source_.Left() == before) break;  // nothing more is read: the client waits
        }
        if (Socket() != pv::net::kInvalidSocket) OnClose();
    }

protected:
    int Receive(void* buffer, int size, int) override { return source_.Take(buffer, size); }
    // Every reply is taken at once, as by a client that reads as fast as it sends.
    int Send(const void* data, int length, int) override {
        pvfuzz::TraceSent(data, length);
        return length;
    }

private:
    pvfuzz::ByteSource source_;
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
