#include "core/RegistryKey.h"

#include <cstring>
#include <mutex>

#include "platform/Hive.h"

namespace pv {

using platform::Hive;
using platform::HiveValue;

namespace {
std::mutex g_rootMutex;
std::string& RootStorage() {
    static std::string root = kDefaultConfigRoot;
    return root;
}
// Registry names stop at 254 characters.
std::string Clip(std::string name) {
    if (name.size() > 254) name.resize(254);
    return name;
}
}  // namespace

void SetConfigRoot(std::string root) {
    std::lock_guard lock(g_rootMutex);
    RootStorage() = std::move(root);
}

const std::string& ConfigRoot() {
    // Set once before any thread reads it; the lock only orders the first write.
    return RootStorage();
}

bool CRegistryKey::Open(std::string_view subkey, bool create) {
    Close();
    path_ = ConfigRoot();
    if (!subkey.empty()) {
        path_ += '\\';
        path_.append(subkey);
    }
    if (create) {
        auto hive = Hive::Acquire();
        if (!hive) return false;
        key_ = hive->CreateKey(path_);
    } else {
        key_ = Hive::FindKey(path_);
    }
    writable_ = create && key_.has_value();
    return key_.has_value();
}

void CRegistryKey::Close() {
    key_.reset();
    writable_ = false;
}

bool CRegistryKey::ReadInt(std::string_view name, uint32_t& value) const {
    HiveValue v;
    if (!key_ || !Hive::ReadValue(*key_, name, v) || v.data.size() != 4) return false;
    std::memcpy(&value, v.data.data(), 4);
    return true;
}

bool CRegistryKey::ReadInt(std::string_view name, int32_t& value) const {
    uint32_t raw = static_cast<uint32_t>(value);
    if (!ReadInt(name, raw)) return false;
    value = static_cast<int32_t>(raw);
    return true;
}

bool CRegistryKey::ReadIntOrZero(std::string_view name, uint32_t& value) const {
    if (ReadInt(name, value)) return true;
    value = 0;
    return false;
}

bool CRegistryKey::WriteInt(std::string_view name, uint32_t value) {
    auto hive = writable_ ? Hive::Acquire() : platform::HiveLease();
    return hive && hive->SetValue(*key_, name, platform::kRegDword, &value, 4);
}

bool CRegistryKey::ReadString(std::string_view name, std::string& value) const {
    value.clear();
    HiveValue v;
    if (!key_ || !Hive::ReadValue(*key_, name, v)) return false;
    if (v.type == platform::kRegSz) {
        // Stored with its terminating zero; the text ends at the first zero byte.
        const char* p = reinterpret_cast<const char*>(v.data.data());
        value.assign(p, strnlen(p, v.data.size()));
    }
    return true;
}

bool CRegistryKey::WriteString(std::string_view name, std::string_view value) {
    auto hive = writable_ ? Hive::Acquire() : platform::HiveLease();
    if (!hive) return false;
    std::string data(value);
    data.push_back('\0');
    return hive->SetValue(*key_, name, platform::kRegSz, data.data(), data.size());
}

bool CRegistryKey::ReadBinary(std::string_view name, void* buffer, size_t size, size_t* got) const {
    if (got) *got = 0;
    HiveValue v;
    if (!key_ || !Hive::ReadValue(*key_, name, v)) return false;
    size_t n = std::min(size, v.data.size());
    if (n) std::memcpy(buffer, v.data.data(), n);
    if (got) *got = n;
    return true;
}

bool CRegistryKey::WriteBinary(std::string_view name, const void* buffer, size_t size) {
    auto hive = writable_ ? Hive::Acquire() : platform::HiveLease();
    return hive && hive->SetValue(*key_, name, platform::kRegBinary, buffer, size);
}

size_t CRegistryKey::ListValueNames(std::vector<std::string>& names, size_t maxCount) const {
    if (key_) {
        for (auto& n : Hive::ReadValueNames(*key_, maxCount)) names.push_back(Clip(std::move(n)));
    }
    return names.size();
}

bool CRegistryKey::CopyValuesTo(CRegistryKey& to) const {
    if (!key_) return false;
    auto hive = to.writable_ ? Hive::Acquire() : platform::HiveLease();
    if (!hive) return false;
    for (const std::string& name : Hive::ReadValueNames(*key_)) {
        HiveValue v;
        if (!Hive::ReadValue(*key_, name, v)) return false;
        if (!hive->SetValue(*to.key_, name, v.type, v.data.data(), v.data.size())) return false;
    }
    return true;
}

bool CRegistryKey::DeleteValue(std::string_view name) {
    auto hive = writable_ ? Hive::Acquire() : platform::HiveLease();
    return hive && hive->DeleteValue(*key_, name);
}

size_t CRegistryKey::ListSubkeys(std::vector<std::string>& names) const {
    if (key_) {
        for (auto& n : Hive::ReadSubkeyNames(*key_)) names.push_back(Clip(std::move(n)));
    }
    return names.size();
}

bool CRegistryKey::DeleteSubkey(std::string_view name) {
    auto hive = writable_ ? Hive::Acquire() : platform::HiveLease();
    return hive && hive->DeleteSubkey(*key_, name);
}

int ReadTimeoutSeconds(std::string_view name, uint32_t defaultSeconds) {
    uint32_t seconds = defaultSeconds;
    CRegistryKey("AdvCon", false).ReadInt(name, seconds);
    if (seconds == 0 || seconds > 24u * 3600u) seconds = defaultSeconds;
    return static_cast<int>(seconds);
}

std::vector<std::string> LocalDomains() {
    std::vector<std::string> names;
    CRegistryKey key("Domain", false);
    key.ListValueNames(names);
    return names;
}

std::string PrimaryDomain() {
    CRegistryKey key("Domain", false);
    std::vector<std::string> names;
    key.ListValueNames(names);
    for (const auto& name : names) {
        uint32_t flag = 0;
        key.ReadIntOrZero(name, flag);
        if (flag != 0) return name;
    }
    return names.empty() ? std::string() : names.front();
}

}  // namespace pv
