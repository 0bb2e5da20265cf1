// Error numbers in the Windows Sockets numbering, which every log line and message shows.
#pragma once

namespace pv::platform {

inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaEInval = 10022;
inline constexpr int kWsaEAddrInUse = 10048;

// errno -> Windows Sockets error number (10000 + the closest WSAE code). 0 stays 0.
int WsaErrorFromErrno(int err);

}  // namespace pv::platform
