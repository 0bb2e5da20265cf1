#include "net/RelayNets.h"

#include <arpa/inet.h>
#include <cstring>

#include "core/RegistryKey.h"

namespace pv {

namespace {

struct Parsed {
    unsigned char bytes[16] = {};
    int bits = 0;  // 32 or 128
};

bool Parse(std::string text, Parsed& out) {
    size_t b = text.find_first_not_of(" \t");
    size_t e = text.find_last_not_of(" \t");
    if (b == std::string::npos) return false;
    text = text.substr(b, e - b + 1);
    if (inet_pton(AF_INET, text.c_str(), out.bytes) == 1) {
        out.bits = 32;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), out.bytes) != 1) return false;
    static const unsigned char mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(out.bytes, mapped, 12) == 0) {
        std::memmove(out.bytes, out.bytes + 12, 4);
        std::memset(out.bytes + 4, 0, 12);
        out.bits = 32;
    } else {
        out.bits = 128;
    }
    return true;
}

// The prefix length after the slash: decimal digits only, nothing else (a sign, a blank or a
// trailing letter would otherwise widen or change the range without a word).
bool ParsePrefix(const std::string& text, int& prefix) {
    if (text.empty() || text.size() > 3) return false;
    prefix = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        prefix = prefix * 10 + (c - '0');
    }
    return true;
}

// One entry: its network and prefix length. False when it does not parse.
bool ParseEntry(std::string entry, Parsed& net, int& prefix) {
    size_t b = entry.find_first_not_of(" \t");
    size_t e = entry.find_last_not_of(" \t");
    if (b == std::string::npos) return false;
    entry = entry.substr(b, e - b + 1);
    size_t slash = entry.find('/');
    std::string host = entry.substr(0, slash);
    if (!Parse(host, net)) return false;
    prefix = net.bits;
    if (slash != std::string::npos) {
        if (!ParsePrefix(entry.substr(slash + 1), prefix)) return false;
        // "::ffff:10.0.0.0/104" is written in IPv6 terms; Parse has made it an IPv4 network.
        if (net.bits == 32 && host.find(':') != std::string::npos) {
            if (prefix < 96) return false;
            prefix -= 96;
        }
        if (prefix > net.bits) return false;
    }
    return true;
}

bool InNet(const Parsed& addr, const std::string& entry) {
    Parsed net;
    int prefix = 0;
    if (!ParseEntry(entry, net, prefix)) return false;
    if (net.bits != addr.bits) return false;
    for (int i = 0; i < prefix / 8; ++i) {
        if (addr.bytes[i] != net.bytes[i]) return false;
    }
    if (int rest = prefix % 8) {
        unsigned char mask = static_cast<unsigned char>(0xFF << (8 - rest));
        if ((addr.bytes[prefix / 8] & mask) != (net.bytes[prefix / 8] & mask)) return false;
    }
    return true;
}

}  // namespace

bool AddressInNets(const std::string& address, const std::string& nets) {
    Parsed addr;
    if (!Parse(address, addr)) return false;
    size_t start = 0;
    while (start <= nets.size()) {
        size_t comma = nets.find(',', start);
        if (comma == std::string::npos) comma = nets.size();
        if (InNet(addr, nets.substr(start, comma - start))) return true;
        start = comma + 1;
    }
    return false;
}

bool CheckNets(const std::string& nets, std::string& bad) {
    size_t start = 0;
    bool any = false;
    while (start <= nets.size()) {
        size_t comma = nets.find(',', start);
        if (comma == std::string::npos) comma = nets.size();
        const std::string entry = nets.substr(start, comma - start);
        Parsed net;
        int prefix = 0;
        if (entry.find_first_not_of(" \t") != std::string::npos) {
            if (!ParseEntry(entry, net, prefix)) {
                bad = entry.substr(entry.find_first_not_of(" \t"));
                bad = bad.substr(0, bad.find_last_not_of(" \t") + 1);
                return false;
            }
            any = true;
        }
        start = comma + 1;
    }
    if (!any) bad.clear();
    return any;
}

std::string RelayNets() {
    std::string nets;
    CRegistryKey("AdvCon", false).ReadString("RelayNets", nets);
    return nets.find_first_not_of(" \t,") == std::string::npos ? kDefaultRelayNets : nets;
}

}  // namespace pv
