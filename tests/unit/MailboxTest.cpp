#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestSupport.h"
#include "core/RegistryKey.h"
#include "delivery/Mailbox.h"

using pv::AddressClass;
using pv::CMailbox;
using pv::CRegistryKey;

class MailboxTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        CRegistryKey domains("Domain", true);
        domains.WriteInt("example.test", 1);
        domains.WriteInt("Branch.Example.Test", 0);
    }
    static bool IsDir(const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
};

TEST_F(MailboxTest, CreateNumbersMailboxesAndMakesTheirFolders) {
    CMailbox box;
    ASSERT_TRUE(box.Create("alice", pv::kMailboxUser));
    EXPECT_EQ(box.Number(), 1u);
    EXPECT_EQ(box.Directory(), Spool() + "/mailbox/M0000001");
    EXPECT_TRUE(IsDir(box.Directory()));
    ASSERT_TRUE(box.Create("list", pv::kMailboxList));
    EXPECT_EQ(box.Number(), 2u);
    EXPECT_EQ(box.Type(), static_cast<uint32_t>(pv::kMailboxList));

    CMailbox alice;
    ASSERT_TRUE(alice.Open("alice"));
    EXPECT_EQ(alice.Type(), 1u);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(alice.GetOption(n), 0u);
    EXPECT_EQ(alice.GetText(1), "");
    uint32_t count = 0;
    EXPECT_TRUE(CRegistryKey("mailbox", false).ReadInt("MbxCount", count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(CMailbox::ListMailboxes(), (std::vector<std::string>{"alice", "list"}));

    std::string first = alice.NewMessagePath();
    EXPECT_EQ(first.rfind(alice.Directory() + "/f", 0), 0u);
    EXPECT_EQ(first.substr(first.size() - 4), ".txt");
    EXPECT_NE(first, alice.NewMessagePath());
}

TEST_F(MailboxTest, ClassificationFollowsItsOrder) {
    CMailbox box;
    ASSERT_TRUE(box.Create("alice", pv::kMailboxUser));
    ASSERT_TRUE(box.Create("both", pv::kMailboxUser));
    ASSERT_TRUE(box.Create("boss", pv::kMailboxUser));
    CRegistryKey alias("Alias", true);
    alias.WriteString("sales", "alice,bob@elsewhere.test,");
    alias.WriteString("both", "alice,");
    alias.WriteString("postmaster", "boss,alice");

    CMailbox c;
    EXPECT_EQ(c.Classify("alice"), AddressClass::LocalMailbox);
    EXPECT_EQ(c.Name(), "alice");
    EXPECT_EQ(c.Classify("alice@example.test"), AddressClass::LocalMailbox);
    EXPECT_EQ(c.Classify("alice@branch.example.test"), AddressClass::LocalMailbox);  // domains ignore case
    EXPECT_EQ(c.Classify("alice@elsewhere.test"), AddressClass::Remote);
    EXPECT_EQ(c.Classify("alice@"), AddressClass::Remote);
    EXPECT_EQ(c.Classify("alice@elsewhere.test@example.test"), AddressClass::Remote);  // split at the first @
    EXPECT_EQ(c.Classify("sales@example.test"), AddressClass::Alias);
    EXPECT_EQ(c.Classify("both"), AddressClass::LocalMailbox);  // a mailbox beats an alias

    // postmaster resolves to the first name of its alias value.
    EXPECT_EQ(c.Classify("postmaster@example.test"), AddressClass::LocalMailbox);
    EXPECT_EQ(c.Name(), "boss");

    EXPECT_EQ(c.Classify("nobody"), AddressClass::UnknownLocal);
    CRegistryKey("", true).WriteInt("DefaultDeliver", 1);
    EXPECT_EQ(c.Classify("nobody@example.test"), AddressClass::LocalMailbox);
    EXPECT_EQ(c.Name(), "boss");
    alias.WriteString("postmaster", "alice");
    EXPECT_EQ(c.Classify("nobody"), AddressClass::LocalMailbox);
    EXPECT_EQ(c.Name(), "alice");
    CRegistryKey("", true).WriteInt("DefaultDeliver", 0);
    EXPECT_EQ(c.Classify("nobody"), AddressClass::UnknownLocal);
}

TEST_F(MailboxTest, NamesFromTheNetworkNeverLeaveTheirPlace) {
    CMailbox box;
    ASSERT_TRUE(box.Create("alice", pv::kMailboxUser));
    CRegistryKey(R"(mailbox\alice\inner)", true).WriteInt("Number", 7);
    for (const char* bad : {"../alice", "alice/..", "a/b", R"(alice\inner)", "..", "", "al\tice", "x\x7f"}) {
        EXPECT_FALSE(pv::IsSafeMailboxName(bad)) << bad;
        EXPECT_FALSE(box.Open(bad)) << bad;
        EXPECT_FALSE(box.Create(bad, pv::kMailboxUser)) << bad;
        EXPECT_EQ(box.Classify(bad), AddressClass::UnknownLocal) << bad;
    }
    EXPECT_TRUE(pv::IsSafeMailboxName("first.last"));
    EXPECT_TRUE(pv::IsSafeMailboxName("Jane Doe"));
    // A key without a number is not a mailbox.
    CRegistryKey(R"(mailbox\halfmade)", true).WriteInt("Type", 1);
    EXPECT_FALSE(box.Open("halfmade"));
}

TEST_F(MailboxTest, PasswordsStartRandomAndFitTwentyBytes) {
    CMailbox box;
    ASSERT_TRUE(box.Create("carol", pv::kMailboxUser));
    EXPECT_FALSE(box.CheckPassword("carol"));
    EXPECT_FALSE(box.PasswordIsName());
    EXPECT_FALSE(box.CheckPassword(""));
    // Two mailboxes never share their first password, and it is long enough not to be guessed.
    std::string first, second;
    CRegistryKey(R"(mailbox\carol)", false).ReadString("Password", first);
    CMailbox other;
    ASSERT_TRUE(other.Create("dave", pv::kMailboxUser));
    CRegistryKey(R"(mailbox\dave)", false).ReadString("Password", second);
    EXPECT_GE(first.size(), 12u);
    EXPECT_NE(first, second);
    EXPECT_TRUE(box.CheckPassword(first));

    // A store written by an earlier version: the name as password, in `Password` only.
    CRegistryKey legacy(R"(mailbox\carol)", true);
    legacy.WriteString("Password", "carol");
    legacy.DeleteValue("OPS");
    EXPECT_TRUE(box.CheckPassword("carol"));
    EXPECT_FALSE(box.CheckPassword("Carol"));
    EXPECT_TRUE(box.PasswordIsName());
    EXPECT_TRUE(box.SetPassword("CAROL"));  // letter case makes it no less guessable
    EXPECT_TRUE(box.PasswordIsName());

    EXPECT_TRUE(box.SetPassword("s3cret"));
    EXPECT_FALSE(box.CheckPassword("carol"));  // OPS wins over Password
    EXPECT_TRUE(box.CheckPassword("s3cret"));
    EXPECT_FALSE(box.CheckPassword("s3cre"));
    EXPECT_FALSE(box.CheckPassword("s3cretX"));

    std::string nineteen(19, 'p');
    EXPECT_TRUE(box.SetPassword(nineteen));
    EXPECT_TRUE(box.CheckPassword(nineteen));
    EXPECT_FALSE(box.CheckPassword(nineteen + "p"));
    EXPECT_FALSE(box.CheckPassword(nineteen + "pppppp"));  // a longer guess never matches
    EXPECT_FALSE(box.SetPassword(std::string(20, 'q')));
    EXPECT_TRUE(box.CheckPassword(nineteen));  // the refused one changed nothing

    unsigned char ops[20] = {};
    EXPECT_TRUE(CRegistryKey(R"(mailbox\carol)", false).ReadBinary("OPS", ops, sizeof ops));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ops), 19), nineteen);
    EXPECT_EQ(ops[19], 0);

    CMailbox closed;
    EXPECT_FALSE(closed.CheckPassword(""));
}
