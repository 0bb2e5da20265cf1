#include "platform/FileLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pv::platform {

bool FileLock::Lock(const std::string& path, bool wait) {
    Unlock();
    error_.clear();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error_ = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    // Open-file-description locks: each FileLock has its own, so two threads of one process
    // exclude each other as two processes do.
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    int rc;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno != EAGAIN && errno != EACCES) {
            error_ = "cannot lock " + path + ": " + std::strerror(errno);
        }
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void FileLock::Unlock() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

}  // namespace pv::platform
