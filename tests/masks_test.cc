// Faces hidden in pictures, through the detector library's C interface.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <vector>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace {

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
