// CBackgroundTask: a thread with a stop request, for long-running jobs that are not network
// conversations (the spooler, the connection manager, the mail robots).
#pragma once

#include <atomic>

#include "net/Threads.h"
#include "platform/Events.h"

namespace pv::net {

inline constexpr int kStopWaitMs = 1000;

class CBackgroundTask {
public:
    CBackgroundTask();
    // Stops the task and waits for its thread. A task that will not end is waited for beyond
    // kStopWaitMs (with a log line), because its thread still uses the object; owners that must
    // not wait longer call StopAndWait first and then leave the object alone.
    virtual ~CBackgroundTask();
    CBackgroundTask(const CBackgroundTask&) = delete;
    CBackgroundTask& operator=(const CBackgroundTask&) = delete;

    // Starts the thread (normal priority, default stack) running Run. With selfDelete the
    // thread deletes the object when Run returns. An invalid handle means no thread was made
    // and the object still belongs to the caller.
    ThreadHandle Start(bool selfDelete);
    // Sets the stop flag and signals the stop event; does not wait.
    void Stop();
    // Stop, then wait up to timeoutMs for the thread. True when it has ended (or never ran).
    bool StopAndWait(int timeoutMs = kStopWaitMs);
    ThreadHandle Handle() const { return ThreadHandle(state_); }

protected:
    // The thread body; ends when StopRequested() or the stop event says so.
    virtual void Run() = 0;
    bool StopRequested() const { return stopFlag_.load(std::memory_order_acquire) != 0; }
    platform::CEvent& StopEvent() { return stopEvent_; }
    // Waits up to ms on the stop event. True when the task is to end.
    bool WaitForStop(int ms);

private:
    static void* ThreadMain(void* arg);

    platform::CEvent stopEvent_{false, false};  // auto-reset, not signalled
    std::atomic<int> stopFlag_{0};
    std::shared_ptr<detail::ThreadState> state_;
    bool selfDelete_ = false;
    bool started_ = false;
};

}  // namespace pv::net
