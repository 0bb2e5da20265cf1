// Folders: how every part of the server lists a spool folder (the inbox, the outbound queue, a
// mailbox), one way, on std::filesystem.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

struct FolderEntry {
    std::string name;
    uint64_t size = 0;
};

// The regular files of folder whose names end with suffix ("" for every file), with their
// sizes, sorted by name: queue names count up, so name order is arrival order. Names that start
// with "." are left out. False (error says why) when the folder cannot be read; a folder that
// does not exist is an error too, as it is for a mailbox.
bool ListFolder(const std::string& folder, std::string_view suffix, std::vector<FolderEntry>& entries,
                std::string* error = nullptr);
// Only the names; empty when the folder cannot be read.
std::vector<std::string> ListFolderNames(const std::string& folder, std::string_view suffix = {});
// The folders inside folder, sorted by name; empty when it cannot be read.
std::vector<std::string> ListSubfolders(const std::string& folder);

}  // namespace pv
