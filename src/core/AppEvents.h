// The program's unnamed request events and the helpers around the named ones.
#pragma once

#include <cstddef>
#include <string>

#include "platform/Events.h"

namespace pv {

// Created at start-up; signalled by the operator and the finger service, consumed by the
// connection manager.
platform::CEvent& ConnectRequestEvent();
platform::CEvent& DisconnectRequestEvent();

inline platform::NamedEvents& Events() { return platform::NamedEvents::Get(); }
using platform::NamedEvent;

// Whether any service is moving mail (the question asked before shutting down).
bool AnyServiceActive();

// The operator's disconnect command.
void OperatorDisconnect();
// The operator's connect command.
void OperatorConnect();

}  // namespace pv

namespace pv {

// The connection status texts with nothing going on (no session, no dial, no retry due).
inline constexpr const char* kStatusOffline = "Offline";
inline constexpr const char* kStatusStalled = "Offline / Stalled";

// The connection status text: written by the connection manager, read by the status display
// and the finger service, always as a whole string.
std::string ConnectionStatusText();
void SetConnectionStatusText(std::string text);

// Work files waiting in the outbound queue.
size_t CountWaitingMessages();

// Whether a relay (`Gateway`) is named: without one, mail for other domains stays queued.
bool RelayConfigured();
// "No relay is configured: N messages wait" while mail for other domains waits with no relay
// to send it to; "" otherwise. The status and the log say it in these words.
std::string NoRelayText();

// The status rows the window and the console show, as "Label: value" lines. `connection` is
// the connection status text of the process that knows it.
std::string StatusRows(const std::string& connection);

}  // namespace pv
