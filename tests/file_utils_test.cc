// Path rules (pure string logic) and directory creation.
#include "tool/file_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <stdexcept>

#include "test_util.h"

namespace nerova {
namespace tool {
namespace {

TEST(FileUtilsTest, PathRules) {
    const struct {
        const char *path, *name, *stem, *parent;  // parent nullptr: out_of_range
        bool absolute, root;
    } cases[] = {
        {"dir/sub/file.tar.gz", "file.tar.gz", "file.tar", "dir/sub", false, false},
        {"a\\b/c.d", "c.d", "c", "a\\b", false, false},
        {"a/b\\c", "b\\c", "b\\c", "a/b", false, false},
        {"a//b", "b", "b", "a/", false, false},
        {"a/b/", "", "", "a", false, false},
        {"a\\b\\", "a\\b\\", "a\\b\\", "a", false, false},
        {"a/b\\/", "", "", "a", false, false},
        {"dir/", "", "", "", false, false},
        {".hidden", ".hidden", ".hidden", "", false, false},
        {"name.", "name.", "name.", "", false, false},
        {"/usr", "usr", "usr", "", false, false},
        {"\\", "\\", "\\", "", false, false},
        {"//", "", "", "", false, false},
        {"", "", "", nullptr, false, false},
        {"/", "", "", nullptr, false, false},
        {"C:\\dir\\file.txt", "C:\\dir\\file.txt", "C:\\dir\\file", "C:\\dir", true, false},
        {"C:", "C:", "C:", "", true, false},
        {"C:\\", "C:\\", "C:\\", "", true, true},
        {"z:/", "", "", "", true, true},
        {"1:\\", "1:\\", "1:\\", "", false, false},
        {"C", "C", "C", "", false, false},
        {"Cx\\", "Cx\\", "Cx\\", "", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileUtils::GetFileName(c.path, true), c.name) << c.path;
        EXPECT_EQ(fileUtils::GetFileName(c.path, false), c.stem) << c.path;
        if (c.parent) {
            EXPECT_EQ(fileUtils::GetFileParentPath(c.path, false), c.parent) << c.path;
        } else {
            EXPECT_THROW(fileUtils::GetFileParentPath(c.path, false), std::out_of_range);
        }
        EXPECT_EQ(fileUtils::IsAbsolutePath(c.path), c.absolute) << c.path;
        EXPECT_EQ(fileUtils::IsRootPath(c.path), c.root) << c.path;
    }
}

TEST(FileUtilsTest, ExistenceAndMakeDirectory) {
    nerova_test::TempDir dir;
    const std::string base = dir.path() + "/", file = dir.Write("file", "x");
    EXPECT_TRUE(fileUtils::IsFileExist(file) && fileUtils::IsPathExist(file));
    EXPECT_FALSE(fileUtils::IsFileExist(dir.path()));  // a directory is not a file
    EXPECT_FALSE(fileUtils::IsPathExist(base + "none") || fileUtils::IsPathExist(""));
    EXPECT_EQ(fileUtils::GetFileParentPath(file, true), dir.path());
    EXPECT_EQ(fileUtils::GetFileParentPath(dir.path(), true), "");  // not a file
    EXPECT_EQ(fileUtils::GetFileParentPath(base + "none/f", true), "");
    EXPECT_EQ(fileUtils::GetFileParentPath("", true), "");
    EXPECT_FALSE(fileUtils::MakeDirectory(base + "a/b/c", false));  // "a/b" is missing
    EXPECT_FALSE(fileUtils::IsPathExist(base + "a"));
    const struct {
        std::string path;
        bool recursive, made;
    } steps[] = {
        {base + "a/b/c", true, true}, {base + "a/b", false, true},  // exists
        {base + "x\\y/", true, true}, {file, true, true},           // an existing file counts
        {file + "/d", true, false},   {"", true, false},            // mkdir fails under a file
        {"Q:\\", true, true},                                       // a drive root, nothing created
    };
    for (const auto& s : steps)
        EXPECT_EQ(fileUtils::MakeDirectory(s.path, s.recursive), s.made) << s.path;
    struct stat info;
    ASSERT_EQ(::stat((base + "a/b/c").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_TRUE(fileUtils::IsPathExist(base + "x") && fileUtils::IsPathExist(base + "x\\y"));
    EXPECT_FALSE(fileUtils::IsPathExist(file + "/d") || fileUtils::IsPathExist("Q:\\"));
}

}  // namespace
}  // namespace tool
}  // namespace nerova
