#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"

using pv::CRegistryKey;

class RegistryKeyTest : public pvtest::HiveTest {};

TEST_F(RegistryKeyTest, NamesIgnoreCaseAndKeepTheirWriter) {
    CRegistryKey root("", true);
    ASSERT_TRUE(root.DeleteValue("Maildrop"));  // written by the fixture
    ASSERT_TRUE(root.WriteString("MailDrop", "/srv/mail"));
    std::string value;
    EXPECT_TRUE(CRegistryKey("", false).ReadString("Maildrop", value));
    EXPECT_EQ(value, "/srv/mail");
    EXPECT_TRUE(CRegistryKey("", false).ReadString("maildrop", value));
    EXPECT_EQ(value, "/srv/mail");

    // Rewriting under another spelling updates the one value; it keeps its first name and place.
    ASSERT_TRUE(root.WriteString("Gateway", "relay"));
    ASSERT_TRUE(root.WriteString("MAILDROP", "/srv/other"));
    std::vector<std::string> names;
    root.ListValueNames(names);
    ASSERT_EQ(names, (std::vector<std::string>{"MailDrop", "Gateway"}));
    EXPECT_TRUE(root.ReadString("maildrop", value));
    EXPECT_EQ(value, "/srv/other");

    // Key paths ignore case too.
    CRegistryKey(R"(mailbox\Alice)", true).WriteInt("Number", 7);
    uint32_t number = 0;
    EXPECT_TRUE(CRegistryKey(R"(MAILBOX\alice)", false).ReadInt("number", number));
    EXPECT_EQ(number, 7u);
}

TEST_F(RegistryKeyTest, ReadsFollowTheDefaultRules) {
    CRegistryKey adv("AdvCon", true);
    ASSERT_TRUE(adv.WriteInt("popport", 1110));
    ASSERT_TRUE(adv.WriteString("Label", "text"));

    // A missing value leaves the caller's default; "or zero" clears it.
    uint32_t port = 25;
    EXPECT_FALSE(adv.ReadInt("smtpinport", port));
    EXPECT_EQ(port, 25u);
    EXPECT_FALSE(adv.ReadIntOrZero("smtpinport", port));
    EXPECT_EQ(port, 0u);
    EXPECT_TRUE(adv.ReadInt("popport", port));
    EXPECT_EQ(port, 1110u);

    // A string read of a DWORD is empty but the value is found; an integer read of a string
    // fails and keeps the default.
    std::string text = "preset";
    EXPECT_TRUE(adv.ReadString("popport", text));
    EXPECT_EQ(text, "");
    text = "preset";
    EXPECT_FALSE(adv.ReadString("missing", text));
    EXPECT_EQ(text, "");
    uint32_t fromString = 60;
    EXPECT_FALSE(adv.ReadInt("Label", fromString));
    EXPECT_EQ(fromString, 60u);

    // Binary: up to the buffer's size.
    unsigned char ops[20] = {'s', 'e', 'c', 'r', 'e', 't'};
    ASSERT_TRUE(adv.WriteBinary("OPS", ops, sizeof ops));
    unsigned char back[20] = {};
    size_t got = 0;
    EXPECT_TRUE(adv.ReadBinary("OPS", back, sizeof back, &got));
    EXPECT_EQ(got, 20u);
    EXPECT_EQ(0, memcmp(ops, back, 20));
    unsigned char small[4] = {};
    EXPECT_TRUE(adv.ReadBinary("OPS", small, sizeof small, &got));
    EXPECT_EQ(got, 4u);
    EXPECT_FALSE(adv.ReadBinary("nothing", back, sizeof back, &got));
}

TEST_F(RegistryKeyTest, TimeoutsFallBackOnValuesThatWouldBreakConversations) {
    EXPECT_EQ(pv::ReadTimeoutSeconds("SMTPintimeout"), 60);
    CRegistryKey adv("AdvCon", true);
    adv.WriteInt("SMTPintimeout", 5);
    EXPECT_EQ(pv::ReadTimeoutSeconds("smtpintimeout"), 5);
    adv.WriteInt("SMTPintimeout", 0);  // would drop every client at once
    EXPECT_EQ(pv::ReadTimeoutSeconds("SMTPintimeout"), 60);
    adv.WriteInt("SMTPintimeout", 0xFFFFFFFFu);  // reads as -1 as a signed number
    EXPECT_EQ(pv::ReadTimeoutSeconds("SMTPintimeout"), 60);
    EXPECT_EQ(pv::ReadTimeoutSeconds("Poptimeout", 90), 90);
}

TEST_F(RegistryKeyTest, OpeningWithoutCreateNeverCreates) {
    CRegistryKey schedule("Schedule", false);
    EXPECT_FALSE(schedule.IsOpen());
    uint32_t check = 3;
    EXPECT_FALSE(schedule.ReadInt("CheckWaiting", check));
    EXPECT_EQ(check, 3u);
    EXPECT_FALSE(schedule.WriteInt("CheckWaiting", 1));
    std::vector<std::string> subkeys;
    CRegistryKey("", false).ListSubkeys(subkeys);
    EXPECT_TRUE(std::find(subkeys.begin(), subkeys.end(), "Schedule") == subkeys.end());

    // A key opened for reading refuses writes.
    CRegistryKey("Domain", true);
    CRegistryKey readOnly("Domain", false);
    ASSERT_TRUE(readOnly.IsOpen());
    EXPECT_FALSE(readOnly.WriteInt("example.test", 1));
}

TEST_F(RegistryKeyTest, SubkeysEnumerateInCreationOrderAndDeleteOnlyWhenEmpty) {
    CRegistryKey(R"(mailbox\zed)", true);
    CRegistryKey(R"(mailbox\alice)", true);
    CRegistryKey(R"(mailbox\bob\inner)", true);
    CRegistryKey mailbox("mailbox", true);
    std::vector<std::string> names;
    EXPECT_EQ(mailbox.ListSubkeys(names), 3u);
    EXPECT_EQ(names, (std::vector<std::string>{"zed", "alice", "bob"}));

    EXPECT_FALSE(mailbox.DeleteSubkey("bob"));  // has a subkey of its own
    CRegistryKey(R"(mailbox\alice)", true).WriteInt("Type", 1);
    EXPECT_TRUE(mailbox.DeleteSubkey("ALICE"));
    EXPECT_FALSE(CRegistryKey(R"(mailbox\alice)", false).IsOpen());
    // Its values went with it: a new key of that name starts empty.
    uint32_t type = 9;
    EXPECT_FALSE(CRegistryKey(R"(mailbox\alice)", true).ReadInt("Type", type));
    EXPECT_TRUE(mailbox.DeleteValue("nothing") == false);
}

TEST_F(RegistryKeyTest, PrimaryDomainIsFirstNonzeroElseFirst) {
    EXPECT_EQ(pv::PrimaryDomain(), "");
    CRegistryKey domains("Domain", true);
    domains.WriteInt("one.test", 0);
    domains.WriteInt("two.test", 0);
    EXPECT_EQ(pv::PrimaryDomain(), "one.test");
    domains.WriteInt("three.test", 1);
    EXPECT_EQ(pv::PrimaryDomain(), "three.test");
    domains.WriteString("odd.test", "not a number");  // a bad value is passed over, not fatal
    EXPECT_EQ(pv::PrimaryDomain(), "three.test");
    EXPECT_EQ(pv::LocalDomains().size(), 4u);
}

TEST_F(RegistryKeyTest, HiveFileIsPrivateAndAnUnopenableHiveFallsBackToDefaults) {
    CRegistryKey("", true).WriteInt("LogAll", 1);
    struct stat st {};
    ASSERT_EQ(::stat(HiveFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    pv::platform::SetHivePath("/proc/no-such-place/registry.db");
    CRegistryKey root("", true);
    EXPECT_FALSE(root.IsOpen());
    uint32_t port = 25;
    EXPECT_FALSE(root.ReadInt("smtpinport", port));
    EXPECT_EQ(port, 25u);
    EXPECT_NE(pv::platform::Hive::LastOpenError().find("/proc/no-such-place"), std::string::npos);
}

// Reads are kept in memory; a change by this process or another must show at the next read.
TEST_F(RegistryKeyTest, RepeatedReadsSeeEveryChangeAtOnce) {
    CRegistryKey adv("AdvCon", true);
    adv.WriteInt("popport", 110);
    uint32_t port = 0;
    ASSERT_TRUE(CRegistryKey("AdvCon", false).ReadInt("popport", port));
    EXPECT_EQ(port, 110u);
    adv.WriteInt("POPPORT", 1110);  // this process
    EXPECT_TRUE(CRegistryKey("AdvCon", false).ReadInt("popport", port));
    EXPECT_EQ(port, 1110u);
    EXPECT_FALSE(CRegistryKey("Schedule", false).IsOpen());

    pid_t pid = fork();
    if (pid == 0) {  // another process
        pv::platform::SetHivePath(HiveFile());
        CRegistryKey other("AdvCon", true);
        bool ok = other.WriteInt("popport", 2110) && other.DeleteValue("smtpinport") == false &&
                  CRegistryKey("Schedule", true).WriteInt("CheckWaiting", 1);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(CRegistryKey("AdvCon", false).ReadInt("popport", port));
    EXPECT_EQ(port, 2110u);
    uint32_t check = 0;
    EXPECT_TRUE(CRegistryKey("Schedule", false).ReadInt("CheckWaiting", check));
    EXPECT_EQ(check, 1u);
    std::vector<std::string> names;
    CRegistryKey("AdvCon", false).ListValueNames(names);
    EXPECT_EQ(names, std::vector<std::string>{"popport"});

    adv.DeleteValue("popport");
    EXPECT_FALSE(CRegistryKey("AdvCon", false).ReadInt("popport", port));
    names.clear();
    EXPECT_EQ(CRegistryKey("AdvCon", false).ListValueNames(names), 0u);
}

// A writer process and a reader process on the same keys: the busy handling must hide every
// lock conflict, and a value is always seen whole.
TEST_F(RegistryKeyTest, ConcurrentProcessesNeverSeeLockErrorsOrTornValues) {
    const int kRounds = 1500;
    CRegistryKey("Counters", true).WriteString("Text", std::string(200, 'a'));
    CRegistryKey("Counters", true).WriteInt("Number", 0);

    auto child = [&](bool writer) -> int {
        pv::platform::SetHivePath(HiveFile());
        int failures = 0;
        for (int i = 1; i <= kRounds; ++i) {
            if (writer) {
                CRegistryKey key("Counters", true);
                char c = static_cast<char>('a' + i % 26);
                if (!key.WriteString("Text", std::string(200, c))) ++failures;
                if (!key.WriteInt("Number", static_cast<uint32_t>(i))) ++failures;
                if (!CRegistryKey("Counters\\Sub" + std::to_string(i % 7), true).IsOpen()) ++failures;
            } else {
                CRegistryKey key("Counters", false);
                std::string text;
                uint32_t number = 0;
                if (!key.ReadString("Text", text) || text.size() != 200 ||
                    text.find_first_not_of(text[0]) != std::string::npos) {
                    ++failures;
                }
                if (!key.ReadInt("Number", number) || number > static_cast<uint32_t>(kRounds)) ++failures;
            }
        }
        return failures;
    };

    pid_t pids[3];
    for (int p = 0; p < 3; ++p) {
        pids[p] = fork();
        ASSERT_GE(pids[p], 0);
        if (pids[p] == 0) _exit(std::min(child(p == 0), 100));
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "failed operations in process " << pid;
    }
    uint32_t last = 0;
    EXPECT_TRUE(CRegistryKey("Counters", false).ReadInt("Number", last));
    EXPECT_EQ(last, static_cast<uint32_t>(kRounds));
}
