// The second look at faces only a tile found: the mosaic's geometry, the landmark check, and
// the detector confirming real faces through the C interface in every pixel format.
#include "face_detector/second_look.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

TEST(SecondLookTest, EveryCellHoldsItsCropAndMapsItsFaceBack) {
    const struct {
        int w, h, count, cells;
    } cases[] = {
        {256, 256, 9, 4}, {128, 128, 3, 3}, {320, 240, 5, 4}, {40, 40, 2, 1}, {640, 360, 1, 1}};
    for (const auto& c : cases) {
        std::vector<FaceBox> boxes;
        for (int i = 0; i < c.count; ++i)  // odd sizes and places, one past the frame's corner
            boxes.push_back(
                {0.97f, 13.0f * i - 5.0f, 7.0f * i, 13.0f * i + 20.0f + i, 7.0f * i + 27.0f});
        const std::vector<LookCell> cells = PlanLook(boxes.data(), c.count, c.w, c.h);
        ASSERT_EQ(static_cast<int>(cells.size()), c.cells) << c.w << "x" << c.h;
        for (size_t i = 0; i < cells.size(); ++i) {
            const LookCell& l = cells[i];
            EXPECT_LE(l.cell_x + l.cell, c.w);
            EXPECT_LE(l.cell_y + l.cell, c.h);
            // The candidate as the crop shows it, back in frame pixels through its cell.
            const FaceBox& b = boxes[i];
            const float s = static_cast<float>(l.cell) / l.side;
            const FaceBox shown{0.9f, l.cell_x + (b.x1 - l.x) * s, l.cell_y + (b.y1 - l.y) * s,
                                l.cell_x + (b.x2 - l.x) * s, l.cell_y + (b.y2 - l.y) * s};
            EXPECT_NEAR(shown.x2 - shown.x1 > shown.y2 - shown.y1 ? shown.x2 - shown.x1
                                                                  : shown.y2 - shown.y1,
                        0.5f * l.cell, 1e-3f);  // twice the box: it fills half the cell
            FaceBox back{};
            int index = -1;
            ASSERT_TRUE(FromLook(shown, cells, &back, &index));
            EXPECT_EQ(index, static_cast<int>(i));
            for (float d : {back.x1 - b.x1, back.y1 - b.y1, back.x2 - b.x2, back.y2 - b.y2})
                EXPECT_NEAR(d, 0.0f, 1e-3f);
        }
        if (static_cast<int>(cells.size()) < 4 && c.w >= 2 * cells[0].cell) {
            // A face centred where no cell was planned belongs to no candidate.
            FaceBox back{};
            int index = -1;
            const float x = static_cast<float>(c.w - 2), y = static_cast<float>(c.h - 2);
            EXPECT_FALSE(FromLook({0.9f, x - 1, y - 1, x + 1, y + 1}, cells, &back, &index));
        }
    }
}

TEST(SecondLookTest, LandmarksMustSitAsAFacesDo) {
    const std::vector<std::string> centre = {"right_eye",         "left_eye",
                                             "nose_tip",          "mouth_centre",
                                             "right_ear_tragion", "left_ear_tragion"};
    const std::vector<std::string> corners = {"right_eye", "left_eye", "nose_tip",
                                              "right_mouth_corner", "left_mouth_corner"};
    const FaceBox box{0.97f, 0, 0, 100, 100};
    const struct {
        const char* what;
        const std::vector<std::string>* names;
        std::vector<float> points;
        bool plausible;
    } cases[] = {
        {"upright", &centre, {30, 40, 70, 40, 50, 60, 50, 80, 0, 50, 100, 50}, true},
        {"rolled a quarter turn", &centre, {60, 30, 60, 70, 40, 50, 20, 50, 0, 0, 0, 0}, true},
        {"rolled half a turn", &centre, {70, 80, 30, 80, 50, 60, 50, 40, 0, 0, 0, 0}, true},
        {"nose and mouth above the eyes",
         &centre,
         {30, 80, 70, 80, 50, 60, 50, 40, 0, 0, 0, 0},
         false},
        {"mouth above the nose", &centre, {30, 40, 70, 40, 50, 70, 50, 60, 0, 0, 0, 0}, false},
        {"eyes 5 px apart", &centre, {48, 40, 53, 40, 50, 60, 50, 80, 0, 0, 0, 0}, false},
        {"eyes wider than the box", &centre, {5, 40, 95, 40, 50, 60, 50, 80, 0, 0, 0, 0}, false},
        {"mouth corners", &corners, {30, 40, 70, 40, 50, 60, 38, 80, 62, 80}, true},
        {"mouth corners above the eyes", &corners, {30, 40, 70, 40, 50, 60, 38, 20, 62, 20}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PlausibleFace(box, c.points.data(), IndexFacePoints(*c.names)), c.plausible)
            << c.what;
    // A model that names no nose cannot be judged: its candidates pass to the second look.
    const std::vector<float> any = {0, 0, 1, 1};
    EXPECT_TRUE(PlausibleFace(box, any.data(), IndexFacePoints({"right_eye", "left_eye"})));
}

NerovaConfirmationReport Report(void* handle) {
    NerovaConfirmationReport r{};
    EXPECT_EQ(NerovaFaceDetectorGetConfirmationReport(handle, sizeof r, &r), NEROVA_OK);
    return r;
}

// The default model on the 1897 group: tiles find three of its faces that the whole frame
// misses, the second look confirms all three in one pass, in every pixel format.
TEST(SecondLookTest, ConfirmsTheGroupsTileFacesInOnePassInEveryPixelFormat) {
    const std::string path =
        std::string(NEROVA_SOURCE_DIR) + "/models/face_detector_back_256/model.onnx";
    void* h = nullptr;
    ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &h), NEROVA_OK);
    const cv::Mat bgr =
        cv::imread(std::string(NEROVA_SOURCE_DIR) + "/models/samples/group_1897.jpg");
    ASSERT_FALSE(bgr.empty());
    const auto run = [h](const NerovaFrame& f) {
        NerovaFaceInfo* faces = nullptr;
        uint32_t count = 0;
        EXPECT_EQ(NerovaFaceDetectorProcess(h, &f, &faces, &count), NEROVA_OK);
        std::vector<NerovaFaceInfo> out(faces, faces + count);
        NerovaFaceDetectorOutputRelease(faces);
        return nerova_test::Describe(out);
    };
    const std::vector<std::string> whole = run(nerova_test::BgrFrame(bgr));
    EXPECT_EQ(Report(h).candidates, 0);  // no tiles, no second look
    ASSERT_EQ(NerovaFaceDetectorSetTiles(h, 0, 0), NEROVA_OK);
    int32_t cap = -1;
    ASSERT_EQ(NerovaFaceDetectorGetConfirmation(h, &cap), NEROVA_OK);
    EXPECT_EQ(cap, 32);
    const std::vector<std::string> confirmed = run(nerova_test::BgrFrame(bgr));
    const NerovaConfirmationReport r = Report(h);
    EXPECT_EQ(confirmed.size(), whole.size() + 3);
    EXPECT_EQ(r.candidates, 3);
    EXPECT_EQ(r.confirmed, 3);
    EXPECT_EQ(r.forwards, 1);
    EXPECT_EQ(r.tile_passes, 4);
    EXPECT_GT(r.milliseconds, 0.0);
    ASSERT_EQ(NerovaFaceDetectorSetConfirmation(h, 0), NEROVA_OK);
    EXPECT_EQ(run(nerova_test::BgrFrame(bgr)), confirmed);
    EXPECT_EQ(Report(h).forwards, 0);
    // Past the cap the rest are kept unchecked.
    ASSERT_EQ(NerovaFaceDetectorSetConfirmation(h, 1), NEROVA_OK);
    EXPECT_EQ(run(nerova_test::BgrFrame(bgr)), confirmed);
    EXPECT_EQ(Report(h).unchecked, 2);
    // The crops come from the host's own planes, whatever their format.
    ASSERT_EQ(NerovaFaceDetectorSetConfirmation(h, 32), NEROVA_OK);
    cv::Mat rgba, i420;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    // 4:2:0 planes of the even rows (the photo has 347).
    const int w = bgr.cols, ht = bgr.rows & ~1;
    cv::Mat nv12(ht * 3 / 2, w, CV_8UC1);
    cv::cvtColor(bgr(cv::Rect(0, 0, w, ht)), i420, cv::COLOR_BGR2YUV_I420);
    i420(cv::Rect(0, 0, w, ht)).copyTo(nv12(cv::Rect(0, 0, w, ht)));
    const uint8_t* u = i420.ptr(ht);
    const uint8_t* v = u + (w / 2) * (ht / 2);
    for (int i = 0; i < (w / 2) * (ht / 2); ++i) {
        nv12.data[size_t(w) * ht + 2 * i] = u[i];
        nv12.data[size_t(w) * ht + 2 * i + 1] = v[i];
    }
    const NerovaFrame rgba_frame{NEROVA_PIXEL_FORMAT_RGBA,
                                 rgba.cols,
                                 rgba.rows,
                                 {rgba.data, nullptr, nullptr},
                                 {int(rgba.step), 0, 0}};
    EXPECT_EQ(run(rgba_frame), confirmed);
    EXPECT_EQ(Report(h).confirmed, 3);
    const NerovaFrame nv12_frame{
        NEROVA_PIXEL_FORMAT_NV12, w, ht, {nv12.data, nv12.ptr(ht), nullptr}, {w, w, 0}};
    run(nv12_frame);  // converted colours move scores a little; the check still runs
    const NerovaConfirmationReport yuv = Report(h);
    EXPECT_EQ(yuv.candidates, yuv.confirmed + yuv.refused_by_look + yuv.refused_by_landmarks);
    EXPECT_GE(yuv.confirmed, 2);
    // Out of range, too small a record, no handle.
    EXPECT_EQ(NerovaFaceDetectorSetConfirmation(h, -1), NEROVA_ERR_PARAM_RANGE);
    EXPECT_EQ(NerovaFaceDetectorSetConfirmation(h, 257), NEROVA_ERR_PARAM_RANGE);
    NerovaConfirmationReport small{};
    EXPECT_EQ(NerovaFaceDetectorGetConfirmationReport(h, sizeof small - 1, &small),
              NEROVA_ERR_PARAM_RANGE);
    EXPECT_NE(NerovaFaceDetectorGetConfirmationReport(nullptr, sizeof small, &small), NEROVA_OK);
    EXPECT_NE(NerovaFaceDetectorGetConfirmationReport(h, sizeof small, nullptr), NEROVA_OK);
    EXPECT_NE(NerovaFaceDetectorGetConfirmation(nullptr, &cap), NEROVA_OK);
    NerovaFaceDetectorDestroy(h);
}

// A network whose rows sit at fixed places of its input finds its faces at the same places
// of every mosaic, not on the candidates: the second look refuses what tiles alone found.
TEST(SecondLookTest, RefusesWhatTheSecondLookDoesNotFind) {
    const nerova_test::Detector d("fixed_rows_320.onnx");
    ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), 100), NEROVA_OK);
    const cv::Mat bgr(640, 1280, CV_8UC3, cv::Scalar(104, 117, 123));
    const size_t whole = d.Run(bgr).size();
    ASSERT_EQ(NerovaFaceDetectorSetTiles(d.handle(), 2, 2), NEROVA_OK);
    const size_t kept = d.Run(bgr).size();
    const NerovaConfirmationReport r = Report(d.handle());
    EXPECT_GT(r.candidates, 0);
    EXPECT_GT(r.refused_by_look, 0);
    EXPECT_EQ(r.candidates, r.confirmed + r.refused_by_look + r.refused_by_landmarks + r.unchecked);
    EXPECT_EQ(kept, whole + static_cast<size_t>(r.confirmed + r.unchecked));
    EXPECT_EQ(r.forwards, (r.confirmed + r.refused_by_look + 3) / 4);
    // A model may turn it off.
    const nerova_test::Detector off(
        "fixed_rows_320.onnx",
        R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"ConfirmTileFaces": 0}})");
    int32_t cap = -1;
    ASSERT_EQ(NerovaFaceDetectorGetConfirmation(off.handle(), &cap), NEROVA_OK);
    EXPECT_EQ(cap, 0);
}

}  // namespace
}  // namespace module
}  // namespace nerova
