#include "delivery/Mailbox.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "auth/Passwords.h"
#include "core/QueueFiles.h"
#include "core/TextFile.h"

namespace pv {

namespace {
const char* OptionName(int n) {
    static const char* names[] = {"Option1", "Option2", "Option3", "Option4"};
    return n >= 1 && n <= 4 ? names[n - 1] : nullptr;
}
const char* TextName(int n) {
    static const char* names[] = {"Str1", "Str2", "Str3"};
    return n >= 1 && n <= 3 ? names[n - 1] : nullptr;
}
std::string LocalPart(const std::string& address) { return address.substr(0, address.find('@')); }
}  // namespace

bool IsSafeMailboxName(const std::string& name) {
    if (name.empty() || name == "." || name.find("..") != std::string::npos) return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

std::string CMailbox::PostmasterName() {
    std::string value;
    CRegistryKey("Alias", false).ReadString("postmaster", value);
    std::string name = value.substr(0, value.find(','));
    size_t b = name.find_first_not_of(" \t");
    size_t e = name.find_last_not_of(" \t");
    name = b == std::string::npos ? "" : name.substr(b, e - b + 1);
    return name.empty() ? "postmaster" : name;
}

std::string CMailbox::DirectoryFor(uint32_t number) {
    char leaf[16];
    std::snprintf(leaf, sizeof leaf, "M%07X", number & 0x0FFFFFFFu);
    return JoinPath(JoinPath(SpoolRoot(), kMailboxDir), leaf);
}

void CMailbox::Close() {
    key_.Close();
    name_.clear();
}

bool CMailbox::Open(const std::string& requested, bool create) {
    Close();
    name_ = requested == "postmaster" ? PostmasterName() : requested;
    if (!IsSafeMailboxName(name_)) return false;
    if (!key_.Open("mailbox\\" + name_, create)) return false;
    // A key without a number has no folder: it is not a usable mailbox.
    uint32_t number = 0;
    if (!key_.ReadInt("Number", number)) {
        key_.Close();
        return false;
    }
    ::mkdir(DirectoryFor(number).c_str(), 0700);  // a failure shows when a message is written
    return true;
}

bool CMailbox::Create(const std::string& name, uint32_t type) {
    Close();
    name_ = name;
    if (!IsSafeMailboxName(name) || !key_.Open("mailbox\\" + name, true)) return false;
    CRegistryKey parent("mailbox", true);
    uint32_t count = 0;
    parent.ReadInt("MbxCount", count);
    uint32_t number = (count + 1) & 0x0FFFFFFFu;
    // Never the name as the first password (anyone who knows an address could type it): a
    // random one in both places a password is read from.
    const std::string password = auth::RandomPassword();
    bool ok = key_.WriteInt("Type", type) && parent.WriteInt("MbxCount", number) &&
              key_.WriteString("Password", password) && SetPassword(password);
    for (int n = 1; ok && n <= 4; ++n) ok = key_.WriteInt(OptionName(n), 0);
    // The number goes last: until it is there, readers treat the mailbox as absent.
    ok = ok && key_.WriteInt("Number", number);
    if (!ok) return false;
    std::string folder = JoinPath(SpoolRoot(), kMailboxDir);
    ::mkdir(folder.c_str(), 0700);
    ::mkdir(DirectoryFor(number).c_str(), 0700);
    return true;
}

AddressClass CMailbox::Classify(const std::string& address) {
    size_t at = address.find('@');
    if (at != std::string::npos) {
        std::string domain = address.substr(at + 1);
        if (domain.empty() || !CRegistryKey("Domain", false).ReadBinary(domain, nullptr, 0)) {
            return AddressClass::Remote;
        }
    }
    std::string local = LocalPart(address);
    uint32_t defaultDeliver = 0;
    CRegistryKey("", false).ReadInt("DefaultDeliver", defaultDeliver);
    if (Open(local, false)) return AddressClass::LocalMailbox;
    if (!local.empty() && CRegistryKey("Alias", false).ReadBinary(local, nullptr, 0)) return AddressClass::Alias;
    if (defaultDeliver != 0 && Open("postmaster", false)) return AddressClass::LocalMailbox;
    return AddressClass::UnknownLocal;
}

uint32_t CMailbox::Type() const {
    uint32_t type = 0;
    key_.ReadInt("Type", type);
    return type;
}

uint32_t CMailbox::Number() const {
    uint32_t number = 0;
    key_.ReadInt("Number", number);
    return number;
}

std::string CMailbox::Directory() const { return IsOpen() ? DirectoryFor(Number()) : std::string(); }

std::string CMailbox::NewMessagePath() const {
    std::string dir = Directory();
    if (dir.empty()) return "";
    // Never reuse a name that still holds a message (after the queue counter wraps).
    for (int tries = 0;; ++tries) {
        std::string path = JoinPath(dir, NextQueueFileName() + ".txt");
        if (tries >= 1000 || !FileExists(path)) return path;
    }
}

uint32_t CMailbox::GetOption(int n) const {
    uint32_t value = 0;
    if (const char* name = OptionName(n)) key_.ReadInt(name, value);
    return value;
}

bool CMailbox::SetOption(int n, uint32_t value) {
    const char* name = OptionName(n);
    if (!name || !IsOpen()) return false;
    CRegistryKey writable("mailbox\\" + name_, true);
    return writable.WriteInt(name, value);
}

std::string CMailbox::GetText(int n) const {
    std::string text;
    if (const char* name = TextName(n)) key_.ReadString(name, text);
    return text;
}

bool CMailbox::SetText(int n, const std::string& text) {
    const char* name = TextName(n);
    if (!name || !IsOpen()) return false;
    CRegistryKey writable("mailbox\\" + name_, true);
    return writable.WriteString(name, text);
}

bool CMailbox::CheckPassword(const std::string& typed) const {
    if (!IsOpen()) return false;
    char stored[kPasswordField + 1] = {};
    size_t got = 0;
    if (key_.ReadBinary("OPS", stored, kPasswordField, &got)) {
        // The whole typed text must equal the stored text: a long guess whose first 20
        // characters match is still wrong.
        return typed.size() <= kPasswordField && std::strlen(stored) == typed.size() &&
               std::memcmp(stored, typed.data(), typed.size()) == 0;
    }
    std::string initial;
    if (!key_.ReadString("Password", initial)) return false;
    return initial == typed;
}

bool CMailbox::PasswordIsName() const {
    if (!IsOpen()) return false;
    // The text a login is checked against: `OPS` once a password was set, else `Password`.
    char stored[kPasswordField + 1] = {};
    std::string text;
    if (key_.ReadBinary("OPS", stored, kPasswordField)) {
        text = stored;
    } else if (!key_.ReadString("Password", text)) {
        return false;
    }
    return text.size() == name_.size() && std::equal(text.begin(), text.end(), name_.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
}

bool CMailbox::IsRobot() const {
    const uint32_t type = Type();
    return type == kMailboxCommand || type == kMailboxListServer;
}

bool CMailbox::SetPassword(const std::string& text) {
    if (!IsOpen() || text.size() > kMaxPasswordLength || text.find('\0') != std::string::npos) return false;
    unsigned char field[kPasswordField] = {};
    std::memcpy(field, text.data(), text.size());
    CRegistryKey writable("mailbox\\" + name_, true);
    return writable.WriteBinary("OPS", field, sizeof field);
}

std::vector<std::string> CMailbox::ListMailboxes() {
    std::vector<std::string> names;
    CRegistryKey("mailbox", false).ListSubkeys(names);
    return names;
}

}  // namespace pv
