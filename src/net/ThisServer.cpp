#include "net/ThisServer.h"

#include <cstring>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pv::net {

namespace {

bool SameAddress(const sockaddr* a, const sockaddr* b) {
    if (a->sa_family != b->sa_family) return false;
    if (a->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in*>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in*>(b)->sin_addr.s_addr;
    }
    return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, sizeof(in6_addr)) == 0;
}

bool IsLoopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    }
    const in6_addr& six = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&six)) return true;
    return IN6_IS_ADDR_V4MAPPED(&six) && six.s6_addr[12] == 127;
}

bool IsLocalAddress(const sockaddr* address) {
    if (IsLoopback(address)) return true;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6)) {
            found = SameAddress(i->ifa_addr, address);
        }
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace

bool RelayIsThisServer(const std::string& host, uint32_t relayPort, uint32_t smtpPort) {
    if (host.empty() || relayPort != smtpPort) return false;
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    bool local = false;
    for (addrinfo* a = found; a && !local; a = a->ai_next) {
        if (a->ai_family == AF_INET || a->ai_family == AF_INET6) local = IsLocalAddress(a->ai_addr);
    }
    ::freeaddrinfo(found);
    return local;
}

}  // namespace pv::net
