#include "core/AppEvents.h"

#include "core/Folders.h"
#include "core/Log.h"

namespace pv {

platform::CEvent& ConnectRequestEvent() {
    static platform::CEvent event(true, false);
    return event;
}

platform::CEvent& DisconnectRequestEvent() {
    static platform::CEvent event(true, false);
    return event;
}

bool AnyServiceActive() {
    auto& ev = Events();
    return ev.Test(NamedEvent::PopServer) || ev.Test(NamedEvent::SmtpTr) || ev.Test(NamedEvent::SmtpRc) ||
           ev.Test(NamedEvent::SmartPop) || ev.Test(NamedEvent::Finger);
}

void OperatorDisconnect() {
    Events().Reset(NamedEvent::PollSmartPop);
    DisconnectRequestEvent().Set();
    WriteLogLine("Disconnecting due to operator request");
}

void OperatorConnect() {
    ConnectRequestEvent().Set();
    WriteLogLine("Connecting due to operator request");
}

}  // namespace pv

#include <mutex>

#include "core/QueueFiles.h"

namespace pv {

namespace {
std::mutex g_statusMutex;
std::string g_statusText;
}  // namespace

std::string ConnectionStatusText() {
    std::lock_guard lock(g_statusMutex);
    return g_statusText;
}

void SetConnectionStatusText(std::string text) {
    std::lock_guard lock(g_statusMutex);
    g_statusText = std::move(text);
}

size_t CountWaitingMessages() {
    std::string root = SpoolRoot();
    if (root.empty()) return 0;
    return ListFolderNames(QueueDirectory(kOutboxDir), ".wrk").size();
}

}  // namespace pv
