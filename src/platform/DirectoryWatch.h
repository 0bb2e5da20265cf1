// Wakes a waiting thread when files are renamed into or finished in a folder, so queue readers
// need not wait for their next timed sweep.
#pragma once

#include <string>

namespace pv::platform {

class DirectoryWatch {
public:
    DirectoryWatch() = default;
    ~DirectoryWatch();
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // Watches the folder for files moved into it or closed after writing, and with removals
    // also for files deleted or moved away. False when the folder cannot be watched (waiting
    // then simply sleeps).
    bool Watch(const std::string& folder, bool removals = false);
    // Waits up to timeoutMs for a change; true when one came. Pending changes are consumed.
    bool Wait(int timeoutMs);

private:
    int fd_ = -1;
};

}  // namespace pv::platform
