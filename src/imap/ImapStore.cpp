#include "imap/ImapStore.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Folders.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"

namespace pv::imap {

namespace {

std::mutex g_registryMutex;
std::map<std::string, std::weak_ptr<CFolder>> g_folders;
std::mutex g_validityMutex;
uint32_t g_lastValidity = 0;

// A new UIDVALIDITY: the time, and never the same twice in one run (a folder deleted and made
// again within a second must not look like the old one).
uint32_t NewUidValidity() {
    std::lock_guard lock(g_validityMutex);
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));
    g_lastValidity = std::max(now, g_lastValidity + 1);
    return g_lastValidity;
}

bool SafeFileName(const std::string& name) {
    if (name.empty() || name.size() > 200) return false;
    for (unsigned char c : name) {
        if (c <= 0x20 || c == 0x7F || c == '/') return false;
    }
    return true;
}

std::string Errno(int err) { return std::strerror(err); }

bool MakeDir(const std::string& path, std::string* error) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    if (error) *error = "cannot make " + path + ": " + Errno(errno);
    return false;
}

}  // namespace

bool MeasureMessage(const std::string& path, MessageState& m) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) == 0) m.date = st.st_mtime;
    char buffer[64 * 1024];
    uint64_t size = 0, lines = 0;
    bool inHeader = true, lineHasText = false, lastWasCR = false, lastWasLF = true;
    m.headerSize = 0;
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                size += lastWasCR ? 1 : 2;  // a bare LF goes out as CR LF
                if (inHeader && !lineHasText) {
                    inHeader = false;
                    m.headerSize = size;
                } else if (!inHeader) {
                    ++lines;
                }
                lineHasText = false;
            } else {
                ++size;
                if (c != '\r') lineHasText = true;
            }
            lastWasCR = c == '\r';
            lastWasLF = c == '\n';
        }
    }
    const bool ok = n == 0;
    ::close(fd);
    if (inHeader) m.headerSize = size;  // no empty line: all header
    if (!inHeader && !lastWasLF) ++lines;
    m.size = size;
    m.bodyLines = lines;
    return ok;
}

std::shared_ptr<CFolder> CFolder::Get(const std::string& dir, const std::string& statePath) {
    std::lock_guard lock(g_registryMutex);
    auto& slot = g_folders[statePath];
    if (auto folder = slot.lock()) return folder;
    auto folder = std::make_shared<CFolder>(dir, statePath);
    slot = folder;
    // Forget folders nobody holds any more, so the map does not grow without end.
    for (auto it = g_folders.begin(); it != g_folders.end();) {
        it = it->second.expired() ? g_folders.erase(it) : std::next(it);
    }
    return folder;
}

std::string CFolder::PathOf(const std::string& file) const { return JoinPath(dir_, file); }

bool CFolder::LoadLocked(std::string* error) {
    if (loaded_) return true;
    FolderState state;
    std::vector<std::string> lines;
    bool good = false;
    if (ReadTextFile(statePath_, lines) && !lines.empty()) {
        std::istringstream head(lines[0]);
        std::string magic;
        head >> magic >> state.uidValidity >> state.uidNext;
        good = magic == "PVIMAP1" && head && state.uidValidity != 0 && state.uidNext != 0;
        for (size_t i = 1; good && i < lines.size(); ++i) {
            std::istringstream in(lines[i]);
            MessageState m;
            unsigned flags = 0;
            in >> m.uid >> flags >> m.size >> m.headerSize >> m.bodyLines >> m.date >> m.file;
            if (!in || m.uid == 0 || m.uid >= state.uidNext || !SafeFileName(m.file) ||
                (!state.messages.empty() && m.uid <= state.messages.back().uid)) {
                good = false;
                break;
            }
            m.flags = static_cast<uint8_t>(flags & 31);
            std::string keyword;
            while (in >> keyword && m.keywords.size() < kMaxKeywords) m.keywords.push_back(keyword);
            state.messages.push_back(std::move(m));
        }
        if (!good) {
            WriteLogLine("IMAP state " + statePath_ + " is damaged; its folder gets new UIDs and loses its flags. "
                         "Clients download the folder again.");
        }
    } else if (FileExists(statePath_)) {
        WriteLogLine("IMAP state " + statePath_ + " cannot be read; its folder gets new UIDs. Check its permissions.");
    }
    if (!good) {
        state = FolderState{};
        state.uidValidity = NewUidValidity();
    }
    state_ = std::move(state);
    loaded_ = true;
    (void)error;
    return true;
}

// Replaced whole: written beside the old one and flushed, renamed over it, the folder flushed.
bool CFolder::SaveLocked(const FolderState& state, std::string* error) {
    std::string text = "PVIMAP1 " + std::to_string(state.uidValidity) + " " + std::to_string(state.uidNext) + "\r\n";
    for (const auto& m : state.messages) {
        text += std::to_string(m.uid) + ' ' + std::to_string(m.flags) + ' ' + std::to_string(m.size) + ' ' +
                std::to_string(m.headerSize) + ' ' + std::to_string(m.bodyLines) + ' ' + std::to_string(m.date) +
                ' ' + m.file;
        for (const auto& k : m.keywords) text += ' ' + k;
        text += "\r\n";
    }
    const std::string temp = statePath_ + ".new";
    TextFileWriter out;
    if (!out.Open(temp) || !out.Write(text) || !out.Sync() || !out.Close()) {
        const int err = out.Errno();
        out.Discard();
        if (error) *error = "cannot write " + temp + ": " + Errno(err ? err : EIO);
        return false;
    }
    if (::rename(temp.c_str(), statePath_.c_str()) != 0) {
        if (error) *error = "cannot replace " + statePath_ + ": " + Errno(errno);
        ::unlink(temp.c_str());
        return false;
    }
    if (!SyncDirectoryOf(statePath_)) {
        if (error) *error = "cannot flush the folder of " + statePath_;
        return false;
    }
    return true;
}

bool CFolder::ReconcileLocked(FolderState& state, bool& changed, std::string* error) {
    std::vector<FolderEntry> files;
    std::string why;
    if (!ListFolder(dir_, ".txt", files, &why)) {
        if (error) *error = "cannot read " + dir_ + ": " + why;
        return false;
    }
    std::map<std::string, bool> present;
    for (const auto& f : files) present.emplace(f.name, false);
    std::vector<MessageState> kept;
    kept.reserve(state.messages.size());
    for (auto& m : state.messages) {
        auto it = present.find(m.file);
        if (it == present.end() || it->second) {
            changed = true;  // deleted (by POP3, or by hand): expunged
            continue;
        }
        it->second = true;
        kept.push_back(std::move(m));
    }
    // New files in name order, which is the order of arrival for queue names.
    for (const auto& f : files) {
        if (present[f.name] || !SafeFileName(f.name)) continue;
        MessageState m;
        m.file = f.name;
        if (!MeasureMessage(PathOf(f.name), m)) continue;  // gone again, or unreadable for now
        if (state.uidNext == 0xFFFFFFFFu) {
            // UIDs used up: a new UIDVALIDITY starts the numbering again.
            state.uidValidity = NewUidValidity();
            state.uidNext = 1;
            for (auto& k : kept) k.uid = state.uidNext++;
        }
        m.uid = state.uidNext++;
        kept.push_back(std::move(m));
        changed = true;
    }
    state.messages = std::move(kept);
    return true;
}

bool CFolder::Refresh(std::string* error) {
    std::lock_guard lock(mutex_);
    const bool existed = loaded_ ? true : FileExists(statePath_);
    if (!LoadLocked(error)) return false;
    FolderState next = state_;
    bool changed = !existed;
    if (!ReconcileLocked(next, changed, error)) return false;
    if (!changed) return true;
    // New UIDs are durable before any client hears of them.
    if (!SaveLocked(next, error)) return false;
    state_ = std::move(next);
    return true;
}

FolderState CFolder::Snapshot() {
    std::lock_guard lock(mutex_);
    LoadLocked(nullptr);
    return state_;
}

bool CFolder::Update(const std::function<bool(FolderState&)>& change, std::string* error) {
    std::lock_guard lock(mutex_);
    if (!LoadLocked(error)) return false;
    FolderState next = state_;
    if (!change(next)) return true;
    if (!SaveLocked(next, error)) return false;
    state_ = std::move(next);
    return true;
}

std::vector<uint32_t> CFolder::Add(const std::vector<MessageState>& added, std::string* error) {
    std::lock_guard lock(mutex_);
    if (!LoadLocked(error)) return {};
    FolderState next = state_;
    // Files that arrived meanwhile get their UIDs too, in the order of their names.
    bool changed = false;
    if (!ReconcileLocked(next, changed, error)) return {};
    std::vector<uint32_t> uids;
    for (const auto& a : added) {
        auto it = std::find_if(next.messages.begin(), next.messages.end(),
                               [&](const MessageState& m) { return m.file == a.file; });
        if (it == next.messages.end()) {
            if (error) *error = "the new message " + PathOf(a.file) + " vanished";
            return {};
        }
        it->flags = a.flags;
        it->keywords = a.keywords;
        uids.push_back(it->uid);
    }
    if (!SaveLocked(next, error)) return {};
    state_ = std::move(next);
    return uids;
}

// --- folder names ------------------------------------------------------------------------

std::string EncodeFolderName(std::string_view name) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '_' || c == '-') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

std::string DecodeFolderName(std::string_view encoded) {
    std::string out;
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (i + 2 >= encoded.size()) return "";
        const std::string hex(encoded.substr(i + 1, 2));
        char* end = nullptr;
        const long value = std::strtol(hex.c_str(), &end, 16);
        if (end != hex.c_str() + 2) return "";
        out.push_back(static_cast<char>(value));
        i += 2;
    }
    return CImapAccount::ValidName(out) ? out : "";
}

CImapAccount::CImapAccount(std::string mailboxDir)
    : mailboxDir_(std::move(mailboxDir)),
      root_(JoinPath(mailboxDir_, kImapDir)),
      foldersDir_(JoinPath(root_, "folders")),
      tmpDir_(JoinPath(root_, "tmp")) {}

bool CImapAccount::IsInbox(std::string_view name) {
    if (name.size() != 5) return false;
    std::string upper(name);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper == "INBOX";
}

bool CImapAccount::ValidName(std::string_view name) {
    if (name.empty() || name.size() > kMaxFolderName) return false;
    if (name.front() == kSeparator || name.back() == kSeparator) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c >= 0x7F || c == '\\' || c == '*' || c == '%') return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find(kSeparator, start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view step = name.substr(start, end - start);
        if (step.empty() || step == "." || step == "..") return false;
        if (start == 0 && end != name.size() && IsInbox(step)) return false;  // INBOX has no children
        start = end + 1;
    }
    return true;
}

const char* CImapAccount::SpecialUse(std::string_view name) {
    static const struct {
        const char* name;
        const char* use;
    } kSpecial[] = {{"Sent", "\\Sent"}, {"Drafts", "\\Drafts"}, {"Trash", "\\Trash"}, {"Junk", "\\Junk"},
                    {"Archive", "\\Archive"}};
    for (const auto& s : kSpecial) {
        if (name == s.name) return s.use;
    }
    return "";
}

bool CImapAccount::Prepare(std::string* error) {
    const bool first = !FileExists(foldersDir_);
    if (!MakeDir(root_, error) || !MakeDir(tmpDir_, error)) return false;
    // APPENDs cut short by an earlier run: no conversation of this run has written these yet
    // when they are older than the process.
    static const time_t started = std::time(nullptr);
    for (const auto& name : ListFolderNames(tmpDir_)) {
        const std::string path = JoinPath(tmpDir_, name);
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_mtime < started) ::unlink(path.c_str());
    }
    if (!first) return true;
    // The folders every mail client looks for, made once; then the folder tree is marked made.
    const std::string building = foldersDir_ + ".new";
    if (!MakeDir(building, error)) return false;
    std::vector<std::string> subscribed = {"INBOX"};
    for (const char* name : {"Sent", "Drafts", "Trash", "Junk", "Archive"}) {
        if (!MakeDir(JoinPath(building, EncodeFolderName(name)), error)) return false;
        subscribed.push_back(name);
    }
    if (!WriteTextFile(JoinPath(root_, "subscriptions"), subscribed, true) ||
        ::rename(building.c_str(), foldersDir_.c_str()) != 0 || !SyncDirectory(root_)) {
        if (error) *error = "cannot make the IMAP folders in " + root_ + ": " + Errno(errno);
        return false;
    }
    return true;
}

std::string CImapAccount::FolderDir(const std::string& name) const {
    return IsInbox(name) ? mailboxDir_ : JoinPath(foldersDir_, EncodeFolderName(name));
}

std::vector<std::string> CImapAccount::List() const {
    std::vector<std::string> names = {"INBOX"};
    for (const auto& enc : ListSubfolders(foldersDir_)) {
        const std::string name = DecodeFolderName(enc);
        if (!name.empty()) names.push_back(name);
    }
    std::sort(names.begin() + 1, names.end());
    return names;
}

bool CImapAccount::Exists(const std::string& name) const {
    if (IsInbox(name)) return true;
    if (!ValidName(name)) return false;
    struct stat st {};
    return ::stat(FolderDir(name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::shared_ptr<CFolder> CImapAccount::Open(const std::string& name) const {
    if (!Exists(name)) return nullptr;
    if (IsInbox(name)) return CFolder::Get(mailboxDir_, JoinPath(root_, kInboxState));
    const std::string dir = FolderDir(name);
    return CFolder::Get(dir, JoinPath(dir, kStateFile));
}

CImapAccount::Result CImapAccount::Create(const std::string& name) {
    if (IsInbox(name) || Exists(name)) return Result::Exists;
    if (!ValidName(name)) return Result::Invalid;
    if (ListSubfolders(foldersDir_).size() >= kMaxFolders) return Result::Full;
    const std::string dir = FolderDir(name);
    if (::mkdir(dir.c_str(), 0700) != 0) return errno == EEXIST ? Result::Exists : Result::Failed;
    return SyncDirectory(foldersDir_) ? Result::Ok : Result::Failed;
}

// The folder's files go first, its state last, then the folder itself: a kill half way leaves
// a folder with fewer messages, never messages without their state.
CImapAccount::Result CImapAccount::Delete(const std::string& name) {
    if (IsInbox(name)) return Result::Refused;
    if (!ValidName(name) || !Exists(name)) return Result::Missing;
    const std::string dir = FolderDir(name);
    for (const auto& file : ListFolderNames(dir)) {
        if (file != kStateFile) ::unlink(JoinPath(dir, file).c_str());
    }
    ::unlink(JoinPath(dir, kStateFile).c_str());
    if (::rmdir(dir.c_str()) != 0) return Result::Failed;
    Subscribe(name, false);
    return SyncDirectory(foldersDir_) ? Result::Ok : Result::Failed;
}

// One rename per folder: the folder and every folder below it move with their states (their
// UIDVALIDITY stays; a client sees the same messages under the new name).
CImapAccount::Result CImapAccount::Rename(const std::string& from, const std::string& to) {
    if (IsInbox(from)) return Result::Refused;  // INBOX stays where POP3 finds it
    if (!ValidName(from) || !Exists(from)) return Result::Missing;
    if (!ValidName(to)) return Result::Invalid;
    if (Exists(to)) return Result::Exists;
    std::vector<std::pair<std::string, std::string>> moves;
    const std::string prefix = from + kSeparator;
    for (const auto& name : List()) {
        if (name == from) {
            moves.emplace_back(name, to);
        } else if (name.compare(0, prefix.size(), prefix) == 0) {
            const std::string renamed = to + name.substr(from.size());
            if (!ValidName(renamed)) return Result::Invalid;
            moves.emplace_back(name, renamed);
        }
    }
    for (const auto& [a, b] : moves) {
        if (Exists(b)) return Result::Exists;
    }
    for (const auto& [a, b] : moves) {
        if (::rename(FolderDir(a).c_str(), FolderDir(b).c_str()) != 0) return Result::Failed;
    }
    return SyncDirectory(foldersDir_) ? Result::Ok : Result::Failed;
}

std::vector<std::string> CImapAccount::Subscriptions() const {
    std::vector<std::string> lines;
    ReadTextFile(JoinPath(root_, "subscriptions"), lines);
    std::vector<std::string> names;
    for (auto& line : lines) {
        if (IsInbox(line) || ValidName(line)) names.push_back(line);
    }
    return names;
}

bool CImapAccount::Subscribe(const std::string& name, bool on) {
    static std::mutex subscriptionMutex;
    std::lock_guard lock(subscriptionMutex);
    std::vector<std::string> names = Subscriptions();
    auto it = std::find(names.begin(), names.end(), name);
    if (on == (it != names.end())) return true;
    if (on) {
        if (names.size() > kMaxFolders) return false;
        names.push_back(name);
    } else {
        names.erase(it);
    }
    // Replaced whole, like a folder's state.
    const std::string path = JoinPath(root_, "subscriptions");
    const std::string temp = path + ".new";
    return WriteTextFile(temp, names, true) && ::rename(temp.c_str(), path.c_str()) == 0 && SyncDirectory(root_);
}

}  // namespace pv::imap
