// Shot cuts, from what two consecutive frames look like. A cut changes the colours a frame
// holds, or where they are; a pan or a face walking through moves the picture but keeps its
// colours, and moves a textured picture's small thumbnail only a little. So a cut is a frame
// whose colour histogram, or whose small luma thumbnail, differs from the previous frame's
// by far more than the shot's frames usually do.
#ifndef NEROVA_MODULE_VIDEO_SHOT_CUTS_H_
#define NEROVA_MODULE_VIDEO_SHOT_CUTS_H_

#include <array>
#include <cstdint>
#include <vector>

namespace nerova {
namespace module {

// A colour histogram of 4 levels per channel over every sampled pixel, compared by half the
// L1 distance of the normalised histograms (0: the same colours, 1: none in common). At
// kCutHistogram the colours alone cut.
constexpr float kCutHistogram = 0.35f;
// A luma thumbnail of kThumbWidth x kThumbHeight block means, compared by the mean absolute
// difference over 255 (0: the same picture): at kCutThumbnail the layout alone cuts, as
// between two shots of one place. A pan over fine texture moves it by about 0.06.
constexpr float kCutThumbnail = 0.15f;
// Either difference at least this many times the shot's usual one (the mean over the last
// kUsualFrames frames), so that a shot full of motion does not cut itself up.
constexpr float kCutOverUsual = 3.0f;
constexpr int kUsualFrames = 8;
// The frames a decision reads: this one and the kUsualFrames + 1 before it.
constexpr int kCutHistory = kUsualFrames + 1;
constexpr int kThumbWidth = 32, kThumbHeight = 18;
// At most about this many samples along the longer side: a 4K frame costs what a small one does.
constexpr int kCutSamples = 160;

class ShotCuts {
  public:
    // The next frame: 8-bit interleaved pixels, channels 1 (gray), 3 or 4, rgb when the first
    // channel is red. True when it begins a new shot: never the first frame; always a frame
    // of another size than the last. Whether frame i cuts depends on frames i - kCutHistory
    // to i alone.
    bool Next(const uint8_t* pixels, int width, int height, int64_t stride, int channels, bool rgb);

  private:
    static constexpr int kBins = 64;
    std::array<float, kBins> hist_{};
    std::array<float, kThumbWidth * kThumbHeight> thumb_{};
    int width_ = 0, height_ = 0;
    bool any_ = false;
    std::vector<float> usual_hist_, usual_thumb_;  // the latest differences
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_VIDEO_SHOT_CUTS_H_
