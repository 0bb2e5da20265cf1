#include "robots/RobotPool.h"

#include <algorithm>

#include "core/Folders.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"
#include "robots/RobotReply.h"

namespace pv::robots {

namespace {

// Which robot answers a mailbox of which type.
struct RobotKind {
    uint32_t type;
    Outcome (*run)(const std::string& copyPath, const std::string& mailbox);
};
constexpr RobotKind kRobots[] = {
    {kMailboxListServer, &RunListServer},
    {kMailboxCommand, &RunCommandRobot},
    {kMailboxResponder, &RunAutoResponder},
};

const RobotKind* RobotFor(uint32_t type) {
    for (const auto& kind : kRobots) {
        if (kind.type == type) return &kind;
    }
    return nullptr;
}

// The committed copies in a folder (staged ones end in .tmp), oldest first.
std::vector<std::string> Copies(const std::string& folder) {
    std::vector<std::string> paths;
    for (const auto& name : ListFolderNames(folder, ".txt")) paths.push_back(JoinPath(folder, name));
    return paths;
}

}  // namespace

CRobotPool::~CRobotPool() { Stop(); }

void CRobotPool::Start() {
    Rescan();
    std::lock_guard lock(mutex_);
    stopping_ = false;
    nextRescan_ = std::chrono::steady_clock::now() + kRescanInterval;
    for (int i = 0; i < kWorkers; ++i) {
        workers_.push_back(std::make_unique<CWorker>(*this));
        if (!workers_.back()->Start(false).Valid()) {
            WriteLogLine("Could not start a mail robot thread; the robots run on " + std::to_string(i) + " thread(s)");
            workers_.pop_back();
            break;
        }
    }
}

void CRobotPool::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (auto& worker : workers_) worker->StopAndWait(5000);
    workers_.clear();
    std::lock_guard lock(mutex_);
    known_.clear();
}

bool CRobotPool::QueueLocked(const std::string& path, const std::string& mailbox) {
    if (known_.count(path)) return false;
    if (auto it = retries_.find(path); it != retries_.end() && it->second.due > std::chrono::steady_clock::now()) {
        return false;
    }
    if (queue_.size() >= kMaxQueued) {
        if (!overflowLogged_) {
            overflowLogged_ = true;
            WriteLogLine("More than " + std::to_string(kMaxQueued) +
                         " robot requests wait; the rest are taken from the robot mailboxes later");
        }
        return false;
    }
    queue_.push_back({path, mailbox});
    known_.insert(path);
    return true;
}

void CRobotPool::Submit(const std::string& copyPath, const std::string& mailbox) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !QueueLocked(copyPath, mailbox)) return;
    }
    wake_.notify_one();
}

size_t CRobotPool::Rescan() {
    size_t queued = 0;
    for (const auto& name : CMailbox::ListMailboxes()) {
        CMailbox box;
        if (!box.Open(name) || !RobotFor(box.Type())) continue;
        for (const auto& path : Copies(box.Directory())) {
            std::lock_guard lock(mutex_);
            if (!stopping_ && QueueLocked(path, name)) ++queued;
        }
    }
    if (queued) wake_.notify_all();
    return queued;
}

Outcome CRobotPool::RunOne(const std::string& copyPath, const std::string& mailbox) {
    if (!FileExists(copyPath)) return Outcome::Done;  // answered already
    // A run cut short after its reply was committed: only the copy is left to remove.
    if (ReplyCommitted(copyPath)) return FinishRun(copyPath, nullptr, "mail robot");
    CMailbox box;
    const RobotKind* kind = box.Open(mailbox) ? RobotFor(box.Type()) : nullptr;
    if (!kind) {
        WriteLogLine("Mailbox " + mailbox + " is no longer a robot's; its request " + copyPath + " stays unanswered");
        return Outcome::Done;
    }
    return kind->run(copyPath, mailbox);
}

void CRobotPool::Postpone(const std::string& path) {
    Retry& retry = retries_[path];
    ++retry.attempts;
    auto delay = kFirstRetryDelay * (1LL << std::min(retry.attempts - 1, 20));
    if (delay > kMaxRetryDelay) delay = kMaxRetryDelay;
    retry.due = std::chrono::steady_clock::now() + delay;
    WriteLogLine("The robot request " + path + " is not answered (attempt " + std::to_string(retry.attempts) +
                 "); it is tried again in " + std::to_string(delay.count()) + " seconds");
}

void CRobotPool::Work() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextRescan_ && !rescanning_) {
            // One worker looks; the others go on with the queue meanwhile.
            rescanning_ = true;
            nextRescan_ = now + kRescanInterval;
            overflowLogged_ = false;
            lock.unlock();
            Rescan();
            lock.lock();
            rescanning_ = false;
            continue;
        }
        if (queue_.empty()) {
            // While another worker looks through the mailboxes, the rescan time has passed:
            // wait for its paths (or a second) instead.
            wake_.wait_until(lock, rescanning_ ? now + std::chrono::seconds(1) : nextRescan_);
            continue;
        }
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const Outcome outcome = RunOne(job.path, job.mailbox);
        lock.lock();
        known_.erase(job.path);
        if (outcome == Outcome::Retry) {
            Postpone(job.path);
        } else {
            retries_.erase(job.path);
        }
    }
}

}  // namespace pv::robots
