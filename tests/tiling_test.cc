// Tiled detection in the library: the grid, views into every pixel format, the edge rule,
// and the hosts' option text.
#include "face_detector/tiling.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::Detector;

TEST(TilingTest, GridsCoverTheFrameWithEvenOriginsAndOverlap) {
    struct Row {
        int width, height, input, rows, cols;
        size_t tiles;
    } rows[] = {
        {500, 347, 256, 0, 0, 4},                              // the group sample: 2 x 2
        {1920, 1080, 256, 0, 0, 12},                           // 3 x 4
        {256, 200, 256, 0, 0, 0},                              // fits the input: no tiles
        {640, 480, 256, 1, 1, 0},                              // off
        {640, 480, 256, 3, 2, 6},    {5, 3, 256, 16, 16, 15},  // never a tile of no pixel
    };
    for (const Row& r : rows) {
        const std::vector<Tile> tiles =
            TileGrid(r.width, r.height, r.input, r.input, r.rows, r.cols);
        ASSERT_EQ(tiles.size(), r.tiles) << r.width << "x" << r.height;
        cv::Mat covered(r.height, r.width, CV_8U, cv::Scalar(0));
        for (const Tile& t : tiles) {
            EXPECT_EQ(t.x % 2 + t.y % 2, 0);
            ASSERT_TRUE(t.x >= 0 && t.y >= 0 && t.width > 0 && t.height > 0 &&
                        t.x + t.width <= r.width && t.y + t.height <= r.height);
            covered(cv::Rect(t.x, t.y, t.width, t.height)).setTo(1);
        }
        if (!tiles.empty()) {
            EXPECT_EQ(cv::countNonZero(covered), r.width * r.height);
        }
    }
}

TEST(TilingTest, OptionTextAndRefusals) {
    // The hosts' tests read "auto", "2X3" and out-of-range grids; here the shapes of text
    // a lenient parser would take.
    for (const char* bad : {"2x", "x2", "+2x2", " 2x2", "2x2x2", "AUTO", ""}) {
        int32_t rows = -1, cols = -1;
        EXPECT_EQ(NerovaFaceDetectorParseTiles(bad, &rows, &cols), NEROVA_ERR_PARAM_RANGE) << bad;
        EXPECT_EQ(std::make_pair(rows, cols), std::make_pair(-1, -1)) << bad;
    }
    const Detector d("fixed_rows_320.onnx");
    for (const auto& bad : std::vector<std::pair<int, int>>{{0, 1}, {1, 0}, {17, 2}, {-1, -1}})
        EXPECT_EQ(NerovaFaceDetectorSetTiles(d.handle(), bad.first, bad.second),
                  NEROVA_ERR_PARAM_RANGE);
    int32_t r = 0, c = 0;
    ASSERT_EQ(NerovaFaceDetectorGetTiles(d.handle(), &r, &c), NEROVA_OK);
    EXPECT_EQ(std::make_pair(r, c), std::make_pair(1, 1));
}

// The fixed-rows network answers the same rows whatever the pixels, so every pixel format of
// one frame must give the same tiled faces: any error in a view's planes shows as a
// difference (or, under AddressSanitizer, as a read outside the host's buffer).
TEST(TilingTest, EveryPixelFormatTilesTheSameAndTilesAddFaces) {
    const Detector d("fixed_rows_320.onnx");
    ASSERT_EQ(NerovaFaceDetectorSetTopK(d.handle(), 100), NEROVA_OK);
    // Its rows sit at fixed places of any input, which no second look confirms.
    ASSERT_EQ(NerovaFaceDetectorSetConfirmation(d.handle(), 0), NEROVA_OK);
    for (const cv::Size size : {cv::Size(1280, 640), cv::Size(1281, 641)}) {
        const cv::Mat bgr(size, CV_8UC3, cv::Scalar(104, 117, 123));
        const std::vector<NerovaFaceInfo> whole = d.Run(bgr);
        ASSERT_EQ(NerovaFaceDetectorSetTiles(d.handle(), 2, 2), NEROVA_OK);
        const std::vector<NerovaFaceInfo> tiled_faces = d.Run(bgr);
        const std::vector<std::string> tiled = nerova_test::Describe(tiled_faces);
        EXPECT_GT(tiled.size(), whole.size());
        // Only small faces come from the tiles: one the whole frame shows at 24 px or more
        // (a quarter of the frame's pixels per input pixel here) is the whole frame's.
        const std::vector<std::string> whole_text = nerova_test::Describe(whole);
        for (const NerovaFaceInfo& f : tiled_faces) {
            const bool from_tile =
                std::find(whole_text.begin(), whole_text.end(),
                          nerova_test::Describe(std::vector<NerovaFaceInfo>{f})[0]) ==
                whole_text.end();
            if (from_tile) {
                EXPECT_LT(std::max(f.x2 - f.x1, f.y2 - f.y1) * 0.25, 24.0);
            }
        }
        cv::Mat gray, bgra, i420;
        cv::cvtColor(bgr, gray, cv::COLOR_BGR2GRAY);
        cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
        // 4:2:0 planes of the frame's (even-rounded) size, exactly as large as the format
        // needs, each in its own buffer so that a read past one is caught.
        const int cw = (size.width + 1) / 2, ch = (size.height + 1) / 2;
        std::vector<uint8_t> y(size_t(size.width) * size.height, 120), uv(size_t(cw) * 2 * ch, 128),
            u(size_t(cw) * ch, 128), v(size_t(cw) * ch, 128);
        const auto frame = [&](NerovaPixelFormat f, const uint8_t* p0, int s0, const uint8_t* p1,
                               int s1, const uint8_t* p2, int s2) {
            return NerovaFrame{f, size.width, size.height, {p0, p1, p2}, {s0, s1, s2}};
        };
        const NerovaFrame frames[] = {
            frame(NEROVA_PIXEL_FORMAT_GRAY, gray.data, int(gray.step), nullptr, 0, nullptr, 0),
            frame(NEROVA_PIXEL_FORMAT_BGRA, bgra.data, int(bgra.step), nullptr, 0, nullptr, 0),
            frame(NEROVA_PIXEL_FORMAT_NV12, y.data(), size.width, uv.data(), cw * 2, nullptr, 0),
            frame(NEROVA_PIXEL_FORMAT_NV21, y.data(), size.width, uv.data(), cw * 2, nullptr, 0),
            frame(NEROVA_PIXEL_FORMAT_YV12, y.data(), size.width, v.data(), cw, u.data(), cw),
        };
        for (const NerovaFrame& f : frames)
            EXPECT_EQ(nerova_test::Describe(d.Run(f)), tiled) << f.pixel_format << " " << size;
        ASSERT_EQ(NerovaFaceDetectorSetTiles(d.handle(), 1, 1), NEROVA_OK);
        EXPECT_EQ(nerova_test::Describe(d.Run(bgr)), nerova_test::Describe(whole));
    }
}

TEST(TilingTest, BoxesAtInnerEdgesAreCutOnlyThere) {
    const Tile inner{100, 100, 200, 200}, corner{0, 0, 200, 200};
    struct Row {
        FaceBox box;
        bool cut_inner, cut_corner;
    } rows[] = {
        {{0.9f, 50, 50, 80, 80}, false, false},
        {{0.9f, 2.5f, 50, 30, 80}, true, false},  // at the left edge: the frame's for corner
        {{0.9f, 50, 50, 80, 198}, true, true},    // at the bottom edge, inner for both
        {{0.9f, 3.0f, 3.0f, 30, 30}, false, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(CutByInnerEdge(r.box, inner, 1000, 1000), r.cut_inner) << r.box.x1;
        EXPECT_EQ(CutByInnerEdge(r.box, corner, 1000, 1000), r.cut_corner) << r.box.x1;
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
