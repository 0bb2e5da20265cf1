// The networks whose clients may relay mail to other domains (`AdvCon\RelayNets`).
#pragma once

#include <string>
#include <vector>

namespace pv {

// Loopback, the private and the link-local ranges of both families: IPv4's, then ::1, the
// unique local fc00::/7 and the link-local fe80::/10.
inline constexpr const char* kDefaultRelayNets =
    "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,::1/128,fc00::/7,fe80::/10";

// True when the dotted (IPv4) or colon (IPv6) address lies in one of the comma-separated
// address/prefix entries. An IPv4 address reached over IPv6 ("::ffff:a.b.c.d") counts as IPv4.
// Entries that do not parse are passed over, so a typing error can only narrow the list: the
// prefix is decimal digits and nothing else. An IPv4-mapped entry ("::ffff:10.0.0.0/104") is the
// IPv4 network it names. An IPv6 client is matched against the IPv6 entries only, an IPv4 one
// (mapped or not) against the IPv4 entries only: "::/0" admits no IPv4 client.
bool AddressInNets(const std::string& address, const std::string& nets);

// The check the tools make before they store a list: true when every entry parses (an address
// of either family with an optional prefix length); else bad holds the first entry that does
// not. An empty list is refused too: it would mean the default, which the tools say plainly.
bool CheckNets(const std::string& nets, std::string& bad);

// The configured list, or the default when the value is missing or empty.
std::string RelayNets();

}  // namespace pv
