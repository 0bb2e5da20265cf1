// The configuration hive: one SQLite file standing in for HKEY_LOCAL_MACHINE.
//
// Keys form a tree addressed with backslash paths ("Software\Quillmoor\Postvane\mailbox\alice").
// Key and value names compare without regard to ASCII case; values keep their registry type and
// raw bytes; enumeration follows creation order. A connection is used by one thread at a time
// (leased from a small pool, so a thousand idle conversation threads do not each hold one), and
// WAL mode plus a busy timeout let the server, the applet and the tools use the file at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace pv::platform {

enum RegType : uint32_t { kRegSz = 1, kRegBinary = 3, kRegDword = 4 };

using KeyId = int64_t;
inline constexpr KeyId kHiveRoot = 0;

struct HiveValue {
    uint32_t type = 0;
    std::vector<unsigned char> data;
};

// Where the hive lives: $POSTVANE_HIVE, else /var/lib/postvane/registry.db for root, else
// ${XDG_DATA_HOME:-~/.local/share}/postvane/registry.db. SetHivePath overrides all of that.
// The hive of a system installation (root without POSTVANE_HIVE, and the service).
inline constexpr const char* kSystemHivePath = "/var/lib/postvane/registry.db";
// Its spool, which the wizard proposes for that hive.
inline constexpr const char* kSystemSpoolPath = "/var/spool/postvane";
std::string HivePath();
// A relative $POSTVANE_HIVE is made absolute against the current folder, so that it names the
// same file after the server changes into its spool folder (and in the programs it starts).
// Call once, before any thread starts.
void MakeHivePathAbsolute();
void SetHivePath(std::string path);
// Fuzz harnesses only: connections opened from now on commit without flushing the file
// (SQLite's synchronous=OFF). Nothing in the hive or on a command line leads here.
void SkipHiveFlushesForFuzzing();

// "a\\b\\\\c\\" -> "a\\b\\c": empty components are dropped.
std::string NormaliseKeyPath(std::string_view path);

class HiveLease;

class Hive {
public:
    // A connection to the current hive for the calling thread's use until the lease ends; an
    // empty lease when the file cannot be opened (LastOpenError says why). Connections are
    // pooled and reopened when the hive path changes.
    static HiveLease Acquire();
    static std::string LastOpenError();
    // Whether the last failed open found the store damaged or empty (LastOpenError then says
    // how to restore it). Every program stops on such a store and leaves it as it is.
    static bool LastOpenDamaged();
    // For rescuing a damaged store's readable part (postvane-reg export): opens skip the check.
    // Call before any thread starts.
    static void SetRescueMode(bool on);

    // Reads through the process's cache: what was read stays valid until some process changes
    // the hive (every writer bumps a shared change counter), so a repeated read costs a map
    // look-up instead of a database transaction. A connection is leased only on a miss.
    static std::optional<KeyId> FindKey(std::string_view path);
    static bool ReadValue(KeyId key, std::string_view name, HiveValue& out);
    static std::vector<std::string> ReadValueNames(KeyId key, size_t max = SIZE_MAX);
    static std::vector<std::string> ReadSubkeyNames(KeyId key);

    ~Hive();
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;

    const std::string& Path() const { return path_; }

    std::optional<KeyId> OpenKey(std::string_view path);
    std::optional<KeyId> CreateKey(std::string_view path);
    bool KeyExists(KeyId key);

    bool GetValue(KeyId key, std::string_view name, HiveValue& out);
    bool SetValue(KeyId key, std::string_view name, uint32_t type, const void* data, size_t size);
    bool DeleteValue(KeyId key, std::string_view name);
    std::vector<std::string> ValueNames(KeyId key, size_t max = SIZE_MAX);
    std::vector<std::string> SubkeyNames(KeyId key);
    // Removes a direct subkey that has no subkeys of its own, with its values.
    bool DeleteSubkey(KeyId parent, std::string_view name);
    // Removes a subkey with everything below it (tools only).
    bool DeleteTree(KeyId parent, std::string_view name);

private:
    friend class HiveLease;
    explicit Hive(std::string path);
    bool Open();
    bool Check();
    sqlite3_stmt* Prepare(int slot, const char* sql);
    bool Exec(const char* sql);
    int StepRetry(sqlite3_stmt* st);
    bool BeginImmediate();
    void Commit();
    void Rollback();
    std::optional<KeyId> ChildKey(KeyId parent, std::string_view name);

    std::string path_;
    std::string checkResult_;
    unsigned generation_ = 0;
    sqlite3* db_ = nullptr;
    std::vector<sqlite3_stmt*> stmts_;
};

class HiveLease {
public:
    HiveLease() = default;
    explicit HiveLease(std::unique_ptr<Hive> hive) : hive_(std::move(hive)) {}
    HiveLease(HiveLease&&) noexcept = default;
    HiveLease& operator=(HiveLease&& other) noexcept;
    ~HiveLease();

    explicit operator bool() const { return hive_ != nullptr; }
    Hive* operator->() const { return hive_.get(); }
    Hive* get() const { return hive_.get(); }

private:
    std::unique_ptr<Hive> hive_;
};

}  // namespace pv::platform
