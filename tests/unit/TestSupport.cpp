#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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
}

void HiveTest::TearDown() { pv::platform::SetHivePath(""); }

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace pvtest
