#include "core/Folders.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace pv {

namespace fs = std::filesystem;

namespace {

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Calls take(entry) for every entry; false when the folder cannot be read.
template <class Take>
bool Walk(const std::string& folder, Take&& take, std::string* error) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        take(*it, name);
    }
    if (ec && error) *error = ec.message();
    return !ec;
}

}  // namespace

bool ListFolder(const std::string& folder, std::string_view suffix, std::vector<FolderEntry>& entries,
                std::string* error) {
    entries.clear();
    bool ok = Walk(
        folder,
        [&](const fs::directory_entry& entry, const std::string& name) {
            if (!suffix.empty() && !EndsWith(name, suffix)) return;
            std::error_code ec;
            if (!entry.is_regular_file(ec)) return;
            const auto size = entry.file_size(ec);
            if (ec) return;  // gone since the listing began
            entries.push_back({name, static_cast<uint64_t>(size)});
        },
        error);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return ok;
}

std::vector<std::string> ListFolderNames(const std::string& folder, std::string_view suffix) {
    std::vector<std::string> names;
    Walk(
        folder,
        [&](const fs::directory_entry& entry, const std::string& name) {
            std::error_code ec;
            if ((suffix.empty() || EndsWith(name, suffix)) && entry.is_regular_file(ec)) names.push_back(name);
        },
        nullptr);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ListSubfolders(const std::string& folder) {
    std::vector<std::string> names;
    Walk(
        folder,
        [&](const fs::directory_entry& entry, const std::string& name) {
            std::error_code ec;
            if (entry.is_directory(ec)) names.push_back(name);
        },
        nullptr);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace pv
