// FileLock: an exclusive lock on a file that every process (and every thread holding its own
// FileLock) honours. The kernel drops it when the holder dies, so a crash never leaves it held.
#pragma once

#include <string>
#include <utility>

namespace pv::platform {

class FileLock {
public:
    FileLock() = default;
    ~FileLock() { Unlock(); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // A lock taken in one thread can be handed to the thread that works under it.
    FileLock(FileLock&& other) noexcept : fd_(other.fd_), error_(std::move(other.error_)) { other.fd_ = -1; }
    FileLock& operator=(FileLock&& other) noexcept {
        if (this != &other) {
            Unlock();
            fd_ = other.fd_;
            error_ = std::move(other.error_);
            other.fd_ = -1;
        }
        return *this;
    }

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
