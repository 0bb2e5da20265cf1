#include "net/Address.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <net/if.h>
#include <netinet/in.h>

namespace pv::net {

namespace {

std::string Trim(std::string_view text) {
    const size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    const size_t e = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(b, e - b + 1));
}

// A numeric address only: the resolver is never asked, so a typing error cannot become a
// name lookup.
bool ParseLiteral(std::string_view text, sockaddr_storage& out) {
    const std::string host = HostWithoutBrackets(Trim(text));
    if (host.empty()) return false;
    std::memset(&out, 0, sizeof out);
    auto& in = reinterpret_cast<sockaddr_in&>(out);
    // IPv4 in its dotted-quad form only: "10.1" or "010.0.0.1" would mean something else.
    if (::inet_pton(AF_INET, host.c_str(), &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        return true;
    }
    if (host.find(':') == std::string::npos) return false;
    // IPv6 through the resolver's numeric parser, which also takes a zone ("fe80::1%eth0").
    addrinfo hints {};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    std::memcpy(&out, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    return true;
}

std::string Text(const sockaddr_storage& sa) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(sa).sin_addr, text, sizeof text);
        return text;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
        ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text);
        return text;
    }
    // glibc's inet_ntop writes RFC 5952's form: lower case, no leading zeros, "::" only for the
    // longest run of two or more zero groups (the first of equal runs).
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    std::string result = text;
    if (in6.sin6_scope_id != 0) {
        char name[IF_NAMESIZE] = {};
        result += "%" + std::string(::if_indextoname(in6.sin6_scope_id, name) ? name : std::to_string(in6.sin6_scope_id));
    }
    return result;
}

}  // namespace

std::string HostWithoutBrackets(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return std::string(host.substr(1, host.size() - 2));
    return std::string(host);
}

std::string CanonicalAddress(std::string_view text) {
    sockaddr_storage sa {};
    if (!ParseLiteral(text, sa)) return {};
    return Text(sa);
}

std::string AddressCountingKey(std::string_view address) {
    sockaddr_storage sa {};
    if (!ParseLiteral(address, sa)) return std::string(address);
    if (sa.ss_family != AF_INET6) return Text(sa);
    auto in6 = reinterpret_cast<const sockaddr_in6&>(sa);
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) return Text(sa);
    // The interface identifier (the low 64 bits) is the host's to choose: only the prefix counts.
    std::memset(&in6.sin6_addr.s6_addr[8], 0, 8);
    in6.sin6_scope_id = 0;
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    return std::string(text) + "/64";
}

std::string SmtpAddressLiteral(std::string_view address) {
    const std::string canonical = CanonicalAddress(address);
    if (canonical.empty()) return "[" + std::string(address) + "]";
    if (canonical.find(':') != std::string::npos) return "[IPv6:" + canonical + "]";
    return "[" + canonical + "]";
}

std::string CanonicalHost(std::string_view host) {
    const std::string text = Trim(host);
    if (text.empty()) return {};
    const std::string literal = CanonicalAddress(text);
    if (!literal.empty()) return literal.find(':') == std::string::npos ? literal : "[" + literal + "]";
    // A name: letters, digits, '-', '_' and dots between labels (RFC 1123, with the underscore
    // some internal names carry). Anything else here would be a typing error or a port.
    if (text.size() > 253 || text.front() == '.' || text.front() == '-' || text.find("..") != std::string::npos) {
        return {};
    }
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
        if (!ok) return {};
    }
    return text;
}

bool ParseAddressList(std::string_view text, std::vector<std::string>& addresses, std::string& bad) {
    addresses.clear();
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(", \t", start);
        const std::string_view entry = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!entry.empty()) {
            const std::string canonical = CanonicalAddress(entry);
            if (canonical.empty()) {
                bad = std::string(entry);
                return false;
            }
            addresses.push_back(canonical);
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return true;
}

bool LiteralEndpoint(std::string_view text, unsigned port, Endpoint& out) {
    if (port > 65535 || !ParseLiteral(text, out.address)) return false;
    if (out.Family() == AF_INET) {
        reinterpret_cast<sockaddr_in&>(out.address).sin_port = htons(static_cast<uint16_t>(port));
        out.length = sizeof(sockaddr_in);
    } else {
        reinterpret_cast<sockaddr_in6&>(out.address).sin6_port = htons(static_cast<uint16_t>(port));
        out.length = sizeof(sockaddr_in6);
    }
    return true;
}

std::vector<Endpoint> InterleaveFamilies(const std::vector<Endpoint>& resolved) {
    std::vector<Endpoint> v6, v4;
    for (const Endpoint& e : resolved) (e.Family() == AF_INET6 ? v6 : v4).push_back(e);
    std::vector<Endpoint> ordered;
    for (size_t i = 0; ordered.size() < resolved.size() && ordered.size() < kMaxConnectAddresses; ++i) {
        if (i < v6.size()) ordered.push_back(v6[i]);
        if (i < v4.size() && ordered.size() < kMaxConnectAddresses) ordered.push_back(v4[i]);
    }
    return ordered;
}

std::vector<Endpoint> ResolveForConnect(const std::string& host, unsigned port) {
    const std::string name = HostWithoutBrackets(Trim(host));
    std::vector<Endpoint> resolved;
    if (name.empty() || port > 65535) return resolved;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    // Both families always (no AI_ADDRCONFIG, which drops IPv6 on a host whose only IPv6
    // address is loopback): on a host without an IPv6 route the attempt fails at once and the
    // next address is tried without waiting.
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0 || !found) return resolved;
    for (addrinfo* a = found; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage)) continue;
        Endpoint e;
        std::memcpy(&e.address, a->ai_addr, a->ai_addrlen);
        e.length = a->ai_addrlen;
        // A name listed twice (hosts file and DNS) is tried once.
        bool seen = false;
        for (const Endpoint& r : resolved) {
            seen = seen || (r.length == e.length && std::memcmp(&r.address, &e.address, e.length) == 0);
        }
        if (!seen) resolved.push_back(e);
    }
    ::freeaddrinfo(found);
    return InterleaveFamilies(resolved);
}

std::string EndpointText(const Endpoint& endpoint) { return Text(endpoint.address); }

}  // namespace pv::net
