// Writing a video the way a person publishing it needs: the chosen codec and quality, every
// frame at the input's rate, and the input's sound carried over unchanged (stream copy), in
// one container written under a temporary name and renamed when complete.
#ifndef NEROVA_APPS_VIDEO_OUT_H_
#define NEROVA_APPS_VIDEO_OUT_H_

#include <filesystem>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

namespace nerova_tool {

struct VideoSettings {
    std::string codec;  // "h264", "mpeg4", "mjpeg", "ffv1", or empty: by the container
    int quality = 80;   // 1 to 100
};

// Whether this build can encode `codec` ("h264" and the others by their short names).
bool CanEncode(const std::string& codec);

class VideoOutput {
  public:
    // source: the input video, whose sound streams are copied.
    VideoOutput(std::filesystem::path target, bool overwrite, VideoSettings settings,
                std::string source);
    ~VideoOutput();
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;
    // Opens on the first frame.
    std::string Write(const cv::Mat& frame, double fps);
    std::string Finish();  // "" once the target is in place
    // Streams of the input that could not be kept, one line each.
    const std::vector<std::string>& notes() const { return notes_; }

  private:
    struct Av;
    std::string Open(const cv::Mat& frame, double fps);
    std::string Encode(bool flush);
    std::string CopySound(double until_seconds);

    std::filesystem::path target_, temp_;
    bool overwrite_;
    VideoSettings settings_;
    std::string source_;
    std::unique_ptr<Av> av_;
    std::string error_;
    std::vector<std::string> notes_;
};

}  // namespace nerova_tool

#endif  // NEROVA_APPS_VIDEO_OUT_H_
