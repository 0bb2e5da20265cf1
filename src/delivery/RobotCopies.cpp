#include "delivery/RobotCopies.h"

#include <cstdint>
#include <cstdio>

#include "core/QueueFiles.h"

namespace pv {

namespace {
constexpr char kReplyMark = 'r';
constexpr char kReplySeparator = '-';
constexpr const char* kCopySuffix = ".txt";
// A copy's name longer than this (a reply to a reply ...) is replaced in the reply's name by a
// hash of it, so that names never grow towards the file system's limit.
constexpr size_t kMaxStemInName = 64;

std::string HashedStem(const std::string& stem) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : stem) hash = (hash ^ c) * 1099511628211ull;
    char text[24];
    std::snprintf(text, sizeof text, "h%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string Parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string Leaf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// A mailbox folder's name: "M" and seven hexadecimal digits.
bool IsMailboxFolderName(const std::string& name) {
    if (name.size() != 8 || name[0] != 'M') return false;
    return name.find_first_not_of("0123456789ABCDEF", 1) == std::string::npos;
}
}  // namespace

std::string RobotReplyBase(const std::string& copyPath) {
    const std::string name = Leaf(copyPath);
    const std::string folder = Parent(copyPath);
    const std::string mailboxes = Parent(folder);
    const std::string root = Parent(mailboxes);
    const std::string suffix = kCopySuffix;
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        Leaf(mailboxes) != kMailboxDir || !IsMailboxFolderName(Leaf(folder))) {
        return "";
    }
    const std::string stem = name.substr(0, name.size() - suffix.size());
    if (stem.find('.') != std::string::npos) return "";  // queue names hold no dot
    const std::string named = stem.size() > kMaxStemInName ? HashedStem(stem) : stem;
    std::string reply;
    reply += kReplyMark;
    reply += Leaf(folder);
    reply += kReplySeparator;
    reply += named;
    return JoinPath(JoinPath(root, kInboxDir), reply);
}

std::string RobotCopyOfReply(const std::string& replyBase) {
    const std::string name = Leaf(replyBase);
    const std::string inbox = Parent(replyBase);
    if (name.size() < 11 || name[0] != kReplyMark || name[9] != kReplySeparator || Leaf(inbox) != kInboxDir) {
        return "";
    }
    const std::string folder = name.substr(1, 8);
    if (!IsMailboxFolderName(folder)) return "";
    return JoinPath(JoinPath(JoinPath(Parent(inbox), kMailboxDir), folder), name.substr(10) + kCopySuffix);
}

}  // namespace pv
