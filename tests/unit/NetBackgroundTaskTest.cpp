// Background tasks: stop requests, self-deletion and the bounded wait at shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

#include "net/BackgroundTask.h"

using namespace std::chrono_literals;
using pv::net::CBackgroundTask;
using pv::net::ThreadHandle;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Sweeps once per period until asked to stop, as the spooler does.
class SweepingTask : public CBackgroundTask {
public:
    explicit SweepingTask(std::shared_ptr<std::atomic<int>> sweeps) : sweeps_(std::move(sweeps)) {}
    ~SweepingTask() override { StopAndWait(); }

protected:
    void Run() override {
        while (!WaitForStop(20)) ++*sweeps_;
    }

private:
    std::shared_ptr<std::atomic<int>> sweeps_;
};

// A robot-like task: does its job once and deletes itself.
class OneShotTask : public CBackgroundTask {
public:
    explicit OneShotTask(std::shared_ptr<std::atomic<bool>> destroyed) : destroyed_(std::move(destroyed)) {}
    ~OneShotTask() override { *destroyed_ = true; }

protected:
    void Run() override {}

private:
    std::shared_ptr<std::atomic<bool>> destroyed_;
};

// Stuck in something that ignores the stop request, as a dial in progress does.
class StuckTask : public CBackgroundTask {
public:
    explicit StuckTask(std::shared_future<void> release) : release_(std::move(release)) {}

protected:
    void Run() override { release_.wait_for(10s); }

private:
    std::shared_future<void> release_;
};

}  // namespace

TEST(NetBackgroundTask, RunsUntilStoppedAndStopsPromptly) {
    auto sweeps = std::make_shared<std::atomic<int>>(0);
    SweepingTask task(sweeps);
    ThreadHandle thread = task.Start(false);
    ASSERT_TRUE(thread.Valid());
    std::this_thread::sleep_for(150ms);
    EXPECT_GT(sweeps->load(), 1);
    EXPECT_FALSE(thread.Ended());

    const auto start = Clock::now();
    EXPECT_TRUE(task.StopAndWait(1000));
    EXPECT_LT(MsSince(start), 500);
    const int final = sweeps->load();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(sweeps->load(), final);
}

TEST(NetBackgroundTask, SelfDeletingTaskIsGoneWhenItsThreadEnds) {
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    auto* task = new OneShotTask(destroyed);
    ThreadHandle thread = task->Start(true);
    ASSERT_TRUE(thread.Valid());
    ASSERT_TRUE(thread.Wait(2000));
    EXPECT_TRUE(destroyed->load());
}

TEST(NetBackgroundTask, ShutdownWaitForABlockedTaskEndsAfterOneSecond) {
    std::promise<void> release;
    StuckTask task(release.get_future().share());
    ThreadHandle thread = task.Start(false);
    ASSERT_TRUE(thread.Valid());

    const auto start = Clock::now();
    EXPECT_FALSE(task.StopAndWait(1000));
    const long long waited = MsSince(start);
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 1600);

    release.set_value();
    EXPECT_TRUE(thread.Wait(2000));
}
