#include "video/shot_cuts.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace nerova {
namespace module {

namespace {

float Mean(const std::vector<float>& v) {
    return v.empty() ? 0.0f : std::accumulate(v.begin(), v.end(), 0.0f) / v.size();
}

// Keeps the last kUsualFrames values.
void Remember(std::vector<float>& v, float value) {
    if (v.size() == static_cast<size_t>(kUsualFrames)) v.erase(v.begin());
    v.push_back(value);
}

}  // namespace

bool ShotCuts::Next(const uint8_t* pixels, int width, int height, int64_t stride, int channels,
                    bool rgb) {
    std::array<float, kBins> hist{};
    std::array<float, kThumbWidth * kThumbHeight> thumb{}, counts{};
    const int step = std::max(1, std::max(width, height) / kCutSamples);
    const int r = channels >= 3 ? (rgb ? 0 : 2) : 0, b = channels >= 3 ? 2 - r : 0;
    const int g = channels >= 3 ? 1 : 0;
    float samples = 0;
    for (int y = step / 2; y < height; y += step) {
        const uint8_t* row = pixels + y * stride;
        const int ty = static_cast<int>(static_cast<int64_t>(y) * kThumbHeight / height);
        for (int x = step / 2; x < width; x += step) {
            const uint8_t* p = row + static_cast<int64_t>(x) * channels;
            const int rv = p[r], gv = p[g], bv = p[b];
            ++hist[(rv >> 6) * 16 + (gv >> 6) * 4 + (bv >> 6)];
            const int tx = static_cast<int>(static_cast<int64_t>(x) * kThumbWidth / width);
            // Rec. 601 luma, in integers.
            thumb[ty * kThumbWidth + tx] += static_cast<float>((77 * rv + 150 * gv + 29 * bv) >> 8);
            ++counts[ty * kThumbWidth + tx];
            ++samples;
        }
    }
    for (float& h : hist) h /= samples;
    for (size_t i = 0; i < thumb.size(); ++i)
        if (counts[i] > 0) thumb[i] /= counts[i];
    const bool comparable = any_ && width == width_ && height == height_;
    float dh = 0, dt = 0;  // the differences from the last frame
    bool cut = false;
    if (comparable) {
        int cells = 0;
        for (int i = 0; i < kBins; ++i) dh += std::fabs(hist[i] - hist_[i]);
        for (size_t i = 0; i < thumb.size(); ++i) {
            if (counts[i] == 0) continue;  // a frame narrower than the thumbnail
            dt += std::fabs(thumb[i] - thumb_[i]);
            ++cells;
        }
        dh /= 2;
        dt = cells ? dt / cells / 255.0f : 0.0f;
        const bool colours = dh >= kCutHistogram && dh >= kCutOverUsual * Mean(usual_hist_);
        const bool layout = dt >= kCutThumbnail && dt >= kCutOverUsual * Mean(usual_thumb_);
        cut = colours || layout;
    } else if (any_) {
        cut = true;  // another size: the most a frame can differ
        dh = dt = 1.0f;
    }
    // The window never resets, so that a decision depends on the last kCutHistory frames
    // alone: a host reading from the middle of a video decides as one reading it all.
    if (any_) {
        Remember(usual_hist_, dh);
        Remember(usual_thumb_, dt);
    }
    hist_ = hist;
    thumb_ = thumb;
    width_ = width;
    height_ = height;
    any_ = true;
    return cut;
}

}  // namespace module
}  // namespace nerova
