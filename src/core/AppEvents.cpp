#include "core/AppEvents.h"

#include "core/Folders.h"
#include "core/Log.h"
#include "core/RegistryKey.h"

#include <unistd.h>

namespace pv {

namespace {
std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
}
}  // namespace

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
    // Said only when there is something to end: a session, a dial, a connect or poll request.
    const std::string state = ConnectionStatusText();
    const bool idle = state.empty() || state == kStatusOffline || state == kStatusStalled ||
                      state.rfind("No relay", 0) == 0;
    const bool something = !idle || Events().Test(NamedEvent::Online) || Events().Test(NamedEvent::PollSmartPop) ||
                           ConnectRequestEvent().Wait(0);
    Events().Reset(NamedEvent::PollSmartPop);
    DisconnectRequestEvent().Set();
    if (something) WriteLogLine("Disconnecting due to operator request");
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

bool RelayConfigured() {
    std::string gateway;
    CRegistryKey("", false).ReadString("Gateway", gateway);
    return gateway.find_first_not_of(" \t") != std::string::npos;
}

std::string NoRelayText() {
    if (RelayConfigured()) return "";
    const size_t waiting = CountWaitingMessages();
    if (waiting == 0) return "";
    return "No relay is configured: " + std::to_string(waiting) + (waiting == 1 ? " message waits" : " messages wait");
}

std::string StatusRows(const std::string& connection) {
    auto& ev = Events();
    auto state = [&](NamedEvent e) { return ev.Peek(e) ? "Active" : "Idle"; };
    return "Machine Name: " + HostName() + "\n" +
           "Connection: " + connection + "\n" +
           "SMTP Server: " + state(NamedEvent::SmtpRc) + "\n" +
           "SMTP Transmitter: " + state(NamedEvent::SmtpTr) + "\n" +
           "POP3 Server: " + state(NamedEvent::PopServer) + "\n" +
           "IMAP Server: " + state(NamedEvent::ImapServer) + "\n" +
           "SmartPop: " + state(NamedEvent::SmartPop) + "\n" +
           "Finger: " + state(NamedEvent::Finger) + "\n" +
           "Waiting Messages: " + std::to_string(CountWaitingMessages()) + "\n";
}

size_t CountWaitingMessages() {
    std::string root = SpoolRoot();
    if (root.empty()) return 0;
    return ListFolderNames(QueueDirectory(kOutboxDir), ".wrk").size();
}

}  // namespace pv
