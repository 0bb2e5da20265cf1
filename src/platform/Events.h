// Events: the ten process-shared "PVG:" flags, the single-instance lock, and the in-process
// events that tasks wait on.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/FileLock.h"

namespace pv::platform {

enum class NamedEvent : int {
    Running,
    SmtpTr,
    SmtpRc,
    PopServer,
    SmartPop,
    Finger,
    Offline,
    Online,
    PollSmartPop,
    ShowUi,
    ImapServer,  // after the ten of the described system, so their places stay
};
inline constexpr int kNamedEventCount = 11;

const char* NamedEventName(NamedEvent ev);
std::optional<NamedEvent> NamedEventByName(std::string_view name);  // exact, e.g. "PVG:SHOWUI"

// Requests another program makes, beside the ten flags: the operator's Connect and Disconnect
// (postvane-ctl), taken by the running server's status display, window or console; and a
// second Properties sheet's request that the open one come to the front.
enum class ControlRequest : int { Connect, Disconnect, RaiseProperties };
inline constexpr int kControlRequestCount = 3;
// The lock the open Properties sheet holds, next to the hive: one sheet at a time.
std::string PropertiesLockPath(const std::string& hivePath);

// The flags live in a small shared mapping next to the hive, so every process that knows the
// hive sees the same ten flags. "PVG:SHOWUI" resets itself when a test finds it signalled.
class NamedEvents {
public:
    // The mapping of the current hive (reopened if the hive path changes).
    static NamedEvents& Get();
    // Path of the mapping for a hive file.
    static std::string MappingPath(const std::string& hivePath);

    bool Available() const { return flags_ != nullptr; }
    bool Test(NamedEvent ev);        // a wait with time-out 0
    bool Peek(NamedEvent ev) const;  // look without consuming an auto-reset event
    void Signal(NamedEvent ev);
    void Reset(NamedEvent ev);
    // The ten flags and the pending requests.
    void ResetAll();
    void PostRequest(ControlRequest request);
    // True once per posted request.
    bool TakeRequest(ControlRequest request);
    // A counter in the same mapping that every writer of the hive bumps after a change, so
    // that a process can keep what it read until someone changes the hive. nullptr when the
    // mapping is not available.
    std::atomic<uint64_t>* HiveChangeCounter() const { return changes_; }

    ~NamedEvents();

private:
    NamedEvents() = default;
    bool Map(const std::string& hivePath);
    std::string hivePath_;
    std::atomic<uint32_t>* flags_ = nullptr;
    std::atomic<uint64_t>* changes_ = nullptr;
    void* mapping_ = nullptr;
};

// "Postvane Instance": an exclusive open-file-description lock on a file next to the hive. The
// kernel drops it when the process dies, so a crash never blocks the next start.
class InstanceLock {
public:
    static std::string LockPath(const std::string& hivePath);
    // True when this process now owns the hive; false when another copy runs (or the lock
    // file cannot be made: Error() then says why).
    bool TryAcquire(const std::string& hivePath);
    const std::string& Error() const { return error_; }
    // Whether some process holds the lock on that hive, without taking it.
    static bool HeldByOther(const std::string& hivePath);

private:
    FileLock lock_;
    std::string error_;
};

// An in-process event: manual or auto reset, waited on with a time-out in milliseconds
// (0 = test, negative = without limit).
class CEvent {
public:
    explicit CEvent(bool manualReset = true, bool initiallySignalled = false)
        : manual_(manualReset), signalled_(initiallySignalled) {}
    void Set();
    void Reset();
    bool Wait(int timeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool manual_;
    bool signalled_;
};

}  // namespace pv::platform
