#include "net/BackgroundTask.h"

#include <cstring>
#include <pthread.h>
#include <string>

#include "core/Log.h"

namespace pv::net {

namespace {
thread_local const CBackgroundTask* t_currentTask = nullptr;
}

CBackgroundTask::CBackgroundTask() : state_(std::make_shared<detail::ThreadState>(false)) {}

CBackgroundTask::~CBackgroundTask() {
    // A self-deleting task is destroyed by its own thread, which must not wait for itself.
    if (!started_ || t_currentTask == this) return;
    if (StopAndWait(kStopWaitMs)) return;
    WriteLogLine("A background task did not stop within 1000 ms; waiting for it to finish before releasing it.");
    state_->WaitEnded(-1);
}

ThreadHandle CBackgroundTask::Start(bool selfDelete) {
    if (started_) return ThreadHandle();
    selfDelete_ = selfDelete;
    started_ = true;
    // Taken first: a self-deleting task may be gone before the thread creation returns.
    ThreadHandle handle(state_);
    if (!StartDetachedThread(&CBackgroundTask::ThreadMain, this, 0)) {
        started_ = false;
        WriteLogLine(std::string("Could not start a background task: ") + std::strerror(errno) +
                     ". Check the system's limits on threads and memory.");
        return ThreadHandle();
    }
    return handle;
}

void* CBackgroundTask::ThreadMain(void* arg) {
    auto* self = static_cast<CBackgroundTask*>(arg);
    std::shared_ptr<detail::ThreadState> state = self->state_;
    t_currentTask = self;
    state->MarkReady();
    self->Run();
    if (self->selfDelete_) delete self;
    t_currentTask = nullptr;
    state->MarkEnded();
    return nullptr;
}

void CBackgroundTask::Stop() {
    stopFlag_.store(1, std::memory_order_release);
    stopEvent_.Set();
}

bool CBackgroundTask::StopAndWait(int timeoutMs) {
    Stop();
    return !started_ || state_->WaitEnded(timeoutMs);
}

bool CBackgroundTask::WaitForStop(int ms) {
    const bool signalled = stopEvent_.Wait(ms);
    return signalled || StopRequested();
}

}  // namespace pv::net
