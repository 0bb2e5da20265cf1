// The members file of a distribution list (rcpt.pvg in the list's mailbox folder): changed
// under a lock by the list server and postvane-admin alike.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pv::robots {

// Beside the members file; every changer takes it, in any process.
inline constexpr const char* kMembersLockFile = "rcpt.lck";

enum class MembersChange { Unchanged, Changed, Failed };

// Reads the members (trailing white space removed, empty lines kept), lets `change` edit them
// (it returns whether it changed anything) and, when it did, writes the file whole beside the
// old one, flushes it and renames it over the old one, all under the lock: two changes at once
// never lose one, and a reader sees the old list or the new one, never half of one.
MembersChange ChangeMembers(const std::string& listFolder,
                            const std::function<bool(std::vector<std::string>&)>& change);

// The same for any small file of lines a robot keeps in a mailbox folder: `file` is read,
// changed and rewritten whole under the lock `lockFile`, flushed and renamed into place.
MembersChange ChangeLineFile(const std::string& file, const std::string& lockFile,
                             const std::function<bool(std::vector<std::string>&)>& change);

}  // namespace pv::robots
