// Files written whole through the C interface: what may stand at the target, and what is left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

TEST(WholeFileTest, OnlyARegularFileOrNothingIsReplaced) {
    nerova_test::TempDir dir;
    // Each case's make puts what the case names at path; false when this run cannot.
    const struct {
        const char* what;
        bool (*make)(const std::string& path);
        int32_t overwrite;
        NerovaError code;
        const char* reason;  // in the reason given
    } cases[] = {
        {"a new name", [](const std::string&) { return true; }, 0, NEROVA_OK, ""},
        {"a regular file, kept",
         [](const std::string& p) { return bool(std::ofstream(p) << "old"); }, 0,
         NEROVA_ERR_OUTPUT_FILE, "it exists"},
        {"a regular file, replaced",
         [](const std::string& p) { return bool(std::ofstream(p) << "old"); }, 1, NEROVA_OK, ""},
        {"a folder", [](const std::string& p) { return fs::create_directory(p); }, 1,
         NEROVA_ERR_OUTPUT_FILE, "a folder"},
        {"a pipe", [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; }, 1,
         NEROVA_ERR_OUTPUT_FILE, "a pipe"},
        // The null device's numbers; making one needs privileges some runs lack.
        {"a character device",
         [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; },
         1, NEROVA_ERR_OUTPUT_FILE, "a device"},
        {"a link to a device",
         [](const std::string& p) {
             fs::create_symlink("/dev/null", p);
             return true;
         },
         1, NEROVA_ERR_OUTPUT_FILE, "a device"},
    };
    nerova_test::StderrCapture quiet;
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = dir.path() + "/target" + std::to_string(n++) + ".jpg";
        if (!c.make(path)) continue;
        struct stat before {};
        lstat(path.c_str(), &before);
        char reason[256] = "unset";
        EXPECT_EQ(NerovaWriteFile(path.c_str(), "new", 3, c.overwrite, reason, sizeof reason),
                  c.code)
            << c.what;
        EXPECT_NE(std::string(reason).find(c.reason), std::string::npos)
            << c.what << ": " << reason;
        struct stat after {};
        ASSERT_EQ(lstat(path.c_str(), &after), 0) << c.what;
        if (c.code == NEROVA_OK) {
            EXPECT_EQ(nerova_test::ReadFile(path), "new") << c.what;
        } else {
            EXPECT_EQ(after.st_mode, before.st_mode) << c.what << ": what stood there is kept";
            EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
        }
    }
    // Nothing half-written is left beside the targets.
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().rfind(".", 0), std::string::npos) << e.path();
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST(WholeFileTest, ABareNameIsWrittenInTheCurrentFolder) {
    nerova_test::TempDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    char reason[256] = "";
    const NerovaError err = NerovaWriteFile("bare.txt", "new", 3, 0, reason, sizeof reason);
    fs::current_path(before);
    EXPECT_EQ(err, NEROVA_OK) << reason;
    EXPECT_EQ(nerova_test::ReadFile(dir.path() + "/bare.txt"), "new");
}

}  // namespace
