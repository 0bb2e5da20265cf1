// CRegistryKey: one open key below the configuration root.
//
// Readers preset their default and let a failed read leave it in place, so a missing or odd
// value never stops the program. Objects are short-lived and belong to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pv {

// The configuration root, "Software\Quillmoor\Postvane", set once at start-up.
inline constexpr const char* kDefaultConfigRoot = "Software\\Quillmoor\\Postvane";
void SetConfigRoot(std::string root);
const std::string& ConfigRoot();

class CRegistryKey {
public:
    CRegistryKey() = default;
    CRegistryKey(std::string_view subkey, bool create) { Open(subkey, create); }

    // Opens the root (empty subkey) or root\subkey. With create the key is made when missing
    // and opened for writing; without it the key is opened for reading only.
    bool Open(std::string_view subkey, bool create = false);
    void Close();
    bool IsOpen() const { return key_.has_value(); }
    const std::string& Path() const { return path_; }

    // The raw 4 bytes of the value. A missing value, or one that is not exactly 4 bytes long,
    // leaves the receiver as it was.
    bool ReadInt(std::string_view name, uint32_t& value) const;
    bool ReadInt(std::string_view name, int32_t& value) const;
    // As ReadInt, but the receiver becomes 0 on failure.
    bool ReadIntOrZero(std::string_view name, uint32_t& value) const;
    bool WriteInt(std::string_view name, uint32_t value);

    // The text of a REG_SZ value; any other type, or a missing value, gives "". The result
    // tells whether the value exists at all.
    bool ReadString(std::string_view name, std::string& value) const;
    bool WriteString(std::string_view name, std::string_view value);

    // Up to `size` bytes of the value's data; the result tells whether it exists. `*got` (when
    // given) receives the number of bytes copied.
    bool ReadBinary(std::string_view name, void* buffer, size_t size, size_t* got = nullptr) const;
    bool WriteBinary(std::string_view name, const void* buffer, size_t size);

    size_t ListValueNames(std::vector<std::string>& names, size_t maxCount = SIZE_MAX) const;
    // Every value of this key, with its type and bytes, into `to` (open for writing); values
    // `to` already has under the same names are replaced. False when one could not be written.
    bool CopyValuesTo(CRegistryKey& to) const;
    bool DeleteValue(std::string_view name);
    size_t ListSubkeys(std::vector<std::string>& names) const;
    // Removes a direct subkey that has no subkeys of its own.
    bool DeleteSubkey(std::string_view name);

private:
    std::string path_;
    std::optional<int64_t> key_;
    bool writable_ = false;
};

// An inactivity time-out from `AdvCon` in seconds. Missing, 0 (which would drop every peer at
// once) or too large to count with gives the default.
int ReadTimeoutSeconds(std::string_view name, uint32_t defaultSeconds = 60);

// The primary domain: the first `Domain` value whose integer is nonzero, else the first one;
// "" when the key holds no domains.
std::string PrimaryDomain();
// All local domains, in enumeration order.
std::vector<std::string> LocalDomains();

}  // namespace pv
