// The per-frame pipeline on the real kernel: letterbox geometry, decoding, suppression and
// results, checked to the pixel against rows whose values are known.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "face_detector/face_detector.h"
#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::BgrFrame;
using nerova_test::IsLogLine;
using nerova_test::MakeModelDir;
using nerova_test::StderrCapture;
using nerova_test::TempDir;
using nerova_test::TestModel;

// A ready detector on one of the generated networks.
class Detector {
  public:
    explicit Detector(const std::string& model) {
        const std::string path = MakeModelDir(dir_, TestModel(model));
        EXPECT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &handle_), NEROVA_OK);
    }
    ~Detector() { NerovaFaceDetectorDestroy(handle_); }
    FaceDetectorAlgorithm& algorithm() { return *static_cast<FaceDetectorAlgorithm*>(handle_); }
    FaceDetectorParam& param() { return *static_cast<FaceDetectorParam*>(algorithm().GetParam()); }
    void* handle() { return handle_; }

    // Runs a frame through the exported function; returns the faces (empty on failure).
    std::vector<NerovaFaceInfo> Run(const NerovaFrame& frame, NerovaError* code = nullptr) {
        NerovaFaceInfo* faces = nullptr;
        uint32_t count = 0;
        const NerovaError err = NerovaFaceDetectorProcess(handle_, &frame, &faces, &count);
        if (code) *code = err;
        std::vector<NerovaFaceInfo> out;
        if (err == NEROVA_OK) {
            EXPECT_EQ(faces == nullptr, count == 0);
            out.assign(faces, faces + count);
        }
        NerovaFaceDetectorOutputRelease(faces);
        return out;
    }
    std::vector<NerovaFaceInfo> Run(const cv::Mat& bgr) { return Run(BgrFrame(bgr)); }

  private:
    TempDir dir_;
    void* handle_ = nullptr;
};

cv::Mat Uniform(int width, int height, int value) {
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(value));
}

// "score x1 y1 x2 y2" per face or box, for comparing whole lists at once.
template <typename T>
std::vector<std::string> Describe(const std::vector<T>& boxes) {
    std::vector<std::string> out;
    char buf[96];
    for (const T& b : boxes) {
        std::snprintf(buf, sizeof buf, "%.3f %g %g %g %g", b.score, static_cast<double>(b.x1),
                      static_cast<double>(b.y1), static_cast<double>(b.x2),
                      static_cast<double>(b.y2));
        out.push_back(buf);
    }
    return out;
}

TEST(PreProcessTest, LetterboxGeometryAndTensorValues) {
    Detector d("fixed_rows_320.onnx");
    struct Case {
        int width, height;
        float scale;
        int content_w, content_h;  // the frame's extent inside the 320 x 320 input
    };
    const Case cases[] = {
        {320, 320, 1.0f, 320, 320},   {1280, 720, 0.25f, 320, 180},
        {720, 1280, 0.25f, 180, 320}, {1366, 768, 320.0f / 1366, 320, 180},  // 179.9 rounds to 180
        {100, 50, 3.2f, 320, 160},    {33, 100, 3.2f, 106, 320},
    };
    const float mean[3] = {104, 117, 123};
    for (const Case& c : cases) {
        const cv::Mat frame = Uniform(c.width, c.height, 10);
        const NerovaFrame f = BgrFrame(frame);
        ASSERT_EQ(d.algorithm().PreProcess(&f), NEROVA_OK);
        EXPECT_FLOAT_EQ(d.algorithm().scale(), c.scale) << c.width << "x" << c.height;
        EXPECT_EQ(d.param().origin_frame_w, c.width);
        EXPECT_EQ(d.param().origin_frame_h, c.height);
        const float* t = static_cast<const float*>(d.algorithm().input_blob()->GetHandle().base);
        for (int ch = 0; ch < 3; ++ch) {
            for (int y : {0, c.content_h - 1, c.content_h, 319}) {
                for (int x : {0, c.content_w - 1, c.content_w, 319}) {
                    if (y > 319 || x > 319) continue;
                    const bool inside = y < c.content_h && x < c.content_w;
                    EXPECT_EQ(t[ch * 320 * 320 + y * 320 + x], inside ? 10 - mean[ch] : 0.0f)
                        << c.width << "x" << c.height << " c" << ch << " (" << x << "," << y << ")";
                }
            }
        }
    }
}

TEST(PreProcessTest, ExactSizeFrameIsPixelMinusMeanInPlanarOrder) {
    Detector d("fixed_rows_320.onnx");
    cv::Mat frame(320, 320, CV_8UC3);
    cv::randu(frame, 0, 256);
    const NerovaFrame f = BgrFrame(frame);
    ASSERT_EQ(d.algorithm().PreProcess(&f), NEROVA_OK);
    const float* t = static_cast<const float*>(d.algorithm().input_blob()->GetHandle().base);
    const float mean[3] = {104, 117, 123};
    for (int y = 0; y < 320; y += 7) {
        for (int x = 0; x < 320; x += 5) {
            const cv::Vec3b px = frame.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) ASSERT_EQ(t[c * 320 * 320 + y * 320 + x], px[c] - mean[c]);
        }
    }
}

TEST(PreProcessTest, PresetFrameSizeStillComputesTheScale) {
    Detector d("fixed_rows_320.onnx");
    d.param().SetOriginFrameHW(720, 1280);
    const cv::Mat frame = Uniform(1280, 720, 0);
    const NerovaFrame f = BgrFrame(frame);
    ASSERT_EQ(d.algorithm().PreProcess(&f), NEROVA_OK);
    EXPECT_FLOAT_EQ(d.algorithm().scale(), 0.25f);
}

// Rows of ten floats: zero offsets, so each box is its prior.
std::vector<float> Rows(const std::vector<std::array<float, 5>>& rows) {  // score, cx, cy, w, h
    std::vector<float> out;
    for (const auto& r : rows) {
        const float values[10] = {0, 0, 0, 0, 1 - r[0], r[0], r[1], r[2], r[3], r[4]};
        out.insert(out.end(), values, values + 10);
    }
    return out;
}

// Decodes rows for a 128 x 128 frame into the 128 x 128 network (fx = fy = 128, exact).
class DecodeTest : public ::testing::Test {
  protected:
    DecodeTest() : d_("many_rows_128.onnx") {
        const cv::Mat frame = Uniform(128, 128, 0);
        const NerovaFrame f = BgrFrame(frame);
        EXPECT_EQ(d_.algorithm().PreProcess(&f), NEROVA_OK);
    }
    std::vector<FaceBox> Decode(const std::vector<float>& rows) {
        EXPECT_EQ(d_.algorithm().DecodeBoxes(static_cast<int>(rows.size() / 10), 10, rows.data()),
                  NEROVA_OK);
        const auto& c = d_.algorithm().candidates();
        return std::vector<FaceBox>(c.begin(), c.begin() + d_.algorithm().candidate_count());
    }
    std::vector<FaceBox> Suppress(const std::vector<float>& rows) {
        Decode(rows);
        EXPECT_EQ(d_.algorithm().NonMaxSuppression(), NEROVA_OK);
        return d_.algorithm().faces();
    }
    Detector d_;
};

// A box in pixels of the 128 x 128 frame as a row: score, centre and size in fractions.
std::array<float, 5> PixelBox(float score, float x1, float y1, float x2, float y2) {
    return {score, (x1 + x2) / 256, (y1 + y2) / 256, (x2 - x1) / 128, (y2 - y1) / 128};
}

TEST_F(DecodeTest, ThresholdOrderTiesAndCount) {
    auto boxes = Decode(Rows({{0.94f, 0.5f, 0.5f, 0.25f, 0.25f}}));
    EXPECT_TRUE(boxes.empty());
    for (const FaceBox& b : d_.algorithm().candidates()) EXPECT_EQ(b.score, 0.0f);

    boxes = Decode(Rows({{0.95f, 0.5f, 0.5f, 0.25f, 0.25f},
                         {0.97f, 0.25f, 0.25f, 0.125f, 0.125f},
                         {0.97f, 0.75f, 0.75f, 0.125f, 0.125f},
                         {0.99f, 0.5f, 0.5f, 0.5f, 0.25f}}));
    // Score order; equal scores keep the row order; a score equal to the threshold is admitted.
    EXPECT_EQ(Describe(boxes),
              (std::vector<std::string>{"0.990 32 48 96 80", "0.970 24 24 40 40",
                                        "0.970 88 88 104 104", "0.950 48 48 80 80"}));

    std::vector<std::array<float, 5>> many;
    for (int i = 0; i < 25; ++i) many.push_back({0.951f + 0.001f * i, 0.5f, 0.5f, 0.25f, 0.25f});
    boxes = Decode(Rows(many));
    ASSERT_EQ(boxes.size(), 10u) << "the count is capped at top_k";
    EXPECT_FLOAT_EQ(boxes[0].score, 0.975f);
    EXPECT_FLOAT_EQ(boxes[9].score, 0.966f);
}

TEST_F(DecodeTest, OffsetsVariancesAndClamping) {
    // dx = 1 moves the centre by 0.1 prior widths; dw = 5 * ln 2 doubles the width.
    std::vector<float> rows = {
        1.0f,  -2.0f, static_cast<float>(5 * std::log(2.0)), 0.0f, 0.0f, 0.99f, 0.5f, 0.5f,
        0.25f, 0.25f};
    // Centre (0.525, 0.45), size (0.5, 0.25) in input fractions.
    EXPECT_EQ(Describe(Decode(rows)), std::vector<std::string>{"0.990 35.2 41.6 99.2 73.6"});
    // Left edge clamped to 0, bottom edge to the frame.
    EXPECT_EQ(Describe(Decode(Rows({{0.99f, 0.0f, 1.0f, 0.25f, 0.25f}}))),
              std::vector<std::string>{"0.990 0 112 16 128"});
}

TEST_F(DecodeTest, SuppressionUsesStrictIouOverTheUnion) {
    struct Case {
        const char* what;
        std::vector<std::array<float, 5>> boxes;
        std::vector<float> kept_scores;
    };
    const Case cases[] = {
        {"none", {}, {}},
        {"single", {PixelBox(0.99f, 0, 0, 10, 10)}, {0.99f}},
        {"IoU 0.818 suppressed",
         {PixelBox(0.99f, 0, 0, 10, 10), PixelBox(0.98f, 1, 0, 11, 10)},
         {0.99f}},
        {"IoU 0.538 kept",
         {PixelBox(0.99f, 0, 0, 10, 10), PixelBox(0.98f, 3, 0, 13, 10)},
         {0.99f, 0.98f}},
        {"IoU exactly 0.7 kept",
         {PixelBox(0.99f, 0, 0, 10, 10), PixelBox(0.98f, 0, 0, 7, 10)},
         {0.99f, 0.98f}},
        {"suppressed box suppresses nothing",
         {PixelBox(0.99f, 0, 0, 10, 10), PixelBox(0.98f, 1, 0, 11, 10),
          PixelBox(0.97f, 2, 0, 12, 10)},
         {0.99f, 0.97f}},
        {"zero-area boxes are never suppressed",
         {PixelBox(0.99f, 5, 5, 5, 5), PixelBox(0.98f, 5, 5, 5, 5)},
         {0.99f, 0.98f}},
    };
    for (const Case& c : cases) {
        const auto faces = Suppress(Rows(c.boxes));
        std::vector<float> scores;
        for (const FaceBox& f : faces) scores.push_back(f.score);
        EXPECT_EQ(scores, c.kept_scores) << c.what;
    }
}

TEST(ProcessTest, FixedRowsEndToEndInFramePixels) {
    Detector d("fixed_rows_320.onnx");
    // A frame of the mean colour makes the network's input zero, so it emits its base rows.
    const cv::Mat same(320, 320, CV_8UC3, cv::Scalar(104, 117, 123));
    EXPECT_EQ(Describe(d.Run(same)),
              (std::vector<std::string>{"0.990 120 100 200 220", "0.960 30 30 70 70",
                                        "0.950 0 290 30 320"}));
    // No clamping beyond the frame's right and bottom edges and the left and top zero.
    const cv::Mat wide(720, 1280, CV_8UC3, cv::Scalar(104, 117, 123));
    EXPECT_EQ(Describe(d.Run(wide)),
              (std::vector<std::string>{"0.990 480 400 800 720", "0.960 120 120 280 280",
                                        "0.950 0 1160 120 720"}));
}

TEST(ProcessTest, RowsThatAreNotNumbersAreNoFaces) {
    // NaN, +inf and -inf scores, and boxes that decode to a non-finite corner, beside one face.
    Detector d("non_finite_rows_320.onnx");
    d.param().top_k = 100;
    const cv::Mat same(320, 320, CV_8UC3, cv::Scalar(104, 117, 123));
    EXPECT_EQ(Describe(d.Run(same)), (std::vector<std::string>{"0.960 48 48 112 112"}));
}

TEST(ProcessTest, LetterboxPaddingReachesTheNetwork) {
    // score = 0.5 + m / 100, m the mean of the input tensor over channels and pixels.
    Detector d("bright_score_64.onnx");
    struct Case {
        int width, height, value;
        size_t faces;
    };
    // Uniform 200: m = 85.3 on a full input, 42.7 when half of it is padding.
    const Case cases[] = {{64, 64, 200, 1},
                          {128, 64, 200, 0},
                          {64, 128, 200, 0},
                          {128, 64, 255, 1},
                          {64, 64, 150, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(d.Run(Uniform(c.width, c.height, c.value)).size(), c.faces)
            << c.width << "x" << c.height << " value " << c.value;
    }
}

TEST(ProcessTest, EveryPixelFormatOfAUniformFrameGivesTheSameFace) {
    Detector d("bright_score_64.onnx");
    const int w = 63, h = 47, v = 230;  // odd sizes for the YUV formats
    std::vector<uint8_t> plane(static_cast<size_t>(w + 5) * h * 4, v);
    std::vector<uint8_t> chroma(static_cast<size_t>(w + 5) * h, 128);
    // Video-range luma: 214 with neutral chroma converts to 230 in every channel.
    std::vector<uint8_t> luma(static_cast<size_t>(w + 5) * h, 214);
    struct Case {
        NerovaPixelFormat format;
        int bytes_per_pixel;
    };
    const Case cases[] = {{NEROVA_PIXEL_FORMAT_BGR, 3},  {NEROVA_PIXEL_FORMAT_RGB, 3},
                          {NEROVA_PIXEL_FORMAT_BGRA, 4}, {NEROVA_PIXEL_FORMAT_RGBA, 4},
                          {NEROVA_PIXEL_FORMAT_GRAY, 1}, {NEROVA_PIXEL_FORMAT_NV12, 1},
                          {NEROVA_PIXEL_FORMAT_NV21, 1}, {NEROVA_PIXEL_FORMAT_YV12, 1}};
    std::vector<NerovaFaceInfo> reference;
    for (const Case& c : cases) {
        NerovaFrame f{};
        f.pixel_format = c.format;
        f.width = w;
        f.height = h;
        const bool yuv = c.format >= NEROVA_PIXEL_FORMAT_NV12;
        f.data[0] = yuv ? luma.data() : plane.data();
        f.stride[0] = (w + 5) * c.bytes_per_pixel;  // padded rows
        f.data[1] = f.data[2] = chroma.data();
        f.stride[1] = f.stride[2] = w + 5;
        NerovaError code = -1;
        const auto faces = d.Run(f, &code);
        ASSERT_EQ(code, NEROVA_OK) << c.format;
        ASSERT_EQ(faces.size(), 1u) << c.format;
        if (reference.empty()) reference = faces;
        EXPECT_NEAR(faces[0].score, reference[0].score, 0.02) << c.format;
        EXPECT_EQ(faces[0].x2, reference[0].x2) << c.format;
    }
}

TEST(ProcessTest, TopKAndThresholdChangesApplyFromTheNextFrame) {
    Detector d("many_rows_128.onnx");
    const cv::Mat frame(128, 128, CV_8UC3, cv::Scalar(104, 117, 123));
    auto faces = d.Run(frame);
    ASSERT_EQ(faces.size(), 10u);
    ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), 30), NEROVA_OK);
    EXPECT_EQ(d.algorithm().candidates().size(), 10u) << "resized by the next frame, not before";
    faces = d.Run(frame);
    ASSERT_EQ(faces.size(), 30u);
    for (size_t i = 1; i < faces.size(); ++i) EXPECT_GT(faces[i - 1].score, faces[i].score);
    EXPECT_EQ(d.algorithm().candidates().size(), 30u);
    ASSERT_EQ(NerovaFaceDetectorSetScoreThreshold(d.handle(), 0.99f), NEROVA_OK);
    EXPECT_EQ(d.Run(frame).size(), 10u) << "scores 0.999 down to 0.990";
    ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), 1), NEROVA_OK);
    EXPECT_EQ(d.Run(frame).size(), 1u);
}

TEST(ProcessTest, RefusalsAndTheirChains) {
    static const uint8_t pixels[3 * 10000] = {};
    auto frame = [](int w, int h, const uint8_t* data, int stride) {
        NerovaFrame f{};
        f.pixel_format = NEROVA_PIXEL_FORMAT_BGR;
        f.width = w;
        f.height = h;
        f.data[0] = data;
        f.stride[0] = stride;
        return f;
    };
    const std::string algo = "nerova::module::FaceDetectorAlgorithm::";
    const std::string unreadable = "frame cannot be read (size, stride, plane or format).";
    const struct {
        const char* model;
        NerovaFrame frame;
        NerovaError code;
        std::string cause;  // innermost line
        int process_line;
    } cases[] = {
        {"fixed_rows_320.onnx", frame(4, 4, nullptr, 12), NEROVA_ERR_PARAM_NULL,
         nerova_test::LogEntry(algo + "PreProcess", 160, unreadable), 144},
        {"fixed_rows_320.onnx", frame(0, 4, pixels, 12), NEROVA_ERR_PARAM_NULL,
         nerova_test::LogEntry(algo + "PreProcess", 160, unreadable), 144},
        {"fixed_rows_320.onnx", frame(4, 4, pixels, 11), NEROVA_ERR_PARAM_NULL,
         nerova_test::LogEntry(algo + "PreProcess", 160, unreadable), 144},
        {"fixed_rows_320.onnx", frame(10000, 1, pixels, 30000), NEROVA_ERR_IMAGE_OP,
         nerova_test::LogEntry(algo + "PreProcess", 176,
                               "frame shape cannot be fitted into the network input."),
         144},
        {"short_rows.onnx", frame(4, 4, pixels, 12), NEROVA_ERR_NET,
         nerova_test::LogEntry(algo + "Post", 214,
                               "output blob is not rows of at least ten floats."),
         148},
    };
    for (const auto& c : cases) {
        Detector d(c.model);
        NerovaFaceInfo* faces = reinterpret_cast<NerovaFaceInfo*>(0x10);
        uint32_t count = 77;
        StderrCapture capture;
        EXPECT_EQ(NerovaFaceDetectorProcess(d.handle(), &c.frame, &faces, &count), c.code)
            << c.cause;
        EXPECT_EQ(
            nerova_test::LogChain(capture.Lines()),
            (std::vector<std::string>{
                c.cause, nerova_test::LogEntry(algo + "Process", c.process_line, "RETURN_ON_NEQ!"),
                nerova_test::LogEntry("NerovaFaceDetectorProcess", 51,
                                      "algorithm Process failed.")}));
        EXPECT_EQ(faces, reinterpret_cast<NerovaFaceInfo*>(0x10));
        if (c.code != NEROVA_ERR_NET) {  // the handle stays usable for the next frame
            NerovaError code = -1;
            d.Run(BgrFrame(Uniform(16, 16, 104)), &code);
            EXPECT_EQ(code, NEROVA_OK) << c.cause;
        }
    }
}

TEST(ProcessTest, NullArgumentsAndRelease) {
    Detector d("fixed_rows_320.onnx");
    const cv::Mat m = Uniform(8, 8, 1);
    const NerovaFrame f = BgrFrame(m);
    NerovaFaceInfo* faces = nullptr;
    uint32_t count = 0;
    struct Case {
        void* handle;
        const NerovaFrame* frame;
        NerovaFaceInfo** faces;
        uint32_t* count;
        int line;
    };
    const Case cases[] = {{nullptr, nullptr, &faces, &count, 45},
                          {d.handle(), nullptr, &faces, &count, 46},
                          {d.handle(), &f, nullptr, &count, 47},
                          {d.handle(), &f, &faces, nullptr, 48}};
    for (const Case& c : cases) {
        StderrCapture capture;
        EXPECT_EQ(NerovaFaceDetectorProcess(c.handle, c.frame, c.faces, c.count),
                  NEROVA_ERR_PARAM_NULL);
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(IsLogLine(lines[0], "module/face_detector/nerova_face_detector",
                              "NerovaFaceDetectorProcess", c.line, "CHECK_PARAM_NULL!"))
            << lines[0];
    }
    EXPECT_EQ(NerovaFaceDetectorOutputRelease(nullptr), NEROVA_OK);
}

TEST(ProcessTest, BigThinAndOddFramesGiveFacesOrADocumentedCode) {
    Detector d("bright_score_64.onnx");
    struct Case {
        int width, height;
        NerovaPixelFormat format;
        int padding;  // extra bytes per row
        NerovaError code;
    };
    const Case cases[] = {
        {1, 1, NEROVA_PIXEL_FORMAT_BGR, 0, NEROVA_OK},
        {1, 10000, NEROVA_PIXEL_FORMAT_BGR, 0, NEROVA_ERR_IMAGE_OP},  // a side scales to 0 pixels
        {10000, 1, NEROVA_PIXEL_FORMAT_GRAY, 3, NEROVA_ERR_IMAGE_OP},
        {8000, 8000, NEROVA_PIXEL_FORMAT_GRAY, 0, NEROVA_OK},
        {40000, 2, NEROVA_PIXEL_FORMAT_GRAY, 0, NEROVA_ERR_PARAM_NULL},  // beyond the largest side
        {33, 17, NEROVA_PIXEL_FORMAT_NV12, 5, NEROVA_OK},
        {1, 1, NEROVA_PIXEL_FORMAT_NV21, 0, NEROVA_OK},
        {3, 3, NEROVA_PIXEL_FORMAT_YV12, 1, NEROVA_OK},
        {64, 64, static_cast<NerovaPixelFormat>(5), 0, NEROVA_ERR_PARAM_NULL},  // unknown format
    };
    for (const Case& c : cases) {
        const bool yuv =
            c.format >= NEROVA_PIXEL_FORMAT_NV12 && c.format <= NEROVA_PIXEL_FORMAT_YV12;
        const int bpp = c.format == NEROVA_PIXEL_FORMAT_BGR ? 3 : 1;
        const int stride = c.width * bpp + (yuv ? 1 : 0) + c.padding;
        std::vector<uint8_t> plane(static_cast<size_t>(stride) * c.height, 200);
        NerovaFrame f{};
        f.pixel_format = c.format;
        f.width = c.width;
        f.height = c.height;
        for (int p = 0; p < 3; ++p) {
            f.data[p] = plane.data();
            f.stride[p] = stride;
        }
        NerovaError code = -1;
        StderrCapture quiet;
        d.Run(f, &code);
        quiet.Stop();
        EXPECT_EQ(code, c.code) << c.width << "x" << c.height << " format " << c.format;
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
