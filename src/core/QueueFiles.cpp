#include "core/QueueFiles.h"

#include <cstdio>
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

// The envelope becomes .wrk, and the folder entry is on disk before anyone is told.
static bool RenameIntoView(const std::string& base) {
    const std::string wrk = base + ".wrk";
    if (std::rename((base + ".tmp").c_str(), wrk.c_str()) != 0) return false;
    return SyncDirectoryOf(wrk);
}

bool CommitPair(const std::string& base) {
    return SyncPath(base + ".txt") && SyncPath(base + ".tmp") && RenameIntoView(base);
}

bool WriteEnvelopeAndCommit(const std::string& base, const std::string& sender,
                            const std::vector<std::string>& recipients) {
    TextFileWriter out;
    if (!out.Open(base + ".tmp", true)) return false;
    out.WriteLine(sender);
    for (const auto& r : recipients) out.WriteLine(r);
    // Both files go to the disk side by side: the envelope's writing starts before the wait
    // for the message file.
    bool ok = out.StartWriteback() && SyncPath(base + ".txt") && out.Sync() && out.Close();
    if (!ok) {
        out.Discard();
        return false;
    }
    if (!RenameIntoView(base)) {
        std::remove((base + ".tmp").c_str());
        return false;
    }
    return true;
}

}  // namespace pv
