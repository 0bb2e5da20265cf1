#include "dialup/Schedule.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"

namespace pv::dialup {

namespace fs = std::filesystem;

namespace {

constexpr const char* kScheduleKey = "Schedule";

uint32_t ReadScheduleInt(const char* name, uint32_t fallback) {
    uint32_t value = fallback;
    CRegistryKey(kScheduleKey, false).ReadInt(name, value);
    return value;
}

// A set matches when its `dow` names today; then its `Times` decide alone.
bool SetListsDay(const char* set, uint32_t dayBit) {
    CRegistryKey key(std::string(kScheduleKey) + "\\" + set, false);
    uint32_t dow = 0;
    return key.IsOpen() && key.ReadInt("dow", dow) && (dow & dayBit) != 0;
}

bool SetListsTime(const char* set, const char* hhmm) {
    std::string times;
    CRegistryKey(std::string(kScheduleKey) + "\\" + set, false).ReadString("Times", times);
    return times.find(hhmm) != std::string::npos;
}

}  // namespace

uint32_t DayBit(const std::tm& local) {
    // tm_wday counts from Sunday = 0; the day mask from Monday = bit 0.
    const int fromMonday = (local.tm_wday + 6) % 7;
    return 1u << fromMonday;
}

bool WaitingCheck() {
    const uint32_t wanted = ReadScheduleInt("CountWaiting", 1);
    const size_t waiting = CountWaitingMessages();
    if (waiting < wanted) return false;
    WriteLogLine("Connecting: " + std::to_string(waiting) + " message(s) waiting to be sent (CountWaiting " +
                 std::to_string(wanted) + ")");
    return true;
}

bool AgeCheck(std::time_t now) {
    const uint32_t minutes = ReadScheduleInt("CountAge", 1);
    const std::string root = SpoolRoot();
    if (root.empty()) return false;
    std::error_code ec;
    for (fs::directory_iterator it(QueueDirectory(kOutboxDir), ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        if (path.extension() != ".wrk") continue;
        // The envelope is written once, when the pair is committed: its time is the message's
        // arrival in the queue.
        const auto written = fs::last_write_time(path, ec);
        if (ec) {
            ec.clear();
            continue;
        }
        const std::time_t when =
            std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(written));
        const double age = std::difftime(now, when);
        if (static_cast<double>(minutes) * 60.0 < age) {
            WriteLogLine("Connecting: message " + path.stem().string() + " has waited longer than " +
                         std::to_string(minutes) + " minute(s) (CountAge)");
            return true;
        }
    }
    return false;
}

bool IdleCheck(std::time_t now) {
    uint32_t minutes = ReadScheduleInt("CountIdle", 1);
    if (minutes == 0) minutes = 1;
    unsigned char raw[4] = {};
    size_t got = 0;
    if (!CRegistryKey(kScheduleKey, false).ReadBinary("LastConnect", raw, sizeof raw, &got) || got != 4) {
        return false;
    }
    const uint32_t last = raw[0] | raw[1] << 8 | raw[2] << 16 | static_cast<uint32_t>(raw[3]) << 24;
    // In floating point, so that a LastConnect in the future (a clock set back) is simply not idle.
    const double idle = static_cast<double>(now) - static_cast<double>(last);
    if (!(static_cast<double>(minutes) * 60.0 < idle)) return false;
    WriteLogLine("Connecting: no session for more than " + std::to_string(minutes) + " minute(s) (CountIdle)");
    return true;
}

bool ScheduleTimeCheck(const std::tm& local, bool& lastMatch) {
    if (ReadScheduleInt("UseAdvanced", 0) == 0) return false;
    const uint32_t day = DayBit(local);
    char hhmm[16];
    std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", local.tm_hour, local.tm_min);
    bool match = false;
    // Set a decides alone on the days it lists, even when set b lists them too.
    if (SetListsDay("a", day)) {
        match = SetListsTime("a", hhmm);
    } else if (SetListsDay("b", day)) {
        match = SetListsTime("b", hhmm);
    }
    if (match && lastMatch) return false;
    lastMatch = match;
    return match;
}

CheckSwitches ReadCheckSwitches() {
    CRegistryKey key(kScheduleKey, false);
    uint32_t waiting = 0, age = 0, idle = 0;
    key.ReadIntOrZero("CheckWaiting", waiting);
    key.ReadIntOrZero("CheckAge", age);
    key.ReadIntOrZero("CheckIdle", idle);
    return {waiting != 0, age != 0, idle != 0};
}

void WriteLastConnect(std::time_t when) {
    const uint32_t t = static_cast<uint32_t>(when);
    const unsigned char raw[4] = {static_cast<unsigned char>(t), static_cast<unsigned char>(t >> 8),
                                  static_cast<unsigned char>(t >> 16), static_cast<unsigned char>(t >> 24)};
    CRegistryKey(kScheduleKey, true).WriteBinary("LastConnect", raw, sizeof raw);
}

}  // namespace pv::dialup
