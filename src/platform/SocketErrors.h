// Error numbers in the Windows Sockets numbering, which every log line and message shows.
#pragma once

#include <string>

namespace pv::platform {

inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaEInval = 10022;
inline constexpr int kWsaEAddrInUse = 10048;

// errno -> Windows Sockets error number (10000 + the closest WSAE code). 0 stays 0.
int WsaErrorFromErrno(int err);

// Who listens on a TCP port on this machine, for the operator: "process 1234 (exim4)", or ""
// when it cannot be found out (another user's process, or no listener at all).
std::string ListeningPortHolder(unsigned port);

}  // namespace pv::platform
