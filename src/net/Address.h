// Addresses of either family: how the services parse, print, count and reach them. IPv6
// addresses are printed in their RFC 5952 form, and an IPv4 client that reaches a dual-stack
// socket ("::ffff:a.b.c.d") is an IPv4 client everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace pv::net {

// The address literal in text ("192.0.2.1", "2001:DB8:0::1", "[2001:db8::1]", "fe80::1%eth0"),
// written as RFC 5952 writes it: lower case, the longest run of zero groups as "::", an
// IPv4-mapped address as its IPv4 address, a zone kept. "" when the text is not an address.
std::string CanonicalAddress(std::string_view text);

// The key by which connections (and login failures) from one client are counted: an IPv4
// address as it is; an IPv4-mapped IPv6 address as its IPv4 address; an IPv6 address as its
// /64 ("2001:db8:1:2::/64"), since one host commonly holds many addresses of its /64 and
// picks new ones at will. Text that is not an address is its own key.
std::string AddressCountingKey(std::string_view address);

// The address as an SMTP address literal (RFC 5321): "[192.0.2.1]", "[IPv6:2001:db8::1]".
std::string SmtpAddressLiteral(std::string_view address);

// A configured host ("relay.example", "192.0.2.1", "[2001:db8::1]") without the brackets
// around an IPv6 literal; other text unchanged.
std::string HostWithoutBrackets(std::string_view host);

// A provider's host as the gateway or a SmartPop account names it, checked and in the form it
// is stored in: a host name as given; an IPv4 address in dotted form; an IPv6 address (with or
// without brackets) in brackets and RFC 5952's form ("[2001:db8::1]"). "" when the text is
// none of these (a blank, a control character, a colon outside an IPv6 address, a port).
// The wizard, the admin tool and the applet share this one check.
std::string CanonicalHost(std::string_view host);

// A list of addresses to listen on (`AdvCon\BindAddress`): entries separated by commas or
// blanks, each an address literal of either family. False when an entry is not one: bad then
// holds that entry. An empty list means every local address.
bool ParseAddressList(std::string_view text, std::vector<std::string>& addresses, std::string& bad);

// One address to connect to.
struct Endpoint {
    sockaddr_storage address {};
    socklen_t length = 0;
    int Family() const { return address.ss_family; }
};

// An address literal (either family, brackets allowed, no name lookup) with a port.
bool LiteralEndpoint(std::string_view text, unsigned port, Endpoint& out);

// The most addresses one connection tries; a name with more is cut to these.
inline constexpr size_t kMaxConnectAddresses = 16;

// The addresses of host (a name or a literal, bracketed or not) on port, of both families, in
// the order RFC 8305 tries them: the resolver's order within each family, IPv6 first, the
// families taking turns. Empty when the name does not resolve.
std::vector<Endpoint> ResolveForConnect(const std::string& host, unsigned port);

// The families taking turns, starting with the first IPv6 address (RFC 8305, section 4).
std::vector<Endpoint> InterleaveFamilies(const std::vector<Endpoint>& resolved);

// "2001:db8::1" or "192.0.2.1" for an endpoint (no port).
std::string EndpointText(const Endpoint& endpoint);

}  // namespace pv::net
