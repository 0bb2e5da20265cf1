#include "platform/SocketErrors.h"

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <cerrno>

namespace pv::platform {

int WsaErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return 10004;
        case EBADF: return 10009;
        case EACCES: return 10013;
        case EPERM: return 10013;
        case EFAULT: return 10014;
        case EINVAL: return 10022;
        case EMFILE:
        case ENFILE: return 10024;
        case EWOULDBLOCK: return 10035;  // EAGAIN has the same value on Linux
        case EINPROGRESS: return 10035;
        case EALREADY: return 10037;
        case ENOTSOCK: return 10038;
        case EDESTADDRREQ: return 10039;
        case EMSGSIZE: return 10040;
        case EPROTOTYPE: return 10041;
        case ENOPROTOOPT: return 10042;
        case EPROTONOSUPPORT: return 10043;
        case ESOCKTNOSUPPORT: return 10044;
        case EOPNOTSUPP: return 10045;
        case EPFNOSUPPORT: return 10046;
        case EAFNOSUPPORT: return 10047;
        case EADDRINUSE: return 10048;
        case EADDRNOTAVAIL: return 10049;
        case ENETDOWN: return 10050;
        case ENETUNREACH: return 10051;
        case ENETRESET: return 10052;
        case ECONNABORTED: return 10053;
        case ECONNRESET: return 10054;
        case EPIPE: return 10054;
        case ENOBUFS: return 10055;
        case ENOMEM: return 10055;
        case EISCONN: return 10056;
        case ENOTCONN: return 10057;
        case ESHUTDOWN: return 10058;
        case ETOOMANYREFS: return 10059;
        case ETIMEDOUT: return 10060;
        case ECONNREFUSED: return 10061;
        case ELOOP: return 10062;
        case ENAMETOOLONG: return 10063;
        case EHOSTDOWN: return 10064;
        case EHOSTUNREACH: return 10065;
        default: return 10000 + (err > 0 && err < 1000 ? err : 0);
    }
}

namespace {

// Inodes of the sockets listening on port, from the kernel's tables (/proc/net/tcp, tcp6):
// "sl local_address rem_address st ... inode", addresses as hex "ADDR:PORT", state 0A = LISTEN.
std::vector<std::string> ListeningInodes(unsigned port) {
    std::vector<std::string> inodes;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port & 0xFFFFu);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
                inodes.push_back(inode);
            }
        }
    }
    return inodes;
}

}  // namespace

std::string ListeningPortHolder(unsigned port) {
    const std::vector<std::string> inodes = ListeningInodes(port);
    if (inodes.empty()) return "";
    DIR* proc = ::opendir("/proc");
    if (!proc) return "";
    std::string found;
    while (dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) continue;  // another user's process
        while (dirent* fd = ::readdir(fds)) {
            char target[64];
            const ssize_t n = ::readlink((fdDir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            for (const auto& inode : inodes) {
                if (std::string(target) == "socket:[" + inode + "]") {
                    std::string name;
                    std::ifstream(("/proc/" + pid + "/comm").c_str()) >> name;
                    found = "process " + pid + (name.empty() ? std::string() : " (" + name + ")");
                }
            }
            if (!found.empty()) break;
        }
        ::closedir(fds);
        if (!found.empty()) break;
    }
    ::closedir(proc);
    return found;
}

}  // namespace pv::platform
