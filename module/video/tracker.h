// Faces followed through a video: detections linked frame to frame by overlap under a
// constant-velocity Kalman filter per box coordinate, boxes predicted (and grown with their
// uncertainty) through frames without a detection, and, once the whole video is known, gaps
// interpolated and each face extended back to where it entered and on until it left, never
// across a shot cut.
#ifndef NEROVA_MODULE_VIDEO_TRACKER_H_
#define NEROVA_MODULE_VIDEO_TRACKER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/shot_cuts.h"

namespace nerova {
namespace module {

struct TrackerSettings {
    int max_missed_frames = 15;      // frames a face is held without a detection, either way
    float min_iou = 0.2f;            // overlap linking a detection to a track's predicted box
    float growth_per_frame = 0.03f;  // box growth per frame away from a detection (known speed)
    float max_growth = 0.5f;         // ... at most this share of the box on each side in all
};

struct TrackBox {
    uint32_t id;
    int32_t state;  // NerovaTrackState
    float score;
    float x1, y1, x2, y2;
    float angle;  // degrees, the eye line's, 0 without eyes
};

struct Detection {
    float score;
    float x1, y1, x2, y2;
    float angle;
};

class FaceTracker {
  public:
    FaceTracker(const TrackerSettings& settings, int width, int height);

    // The next frame: its detections (detected) or none looked for. face_tracks receives
    // each detection's track id; live receives the tracks of this frame as known so far.
    void AddFrame(bool detected, const std::vector<Detection>& faces,
                  std::vector<uint32_t>& face_tracks, std::vector<TrackBox>& live);
    // With every frame known: each frame's tracks, detections as they are, gaps between two
    // detections of a face interpolated, and up to max_missed_frames before a face's first
    // and after its last detection extrapolated along its motion, until it leaves the frame.
    void Finish();
    // The next frame's pixels (ShotCuts::Next), before its AddFrame: at a shot cut, Cut().
    bool See(const uint8_t* pixels, int width, int height, int64_t stride, int channels, bool rgb);
    // The next frame begins a new shot: every track ends here, and none is interpolated or
    // followed across (ignored before the first frame and a second time for one frame).
    void Cut();
    // The frames that begin a shot, ascending (never frame 0).
    const std::vector<uint32_t>& cuts() const { return cuts_; }
    bool finished() const { return finished_; }
    uint32_t frame_count() const { return frames_; }
    int width() const { return static_cast<int>(width_); }
    int height() const { return static_cast<int>(height_); }
    size_t live_count() const { return live_.size(); }
    const std::vector<TrackBox>& Frame(uint32_t frame) const { return offline_[frame]; }
    // Frame `frame` (< frame_count()) as known so far: what Finish would give if the video
    // ended here. A live host asks once it has added the frames of its look-ahead.
    void FrameSoFar(uint32_t frame, std::vector<TrackBox>& out) const;
    // Frames before `before` will not be asked for again (a live host wrote them): what only
    // they needed is dropped, so that a stream of any length takes bounded memory. Finish
    // then knows only the frames kept.
    void Forget(uint32_t before);
    size_t stored() const;  // detections kept

  private:
    struct Axis {  // position and velocity of one coordinate, with their covariance
        double p = 0, v = 0, ppp = 0, ppv = 0, pvv = 0;
    };
    struct Track {
        uint32_t id;
        Axis axes[4];  // centre x, centre y, width, height
        float score, angle;
        uint32_t last_seen;  // frame of the last detection
        std::vector<uint32_t> frames;
        std::vector<Detection> seen;
    };
    void Predict(Track& t) const;
    void Correct(Track& t, const Detection& d) const;
    bool Shown(const Detection& grown, TrackBox& out) const;  // clamped, with some area
    Detection Grown(const Detection& box, int frames_away) const;
    Detection Spread(const Detection& box, double share) const;  // share of the side, each side
    Detection Box(const Track& t) const;
    // The track's box in frame `frame` from its detections so far; false when it has none.
    bool Place(const Track& t, uint32_t frame, TrackBox& out) const;
    static double Turn(const Track& t, size_t a, size_t b);
    // Detection k of the track, no smaller than its neighbours say.
    static Detection Steady(const Track& t, size_t k);

    TrackerSettings s_;
    float width_, height_;
    uint32_t frames_ = 0;
    uint32_t next_id_ = 1;
    std::vector<Track> live_;
    std::vector<Track> ended_;
    bool finished_ = false;
    std::vector<std::vector<TrackBox>> offline_;
    ShotCuts shots_;
    std::vector<uint32_t> cuts_;
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_VIDEO_TRACKER_H_
