#include "tool/file_utils.h"

#include <fstream>

namespace nerova {
namespace tool {

namespace {

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool StartsWithDrive(const std::string& path) {
    return path.size() >= 2 && IsLetter(path[0]) && path[1] == ':';
}

}  // namespace

std::string fileUtils::GetFileName(std::string path, bool with_extension) {
    if (path.empty()) return std::string();
    const size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (with_extension || name.empty()) return name;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot == name.size() - 1) return name;
    return name.substr(0, dot);
}

std::string fileUtils::GetFileParentPath(const std::string& path, bool check_exist) {
    if (check_exist && !IsFileExist(path)) return std::string();
    // Checked access: an empty path or a lone "/" has no character to step back to.
    size_t i = path.size() - 1;
    if (path.at(i) == '/') --i;
    if (path.at(i) == '\\') {
        if (i == 0) return std::string();  // nothing before the ignored separators
        --i;
    }
    const size_t slash = path.rfind('/', i);
    const size_t backslash = path.rfind('\\', i);
    size_t cut = std::string::npos;
    if (slash != std::string::npos) cut = slash;
    if (backslash != std::string::npos && (cut == std::string::npos || backslash > cut))
        cut = backslash;
    if (cut == std::string::npos) return std::string();
    return path.substr(0, cut);
}

bool fileUtils::IsAbsolutePath(const std::string& path) { return StartsWithDrive(path); }

bool fileUtils::IsRootPath(const std::string& path) {
    return path.size() == 3 && StartsWithDrive(path);
}

bool fileUtils::IsFileExist(const std::string& path) {
    // Some systems open a directory as a stream; it is still not a file.
    std::ifstream in(path);
    const bool opened = in.is_open();
    in.close();
    return opened && !platform::IsDirectory(path);
}

bool fileUtils::IsPathExist(const std::string& path) {
    return !path.empty() && platform::PathExists(path);
}

bool fileUtils::MakeDirectory(const std::string& path, bool recursive) {
    if (path.empty()) return false;
    if (IsRootPath(path)) return true;
    if (IsPathExist(path)) return true;
    // A parent that cannot be made shows as the failure of the last attempt below.
    if (recursive) MakeDirectory(GetFileParentPath(path, false), true);
    return platform::CreateOneDirectory(path);
}

}  // namespace tool
}  // namespace nerova
