#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

bool BecomeOwnerOf(const std::string& path, std::string& error) {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(path.c_str(), &st) != 0 || st.st_uid == 0) return true;
    if (::setgroups(0, nullptr) != 0 || ::setgid(st.st_gid) != 0 || ::setuid(st.st_uid) != 0) {
        error = "cannot take the identity of the owner of " + path + " (user " + std::to_string(st.st_uid) +
                "): " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace pv::platform
