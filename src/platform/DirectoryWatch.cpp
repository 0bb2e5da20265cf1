#include "platform/DirectoryWatch.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace pv::platform {

DirectoryWatch::~DirectoryWatch() {
    if (fd_ >= 0) ::close(fd_);
}

bool DirectoryWatch::Watch(const std::string& folder, bool removals) {
    if (fd_ < 0) fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    return ::inotify_add_watch(fd_, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | (removals ? IN_DELETE | IN_MOVED_FROM : 0u)) >= 0;
}

bool DirectoryWatch::Wait(int timeoutMs) {
    if (fd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    char buffer[4096];
    while (::read(fd_, buffer, sizeof buffer) > 0) {
    }
    return true;
}

}  // namespace pv::platform
