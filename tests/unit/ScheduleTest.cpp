// Schedule checks: thresholds, the age and idle boundaries, and the time-of-day sets.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "dialup/Schedule.h"

namespace fs = std::filesystem;
using namespace pv::dialup;

namespace {

class ScheduleTest : public pvtest::HiveTest {
protected:
    void SetUp() override {
        HiveTest::SetUp();
        fs::create_directories(Outbox());
        std::string line;
        while (pv::TakePendingLine(line)) {
        }
    }
    std::string Outbox() const { return Spool() + "/outbox"; }
    // A work file whose envelope was written `age` seconds before `now`.
    void Queue(const std::string& name, std::time_t now = 0, int age = 0) {
        const std::string path = Outbox() + "/" + name + ".wrk";
        std::ofstream(path) << "a@example.test\r\nb@remote.test\r\n";
        if (now) {
            auto when = std::chrono::file_clock::from_sys(std::chrono::system_clock::from_time_t(now - age));
            fs::last_write_time(path, when);
        }
    }
    void SetInt(const std::string& key, const char* name, uint32_t value) {
        pv::CRegistryKey(key, true).WriteInt(name, value);
    }
    void SetLastConnect(uint32_t t) {
        const unsigned char raw[4] = {static_cast<unsigned char>(t), static_cast<unsigned char>(t >> 8),
                                      static_cast<unsigned char>(t >> 16), static_cast<unsigned char>(t >> 24)};
        pv::CRegistryKey("Schedule", true).WriteBinary("LastConnect", raw, 4);
    }
    void SetSet(const char* set, uint32_t dow, const std::string& times) {
        pv::CRegistryKey key(std::string("Schedule\\") + set, true);
        key.WriteInt("dow", dow);
        key.WriteString("Times", times);
    }
    int LogLines() {
        int n = 0;
        std::string line;
        while (pv::TakePendingLine(line)) ++n;
        return n;
    }
};

// 2024-01-01 was a Monday; wday counts from Sunday.
std::tm At(int wday, int hour, int minute, int second = 0) {
    std::tm tm {};
    tm.tm_year = 124;
    tm.tm_mday = 1 + (wday + 6) % 7;
    tm.tm_wday = wday;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return tm;
}

TEST_F(ScheduleTest, WaitingCountsWorkFilesAgainstCountWaiting) {
    SetInt("Schedule", "CountWaiting", 3);
    Queue("f0000001");
    Queue("f0000002");
    std::ofstream(Outbox() + "/f0000003.txt") << "not an envelope";
    EXPECT_FALSE(WaitingCheck());
    EXPECT_EQ(LogLines(), 0);
    Queue("f0000003");
    EXPECT_TRUE(WaitingCheck());
    EXPECT_EQ(LogLines(), 1);

    // 0 asks at every cycle, even with nothing queued; the default asks for one message.
    fs::remove_all(Outbox());
    SetInt("Schedule", "CountWaiting", 0);
    EXPECT_TRUE(WaitingCheck());
    pv::CRegistryKey("Schedule", true).DeleteValue("CountWaiting");
    EXPECT_FALSE(WaitingCheck());
}

TEST_F(ScheduleTest, AgeNeedsMoreThanCountAgeMinutes) {
    const std::time_t now = std::time(nullptr);
    EXPECT_FALSE(AgeCheck(now));  // nothing queued
    Queue("f0000001", now, 60);
    EXPECT_FALSE(AgeCheck(now)) << "60 s is not more than one minute";
    Queue("f0000002", now, 61);
    EXPECT_TRUE(AgeCheck(now));
    EXPECT_EQ(LogLines(), 1);
    SetInt("Schedule", "CountAge", 2);
    EXPECT_FALSE(AgeCheck(now));
}

TEST_F(ScheduleTest, IdleMeasuresFromLastConnect) {
    const std::time_t now = 1'700'000'000;
    EXPECT_FALSE(IdleCheck(now)) << "no session yet: nothing to measure";
    SetInt("Schedule", "CountIdle", 0);  // counts as one minute
    SetLastConnect(now - 60);
    EXPECT_FALSE(IdleCheck(now));
    SetLastConnect(now - 61);
    EXPECT_TRUE(IdleCheck(now));
    SetLastConnect(now + 3600);  // a clock set back
    EXPECT_FALSE(IdleCheck(now));
    SetInt("Schedule", "CountIdle", 5);
    SetLastConnect(now - 301);
    EXPECT_TRUE(IdleCheck(now));
    SetLastConnect(now - 300);
    EXPECT_FALSE(IdleCheck(now));
}

TEST_F(ScheduleTest, DayBitsRunFromMondayToSunday) {
    EXPECT_EQ(DayBit(At(1, 0, 0)), 1u);
    EXPECT_EQ(DayBit(At(5, 0, 0)), 16u);
    EXPECT_EQ(DayBit(At(0, 0, 0)), 64u);
}

TEST_F(ScheduleTest, ListedMinuteMatchesOncePerMinute) {
    SetSet("a", 1, "09:00,17:30,");
    bool last = false;
    EXPECT_FALSE(ScheduleTimeCheck(At(1, 9, 0), last)) << "UseAdvanced is off";
    SetInt("Schedule", "UseAdvanced", 1);
    int matches = 0;
    for (int s = 0; s < 60; ++s) matches += ScheduleTimeCheck(At(1, 9, 0, s), last);
    EXPECT_EQ(matches, 1);
    EXPECT_TRUE(last);
    EXPECT_FALSE(ScheduleTimeCheck(At(1, 9, 1), last));
    EXPECT_FALSE(last) << "cleared outside a listed minute";
    EXPECT_TRUE(ScheduleTimeCheck(At(1, 17, 30), last));
    EXPECT_FALSE(ScheduleTimeCheck(At(2, 9, 0), last)) << "Tuesday is not listed";
}

TEST_F(ScheduleTest, SetAWinsOnTheDaysItLists) {
    SetInt("Schedule", "UseAdvanced", 1);
    SetSet("a", 1, "09:00,");
    SetSet("b", 1 | 2, "10:00,");
    bool last = false;
    EXPECT_TRUE(ScheduleTimeCheck(At(1, 9, 0), last));
    EXPECT_FALSE(ScheduleTimeCheck(At(1, 10, 0), last)) << "set b is not read on set a's days";
    EXPECT_TRUE(ScheduleTimeCheck(At(2, 10, 0), last)) << "set b on its own days";
}

TEST_F(ScheduleTest, SundayHoursAndMissingDays) {
    SetInt("Schedule", "UseAdvanced", 1);
    SetSet("a", 63, "08:00,");  // Monday to Saturday
    bool last = false;
    EXPECT_FALSE(ScheduleTimeCheck(At(0, 8, 0), last));
    SetSet("a", 64, "08:00,9:00,21:05,");
    EXPECT_TRUE(ScheduleTimeCheck(At(0, 8, 0), last));
    EXPECT_FALSE(ScheduleTimeCheck(At(0, 9, 0), last)) << "9:00 is not 09:00";
    EXPECT_TRUE(ScheduleTimeCheck(At(0, 21, 5), last));
    // A set without its day mask lists no day.
    pv::CRegistryKey("Schedule\\a", true).DeleteValue("dow");
    last = false;
    EXPECT_FALSE(ScheduleTimeCheck(At(0, 8, 0), last));
}

}  // namespace
