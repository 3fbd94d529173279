// The checked OpenCV wrappers: colour conversions on a real image, the order of resize and
// conversion, and normalising an image into a tensor.
#include "wrap_opencv/cv_wrap_function.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::IsLogLine;
using nerova_test::StderrCapture;

// A photo-like BGR image (smooth gradients with some texture), stored as PNG and read back.
cv::Mat Photo() {
    cv::Mat bgr(48, 64, CV_8UC3);
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x)
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(x * 4, 40 + y * 4, 20 + (x + y) * 2 + (x * y) % 7);
    nerova_test::TempDir dir;
    const std::string path = dir.path() + "/photo.png";
    EXPECT_TRUE(cv::imwrite(path, bgr));
    return cv::imread(path, cv::IMREAD_COLOR);
}

bool IsYuv(int f) { return f >= NEROVA_PIXEL_FORMAT_NV12; }

// The photo in pixel format f; YUV formats are laid out from OpenCV's I420 planes.
cv::Mat InFormat(const cv::Mat& bgr, int f) {
    cv::Mat out, i420;
    const int codes[] = {cv::COLOR_BGR2RGBA, -1, cv::COLOR_BGR2RGB, cv::COLOR_BGR2BGRA,
                         cv::COLOR_BGR2GRAY};
    if (f == NEROVA_PIXEL_FORMAT_BGR) return bgr.clone();
    if (!IsYuv(f)) return cv::cvtColor(bgr, out, codes[f]), out;
    cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
    const size_t y = bgr.total(), q = y / 4;
    const uchar* u = i420.data + y;
    const uchar* v = u + q;
    out = i420.clone();
    for (size_t i = 0; i < q; ++i) {
        uchar* chroma = out.data + y;
        if (f == NEROVA_PIXEL_FORMAT_YV12) chroma[i] = v[i], chroma[q + i] = u[i];
        if (f == NEROVA_PIXEL_FORMAT_NV12) chroma[2 * i] = u[i], chroma[2 * i + 1] = v[i];
        if (f == NEROVA_PIXEL_FORMAT_NV21) chroma[2 * i] = v[i], chroma[2 * i + 1] = u[i];
    }
    return out;
}

double MaxDiff(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return 1e9;
    return cv::norm(a, b, cv::NORM_INF);
}

TEST(CvWrapFunctionTest, EveryPixelFormatPairConvertsForRealOrIsRefused) {
    const cv::Mat photo = Photo();
    ASSERT_EQ(photo.size(), cv::Size(64, 48));
    const int formats[] = {0, 1, 2, 3, 4, 6, 7, 8};
    int converted = 0;
    for (int s : formats) {
        for (int d : formats) {
            const auto sf = NerovaPixelFormat(s), df = NerovaPixelFormat(d);
            cv::Mat src = InFormat(photo, s);
            cv::Mat dst(1, 1, CV_8UC1, cv::Scalar(42));
            const uchar* before = dst.data;
            const Status status = CvWrapFunction::CvCvtColor(src, dst, sf, df);
            EXPECT_EQ(status.message(), "OK");
            if (s == d) {
                EXPECT_EQ(status.code(), NEROVA_OK);
                EXPECT_EQ(dst.data, src.data);  // shared, not copied
                EXPECT_EQ(src.u->refcount, 2);
                continue;
            }
            if (TypeUtils::CaclulateColorConversionType(sf, df) == NEROVA_COLOR_CONVERT_NONE) {
                EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL) << s << "->" << d;
                EXPECT_TRUE(dst.data == before && dst.at<uchar>(0) == 42);
                continue;
            }
            ASSERT_EQ(status.code(), NEROVA_OK) << s << "->" << d;
            ++converted;
            cv::Mat want = InFormat(photo, d);
            double tolerance = 0;  // channel moves are exact
            if (s == NEROVA_PIXEL_FORMAT_GRAY) {
                cv::cvtColor(src, want, cv::COLOR_GRAY2BGR);
            } else if (d == NEROVA_PIXEL_FORMAT_GRAY) {
                want = IsYuv(s) ? src.rowRange(0, photo.rows) : want;
                tolerance = IsYuv(s) ? 0 : 1;
            } else if (IsYuv(s)) {
                tolerance = 8;  // 4:2:0 chroma and YUV rounding
            }
            EXPECT_LE(MaxDiff(dst, want), tolerance) << s << "->" << d;
            cv::Mat back;
            if (d != NEROVA_PIXEL_FORMAT_GRAY &&
                CvWrapFunction::CvCvtColor(dst, back, df, sf).code() == NEROVA_OK) {
                EXPECT_EQ(MaxDiff(back, src), 0) << s << "->" << d << "->" << s;
            }
        }
    }
    EXPECT_EQ(converted, 21);
}

TEST(CvWrapFunctionTest, BorderAndResizeMapTheirKindsOrRefuse) {
    cv::Mat src = (cv::Mat_<uchar>(2, 2) << 1, 2, 3, 4);
    const std::pair<int, std::vector<uchar>> borders[] = {
        {0, {9, 9}}, {1, {1, 2}}, {2, {}}, {65536, {}}};
    for (const auto& row : borders) {
        cv::Mat dst(1, 1, CV_8UC1, cv::Scalar(42));
        const Status status = CvWrapFunction::CopyMakeBorder(
            src, dst, 1, 0, 0, 0, NerovaBorderType(row.first), cv::Scalar(9));
        if (row.second.empty()) {
            EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL);
            EXPECT_EQ(dst.at<uchar>(0), 42);
            continue;
        }
        ASSERT_EQ(dst.size(), cv::Size(2, 3));
        EXPECT_EQ(std::vector<uchar>(dst.ptr(0), dst.ptr(0) + 2), row.second);
    }
    const cv::Mat photo = Photo();
    for (int interp : {0, 1, 2, 5}) {
        cv::Mat dst(1, 1, CV_8UC1, cv::Scalar(42)), want;
        const Status status = CvWrapFunction::CvResize(const_cast<cv::Mat&>(photo), dst, cv::Size(),
                                                       0.5, 0.25, NerovaInterpType(interp));
        if (interp > 1) {
            EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL);
            EXPECT_EQ(dst.at<uchar>(0), 42);
            continue;
        }
        cv::resize(photo, want, cv::Size(32, 12), 0, 0, interp);
        EXPECT_EQ(MaxDiff(dst, want), 0) << interp;
    }
}

TEST(CvWrapFunctionTest, WrapOrdersStepsBySourceFormat) {
    const cv::Mat photo = Photo();
    // YUV: the conversion must run on the full buffer; resizing it first would mix planes.
    cv::Mat nv21 = InFormat(photo, NEROVA_PIXEL_FORMAT_NV21), dst, want;
    ASSERT_EQ(CvWrapFunction::WrapResizeCvtColor(nv21, dst, cv::Size(16, 12), 0, 0,
                                                 NEROVA_INTERP_TYPE_LINEAR,
                                                 NEROVA_PIXEL_FORMAT_NV21, NEROVA_PIXEL_FORMAT_BGR)
                  .code(),
              NEROVA_OK);
    cv::cvtColor(nv21, want, cv::COLOR_YUV2BGR_NV21);
    cv::resize(want, want, cv::Size(16, 12));
    EXPECT_EQ(MaxDiff(dst, want), 0);
    // Other sources resize first: the grey values are those of the resized colour image.
    cv::Mat rgb = InFormat(photo, NEROVA_PIXEL_FORMAT_RGB), gray_first, resize_first;
    cv::cvtColor(rgb, gray_first, cv::COLOR_RGB2GRAY);
    cv::resize(gray_first, gray_first, cv::Size(21, 13));
    cv::resize(rgb, resize_first, cv::Size(21, 13));
    cv::cvtColor(resize_first, resize_first, cv::COLOR_RGB2GRAY);
    ASSERT_GT(MaxDiff(gray_first, resize_first), 0);  // the two orders are distinguishable
    ASSERT_EQ(CvWrapFunction::WrapResizeCvtColor(rgb, dst, cv::Size(21, 13), 0, 0,
                                                 NEROVA_INTERP_TYPE_LINEAR, NEROVA_PIXEL_FORMAT_RGB,
                                                 NEROVA_PIXEL_FORMAT_GRAY)
                  .code(),
              NEROVA_OK);
    EXPECT_EQ(MaxDiff(dst, resize_first), 0);
}

TEST(CvWrapFunctionTest, WrapLogsTheFailingStepAndStops) {
    const cv::Mat photo = Photo();
    struct Case {
        int src, dst, interp, line;
        bool dst_touched;  // the first step ran before the failing one
    };
    const Case cases[] = {
        {2, 1, 5, 82, false}, {6, 1, 5, 79, true}, {2, 6, 1, 84, true}, {7, 0, 1, 77, false}};
    for (const Case& c : cases) {
        cv::Mat src = InFormat(photo, c.src);
        cv::Mat dst(1, 1, CV_8UC1, cv::Scalar(42));
        StderrCapture capture;
        const Status status = CvWrapFunction::WrapResizeCvtColor(
            src, dst, cv::Size(16, 12), 0, 0, NerovaInterpType(c.interp), NerovaPixelFormat(c.src),
            NerovaPixelFormat(c.dst));
        EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL);
        EXPECT_EQ(status.message(), "OK");
        EXPECT_EQ(dst.total() != 1, c.dst_touched) << c.line;
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(IsLogLine(lines[0], "module/wrap_opencv/cv_wrap_function",
                              "nerova::module::CvWrapFunction::WrapResizeCvtColor", c.line,
                              "RETURN_ON_NEQ!"))
            << lines[0];
    }
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
    // A 4 x 1 single-channel image has the shape of a scalar; it must still be scaled.
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
    struct Case {
        const char* what;
        cv::Mat mat;
        std::shared_ptr<Blob> blob;
        size_t scale_size, bias_size;
    };
    const auto tensor = FloatTensor(1, {1, 4, 6, 3}, memory);
    const Case cases[] = {
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
    for (const Case& c : cases) {
        cv::Mat mat = c.mat, copy = c.mat.clone();
        std::shared_ptr<Blob> blob = c.blob;
        ParamConverter converter;
        converter.scale.resize(c.scale_size, 2.0f);
        converter.bias.resize(c.bias_size, 2.0f);
        const Status status = CvWrapFunction::MatToBlobByDataFormat(mat, blob, converter);
        EXPECT_EQ(status.code(), NEROVA_ERR_PARAM_NULL) << c.what;
        EXPECT_EQ(status.message(), "OK");
        EXPECT_TRUE(mat.data == c.mat.data && mat.type() == copy.type()) << c.what;
        if (!copy.empty() && copy.dims == 2) {
            EXPECT_EQ(cv::norm(mat, copy, cv::NORM_INF), 0);
        }
        EXPECT_EQ(memory, std::vector<float>(memory.size(), -100.0f)) << c.what;
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
