#include "delivery/SpoolJournal.h"

#include <cstdio>

#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"

namespace pv {

namespace {

std::string FolderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

std::string StagingPath(const std::string& path) {
    const std::string name(CSpoolJournal::kName);
    return path.substr(0, path.size() - (name.size() - name.find('.'))) + CSpoolJournal::kStagingSuffix;
}

}  // namespace

bool CSpoolJournal::Write(const std::string& inbox, const std::vector<std::string>& records) {
    // The decision: once the journal is on disk, the batch is finished even across a kill.
    const std::string path = JoinPath(inbox, kName);
    const std::string staging = StagingPath(path);
    const bool decided = WriteTextFile(staging, records, true) && std::rename(staging.c_str(), path.c_str()) == 0 &&
                         SyncDirectory(FolderOf(path));
    if (!decided) {
        std::remove(staging.c_str());
        std::remove(path.c_str());
    }
    return decided;
}

// Finishes the batch its journal describes: renames whose staged file is still there, folder
// flushes, then the inbox removals. Every step can be done again, so a kill here only means
// the next sweep repeats it. False (journal kept) when a folder could not be flushed.
bool CSpoolJournal::Finish(const std::string& inbox) {
    const std::string path = JoinPath(inbox, kName);
    std::vector<std::string> lines;
    if (!FileExists(path) || !ReadTextFile(path, lines)) return true;
    auto args = [&](size_t i, size_t n) { return i + n < lines.size(); };
    // Renames first.
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == kOpRename && args(i, 2)) {
            const std::string& from = lines[i + 1];
            const std::string& to = lines[i + 2];
            if (FileExists(from) && std::rename(from.c_str(), to.c_str()) != 0) {
                WriteLogLine("Could not rename " + from + " to " + to + "; the spooler tries again later");
                return false;
            }
            i += 2;
        } else if ((lines[i] == kOpKeep) && args(i, 2)) {
            i += 2;
        } else if ((lines[i] == kOpFolder || lines[i] == kOpRemove) && args(i, 1)) {
            i += 1;
        }
    }
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i] == kOpFolder && !SyncDirectory(lines[i + 1])) {
            WriteLogLine("Could not flush the folder " + lines[i + 1] +
                         " to disk; the spooler tries again later. Check the disk.");
            return false;
        }
    }
    // Only now is the inbox message let go.
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == kOpRemove && args(i, 1)) {
            std::remove(lines[++i].c_str());
        } else if (lines[i] == kOpKeep && args(i, 2)) {
            if (FileExists(lines[i + 1])) std::rename(lines[i + 1].c_str(), lines[i + 2].c_str());
            i += 2;
        } else if (lines[i] == kOpRename && args(i, 2)) {
            i += 2;
        } else if (lines[i] == kOpFolder && args(i, 1)) {
            i += 1;
        }
    }
    std::remove(path.c_str());
    return true;
}

}  // namespace pv
