#include "robots/MembersFile.h"

#include <cstdio>

#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"
#include "platform/FileLock.h"

namespace pv::robots {

MembersChange ChangeMembers(const std::string& listFolder,
                            const std::function<bool(std::vector<std::string>&)>& change) {
    return ChangeLineFile(JoinPath(listFolder, kMembersFile), JoinPath(listFolder, kMembersLockFile), change);
}

MembersChange ChangeLineFile(const std::string& file, const std::string& lockFile,
                             const std::function<bool(std::vector<std::string>&)>& change) {
    const std::string folder = file.substr(0, file.find_last_of('/'));
    platform::FileLock lock;
    if (!lock.Lock(lockFile)) {
        WriteLogLine("Could not lock " + file + ": " + lock.Error());
        return MembersChange::Failed;
    }
    std::vector<std::string> lines;
    if (FileExists(file) && !ReadWorkFile(file, lines)) return MembersChange::Failed;
    if (!change(lines)) return MembersChange::Unchanged;
    // Written beside the old file and flushed, renamed over it, the folder flushed: a reader
    // sees the old lines or the new ones, and a change reported is on the disk.
    const std::string fresh = file + ".new";
    if (!WriteTextFile(fresh, lines, true) || std::rename(fresh.c_str(), file.c_str()) != 0 || !SyncDirectory(folder)) {
        std::remove(fresh.c_str());
        WriteLogLine("Could not write " + file + "; check the folder's permissions and free space");
        return MembersChange::Failed;
    }
    return MembersChange::Changed;
}

}  // namespace pv::robots
