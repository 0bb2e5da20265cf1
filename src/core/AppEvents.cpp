#include "core/AppEvents.h"

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

#include <dirent.h>
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
    DIR* dir = ::opendir(QueueDirectory(kOutboxDir).c_str());
    if (!dir) return 0;
    size_t count = 0;
    while (dirent* e = ::readdir(dir)) {
        std::string_view name(e->d_name);
        if (name.size() > 4 && name.substr(name.size() - 4) == ".wrk") ++count;
    }
    ::closedir(dir);
    return count;
}

}  // namespace pv
