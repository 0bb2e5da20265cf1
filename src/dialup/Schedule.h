// Schedule checks: the four conditions that ask the connection manager to go online (enough
// messages waiting, a message waiting too long, too long since the last session, a listed time
// of day). Each one rereads the configuration, the outbound queue and the clock when it is
// asked; the only state is the caller's last-match flag.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace pv::dialup {

// Day bits of `Schedule\a` and `Schedule\b` `dow`: Monday is bit 0, Sunday bit 6.
uint32_t DayBit(const std::tm& local);

// `CheckWaiting`: at least `CountWaiting` (1) work files wait in the outbound queue.
bool WaitingCheck();
// `CheckAge`: some work file is older than `CountAge` (1) minutes, strictly.
bool AgeCheck(std::time_t now);
// `CheckIdle`: more than `CountIdle` (1; 0 counts as 1) minutes since `LastConnect`. Before
// any session has written `LastConnect` there is no idle time to measure: false.
bool IdleCheck(std::time_t now);
// `UseAdvanced`: the local time's hour and minute are listed in the `Times` of the first set
// (a, then b) whose `dow` names today. A listed minute matches once: `lastMatch` remembers it
// until the first evaluation outside a listed minute. A set whose `dow` is missing never
// matches.
bool ScheduleTimeCheck(const std::tm& local, bool& lastMatch);

// Reading the switches and writing the end of a session (4 bytes, seconds since 1970, little
// endian).
struct CheckSwitches {
    bool waiting = false;
    bool age = false;
    bool idle = false;
};
CheckSwitches ReadCheckSwitches();
void WriteLastConnect(std::time_t when);

}  // namespace pv::dialup
