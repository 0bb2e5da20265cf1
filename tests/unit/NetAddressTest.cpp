// Addresses of either family: their printed form, the key clients are counted by, the address
// lists the services listen on and the order outgoing connections try addresses in.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <string>
#include <vector>

#include "net/Address.h"
#include "net/Listeners.h"
#include "net/RelayNets.h"
#include "net/SocketThread.h"

#include <netinet/in.h>
#include <unistd.h>

using namespace pv::net;

TEST(NetAddress, PrintedAsRfc5952WritesThemAndMappedClientsAsIPv4) {
    EXPECT_EQ(CanonicalAddress("2001:0DB8:0000:0000:0000:0000:0000:0001"), "2001:db8::1");
    // "::" stands for the longest run of zero groups, the first of equal runs, never for one.
    EXPECT_EQ(CanonicalAddress("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");
    EXPECT_EQ(CanonicalAddress("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");
    EXPECT_EQ(CanonicalAddress("[::1]"), "::1");
    EXPECT_EQ(CanonicalAddress(" 192.0.2.1 "), "192.0.2.1");
    EXPECT_EQ(CanonicalAddress("::FFFF:192.0.2.1"), "192.0.2.1");
    for (const char* bad : {"", "[]", "localhost", "192.0.2", "192.0.2.1/24", "2001:db8::1::2", "[192.0.2.1"}) {
        EXPECT_EQ(CanonicalAddress(bad), "") << bad;
    }
    EXPECT_EQ(SmtpAddressLiteral("2001:DB8::1"), "[IPv6:2001:db8::1]");
    EXPECT_EQ(SmtpAddressLiteral("::ffff:192.0.2.1"), "[192.0.2.1]");
    EXPECT_EQ(SmtpAddressLiteral("192.0.2.1"), "[192.0.2.1]");
}

TEST(NetAddress, ClientsAreCountedByIPv4AddressOrIPv6Slash64) {
    EXPECT_EQ(AddressCountingKey("192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(AddressCountingKey("::ffff:192.0.2.1"), "192.0.2.1");
    EXPECT_EQ(AddressCountingKey("2001:db8:1:2:aaaa:bbbb:cccc:dddd"), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressCountingKey("2001:db8:1:2::1"), AddressCountingKey("2001:db8:1:2:ffff::9"));
    EXPECT_NE(AddressCountingKey("2001:db8:1:2::1"), AddressCountingKey("2001:db8:1:3::1"));
    EXPECT_EQ(AddressCountingKey("::1"), "::/64");

    // The per-address cap follows the key: one host roaming through its /64 is one client.
    auto counts = std::make_shared<CConnectionCounts>();
    ConnectionLimits limits;
    limits.perAddress = 2;
    CConnectionCounts::Refusal why;
    std::vector<std::shared_ptr<void>> held;
    held.push_back(counts->Take("2001:db8:1:2::1", limits, nullptr, why));
    held.push_back(counts->Take("2001:db8:1:2::2", limits, nullptr, why));
    EXPECT_EQ(counts->Take("2001:db8:1:2:dead:beef:0:3", limits, nullptr, why), nullptr);
    EXPECT_EQ(why, CConnectionCounts::Refusal::AddressFull);
    EXPECT_NE(counts->Take("2001:db8:1:3::1", limits, nullptr, why), nullptr) << "another /64 is another client";
    held.push_back(counts->Take("192.0.2.1", limits, nullptr, why));
    held.push_back(counts->Take("::ffff:192.0.2.1", limits, nullptr, why));
    EXPECT_EQ(counts->Take("192.0.2.1", limits, nullptr, why), nullptr) << "a mapped client is its IPv4 address";
    EXPECT_EQ(counts->From("2001:db8:1:2::77"), 2u);
    held.clear();
    EXPECT_EQ(counts->Total(), 0u);
}

TEST(NetAddress, ListenAddressListsTakeBothFamiliesAndNameTheFirstBadEntry) {
    std::vector<std::string> list;
    std::string bad;
    EXPECT_TRUE(ParseAddressList("127.0.0.1, ::1 [fd00::5]\t192.168.1.5,", list, bad));
    EXPECT_EQ(list, (std::vector<std::string> {"127.0.0.1", "::1", "fd00::5", "192.168.1.5"}));
    EXPECT_TRUE(ParseAddressList(" , ", list, bad));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(ParseAddressList("127.0.0.1, lan.example, ::1", list, bad));
    EXPECT_EQ(bad, "lan.example");
    EXPECT_FALSE(ParseAddressList("10.0.0.0/8", list, bad));
    EXPECT_EQ(bad, "10.0.0.0/8");
}

TEST(NetAddress, ConnectionsTryIPv6FirstWithTheFamiliesTakingTurns) {
    auto endpoint = [](const char* text) {
        Endpoint e;
        EXPECT_TRUE(LiteralEndpoint(text, 25, e)) << text;
        return e;
    };
    std::vector<Endpoint> resolved {endpoint("192.0.2.1"), endpoint("192.0.2.2"), endpoint("192.0.2.3"),
                                    endpoint("2001:db8::1"), endpoint("2001:db8::2")};
    std::vector<std::string> order;
    for (const Endpoint& e : InterleaveFamilies(resolved)) order.push_back(EndpointText(e));
    EXPECT_EQ(order, (std::vector<std::string> {"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2", "192.0.2.3"}));

    const std::vector<Endpoint> literal = ResolveForConnect("[::1]", 110);
    ASSERT_EQ(literal.size(), 1u);
    EXPECT_EQ(EndpointText(literal[0]), "::1");
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in6&>(literal[0].address).sin6_port), 110);
    EXPECT_TRUE(ResolveForConnect("no-such-host.invalid", 25).empty());
}

TEST(RelayNets, TheDefaultAdmitsLoopbackPrivateAndLinkLocalOfBothFamiliesOnly) {
    for (const char* inside : {"127.0.0.1", "192.168.1.9", "::1", "fd12::1", "fc00::1", "fe80::1234", "::ffff:10.1.2.3"}) {
        EXPECT_TRUE(pv::AddressInNets(inside, pv::kDefaultRelayNets)) << inside;
    }
    for (const char* outside : {"203.0.113.9", "2001:db8::1", "::2", "fec0::1", "::ffff:203.0.113.9", "::127.0.0.1"}) {
        EXPECT_FALSE(pv::AddressInNets(outside, pv::kDefaultRelayNets)) << outside;
    }
}

// A dual-stack socket sees an IPv4 client as ::ffff:a.b.c.d. That client is an IPv4 client for
// every rule: its printed address, its counting key and the RelayNets entries it may match.
TEST(NetAddress, AnIPv4ClientOfADualStackSocketIsTreatedAsIPv4) {
    const int server = ::socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(server, 0);
    const int off = 0;
    ASSERT_EQ(::setsockopt(server, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off), 0);
    sockaddr_in6 local {};
    local.sin6_family = AF_INET6;
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &local.sin6_addr), 1);
    ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::listen(server, 1), 0);
    socklen_t len = sizeof local;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&local), &len);

    const int client = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target {};
    target.sin_family = AF_INET;
    target.sin_port = local.sin6_port;
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    sockaddr_storage peer {};
    len = sizeof peer;
    const int accepted = ::accept(server, reinterpret_cast<sockaddr*>(&peer), &len);
    ASSERT_GE(accepted, 0);
    ASSERT_EQ(peer.ss_family, AF_INET6) << "the kernel reports the client as IPv4-mapped";

    std::string address;
    unsigned port = 0;
    ASSERT_TRUE(SocketAddressText(peer, address, port));
    EXPECT_EQ(address, "127.0.0.1");
    EXPECT_EQ(AddressCountingKey(address), "127.0.0.1");
    EXPECT_TRUE(pv::AddressInNets(address, "127.0.0.0/8"));
    EXPECT_FALSE(pv::AddressInNets(address, "::/0,::ffff:0:0/95"));
    // Whoever keeps the kernel's spelling still gets the IPv4 treatment.
    EXPECT_FALSE(pv::AddressInNets("::ffff:127.0.0.1", "::/0"));
    EXPECT_TRUE(pv::AddressInNets("::ffff:127.0.0.1", "127.0.0.0/8"));
    ::close(accepted);
    ::close(client);
    ::close(server);
}
