// Shared fixtures: every test gets a fresh hive and spool root in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace pvtest {

// A temporary folder removed with everything in it at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Points the hive at <tmp>/registry.db and `Maildrop` at <tmp>/spool (created).
class HiveTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string HiveFile() const { return dir_ / "registry.db"; }
    std::string Spool() const { return dir_ / "spool"; }
    TempDir dir_;
};

// A loopback port that was free a moment ago.
unsigned FreePort();

// Reads a whole file as bytes ("" when missing).
std::string ReadFileBytes(const std::string& path);

}  // namespace pvtest
