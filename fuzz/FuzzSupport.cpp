#include "FuzzSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/TextFile.h"
#include "delivery/Mailbox.h"
#include "platform/Hive.h"

namespace pvfuzz {

namespace fs = std::filesystem;

namespace {

Site g_site;
bool g_ready = false;
int g_serverEnd = -1;
int g_clientEnd = -1;

// alice's messages: one plain, one with a long body for TOP and RETR, one dot-stuffed.
const std::vector<std::pair<std::string, std::string>> kAliceMessages = {
    {"f0000001.txt",
     "From: carol@remote.test\r\nTo: alice@example.test\r\nSubject: lunch\r\n\r\nAt one?\r\n"},
    {"f0000002.txt",
     "From: bob@example.test\r\nTo: alice@example.test\r\nSubject: report\r\n\r\nline 1\r\nline 2\r\n"
     "line 3\r\nline 4\r\nline 5\r\n\r\nline 7\r\n"},
    {"f0000003.txt", "Subject: dots\n\n.leading dot\n..two\n.\nend\n"},
};
constexpr const char* kAlicePlan = "Out of the office until Monday.\r\nAsk bob.\r\n";
constexpr const char* kStaffMembers = "alice\r\nbob@example.test\r\n";

void RemoveSite() {
    if (g_clientEnd >= 0) ::close(g_clientEnd);
    if (g_serverEnd >= 0) ::close(g_serverEnd);
    std::error_code ec;
    if (!g_site.root.empty()) fs::remove_all(g_site.root, ec);
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz set-up failed: %s\n", what.c_str());
    std::abort();
}

std::string MakeMailbox(const std::string& name, uint32_t type, const std::string& password) {
    pv::CMailbox box;
    if (!box.Create(name, type) || !box.Open(name) || !box.SetPassword(password)) Fail("cannot create mailbox " + name);
    const std::string dir = box.Directory();
    fs::create_directories(dir);
    return dir;
}

void MakeLoopbackPair() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        Fail("cannot listen on loopback");
    }
    g_clientEnd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(g_clientEnd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) Fail("cannot connect on loopback");
    g_serverEnd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    if (g_serverEnd < 0) Fail("cannot accept on loopback");
}

}  // namespace

static void MakeRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pvfuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) Fail("mkdtemp in " + pattern);
    g_site.root = pattern;
    std::atexit(RemoveSite);

    // An input's files and hive writes are thrown away with it: nothing needs to reach the
    // disk, and a flush per input would make the flushes, not the parsers, what a run tests.
    pv::SkipFlushesForFuzzing();
    pv::platform::SkipHiveFlushesForFuzzing();
    pv::platform::SetHivePath(g_site.root + "/registry.db");
    pv::SetConfigRoot(pv::kDefaultConfigRoot);
}

const Site& SetupEmptyHive() {
    if (!g_site.root.empty()) return g_site;
    MakeRoot();
    return g_site;
}

const Site& Setup() {
    if (g_ready) return g_site;
    MakeRoot();
    g_site.spool = g_site.root + "/spool";
    g_site.inbox = g_site.spool + "/inbox";
    fs::create_directories(g_site.inbox);
    fs::create_directories(g_site.spool + "/outbox");
    pv::CRegistryKey root("", true);
    if (!root.WriteString("Maildrop", g_site.spool)) Fail("cannot write the hive in " + g_site.root);
    pv::CRegistryKey("Domain", true).WriteInt("example.test", 1);
    // Collected mail for this provider domain belongs to the local mailbox of the same name.
    const char one = 1;
    pv::CRegistryKey("SmartPop_Domains", true).WriteBinary("provider.test", &one, 1);

    g_site.aliceDir = MakeMailbox("alice", pv::kMailboxUser, "secret");
    MakeMailbox("bob", pv::kMailboxUser, "bobpass");
    g_site.staffDir = MakeMailbox("staff", pv::kMailboxList, "staff");
    g_site.infoDir = MakeMailbox("info", pv::kMailboxResponder, "info");
    g_site.listServerDir = MakeMailbox("pvlist", pv::kMailboxListServer, "pvlist");
    g_site.commandDir = MakeMailbox("postvane", pv::kMailboxCommand, "postvane");
    pv::CMailbox staff;
    staff.Open("staff");
    staff.SetOption(2, 1);  // anyone may join
    staff.SetText(2, "Everyone in the office");
    MakeLoopbackPair();
    g_ready = true;
    RestoreAlice();
    RestoreRobots();
    DrainLog();
    return g_site;
}

void RestoreAlice() {
    ClearFolder(g_site.aliceDir);
    for (const auto& [name, text] : kAliceMessages) WriteBytes(g_site.aliceDir + "/" + name, text);
    WriteBytes(g_site.aliceDir + "/plan.pvg", kAlicePlan);
    pv::CMailbox alice;
    if (!alice.Open("alice")) Fail("mailbox alice vanished");
    if (!alice.CheckPassword("secret")) alice.SetPassword("secret");
    if (alice.GetOption(1) != 0) alice.SetOption(1, 0);
    if (!alice.GetText(1).empty()) alice.SetText(1, "");
    if (alice.GetText(2) != "Alice Example") alice.SetText(2, "Alice Example");
}

void RestoreRobots() {
    ClearFolder(g_site.staffDir);
    WriteBytes(g_site.staffDir + "/" + pv::kMembersFile, kStaffMembers);
    ClearFolder(g_site.infoDir);
    ClearFolder(g_site.listServerDir);
    ClearFolder(g_site.commandDir);
    pv::CMailbox info;
    if (!info.Open("info")) Fail("mailbox info vanished");
    if (!info.CheckPassword("info")) info.SetPassword("info");
    if (info.GetOption(1) != 0) info.SetOption(1, 0);
    if (info.GetText(3) != "Thank you for your mail.") info.SetText(3, "Thank you for your mail.");
    // Opened for writing: a key opened only to read refuses changes.
    pv::CRegistryKey("mailbox\\info", true).DeleteSubkey("Titles");
}

void ClearFolder(const std::string& dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code rc;
        fs::remove_all(it->path(), rc);
    }
}

void DrainLog() {
    std::string line;
    while (pv::TakePendingLine(line)) {
    }
}

bool WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {
constexpr uint64_t kDigestStart = 14695981039346656037ull;  // FNV-1a
uint64_t g_digest = kDigestStart;

void Digest(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) g_digest = (g_digest ^ bytes[i]) * 1099511628211ull;
}
}  // namespace

void TraceSent(const void* data, int length) {
    static const bool on = std::getenv("PVFUZZ_TRACE") != nullptr;
    if (length <= 0) return;
    if (on) std::fwrite(data, 1, static_cast<size_t>(length), stderr);
    Digest(data, static_cast<size_t>(length));
}

void DigestFolder(const std::string& dir) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file()) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        const std::string bytes = ReadBytes(file.string());
        TraceSent(bytes.data(), static_cast<int>(bytes.size()));
    }
}

uint64_t TakeSentDigest() {
    const uint64_t digest = g_digest;
    g_digest = kDigestStart;
    return digest;
}

int ServerSocketCopy() {
    const int fd = ::fcntl(g_serverEnd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) Fail("cannot duplicate the loopback socket");
    return fd;
}

ByteSource::ByteSource(std::string_view input) : rest_(input), chunk_(SIZE_MAX) {
    if (!input.empty() && (static_cast<unsigned char>(input.back()) & 3) == 0) {
        chunk_ = 1 + static_cast<unsigned char>(input.back());
    }
}

int ByteSource::Take(void* buffer, int size) {
    if (size <= 0 || rest_.empty()) return 0;
    const size_t n = std::min({rest_.size(), static_cast<size_t>(size), chunk_});
    std::memcpy(buffer, rest_.data(), n);
    rest_.remove_prefix(n);
    return static_cast<int>(n);
}

}  // namespace pvfuzz
