// The tool's inputs: files as given, folders searched for images and videos.
#ifndef NEROVA_APPS_INPUTS_H_
#define NEROVA_APPS_INPUTS_H_

#include <filesystem>
#include <string>
#include <vector>

namespace nerova_tool {

struct Input {
    std::string path;                // as given, or found inside a given folder
    std::filesystem::path relative;  // the file name, or the path inside the given folder
    bool video = false;
    bool live = false;  // standard output, a device or a URL: read once, as it comes
};

bool IsVideoPath(const std::filesystem::path& p);
// "-" (standard input), a device under /dev/ (a V4L2 camera) or a URL FFmpeg reads.
bool IsLiveInput(const std::string& path);

// Expands folders into their images and videos, recursively and sorted; each input keeps
// its path relative to the argument it came from. The output folder is not searched, so
// a run writing inside its input folder does not take a former run's outputs as inputs.
std::vector<Input> ExpandInputs(const std::vector<std::string>& arguments,
                                const std::string& output_dir);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_INPUTS_H_
