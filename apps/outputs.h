// Where the tool's written images and videos go, and how they get there: each output mirrors
// its input's path under the output folder, no two inputs share an output, an existing file
// is replaced only when asked, and every file appears whole or not at all.
#ifndef NEROVA_APPS_OUTPUTS_H_
#define NEROVA_APPS_OUTPUTS_H_

#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "inputs.h"

namespace nerova_tool {

struct Output {
    std::filesystem::path path;  // empty: nothing is written for this input
    std::string refusal;         // why it will not be written, reported once
};

// One output per input under `dir`. A name already taken by an earlier input gets the first
// free numbered suffix (a_1.jpg) and a warning; an existing file is refused unless
// `overwrite`, and an input file is never an output.
std::vector<Output> PlanOutputs(const std::vector<Input>& inputs, const std::filesystem::path& dir,
                                bool overwrite, std::vector<std::string>& warnings);

// Encodes an image in its file's format and writes it through a temporary file; returns the
// reason on failure ("" on success) and leaves no temporary file behind.
std::string WriteImage(const std::filesystem::path& target, const cv::Mat& bgr, bool overwrite);

// Opens a video file with the file back-ends only (FFmpeg, then OpenCV's own Motion JPEG
// reader); "-" is standard input and a /dev/ path a V4L2 camera first. Letting OpenCV choose also
// probes camera back-ends, whose plugin loading is not thread-safe and crashes when two workers
// open files at once.
bool OpenVideo(const std::string& path, cv::VideoCapture& video);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_OUTPUTS_H_
