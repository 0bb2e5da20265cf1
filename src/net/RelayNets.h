// The networks whose clients may relay mail to other domains (`AdvCon\RelayNets`).
#pragma once

#include <string>
#include <vector>

namespace pv {

inline constexpr const char* kDefaultRelayNets =
    "127.0.0.0/8,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16";

// True when the dotted (IPv4) or colon (IPv6) address lies in one of the comma-separated
// address/prefix entries. An IPv4 address reached over IPv6 ("::ffff:a.b.c.d") counts as IPv4.
// Entries that do not parse are passed over, so a typing error can only narrow the list: the
// prefix is decimal digits and nothing else. An IPv4-mapped entry ("::ffff:10.0.0.0/104") is the
// IPv4 network it names.
bool AddressInNets(const std::string& address, const std::string& nets);

// The configured list, or the default when the value is missing or empty.
std::string RelayNets();

}  // namespace pv
