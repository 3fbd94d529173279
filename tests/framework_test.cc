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
    for (const auto& c : nerova_test::EveryPixelFormat(10, 6)) {
        cv::Mat rgb, gray;
        cv::cvtColor(c.bgr, rgb, cv::COLOR_BGR2RGB);
        cv::cvtColor(c.bgr, gray, cv::COLOR_BGR2GRAY);
        const struct {
            NerovaPixelFormat target;
            const cv::Mat& want;
        } targets[] = {{NEROVA_PIXEL_FORMAT_BGR, c.bgr},
                       {NEROVA_PIXEL_FORMAT_RGB, rgb},
                       {NEROVA_PIXEL_FORMAT_GRAY, gray}};
        for (const auto& t : targets) {
            const cv::Mat got = FrameConverter::FrameToMat(&c.frame, t.target);
            ASSERT_EQ(got.type(), t.want.type()) << c.format << " to " << t.target;
            ASSERT_EQ(got.size(), t.want.size()) << c.format << " to " << t.target;
            EXPECT_EQ(cv::norm(got, t.want, cv::NORM_INF), 0) << c.format << " to " << t.target;
        }
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
