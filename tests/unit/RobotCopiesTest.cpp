#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"
#include "delivery/RobotCopies.h"
#include "delivery/Spooler.h"

namespace pv {
namespace {

TEST(RobotCopies, ReplyNameIsDerivedFromTheCopyAndLeadsBackToIt) {
    const std::string copy = "/spool/mailbox/M0000002/f000001A.txt";
    EXPECT_EQ(RobotReplyBase(copy), "/spool/inbox/rM0000002-f000001A");
    EXPECT_EQ(RobotCopyOfReply("/spool/inbox/rM0000002-f000001A"), copy);
    // A reply delivered to another robot keeps its name there; answering it nests the name.
    const std::string nested = "/spool/mailbox/M0000003/rM0000002-f000001A.txt";
    EXPECT_EQ(RobotCopyOfReply(RobotReplyBase(nested)), nested);
}

TEST(RobotCopies, AnythingElseIsNoCopyAndNoReply) {
    for (const char* path : {"/spool/mailbox/M0000002/f000001A.tmp", "/spool/mailbox/X0000002/f000001A.txt",
                             "/spool/other/M0000002/f000001A.txt", "/spool/mailbox/M00002/f1.txt",
                             "/spool/mailbox/M0000002/a.b.txt"}) {
        EXPECT_EQ(RobotReplyBase(path), "") << path;
    }
    for (const char* base : {"/spool/inbox/f000001A", "/spool/outbox/rM0000002-f000001A", "/spool/inbox/rM00002-f1",
                             "/spool/inbox/rMzzzzzzz-f1"}) {
        EXPECT_EQ(RobotCopyOfReply(base), "") << base;
    }
}

TEST(RobotCopies, LongNamesAreHashedSoTheyNeverGrowWithoutEnd) {
    std::string stem = "f0000001";
    for (int i = 0; i < 20; ++i) stem = "rM0000002-" + stem;
    const std::string a = RobotReplyBase("/spool/mailbox/M0000003/" + stem + ".txt");
    const std::string b = RobotReplyBase("/spool/mailbox/M0000003/" + stem + "x.txt");
    EXPECT_LT(a.size(), 60u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, RobotReplyBase("/spool/mailbox/M0000003/" + stem + ".txt"));  // the same every time
}

// A robot's reply committed before any robot runs (the pool never started, or lost the race):
// the spooler delivers it once and takes the copy it answers with it, so that no robot can
// answer that copy a second time.
class ReplyBeforeRobotsTest : public pvtest::HiveTest {};

TEST_F(ReplyBeforeRobotsTest, TheSpoolerDeliversTheReplyOnceAndRemovesTheCopy) {
    namespace fs = std::filesystem;
    CRegistryKey("Domain", true).WriteInt("example.test", 1);
    CMailbox robot, alice;
    ASSERT_TRUE(robot.Create("PVList", kMailboxListServer));
    ASSERT_TRUE(alice.Create("alice", kMailboxUser));
    fs::create_directories(Spool() + "/inbox");
    const std::string copy = robot.Directory() + "/f0F00002.txt";
    std::ofstream(copy, std::ios::binary) << "From: alice@example.test\r\n\r\njoin big\r\n";
    const std::string reply = RobotReplyBase(copy);
    std::ofstream(reply + ".txt", std::ios::binary) << "From: pvlist@example.test\r\n\r\nCommand executed OK\r\n";
    std::ofstream(reply + ".wrk", std::ios::binary) << "pvlist@example.test\r\nalice@example.test\r\n";

    CSpooler spooler;  // no robot pool: only the spooler runs
    ASSERT_TRUE(spooler.Prepare());
    spooler.Sweep();
    spooler.Sweep();  // a second sweep finds nothing more to do
    EXPECT_FALSE(fs::exists(copy));
    size_t replies = 0;
    for (const auto& e : fs::directory_iterator(alice.Directory())) replies += e.path().extension() == ".txt";
    EXPECT_EQ(replies, 1u);
    EXPECT_FALSE(fs::exists(reply + ".wrk"));
}

}  // namespace
}  // namespace pv
