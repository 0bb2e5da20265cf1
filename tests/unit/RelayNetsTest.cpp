// Relay networks: a range admits exactly the addresses it says, whatever the client's address
// family, and an entry that does not parse admits nothing.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "core/RegistryKey.h"
#include "net/RelayNets.h"

using pv::AddressInNets;

TEST(RelayNets, PrefixesEndingInsideAByteAdmitOnlyTheirRange) {
    const std::string nets = "172.16.0.0/12,192.168.1.0/25";
    for (const char* in : {"172.16.0.0", "172.20.1.1", "172.31.255.255", "192.168.1.0", "192.168.1.127"}) {
        EXPECT_TRUE(AddressInNets(in, nets)) << in;
    }
    for (const char* out : {"172.15.255.255", "172.32.0.0", "172.48.0.1", "192.168.1.128", "192.168.1.255",
                            "192.168.0.127", "192.169.1.1"}) {
        EXPECT_FALSE(AddressInNets(out, nets)) << out;
    }
    // A whole address, with or without /32; /0 is every IPv4 address but no IPv6 one.
    EXPECT_TRUE(AddressInNets("10.1.2.3", "10.1.2.3"));
    EXPECT_FALSE(AddressInNets("10.1.2.4", "10.1.2.3/32"));
    EXPECT_TRUE(AddressInNets("203.0.113.9", "0.0.0.0/0"));
    EXPECT_FALSE(AddressInNets("2001:db8::1", "0.0.0.0/0"));
}

TEST(RelayNets, IPv6AndIPv4MappedClientsMeetOnlyTheirOwnFamily) {
    const std::string v6 = "fd00::/8,2001:db8::/33,::1";
    EXPECT_TRUE(AddressInNets("fd12:3456::1", v6));
    EXPECT_FALSE(AddressInNets("fe80::1", v6));
    EXPECT_TRUE(AddressInNets("2001:db8:7fff:ffff::1", v6));
    EXPECT_FALSE(AddressInNets("2001:db8:8000::1", v6));
    EXPECT_TRUE(AddressInNets("::1", v6));
    EXPECT_FALSE(AddressInNets("::2", v6));

    // A client reached over IPv6 with a mapped IPv4 address is that IPv4 address ...
    const std::string v4 = "10.0.0.0/8";
    EXPECT_TRUE(AddressInNets("::ffff:10.9.8.7", v4));
    EXPECT_FALSE(AddressInNets("::ffff:11.0.0.1", v4));
    // ... but an IPv6 address whose last bytes look like one is not.
    EXPECT_FALSE(AddressInNets("::10.9.8.7", v4));
    EXPECT_FALSE(AddressInNets("64:ff9b::10.9.8.7", v4));
    EXPECT_FALSE(AddressInNets("::ffff:10.9.8.7", "::/0"));
    // A mapped entry names its IPv4 network in IPv6 prefix terms.
    EXPECT_TRUE(AddressInNets("10.9.8.7", "::ffff:10.0.0.0/104"));
    EXPECT_FALSE(AddressInNets("11.9.8.7", "::ffff:10.0.0.0/104"));
    EXPECT_FALSE(AddressInNets("10.9.8.7", "::ffff:10.0.0.0/8"));
}

TEST(RelayNets, EntriesThatDoNotParseAdmitNothingAndTheRestStillCount) {
    for (const char* bad : {"0.0.0.0/-0", "0.0.0.0/+0", "0.0.0.0/0x20", "0.0.0.0/ 0", "0.0.0.0/", "0.0.0.0/33",
                            "0.0.0.0/0/8", "0.0.0.0/00000", "any", "10.0.0/8", "::/129"}) {
        EXPECT_FALSE(AddressInNets("203.0.113.9", bad)) << bad;
        EXPECT_FALSE(AddressInNets("::ffff:203.0.113.9", bad)) << bad;
    }
    EXPECT_TRUE(AddressInNets("10.1.1.1", "junk, ,10.0.0.0/8 , 192.168.0.0/16"));
    EXPECT_TRUE(AddressInNets("192.168.5.5", "junk, ,10.0.0.0/8 , 192.168.0.0/16"));
    for (const char* client : {"", "10.1.1.1x", "10.1.1", "localhost"}) {
        EXPECT_FALSE(AddressInNets(client, "0.0.0.0/0,::/0")) << client;
    }
}

class RelayNetsHiveTest : public pvtest::HiveTest {};

TEST_F(RelayNetsHiveTest, MissingOrBlankValueGivesTheDefaultList) {
    EXPECT_EQ(pv::RelayNets(), pv::kDefaultRelayNets);
    pv::CRegistryKey("AdvCon", true).WriteString("RelayNets", " , ");
    EXPECT_EQ(pv::RelayNets(), pv::kDefaultRelayNets);
    pv::CRegistryKey("AdvCon", true).WriteString("RelayNets", "10.0.0.0/8");
    EXPECT_EQ(pv::RelayNets(), "10.0.0.0/8");
}
