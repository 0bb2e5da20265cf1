// CRobotPool: a few worker threads that run the mail robots, fed with the paths of the copies
// the spooler commits to robot mailboxes; a burst of requests waits in a queue of paths, not in
// threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "delivery/RobotCopies.h"
#include "net/BackgroundTask.h"
#include "robots/Robots.h"

namespace pv::robots {

class CRobotPool : public IRobotQueue {
public:
    // Robot runs at once. Each mostly waits for the disk (the members file, the reply), so a
    // few keep the disk busy without crowding the conversations off two cores.
    static constexpr int kWorkers = 4;
    // Paths waiting for a worker. Beyond it a path is not queued: its copy stays in the
    // mailbox and the next look through the robot mailboxes finds it.
    static constexpr size_t kMaxQueued = 4096;
    // How often the workers look through the robot mailboxes for copies nobody handed them:
    // left by a killed run, waiting for a retry, or not queued because the queue was full.
    static constexpr std::chrono::seconds kRescanInterval{5};
    // A run that failed (a disk error) waits before its copy is tried again: first this long,
    // doubling with every failure, up to kMaxRetryDelay.
    static constexpr std::chrono::seconds kFirstRetryDelay{2};
    static constexpr std::chrono::seconds kMaxRetryDelay{300};

    CRobotPool() = default;
    ~CRobotPool() override;

    // Looks through the robot mailboxes once (copies a killed run left are answered first),
    // then starts the workers.
    void Start();
    // Lets every worker finish its current run and waits for them; queued paths are dropped
    // (their copies stay and are found at the next start).
    void Stop();

    void Submit(const std::string& copyPath, const std::string& mailbox) override;
    // Queues every copy waiting in a robot mailbox that is not queued, running or waiting for
    // a retry. Returns how many were queued.
    size_t Rescan();

    // Runs one copy with the robot of its mailbox's type.
    static Outcome RunOne(const std::string& copyPath, const std::string& mailbox);

private:
    class CWorker : public net::CBackgroundTask {
    public:
        explicit CWorker(CRobotPool& pool) : pool_(pool) {}
        ~CWorker() override { StopAndWait(); }

    protected:
        void Run() override { pool_.Work(); }

    private:
        CRobotPool& pool_;
    };
    struct Job {
        std::string path;
        std::string mailbox;
    };
    struct Retry {
        int attempts = 0;
        std::chrono::steady_clock::time_point due;
    };

    void Work();
    void Postpone(const std::string& path);
    bool QueueLocked(const std::string& path, const std::string& mailbox);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    std::set<std::string> known_;  // queued or running
    std::map<std::string, Retry> retries_;
    std::chrono::steady_clock::time_point nextRescan_;
    bool rescanning_ = false;
    bool stopping_ = false;
    bool overflowLogged_ = false;
    std::vector<std::unique_ptr<CWorker>> workers_;
};

}  // namespace pv::robots
