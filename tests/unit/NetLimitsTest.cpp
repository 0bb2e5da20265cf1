// Caps on conversations and the values that set them.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "net/Listeners.h"

using pv::net::CConnectionCounts;
using pv::net::ConnectionLimits;
using Refusal = CConnectionCounts::Refusal;

TEST(NetConnectionCounts, CapsPerAddressAndPerServiceWithExemptionAndPlacesGivenBack) {
    auto counts = std::make_shared<CConnectionCounts>();
    ConnectionLimits limits;
    limits.perService = 4;
    limits.perAddress = 2;
    int asked = 0;
    auto never = [&] { ++asked; return false; };
    auto always = [&] { ++asked; return true; };
    Refusal why;

    std::vector<std::shared_ptr<void>> held;
    held.push_back(counts->Take("192.0.2.1", limits, never, why));
    held.push_back(counts->Take("192.0.2.1", limits, never, why));
    EXPECT_EQ(asked, 0) << "the exemption is only asked at the cap";
    EXPECT_EQ(counts->Take("192.0.2.1", limits, never, why), nullptr);
    EXPECT_EQ(why, Refusal::AddressFull);
    EXPECT_EQ(asked, 1);
    // An exempt address goes past its own cap, but not past the service's.
    held.push_back(counts->Take("10.0.0.1", limits, always, why));
    held.push_back(counts->Take("10.0.0.1", limits, always, why));
    held.push_back(counts->Take("10.0.0.1", limits, always, why));
    EXPECT_NE(held[2], nullptr);
    EXPECT_NE(held[3], nullptr);
    EXPECT_EQ(held[4], nullptr);
    EXPECT_EQ(why, Refusal::ServiceFull);
    held.pop_back();
    EXPECT_EQ(counts->Total(), 4u);
    EXPECT_EQ(counts->From("192.0.2.1"), 2u);

    // A place comes back when its holder goes, even after the counts' owner has gone.
    std::shared_ptr<void> last = held[0];
    held.clear();
    EXPECT_EQ(counts->Total(), 1u);
    EXPECT_EQ(counts->From("10.0.0.1"), 0u);
    std::weak_ptr<CConnectionCounts> weak = counts;
    counts.reset();
    EXPECT_FALSE(weak.expired());
    last.reset();
    EXPECT_TRUE(weak.expired());
}

class NetLimitValuesTest : public pvtest::HiveTest {};

TEST_F(NetLimitValuesTest, MissingZeroOddOrAbsurdValuesGiveTheDefaultsAndOnlyBadOnesAreSaid) {
    std::string line;
    while (pv::TakePendingLine(line)) {
    }
    ConnectionLimits limits = pv::net::ReadConnectionLimits("SMTP");
    EXPECT_EQ(limits.perService, ConnectionLimits::kDefaultPerService);
    EXPECT_EQ(limits.perAddress, ConnectionLimits::kDefaultPerAddress);
    EXPECT_EQ(limits.sessionSeconds, ConnectionLimits::kDefaultSessionSeconds);
    EXPECT_FALSE(pv::TakePendingLine(line)) << line;

    pv::CRegistryKey key("AdvCon", true);
    key.WriteInt("MaxConnections", 0);
    key.WriteString("MaxPerAddress", "lots");
    key.WriteInt("SessionLimit", 0xFFFFFFFFu);
    limits = pv::net::ReadConnectionLimits("SMTP");
    EXPECT_EQ(limits.perService, ConnectionLimits::kDefaultPerService);
    EXPECT_EQ(limits.perAddress, ConnectionLimits::kDefaultPerAddress);
    EXPECT_EQ(limits.sessionSeconds, ConnectionLimits::kDefaultSessionSeconds);
    std::vector<std::string> said;
    while (pv::TakePendingLine(line)) said.push_back(line);
    ASSERT_EQ(said.size(), 3u);
    EXPECT_NE(said[0].find("AdvCon\\MaxConnections is not a number from 1 to"), std::string::npos) << said[0];
    EXPECT_NE(said[1].find("AdvCon\\MaxPerAddress"), std::string::npos) << said[1];
    EXPECT_NE(said[2].find("AdvCon\\SessionLimit"), std::string::npos) << said[2];

    key.WriteInt("MaxConnections", 7);
    key.WriteInt("MaxPerAddress", 3);
    key.WriteInt("SessionLimit", 90);
    limits = pv::net::ReadConnectionLimits("SMTP");
    EXPECT_EQ(limits.perService, 7u);
    EXPECT_EQ(limits.perAddress, 3u);
    EXPECT_EQ(limits.sessionSeconds, 90u);
}
