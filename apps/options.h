// The tool's command line: its options, their defaults and help text, and the parser.
#ifndef NEROVA_APPS_OPTIONS_H_
#define NEROVA_APPS_OPTIONS_H_

#include <string>
#include <vector>

#include "anonymize.h"
#include "nerova_face_detector.h"

namespace nerova_tool {

constexpr const char* kTool = "nerova-face-detect";
constexpr const char* kDefaultModel = "face_detector_back_256";
constexpr int kDefaultTopK = 100;
constexpr float kDefaultMaskScale = 1.3f;
constexpr int kMaxJobs = 256;

struct Options {
    std::string model;
    std::vector<std::string> inputs;
    std::vector<std::string> lists;  // --files-from
    int threads = 0;                 // 0: one per detector
    int jobs = 0;                    // 0: one per core
    std::string device;              // empty: the model's own
    int32_t device_type = NEROVA_DEVICE_X86;
    bool set_score = false, set_nms = false;  // otherwise the library's own
    float score_threshold = 0, nms_threshold = 0;
    int top_k = kDefaultTopK;
    int32_t pixel_format = NEROVA_PIXEL_FORMAT_BGR;
    std::string draw_dir, out_dir;
    std::string crops_dir;   // aligned face crops of images, none when empty
    std::string report_dir;  // a review page per written video, none when empty
    std::string live_out;    // the one input's anonymised video, "-" for standard output
    int latency = 15;        // frames of look-ahead of a video written in one pass
    bool set_latency = false;
    std::string video_codec;  // empty: by the container
    int video_quality = 80;
    int crop_size = 112;
    Hide hide = Hide::kNone;
    float mask_scale = kDefaultMaskScale;
    MaskShape mask_shape = MaskShape::kEllipse;
    int32_t tile_rows = 1, tile_cols = 1;  // off
    int confirm_tile_faces = -1;           // -1: the model's own
    bool overwrite = false;
    bool quiet = false;
    int every = 1;

    bool writes() const { return !draw_dir.empty() || hide != Hide::kNone; }
    // Written in one pass as the frames come, with a bounded look-ahead.
    bool one_pass(bool live_input) const { return live_input || set_latency; }
    const std::string& write_dir() const { return draw_dir.empty() ? out_dir : draw_dir; }
};

// Parses argv into o; returns an empty string on success, else the reason.
std::string ParseArgs(int argc, char** argv, Options& o, bool& help, bool& version);

// Appends the paths listed one per line in `list` ("-": standard input), LF or CRLF, empty
// lines skipped; false (with the reason in error when there is one) when it cannot be read.
bool ReadList(const std::string& list, std::vector<std::string>& out, std::string& error);

void PrintHelp(int cores);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_OPTIONS_H_
