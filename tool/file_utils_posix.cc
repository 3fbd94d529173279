// The operating system's part of the path utilities, on POSIX systems.
#include <sys/stat.h>
#include <sys/types.h>

#include "tool/file_utils.h"

namespace nerova {
namespace tool {
namespace platform {

bool PathExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool CreateOneDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

}  // namespace platform
}  // namespace tool
}  // namespace nerova
