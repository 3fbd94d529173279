// Path rules (pure string logic) and directory creation.
#include "tool/file_utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "test_util.h"

namespace nerova {
namespace tool {
namespace {

TEST(FileUtilsTest, FileNameRules) {
    const struct {
        const char* path;
        const char* with;
        const char* without;
    } cases[] = {
        {"dir/sub/file.tar.gz", "file.tar.gz", "file.tar"},
        {"dir/", "", ""},
        {".hidden", ".hidden", ".hidden"},
        {"name.", "name.", "name."},
        {"C:\\dir\\file.txt", "C:\\dir\\file.txt", "C:\\dir\\file"},
        {"a\\b/c.d", "c.d", "c"},
        {"", "", ""},
        {"/", "", ""},
        {"plain", "plain", "plain"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileUtils::GetFileName(c.path, true), c.with) << c.path;
        EXPECT_EQ(fileUtils::GetFileName(c.path, false), c.without) << c.path;
    }
}

TEST(FileUtilsTest, ParentAndDriveRules) {
    const std::pair<const char*, const char*> parents[] = {
        {"a/b/c.txt", "a/b"}, {"a/b/", "a"},   {"a\\b\\", "a"},  {"a/b\\c", "a/b"},
        {"a\\b/c", "a\\b"},   {"a/b\\/", "a"}, {"file.txt", ""}, {"/a", ""},
        {"C:\\", ""},         {"C:\\x", "C:"}, {"C:", ""},       {"x/", ""},
        {"\\", ""},           {"\\/", ""},     {"//", ""},       {"a//b", "a/"}};
    for (const auto& p : parents)
        EXPECT_EQ(fileUtils::GetFileParentPath(p.first, false), p.second) << p.first;
    EXPECT_THROW(fileUtils::GetFileParentPath("", false), std::out_of_range);
    EXPECT_THROW(fileUtils::GetFileParentPath("/", false), std::out_of_range);
    EXPECT_EQ(fileUtils::GetFileParentPath("", true), "");

    const struct {
        const char* path;
        bool absolute, root;
    } drives[] = {{"/usr", false, false}, {"C:", true, false},    {"C:\\", true, true},
                  {"z:/", true, true},    {"C:\\x", true, false}, {"1:\\", false, false},
                  {"", false, false},     {"C", false, false},    {"Cx\\", false, false}};
    for (const auto& d : drives) {
        EXPECT_EQ(fileUtils::IsAbsolutePath(d.path), d.absolute) << d.path;
        EXPECT_EQ(fileUtils::IsRootPath(d.path), d.root) << d.path;
    }
}

TEST(FileUtilsTest, ExistenceQueries) {
    nerova_test::TempDir dir;
    const std::string file = dir.Write("sub/f.txt", "x");
    const std::string sub = dir.path() + "/sub";
    EXPECT_TRUE(fileUtils::IsFileExist(file));
    EXPECT_FALSE(fileUtils::IsFileExist(sub));  // a directory is not a file
    EXPECT_FALSE(fileUtils::IsFileExist(sub + "/none"));
    EXPECT_TRUE(fileUtils::IsPathExist(file) && fileUtils::IsPathExist(sub));
    EXPECT_FALSE(fileUtils::IsPathExist(sub + "/none") || fileUtils::IsPathExist(""));
    EXPECT_EQ(fileUtils::GetFileParentPath(file, true), sub);
    EXPECT_EQ(fileUtils::GetFileParentPath(sub, true), "");
    EXPECT_EQ(fileUtils::GetFileParentPath(sub + "/none", true), "");
}

TEST(FileUtilsTest, MakeDirectory) {
    nerova_test::TempDir dir;
    const std::string base = dir.path();
    EXPECT_FALSE(fileUtils::MakeDirectory(base + "/a/b/c", false));  // "a/b" is missing
    EXPECT_FALSE(fileUtils::IsPathExist(base + "/a"));
    EXPECT_TRUE(fileUtils::MakeDirectory(base + "/a/b/c", true));
    struct stat info;
    ASSERT_EQ(::stat((base + "/a/b/c").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_TRUE(fileUtils::MakeDirectory(base + "/a/b", false));  // exists
    EXPECT_TRUE(fileUtils::MakeDirectory(base + "/x\\y/", true));
    EXPECT_TRUE(fileUtils::IsPathExist(base + "/x") && fileUtils::IsPathExist(base + "/x\\y"));
    const std::string file = dir.Write("file", "x");
    EXPECT_TRUE(fileUtils::MakeDirectory(file, true));  // an existing file counts
    EXPECT_FALSE(fileUtils::MakeDirectory(file + "/d", true));
    EXPECT_FALSE(fileUtils::MakeDirectory("", true));
    EXPECT_TRUE(fileUtils::MakeDirectory("Q:\\", true));  // a drive root, nothing created
    EXPECT_FALSE(fileUtils::IsPathExist("Q:\\"));
}

TEST(FileUtilsTest, MakeDirectoryWithoutPermission) {
    nerova_test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
    const std::string target = dir.path() + "/d/e";
    if (::geteuid() != 0) {
        EXPECT_FALSE(fileUtils::MakeDirectory(target, true));
    } else {
        // Root is not held to permissions; try again as an unprivileged user.
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
            ::_exit(fileUtils::MakeDirectory(target, true) ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "running as root and cannot drop privileges";
        EXPECT_EQ(WEXITSTATUS(status), 0) << "created without write permission";
    }
    EXPECT_FALSE(fileUtils::IsPathExist(dir.path() + "/d"));
}

}  // namespace
}  // namespace tool
}  // namespace nerova
