#include "net/Threads.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pv::net {

namespace {

// The nice value every relative priority is measured from: the process's main thread.
int BaseNice() {
    static const int base = [] {
        errno = 0;
        int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
        return errno == 0 ? nice : 0;
    }();
    return base;
}

}  // namespace

void SetCurrentThreadPriority(ThreadPriority priority) {
    int target = BaseNice();
    switch (priority) {
        case ThreadPriority::Normal: break;
        case ThreadPriority::AboveNormal: target -= 1; break;
        case ThreadPriority::Highest: target -= 5; break;
        case ThreadPriority::TimeCritical: target -= 10; break;
    }
    target = std::clamp(target, -20, 19);
    // On Linux the nice value is per thread when addressed by thread id.
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    (void)::setpriority(PRIO_PROCESS, tid, target);
}

bool StartDetachedThread(void* (*body)(void*), void* arg, size_t stackSize) {
    pthread_attr_t attr;
    int rc = ::pthread_attr_init(&attr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        rc = ::pthread_attr_setstacksize(&attr, stackSize);
        if (rc != 0) {
            ::pthread_attr_destroy(&attr);
            errno = rc;
            return false;
        }
    }
    pthread_t thread;
    rc = ::pthread_create(&thread, &attr, body, arg);
    ::pthread_attr_destroy(&attr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

namespace detail {

ThreadState::ThreadState(bool withQueue) {
    if (withQueue) wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

ThreadState::~ThreadState() {
    Dispose(queue_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void ThreadState::Dispose(std::vector<ThreadMessage>& queue) {
    for (const ThreadMessage& msg : queue) {
        if (msg.message == kWmAdoptSocket) ::close(static_cast<int>(msg.wParam));
    }
    queue.clear();
}

bool ThreadState::Post(const ThreadMessage& msg) {
    {
        std::lock_guard lock(mutex_);
        if (ended_ || wakeFd_ < 0) return false;
        queue_.push_back(msg);
    }
    const uint64_t one = 1;
    ssize_t rc;
    do {
        rc = ::write(wakeFd_, &one, sizeof one);
    } while (rc < 0 && errno == EINTR);
    // EAGAIN means the counter is saturated: the thread is woken anyway.
    return true;
}

std::vector<ThreadMessage> ThreadState::TakeAll() {
    uint64_t count;
    while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::vector<ThreadMessage> taken;
    std::lock_guard lock(mutex_);
    taken.swap(queue_);
    return taken;
}

void ThreadState::MarkReady() {
    {
        std::lock_guard lock(mutex_);
        ready_ = true;
    }
    cv_.notify_all();
}

void ThreadState::MarkEnded() {
    std::vector<ThreadMessage> left;
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        left.swap(queue_);
    }
    cv_.notify_all();
    Dispose(left);
}

bool ThreadState::WaitReady() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return ready_ || ended_; });
    return ready_;
}

bool ThreadState::WaitEnded(int timeoutMs) {
    std::unique_lock lock(mutex_);
    if (timeoutMs < 0) {
        cv_.wait(lock, [this] { return ended_; });
        return true;
    }
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return ended_; });
}

bool ThreadState::Ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

}  // namespace detail

bool ThreadHandle::PostThreadMessage(unsigned message, uintptr_t wParam, intptr_t lParam) const {
    return state_ && state_->Post(ThreadMessage{message, wParam, lParam});
}

bool ThreadHandle::WaitReady() const { return state_ && state_->WaitReady(); }

bool ThreadHandle::Wait(int timeoutMs) const { return !state_ || state_->WaitEnded(timeoutMs); }

bool ThreadHandle::Ended() const { return !state_ || state_->Ended(); }

}  // namespace pv::net
