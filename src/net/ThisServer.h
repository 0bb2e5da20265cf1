// ThisServer: whether a relay named in the configuration is this server's own SMTP receiver,
// to which mail for other domains must never be handed (it would come straight back, a loop).
#pragma once

#include <cstdint>
#include <string>

namespace pv::net {

// True when `host` (a name or an address) resolves to a loopback address or to an address of
// one of this machine's interfaces, and `relayPort` is `smtpPort`, the port this server's SMTP
// receiver listens on. A name that does not resolve is not this server.
bool RelayIsThisServer(const std::string& host, uint32_t relayPort, uint32_t smtpPort);

}  // namespace pv::net
