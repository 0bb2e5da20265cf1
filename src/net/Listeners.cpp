#include "net/Listeners.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "core/Log.h"
#include "core/RegistryKey.h"
#include "platform/MessageBox.h"
#include "platform/SocketErrors.h"

namespace pv::net {

namespace {

constexpr int kWsaEMFile = 10024;   // too many open files
constexpr int kWsaENoBufs = 10055;  // no buffer space

std::string Format(const char* format, unsigned number) {
    char text[200];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

}  // namespace

CListenThread::CListenThread(ConversationFactory factory, std::string bindAddress)
    : factory_(std::move(factory)), bindAddress_(std::move(bindAddress)) {}

unsigned CListenThread::ReadPortValue(const char* name, unsigned defaultPort) {
    uint32_t port = defaultPort;
    CRegistryKey("AdvCon", false).ReadInt(name, port);
    if (port == 0 || port > 65535) {
        WriteLogLine(std::string("AdvCon\\") + name + " holds " + std::to_string(port) +
                     ", which is not a port number; the " + ServiceName() + " service uses port " +
                     std::to_string(defaultPort) + ". Correct the value and restart Postvane.");
        port = defaultPort;
    }
    return port;
}

bool CListenThread::OnStart() {
    const unsigned port = ReadPort();
    SetCurrentThreadPriority(ThreadPriority::TimeCritical);
    const char* address = bindAddress_.empty() ? nullptr : bindAddress_.c_str();
    if (Create(port, SOCK_STREAM, kFdAllEvents, address) && Listen(kListenBacklog) && AsyncSelect(kFdAllEvents)) {
        return true;
    }
    ReportFailure(static_cast<unsigned>(LastError()));
    return false;
}

void CListenThread::OnAccept() {
    CSocketThread* conversation = factory_ ? factory_() : nullptr;
    if (!conversation) {
        DropConnection("no conversation is available for it");
        return;
    }
    ThreadHandle thread = conversation->CreateThread(ThreadPriority::AboveNormal, kConversationStackSize);
    if (!thread.Valid()) {
        const int err = errno;
        delete conversation;
        DropConnection(std::string("could not start its conversation thread (") + std::strerror(err) +
                       "). Check the system's limits on threads and memory");
        BackOff();
        return;
    }
    // From here on the conversation belongs to its thread: only the handle is used.
    if (!thread.WaitReady()) {
        DropConnection("its conversation thread could not start (out of file descriptors or memory)");
        BackOff();
        return;
    }
    PrepareConversation(thread);
    if (Accept(thread)) return;
    // A conversation without its connection would wait for ever.
    thread.PostQuit();
    const int error = LastError();
    if (error == kWsaEMFile || error == kWsaENoBufs) {
        Report(std::string("Could not accept a new ") + ServiceName() + " connection, Error Code =" +
               std::to_string(error) + ": the server is out of file descriptors or memory. Raise the open-file "
               "limit (ulimit -n) or end other programs.");
        BackOff();
    }
}

void CListenThread::PrepareConversation(const ThreadHandle&) {}

void CListenThread::DropConnection(const std::string& why) {
    const int fd = ::accept4(Socket(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    // Re-enable the accept event, as an accept call does.
    AsyncSelect(kFdAllEvents);
    Report(std::string("A new ") + ServiceName() + " connection was closed unserved: " + why + ".");
}

void CListenThread::Report(const std::string& text) {
    // When resources run out every connection fails the same way; one line a minute says it.
    const auto now = std::chrono::steady_clock::now();
    if (reported_ && now - lastReport_ < std::chrono::minutes(1)) return;
    reported_ = true;
    lastReport_ = now;
    WriteLogLine(text);
}

void CListenThread::BackOff() {
    // The connection is still queued, so the accept event comes straight back: a short pause
    // keeps the listener from spinning until descriptors or memory are free again.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

unsigned CSMTPListen::ReadPort() { return ReadPortValue("smtpinport", 25); }

void CSMTPListen::ReportFailure(unsigned error) {
    if (error == platform::kWsaEAddrInUse) {
        WriteLogLine(Format("Failed to initialise SMTP Server, SMTP server already running, Error Code =%u", error));
    } else {
        WriteLogLine(Format("Failed to initialise SMTP Server, Error Code =%u", error));
    }
}

unsigned CPopListen::ReadPort() { return ReadPortValue("popport", 110); }

void CPopListen::ReportFailure(unsigned error) {
    const std::string text = error == platform::kWsaEAddrInUse
                                 ? Format("Pop to initialise Finger\nPop service already running.\nError Code =%u", error)
                                 : Format("Failed to initialise Pop\nError Code =%u", error);
    platform::MessageBox(text, "Pop Error", platform::kMbOk);
}

unsigned CFingerListen::ReadPort() { return ReadPortValue("fingerport", 79); }

void CFingerListen::ReportFailure(unsigned error) {
    const std::string text =
        error == platform::kWsaEAddrInUse
            ? Format("Failed to initialise Finger\nFinger service already running.\nError Code =%u", error)
            : Format("Failed to initialise Finger\nError Code =%u", error);
    platform::MessageBox(text, "Finger Error", platform::kMbOk);
}

void CFingerListen::PrepareConversation(const ThreadHandle& conversation) {
    conversation.PostThreadMessage(kWmSetTimeout, kFingerFirstTimeout);
}

// --- start-up and shutdown ---------------------------------------------------------------

CServiceListeners::CServiceListeners(ListenerFactories factories, std::string bindAddress)
    : factories_(std::move(factories)), bindAddress_(std::move(bindAddress)) {}

ThreadHandle CServiceListeners::StartOne(CListenThread* listener, const char* service) {
    ThreadHandle thread = listener->CreateThread(ThreadPriority::Normal, 0);
    if (!thread.Valid()) {
        const int err = errno;
        delete listener;
        WriteLogLine(std::string("Could not start the ") + service + " listener thread (" + std::strerror(err) +
                     "); the " + service + " service is unavailable until Postvane is restarted.");
    }
    return thread;
}

int CServiceListeners::Start() {
    if (factories_.finger) finger_ = StartOne(new CFingerListen(factories_.finger, bindAddress_), "finger");
    if (factories_.pop) pop_ = StartOne(new CPopListen(factories_.pop, bindAddress_), "POP3");
    if (factories_.smtp) smtp_ = StartOne(new CSMTPListen(factories_.smtp, bindAddress_), "SMTP");
    return int(finger_.Valid()) + int(pop_.Valid()) + int(smtp_.Valid());
}

bool CServiceListeners::Stop(int waitMs) {
    bool allEnded = true;
    for (const ThreadHandle* thread : {&finger_, &pop_, &smtp_}) {
        if (!thread->Valid() || thread->Ended()) continue;
        thread->PostQuit();
        allEnded = thread->Wait(waitMs) && allEnded;
    }
    return allEnded;
}

}  // namespace pv::net
