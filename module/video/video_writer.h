// Writing a video the way a person publishing it needs: the chosen codec and quality, every
// frame at the input's rate, and the input's sound carried over unchanged (stream copy), in
// one container written under a temporary name and renamed when complete.
#ifndef NEROVA_MODULE_VIDEO_VIDEO_WRITER_H_
#define NEROVA_MODULE_VIDEO_VIDEO_WRITER_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace nerova {
namespace module {

struct VideoSettings {
    std::string codec;  // "h264", "mpeg4", "mjpeg", "ffv1", or empty: by the container
    int quality = 80;   // 1 to 100
};

// Whether this build can encode `codec` ("h264" and the others by their short names).
bool CanEncode(const std::string& codec);

class VideoOutput {
  public:
    // source: the input video, whose sound streams are copied (empty: none). target "-"
    // (standard output) or a named pipe is written as the frames come, in Matroska unless
    // the pipe's name has another container's extension.
    VideoOutput(std::filesystem::path target, bool overwrite, VideoSettings settings,
                std::string source);
    ~VideoOutput();
    VideoOutput(const VideoOutput&) = delete;
    VideoOutput& operator=(const VideoOutput&) = delete;
    // One 8-bit frame of channels 1 (grey), 3 (BGR or RGB, rgb) or 4 (BGRA or RGBA); opens
    // on the first, whose size every later frame must have.
    // seconds: when the frame is shown, from the video's start (negative: the frame after the
    // last, at fps); a frame at or before the last is shown one period after it.
    std::string Write(const uint8_t* pixels, int width, int height, int stride, int channels,
                      bool rgb, double fps, double seconds = -1);
    std::string Finish();  // "" once the target is in place
    // Streams of the input that could not be kept, one line each.
    const std::vector<std::string>& notes() const { return notes_; }

  private:
    struct Av;
    std::string Open(int width, int height, int source_format, double fps);
    std::string Encode(bool flush);
    std::string CopySound(double until_seconds);

    std::filesystem::path target_, temp_;
    bool overwrite_;
    VideoSettings settings_;
    std::string source_;
    std::unique_ptr<Av> av_;
    std::string error_;
    std::vector<std::string> notes_;
    int width_ = 0, height_ = 0, format_ = -1;
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_VIDEO_VIDEO_WRITER_H_
