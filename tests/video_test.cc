// Faces followed through synthetic box sequences, and hidden, through the C interface.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace {

// A face of side 40 whose top-left corner is at (x, y).
NerovaFaceInfo At(float x, float y) {
    return {0.99f, int32_t(x), int32_t(y), int32_t(x) + 40, int32_t(y) + 40};
}

struct Frame {
    bool detected;
    std::vector<NerovaFaceInfo> faces;
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
    for (int f : {6, 7, 13, 14, 19}) {  // between detections, and after the last one
        EXPECT_NEAR(w.CentreX(size_t(f), id), 60 + 10.0f * f, 2.0f) << "frame " << f;
        EXPECT_EQ(w.tracks[size_t(f)][0].state, NEROVA_TRACK_PREDICTED) << "frame " << f;
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

TEST(AnonymizeTest, RegionsAreHiddenInsideTheirShapeAndRefusalsLeaveThePicture) {
    const NerovaMaskRegion box{4, 4, 16, 16, 0};
    const struct {
        const char* what;
        int32_t format, hide, shape;
        float scale;
        NerovaError code;
        int centre, corner;  // grey levels afterwards at (10, 10) and (5, 5)
    } cases[] = {
        {"solid rectangle", NEROVA_PIXEL_FORMAT_GRAY, NEROVA_HIDE_SOLID, NEROVA_MASK_RECT, 1, 0, 0,
         0},
        {"solid ellipse spares the box's corner", NEROVA_PIXEL_FORMAT_GRAY, NEROVA_HIDE_SOLID,
         NEROVA_MASK_ELLIPSE, 1, 0, 0, 200},
        {"replacement image", NEROVA_PIXEL_FORMAT_GRAY, NEROVA_HIDE_IMAGE, NEROVA_MASK_RECT, 1, 0,
         77, 77},
        {"scale 0.5", NEROVA_PIXEL_FORMAT_GRAY, NEROVA_HIDE_SOLID, NEROVA_MASK_RECT, 0.5f,
         NEROVA_ERR_PARAM_RANGE, 200, 200},
        {"no such hiding", NEROVA_PIXEL_FORMAT_GRAY, 9, NEROVA_MASK_RECT, 1, NEROVA_ERR_PARAM_RANGE,
         200, 200},
        {"a planar format", NEROVA_PIXEL_FORMAT_NV12, NEROVA_HIDE_SOLID, NEROVA_MASK_RECT, 1,
         NEROVA_ERR_PARAM_NULL, 200, 200},
    };
    cv::Mat fill(8, 8, CV_8UC1, cv::Scalar(77));
    const NerovaFrame replacement{NEROVA_PIXEL_FORMAT_GRAY, 8, 8, {fill.data}, {8}};
    nerova_test::StderrCapture quiet;
    for (const auto& c : cases) {
        cv::Mat image(20, 20, CV_8UC1, cv::Scalar(200));
        EXPECT_EQ(NerovaAnonymize(c.format, 20, 20, image.data, 20, &box, 1, c.hide, c.shape,
                                  c.scale, &replacement),
                  c.code)
            << c.what;
        EXPECT_EQ(int(image.at<uint8_t>(10, 10)), c.centre) << c.what;
        EXPECT_EQ(int(image.at<uint8_t>(5, 5)), c.corner) << c.what;
        EXPECT_EQ(int(image.at<uint8_t>(18, 18)), 200) << c.what << ": outside the region";
    }
}

TEST(FaceAngleTest, TheEyeLineTurnsTheMaskAndNoEyesLeaveItLevel) {
    const char* eyes[] = {"right_eye", "left_eye"};
    const char* other[] = {"nose_tip", "mouth_centre"};
    const struct {
        const char* const* names;
        std::vector<float> points;  // right eye, left eye (the person's)
        float degrees;
    } cases[] = {
        {eyes, {10, 20, 30, 20}, 0},    // level, the right eye on the image's left
        {eyes, {10, 20, 30, 40}, 45},   // the head tilted toward its left shoulder
        {eyes, {30, 20, 10, 20}, 180},  // upside down
        {other, {10, 20, 30, 40}, 0},   // no eyes named
    };
    for (const auto& c : cases) {
        const NerovaFaceDetail face{0.9f, 0, 0, 40, 40, 2, c.points.data()};
        float angle = -1;
        ASSERT_EQ(NerovaFaceAngle(&face, c.names, &angle), NEROVA_OK);
        EXPECT_NEAR(angle, c.degrees, 1e-4) << c.points[3];
    }
}

}  // namespace
