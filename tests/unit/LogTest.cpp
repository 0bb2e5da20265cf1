#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <unistd.h>

#include "TestSupport.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"

class LogTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        std::string drop;
        while (pv::TakePendingLine(drop)) {
        }
    }
    std::string LogFile() const { return Spool() + "/postvane.log"; }
    std::vector<std::string> FileLines() const {
        std::vector<std::string> lines;
        pv::ReadTextFile(LogFile(), lines);
        return lines;
    }
};

TEST_F(LogTest, LineFormatHasAFixedPrefix) {
    std::tm tm {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 0;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 3;
    tm.tm_sec = 9;
    tm.tm_isdst = -1;
    std::string line = pv::FormatLogLine(std::mktime(&tm), "Starting");
    EXPECT_EQ(line, "01/05/26,07:03:09: Starting");
    EXPECT_EQ(line.substr(0, pv::kLogPrefixLength), "01/05/26,07:03:09");
    EXPECT_EQ(line.substr(pv::kLogTextOffset), "Starting");
}

TEST_F(LogTest, LogAllSwitchesTheFileAtOnceAndPendingLinesAlwaysFlow) {
    pv::CRegistryKey root("", true);
    pv::WriteLogLine("not in the file");
    EXPECT_FALSE(pv::FileExists(LogFile()));
    root.WriteInt("LogAll", 1);
    pv::WriteLogLine("first");
    root.WriteInt("LogAll", 0);
    pv::WriteLogLine("second");
    root.WriteInt("LogAll", 1);
    pv::WriteLogLine("third");

    auto lines = FileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(pv::kLogTextOffset), "first");
    EXPECT_EQ(lines[1].substr(pv::kLogTextOffset), "third");
    EXPECT_EQ(pvtest::ReadFileBytes(LogFile()).find("first\r\n") != std::string::npos, true);

    std::string line;
    std::vector<std::string> pending;
    while (pv::TakePendingLine(line)) pending.push_back(line.substr(pv::kLogTextOffset));
    EXPECT_EQ(pending, (std::vector<std::string>{"not in the file", "first", "second", "third"}));
    EXPECT_FALSE(pv::TakePendingLine(line));
}

TEST_F(LogTest, DeletedFileIsMadeAgainAndAMissingSpoolIsHarmless) {
    pv::CRegistryKey root("", true);
    root.WriteInt("LogAll", 1);
    pv::WriteLogLine("before");
    ASSERT_EQ(::unlink(LogFile().c_str()), 0);
    pv::WriteLogLine("after");
    auto lines = FileLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(pv::kLogTextOffset), "after");

    root.WriteString("Maildrop", Spool() + "/missing");
    pv::WriteLogLine("nowhere to go");  // must not fail the caller
    std::string line, last;
    while (pv::TakePendingLine(line)) last = line;
    EXPECT_EQ(last.substr(pv::kLogTextOffset), "nowhere to go");
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
    pv::CRegistryKey("", true).WriteInt("LogAll", 1);
    const int kThreads = 8, kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string text = "thread " + std::to_string(t) + " " + std::string(100 + t, 'a' + t);
            for (int i = 0; i < kEach; ++i) pv::WriteLogLine(text + " #" + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    auto lines = FileLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
    std::regex shape(R"(\d\d/\d\d/\d\d,\d\d:\d\d:\d\d: thread (\d) ([a-h]+) #\d+)");
    std::vector<int> perThread(kThreads);
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
        int t = std::stoi(m[1]);
        EXPECT_EQ(m[2].str(), std::string(100 + t, 'a' + t));
        ++perThread[t];
    }
    for (int n : perThread) EXPECT_EQ(n, kEach);
    std::string drop;
    while (pv::TakePendingLine(drop)) {
    }
}

TEST(SocketErrorTextTest, KnownAndUnknownNumbers) {
    EXPECT_STREQ(pv::SocketErrorText(10048), "Service in use");
    EXPECT_STREQ(pv::SocketErrorText(10061), "Connection Refused");
    EXPECT_STREQ(pv::SocketErrorText(10043), "Protocol not suppoerted");
    EXPECT_STREQ(pv::SocketErrorText(10035), "");
    EXPECT_STREQ(pv::SocketErrorText(10046), "");
    EXPECT_STREQ(pv::SocketErrorText(10056), "");
    EXPECT_STREQ(pv::SocketErrorText(0), "");
}

TEST_F(LogTest, TheFileRotatesAtItsBoundAndPausesBelowTheFreeSpaceFloor) {
    pv::CRegistryKey("", true).WriteInt("LogAll", 1);
    pv::LogFileLimits limits;
    limits.bound = 1000;
    limits.kept = 2;
    pv::SetLogFileLimits(limits);
    for (int i = 0; i < 100; ++i) pv::WriteLogLine("line " + std::to_string(i) + std::string(30, '.'));
    // Two kept files and the current one, each within the bound; the oldest lines are gone.
    for (const std::string& name : {LogFile(), LogFile() + ".1", LogFile() + ".2"}) {
        ASSERT_TRUE(pv::FileExists(name)) << name;
        EXPECT_LE(pvtest::ReadFileBytes(name).size(), 1000u) << name;
    }
    EXPECT_FALSE(pv::FileExists(LogFile() + ".3"));
    EXPECT_NE(pvtest::ReadFileBytes(LogFile()).find("line 99"), std::string::npos);

    // Below the floor: one line says so, nothing more goes in until there is space again; the
    // status display still gets every line.
    limits.freeFloor = UINT64_MAX;
    pv::SetLogFileLimits(limits);
    std::string drop;
    while (pv::TakePendingLine(drop)) {
    }
    const size_t before = FileLines().size();
    for (int i = 0; i < 5; ++i) pv::WriteLogLine("while full");
    auto lines = FileLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find("The log file is paused"), std::string::npos);
    int pending = 0;
    while (pv::TakePendingLine(drop)) ++pending;
    EXPECT_EQ(pending, 5);
    limits.freeFloor = 0;
    pv::SetLogFileLimits(limits);
    pv::WriteLogLine("space again");
    EXPECT_NE(pvtest::ReadFileBytes(LogFile()).find("space again"), std::string::npos);
    pv::SetLogFileLimits({});
}

TEST_F(LogTest, RepeatedLinesAreWrittenOncePerPeriodWithTheirCount) {
    pv::CRepeatedLogLines lines;
    auto now = pv::CRepeatedLogLines::Clock::now();
    uint64_t left = 99;
    EXPECT_TRUE(lines.Admit("a", left, now));
    EXPECT_EQ(left, 0u);
    EXPECT_TRUE(lines.Admit("b", left, now));  // another key has its own line
    for (int i = 0; i < 1000; ++i) EXPECT_FALSE(lines.Admit("a", left, now + std::chrono::seconds(i % 59)));
    EXPECT_TRUE(lines.Admit("a", left, now + pv::CRepeatedLogLines::kPeriod));
    EXPECT_EQ(left, 1000u);
    // Many keys: memory stays bounded and new keys are still written.
    for (size_t i = 0; i < 3 * pv::CRepeatedLogLines::kMaxKeys; ++i) {
        EXPECT_TRUE(lines.Admit("k" + std::to_string(i), left, now));
    }
}
