#include "core/Log.h"

#include <cerrno>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/StringTable.h"

namespace pv {

namespace {
std::mutex g_logLock;
std::deque<std::string> g_pending;
}  // namespace

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
    if (logAll && !spool.empty()) {
        // Opened, appended and closed for every line, so a deleted or rotated file is simply
        // made again. One write call per line keeps lines whole.
        int fd = ::open(JoinPath(spool, kLogFileName).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            line.append("\r\n");
            ssize_t rc;
            do {
                rc = ::write(fd, line.data(), line.size());
            } while (rc < 0 && errno == EINTR);
            ::close(fd);
        }
    }
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
