#include "core/Log.h"

#include <cerrno>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/StringTable.h"

namespace pv {

namespace {
std::mutex g_logLock;
std::deque<std::string> g_pending;
std::deque<NumberedLogLine> g_recent;
uint64_t g_lineNumber = 0;
LogFileLimits g_limits;
bool g_paused = false;  // the spool's disk is below the floor: the file is not written

constexpr const char* kPausedText =
    "The log file is paused: the spool's disk has less than %llu MiB free. Mail goes on; free some "
    "space and the log resumes by itself.";
constexpr const char* kResumedText = "The log file resumes: the spool's disk has space again.";

// One write call per line keeps lines whole.
void AppendLine(int fd, std::string_view line) {
    ssize_t rc;
    do {
        rc = ::write(fd, line.data(), line.size());
    } while (rc < 0 && errno == EINTR);
}

std::string FileLine(std::string_view text) {
    std::string line = FormatLogLine(std::time(nullptr), text);
    line.append("\r\n");
    return line;
}

// postvane.log.<kept-1> -> .<kept>, ..., postvane.log -> .1. The next line makes a new file.
void Rotate(const std::string& path) {
    for (int n = g_limits.kept - 1; n >= 1; --n) {
        ::rename((path + "." + std::to_string(n)).c_str(), (path + "." + std::to_string(n + 1)).c_str());
    }
    if (g_limits.kept >= 1) {
        ::rename(path.c_str(), (path + ".1").c_str());
    } else {
        ::unlink(path.c_str());
    }
}

// Appends the line to the log file within its bounds; called with g_logLock held.
void WriteToFile(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    struct statvfs fs {};
    const bool low = ::fstatvfs(fd, &fs) == 0 && uint64_t(fs.f_bavail) * fs.f_frsize < g_limits.freeFloor;
    if (low) {
        if (!g_paused) {
            char text[256];
            std::snprintf(text, sizeof text, kPausedText,
                          static_cast<unsigned long long>(g_limits.freeFloor / (1024 * 1024)));
            AppendLine(fd, FileLine(text));
            g_paused = true;
        }
        ::close(fd);
        return;
    }
    if (g_paused) {
        g_paused = false;
        AppendLine(fd, FileLine(kResumedText));
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && uint64_t(st.st_size) + line.size() > g_limits.bound && st.st_size > 0) {
        ::close(fd);
        Rotate(path);
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return;
    }
    AppendLine(fd, line);
    ::close(fd);
}
}  // namespace

void SetLogFileLimits(const LogFileLimits& limits) {
    std::lock_guard lock(g_logLock);
    g_limits = limits;
    g_paused = false;
}

std::string FormatLogLine(std::time_t when, std::string_view text) {
    std::tm tm {};
    localtime_r(&when, &tm);
    char prefix[40];
    std::snprintf(prefix, sizeof prefix, "%02d/%02d/%02d,%02d:%02d:%02d: ", (tm.tm_mon + 1) % 100,
                  tm.tm_mday % 100, tm.tm_year % 100, tm.tm_hour % 100, tm.tm_min % 100, tm.tm_sec % 100);
    std::string line(prefix);
    line.append(text);
    return line;
}

void WriteLogLine(std::string_view text) {
    // Read for every line, so switching LogAll takes effect at once.
    CRegistryKey root("", false);
    uint32_t logAll = 0;
    root.ReadInt("LogAll", logAll);
    std::string spool;
    if (logAll) root.ReadString("Maildrop", spool);

    std::string line = FormatLogLine(std::time(nullptr), text);

    std::lock_guard lock(g_logLock);
    g_pending.push_back(line);
    g_recent.push_back({++g_lineNumber, line});
    if (g_recent.size() > kRecentLogLines) g_recent.pop_front();
    if (logAll && !spool.empty()) {
        // Opened, appended and closed for every line, so a deleted or rotated file is simply
        // made again.
        line.append("\r\n");
        WriteToFile(JoinPath(spool, kLogFileName), line);
    }
}

bool CRepeatedLogLines::Admit(const std::string& key, uint64_t& left, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found != entries_.end()) {
        if (now - found->second.written < kPeriod) {
            ++found->second.left;
            return false;
        }
        left = found->second.left;
        found->second = {now, 0};
        return true;
    }
    if (entries_.size() >= kMaxKeys) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            it = now - it->second.written >= kPeriod ? entries_.erase(it) : std::next(it);
        }
        if (entries_.size() >= kMaxKeys) entries_.clear();
    }
    entries_[key] = {now, 0};
    left = 0;
    return true;
}

void WriteLogLineId(unsigned messageNumber) {
    if (const char* text = LoadStringText(messageNumber)) WriteLogLine(text);
}

bool TakePendingLine(std::string& line) {
    std::lock_guard lock(g_logLock);
    if (g_pending.empty()) return false;
    line = std::move(g_pending.front());
    g_pending.pop_front();
    return true;
}

std::vector<NumberedLogLine> RecentLogLines(uint64_t after) {
    std::lock_guard lock(g_logLock);
    std::vector<NumberedLogLine> lines;
    for (const auto& l : g_recent) {
        if (l.number > after) lines.push_back(l);
    }
    return lines;
}

const char* SocketErrorText(int error) {
    switch (error) {
        case 10022: return "No buffer space is available";
        case 10038: return "Not a socketconnection";
        case 10039: return "Destination Address required";
        case 10040: return "Invalid Message size";
        case 10041: return "Invalid Protocol Type";
        case 10042: return "Invalid Protocol option";
        case 10043: return "Protocol not suppoerted";
        case 10044: return "Socket Not supported";
        case 10045: return "Operation not supported";
        case 10047: return "No socket support";
        case 10048: return "Service in use";
        case 10049: return "Address not available";
        case 10050: return "Network unavailable";
        case 10051: return "Network unreachable";
        case 10052: return "Network reset";
        case 10053: return "Connection Aborted";
        case 10054: return "Connection reset";
        case 10055: return "No buffers available";
        case 10057: return "Socket not connected";
        case 10058: return "Socket shutdown";
        case 10059: return "Too many references";
        case 10060: return "Socket timed out";
        case 10061: return "Connection Refused";
        case 10062: return "Loop detected";
        case 10063: return "Name too long";
        case 10064: return "Host is down";
        case 10065: return "Host unreachable";
        default: return "";
    }
}

}  // namespace pv
