// The event log: every noteworthy event becomes one time-stamped line that goes to the
// pending-line list (the status display drains it) and, with `LogAll` on, to postvane.log in
// the spool root.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace pv {

inline constexpr const char* kLogFileName = "postvane.log";
inline constexpr size_t kLogPrefixLength = 17;  // "MM/DD/YY,HH:MM:SS"
inline constexpr size_t kLogTextOffset = 19;    // after the colon and the blank

// "MM/DD/YY,HH:MM:SS: text" in local time.
std::string FormatLogLine(std::time_t when, std::string_view text);

void WriteLogLine(std::string_view text);
// The text with that number from the string table (nothing when it has no text).
void WriteLogLineId(unsigned messageNumber);
// Takes the oldest pending line; false when there is none.
bool TakePendingLine(std::string& line);

// The short English text of a Windows Sockets error number; "" for numbers not in the table.
const char* SocketErrorText(int error);

}  // namespace pv
