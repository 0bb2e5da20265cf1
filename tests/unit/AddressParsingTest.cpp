#include <gtest/gtest.h>

#include "TestSupport.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/AddressParsing.h"
#include "delivery/Mailbox.h"

using pv::CleanAddressList;
using pv::NormaliseAddress;

TEST(AddressCleaningTest, ListsLoseQuotesCommentsAndSpaces) {
    EXPECT_EQ(CleanAddressList(R"("Doe, Jane" <jane@x.test>, bob@y.test)"), "<jane@x.test>,bob@y.test");
    EXPECT_EQ(CleanAddressList("a (work, old) @x.test"), "a@x.test");
    EXPECT_EQ(CleanAddressList(R"("unclosed <a@x.test>)"), R"("unclosed<a@x.test>)");
    EXPECT_EQ(CleanAddressList(R"("one" "two" c@x.test)"), "c@x.test");
}

TEST(AddressCleaningTest, NormaliseTakesTheBareAddressAndAlwaysEnds) {
    EXPECT_EQ(NormaliseAddress("  Jane Doe <jane@x.test>  "), "jane@x.test");
    EXPECT_EQ(NormaliseAddress("<jane@x.test"), "");
    EXPECT_EQ(NormaliseAddress("bob@y.test (Bob)"), "bob@y.test");
    EXPECT_EQ(NormaliseAddress("a)b(c"), "a)b(c");  // no comment to remove, and no endless loop
    EXPECT_EQ(NormaliseAddress("a(b"), "a(b");
    EXPECT_EQ(NormaliseAddress("x (one) y (two) @z"), "xy@z");
}

class CollectedMailTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        pv::CRegistryKey("Domain", true).WriteInt("example.test", 1);
        pv::CMailbox box;
        box.Create("alice", pv::kMailboxUser);
        box.Create("bob", pv::kMailboxUser);
        pv::CRegistryKey("Alias", true).WriteString("sales", "alice,");
        pv::CRegistryKey("SmartPop_Domains", true).WriteInt("provider.test", 1);
    }
    // Writes a .pop file in the inbox, converts it, returns the envelope lines.
    std::vector<std::string> Convert(const std::string& raw) {
        std::string base = pv::InboundQueuePath();
        std::FILE* f = std::fopen((base + ".pop").c_str(), "wb");
        std::fputs(raw.c_str(), f);
        std::fclose(f);
        EXPECT_TRUE(pv::ConvertCollectedMessage(base + ".pop"));
        EXPECT_FALSE(pv::FileExists(base + ".pop"));
        EXPECT_EQ(pvtest::ReadFileBytes(base + ".txt"), raw);  // the message itself is untouched
        std::vector<std::string> lines;
        EXPECT_TRUE(pv::ReadWorkFile(base + ".wrk", lines));
        return lines;
    }
};

TEST_F(CollectedMailTest, HeadersGiveSenderAndLocalRecipients) {
    auto env = Convert(
        "From: \"Carol, Sales\" <Carol@Remote.Test>\r\n"
        "To: \"Doe, Jane\" <ALICE@example.test>, bob,\r\n"
        "\tsales@example.test\r\n"
        "Cc: alice@example.test, stranger@remote.test\r\n"
        "Received: from mx by provider for <bob@provider.test>; Tue, 8 Dec 2026\r\n"
        "Subject: to: nobody@example.test\r\n"
        "\r\n"
        "To: body@example.test\r\n");
    EXPECT_EQ(env, (std::vector<std::string>{"carol@remote.test", "alice@example.test", "bob", "sales@example.test",
                                             "bob"}));
}

TEST_F(CollectedMailTest, NoLocalRecipientGoesToThePostmasterAndBareFromIsKept) {
    auto env = Convert("From: dave@remote.test\nTo: someone@remote.test,,\n\nhello\n");
    EXPECT_EQ(env, (std::vector<std::string>{"dave@remote.test", "postmaster"}));
}

TEST_F(CollectedMailTest, UnreadableFileStaysForTheNextSweep) {
    EXPECT_FALSE(pv::ConvertCollectedMessage(Spool() + "/inbox/missing.pop"));
}

TEST(AutomaticAnswerTest, RobotsAndBulkMailGetNoAnswer) {
    pvtest::TempDir dir;
    auto message = [&](const std::string& headers) {
        std::string path = dir / "m.txt";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs((headers + "\r\nbody\r\nPrecedence: bulk\r\n").c_str(), f);
        std::fclose(f);
        return path;
    };
    const std::string plain = message("Subject: hi\r\n");
    EXPECT_TRUE(pv::MayAnswerAutomatically("bob@remote.test", plain, "example.test"));
    for (const char* robot : {"", "postvane", "PVList@Example.Test", "postvane@example.test", "MAILER-DAEMON@x"}) {
        EXPECT_FALSE(pv::MayAnswerAutomatically(robot, plain, "example.test")) << robot;
    }
    EXPECT_TRUE(pv::MayAnswerAutomatically("pvlist@elsewhere.test", plain, "example.test"));
    EXPECT_FALSE(pv::MayAnswerAutomatically("bob@remote.test", message("Auto-Submitted: auto-replied\r\n"), "x"));
    EXPECT_TRUE(pv::MayAnswerAutomatically("bob@remote.test", message("Auto-Submitted: no\r\n"), "x"));
    EXPECT_FALSE(pv::MayAnswerAutomatically("bob@remote.test", message("precedence:  List \r\n"), "x"));
    EXPECT_TRUE(pv::MayAnswerAutomatically("bob@remote.test", message("Precedence: first-class\r\n"), "x"));
}
