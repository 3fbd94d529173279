// Faces followed through synthetic box sequences, through the video library's C interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "nerova_video.h"
#include "test_util.h"
#include "video/tracker.h"

namespace {

// A face of side 40 whose top-left corner is at (x, y).
NerovaFaceInfo At(float x, float y) {
    return {0.99f, int32_t(x), int32_t(y), int32_t(x) + 40, int32_t(y) + 40};
}

struct Frame {
    bool detected;
    std::vector<NerovaFaceInfo> faces;
    bool cut = false;  // the frame begins a new shot
};

// Runs the frames through a tracker on a 320 x 240 video; the ids given to each frame's faces,
// and, after the whole video, each frame's tracks.
struct Tracked {
    std::vector<std::vector<uint32_t>> ids;
    std::vector<std::vector<NerovaTrack>> tracks;

    explicit Tracked(const std::vector<Frame>& frames) {
        void* tracker = nullptr;
        EXPECT_EQ(NerovaTrackerCreate(nullptr, 320, 240, &tracker), NEROVA_OK);
        for (const Frame& f : frames) {
            std::vector<uint32_t> got(f.faces.size());
            if (f.cut) {
                EXPECT_EQ(NerovaTrackerCut(tracker), NEROVA_OK);
            }
            EXPECT_EQ(
                NerovaTrackerAddFrame(tracker, f.detected, f.faces.data(), uint32_t(f.faces.size()),
                                      nullptr, got.data(), nullptr, nullptr),
                NEROVA_OK);
            ids.push_back(got);
        }
        EXPECT_EQ(NerovaTrackerFinish(tracker), NEROVA_OK);
        for (uint32_t i = 0; i < frames.size(); ++i) {
            NerovaTrack* t = nullptr;
            uint32_t n = 0;
            EXPECT_EQ(NerovaTrackerFrame(tracker, i, &t, &n), NEROVA_OK);
            tracks.emplace_back(t, t + n);
            NerovaTracksRelease(t);
        }
        NerovaTrackerDestroy(tracker);
    }
    // The centre x of track id in frame f, NaN when absent.
    float CentreX(size_t f, uint32_t id) const {
        for (const NerovaTrack& t : tracks[f])
            if (t.id == id) return (t.x1 + t.x2) / 2;
        return std::nanf("");
    }
};

TEST(TrackerTest, MissesAreBridgedCrossingFacesKeepTheirIdsLeavingFacesEnd) {
    // One face moving right 10 px a frame, missed by the detector in frames 5 to 7, and looked
    // for only every third frame from frame 12 on.
    std::vector<Frame> walk;
    for (int f = 0; f < 20; ++f) {
        const bool looked = f < 12 || f % 3 == 0;
        const bool found = looked && (f < 5 || f > 7);
        walk.push_back({looked, found ? std::vector<NerovaFaceInfo>{At(40 + 10.0f * f, 100)}
                                      : std::vector<NerovaFaceInfo>{}});
    }
    const Tracked w(walk);
    const uint32_t id = w.ids[0][0];
    EXPECT_EQ(w.ids[8][0], id) << "the same face after the miss";
    EXPECT_EQ(w.ids[18][0], id);
    // Between detections bridged, after the last one carried along the motion.
    for (const auto& [f, state] :
         std::vector<std::pair<int, int32_t>>{{6, NEROVA_TRACK_INTERPOLATED},
                                              {7, NEROVA_TRACK_INTERPOLATED},
                                              {13, NEROVA_TRACK_INTERPOLATED},
                                              {14, NEROVA_TRACK_INTERPOLATED},
                                              {19, NEROVA_TRACK_PREDICTED}}) {
        EXPECT_NEAR(w.CentreX(size_t(f), id), 60 + 10.0f * f, 2.0f) << "frame " << f;
        EXPECT_EQ(w.tracks[size_t(f)][0].state, state) << "frame " << f;
    }
    // A face seen once has no motion to follow: it is held where it was, either way.
    std::vector<Frame> once(9, Frame{true, {}});
    once[4].faces = {At(100, 100)};
    const Tracked o(once);
    for (size_t f : {size_t(1), size_t(8)}) {
        ASSERT_EQ(o.tracks[f].size(), 1u) << "frame " << f;
        EXPECT_EQ(o.tracks[f][0].state, NEROVA_TRACK_HELD);
        EXPECT_NEAR((o.tracks[f][0].x1 + o.tracks[f][0].x2) / 2, 120, 0.01f);
    }

    // Two faces crossing at frame 10, a little apart vertically.
    std::vector<Frame> cross;
    for (int f = 0; f <= 20; ++f)
        cross.push_back({true, {At(10.0f * f, 100), At(200 - 10.0f * f, 110)}});
    const Tracked c(cross);
    EXPECT_NE(c.ids[0][0], c.ids[0][1]);
    EXPECT_EQ(c.ids[20], c.ids[0]) << "each face keeps its id past the crossing";

    // A face first seen at the left edge walking in, last seen before it walks out at the
    // right: covered back to where it entered and on until it left, and not after.
    std::vector<Frame> through;
    for (int f = 0; f < 40; ++f) {
        const float x = -60 + 12.0f * f;
        through.push_back({true, x >= 0 && x + 40 <= 300 ? std::vector<NerovaFaceInfo>{At(x, 100)}
                                                         : std::vector<NerovaFaceInfo>{}});
    }
    const Tracked t(through);
    const uint32_t walker = t.ids[5][0];
    EXPECT_FALSE(std::isnan(t.CentreX(3, walker))) << "entering, before its first detection";
    EXPECT_FALSE(std::isnan(t.CentreX(29, walker))) << "leaving, after its last detection";
    EXPECT_TRUE(t.tracks[33].empty()) << "gone once out of the frame";
}

// Masks as tight as the evidence: a face seen once is held only while it may still be there
// (a tenth of its side a frame, unknown speed); a face followed for 20 frames is carried the
// whole hold; a box bridging a gap grows towards its middle and shrinks back as the next
// detection nears, more where the face turned.
TEST(TrackerTest, GuessesGrowWithTheirUncertaintyAndEndWhenItPassesTheFace) {
    const auto span = [](const Tracked& t, uint32_t id) {
        std::vector<size_t> frames;
        for (size_t f = 0; f < t.tracks.size(); ++f)
            if (!std::isnan(t.CentreX(f, id))) frames.push_back(f);
        return std::make_pair(frames.front(), frames.back());
    };
    const auto width = [](const Tracked& t, size_t f) {
        return t.tracks[f][0].x2 - t.tracks[f][0].x1;
    };
    std::vector<Frame> once(40, Frame{true, {}});
    once[20].faces = {At(140, 100)};
    const Tracked o(once);
    EXPECT_EQ(span(o, o.ids[20][0]), std::make_pair(size_t(16), size_t(24)));

    std::vector<Frame> walk(60, Frame{true, {}});
    for (int f = 10; f < 30; ++f) walk[size_t(f)].faces = {At(100 + 2.0f * f, 100)};
    const Tracked w(walk);
    EXPECT_EQ(span(w, w.ids[10][0]), std::make_pair(size_t(0), size_t(44)));
    EXPECT_GT(width(w, 44), width(w, 32)) << "the later the guess, the larger";

    // Detected every 6th frame: straight on, then turning back at frame 24.
    std::vector<Frame> turn;
    for (int f = 0; f < 49; ++f) {
        const float x = f <= 24 ? 40.0f + 5 * f : 280.0f - 5 * (f - 24);
        turn.push_back({f % 6 == 0, f % 6 == 0 ? std::vector<NerovaFaceInfo>{At(x, 100)}
                                               : std::vector<NerovaFaceInfo>{}});
    }
    const Tracked b(turn);
    EXPECT_LT(width(b, 7), width(b, 9)) << "growing away from the detection at 6";
    EXPECT_GT(width(b, 9), width(b, 11)) << "shrinking back towards the one at 12";
    EXPECT_NEAR(width(b, 12), 40, 1);
    EXPECT_GT(width(b, 21), width(b, 9) + 2) << "the gap before the turn is less certain";
}

// A detector's box jitters: one that comes out smaller than its neighbours is shown at the
// size they say (about its own centre), one larger as it is; the size held past the last
// detection is the last size shown, not a trend fitted to the jitter.
TEST(TrackerTest, ABoxSmallerThanItsNeighboursIsShownAtTheirSize) {
    struct Case {
        const char* what;
        std::vector<int> sides;  // one face standing still, detected in frames 0..n-1
        size_t frame;            // where to look, after the video (later frames predicted)
        float min_width, max_width;
    };
    const std::vector<Case> cases = {
        {"an undersized box among steady ones", {40, 41, 40, 30, 40, 39, 40}, 3, 39.5f, 40.5f},
        {"an oversized box kept", {40, 41, 40, 50, 40, 39, 40}, 3, 50, 50},
        {"a growing face's small box", {40, 42, 44, 36, 48, 50, 52}, 3, 45.5f, 46.5f},
        {"two detections are no evidence", {40, 30}, 1, 30, 30},
        // Shrinking 2 px a frame to 30, then held 6 frames on: the spread grows it from 30,
        // where extrapolating the shrink would have gone to 18.
        {"held at the last size", {40, 38, 36, 34, 32, 30}, 11, 30.5f, 40},
    };
    for (const Case& c : cases) {
        std::vector<Frame> frames(std::max(c.frame + 1, c.sides.size()), Frame{true, {}});
        for (size_t f = 0; f < c.sides.size(); ++f) {
            const int s = c.sides[f], x = 160 - s / 2, y = 120 - s / 2;
            frames[f].faces = {{0.99f, x, y, x + s, y + s}};
        }
        const Tracked t(frames);
        ASSERT_EQ(t.tracks[c.frame].size(), 1u) << c.what;
        const NerovaTrack& b = t.tracks[c.frame][0];
        EXPECT_GE(b.x2 - b.x1, c.min_width) << c.what;
        EXPECT_LE(b.x2 - b.x1, c.max_width) << c.what;
        EXPECT_NEAR((b.x1 + b.x2) / 2, 160, 1) << c.what << ": about the box's centre";
        EXPECT_NEAR(b.y2 - b.y1, b.x2 - b.x1, 0.01f) << c.what;
    }
}

// A live host that asks for each frame once it has added the next 15 gets what the whole
// video gives, as long as no face goes undetected for longer: faces entering at the edge
// (covered back to where they entered), missed for 12 frames, looked for every 5th frame,
// a face seen once, and a cut.
TEST(TrackerTest, LiveWithALookAheadGivesTheOfflineMasks) {
    constexpr uint32_t kAhead = 15;
    std::vector<Frame> frames;
    for (int f = 0; f < 90; ++f) {
        const bool looked = f < 40 || f % 5 == 0;
        std::vector<NerovaFaceInfo> faces;
        const float x = -30 + 6.0f * f;
        if (looked && x >= 0 && x + 40 <= 320 && (f < 12 || f > 23)) faces.push_back(At(x, 100));
        if (f == 30) faces.push_back(At(100, 20));
        frames.push_back({looked, faces, f == 70});
    }
    const Tracked offline(frames);
    void* tracker = nullptr;
    ASSERT_EQ(NerovaTrackerCreate(nullptr, 320, 240, &tracker), NEROVA_OK);
    NerovaTrack* t = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(NerovaTrackerFrameSoFar(tracker, 0, &t, &n), NEROVA_ERR_PARAM_RANGE) << "none yet";
    size_t shown = 0;
    const auto same = [&](uint32_t f) {
        ASSERT_EQ(NerovaTrackerFrameSoFar(tracker, f, &t, &n), NEROVA_OK);
        const std::vector<NerovaTrack> live(t, t + n);
        NerovaTracksRelease(t);
        ASSERT_EQ(live.size(), offline.tracks[f].size()) << "frame " << f;
        for (size_t k = 0; k < live.size(); ++k) {
            const NerovaTrack &a = live[k], &b = offline.tracks[f][k];
            EXPECT_EQ(std::vector<float>({float(a.id), float(a.state), a.x1, a.y1, a.x2, a.y2}),
                      std::vector<float>({float(b.id), float(b.state), b.x1, b.y1, b.x2, b.y2}))
                << "frame " << f;
        }
        shown += live.size();
    };
    for (uint32_t f = 0; f < frames.size(); ++f) {
        if (frames[f].cut) {
            EXPECT_EQ(NerovaTrackerCut(tracker), NEROVA_OK);
        }
        ASSERT_EQ(NerovaTrackerAddFrame(tracker, frames[f].detected, frames[f].faces.data(),
                                        uint32_t(frames[f].faces.size()), nullptr, nullptr, nullptr,
                                        nullptr),
                  NEROVA_OK);
        if (f >= kAhead) {
            same(f - kAhead);
            // Written: what only that frame needed may go, and no later frame changes.
            EXPECT_EQ(NerovaTrackerForget(tracker, f - kAhead + 1), NEROVA_OK);
        }
    }
    for (uint32_t f = uint32_t(frames.size()) - kAhead; f < frames.size(); ++f) same(f);
    EXPECT_GT(shown, 60u) << "masks to compare";
    NerovaTrackerDestroy(tracker);

    // A stream of any length in bounded memory: a face on screen throughout, another for a
    // few frames every 50, each frame forgotten once written.
    nerova::module::FaceTracker stream({}, 320, 240), kept({}, 320, 240);
    std::vector<uint32_t> ids;
    std::vector<nerova::module::TrackBox> live;
    for (uint32_t f = 0; f < 3000; ++f) {
        const float x = 100 + 50 * std::sin(f / 40.0f);
        std::vector<nerova::module::Detection> faces{{0.9f, x, 50, x + 40, 90, 0}};
        if (f % 50 < 5) faces.push_back({0.9f, 200, 150, 240, 190, 0});
        for (auto* t : {&stream, &kept}) t->AddFrame(true, faces, ids, live);
        if (f >= kAhead) stream.Forget(f - kAhead + 1);
    }
    EXPECT_LT(stream.stored(), 100u);
    EXPECT_GT(kept.stored(), 3000u);
}

TEST(TrackerTest, NothingCrossesAShotCut) {
    // A face walking right, detected every 5th frame (0, 5, 10: interpolated between), then a
    // cut at frame 12 to a shot where a face sits at the same place from frame 15.
    std::vector<Frame> frames;
    for (int f = 0; f < 25; ++f) {
        const bool looked = f % 5 == 0;
        std::vector<NerovaFaceInfo> faces;
        if (looked && f < 12) faces.push_back(At(40 + 4.0f * f, 100));
        if (looked && f >= 15) faces.push_back(At(40 + 4.0f * f, 100));
        frames.push_back({looked, faces, f == 12});
    }
    const Tracked t(frames);
    const uint32_t before = t.ids[10][0], after = t.ids[15][0];
    EXPECT_NE(before, after) << "a face seen after a cut starts a new track";
    EXPECT_FALSE(std::isnan(t.CentreX(11, before))) << "followed on up to the cut";
    EXPECT_TRUE(std::isnan(t.CentreX(11, after))) << "the next shot's face not back before it";
    for (size_t f = 12; f < 15; ++f) {
        EXPECT_TRUE(std::isnan(t.CentreX(f, before))) << "frame " << f << ": carried past the cut";
        EXPECT_FALSE(std::isnan(t.CentreX(f, after))) << "frame " << f << ": the shot's own face";
    }
    EXPECT_FALSE(std::isnan(t.CentreX(24, after)));

    // Without the cut the same face is one track, followed through frames 12 to 14.
    for (Frame& f : frames) f.cut = false;
    const Tracked u(frames);
    EXPECT_EQ(u.ids[15][0], u.ids[10][0]);
    EXPECT_FALSE(u.tracks[13].empty());
}

// A textured scene (fixed seed) seen through a window at (x, y): a camera panning over it.
cv::Mat View(const cv::Mat& scene, int x, int y) { return scene(cv::Rect(x, y, 160, 90)).clone(); }

cv::Mat Scene(uint64_t seed, cv::Scalar tint) {
    cv::Mat noise(60, 80, CV_8UC3), scene;
    cv::RNG rng(seed);
    rng.fill(noise, cv::RNG::UNIFORM, 0, 120);
    cv::resize(noise, scene, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
    return scene + tint;
}

// A face walking in from the left edge, missed for 12 frames, once weakly detected, last seen
// mid-frame; a cut; a face seen once in the next shot. The page flags the bridged run, the weak
// detection, the long prediction and the frame after the mask ends mid-frame, and nothing of
// the second face, standing still, whose held masks begin at the cut and end with the video.
TEST(ReviewTest, PagesFlagTheFramesToCheckAndNameTheCuts) {
    void* tracker = nullptr;
    ASSERT_EQ(NerovaTrackerCreate(nullptr, 320, 240, &tracker), NEROVA_OK);
    void* review = nullptr;
    EXPECT_EQ(NerovaReviewCreate(tracker, "clip.mp4", 25, &review), NEROVA_ERR_PARAM_RANGE)
        << "not before the whole video is known";
    for (int f = 0; f < 60; ++f) {
        std::vector<NerovaFaceInfo> faces;
        if (f < 10 || (f >= 22 && f <= 30)) faces.push_back(At(4.0f * f, 100));
        if (f == 25) faces[0].score = 0.6f;
        if (f == 52 || f == 56) faces.push_back(At(150, 100));
        if (f == 50) {
            EXPECT_EQ(NerovaTrackerCut(tracker), NEROVA_OK);
        }
        EXPECT_EQ(NerovaTrackerAddFrame(tracker, 1, faces.data(), uint32_t(faces.size()), nullptr,
                                        nullptr, nullptr, nullptr),
                  NEROVA_OK);
    }
    ASSERT_EQ(NerovaTrackerFinish(tracker), NEROVA_OK);
    EXPECT_EQ(NerovaReviewCreate(tracker, "clip.mp4", 0, &review), NEROVA_ERR_PARAM_RANGE);
    ASSERT_EQ(NerovaReviewCreate(tracker, "videos/clip.mp4", 25, &review), NEROVA_OK);
    NerovaTrackerDestroy(tracker);  // the page keeps what it needs

    std::vector<uint32_t> wanted;
    cv::Mat frame(240, 320, CV_8UC3), other(120, 160, CV_8UC3, cv::Scalar::all(0));
    for (uint32_t f = 0; f < 60; ++f) {
        int32_t w = 0;
        ASSERT_EQ(NerovaReviewWantsFrame(review, f, &w), NEROVA_OK);
        if (w) {
            wanted.push_back(f);
            EXPECT_EQ(NerovaReviewAddFrame(review, f, NEROVA_PIXEL_FORMAT_BGR, 160, 120, other.data,
                                           int32_t(other.step)),
                      NEROVA_ERR_PARAM_RANGE)
                << "a frame of another size would misplace the boxes";
        }
        frame.setTo(cv::Scalar(f * 4, 255 - f * 4, 128));
        EXPECT_EQ(NerovaReviewAddFrame(review, f, NEROVA_PIXEL_FORMAT_BGR, 320, 240, frame.data,
                                       int32_t(frame.step)),
                  NEROVA_OK);
    }
    EXPECT_EQ(wanted, (std::vector<uint32_t>{16, 25, 45, 46}));
    NerovaReviewCounts c{};
    EXPECT_EQ(NerovaReviewGetCounts(review, &c), NEROVA_ERR_PARAM_RANGE) << "size unset";
    c.size = sizeof c;
    ASSERT_EQ(NerovaReviewGetCounts(review, &c), NEROVA_OK);
    EXPECT_EQ(std::vector<uint64_t>({c.frames, c.tracks, c.cuts, c.to_check, c.pictures, c.masks}),
              std::vector<uint64_t>({60, 2, 1, 4, 4, 56}));
    EXPECT_EQ(std::vector<uint64_t>(c.states, c.states + 4),
              std::vector<uint64_t>({21, 15, 15, 5}));  // detected, predicted, interpolated, held

    nerova_test::TempDir dir;
    const std::string page = dir.path() + "/review/clip.mp4.html";
    ASSERT_EQ(NerovaReviewWrite(review, page.c_str(), 0), NEROVA_OK) << NerovaReviewMessage(review);
    const std::string html = nerova_test::ReadFile(page);
    for (const char* text :
         {"<title>Review of clip.mp4</title>", "<h2>Timeline</h2>", "data-track=\"1\"",
          "data-track=\"2\"", "Cut at frame 50", "Face 1 interpolated for 12 frames",
          "Face 1 detected at a low score, 0.60", "Face 1 predicted for 15 frames",
          "Face 1 ends mid-frame: masked up to frame 45", "<rect class=\"held\" x=\"50\"",
          "<figure id=\"frame-46\">"})
        EXPECT_NE(html.find(text), std::string::npos) << text;
    size_t pictures = 0;
    for (size_t at = 0; (at = html.find("data:image/jpeg;base64,", at)) != std::string::npos; ++at)
        ++pictures;
    EXPECT_EQ(pictures, 4u);
    EXPECT_EQ(html.find("http"), std::string::npos) << "nothing fetched";
    EXPECT_EQ(html.find("Face 2 ", html.find("<h2>Frames to check</h2>")), std::string::npos)
        << "nothing of the second face to check";

    EXPECT_EQ(NerovaReviewWrite(review, page.c_str(), 0), NEROVA_ERR_OUTPUT_FILE);
    EXPECT_NE(std::string(NerovaReviewMessage(review)), "");
    EXPECT_EQ(NerovaReviewWrite(review, page.c_str(), 1), NEROVA_OK);
    EXPECT_EQ(nerova_test::ReadFile(page), html) << "the same page from the same tracks";
    EXPECT_EQ(NerovaReviewWrite(nullptr, page.c_str(), 1), NEROVA_ERR_PARAM_NULL);
    EXPECT_EQ(NerovaReviewDestroy(review), NEROVA_OK);
}
TEST(ShotCutsTest, CutsAreFoundWherePansFacesAndSizesSay) {
    const cv::Mat street = Scene(1, {40, 60, 90}), room = Scene(2, {110, 80, 20});
    struct Case {
        const char* what;
        std::vector<cv::Mat> frames;
        std::vector<uint32_t> cuts;
    };
    std::vector<Case> cases;
    {
        Case pan{"a fast pan", {}, {}};
        for (int f = 0; f < 30; ++f) pan.frames.push_back(View(street, 12 * f, f));
        cases.push_back(pan);
    }
    {
        Case walk{"a face walking through a still shot", {}, {}};
        for (int f = 0; f < 30; ++f) {
            cv::Mat v = View(street, 100, 100);
            cv::circle(v, {5 * f, 45}, 25, {150, 170, 210}, cv::FILLED);
            walk.frames.push_back(v);
        }
        cases.push_back(walk);
    }
    {
        Case cut{"a pan, cut to another scene, cut back", {}, {10, 20}};
        for (int f = 0; f < 30; ++f)
            cut.frames.push_back(View(f >= 10 && f < 20 ? room : street, 8 * f, 50));
        cases.push_back(cut);
    }
    {
        Case sizes{"a frame of another size", {}, {3}};
        for (int f = 0; f < 6; ++f)
            sizes.frames.push_back(f < 3 ? View(street, 0, 0) : street(cv::Rect(0, 0, 90, 90)));
        cases.push_back(sizes);
    }
    for (const Case& c : cases) {
        for (const int format : {NEROVA_PIXEL_FORMAT_BGR, NEROVA_PIXEL_FORMAT_RGBA}) {
            void* tracker = nullptr;
            ASSERT_EQ(NerovaTrackerCreate(nullptr, 160, 90, &tracker), NEROVA_OK);
            std::vector<uint32_t> seen;
            for (uint32_t f = 0; f < c.frames.size(); ++f) {
                cv::Mat m = c.frames[f];
                if (format == NEROVA_PIXEL_FORMAT_RGBA) cv::cvtColor(m, m, cv::COLOR_BGR2RGBA);
                int32_t cut = -1;
                ASSERT_EQ(NerovaTrackerSeeFrame(tracker, format, m.cols, m.rows, m.data,
                                                int32_t(m.step), &cut),
                          NEROVA_OK);
                if (cut) seen.push_back(f);
                ASSERT_EQ(NerovaTrackerAddFrame(tracker, 0, nullptr, 0, nullptr, nullptr, nullptr,
                                                nullptr),
                          NEROVA_OK);
            }
            EXPECT_EQ(seen, c.cuts) << c.what << ", format " << format;
            uint32_t count = 0, frame = 0;
            ASSERT_EQ(NerovaTrackerCutCount(tracker, &count), NEROVA_OK);
            ASSERT_EQ(count, c.cuts.size());
            for (uint32_t k = 0; k < count; ++k) {
                ASSERT_EQ(NerovaTrackerCutAt(tracker, k, &frame), NEROVA_OK);
                EXPECT_EQ(frame, c.cuts[k]);
            }
            nerova_test::StderrCapture quiet;
            EXPECT_EQ(NerovaTrackerCutAt(tracker, count, &frame), NEROVA_ERR_PARAM_RANGE);
            const uint8_t px[3] = {0, 0, 0};
            EXPECT_EQ(NerovaTrackerSeeFrame(tracker, NEROVA_PIXEL_FORMAT_BGR, 1, 1, px, 2, nullptr),
                      NEROVA_ERR_PARAM_RANGE)
                << "a stride shorter than a row";
            NerovaTrackerDestroy(tracker);
        }
    }
}

}  // namespace

namespace {

// Writes `frames` frames of a width x height gradient through the C interface; the size and
// frame count read back, and the writer's notes.
struct Written {
    int width = 0, height = 0, frames = 0;
    std::vector<std::string> notes;
    NerovaError code = NEROVA_OK;
};

Written WriteClip(const std::string& path, const char* codec, int width, int height, int frames) {
    Written w;
    void* writer = nullptr;
    EXPECT_EQ(NerovaVideoWriterCreate(path.c_str(), nullptr, codec, 80, 0, &writer), NEROVA_OK);
    std::vector<uint8_t> pixels(size_t(width) * height * 3);
    for (int f = 0; f < frames && w.code == NEROVA_OK; ++f) {
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 7 + f);
        w.code = NerovaVideoWriterWrite(writer, NEROVA_PIXEL_FORMAT_BGR, width, height,
                                        pixels.data(), width * 3, 10.0);
    }
    if (w.code == NEROVA_OK) w.code = NerovaVideoWriterFinish(writer);
    for (uint32_t k = 0; k < NerovaVideoWriterNoteCount(writer); ++k)
        w.notes.push_back(NerovaVideoWriterNote(writer, k));
    NerovaVideoWriterDestroy(writer);
    cv::VideoCapture back(path, cv::CAP_FFMPEG);
    for (cv::Mat frame; back.read(frame); ++w.frames) {
        w.width = frame.cols;
        w.height = frame.rows;
    }
    return w;
}

TEST(VideoWriterTest, OddSidesKeepEveryPixelOrSaySoAndDevicesAreNotReplaced) {
    nerova_test::TempDir dir;
    const struct {
        const char* name;
        const char* codec;
        int width, height;  // read back from 63 x 47
        bool note;
    } cases[] = {
        {"mjpeg.avi", "", 63, 47, false},
        {"h264.mp4", "", 63, 47, false},
        {"ffv1.mkv", "ffv1", 63, 47, false},
        {"mpeg4.avi", "mpeg4", 62, 46, true},
    };
    for (const auto& c : cases) {
        if (c.codec[0] && !NerovaVideoCanEncode(c.codec)) continue;
        const Written w = WriteClip(dir.path() + "/" + c.name, c.codec, 63, 47, 5);
        EXPECT_EQ(w.code, NEROVA_OK) << c.name;
        EXPECT_EQ(std::vector<int>({w.width, w.height, w.frames}),
                  std::vector<int>({c.width, c.height, 5}))
            << c.name;
        EXPECT_EQ(w.notes.size(), c.note ? 1u : 0u) << c.name;
    }
    // A device at the target is refused before any frame is encoded, even with overwrite.
    const std::string link = dir.path() + "/null.avi";
    std::filesystem::create_symlink("/dev/null", link);
    void* writer = nullptr;
    ASSERT_EQ(NerovaVideoWriterCreate(link.c_str(), nullptr, "", 80, 1, &writer), NEROVA_OK);
    const uint8_t pixels[2 * 2 * 3] = {};
    EXPECT_EQ(NerovaVideoWriterWrite(writer, NEROVA_PIXEL_FORMAT_BGR, 2, 2, pixels, 6, 10.0),
              NEROVA_ERR_OUTPUT_FILE);
    EXPECT_NE(std::string(NerovaVideoWriterMessage(writer)).find("a device"), std::string::npos);
    NerovaVideoWriterDestroy(writer);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

}  // namespace

namespace {

// A lattice of n x n faces of side 40, pitch apart, all moved by (dx, 0) per frame.
std::vector<NerovaFaceInfo> Lattice(int n, int pitch, int shift) {
    std::vector<NerovaFaceInfo> faces;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            faces.push_back({0.9f, 20 + c * pitch + shift, 20 + r * pitch,
                             20 + c * pitch + shift + 40, 20 + r * pitch + 40});
    return faces;
}

TEST(TrackerTest, CrowdsKeepTheirIdsAndTooManyFacesAreRefusedFrameByFrame) {
    const struct {
        const char* what;
        int n, pitch, speed, every;  // lattice, pixels a frame, detection on every N-th frame
    } cases[] = {
        {"overlapping from frame to frame", 30, 60, 7, 1},
        {"far between detections", 12, 200, 30, 3},
    };
    for (const auto& c : cases) {
        void* tracker = nullptr;
        ASSERT_EQ(NerovaTrackerCreate(nullptr, 3000, 3000, &tracker), NEROVA_OK);
        std::vector<uint32_t> first;
        for (int f = 0; f < 10; ++f) {
            const bool look = f % c.every == 0;
            const std::vector<NerovaFaceInfo> faces = Lattice(c.n, c.pitch, f * c.speed);
            std::vector<uint32_t> ids(faces.size());
            ASSERT_EQ(NerovaTrackerAddFrame(tracker, look, faces.data(), look ? faces.size() : 0,
                                            nullptr, ids.data(), nullptr, nullptr),
                      NEROVA_OK);
            if (!look) continue;
            if (first.empty()) first = ids;
            EXPECT_EQ(ids, first) << c.what << ", frame " << f;
        }
        NerovaTrackerDestroy(tracker);
    }

    // Past the caps a frame is refused, counted, and the tracker goes on.
    void* tracker = nullptr;
    ASSERT_EQ(NerovaTrackerCreate(nullptr, 32768, 32768, &tracker), NEROVA_OK);
    nerova_test::StderrCapture quiet;
    const std::vector<NerovaFaceInfo> crowd = Lattice(65, 100, 0);  // 4225 faces
    std::vector<uint32_t> ids(crowd.size(), 7);
    EXPECT_EQ(NerovaTrackerAddFrame(tracker, 1, crowd.data(), uint32_t(crowd.size()), nullptr,
                                    ids.data(), nullptr, nullptr),
              NEROVA_ERR_PARAM_RANGE);
    EXPECT_EQ(ids, std::vector<uint32_t>(crowd.size(), 0u));
    // 64 x 64 faces a frame, each frame elsewhere: 4 frames fill the tracks, the 5th is refused.
    std::vector<NerovaError> codes;
    for (int f = 0; f < 5; ++f) {
        const std::vector<NerovaFaceInfo> faces = Lattice(64, 400, f * 80);
        codes.push_back(NerovaTrackerAddFrame(tracker, 1, faces.data(), uint32_t(faces.size()),
                                              nullptr, nullptr, nullptr, nullptr));
    }
    EXPECT_EQ(codes, std::vector<NerovaError>(
                         {NEROVA_OK, NEROVA_OK, NEROVA_OK, NEROVA_OK, NEROVA_ERR_PARAM_RANGE}));
    ASSERT_EQ(NerovaTrackerFinish(tracker), NEROVA_OK);
    NerovaTrack* tracks = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(NerovaTrackerFrame(tracker, 5, &tracks, &n), NEROVA_OK) << "every frame counted";
    NerovaTracksRelease(tracks);
    NerovaTrackerDestroy(tracker);
}

}  // namespace
