#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char** environ;

namespace pv::platform {

SpawnResult SpawnProcess(const std::string& program, const std::vector<std::string>& args, bool wait) {
    SpawnResult result;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.error = std::strerror(rc);
        return result;
    }
    result.started = true;
    result.pid = pid;
    if (wait) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return result;
}

bool ReapIfEnded(int pid) {
    int status = 0;
    const pid_t rc = ::waitpid(pid, &status, WNOHANG);
    return rc == pid || (rc < 0 && errno == ECHILD);
}

SpawnResult SpawnShell(const std::string& commandLine, bool wait) {
    return SpawnProcess("/bin/sh", {"-c", commandLine}, wait);
}

void ReplaceProcess(const std::string& program, char** argv, std::string& error) {
    ::execv(program.c_str(), argv);
    error = "cannot start " + program + ": " + std::strerror(errno);
}

bool BecomeOwnerOf(const std::string& path, std::string& error, bool keepPortBinding) {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(path.c_str(), &st) != 0 || st.st_uid == 0) return true;
    auto fail = [&](const char* step) {
        error = "cannot take the identity of the owner of " + path + " (user " + std::to_string(st.st_uid) +
                "): " + step + ": " + std::strerror(errno);
        return false;
    };
    // The permitted capabilities survive the change of user only when asked to.
    if (keepPortBinding && ::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return fail("keeping capabilities");
    if (::setgroups(0, nullptr) != 0 || ::setgid(st.st_gid) != 0 || ::setuid(st.st_uid) != 0) {
        return fail("changing the user");
    }
    if (keepPortBinding) {
        ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
        // Of everything root could do, only binding ports below 1024 stays, as the service's
        // unit grants it; it is not inheritable, so no program started from here has it.
        __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
        data[CAP_TO_INDEX(CAP_NET_BIND_SERVICE)].permitted = CAP_TO_MASK(CAP_NET_BIND_SERVICE);
        data[CAP_TO_INDEX(CAP_NET_BIND_SERVICE)].effective = CAP_TO_MASK(CAP_NET_BIND_SERVICE);
        if (::syscall(SYS_capset, &header, data) != 0) return fail("keeping the right to bind ports below 1024");
    }
    return true;
}

}  // namespace pv::platform
