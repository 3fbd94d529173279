// Path helpers and directory creation. The path rules are plain string logic, the same on
// every platform: drive letters ("C:") are recognised and, when a parent is sought, both
// '/' and '\' separate components. Only the existence query and the creation of one
// directory level go to the operating system (file_utils_posix.cc on this platform).
#ifndef NEROVA_TOOL_FILE_UTILS_H_
#define NEROVA_TOOL_FILE_UTILS_H_

#include <string>

#include "nerova/face_detector_export.h"
#include "nerova/nerova_defines.h"

namespace nerova {
namespace tool {

class NEROVA_FACE_DETECTOR_EXPORT fileUtils {
  public:
    // The last component after the last '/' ('\' is an ordinary character here); empty for
    // an empty path or one ending with '/'. Without the extension, the part before the last
    // '.', unless that dot is the name's first or last character.
    static std::string GetFileName(std::string path, bool with_extension);

    // The path without its last component and the separator before it; one trailing '/',
    // one trailing '\' or a trailing "\/" is ignored first. Empty when no separator remains.
    // With check_exist, empty unless path names a readable file. With check_exist false, an
    // empty path or "/" alone throws std::out_of_range (there is no last component).
    static std::string GetFileParentPath(const std::string& path, bool check_exist);

    // At least two characters, a letter and ':'. "/usr" is not absolute here.
    static bool IsAbsolutePath(const std::string& path);
    // A readable file; a directory is not a file.
    static bool IsFileExist(const std::string& path);
    // An existing file or directory.
    static bool IsPathExist(const std::string& path);
    // Exactly three characters, a letter and ':' ("C:\", "C:/").
    static bool IsRootPath(const std::string& path);
    // True for a drive root or an existing path (file or directory) without any call;
    // otherwise creates the directory (first its parents, when recursive) and reports
    // whether the last creation succeeded. Empty path: false.
    static bool MakeDirectory(const std::string& path, bool recursive);
};

namespace platform {

// The operating system's part; not exported.
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
bool CreateOneDirectory(const std::string& path);

}  // namespace platform

}  // namespace tool
}  // namespace nerova

#endif  // NEROVA_TOOL_FILE_UTILS_H_
