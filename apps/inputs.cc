#include "inputs.h"

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;

namespace nerova_tool {
namespace {

bool HasExtension(const fs::path& p, std::initializer_list<const char*> extensions) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return std::any_of(extensions.begin(), extensions.end(),
                       [&](const char* e) { return ext == e; });
}

}  // namespace

bool IsVideoPath(const fs::path& p) {
    return HasExtension(
        p, {".mp4", ".avi", ".mkv", ".mov", ".webm", ".mpg", ".mpeg", ".m4v", ".wmv", ".ogv"});
}

bool IsLiveInput(const std::string& path) {
    return path == "-" || path.rfind("/dev/", 0) == 0 || path.find("://") != std::string::npos;
}

namespace {

bool IsImagePath(const fs::path& p) {
    return HasExtension(
        p, {".jpg", ".jpeg", ".png", ".bmp", ".ppm", ".pgm", ".pbm", ".tif", ".tiff", ".webp"});
}

}  // namespace

std::vector<Input> ExpandInputs(const std::vector<std::string>& arguments,
                                const std::string& output_dir) {
    std::vector<Input> out;
    for (const std::string& arg : arguments) {
        std::error_code ec;
        if (IsLiveInput(arg)) {
            out.push_back({arg, "live.mkv", true, true});
            continue;
        }
        if (!fs::is_directory(arg, ec)) {
            out.push_back({arg, fs::path(arg).filename(), IsVideoPath(arg)});
            continue;
        }
        std::vector<std::string> found;
        for (auto it = fs::recursive_directory_iterator(
                 arg, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code same;
            if (!output_dir.empty() && it->is_directory(same) &&
                fs::equivalent(it->path(), output_dir, same))
                it.disable_recursion_pending();
            else if (it->is_regular_file(ec) &&
                     (IsImagePath(it->path()) || IsVideoPath(it->path())))
                found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
        for (const std::string& f : found)
            out.push_back({f, fs::path(f).lexically_relative(arg), IsVideoPath(f)});
    }
    return out;
}

}  // namespace nerova_tool
