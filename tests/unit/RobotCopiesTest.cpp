#include <gtest/gtest.h>

#include "delivery/RobotCopies.h"

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

}  // namespace
}  // namespace pv
