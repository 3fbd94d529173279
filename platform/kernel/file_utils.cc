#include <string>

#include "nerova/kernel.h"

namespace nerova {

std::string FileUtils::GetFileParentPath(const std::string& path, bool is_file) {
    auto is_sep = [](char c) { return c == '/' || c == '\\'; };
    size_t end = path.size();
    if (!is_file) {
        while (end > 1 && is_sep(path[end - 1])) --end;
    }
    size_t pos = path.find_last_of("/\\", end == 0 ? 0 : end - 1);
    if (end == 0 || pos == std::string::npos) return ".";
    // Collapse repeated separators in front of the last component; keep a lone root.
    size_t cut = pos;
    while (cut > 0 && is_sep(path[cut - 1])) --cut;
    if (cut == 0) return path.substr(0, 1);
    return path.substr(0, cut);
}

}  // namespace nerova
