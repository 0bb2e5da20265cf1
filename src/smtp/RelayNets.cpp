#include "smtp/RelayNets.h"

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

bool InNet(const Parsed& addr, const std::string& entry) {
    size_t slash = entry.find('/');
    Parsed net;
    if (!Parse(entry.substr(0, slash), net) || net.bits != addr.bits) return false;
    int prefix = net.bits;
    if (slash != std::string::npos) {
        try {
            size_t used = 0;
            prefix = std::stoi(entry.substr(slash + 1), &used);
        } catch (...) {
            return false;
        }
        if (prefix < 0 || prefix > net.bits) return false;
    }
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

std::string RelayNets() {
    std::string nets;
    CRegistryKey("AdvCon", false).ReadString("RelayNets", nets);
    return nets.find_first_not_of(" \t,") == std::string::npos ? kDefaultRelayNets : nets;
}

}  // namespace pv
