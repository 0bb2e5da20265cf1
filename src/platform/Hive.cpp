#include "platform/Hive.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unordered_map>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/Events.h"
#include "platform/Paths.h"

namespace pv::platform {

namespace {

std::mutex g_pathMutex;
std::string g_pathOverride;
std::string g_lastOpenError;
bool g_lastOpenDamaged = false;
bool g_rescue = false;
// Hives this process has checked already (PRAGMA quick_check runs once per file and process).
std::vector<std::string> g_checked;
// Bumped by SetHivePath, so a thread notices a switch of hive without comparing paths on
// every read.
std::atomic<unsigned> g_pathGeneration{1};

enum Slot {
    kFindKey,
    kFindChild,
    kInsertKey,
    kKeyExists,
    kGetValue,
    kSetValue,
    kDeleteValue,
    kValueNames,
    kSubkeyNames,
    kCountChildren,
    kDeleteValuesOf,
    kDeleteKey,
    kSlotCount
};

constexpr int kBusyTimeoutMs = 10000;
// A store found with no bytes at all may be one another process is creating this instant (its
// first page follows within milliseconds): it is looked at again for this long before it counts
// as empty.
constexpr int kEmptyStoreWaitMs = 2000;
constexpr int kEmptyStorePollMs = 20;

// What to do about a damaged store; the same words wherever it is met.
std::string DamagedStoreAdvice(const std::string& path, bool readable) {
    if (!readable) {
        return ". Postvane leaves it as it is. Restore it from a backup, or move the file aside, run postvane-wizard "
               "and import your last export with \"postvane-reg import FILE\"";
    }
    return ". Postvane leaves it as it is. Restore it from a backup, or save what is still readable with "
           "\"postvane-reg --hive " + path + " export rescued.reg\", move the file aside, run postvane-wizard and "
           "import your last export (or rescued.reg) with \"postvane-reg import FILE\"";
}

// The check's report as one line, without its banner.
std::string OneLine(std::string text) {
    const std::string banner = "*** in database main ***";
    if (size_t at = text.find(banner); at != std::string::npos) text.erase(at, banner.size());
    for (auto& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    const size_t b = text.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : text.substr(b);
}

bool IsDamageCode(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }

}  // namespace

static std::string DefaultHivePath() {
    if (const char* env = std::getenv("POSTVANE_HIVE"); env && *env) return env;
    if (geteuid() == 0) return kSystemHivePath;
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        base = xdg;
    } else {
        base = HomeDirectory() + "/.local/share";
    }
    return base + "/postvane/registry.db";
}

std::string HivePath() {
    {
        std::lock_guard lock(g_pathMutex);
        if (!g_pathOverride.empty()) return g_pathOverride;
    }
    return DefaultHivePath();
}

void MakeHivePathAbsolute() {
    const char* env = std::getenv("POSTVANE_HIVE");
    if (!env || !*env || env[0] == '/') return;
    char cwd[4096];
    if (!::getcwd(cwd, sizeof cwd)) return;
    std::string absolute = std::string(cwd) + "/" + env;
    ::setenv("POSTVANE_HIVE", absolute.c_str(), 1);
}

namespace {
std::atomic<bool> g_skipHiveFlushes {false};
}

void SkipHiveFlushesForFuzzing() { g_skipHiveFlushes.store(true); }

void SetHivePath(std::string path) {
    std::lock_guard lock(g_pathMutex);
    g_pathOverride = std::move(path);
    g_pathGeneration.fetch_add(1);
}

std::string NormaliseKeyPath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('\\', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) {
            if (!out.empty()) out += '\\';
            out.append(path.substr(i, j - i));
        }
        i = j + 1;
    }
    return out;
}

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// What this process has read from the hive, valid while the shared change counter still shows
// the value it had when the entries were read.
struct ReadCache {
    std::mutex mutex;
    unsigned generation = 0;
    std::atomic<uint64_t>* counter = nullptr;
    uint64_t seen = 0;
    bool valid = false;
    std::unordered_map<std::string, std::optional<KeyId>> keys;
    std::unordered_map<std::string, std::optional<HiveValue>> values;
    std::unordered_map<KeyId, std::vector<std::string>> valueNames;
    std::unordered_map<KeyId, std::vector<std::string>> subkeyNames;

    void Clear() {
        keys.clear();
        values.clear();
        valueNames.clear();
        subkeyNames.clear();
    }
    // Under the mutex: drops everything when the hive was switched or changed. False when no
    // counter is available, and nothing may be cached.
    bool Refresh() {
        const unsigned current = g_pathGeneration.load(std::memory_order_acquire);
        if (current != generation) {
            Clear();
            valid = false;
            generation = current;
            counter = NamedEvents::Get().HiveChangeCounter();
        }
        if (!counter) return false;
        const uint64_t now = counter->load(std::memory_order_acquire);
        if (!valid || now != seen) {
            Clear();
            seen = now;
            valid = true;
        }
        return true;
    }
};

ReadCache& Cache() {
    static auto* cache = new ReadCache();  // outlives every thread
    return *cache;
}

// Writes in this process go one at a time, so the cache can take each one in as it lands.
std::recursive_mutex g_writeMutex;

std::string ValueSlot(KeyId key, std::string_view name) { return std::to_string(key) + '\n' + Lower(name); }

// After a write: bumps the shared counter. When nobody else changed the hive since the cache
// was filled, the change is applied to the cache; otherwise the cache is dropped.
template <class Update>
void NoteWrite(Update&& update) {
    ReadCache& c = Cache();
    std::lock_guard lock(c.mutex);
    if (c.generation != g_pathGeneration.load(std::memory_order_acquire)) {
        c.Clear();
        c.valid = false;
        c.generation = g_pathGeneration.load(std::memory_order_acquire);
        c.counter = NamedEvents::Get().HiveChangeCounter();
    }
    if (!c.counter) return;
    const uint64_t before = c.counter->fetch_add(1, std::memory_order_acq_rel);
    if (c.valid && before == c.seen) {
        c.seen = before + 1;
        update(c);
    } else {
        c.Clear();
        c.valid = false;
    }
}

// Keeps what a miss read, unless the hive changed while it was being read.
template <class Fill>
void StoreIfUnchanged(uint64_t stamp, Fill&& fill) {
    ReadCache& c = Cache();
    std::lock_guard lock(c.mutex);
    if (c.valid && c.counter && c.seen == stamp && c.counter->load(std::memory_order_acquire) == stamp) fill(c);
}

}  // namespace

namespace {
// Idle connections; more than this many are closed when their lease ends.
constexpr size_t kIdleConnections = 8;
std::mutex g_poolMutex;
std::vector<std::unique_ptr<Hive>>& IdlePool() {
    static auto* pool = new std::vector<std::unique_ptr<Hive>>();  // outlives every thread
    return *pool;
}
}  // namespace

HiveLease Hive::Acquire() {
    const unsigned current = g_pathGeneration.load(std::memory_order_acquire);
    {
        std::lock_guard lock(g_poolMutex);
        auto& pool = IdlePool();
        while (!pool.empty()) {
            std::unique_ptr<Hive> hive = std::move(pool.back());
            pool.pop_back();
            if (hive->generation_ == current) return HiveLease(std::move(hive));
        }
    }
    std::unique_ptr<Hive> fresh(new Hive(HivePath()));
    fresh->generation_ = current;
    if (!fresh->Open()) return HiveLease();
    return HiveLease(std::move(fresh));
}

HiveLease& HiveLease::operator=(HiveLease&& other) noexcept {
    if (this != &other) {
        HiveLease old(std::move(*this));
        hive_ = std::move(other.hive_);
    }
    return *this;
}

HiveLease::~HiveLease() {
    if (!hive_) return;
    if (hive_->generation_ != g_pathGeneration.load(std::memory_order_acquire)) return;
    std::lock_guard lock(g_poolMutex);
    auto& pool = IdlePool();
    if (pool.size() < kIdleConnections) pool.push_back(std::move(hive_));
}

std::string Hive::LastOpenError() {
    std::lock_guard lock(g_pathMutex);
    return g_lastOpenError;
}

Hive::Hive(std::string path) : path_(std::move(path)), stmts_(kSlotCount, nullptr) {}

Hive::~Hive() {
    for (auto* st : stmts_) sqlite3_finalize(st);
    if (db_) sqlite3_close_v2(db_);
}

bool Hive::Open() {
    auto fail = [this](const std::string& why) {
        std::lock_guard lock(g_pathMutex);
        g_lastOpenError = "cannot open the configuration store " + path_ + ": " + why;
        return false;
    };
    auto damaged = [this](const std::string& why) {
        std::lock_guard lock(g_pathMutex);
        g_lastOpenError = "the configuration store " + path_ + " " + why +
                          DamagedStoreAdvice(path_, why.rfind("is empty", 0) != 0);
        g_lastOpenDamaged = true;
        return false;
    };
    {
        std::lock_guard lock(g_pathMutex);
        g_lastOpenDamaged = false;
    }
    // An existing store with no bytes at all is not a new store: it lost its content (a full
    // disk, a copy cut short), and treating it as new would start from an empty configuration.
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_size == 0) {
        for (int waited = 0; st.st_size == 0 && waited < kEmptyStoreWaitMs; waited += kEmptyStorePollMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kEmptyStorePollMs));
            if (::stat(path_.c_str(), &st) != 0) break;
        }
        if (st.st_size == 0) return damaged("is empty (0 bytes)");
    }
    // The file holds passwords: create it (and its folder) private before SQLite sees it.
    std::string dir = DirectoryOf(path_);
    if (!dir.empty() && !MakeDirectories(dir, 0700)) return fail(std::strerror(errno));
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return fail(std::strerror(errno));
    ::close(fd);

    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        return fail(why);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_extended_result_codes(db_, 0);
    // journal_mode can meet a lock held by a process that is creating the file; retry briefly.
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) break;
        if (IsDamageCode(rc)) return damaged(std::string("is damaged (") + sqlite3_errmsg(db_) + ")");
        if (rc != SQLITE_BUSY || attempt > 200) return fail(sqlite3_errmsg(db_));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // In WAL mode NORMAL keeps the file consistent through a crash; only the last commits
    // before a power loss may be lost. The one counter that matters, FileNum, is safe with
    // that: queue names still in use are passed over, so an older count never overwrites mail.
    Exec(g_skipHiveFlushes.load() ? "PRAGMA synchronous=OFF" : "PRAGMA synchronous=NORMAL");
    // Most writes touch one page (a counter); a short log is checkpointed often and stays in
    // blocks the file system has already allocated.
    Exec("PRAGMA wal_autocheckpoint=64");
    // Most opens find the tables made already; only a new file needs the write lock.
    bool ready = false;
    {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM sqlite_master WHERE name IN ('keys', 'vals')", -1, &st,
                                    nullptr);
        if (rc == SQLITE_OK) rc = StepRetry(st);
        if (rc == SQLITE_ROW) ready = sqlite3_column_int(st, 0) == 2;
        sqlite3_finalize(st);
        if (IsDamageCode(rc) && !g_rescue) return damaged(std::string("is damaged (") + sqlite3_errmsg(db_) + ")");
    }
    if (ready) return g_rescue || Check() || damaged("is damaged (" + OneLine(checkResult_) + ")");
    if (!BeginImmediate()) return fail(sqlite3_errmsg(db_));
    bool ok = Exec(
                  "CREATE TABLE IF NOT EXISTS keys("
                  " id INTEGER PRIMARY KEY,"
                  " parent INTEGER NOT NULL,"
                  " name TEXT NOT NULL COLLATE NOCASE,"
                  " path TEXT NOT NULL COLLATE NOCASE UNIQUE)") &&
              Exec("CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent, name)") &&
              Exec(
                  "CREATE TABLE IF NOT EXISTS vals("
                  " id INTEGER PRIMARY KEY,"
                  " key INTEGER NOT NULL,"
                  " name TEXT NOT NULL COLLATE NOCASE,"
                  " type INTEGER NOT NULL,"
                  " data BLOB NOT NULL,"
                  " UNIQUE(key, name))") &&
              Exec("INSERT OR IGNORE INTO keys(id, parent, name, path) VALUES(0, -1, '', '')");
    if (!ok) {
        std::string why = sqlite3_errmsg(db_);
        const bool corrupt = IsDamageCode(sqlite3_errcode(db_));
        Rollback();
        return corrupt ? damaged("is damaged (" + why + ")") : fail(why);
    }
    Commit();
    return true;
}

// Once per file and process: every page of the store is read and its structure checked. A
// store that fails is never written to, so nothing papers over the damage.
bool Hive::Check() {
    {
        std::lock_guard lock(g_pathMutex);
        if (std::find(g_checked.begin(), g_checked.end(), path_) != g_checked.end()) return true;
    }
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &st, nullptr);
    if (rc == SQLITE_OK) rc = StepRetry(st);
    if (rc == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st, 0);
        checkResult_ = text ? reinterpret_cast<const char*>(text) : "";
    } else {
        checkResult_ = sqlite3_errmsg(db_);
    }
    sqlite3_finalize(st);
    const bool busy = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED;
    if (busy) return true;  // another process writes right now; a later open checks it
    if (rc != SQLITE_ROW || checkResult_ != "ok") return false;
    std::lock_guard lock(g_pathMutex);
    g_checked.push_back(path_);
    return true;
}

bool Hive::LastOpenDamaged() {
    std::lock_guard lock(g_pathMutex);
    return g_lastOpenDamaged;
}

void Hive::SetRescueMode(bool on) { g_rescue = on; }

bool Hive::Exec(const char* sql) {
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return true;
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt > 1000) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

sqlite3_stmt* Hive::Prepare(int slot, const char* sql) {
    sqlite3_stmt*& st = stmts_[slot];
    if (!st && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
        st = nullptr;
        return nullptr;
    }
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return st;
}

// The busy timeout covers nearly every wait; a statement that still meets SQLITE_BUSY (a
// checkpoint or recovery in another process) is simply tried again, so no caller ever sees
// "database is locked".
int Hive::StepRetry(sqlite3_stmt* st) {
    for (int attempt = 0;; ++attempt) {
        int rc = sqlite3_step(st);
        if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || attempt > 1000) return rc;
        sqlite3_reset(st);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool Hive::BeginImmediate() { return Exec("BEGIN IMMEDIATE"); }
void Hive::Commit() {
    if (!Exec("COMMIT")) Rollback();
}
void Hive::Rollback() { sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr); }

static void BindText(sqlite3_stmt* st, int index, std::string_view text) {
    sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::optional<KeyId> Hive::OpenKey(std::string_view path) {
    std::string norm = NormaliseKeyPath(path);
    if (norm.empty()) return kHiveRoot;
    sqlite3_stmt* st = Prepare(kFindKey, "SELECT id FROM keys WHERE path = ?1");
    if (!st) return std::nullopt;
    BindText(st, 1, norm);
    std::optional<KeyId> id;
    if (StepRetry(st) == SQLITE_ROW) id = sqlite3_column_int64(st, 0);
    sqlite3_reset(st);
    return id;
}

std::optional<KeyId> Hive::ChildKey(KeyId parent, std::string_view name) {
    sqlite3_stmt* st = Prepare(kFindChild, "SELECT id FROM keys WHERE parent = ?1 AND name = ?2");
    if (!st) return std::nullopt;
    sqlite3_bind_int64(st, 1, parent);
    BindText(st, 2, name);
    std::optional<KeyId> id;
    if (StepRetry(st) == SQLITE_ROW) id = sqlite3_column_int64(st, 0);
    sqlite3_reset(st);
    return id;
}

std::optional<KeyId> Hive::CreateKey(std::string_view path) {
    if (auto existing = OpenKey(path)) return existing;
    std::string norm = NormaliseKeyPath(path);
    std::lock_guard write(g_writeMutex);
    if (!BeginImmediate()) return std::nullopt;
    KeyId current = kHiveRoot;
    std::string prefix;
    size_t i = 0;
    while (i < norm.size()) {
        size_t j = norm.find('\\', i);
        if (j == std::string::npos) j = norm.size();
        std::string_view part(norm.data() + i, j - i);
        if (!prefix.empty()) prefix += '\\';
        prefix.append(part);
        if (auto child = ChildKey(current, part)) {
            current = *child;
        } else {
            sqlite3_stmt* st =
                Prepare(kInsertKey, "INSERT INTO keys(parent, name, path) VALUES(?1, ?2, ?3)");
            if (!st) {
                Rollback();
                return std::nullopt;
            }
            sqlite3_bind_int64(st, 1, current);
            BindText(st, 2, part);
            BindText(st, 3, prefix);
            int rc = StepRetry(st);
            sqlite3_reset(st);
            if (rc != SQLITE_DONE) {
                Rollback();
                return std::nullopt;
            }
            current = sqlite3_last_insert_rowid(db_);
        }
        i = j + 1;
    }
    Commit();
    NoteWrite([](ReadCache& c) { c.Clear(); });
    return current;
}

bool Hive::KeyExists(KeyId key) {
    if (key == kHiveRoot) return true;
    sqlite3_stmt* st = Prepare(kKeyExists, "SELECT 1 FROM keys WHERE id = ?1");
    if (!st) return false;
    sqlite3_bind_int64(st, 1, key);
    bool found = StepRetry(st) == SQLITE_ROW;
    sqlite3_reset(st);
    return found;
}

bool Hive::GetValue(KeyId key, std::string_view name, HiveValue& out) {
    sqlite3_stmt* st = Prepare(kGetValue, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2");
    if (!st) return false;
    sqlite3_bind_int64(st, 1, key);
    BindText(st, 2, name);
    bool found = false;
    if (StepRetry(st) == SQLITE_ROW) {
        found = true;
        out.type = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
        auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
        int size = sqlite3_column_bytes(st, 1);
        out.data.assign(blob, blob + (blob ? size : 0));
    }
    sqlite3_reset(st);
    return found;
}

bool Hive::SetValue(KeyId key, std::string_view name, uint32_t type, const void* data, size_t size) {
    // An update keeps the row, and with it the value's place in the enumeration order.
    sqlite3_stmt* st = Prepare(kSetValue,
                               "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                               "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, "
                               "data = excluded.data");
    std::lock_guard write(g_writeMutex);
    if (!st || !KeyExists(key)) return false;
    sqlite3_bind_int64(st, 1, key);
    BindText(st, 2, name);
    sqlite3_bind_int64(st, 3, type);
    static const char empty = 0;
    sqlite3_bind_blob(st, 4, size ? data : &empty, static_cast<int>(size), SQLITE_TRANSIENT);
    bool ok = StepRetry(st) == SQLITE_DONE;
    sqlite3_reset(st);
    if (ok) {
        NoteWrite([&](ReadCache& c) {
            HiveValue v;
            v.type = type;
            auto* bytes = static_cast<const unsigned char*>(data);
            v.data.assign(bytes, bytes + size);
            c.values[ValueSlot(key, name)] = std::move(v);
            c.valueNames.erase(key);
        });
    }
    return ok;
}

bool Hive::DeleteValue(KeyId key, std::string_view name) {
    sqlite3_stmt* st = Prepare(kDeleteValue, "DELETE FROM vals WHERE key = ?1 AND name = ?2");
    if (!st) return false;
    std::lock_guard write(g_writeMutex);
    sqlite3_bind_int64(st, 1, key);
    BindText(st, 2, name);
    bool ok = StepRetry(st) == SQLITE_DONE && sqlite3_changes(db_) > 0;
    sqlite3_reset(st);
    if (ok) {
        NoteWrite([&](ReadCache& c) {
            c.values[ValueSlot(key, name)] = std::nullopt;
            c.valueNames.erase(key);
        });
    }
    return ok;
}

std::vector<std::string> Hive::ValueNames(KeyId key, size_t max) {
    std::vector<std::string> names;
    sqlite3_stmt* st = Prepare(kValueNames, "SELECT name FROM vals WHERE key = ?1 ORDER BY id");
    if (!st) return names;
    sqlite3_bind_int64(st, 1, key);
    while (names.size() < max && StepRetry(st) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_reset(st);
    return names;
}

std::vector<std::string> Hive::SubkeyNames(KeyId key) {
    std::vector<std::string> names;
    sqlite3_stmt* st =
        Prepare(kSubkeyNames, "SELECT name FROM keys WHERE parent = ?1 AND id != 0 ORDER BY id");
    if (!st) return names;
    sqlite3_bind_int64(st, 1, key);
    while (StepRetry(st) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_reset(st);
    return names;
}

bool Hive::DeleteSubkey(KeyId parent, std::string_view name) {
    std::lock_guard write(g_writeMutex);
    if (!BeginImmediate()) return false;
    auto child = ChildKey(parent, name);
    if (!child || *child == kHiveRoot) {
        Rollback();
        return false;
    }
    sqlite3_stmt* count = Prepare(kCountChildren, "SELECT COUNT(*) FROM keys WHERE parent = ?1");
    if (!count) {
        Rollback();
        return false;
    }
    sqlite3_bind_int64(count, 1, *child);
    bool hasChildren = StepRetry(count) == SQLITE_ROW && sqlite3_column_int64(count, 0) > 0;
    sqlite3_reset(count);
    if (hasChildren) {
        Rollback();
        return false;
    }
    sqlite3_stmt* vals = Prepare(kDeleteValuesOf, "DELETE FROM vals WHERE key = ?1");
    sqlite3_stmt* key = Prepare(kDeleteKey, "DELETE FROM keys WHERE id = ?1");
    bool ok = vals && key;
    if (ok) {
        sqlite3_bind_int64(vals, 1, *child);
        ok = StepRetry(vals) == SQLITE_DONE;
        sqlite3_reset(vals);
    }
    if (ok) {
        sqlite3_bind_int64(key, 1, *child);
        ok = StepRetry(key) == SQLITE_DONE;
        sqlite3_reset(key);
    }
    if (ok) {
        Commit();
        NoteWrite([](ReadCache& c) { c.Clear(); });
    } else {
        Rollback();
    }
    return ok;
}

bool Hive::DeleteTree(KeyId parent, std::string_view name) {
    auto child = ChildKey(parent, name);
    if (!child || *child == kHiveRoot) return false;
    for (const auto& sub : SubkeyNames(*child)) {
        if (!DeleteTree(*child, sub)) return false;
    }
    return DeleteSubkey(parent, name);
}

// A read through the cache: the answer for `slot` in one of the cache's maps, or the one
// `load` gets from a leased connection (nullopt when the hive cannot be opened), kept unless the
// hive changed meanwhile.
template <class Map, class Load>
std::optional<typename Map::mapped_type> CachedRead(Map ReadCache::*map, const typename Map::key_type& slot,
                                                    Load&& load) {
    ReadCache& c = Cache();
    uint64_t stamp = 0;
    bool cacheable;
    {
        std::lock_guard lock(c.mutex);
        cacheable = c.Refresh();
        if (cacheable) {
            if (auto it = (c.*map).find(slot); it != (c.*map).end()) return it->second;
            stamp = c.seen;
        }
    }
    HiveLease hive = Hive::Acquire();
    if (!hive) return std::nullopt;
    typename Map::mapped_type answer = load(*hive.get());
    if (cacheable) StoreIfUnchanged(stamp, [&](ReadCache& cache) { (cache.*map)[slot] = answer; });
    return answer;
}

std::optional<KeyId> Hive::FindKey(std::string_view path) {
    const std::string norm = NormaliseKeyPath(path);
    auto id = CachedRead(&ReadCache::keys, Lower(norm), [&](Hive& hive) { return hive.OpenKey(norm); });
    return id ? *id : std::nullopt;
}

bool Hive::ReadValue(KeyId key, std::string_view name, HiveValue& out) {
    auto value = CachedRead(&ReadCache::values, ValueSlot(key, name), [&](Hive& hive) {
        std::optional<HiveValue> found;
        if (HiveValue v; hive.GetValue(key, name, v)) found = std::move(v);
        return found;
    });
    if (!value || !*value) return false;
    out = std::move(**value);
    return true;
}

std::vector<std::string> Hive::ReadValueNames(KeyId key, size_t max) {
    auto names = CachedRead(&ReadCache::valueNames, key, [&](Hive& hive) { return hive.ValueNames(key); });
    if (!names) return {};
    if (names->size() > max) names->resize(max);
    return std::move(*names);
}

std::vector<std::string> Hive::ReadSubkeyNames(KeyId key) {
    auto names = CachedRead(&ReadCache::subkeyNames, key, [&](Hive& hive) { return hive.SubkeyNames(key); });
    return names ? std::move(*names) : std::vector<std::string>();
}

}  // namespace pv::platform
