// The checked OpenCV wrappers: colour conversions, the order of resize and conversion, and
// normalising an image into a tensor.
#include "wrap_opencv/cv_wrap_function.h"

#include <gtest/gtest.h>

#include <functional>
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

// The photo in pixel format f; YUV formats are laid out from OpenCV's I420 planes.
cv::Mat InFormat(const cv::Mat& bgr, int f) {
    cv::Mat out, i420;
    const int codes[] = {cv::COLOR_BGR2RGBA, -1, cv::COLOR_BGR2RGB, cv::COLOR_BGR2BGRA,
                         cv::COLOR_BGR2GRAY};
    if (f == kBgr) return bgr.clone();
    if (!IsYuv(f)) return cv::cvtColor(bgr, out, codes[f]), out;
    cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    const size_t y = bgr.total(), q = y / 4;
    const uchar *u = i420.data + y, *v = u + q;
    out = i420.clone();
    uchar* chroma = out.data + y;
    for (size_t i = 0; i < q; ++i) {
        if (f == kYv12) chroma[i] = v[i], chroma[q + i] = u[i];
        if (f == kNv12) chroma[2 * i] = u[i], chroma[2 * i + 1] = v[i];
        if (f == kNv21) chroma[2 * i] = v[i], chroma[2 * i + 1] = u[i];
    }
    return out;
}

double MaxDiff(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return 1e9;
    return cv::norm(a, b, cv::NORM_INF);
}

cv::Mat Sentinel() { return cv::Mat(1, 1, CV_8UC1, cv::Scalar(42)); }
bool IsSentinel(const cv::Mat& m) { return m.total() == 1 && m.at<uchar>(0) == 42; }

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
    cv::Mat photo = Photo(), rgb = InFormat(photo, kRgb), nv12 = InFormat(photo, kNv12);
    const cv::Size size(16, 12);
    // Each wrapper refuses a kind it has no mapping for; a chained step that ran shows in dst.
    const std::pair<std::function<Status(cv::Mat&)>, bool> cases[] = {
        {[&](cv::Mat& d) { return CvWrapFunction::CvCvtColor(photo, d, kBgr, kNv12); }, false},
        {[&](cv::Mat& d) {
             return CvWrapFunction::CopyMakeBorder(photo, d, 1, 0, 0, 0, NerovaBorderType(2), {});
         },
         false},
        {[&](cv::Mat& d) {
             return CvWrapFunction::CvResize(photo, d, size, 0, 0, NerovaInterpType(2));
         },
         false},
        {[&](cv::Mat& d) { return Wrap(rgb, d, size, 5, kRgb, kBgr); }, false},
        {[&](cv::Mat& d) { return Wrap(nv12, d, size, 5, kNv12, kBgr); }, true},
        {[&](cv::Mat& d) { return Wrap(rgb, d, size, 1, kRgb, kNv12); }, true},
        {[&](cv::Mat& d) { return Wrap(nv12, d, size, 1, kNv21, NEROVA_PIXEL_FORMAT_RGBA); },
         false},
    };
    int row = 0;
    for (const auto& c : cases) {
        cv::Mat dst = Sentinel();
        const Status status = c.first(dst);
        EXPECT_TRUE(status.code() == NEROVA_ERR_PARAM_NULL && status.message() == "OK") << row;
        EXPECT_EQ(!IsSentinel(dst), c.second) << row++;
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
    const int sizes3[] = {2, 2, 2};
    uchar five[2 * 2 * 5] = {0};
    const auto tensor = FloatTensor(1, {1, 4, 6, 3}, memory);
    const struct {
        const char* what;
        cv::Mat mat;
        std::shared_ptr<Blob> blob;
        size_t scale_size, bias_size;
    } cases[] = {
        {"null blob", image.clone(), nullptr, 4, 4},
        {"null memory", image.clone(), std::make_shared<Blob>(), 4, 4},
        {"not continuous", image.clone().colRange(0, 5), tensor, 4, 4},
        {"three dims", cv::Mat(3, sizes3, CV_8UC1, cv::Scalar(1)), tensor, 4, 4},
        {"empty", cv::Mat(), tensor, 4, 4},
        {"five channels", cv::Mat(2, 2, CV_8UC(5), five), tensor, 4, 4},
        {"short scale", image.clone(), tensor, 3, 4},
        {"short bias", image.clone(), tensor, 4, 3},
        {"small tensor", image.clone(), FloatTensor(1, {1, 4, 6, 2}, memory), 4, 4},
    };
    for (const auto& c : cases) {
        cv::Mat mat = c.mat, copy = c.mat.clone();
        std::shared_ptr<Blob> blob = c.blob;
        ParamConverter converter;
        converter.scale.resize(c.scale_size, 2.0f);
        converter.bias.resize(c.bias_size, 2.0f);
        const Status status = CvWrapFunction::MatToBlobByDataFormat(mat, blob, converter);
        EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL) << c.what;
        EXPECT_EQ(status.message(), "OK");
        EXPECT_TRUE(mat.data == c.mat.data && mat.type() == copy.type()) << c.what;
        if (!copy.empty() && copy.dims == 2) EXPECT_EQ(cv::norm(mat, copy, cv::NORM_INF), 0);
        EXPECT_EQ(memory, std::vector<float>(memory.size(), -100.0f)) << c.what;
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
