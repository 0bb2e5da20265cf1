// The event log: every noteworthy event becomes one time-stamped line that goes to the
// pending-line list (the status display drains it) and, with `LogAll` on, to postvane.log in
// the spool root.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
#include <unordered_map>

namespace pv {

inline constexpr const char* kLogFileName = "postvane.log";
inline constexpr size_t kLogPrefixLength = 17;  // "MM/DD/YY,HH:MM:SS"
inline constexpr size_t kLogTextOffset = 19;    // after the colon and the blank

// "MM/DD/YY,HH:MM:SS: text" in local time.
std::string FormatLogLine(std::time_t when, std::string_view text);

// The log file's own bounds, so that it can neither fill the spool's disk nor take from mail
// the space it needs there:
// - beyond `bound` bytes postvane.log is renamed postvane.log.1 (older files move up to
//   postvane.log.<kept>; the oldest is dropped) and the next line starts a new file;
// - while the spool's file system has less than `freeFloor` bytes free, the file is not
//   written: one line says so (the last that goes into it) and one says when it resumes. The
//   status display's lines always flow.
struct LogFileLimits {
    static constexpr uint64_t kDefaultBound = 10ull * 1024 * 1024;
    static constexpr int kDefaultKept = 5;
    static constexpr uint64_t kDefaultFreeFloor = 100ull * 1024 * 1024;
    uint64_t bound = kDefaultBound;
    int kept = kDefaultKept;
    uint64_t freeFloor = kDefaultFreeFloor;
};
// For tests: other limits for this process.
void SetLogFileLimits(const LogFileLimits& limits);

void WriteLogLine(std::string_view text);
// The text with that number from the string table (nothing when it has no text).
void WriteLogLineId(unsigned messageNumber);
// Takes the oldest pending line; false when there is none.
bool TakePendingLine(std::string& line);

// Lines about an event that can repeat without end at a stranger's will (a connection refused
// by a cap): the first of each key is written at once, repeats within kPeriod are only counted,
// and the first one after the period is written with that count. At most kMaxKeys keys are
// remembered; beyond that the oldest period's are forgotten.
class CRepeatedLogLines {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kPeriod {60};
    static constexpr size_t kMaxKeys = 4096;

    // True when a line for key is to be written now; left then holds how many were left out
    // since the last one written for it.
    bool Admit(const std::string& key, uint64_t& left, Clock::time_point now = Clock::now());

private:
    struct Entry {
        Clock::time_point written;
        uint64_t left = 0;
    };
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

// The latest lines, numbered from 1 in the order written, kept apart from the pending list so
// that a second display (the web console) shows the log without taking lines from the first.
inline constexpr size_t kRecentLogLines = 300;
struct NumberedLogLine {
    uint64_t number;
    std::string text;
};
// The kept lines numbered above `after`, oldest first.
std::vector<NumberedLogLine> RecentLogLines(uint64_t after);

// The short English text of a Windows Sockets error number; "" for numbers not in the table.
const char* SocketErrorText(int error);

}  // namespace pv
