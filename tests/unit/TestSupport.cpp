#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "auth/LoginThrottle.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"

namespace pvtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pvtest-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
}

void HiveTest::SetUp() {
    pv::platform::SetHivePath(HiveFile());
    pv::SetConfigRoot(pv::kDefaultConfigRoot);
    std::filesystem::create_directories(Spool());
    pv::CRegistryKey root("", true);
    root.WriteString("Maildrop", Spool());
    pv::auth::CLoginThrottle::Shared().Clear();  // no test inherits another's failed logins
}

void HiveTest::TearDown() { pv::platform::SetHivePath(""); }

unsigned FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(fd);
    return ntohs(sa.sin_port);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace pvtest
