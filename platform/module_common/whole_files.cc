#include "common/whole_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace nerova {
namespace module {

fs::path TempPathFor(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    return target.parent_path() /
           ("." + target.filename().string() + ".part" + std::to_string(getpid()) + "-" +
            std::to_string(counter++) + target.extension().string());
}

std::string NotRegularFile(const fs::path& target) {
    struct stat st;
    if (stat(target.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return "";
    const char* kind = S_ISDIR(st.st_mode)                          ? "a folder"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISFIFO(st.st_mode)                       ? "a pipe"
                                                                    : "a socket";
    return std::string("it is ") + kind + ", not a regular file";
}

std::string CommitFile(const fs::path& temp, const fs::path& target, bool overwrite) {
    // Checked again at the end: the name may have been taken meanwhile.
    const std::string taken = NotRegularFile(target);
    if (!taken.empty()) {
        std::error_code ec;
        fs::remove(temp, ec);
        return taken;
    }
    int rc = overwrite
                 ? std::rename(temp.c_str(), target.c_str())
                 : renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !overwrite && errno == EINVAL) {
        // A file system without the flag: a hard link fails the same way on an existing name.
        rc = link(temp.c_str(), target.c_str());
        if (rc == 0) unlink(temp.c_str());
    }
    if (rc == 0) return "";
    const std::string reason =
        errno == EEXIST ? "it exists (--overwrite replaces it)" : std::strerror(errno);
    std::error_code ec;
    fs::remove(temp, ec);
    return reason;
}

std::string WriteWholeFile(const fs::path& target, const void* bytes, size_t size, bool overwrite) {
    if (std::string taken = NotRegularFile(target); !taken.empty()) return taken;
    // A bare name is written where the process stands; there is no folder to make.
    std::error_code ec;
    if (!target.parent_path().empty()) fs::create_directories(target.parent_path(), ec);
    if (ec) return ec.message();
    const fs::path temp = TempPathFor(target);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return std::strerror(errno);
    const auto* data = static_cast<const char*>(bytes);
    size_t done = 0;
    int err = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && !err) err = errno;
    if (err) {
        unlink(temp.c_str());
        return std::strerror(err);
    }
    return CommitFile(temp, target, overwrite);
}

}  // namespace module
}  // namespace nerova
