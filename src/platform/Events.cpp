#include "platform/Events.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Hive.h"
#include "platform/Paths.h"

namespace pv::platform {

namespace {

constexpr const char* kNames[kNamedEventCount] = {
    "PVG:RUNNING", "PVG:SMTPTR",  "PVG:SMTPRC", "PVG:POPSERVER",    "PVG:SMARTPOP",
    "PVG:FINGER",  "PVG:OFFLINE", "PVG:ONLINE", "PVG:POLLSMARTPOP", "PVG:SHOWUI",
    "PVG:IMAPSERVER",
};
constexpr size_t kMappingSize = 4096;
// The requests sit after the ten flags, well before the change counter at byte 256.
constexpr int kRequestSlot = 32;

std::mutex g_eventsMutex;

}  // namespace

const char* NamedEventName(NamedEvent ev) { return kNames[static_cast<int>(ev)]; }

std::optional<NamedEvent> NamedEventByName(std::string_view name) {
    for (int i = 0; i < kNamedEventCount; ++i) {
        if (name == kNames[i]) return static_cast<NamedEvent>(i);
    }
    return std::nullopt;
}

std::string NamedEvents::MappingPath(const std::string& hivePath) { return hivePath + ".events"; }

NamedEvents& NamedEvents::Get() {
    static std::unique_ptr<NamedEvents> current;
    std::string path = HivePath();
    std::lock_guard lock(g_eventsMutex);
    if (!current || current->hivePath_ != path) {
        // The previous mapping is kept alive: another thread may still hold a reference.
        static std::vector<std::unique_ptr<NamedEvents>> retired;
        if (current) retired.push_back(std::move(current));
        current.reset(new NamedEvents());
        current->Map(path);
    }
    return *current;
}

bool NamedEvents::Map(const std::string& hivePath) {
    hivePath_ = hivePath;
    std::string dir = DirectoryOf(hivePath);
    if (!dir.empty()) MakeDirectories(dir, 0700);
    int fd = ::open(MappingPath(hivePath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(kMappingSize) &&
                                   ::ftruncate(fd, kMappingSize) != 0)) {
        ::close(fd);
        return false;
    }
    void* p = ::mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return false;
    mapping_ = p;
    flags_ = static_cast<std::atomic<uint32_t>*>(p);
    changes_ = reinterpret_cast<std::atomic<uint64_t>*>(static_cast<char*>(p) + 256);
    static_assert(std::atomic<uint32_t>::is_always_lock_free);
    static_assert(std::atomic<uint64_t>::is_always_lock_free);
    return true;
}

NamedEvents::~NamedEvents() {
    if (mapping_) ::munmap(mapping_, kMappingSize);
}

bool NamedEvents::Test(NamedEvent ev) {
    if (!flags_) return false;
    auto& flag = flags_[static_cast<int>(ev)];
    if (ev == NamedEvent::ShowUi) return flag.exchange(0) != 0;
    return flag.load() != 0;
}

bool NamedEvents::Peek(NamedEvent ev) const {
    return flags_ && flags_[static_cast<int>(ev)].load() != 0;
}

void NamedEvents::Signal(NamedEvent ev) {
    if (flags_) flags_[static_cast<int>(ev)].store(1);
}

void NamedEvents::Reset(NamedEvent ev) {
    if (flags_) flags_[static_cast<int>(ev)].store(0);
}

void NamedEvents::ResetAll() {
    for (int i = 0; i < kNamedEventCount; ++i) Reset(static_cast<NamedEvent>(i));
    for (int i = 0; i < kControlRequestCount; ++i) TakeRequest(static_cast<ControlRequest>(i));
}

void NamedEvents::PostRequest(ControlRequest request) {
    if (flags_) flags_[kRequestSlot + static_cast<int>(request)].store(1);
}

bool NamedEvents::TakeRequest(ControlRequest request) {
    return flags_ && flags_[kRequestSlot + static_cast<int>(request)].exchange(0) != 0;
}

std::string InstanceLock::LockPath(const std::string& hivePath) { return hivePath + ".lock"; }

std::string PropertiesLockPath(const std::string& hivePath) { return hivePath + ".properties.lock"; }

bool InstanceLock::TryAcquire(const std::string& hivePath) {
    std::string dir = DirectoryOf(hivePath);
    if (!dir.empty() && !MakeDirectories(dir, 0700)) {
        error_ = "cannot create the folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    if (lock_.Lock(LockPath(hivePath), false)) return true;
    error_ = lock_.Error();
    return false;
}

bool InstanceLock::HeldByOther(const std::string& hivePath) {
    int fd = ::open(LockPath(hivePath).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    // F_OFD_GETLK only looks: probing with a real lock could make a starting server believe
    // another copy runs.
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

void CEvent::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    cv_.notify_all();
}

void CEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool CEvent::Wait(int timeoutMs) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return signalled_; };
    if (timeoutMs < 0) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return false;
    }
    if (!manual_) signalled_ = false;
    return true;
}

}  // namespace pv::platform
