#include "video/tracker.h"

#include <algorithm>
#include <cmath>

#include "nerova_video.h"

namespace nerova {
namespace module {

namespace {

// Noise in shares of the box's width: a detector's box jitters by a few percent, and a face
// can change its speed by about as much from one frame to the next.
constexpr double kMeasurementNoise = 0.05;
constexpr double kProcessNoise = 0.02;
constexpr double kInitialSpeedNoise = 0.5;
constexpr float kMinSide = 1.0f;
constexpr float kFarSides = 1.5f;
// Following a face past its detections: the speed fitted to its nearest few detections (at
// least two, more only within 4 frames of the last: a face turns), and how far the face may
// be from where that speed puts it. A face seen once may move at about
// a tenth of its size a frame either way; a guess whose spread exceeds half the face no
// longer covers it more likely than not, and ends.
constexpr size_t kFitDetections = 5;
constexpr uint32_t kFitFrames = 4;
constexpr double kUnknownSpeed = 0.1;
constexpr double kMaxSpread = 0.5;

float Iou(const Detection& a, const Detection& b) {
    const float w = std::max(0.0f, std::min(a.x2, b.x2) - std::max(a.x1, b.x1));
    const float h = std::max(0.0f, std::min(a.y2, b.y2) - std::max(a.y1, b.y1));
    const float inter = w * h;
    const float uni = (a.x2 - a.x1) * (a.y2 - a.y1) + (b.x2 - b.x1) * (b.y2 - b.y1) - inter;
    return uni > 0 ? inter / uni : 0.0f;
}

// Centre and size, and back.
void ToAxes(const Detection& d, double out[4]) {
    out[0] = (d.x1 + d.x2) / 2.0;
    out[1] = (d.y1 + d.y2) / 2.0;
    out[2] = std::max(kMinSide, d.x2 - d.x1);
    out[3] = std::max(kMinSide, d.y2 - d.y1);
}

Detection FromAxes(const double a[4], float score, float angle) {
    const double w = std::max<double>(kMinSide, a[2]), h = std::max<double>(kMinSide, a[3]);
    return {score,
            static_cast<float>(a[0] - w / 2),
            static_cast<float>(a[1] - h / 2),
            static_cast<float>(a[0] + w / 2),
            static_cast<float>(a[1] + h / 2),
            angle};
}

// Faces by the cell of their centre on a coarse grid over the frame, so that linking looks at
// the faces near a track instead of every face: a crowd costs what its neighbourhoods cost.
class FaceGrid {
  public:
    FaceGrid(const std::vector<Detection>& faces, float width, float height)
        : cell_(std::max({width, height, 1.0f}) / kCells), cells_(kCells * kCells) {
        for (size_t j = 0; j < faces.size(); ++j) {
            const Detection& d = faces[j];
            cells_[Index(Cell((d.x1 + d.x2) / 2), Cell((d.y1 + d.y2) / 2))].push_back(j);
            reach_ = std::max({reach_, (d.x2 - d.x1) / 2, (d.y2 - d.y1) / 2});
        }
    }
    // Calls visit(j) for each face whose centre lies in [x1, x2] x [y1, y2], and maybe others
    // of the cells those span; each face at most once.
    template <typename Visit>
    void Near(float x1, float y1, float x2, float y2, Visit visit) const {
        for (int cy = Cell(y1); cy <= Cell(y2); ++cy)
            for (int cx = Cell(x1); cx <= Cell(x2); ++cx)
                for (size_t j : cells_[Index(cx, cy)]) visit(j);
    }
    // Half the largest side of a face: a face overlapping a box has its centre within this of
    // the box.
    float reach() const { return reach_; }

  private:
    static constexpr int kCells = 64;
    int Cell(float v) const {
        const float c = v / cell_;
        return !(c >= 0) ? 0 : c >= kCells - 1 ? kCells - 1 : static_cast<int>(c);
    }
    static size_t Index(int cx, int cy) { return static_cast<size_t>(cy) * kCells + cx; }
    float cell_;
    float reach_ = 0;
    std::vector<std::vector<size_t>> cells_;
};

}  // namespace

FaceTracker::FaceTracker(const TrackerSettings& settings, int width, int height)
    : s_(settings), width_(static_cast<float>(width)), height_(static_cast<float>(height)) {}

void FaceTracker::Predict(Track& t) const {
    const double size = std::max(t.axes[2].p, t.axes[3].p);
    const double q = (kProcessNoise * size) * (kProcessNoise * size);
    for (Axis& a : t.axes) {
        a.p += a.v;
        a.ppp += 2 * a.ppv + a.pvv + q;
        a.ppv += a.pvv;
        a.pvv += q;
    }
}

void FaceTracker::Correct(Track& t, const Detection& d) const {
    double z[4];
    ToAxes(d, z);
    const double size = std::max(z[2], z[3]);
    const double r = (kMeasurementNoise * size) * (kMeasurementNoise * size);
    for (int i = 0; i < 4; ++i) {
        Axis& a = t.axes[i];
        const double s = a.ppp + r, kp = a.ppp / s, kv = a.ppv / s, y = z[i] - a.p;
        a.p += kp * y;
        a.v += kv * y;
        a.pvv -= kv * a.ppv;
        a.ppv *= 1 - kp;
        a.ppp *= 1 - kp;
    }
    t.score = d.score;
    t.angle = d.angle;
}

Detection FaceTracker::Box(const Track& t) const {
    const double a[4] = {t.axes[0].p, t.axes[1].p, t.axes[2].p, t.axes[3].p};
    return FromAxes(a, t.score, t.angle);
}

Detection FaceTracker::Grown(const Detection& box, int frames_away) const {
    return Spread(box, s_.growth_per_frame / 2 * static_cast<float>(frames_away));
}

Detection FaceTracker::Spread(const Detection& box, double share) const {
    const float g = static_cast<float>(std::min<double>(s_.max_growth / 2, share));
    const float dw = (box.x2 - box.x1) * g, dh = (box.y2 - box.y1) * g;
    return {box.score, box.x1 - dw, box.y1 - dh, box.x2 + dw, box.y2 + dh, box.angle};
}

bool FaceTracker::Shown(const Detection& b, TrackBox& out) const {
    out.score = b.score;
    out.angle = b.angle;
    out.x1 = std::clamp(b.x1, 0.0f, width_);
    out.y1 = std::clamp(b.y1, 0.0f, height_);
    out.x2 = std::clamp(b.x2, 0.0f, width_);
    out.y2 = std::clamp(b.y2, 0.0f, height_);
    return out.x1 < out.x2 && out.y1 < out.y2;
}

void FaceTracker::AddFrame(bool detected, const std::vector<Detection>& faces,
                           std::vector<uint32_t>& face_tracks, std::vector<TrackBox>& live) {
    const uint32_t frame = frames_++;
    for (Track& t : live_) Predict(t);
    face_tracks.assign(faces.size(), 0);
    std::vector<bool> matched(live_.size(), false);
    if (detected) {
        // Greedy by overlap with the predicted boxes, best pairs first.
        struct Pair {
            float iou;
            size_t track, face;
        };
        const FaceGrid grid(faces, width_, height_);
        std::vector<Pair> pairs;
        for (size_t i = 0; i < live_.size(); ++i) {
            const Detection p = Box(live_[i]);
            const float r = grid.reach();
            grid.Near(p.x1 - r, p.y1 - r, p.x2 + r, p.y2 + r, [&](size_t j) {
                // Boxes that do not overlap are linked by distance below, if at all.
                const float v = Iou(p, faces[j]);
                if (v > 0 && v >= s_.min_iou) pairs.push_back({v, i, j});
            });
        }
        // Links the pairs, best first, each track and face once.
        const auto link = [&](std::vector<Pair>& list) {
            // Ties in the order of tracks, then faces, whatever order the grid found them in.
            std::sort(list.begin(), list.end(), [](const Pair& a, const Pair& b) {
                return a.iou != b.iou       ? a.iou > b.iou
                       : a.track != b.track ? a.track < b.track
                                            : a.face < b.face;
            });
            for (const Pair& p : list) {
                if (matched[p.track] || face_tracks[p.face]) continue;
                matched[p.track] = true;
                Track& t = live_[p.track];
                face_tracks[p.face] = t.id;
                Correct(t, faces[p.face]);
                t.last_seen = frame;
                t.frames.push_back(frame);
                t.seen.push_back(faces[p.face]);
            }
        };
        link(pairs);
        // Then by distance, for a face that moved more than its size since it was last seen
        // (fast, or looked for only every few frames): its centre within one and a half
        // sides of the predicted centre per frame away, at a similar size.
        std::vector<Pair> near;
        for (size_t i = 0; i < live_.size(); ++i) {
            if (matched[i]) continue;
            const Detection p = Box(live_[i]);
            const float away = static_cast<float>(frame - live_[i].last_seen);
            const float pw = p.x2 - p.x1;
            const float reach = kFarSides * pw * away;
            const float cx = (p.x1 + p.x2) / 2, cy = (p.y1 + p.y2) / 2;
            grid.Near(cx - reach, cy - reach, cx + reach, cy + reach, [&](size_t j) {
                if (face_tracks[j]) return;
                const Detection& d = faces[j];
                const float dw = d.x2 - d.x1;
                const float dx = (d.x1 + d.x2) / 2 - cx, dy = (d.y1 + d.y2) / 2 - cy;
                const float dist = std::sqrt(dx * dx + dy * dy);
                if (dw < 0.67f * pw || dw > 1.5f * pw || dist > reach) return;
                near.push_back({-dist, i, j});
            });
        }
        link(near);
        for (size_t j = 0; j < faces.size(); ++j) {
            if (face_tracks[j]) continue;
            Track t{};
            t.id = next_id_++;
            double z[4];
            ToAxes(faces[j], z);
            const double size = std::max(z[2], z[3]);
            const double r = (kMeasurementNoise * size) * (kMeasurementNoise * size);
            const double vv = (kInitialSpeedNoise * size) * (kInitialSpeedNoise * size);
            for (int i = 0; i < 4; ++i) t.axes[i] = {z[i], 0, r, 0, vv};
            t.score = faces[j].score;
            t.angle = faces[j].angle;
            t.last_seen = frame;
            t.frames.push_back(frame);
            t.seen.push_back(faces[j]);
            face_tracks[j] = t.id;
            live_.push_back(std::move(t));
            matched.push_back(true);
        }
    }
    live.clear();
    std::vector<Track> still;
    for (size_t i = 0; i < live_.size(); ++i) {
        Track& t = live_[i];
        const int away = static_cast<int>(frame - t.last_seen);
        TrackBox box{};
        box.id = t.id;
        box.state = away == 0 ? NEROVA_TRACK_DETECTED : NEROVA_TRACK_PREDICTED;
        // A face not seen for too long, or predicted out of the frame, has left.
        if (away > s_.max_missed_frames || !Shown(Grown(Box(t), away), box)) {
            ended_.push_back(std::move(t));
            continue;
        }
        live.push_back(box);
        still.push_back(std::move(t));
    }
    live_ = std::move(still);
}

bool FaceTracker::See(const uint8_t* pixels, int width, int height, int64_t stride, int channels,
                      bool rgb) {
    if (finished_ || !shots_.Next(pixels, width, height, stride, channels, rgb)) return false;
    Cut();
    return true;
}

void FaceTracker::Cut() {
    if (finished_ || frames_ == 0 || (!cuts_.empty() && cuts_.back() == frames_)) return;
    cuts_.push_back(frames_);
    for (Track& t : live_) ended_.push_back(std::move(t));
    live_.clear();
}

void FaceTracker::Forget(uint32_t before) {
    if (finished_) return;
    // A frame from `before` on is placed by detections at most a hold and a speed fit back
    // (a track's gaps are no longer than its hold), and one more for how it turned.
    const int64_t needed =
        static_cast<int64_t>(before) - s_.max_missed_frames - static_cast<int64_t>(kFitFrames) - 1;
    ended_.erase(std::remove_if(ended_.begin(), ended_.end(),
                                [&](const Track& t) {
                                    return t.frames.back() +
                                               static_cast<int64_t>(s_.max_missed_frames) <
                                           static_cast<int64_t>(before);
                                }),
                 ended_.end());
    for (std::vector<Track>* list : {&ended_, &live_}) {
        for (Track& t : *list) {
            size_t drop = 0;
            while (drop + 1 < t.frames.size() && t.frames[drop + 1] < needed) ++drop;
            t.frames.erase(t.frames.begin(), t.frames.begin() + static_cast<int64_t>(drop));
            t.seen.erase(t.seen.begin(), t.seen.begin() + static_cast<int64_t>(drop));
        }
    }
}

size_t FaceTracker::stored() const {
    size_t n = 0;
    for (const std::vector<Track>* list : {&ended_, &live_})
        for (const Track& t : *list) n += t.frames.size();
    return n;
}

void FaceTracker::Finish() {
    if (finished_) return;
    finished_ = true;
    offline_.assign(frames_, {});
    for (Track& t : live_) ended_.push_back(std::move(t));
    live_.clear();
    std::sort(ended_.begin(), ended_.end(),
              [](const Track& a, const Track& b) { return a.id < b.id; });
    for (const Track& t : ended_) {
        const int64_t first = static_cast<int64_t>(t.frames.front()) - s_.max_missed_frames;
        const int64_t last = static_cast<int64_t>(t.frames.back()) + s_.max_missed_frames;
        TrackBox box{};
        for (int64_t f = std::max<int64_t>(0, first); f <= last && f < frames_; ++f)
            if (Place(t, static_cast<uint32_t>(f), box))
                offline_[static_cast<size_t>(f)].push_back(box);
    }
}

void FaceTracker::FrameSoFar(uint32_t frame, std::vector<TrackBox>& out) const {
    out.clear();
    if (finished_) {
        out = offline_[frame];
        return;
    }
    // Tracks in id order, as Finish gives them.
    std::vector<const Track*> tracks;
    for (const std::vector<Track>* list : {&ended_, &live_})
        for (const Track& t : *list)
            if (t.frames.front() <= static_cast<int64_t>(frame) + s_.max_missed_frames &&
                t.frames.back() + static_cast<int64_t>(s_.max_missed_frames) >= frame)
                tracks.push_back(&t);
    std::sort(tracks.begin(), tracks.end(),
              [](const Track* a, const Track* b) { return a->id < b->id; });
    TrackBox box{};
    for (const Track* t : tracks)
        if (Place(*t, frame, box)) out.push_back(box);
}

bool FaceTracker::Place(const Track& t, uint32_t frame, TrackBox& out) const {
    // The shot the track lies in: it never crosses a cut.
    const auto next = std::upper_bound(cuts_.begin(), cuts_.end(), t.frames.front());
    const int64_t shot_begin = next == cuts_.begin() ? 0 : *(next - 1);
    const int64_t shot_end = next == cuts_.end() ? frames_ : *next;
    if (frame < shot_begin || frame >= shot_end) return false;
    out.id = t.id;
    // share: the growth on each side, a share of the box's side.
    const auto put = [&](const Detection& box, double share, int32_t state) {
        out.state = state;
        return Shown(Spread(box, share), out);
    };
    // A face's speed may change by this share of its side a frame, unforeseen.
    const double drift = s_.growth_per_frame / 2;
    const size_t n = t.frames.size();
    const size_t j = static_cast<size_t>(std::upper_bound(t.frames.begin(), t.frames.end(), frame) -
                                         t.frames.begin());
    if (j > 0 && t.frames[j - 1] == frame) return put(Steady(t, j - 1), 0, NEROVA_TRACK_DETECTED);
    if (j > 0 && j < n) {
        const size_t i = j - 1;
        const uint32_t a = t.frames[i], b = t.frames[j];
        // Between two detections the chord is no farther from the face than a detection is
        // (a blend of two boxes, each off by its jitter), so only the face's own change of
        // speed widens it: a face that turns (the speed before the gap against the speed
        // after it) may leave the chord.
        const double turn = i > 0 && j + 1 < n ? Turn(t, i - 1, j + 1) : 0;
        const double per_frame = drift + turn / 4;
        const float u = static_cast<float>(frame - a) / static_cast<float>(b - a);
        const Detection p = Steady(t, i);
        const Detection q = Steady(t, j);
        const Detection mid{p.score + (q.score - p.score) * u, p.x1 + (q.x1 - p.x1) * u,
                            p.y1 + (q.y1 - p.y1) * u,          p.x2 + (q.x2 - p.x2) * u,
                            p.y2 + (q.y2 - p.y2) * u,          p.angle + (q.angle - p.angle) * u};
        return put(mid, per_frame * std::min(frame - a, b - frame), NEROVA_TRACK_INTERPOLATED);
    }
    // Before the first and after the last detection, along the speed of the nearest few
    // detections, until the face leaves the frame or the guess spreads past the face.
    const bool back = j == 0;
    const size_t edge = back ? 0 : n - 1;
    const int64_t away = back ? static_cast<int64_t>(t.frames[0]) - frame
                              : static_cast<int64_t>(frame) - t.frames[n - 1];
    if (away > s_.max_missed_frames) return false;
    size_t m = std::min<size_t>(n, 2);
    while (m < std::min(n, kFitDetections)) {
        const uint32_t f = t.frames[back ? m : n - 1 - m];
        if ((back ? f - t.frames[0] : t.frames[n - 1] - f) > kFitFrames) break;
        ++m;
    }
    const size_t from = back ? 0 : n - m;
    double z[4], v[2] = {0, 0};
    const Detection last = Steady(t, edge);
    ToAxes(last, z);
    const double side = std::max(z[2], z[3]);
    // Least squares of the centre over the m detections (the size is held, not fitted).
    double mean_t = 0, var_t = 0, residual = 0, mean_z[2] = {0, 0};
    for (size_t k = from; k < from + m; ++k) {
        double a[4];
        ToAxes(t.seen[k], a);
        mean_t += t.frames[k] / static_cast<double>(m);
        for (int i = 0; i < 2; ++i) mean_z[i] += a[i] / static_cast<double>(m);
    }
    for (size_t k = from; k < from + m; ++k) {
        double a[4];
        ToAxes(t.seen[k], a);
        const double dt = t.frames[k] - mean_t;
        var_t += dt * dt;
        for (int i = 0; i < 2; ++i) v[i] += dt * (a[i] - mean_z[i]);
    }
    if (var_t > 0) {
        for (double& x : v) x /= var_t;
        for (size_t k = from; k < from + m; ++k) {
            double a[4];
            ToAxes(t.seen[k], a);
            for (int i = 0; i < 2; ++i) {
                const double r = a[i] - mean_z[i] - v[i] * (t.frames[k] - mean_t);
                residual += r * r / static_cast<double>(2 * m);
            }
        }
    }
    // Jitter and speed's uncertainty in shares of the side.
    const double jitter = std::max(kMeasurementNoise, std::sqrt(residual) / side);
    const double speed = var_t > 0 ? jitter / std::sqrt(var_t) : kUnknownSpeed;
    const double per_frame = std::sqrt(speed * speed + drift * drift);
    // Without motion to follow (one detection, or a face that stood still) the box is held
    // where it was seen.
    const bool still = v[0] == 0 && v[1] == 0;
    const int32_t state = still ? NEROVA_TRACK_HELD : NEROVA_TRACK_PREDICTED;
    // Every frame on the way must be shown: a guess that left the frame does not return.
    for (int64_t k = 1; k <= away; ++k) {
        const double grow = per_frame * static_cast<double>(k);
        if (std::sqrt(jitter * jitter + grow * grow) > kMaxSpread) return false;
        // Moved along at the size last seen: a size trend fitted to a few jittering boxes
        // would run away over a hold, and the spread already allows for a face that grows
        // as it comes; one shrinking as it is covered is still there as large as it was.
        const double a[4] = {z[0] + static_cast<double>(back ? -k : k) * v[0],
                             z[1] + static_cast<double>(back ? -k : k) * v[1], z[2], z[3]};
        if (!put(FromAxes(a, last.score, last.angle), grow, state)) return false;
    }
    return true;
}

Detection FaceTracker::Steady(const Track& t, size_t k) {
    // A detector's box jitters by a few percent of its side; one that comes out smaller than
    // its neighbours say would leave the face's edges bare. The width and height are at least
    // those of a straight line fitted to the other detections within kFitFrames (two at
    // least), about the box's own centre; a box larger stays as it is.
    double n = 0, st = 0, stt = 0, sz[2] = {0, 0}, stz[2] = {0, 0};
    size_t from = k;
    while (from > 0 && t.frames[k] - t.frames[from - 1] <= kFitFrames) --from;
    for (size_t i = from; i < t.frames.size() && t.frames[i] <= t.frames[k] + kFitFrames; ++i) {
        if (i == k) continue;
        const double dt = static_cast<double>(t.frames[i]) - t.frames[k];
        const double side[2] = {t.seen[i].x2 - t.seen[i].x1, t.seen[i].y2 - t.seen[i].y1};
        n += 1;
        st += dt;
        stt += dt * dt;
        for (int a = 0; a < 2; ++a) {
            sz[a] += side[a];
            stz[a] += dt * side[a];
        }
    }
    Detection d = t.seen[k];
    const double den = n * stt - st * st;
    if (!(den > 0)) return d;
    double fit[2];
    for (int a = 0; a < 2; ++a) {
        const double slope = (n * stz[a] - st * sz[a]) / den;
        fit[a] = (sz[a] - slope * st) / n;  // the line at dt = 0
    }
    const float w = std::max(d.x2 - d.x1, static_cast<float>(fit[0]));
    const float h = std::max(d.y2 - d.y1, static_cast<float>(fit[1]));
    const float cx = (d.x1 + d.x2) / 2, cy = (d.y1 + d.y2) / 2;
    d.x1 = cx - w / 2;
    d.x2 = cx + w / 2;
    d.y1 = cy - h / 2;
    d.y2 = cy + h / 2;
    return d;
}

double FaceTracker::Turn(const Track& t, size_t a, size_t b) {
    // How much the centre's speed changes from the gap [a, a + 1] to [b - 1, b], in shares of
    // the side a frame.
    const auto speed = [&](size_t from, size_t to, double v[2]) {
        double za[4], zb[4];
        ToAxes(t.seen[from], za);
        ToAxes(t.seen[to], zb);
        const double frames = static_cast<double>(t.frames[to]) - t.frames[from];
        for (int i = 0; i < 2; ++i) v[i] = frames > 0 ? (zb[i] - za[i]) / frames : 0;
    };
    double before[2], after[2], z[4];
    speed(a, a + 1, before);
    speed(b - 1, b, after);
    ToAxes(t.seen[a + 1], z);
    const double turn =
        std::hypot(after[0] - before[0], after[1] - before[1]) / std::max(z[2], z[3]);
    // Less what the boxes' jitter alone makes of two speeds (their difference's root mean
    // square over both axes): a face that went straight is not taken for one that turned.
    const double g1 = static_cast<double>(t.frames[a + 1]) - t.frames[a];
    const double g2 = static_cast<double>(t.frames[b]) - t.frames[b - 1];
    const double noise = 2 * kMeasurementNoise * std::sqrt(1 / (g1 * g1) + 1 / (g2 * g2));
    return std::max(0.0, turn - noise);
}

}  // namespace module
}  // namespace nerova
