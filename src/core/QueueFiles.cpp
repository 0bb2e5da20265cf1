#include "core/QueueFiles.h"

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <sys/stat.h>

#include "core/Log.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "platform/FileLock.h"
#include "platform/Hive.h"

namespace pv {

namespace {
std::mutex g_queueNumberLock;
}

std::string SpoolRoot() {
    std::string root;
    CRegistryKey key("", false);
    key.ReadString("Maildrop", root);
    return root;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string FormatQueueFileName(uint32_t number) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "f%07X", number & 0x0FFFFFFFu);
    return buf;
}

std::string QueueNameLockPath() { return platform::HivePath() + ".names"; }

std::string NextQueueFileName() {
    // The mutex orders this process's threads; the file lock orders the processes (the server,
    // postvane-send, the tools), which all count with the same `FileNum`.
    std::lock_guard lock(g_queueNumberLock);
    platform::FileLock processes;
    if (!processes.Lock(QueueNameLockPath())) {
        // Without the lock a name may be handed out twice; the exclusive creation of every
        // queue file still keeps one writer from overwriting another's.
        static bool reported = false;
        if (!reported) {
            reported = true;
            WriteLogLine("Queue names are taken without the lock between programs: " + processes.Error());
        }
    }
    // One root key for the life of the process (reopened only if the hive is switched, which
    // the tests do).
    static CRegistryKey root;
    static std::string rootHive;
    std::string hive = platform::HivePath();
    if (!root.IsOpen() || rootHive != hive) {
        root.Open("", true);
        rootHive = hive;
    }
    uint32_t number = 0;  // a fresh hive starts at 0, so the first name is f0000001
    root.ReadInt("FileNum", number);
    number = (number + 1) & 0x0FFFFFFFu;
    root.WriteInt("FileNum", number);
    return FormatQueueFileName(number);
}

std::string QueueDirectory(const char* dir) { return JoinPath(SpoolRoot(), dir); }

// Every pair that is still queued has one of these; a lone ".err" or ".old" is only kept for
// reference, and a new pair beside it does no harm.
static bool NameInUse(const std::string& base) {
    for (const char* suffix : {".txt", ".wrk", ".tmp", ".pop"}) {
        if (FileExists(base + suffix)) return true;
    }
    return false;
}

static std::string QueuePath(const char* dir) {
    std::string folder = QueueDirectory(dir);
    ::mkdir(folder.c_str(), 0700);  // failure shows up when the producer creates its file
    // After the counter wraps (or a restored hive hands out old numbers) a name may still
    // belong to a queued pair; taking the next number never overwrites mail.
    std::string base = JoinPath(folder, NextQueueFileName());
    for (int tries = 0; tries < 1000 && NameInUse(base); ++tries) {
        base = JoinPath(folder, NextQueueFileName());
    }
    return base;
}

std::string InboundQueuePath() { return QueuePath(kInboxDir); }
std::string OutboundQueuePath() { return QueuePath(kOutboxDir); }

bool ReadWorkFile(const std::string& path, std::vector<std::string>& lines) {
    LineReader in;
    if (!in.Open(path)) return false;
    std::string line;
    while (in.ReadLine(line, kWorkLineLimit)) {
        size_t end = line.find_last_not_of(" \t\r\n\v\f");
        line.erase(end == std::string::npos ? 0 : end + 1);
        lines.push_back(line);
    }
    return true;
}

namespace {

// Group commit. Conversations that finish a message at the same moment share their flushes: the
// first to arrive (the leader) flushes the files of every pair queued behind it, renames each
// envelope into view and then flushes each folder once, while the others wait. The files'
// writeback was started when they were written, so the leader's flushes wait for I/O that ran
// side by side, and the journal commit of the first flush covers most of the rest. Nobody is
// told "done" before its own pair is durable: files flushed, then the rename, then the folder.
struct CommitRequest {
    std::string base;
    bool done = false;
    bool ok = false;
    int err = 0;
};

struct CommitQueue {
    std::mutex mutex;
    std::condition_variable finished;
    std::vector<CommitRequest*> waiting;  // not yet taken by a leader
    bool leading = false;
};

CommitQueue& Commits() {
    static CommitQueue queue;
    return queue;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

void CommitBatch(const std::vector<CommitRequest*>& batch) {
    // 1. Both files of every pair on disk.
    std::vector<std::string> files;
    for (CommitRequest* r : batch) {
        files.push_back(r->base + ".txt");
        files.push_back(r->base + ".tmp");
    }
    if (!SyncFiles(files)) {
        // Which pair failed is not known: each is flushed on its own to find out.
        for (CommitRequest* r : batch) {
            r->ok = SyncPath(r->base + ".txt") && SyncPath(r->base + ".tmp");
            if (!r->ok) r->err = errno;
        }
    } else {
        for (CommitRequest* r : batch) r->ok = true;
    }
    // 2. Into view: the envelope becomes .wrk.
    std::map<std::string, std::vector<CommitRequest*>> folders;
    for (CommitRequest* r : batch) {
        if (!r->ok) continue;
        if (std::rename((r->base + ".tmp").c_str(), (r->base + ".wrk").c_str()) != 0) {
            r->ok = false;
            r->err = errno;
            continue;
        }
        folders[FolderOf(r->base)].push_back(r);
    }
    // 3. One flush per folder makes every rename in it durable. Should that fail, the pairs go
    // out of view again (as far as they still can): their writers report failure and try again.
    for (auto& [folder, requests] : folders) {
        if (SyncDirectory(folder)) continue;
        const int err = errno;
        for (CommitRequest* r : requests) {
            std::rename((r->base + ".wrk").c_str(), (r->base + ".tmp").c_str());
            r->ok = false;
            r->err = err;
        }
    }
}

// Queues base for the next batch and returns once its pair is durable (true) or has failed
// (false, errno set).
bool GroupCommit(const std::string& base) {
    CommitQueue& q = Commits();
    CommitRequest me {base};
    std::unique_lock lock(q.mutex);
    q.waiting.push_back(&me);
    while (!me.done) {
        if (q.leading) {
            q.finished.wait(lock);
            continue;
        }
        q.leading = true;
        std::vector<CommitRequest*> batch;
        batch.swap(q.waiting);
        lock.unlock();
        CommitBatch(batch);
        lock.lock();
        for (CommitRequest* r : batch) r->done = true;
        q.leading = false;
        q.finished.notify_all();
    }
    if (!me.ok) errno = me.err;
    return me.ok;
}

}  // namespace

size_t CommitsWaiting() {
    CommitQueue& q = Commits();
    std::lock_guard lock(q.mutex);
    return q.waiting.size();
}

bool CommitPair(const std::string& base) { return GroupCommit(base); }

bool WriteEnvelopeAndCommit(const std::string& base, const std::string& sender,
                            const std::vector<std::string>& recipients) {
    TextFileWriter out;
    if (!out.Open(base + ".tmp", true)) return false;
    out.WriteLine(sender);
    for (const auto& r : recipients) out.WriteLine(r);
    // Its writing starts now, beside the message file's; the commit waits for both.
    if (!out.StartWriteback() || !out.Close()) {
        const int err = out.Errno();
        out.Discard();
        errno = err;
        return false;
    }
    if (!GroupCommit(base)) {
        const int err = errno;
        std::remove((base + ".tmp").c_str());
        errno = err;
        return false;
    }
    return true;
}

}  // namespace pv
