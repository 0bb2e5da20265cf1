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
    const std::string file = JoinPath(listFolder, kMembersFile);
    platform::FileLock lock;
    if (!lock.Lock(JoinPath(listFolder, kMembersLockFile))) {
        WriteLogLine("Could not lock the members file " + file + ": " + lock.Error());
        return MembersChange::Failed;
    }
    std::vector<std::string> members;
    if (FileExists(file) && !ReadWorkFile(file, members)) return MembersChange::Failed;
    if (!change(members)) return MembersChange::Unchanged;
    const std::string fresh = file + ".new";
    if (!WriteTextFile(fresh, members, true) || std::rename(fresh.c_str(), file.c_str()) != 0 ||
        !SyncDirectory(listFolder)) {
        std::remove(fresh.c_str());
        WriteLogLine("Could not write the members file " + file + "; check the folder's permissions and free space");
        return MembersChange::Failed;
    }
    return MembersChange::Changed;
}

}  // namespace pv::robots
