// The per-frame pipeline on the real kernel: letterbox geometry, decoding, suppression and
// results, checked to the pixel against rows whose values are known.
#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/imgproc.hpp>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::BgrFrame;
using nerova_test::Describe;
using nerova_test::Detector;
using nerova_test::LogEntry;

FaceDetectorAlgorithm& Algorithm(const Detector& d) {
    return *static_cast<FaceDetectorAlgorithm*>(d.handle());
}

// The network input after PreProcess of the frame, planar (an XNNPACK instance's own input
// is written interleaved, and read back planar here).
const float* Tensor(const Detector& d, const NerovaFrame& f) {
    EXPECT_EQ(Algorithm(d).PreProcess(&f), NEROVA_OK) << f.pixel_format;
    const auto& blob = FaceDetectorTestPeer::input_blob(Algorithm(d));
    const float* data = static_cast<const float*>(blob->GetHandle().base);
    if (blob->desc().data_format != NEROVA_DATA_FORMAT_NHWC) return data;
    static std::vector<float> planar;
    const std::vector<int>& dims = blob->desc().dims;  // N, H, W, C
    const size_t pixels = size_t(dims[1]) * dims[2], channels = size_t(dims[3]);
    planar.resize(pixels * channels);
    for (size_t i = 0; i < pixels; ++i)
        for (size_t c = 0; c < channels; ++c) planar[c * pixels + i] = data[i * channels + c];
    return planar.data();
}

cv::Mat Uniform(int width, int height, int value) {
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(value));
}

TEST(PreProcessTest, LetterboxGeometryAndTensorValues) {
    Detector d("fixed_rows_320.onnx");
    // A frame size preset before the first frame, or between frames, does not stand in for
    // computing the scale.
    for (const auto& size : {cv::Size(1280, 720), cv::Size(640, 640)}) {
        static_cast<FaceDetectorParam*>(Algorithm(d).GetParam())
            ->SetOriginFrameHW(size.height, size.width);
        Tensor(d, BgrFrame(Uniform(size.width, size.height, 0)));
        EXPECT_FLOAT_EQ(FaceDetectorTestPeer::scale(Algorithm(d)), 320.0f / size.width);
    }
    const struct {
        int width, height;
        float scale;
        int content_w, content_h;  // the frame's extent inside the 320 x 320 input
    } cases[] = {
        {320, 320, 1.0f, 320, 320},
        {1280, 720, 0.25f, 320, 180},
        {720, 1280, 0.25f, 180, 320},
        {1366, 768, 320.0f / 1366, 320, 180},  // 179.9 rounds to 180
        {100, 50, 3.2f, 320, 160},
        {33, 100, 3.2f, 106, 320},
        // Thin frames: a side that the scale would round to no pixel keeps one.
        {1, 1000, 0.32f, 1, 320},
        {5000, 2, 0.064f, 320, 1},
        {2, 5000, 0.064f, 1, 320},
        {32768, 1, 320.0f / 32768, 320, 1},
    };
    const float mean[3] = {104, 117, 123}, bgr[3] = {10, 20, 30};
    for (const auto& c : cases) {
        const float* t =
            Tensor(d, BgrFrame(cv::Mat(c.height, c.width, CV_8UC3, cv::Scalar(10, 20, 30))));
        EXPECT_FLOAT_EQ(FaceDetectorTestPeer::scale(Algorithm(d)), c.scale) << c.width;
        for (int ch = 0; ch < 3; ++ch) {
            for (int y : {0, c.content_h - 1, c.content_h, 319}) {
                for (int x : {0, c.content_w - 1, c.content_w, 319}) {
                    if (y > 319 || x > 319) continue;
                    const bool inside = y < c.content_h && x < c.content_w;
                    EXPECT_EQ(t[ch * 320 * 320 + y * 320 + x], inside ? bgr[ch] - mean[ch] : 0.0f)
                        << c.width << "x" << c.height << " c" << ch << " (" << x << "," << y << ")";
                }
            }
        }
    }
    // A frame of the input's size is its pixels minus the mean, in planar BGR order.
    cv::Mat frame(320, 320, CV_8UC3);
    cv::randu(frame, 0, 256);
    const float* t = Tensor(d, BgrFrame(frame));
    for (int y = 0; y < 320; y += 7) {
        for (int x = 0; x < 320; x += 5) {
            const cv::Vec3b px = frame.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) ASSERT_EQ(t[c * 320 * 320 + y * 320 + x], px[c] - mean[c]);
        }
    }
}

TEST(PreProcessTest, OnePassFromTheHostsRowsEqualsTheLetterboxStepsAtOddSizesAndStrides) {
    Detector d("fixed_rows_320.onnx");
    const float mean[3] = {104, 117, 123};
    for (const auto& size : {cv::Size(333, 251), cv::Size(1001, 77), cv::Size(97, 999)}) {
        // Rows 13 bytes longer than the pixels, as a host's padded buffer.
        cv::Mat buffer(size.height, size.width * 3 + 13, CV_8UC1);
        cv::randu(buffer, 0, 256);
        const cv::Mat frame = buffer.colRange(0, size.width * 3).reshape(3);
        NerovaFrame f = BgrFrame(frame);
        f.stride[0] = buffer.cols;
        const float* t = Tensor(d, f);
        const std::vector<float> got(t, t + 3 * 320 * 320);
        // The steps one by one: resize by the scale, pad with the mean, convert, subtract.
        const double scale = FaceDetectorTestPeer::scale(Algorithm(d));
        cv::Mat resized, padded, planes[3];
        cv::resize(frame, resized, cv::Size(), scale, scale, cv::INTER_LINEAR);
        cv::copyMakeBorder(resized, padded, 0, 320 - resized.rows, 0, 320 - resized.cols,
                           cv::BORDER_CONSTANT, cv::Scalar(104, 117, 123));
        padded.convertTo(padded, CV_32FC3);
        cv::split(padded - cv::Scalar(mean[0], mean[1], mean[2]), planes);
        std::vector<float> want;
        for (const cv::Mat& p : planes) want.insert(want.end(), p.begin<float>(), p.end<float>());
        EXPECT_EQ(got, want) << size;
        // The same pixels in the other packed formats, resized in their own layout, give the
        // same tensor exactly; a grey frame gives the tensor of its BGR conversion.
        const struct {
            NerovaPixelFormat format;
            int code;  // from BGR
        } kPacked[] = {{NEROVA_PIXEL_FORMAT_RGB, cv::COLOR_BGR2RGB},
                       {NEROVA_PIXEL_FORMAT_BGRA, cv::COLOR_BGR2BGRA},
                       {NEROVA_PIXEL_FORMAT_RGBA, cv::COLOR_BGR2RGBA},
                       {NEROVA_PIXEL_FORMAT_GRAY, cv::COLOR_BGR2GRAY}};
        for (const auto& packed : kPacked) {
            cv::Mat other;
            cv::cvtColor(frame, other, packed.code);
            NerovaFrame g = BgrFrame(other);
            g.pixel_format = packed.format;
            g.stride[0] = static_cast<int32_t>(other.step[0]);
            const float* u = Tensor(d, g);
            std::vector<float> expected = want;
            if (packed.format == NEROVA_PIXEL_FORMAT_GRAY) {  // the steps on its BGR form
                cv::Mat bgr;
                cv::cvtColor(other, bgr, cv::COLOR_GRAY2BGR);
                const float* v = Tensor(d, BgrFrame(bgr));
                expected.assign(v, v + 3 * 320 * 320);
                u = Tensor(d, g);
            }
            EXPECT_EQ(std::vector<float>(u, u + 3 * 320 * 320), expected)
                << size << " format " << packed.format;
        }
    }
}

// One row: offsets, score and prior (cx, cy, w, h), padded with -1 to row_length floats.
struct Row {
    float dx, dy, dw, dh, score, cx, cy, w, h;
};
Row Prior(float score, float cx, float cy, float w, float h) {
    return {0, 0, 0, 0, score, cx, cy, w, h};
}

TEST(DecodeRowsTest, ThresholdOrderVariancesClampingAndNonFiniteRows) {
    const float nan = std::nanf(""), inf = INFINITY;
    std::vector<Row> many;
    for (int i = 0; i < 25; ++i)
        many.push_back(Prior(0.951f + 0.001f * i, 0.5f, 0.5f, 0.25f, 0.25f));
    // Rows for a 128 x 128 frame from a 128 x 128 input (fx = fy = 128, exact) at threshold
    // 0.95, unless a case says otherwise.
    const struct {
        const char* what;
        std::vector<Row> rows;
        std::vector<std::string> boxes;
        int top_k = 10, row_length = 10;
        FrameMapping mapping = {128, 128, 128, 128};
        float threshold = 0.95f;
    } cases[] = {
        {"score order, ties in row order, the threshold admitted, below it not, longer rows",
         {Prior(0.95f, 0.5f, 0.5f, 0.25f, 0.25f), Prior(0.97f, 0.25f, 0.25f, 0.125f, 0.125f),
          Prior(0.94f, 0.5f, 0.5f, 0.25f, 0.25f), Prior(0.97f, 0.75f, 0.75f, 0.125f, 0.125f),
          Prior(0.99f, 0.5f, 0.5f, 0.5f, 0.25f)},
         {"0.990 32 48 96 80", "0.970 24 24 40 40", "0.970 88 88 104 104", "0.950 48 48 80 80"},
         10,
         12},
        {"top_k best", many, {"0.975 48 48 80 80", "0.974 48 48 80 80", "0.973 48 48 80 80"}, 3},
        // dx = 1 moves the centre by 0.1 prior widths, dw = 5 ln 2 doubles the width.
        {"variances",
         {{1, -2, float(5 * std::log(2.0)), 0, 0.99f, 0.5f, 0.5f, 0.25f, 0.25f}},
         {"0.990 35.2 41.6 99.2 73.6"}},
        {"left and top clamp to 0, right and bottom to the frame",
         {Prior(0.99f, 0.0f, 1.0f, 0.25f, 0.25f), Prior(0.98f, 1.0f, 0.0f, 0.25f, 0.25f)},
         {"0.990 0 112 16 128", "0.980 112 0 128 16"}},
        // A 128 x 1 frame: the input's rows below the first are padding. A box there alone, or
        // left of the frame, is no face and takes no place in the top_k.
        {"boxes in the padding alone are none, the rest clamped into a thin frame",
         {Prior(0.99f, 0.5f, 0.5f, 0.25f, 0.25f), Prior(0.98f, -0.5f, 0.0f, 0.25f, 0.25f),
          Prior(0.97f, 0.5f, 0.0f, 0.25f, 0.25f), Prior(0.96f, 0.25f, 0.0f, 0.125f, 0.125f)},
         {"0.970 48 0 80 1"},
         1,
         10,
         {128, 128, 128, 1}},
        {"a threshold of 0 admits a score of 0, in its place after the others",
         {Prior(0.0f, 0.5f, 0.5f, 0.25f, 0.25f), Prior(0.5f, 0.25f, 0.25f, 0.125f, 0.125f)},
         {"0.500 24 24 40 40", "0.000 48 48 80 80"},
         10,
         10,
         {128, 128, 128, 128},
         0.0f},
        {"rows that are not numbers are no candidates",
         {Prior(nan, 0.5f, 0.5f, 0.2f, 0.2f),
          Prior(inf, 0.3f, 0.5f, 0.2f, 0.2f),
          Prior(-inf, 0.5f, 0.5f, 0.2f, 0.2f),
          {0, 0, inf, 0, 0.99f, 0.5f, 0.5f, 0.2f, 0.2f},
          Prior(0.98f, nan, 0.5f, 0.2f, 0.2f),
          {0, 0, 80, 0, 0.97f, 0.5f, 0.5f, 1e38f, 0.2f},
          Prior(0.96f, 0.25f, 0.25f, 0.5f, 0.5f)},
         {"0.960 0 0 64 64"}},
    };
    for (const auto& c : cases) {
        std::vector<float> data;
        for (const Row& r : c.rows) {
            const float v[] = {r.dx, r.dy, r.dw, r.dh, 1 - r.score, r.score, r.cx, r.cy, r.w, r.h};
            data.insert(data.end(), v, v + 10);
            data.insert(data.end(), c.row_length - 10, -1.0f);
        }
        std::vector<FaceBox> boxes(size_t(c.top_k), FaceBox{7, 7, 7, 7, 7});
        const int n = DecodeRows(data.data(), int(c.rows.size()), c.row_length, c.threshold,
                                 c.top_k, c.mapping, boxes.data());
        const auto all = Describe(boxes);
        EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + n), c.boxes) << c.what;
        for (size_t i = c.boxes.size(); i < all.size(); ++i)
            EXPECT_EQ(all[i], "0.000 0 0 0 0") << c.what;
    }
}

TEST(SuppressOverlapsTest, StrictIouOverTheUnionAgainstKeptBoxesOnlyAndNestedDuplicates) {
    const struct {
        const char* what;
        bool nested;
        std::vector<FaceBox> boxes;
        std::vector<float> kept_scores;
    } cases[] = {
        {"none", false, {}, {}},
        {"single", false, {{0.99f, 0, 0, 10, 10}}, {0.99f}},
        {"IoU 0.818 suppressed", false, {{0.99f, 0, 0, 10, 10}, {0.98f, 1, 0, 11, 10}}, {0.99f}},
        {"IoU 0.538 kept", false, {{0.99f, 0, 0, 10, 10}, {0.98f, 3, 0, 13, 10}}, {0.99f, 0.98f}},
        {"IoU exactly 0.7 kept",
         false,
         {{0.99f, 0, 0, 10, 10}, {0.98f, 0, 0, 7, 10}},
         {0.99f, 0.98f}},
        {"a suppressed box suppresses nothing",
         false,
         {{0.99f, 0, 0, 10, 10}, {0.98f, 1, 0, 11, 10}, {0.97f, 2, 0, 12, 10}},
         {0.99f, 0.97f}},
        {"the third box against both kept ones",
         false,
         {{0.99f, 0, 0, 10, 10}, {0.98f, 20, 0, 30, 10}, {0.97f, 21, 0, 31, 10}},
         {0.99f, 0.98f}},
        {"zero-area boxes are never suppressed",
         true,
         {{0.99f, 5, 5, 5, 5}, {0.98f, 5, 5, 5, 5}},
         {0.99f, 0.98f}},
        // IoU 0.56, 92 % of the smaller inside the larger: one textured patch twice.
        {"nested duplicate at IoU 0.56",
         true,
         {{0.99f, 6, 16, 83, 92}, {0.98f, 22, 36, 85, 95}},
         {0.99f}},
        {"the same pair without the nested rule",
         false,
         {{0.99f, 6, 16, 83, 92}, {0.98f, 22, 36, 85, 95}},
         {0.99f, 0.98f}},
        {"a small face inside a large box is no duplicate",
         true,
         {{0.99f, 0, 0, 100, 100}, {0.98f, 40, 40, 60, 60}},
         {0.99f, 0.98f}},
        {"half-hidden neighbour at IoU 0.43 kept",
         true,
         {{0.99f, 0, 0, 10, 10}, {0.98f, 4, 0, 14, 10}},
         {0.99f, 0.98f}},
    };
    for (const auto& c : cases) {
        std::vector<FaceBox> kept(c.boxes.size());
        std::vector<float> areas(c.boxes.size()), scores;
        const int n = SuppressOverlaps(c.boxes.data(), int(c.boxes.size()), {0.7f, c.nested},
                                       kept.data(), areas.data());
        for (int i = 0; i < n; ++i) scores.push_back(kept[i].score);
        EXPECT_EQ(scores, c.kept_scores) << c.what;
    }
}

TEST(BlendOverlapsTest, KeptBoxesBecomeTheScoreWeightedMeanOfWhatTheyDropped) {
    const struct {
        const char* what;
        std::vector<FaceBox> boxes;
        std::vector<std::string> kept;
    } cases[] = {
        {"one face's two anchors, weights 1 and 0.5",
         {{0.8f, 0, 0, 10, 10}, {0.4f, 3, 0, 13, 10}},
         {"0.800 1 0 11 10"}},
        {"a box dropped by two goes to the first",
         {{0.9f, 0, 0, 10, 10}, {0.9f, 4, 0, 14, 10}, {0.9f, 2, 0, 12, 10}},
         {"0.900 1 0 11 10", "0.900 4 0 14 10"}},
        {"a lone box stays as it is", {{0.5f, 1.5f, 2.5f, 3.5f, 4.5f}}, {"0.500 1.5 2.5 3.5 4.5"}},
        {"scores of 0 weigh alike",
         {{0.0f, 0, 0, 10, 10}, {0.0f, 2, 0, 12, 10}},
         {"0.000 1 0 11 10"}},
    };
    for (const auto& c : cases) {
        const int count = int(c.boxes.size());
        std::vector<FaceBox> kept(c.boxes.size()), sums(c.boxes.size());
        std::vector<float> areas(c.boxes.size());
        const OverlapRule rule{0.5f, true};
        const int n = SuppressOverlaps(c.boxes.data(), count, rule, kept.data(), areas.data());
        BlendOverlaps(c.boxes.data(), count, rule, kept.data(), areas.data(), n, sums.data());
        kept.resize(size_t(n));
        EXPECT_EQ(Describe(kept), c.kept) << c.what;
    }
}

TEST(TruncateToIntTest, SaturatesAndReadsNanAsZero) {
    const struct {
        float in;
        int32_t out;
    } cases[] = {{12.9f, 12},
                 {-12.9f, -12},
                 {std::nanf(""), 0},
                 {1e20f, INT32_MAX},
                 {-1e20f, INT32_MIN},
                 {kInt32Saturation, INT32_MAX},
                 {2147483392.0f, 2147483392}};
    for (const auto& c : cases) EXPECT_EQ(TruncateToInt(c.in), c.out) << c.in;
}

TEST(ProcessTest, FixedRowsEndToEndInFramePixels) {
    Detector d("fixed_rows_320.onnx");
    // A frame of the mean colour makes the network's input zero, so it emits its base rows.
    EXPECT_EQ(Describe(d.Run(cv::Mat(320, 320, CV_8UC3, cv::Scalar(104, 117, 123)))),
              (std::vector<std::string>{"0.990 120 100 200 220", "0.960 30 30 70 70",
                                        "0.950 0 290 30 320"}));
    // Boxes end at the frame's bottom edge; the last row lies in the padding below the frame
    // alone, so it is no face.
    EXPECT_EQ(Describe(d.Run(cv::Mat(720, 1280, CV_8UC3, cv::Scalar(104, 117, 123)))),
              (std::vector<std::string>{"0.990 480 400 800 720", "0.960 120 120 280 280"}));
}

TEST(ProcessTest, LetterboxPaddingReachesTheNetwork) {
    // score = 0.5 + m / 100, m the mean of the input tensor over channels and pixels.
    // Uniform 200: m = 85.3 on a full input, 42.7 when half of it is padding.
    Detector d("bright_score_64.onnx");
    const struct {
        int width, height, value;
        size_t faces;
    } cases[] = {{64, 64, 200, 1},
                 {128, 64, 200, 0},
                 {64, 128, 200, 0},
                 {128, 64, 255, 1},
                 {64, 64, 150, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(d.Run(Uniform(c.width, c.height, c.value)).size(), c.faces)
            << c.width << "x" << c.height << " " << c.value;
}

TEST(ProcessTest, TopKAndThresholdChangesApplyFromTheNextFrame) {
    Detector d("many_rows_128.onnx");
    const cv::Mat frame(128, 128, CV_8UC3, cv::Scalar(104, 117, 123));
    ASSERT_EQ(d.Run(frame).size(), 10u);
    ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), 30), NEROVA_OK);
    const auto faces = d.Run(frame);
    ASSERT_EQ(faces.size(), 30u);
    for (size_t i = 1; i < faces.size(); ++i) EXPECT_GT(faces[i - 1].score, faces[i].score);
    ASSERT_EQ(NerovaFaceDetectorSetScoreThreshold(d.handle(), 0.99f), NEROVA_OK);
    EXPECT_EQ(d.Run(frame).size(), 10u) << "scores 0.999 down to 0.990";
    ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), 1), NEROVA_OK);
    EXPECT_EQ(d.Run(frame).size(), 1u);
}

TEST(ProcessTest, CandidatePoolKeepsNeighboursAndBlendAveragesOneFacesBoxes) {
    const std::string pool = R"("CandidatePool": 8)";
    const std::string blend = R"("OverlapMerge": "OVERLAP_BLEND")";
    const auto json = [](const std::string& detection) {
        return R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {)" + detection + "}}";
    };
    const std::vector<std::string> a = {"0.990 16 48 48 80"},
                                   ab = {"0.990 16 48 48 80", "0.970 48 48 80 80"};
    const struct {
        std::string detection;
        int32_t set_pool, set_merge;  // -1: left to the model
        int32_t top_k;
        int32_t pool, merge;  // the handle's selection
        std::vector<std::string> faces;
    } cases[] = {
        {"", -1, -1, 2, 0, 0, a},  // two duplicates of one face fill the list
        {pool, -1, -1, 2, 8, 0, ab},
        {pool, -1, -1, 3, 8, 0, {ab[0], ab[1], "0.960 80 48 112 80"}},
        {pool + ", " + blend, -1, -1, 2, 8, 1, {"0.990 18 48 50 80", "0.970 49 48 81 80"}},
        {"", 8, 1, 2, 8, 1, {"0.990 18 48 50 80", "0.970 49 48 81 80"}},
        {pool, 0, -1, 2, 0, 0, a},  // the host takes the model's pool away
        {"", 1, -1, 2, 1, 0, a},    // a pool below top_k is top_k
    };
    const cv::Mat frame(128, 128, CV_8UC3, cv::Scalar(104, 117, 123));
    for (const auto& c : cases) {
        Detector d("crowd_rows_128.onnx", json(c.detection));
        if (c.set_pool >= 0) {
            ASSERT_EQ(NerovaFaceDetectorSetCandidatePool(d.handle(), c.set_pool), NEROVA_OK);
        }
        if (c.set_merge >= 0) {
            ASSERT_EQ(NerovaFaceDetectorSetOverlapMerge(d.handle(), c.set_merge), NEROVA_OK);
        }
        ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), c.top_k), NEROVA_OK);
        int32_t got_pool = -1, got_merge = -1;
        ASSERT_EQ(NerovaFaceDetectorGetSelection(d.handle(), &got_pool, &got_merge), NEROVA_OK);
        EXPECT_EQ(std::make_pair(got_pool, got_merge), std::make_pair(c.pool, c.merge))
            << c.detection;
        EXPECT_EQ(Describe(d.Run(frame)), c.faces) << c.detection << " top_k " << c.top_k;
    }
    nerova_test::StderrCapture quiet;
    Detector d("crowd_rows_128.onnx");
    for (int32_t pool_value : {-1, 4097})
        EXPECT_EQ(NerovaFaceDetectorSetCandidatePool(d.handle(), pool_value),
                  NEROVA_ERR_PARAM_RANGE);
    for (int32_t merge_value : {-1, 2})
        EXPECT_EQ(NerovaFaceDetectorSetOverlapMerge(d.handle(), merge_value),
                  NEROVA_ERR_PARAM_RANGE);
}

TEST(ProcessDetailsTest, LandmarksFollowTheBoxesMappingAndTheIntegerRecordsTruncateTheFloats) {
    const Detector d("landmark_rows_128.onnx",
                     R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
                         "Detection": {"Landmarks": ["right_eye", "left_eye"]}})");
    int32_t count = -1;
    ASSERT_EQ(NerovaFaceDetectorGetLandmarkCount(d.handle(), &count), NEROVA_OK);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(NerovaFaceDetectorLandmarkName(d.handle(), 1), "left_eye");
    EXPECT_EQ(NerovaFaceDetectorLandmarkName(d.handle(), 2), nullptr);
    const struct {
        int width, height;
        std::vector<std::string> faces;  // "score x1 y1 x2 y2 | x y x y"
    } cases[] = {
        // The second face's first point lies left of the input: clamped like its box.
        {128, 128, {"0.990 16 48 48 80 | 24 64 40 64", "0.980 80 16 112 48 | 0 24 96 40"}},
        // Letterboxed at half size; the first face's bottom edge and points clamp at 128.
        {256, 128, {"0.990 32 96 96 128 | 48 128 80 128", "0.980 160 32 224 96 | 0 48 192 80"}},
    };
    for (const auto& c : cases) {
        const cv::Mat frame(c.height, c.width, CV_8UC3, cv::Scalar(104, 117, 123));
        const NerovaFrame f = BgrFrame(frame);
        NerovaFaceDetail* details = nullptr;
        uint32_t n = 0;
        ASSERT_EQ(NerovaFaceDetectorProcessDetails(d.handle(), &f, sizeof(NerovaFaceDetail),
                                                   &details, &n),
                  NEROVA_OK);
        std::vector<std::string> got;
        for (uint32_t i = 0; i < n; ++i) {
            const NerovaFaceDetail& x = details[i];
            std::string line = Describe(std::vector<NerovaFaceDetail>{x})[0] + " |";
            for (uint32_t k = 0; k < 2 * x.landmark_count; ++k)
                line += " " + std::to_string(int(x.landmarks[k]));
            got.push_back(line);
        }
        EXPECT_EQ(got, c.faces) << c.width << "x" << c.height;
        const auto records = d.Run(frame);
        ASSERT_EQ(records.size(), size_t(n));
        for (uint32_t i = 0; i < n; ++i)
            EXPECT_EQ(Describe(records)[i], Describe(std::vector<NerovaFaceDetail>{details[i]})[0]);
        NerovaFaceDetectorDetailsRelease(details);
    }
    nerova_test::StderrCapture quiet;
    const cv::Mat frame(64, 64, CV_8UC3, cv::Scalar(0, 0, 0));
    const NerovaFrame f = BgrFrame(frame);
    NerovaFaceDetail* details = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(NerovaFaceDetectorProcessDetails(d.handle(), &f, 20, &details, &n),
              NEROVA_ERR_PARAM_RANGE)
        << "a record size this library does not write";
}

TEST(AlignmentTest, LeastSquaresSimilarityOntoTheTemplate) {
    // The template's points at 112 px, rotated by 30 degrees, doubled and shifted: the
    // transform must take them back exactly, at any crop size.
    const double tmpl[5][2] = {{38.2946, 51.6963},
                               {73.5318, 51.5014},
                               {56.0252, 71.7366},
                               {41.5493, 92.3655},
                               {70.7299, 92.2041}};
    const char* five[] = {"right_eye", "left_eye", "nose_tip", "right_mouth_corner",
                          "left_mouth_corner"};
    const char* blaze[] = {"right_eye", "left_eye", "nose_tip", "mouth_centre", "right_ear"};
    const char* one_eye[] = {"right_eye", "nose_tip", "right_mouth_corner", "left_mouth_corner"};
    const double a = 2 * std::cos(0.5236), b = 2 * std::sin(0.5236);
    std::vector<float> placed;
    for (const auto& p : tmpl) {
        placed.push_back(float(a * p[0] - b * p[1] + 300));
        placed.push_back(float(b * p[0] + a * p[1] + 40));
    }
    // For the mouth centre, the mean of the two corners.
    std::vector<float> blaze_points(placed.begin(), placed.begin() + 6);
    blaze_points.push_back((placed[6] + placed[8]) / 2);
    blaze_points.push_back((placed[7] + placed[9]) / 2);
    blaze_points.insert(blaze_points.end(), {0, 0});  // an ear, which no template point uses
    const std::vector<float> same(10, 7.0f);
    const struct {
        const char* what;
        const char* const* names;
        const std::vector<float>& points;
        uint32_t count;
        int32_t size;
        NerovaError code;
    } cases[] = {
        {"five points", five, placed, 5, 112, NEROVA_OK},
        {"five points, 224 px", five, placed, 5, 224, NEROVA_OK},
        {"eyes, nose, mouth centre", blaze, blaze_points, 5, 112, NEROVA_OK},
        {"one eye", one_eye, placed, 4, 112, NEROVA_ERR_PARAM_RANGE},
        {"all on one spot", five, same, 5, 112, NEROVA_ERR_PARAM_RANGE},
        {"size 0", five, placed, 5, 0, NEROVA_ERR_PARAM_RANGE},
        {"no names", nullptr, placed, 5, 112, NEROVA_ERR_PARAM_NULL},
    };
    nerova_test::StderrCapture quiet;
    for (const auto& c : cases) {
        NerovaFaceDetail face{0.9f, 0, 0, 1, 1, c.count, c.points.data()};
        float m[6] = {0};
        ASSERT_EQ(NerovaFaceAlignment(&face, c.names, c.size, m), c.code) << c.what;
        if (c.code != NEROVA_OK) continue;
        const double k = c.size / 112.0;
        for (int i = 0; i < 3; ++i) {  // eyes and nose land on the template's own
            const float x = c.points[2 * i], y = c.points[2 * i + 1];
            EXPECT_NEAR(m[0] * x + m[1] * y + m[2], tmpl[i][0] * k, 0.3 * k) << c.what << i;
            EXPECT_NEAR(m[3] * x + m[4] * y + m[5], tmpl[i][1] * k, 0.3 * k) << c.what << i;
        }
    }
}

TEST(ProcessTest, OddFramesGiveFacesOrACodeWithItsChainAndLeaveTheHandleUsable) {
    const std::string algo = "nerova::module::FaceDetectorAlgorithm::";
    const std::string unreadable =
        LogEntry(algo + "PreProcess", 160, "frame cannot be read (size, stride, plane or format).");
    const NerovaPixelFormat bgr = NEROVA_PIXEL_FORMAT_BGR, gray = NEROVA_PIXEL_FORMAT_GRAY;
    const struct {
        int width, height;
        NerovaPixelFormat format;
        int padding;  // extra bytes per row
        NerovaError code;
        bool null_planes = false;
    } cases[] = {
        {1, 1, bgr, 0, NEROVA_OK},
        {4, 4, bgr, 0, NEROVA_ERR_PARAM_NULL, true},
        {0, 4, bgr, 0, NEROVA_ERR_PARAM_NULL},
        {4, 4, bgr, -1, NEROVA_ERR_PARAM_NULL},  // rows overlap
        {1, 10000, bgr, 0, NEROVA_OK},           // the short side keeps one pixel
        {10000, 1, gray, 3, NEROVA_OK},
        {8000, 8000, gray, 0, NEROVA_OK},
        {40000, 2, gray, 0, NEROVA_ERR_PARAM_NULL},  // beyond the largest side
        {33, 17, NEROVA_PIXEL_FORMAT_NV12, 5, NEROVA_OK},
        {1, 1, NEROVA_PIXEL_FORMAT_NV21, 0, NEROVA_OK},
        {3, 3, NEROVA_PIXEL_FORMAT_YV12, 1, NEROVA_OK},
        {64, 64, static_cast<NerovaPixelFormat>(5), 0, NEROVA_ERR_PARAM_NULL},  // unknown format
    };
    Detector d("bright_score_64.onnx");
    for (const auto& c : cases) {
        const bool yuv =
            c.format >= NEROVA_PIXEL_FORMAT_NV12 && c.format <= NEROVA_PIXEL_FORMAT_YV12;
        const int stride = c.width * (c.format == bgr ? 3 : 1) + yuv + c.padding;
        std::vector<uint8_t> plane(size_t(stride) * c.height, 200);
        NerovaFrame f{c.format, c.width, c.height, {}, {}};
        for (int p = 0; p < 3; ++p) {
            f.data[p] = c.null_planes ? nullptr : plane.data();
            f.stride[p] = stride;
        }
        const std::string what = cv::format("%dx%d format %d", c.width, c.height, c.format);
        NerovaFaceInfo* faces = reinterpret_cast<NerovaFaceInfo*>(0x10);
        uint32_t count = 0;
        nerova_test::StderrCapture capture;
        const NerovaError code = NerovaFaceDetectorProcess(d.handle(), &f, &faces, &count);
        ASSERT_EQ(code, c.code) << what;
        if (code == NEROVA_OK) {
            NerovaFaceDetectorOutputRelease(faces);
            continue;
        }
        EXPECT_EQ(faces, reinterpret_cast<NerovaFaceInfo*>(0x10)) << what;
        EXPECT_EQ(nerova_test::LogChain(capture.Lines()),
                  (std::vector<std::string>{
                      unreadable, LogEntry(algo + "Process", 144, "RETURN_ON_NEQ!"),
                      LogEntry("NerovaFaceDetectorProcess", 51, "algorithm Process failed.")}))
            << what;
        NerovaError next = -1;
        d.Run(BgrFrame(Uniform(16, 16, 104)), &next);
        EXPECT_EQ(next, NEROVA_OK) << what;
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
