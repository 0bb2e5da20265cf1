// FileLock: an exclusive lock on a file that every process (and every thread holding its own
// FileLock) honours. The kernel drops it when the holder dies, so a crash never leaves it held.
#pragma once

#include <string>

namespace pv::platform {

class FileLock {
public:
    FileLock() = default;
    ~FileLock() { Unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates the lock file when missing (mode 0600) and takes the lock; with wait false, gives
    // up at once when another holder has it. False with Error() set when the file cannot be
    // opened; false with an empty Error() when the lock is busy.
    bool Lock(const std::string& path, bool wait = true);
    void Unlock();
    bool Held() const { return fd_ >= 0; }
    const std::string& Error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

}  // namespace pv::platform
