// Threads of the network framework: what outlives a thread's object (its message queue and its
// ready and ended states), the handle other threads hold, and best-effort priorities.
//
// A socket thread's object deletes itself when its thread ends, so nobody else may keep a
// pointer to it; they keep a ThreadHandle instead, which stays valid for as long as it is held.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>
#include <string>

namespace pv::net {

// Thread messages, numbered as the window system numbers them.
inline constexpr unsigned kWmQuit = 0x0012;
inline constexpr unsigned kWmUser = 0x0400;
// Sets the receiving socket thread's allowed silence (wParam: seconds), from another thread.
inline constexpr unsigned kWmSetTimeout = kWmUser + 2;
// Hands an accepted socket to a socket thread (wParam: socket, lParam: events). Internal to
// CSocketThread::Accept; a socket in an undelivered message is closed, never leaked.
inline constexpr unsigned kWmAdoptSocket = kWmUser + 3;

struct ThreadMessage {
    unsigned message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

enum class ThreadPriority { Normal, AboveNormal, Highest, TimeCritical };

// Moves the calling thread to the priority, relative to the process's own. Raising needs a
// privilege most installations lack; a refused change is ignored.
void SetCurrentThreadPriority(ThreadPriority priority);

// Starts a detached thread running body(arg). stackSize 0 takes the system's default. False
// (with errno set) when the thread cannot be made.
bool StartDetachedThread(void* (*body)(void*), void* arg, size_t stackSize);

namespace detail {

class ThreadState {
public:
    explicit ThreadState(bool withQueue);
    ~ThreadState();
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    bool HasQueue() const { return wakeFd_ >= 0; }
    int WakeFd() const { return wakeFd_; }
    // False when the thread has ended or has no queue.
    bool Post(const ThreadMessage& msg);
    // Everything posted so far, oldest first.
    std::vector<ThreadMessage> TakeAll();

    void MarkReady();
    // The thread is gone: later posts fail, waiters wake, undelivered sockets are closed.
    void MarkEnded();
    bool WaitReady();  // true once ready, false if the thread ended first
    bool WaitEnded(int timeoutMs);
    bool Ended() const;

private:
    static void Dispose(std::vector<ThreadMessage>& queue);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    // A vector, not a deque: an empty one holds no memory, and most of the time a thread's
    // queue is empty (a deque keeps a block of its own, which thousands of idle threads add up).
    std::vector<ThreadMessage> queue_;
    int wakeFd_ = -1;
    bool ready_ = false;
    bool ended_ = false;
};

}  // namespace detail

class ThreadHandle {
public:
    ThreadHandle() = default;
    explicit ThreadHandle(std::shared_ptr<detail::ThreadState> state) : state_(std::move(state)) {}

    bool Valid() const { return state_ != nullptr; }
    // False when the thread has ended (or takes no messages).
    bool PostThreadMessage(unsigned message, uintptr_t wParam = 0, intptr_t lParam = 0) const;
    bool PostQuit() const { return PostThreadMessage(kWmQuit); }
    // Blocks until the thread has finished its initialisation; false if it ended before that.
    bool WaitReady() const;
    // True once the thread has ended; waits up to timeoutMs (negative: without limit).
    bool Wait(int timeoutMs) const;
    bool Ended() const;

private:
    std::shared_ptr<detail::ThreadState> state_;
};

}  // namespace pv::net
