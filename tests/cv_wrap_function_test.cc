// The checked OpenCV wrappers: colour conversions, the order of resize and conversion, and
// normalising an image into a tensor.
#include "wrap_opencv/cv_wrap_function.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "test_util.h"

namespace nerova {
namespace module {
namespace {

const NerovaPixelFormat kRgb = NEROVA_PIXEL_FORMAT_RGB, kBgr = NEROVA_PIXEL_FORMAT_BGR,
                        kGray = NEROVA_PIXEL_FORMAT_GRAY, kNv12 = NEROVA_PIXEL_FORMAT_NV12,
                        kNv21 = NEROVA_PIXEL_FORMAT_NV21, kYv12 = NEROVA_PIXEL_FORMAT_YV12;

// Smooth gradients with some texture, every channel different.
cv::Mat Photo() {
    cv::Mat bgr(48, 64, CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x)
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, 40 + y * 4, 20 + (x + y) * 2 + (x * y) % 7);
    return bgr;
}

bool IsYuv(int f) { return f >= kNv12; }

// The photo in pixel format f; NV12 and NV21 interleave the chroma planes of I420.
cv::Mat InFormat(const cv::Mat& bgr, int f) {
    const int code = f == kRgb    ? cv::COLOR_BGR2RGB
                     : f == kGray ? cv::COLOR_BGR2GRAY
                     : f == kYv12 ? cv::COLOR_BGR2YUV_YV12
                                  : cv::COLOR_BGR2YUV_I420;
    cv::Mat out = bgr.clone();
    if (f != kBgr) cv::cvtColor(bgr, out, code);
    if (f != kNv12 && f != kNv21) return out;
    const int q = int(bgr.total() / 4);
    cv::Mat uv = cv::Mat(2, q, CV_8U, out.data + 4 * q).t();  // rows of U, V
    if (f == kNv21) cv::flip(uv, uv, 1);
    uv.copyTo(cv::Mat(q, 2, CV_8U, out.data + 4 * q));
    return out;
}

double MaxDiff(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() ? cv::norm(a, b, cv::NORM_INF) : 1e9;
}

Status Wrap(cv::Mat& src, cv::Mat& dst, cv::Size size, int interp, int from, int to) {
    return CvWrapFunction::WrapResizeCvtColor(src, dst, size, 0, 0, NerovaInterpType(interp),
                                              NerovaPixelFormat(from), NerovaPixelFormat(to));
}

TEST(CvWrapFunctionTest, ColourConversionsRoundTrip) {
    const cv::Mat photo = Photo();
    // YUV is built from the photo, so converting it back lands near the photo (4:2:0 chroma).
    const struct {
        NerovaPixelFormat src, dst;
        double tolerance;
    } cases[] = {{kNv12, kBgr, 8},  {kNv21, kRgb, 8}, {kYv12, kBgr, 8},
                 {kNv21, kGray, 0}, {kRgb, kBgr, 0},  {kNv21, kNv21, 0}};
    for (const auto& c : cases) {
        cv::Mat src = InFormat(photo, c.src), dst, back;
        ASSERT_EQ(CvWrapFunction::CvCvtColor(src, dst, c.src, c.dst).code(), NEROVA_OK);
        if (c.src == c.dst) {
            EXPECT_TRUE(dst.data == src.data && src.u->refcount == 2);  // shared, not copied
            continue;
        }
        const bool y_plane = IsYuv(c.src) && c.dst == kGray;
        EXPECT_LE(MaxDiff(dst, y_plane ? src.rowRange(0, photo.rows) : InFormat(photo, c.dst)),
                  c.tolerance)
            << c.src << "->" << c.dst;
        if (IsYuv(c.src)) continue;
        ASSERT_EQ(CvWrapFunction::CvCvtColor(dst, back, c.dst, c.src).code(), NEROVA_OK);
        EXPECT_EQ(MaxDiff(back, src), 0);
    }
}

TEST(CvWrapFunctionTest, RefusalsLeaveTheOutputUntouched) {
    cv::Mat photo = Photo(), rgb = InFormat(photo, kRgb), nv12 = InFormat(photo, kNv12), d[7];
    const cv::Size size(16, 12);
    for (cv::Mat& m : d) m = cv::Mat(1, 1, CV_8UC1, cv::Scalar(42));
    // Each call refuses a kind it has no mapping for; a chained step that ran shows in d.
    const Status status[] = {
        CvWrapFunction::CvCvtColor(photo, d[0], kBgr, kNv12),
        CvWrapFunction::CopyMakeBorder(photo, d[1], 1, 0, 0, 0, NerovaBorderType(2), {}),
        CvWrapFunction::CvResize(photo, d[2], size, 0, 0, NerovaInterpType(2)),
        Wrap(rgb, d[3], size, 5, kRgb, kBgr),
        Wrap(nv12, d[4], size, 5, kNv12, kBgr),
        Wrap(rgb, d[5], size, 1, kRgb, kNv12),
        Wrap(nv12, d[6], size, 1, kNv21, NEROVA_PIXEL_FORMAT_RGBA)};
    const bool chained[] = {false, false, false, false, true, true, false};
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(status[i].code() == NEROVA_ERR_PARAM_NULL && status[i].message() == "OK") << i;
        EXPECT_EQ(d[i].total() != 1 || d[i].at<uchar>(0) != 42, chained[i]) << i;
    }
}

TEST(CvWrapFunctionTest, WrapOrdersStepsBySourceFormat) {
    const cv::Mat photo = Photo();
    // YUV converts the full buffer first: resizing it first would mix the planes.
    cv::Mat nv21 = InFormat(photo, kNv21), dst, want;
    ASSERT_EQ(Wrap(nv21, dst, cv::Size(16, 12), 1, kNv21, kBgr).code(), NEROVA_OK);
    cv::cvtColor(nv21, want, cv::COLOR_YUV2BGR_NV21);
    cv::resize(want, want, cv::Size(16, 12));
    EXPECT_EQ(MaxDiff(dst, want), 0);
    // Other sources resize first.
    cv::Mat rgb = InFormat(photo, kRgb), gray_first, resize_first;
    cv::cvtColor(rgb, gray_first, cv::COLOR_RGB2GRAY);
    cv::resize(gray_first, gray_first, cv::Size(21, 13));
    cv::resize(rgb, resize_first, cv::Size(21, 13));
    cv::cvtColor(resize_first, resize_first, cv::COLOR_RGB2GRAY);
    ASSERT_GT(MaxDiff(gray_first, resize_first), 0);  // the two orders are distinguishable
    ASSERT_EQ(Wrap(rgb, dst, cv::Size(21, 13), 1, kRgb, kGray).code(), NEROVA_OK);
    EXPECT_EQ(MaxDiff(dst, resize_first), 0);
}

std::shared_ptr<Blob> FloatTensor(int format, std::vector<int> dims, std::vector<float>& memory) {
    BlobDesc desc;
    desc.data_format = NerovaDataFormat(format);
    desc.dims = std::move(dims);
    return std::make_shared<Blob>(desc, BlobHandle{memory.data(), 0});
}

TEST(CvWrapFunctionTest, MatToBlobWritesPlanarOrInterleavedElementByElement) {
    ParamConverter converter;
    converter.scale = {0.5f, 2.0f, -1.0f, 1.0f};
    converter.bias = {1.0f, -3.0f, 10.0f, 0.0f};
    const std::vector<float> planar = {1.5, 3, 4.5, 6, 1, 7, 13, 19, 7, 4, 1, -2};
    const std::vector<float> interleaved = {1.5, 1, 7, 3, 7, 4, 4.5, 13, 1, 6, 19, -2};
    for (int format : {0, 1}) {
        cv::Mat mat = (cv::Mat_<cv::Vec3b>(2, 2) << cv::Vec3b(1, 2, 3), cv::Vec3b(4, 5, 6),
                       cv::Vec3b(7, 8, 9), cv::Vec3b(10, 11, 12));
        std::vector<float> memory(12, -100.0f);
        auto blob = FloatTensor(format, {1, 3, 2, 2}, memory);
        ASSERT_EQ(CvWrapFunction::MatToBlobByDataFormat(mat, blob, converter).code(), NEROVA_OK);
        EXPECT_EQ(memory, format == 1 ? interleaved : planar);
        EXPECT_EQ(mat.type(), CV_32FC3);  // normalised in place
        EXPECT_EQ(mat.at<cv::Vec3f>(1, 1), cv::Vec3f(6, 19, -2));
    }
    // A 4 x 1 single-channel image has the shape of a scalar: still scaled.
    cv::Mat column = (cv::Mat_<uchar>(4, 1) << 2, 4, 6, 8);
    std::vector<float> memory(4);
    auto blob = FloatTensor(0, {1, 1, 4, 1}, memory);
    ASSERT_EQ(CvWrapFunction::MatToBlobByDataFormat(column, blob, converter).code(), NEROVA_OK);
    EXPECT_EQ(memory, (std::vector<float>{2, 3, 4, 5}));
}

TEST(CvWrapFunctionTest, MatToBlobRefusalsTouchNothing) {
    const cv::Mat image(4, 6, CV_8UC3, cv::Scalar(1, 2, 3));
    std::vector<float> memory(4 * 6 * 3, -100.0f);
    const auto tensor = FloatTensor(1, {1, 4, 6, 3}, memory);
    BlobDesc fits = tensor->GetBlobDesc();  // for a tensor with no memory
    // One row per check: each passes every check but its own.
    const struct {
        const char* what;
        cv::Mat mat;
        std::shared_ptr<Blob> blob;
        size_t scale_size;
    } cases[] = {
        {"null blob", image.clone(), nullptr, 4},
        {"null memory", image.clone(), std::make_shared<Blob>(fits, BlobHandle{nullptr, 0}), 4},
        {"not continuous", image.clone().colRange(0, 5), tensor, 4},
        {"short scale", image.clone(), tensor, 3},
        {"small tensor", image.clone(), FloatTensor(1, {1, 4, 6, 2}, memory), 4},
    };
    for (const auto& c : cases) {
        cv::Mat mat = c.mat;
        std::shared_ptr<Blob> blob = c.blob;
        ParamConverter converter;
        converter.scale.resize(c.scale_size, 2.0f);
        converter.bias.resize(4, 2.0f);
        const Status status = CvWrapFunction::MatToBlobByDataFormat(mat, blob, converter);
        EXPECT_TRUE(status.code() == NEROVA_ERR_PARAM_NULL && status.message() == "OK") << c.what;
        EXPECT_TRUE(mat.data == c.mat.data && mat.type() == CV_8UC3) << c.what;
        EXPECT_EQ(memory, std::vector<float>(memory.size(), -100.0f)) << c.what;
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
