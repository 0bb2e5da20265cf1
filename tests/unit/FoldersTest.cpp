#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestSupport.h"
#include "core/Folders.h"
#include "core/TextFile.h"

namespace {

void Touch(const std::string& path, const std::string& text = "x") {
    ASSERT_TRUE(pv::WriteTextFile(path, {text}));
}

}  // namespace

// Every reader of the spool (spooler, transmitter, POP3, the tools) depends on these rules:
// arrival order, only regular files with the suffix, nothing hidden, and an unreadable folder
// told apart from an empty one.
TEST(FoldersTest, ListsRegularFilesWithTheSuffixInNameOrder) {
    pvtest::TempDir dir;
    Touch(dir / "f0000010.wrk");
    Touch(dir / "f0000002.wrk", "longer text");
    Touch(dir / "f0000002.txt");
    Touch(dir / ".f0000001.wrk");
    Touch(dir / ".wrk");
    ASSERT_EQ(::mkdir((dir / "f0000003.wrk").c_str(), 0700), 0);  // a folder in the way

    std::vector<pv::FolderEntry> entries;
    std::string error;
    ASSERT_TRUE(pv::ListFolder(dir.Path(), ".wrk", entries, &error));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "f0000002.wrk");
    EXPECT_EQ(entries[0].size, 13u);  // "longer text" and CR LF
    EXPECT_EQ(entries[1].name, "f0000010.wrk");
    EXPECT_EQ(pv::ListFolderNames(dir.Path()),
              (std::vector<std::string>{"f0000002.txt", "f0000002.wrk", "f0000010.wrk"}));
    EXPECT_EQ(pv::ListSubfolders(dir.Path()), std::vector<std::string>{"f0000003.wrk"});

    EXPECT_FALSE(pv::ListFolder(dir / "missing", ".txt", entries, &error));
    EXPECT_TRUE(entries.empty());
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(pv::ListFolderNames(dir / "missing").empty());
}
