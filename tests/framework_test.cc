// The module framework: model directory access and the conversion of host frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/imgproc.hpp>

#include "nerova/module_common.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::TempDir;

TEST(ModelTest, ParseAndFileAccess) {
    TempDir dir;
    const std::string file = dir.Write("m.onnx", "bytes");
    dir.Write("sub/other.onnx", "nested files are not the model's");
    dir.Write("a_backup.onnx", "a stray file that sorts first");
    // Sparse: past the size cap without taking the disk space.
    ASSERT_EQ(truncate(dir.Write("huge.bin", "").c_str(), Model::kMaxFileBytes + 1), 0);
    struct Case {
        std::string extra, path;
        NerovaError code;
    };
    const Case cases[] = {
        {"", file, NEROVA_OK},
        {"", "", NEROVA_ERR_MODEL_PATH},
        {"", dir.path(), NEROVA_ERR_MODEL_PATH},
        {"", dir.path() + "/missing.onnx", NEROVA_ERR_MODEL_PATH},
        {dir.path() + "/no_such_dir", file, NEROVA_ERR_MODEL_DIR},
        {dir.path() + "/sub", file, NEROVA_OK},
    };
    for (const Case& c : cases) {
        Model model(c.extra, c.path);
        EXPECT_EQ(model.Parse(), c.code) << c.extra << " | " << c.path;
    }
    Model model("", file);
    char* content = nullptr;
    unsigned long long size = 0;
    EXPECT_EQ(model.GetFileContent("m.onnx", &content, &size), NEROVA_ERR_MODEL_NOT_PARSED);
    ASSERT_EQ(model.Parse(), NEROVA_OK);
    EXPECT_EQ(model.GetFileContent("m.onnx", nullptr, &size), NEROVA_ERR_PARAM_NULL);
    EXPECT_EQ(model.GetFileContent("sub", &content, &size), NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    EXPECT_EQ(model.GetFileContent("../m.onnx", &content, &size), NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    ASSERT_EQ(model.GetFileContent("m.onnx", &content, &size), NEROVA_OK);
    EXPECT_EQ(std::string(content, size), "bytes");
    char* again = nullptr;
    ASSERT_EQ(model.GetFileContentBySuffix(".onnx", &again, &size), NEROVA_OK);
    EXPECT_EQ(again, content) << "the named file wins; bytes are read once and stay";
    EXPECT_EQ(model.GetFileContent("huge.bin", &content, &size), NEROVA_ERR_MODEL_FILE_TOO_LARGE);
}

TEST(FrameToMatTest, EveryFormatIsOpenCvsConversionOfTheSamePixels) {
    const int width = 10, height = 6;
    cv::RNG rng(20);
    auto random = [&](int rows, int type) {
        cv::Mat m(rows, width, type);
        rng.fill(m, cv::RNG::UNIFORM, 0, 256);
        return m;
    };
    // Rows three pixels longer than the image, so that a stride mistake shows.
    auto padded = [](const cv::Mat& m) {
        cv::Mat wide(m.rows, m.cols + 3, m.type(), cv::Scalar::all(0));
        cv::Mat roi = wide.colRange(0, m.cols);
        m.copyTo(roi);
        return roi;
    };
    // Coloured, so that a channel or chroma plane taken for another shows.
    const cv::Mat bgr = random(height, CV_8UC3);
    cv::Mat rgb, bgra, rgba;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    const cv::Mat yuv = random(height * 3 / 2, CV_8UC1);  // luma, then chroma
    const struct {
        NerovaPixelFormat format;
        cv::Mat pixels;
        int to_bgr;  // -1: the pixels are BGR already
    } formats[] = {
        {NEROVA_PIXEL_FORMAT_BGR, padded(bgr), -1},
        {NEROVA_PIXEL_FORMAT_RGB, padded(rgb), cv::COLOR_RGB2BGR},
        {NEROVA_PIXEL_FORMAT_BGRA, padded(bgra), cv::COLOR_BGRA2BGR},
        {NEROVA_PIXEL_FORMAT_RGBA, padded(rgba), cv::COLOR_RGBA2BGR},
        {NEROVA_PIXEL_FORMAT_GRAY, padded(random(height, CV_8UC1)), cv::COLOR_GRAY2BGR},
        {NEROVA_PIXEL_FORMAT_NV12, yuv, cv::COLOR_YUV2BGR_NV12},
        {NEROVA_PIXEL_FORMAT_NV21, yuv, cv::COLOR_YUV2BGR_NV21},
        {NEROVA_PIXEL_FORMAT_YV12, yuv, cv::COLOR_YUV2BGR_YV12},
    };
    for (const auto& f : formats) {
        NerovaFrame frame{f.format, width, height, {f.pixels.data}, {int(f.pixels.step)}};
        const uint8_t* chroma = f.pixels.data + height * width;
        if (f.format == NEROVA_PIXEL_FORMAT_YV12) {  // V plane, then U plane
            frame.data[1] = chroma;
            frame.data[2] = chroma + (height / 2) * (width / 2);
            frame.stride[1] = frame.stride[2] = width / 2;
        } else if (f.format >= NEROVA_PIXEL_FORMAT_NV12) {
            frame.data[1] = chroma;
            frame.stride[1] = width;
        }
        cv::Mat want[3] = {f.pixels.clone()};  // BGR, RGB, gray
        if (f.to_bgr >= 0) cv::cvtColor(f.pixels, want[0], f.to_bgr);
        cv::cvtColor(want[0], want[1], cv::COLOR_BGR2RGB);
        cv::cvtColor(want[0], want[2], cv::COLOR_BGR2GRAY);
        const NerovaPixelFormat targets[] = {NEROVA_PIXEL_FORMAT_BGR, NEROVA_PIXEL_FORMAT_RGB,
                                             NEROVA_PIXEL_FORMAT_GRAY};
        for (int t = 0; t < 3; ++t) {
            const cv::Mat got = FrameConverter::FrameToMat(&frame, targets[t]);
            ASSERT_EQ(got.type(), want[t].type()) << f.format << " to " << targets[t];
            ASSERT_EQ(got.size(), want[t].size()) << f.format << " to " << targets[t];
            EXPECT_EQ(cv::norm(got, want[t], cv::NORM_INF), 0) << f.format << " to " << targets[t];
        }
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
