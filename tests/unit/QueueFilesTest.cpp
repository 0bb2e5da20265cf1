#include <gtest/gtest.h>

#include <set>
#include <sys/stat.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "TestSupport.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "platform/Hive.h"

class QueueFilesTest : public pvtest::HiveTest {};

TEST_F(QueueFilesTest, NamesCountUpAndWrapAt28Bits) {
    EXPECT_EQ(pv::NextQueueFileName(), "f0000001");  // fresh hive
    EXPECT_EQ(pv::NextQueueFileName(), "f0000002");
    pv::CRegistryKey root("", true);
    root.WriteInt("FileNum", 0x19);
    EXPECT_EQ(pv::NextQueueFileName(), "f000001A");
    root.WriteInt("FileNum", 0x0FFFFFFF);
    EXPECT_EQ(pv::NextQueueFileName(), "f0000000");
    uint32_t stored = 99;
    EXPECT_TRUE(root.ReadInt("FileNum", stored));
    EXPECT_EQ(stored, 0u);
}

TEST_F(QueueFilesTest, ThreadsGetDistinctNames) {
    const int kThreads = 8, kEach = 1000;
    std::vector<std::vector<std::string>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) got[t].push_back(pv::NextQueueFileName());
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> all;
    for (auto& v : got) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.rbegin(), pv::FormatQueueFileName(kThreads * kEach));
}

TEST_F(QueueFilesTest, TrailingSlashOnTheSpoolRootMakesNoDifference) {
    pv::CRegistryKey root("", true);
    root.WriteInt("FileNum", 0);
    std::string plain = pv::InboundQueuePath();
    root.WriteString("Maildrop", Spool() + "/");
    root.WriteInt("FileNum", 0);
    std::string slashed = pv::InboundQueuePath();
    EXPECT_EQ(plain, slashed);
    EXPECT_EQ(plain, Spool() + "/inbox/f0000001");
    EXPECT_TRUE(pv::FileExists(Spool() + "/inbox"));
    EXPECT_EQ(pv::OutboundQueuePath(), Spool() + "/outbox/f0000002");
}

TEST_F(QueueFilesTest, ANameStillInUseIsPassedOver) {
    pv::CRegistryKey root("", true);
    root.WriteInt("FileNum", 0x0FFFFFFE);
    ::mkdir((Spool() + "/inbox").c_str(), 0700);
    ASSERT_TRUE(pv::WriteTextFile(Spool() + "/inbox/f0000000.txt", {"old mail"}));
    ASSERT_TRUE(pv::WriteTextFile(Spool() + "/inbox/f0000001.wrk", {"old envelope"}));
    EXPECT_EQ(pv::InboundQueuePath(), Spool() + "/inbox/fFFFFFFF");
    EXPECT_EQ(pv::InboundQueuePath(), Spool() + "/inbox/f0000002");
    EXPECT_EQ(pvtest::ReadFileBytes(Spool() + "/inbox/f0000000.txt"), "old mail\r\n");
}

TEST_F(QueueFilesTest, PairsAreWrittenWithCrLfAndCommittedByRename) {
    std::string base = pv::InboundQueuePath();
    ASSERT_TRUE(pv::WriteTextFile(base + ".txt", {"Subject: hi", "", "body"}));
    ASSERT_TRUE(pv::WriteEnvelopeAndCommit(base, "alice@example.test", {"bob", "carol@example.test"}));
    EXPECT_FALSE(pv::FileExists(base + ".tmp"));
    EXPECT_EQ(pvtest::ReadFileBytes(base + ".wrk"), "alice@example.test\r\nbob\r\ncarol@example.test\r\n");
    EXPECT_EQ(pvtest::ReadFileBytes(base + ".txt"), "Subject: hi\r\n\r\nbody\r\n");

    // Without its message file the pair is not committed and no envelope is left behind.
    std::string orphan = pv::InboundQueuePath();
    EXPECT_FALSE(pv::WriteEnvelopeAndCommit(orphan, "x", {"y"}));
    EXPECT_FALSE(pv::FileExists(orphan + ".wrk"));
    EXPECT_FALSE(pv::FileExists(orphan + ".tmp"));
}

TEST_F(QueueFilesTest, WorkFileLinesAreTrimmedAndCut) {
    std::string path = Spool() + "/test.wrk";
    std::string longLine(300, 'x');
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("\r\nbob   \t\r\ncarol\n", f);  // empty sender, LF and CR LF mixed
        std::fputs((longLine + "\r\nlast  ").c_str(), f);
        std::fclose(f);
    }
    std::vector<std::string> lines;
    ASSERT_TRUE(pv::ReadWorkFile(path, lines));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "bob");
    EXPECT_EQ(lines[2], "carol");
    EXPECT_EQ(lines[3], std::string(254, 'x'));  // the rest of the long line is not a recipient
    EXPECT_EQ(lines[4], "last");
    std::vector<std::string> none;
    EXPECT_FALSE(pv::ReadWorkFile(Spool() + "/missing.wrk", none));
}

TEST(LineReaderTest, AcceptsEitherLineEndAndLongLines) {
    pvtest::TempDir dir;
    std::string path = dir / "text.txt";
    std::string big(200000, 'b');
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fputs(("one\ntwo\r\n\r\n" + big + "\r\nno end").c_str(), f);
        std::fclose(f);
    }
    pv::LineReader in;
    ASSERT_TRUE(in.Open(path));
    std::string line;
    std::vector<std::string> got;
    while (in.ReadLine(line)) got.push_back(line);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "one");
    EXPECT_EQ(got[1], "two");
    EXPECT_EQ(got[2], "");
    EXPECT_EQ(got[3], big);
    EXPECT_EQ(got[4], "no end");
}

// The server, postvane-send and the tools count with the same `FileNum`: names taken by
// several processes at once are all different.
TEST_F(QueueFilesTest, ProcessesGetDistinctNames) {
    const int kProcesses = 4, kEach = 150;
    std::vector<int> readers;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            // A connection of its own: none of the parent's may be used after the fork.
            pv::platform::SetHivePath(HiveFile());
            std::string out;
            for (int i = 0; i < kEach; ++i) out += pv::NextQueueFileName() + "\n";
            bool ok = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
            ::_exit(ok ? 0 : 1);
        }
        ::close(fds[1]);
        readers.push_back(fds[0]);
        children.push_back(pid);
    }
    std::multiset<std::string> all;
    for (int fd : readers) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
        ::close(fd);
        for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
            all.insert(text.substr(start, nl - start));
        }
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(kProcesses * kEach));
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size()) << "a name was handed out twice";
}
