// What the library does for its hosts beside detection: models by name or path, and the
// log sink.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace {

using nerova_test::TempDir;

// Sets an environment variable for one scope.
class Env {
  public:
    Env(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, had_ = true;
        setenv(name, value.c_str(), 1);
    }
    ~Env() { had_ ? setenv(name_, old_.c_str(), 1) : unsetenv(name_); }

  private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

TEST(FindModelTest, FilesDirectoriesAndNamesInTheModelFolders) {
    TempDir a, b;
    a.Write("plain/model.onnx", "x");
    a.Write("plain/inference.json", "{}");
    b.Write("plain/model.onnx", "shadowed by the first folder");
    b.Write("plain/inference.json", "{}");
    b.Write("other/net_b.onnx", "x");
    b.Write("other/net_a.onnx", "x");
    b.Write("other/inference.json", "{}");
    b.Write("no_config/model.onnx", "x");  // no inference.json: no model directory
    const Env env("NEROVA_MODELS", a.path() + "::" + b.path());
    struct Row {
        std::string given, want;
        NerovaError code;
    } rows[] = {
        {"plain", a.path() + "/plain/model.onnx", NEROVA_OK},
        {"other", b.path() + "/other/net_a.onnx", NEROVA_OK},
        {a.path() + "/plain", a.path() + "/plain/model.onnx", NEROVA_OK},
        {b.path() + "/other/net_b.onnx", b.path() + "/other/net_b.onnx", NEROVA_OK},
        {"/no/such/model.onnx", "/no/such/model.onnx", NEROVA_OK},
        {"no_config", "", NEROVA_ERR_MODEL_PATH},
        {"missing", "", NEROVA_ERR_MODEL_PATH},
        {"", "", NEROVA_ERR_MODEL_PATH},
    };
    for (const Row& r : rows) {
        char path[4096] = "untouched";
        EXPECT_EQ(NerovaFaceDetectorFindModel(r.given.c_str(), path, sizeof path), r.code)
            << r.given;
        EXPECT_EQ(std::string(path), r.code == NEROVA_OK ? r.want : "untouched") << r.given;
    }
    char folders[4096];
    ASSERT_EQ(NerovaFaceDetectorModelFolders(folders, sizeof folders), NEROVA_OK);
    EXPECT_EQ(std::string(folders).rfind(a.path() + ":" + b.path() + ":", 0), 0u) << folders;
    char small[8];
    EXPECT_EQ(NerovaFaceDetectorFindModel("plain", small, sizeof small), NEROVA_ERR_PARAM_RANGE);
    EXPECT_EQ(NerovaFaceDetectorModelFolders(small, sizeof small), NEROVA_ERR_PARAM_RANGE);
    EXPECT_EQ(NerovaFaceDetectorFindModel(nullptr, folders, 1), NEROVA_ERR_PARAM_NULL);
    EXPECT_EQ(NerovaFaceDetectorFindModel("plain", nullptr, 1), NEROVA_ERR_PARAM_NULL);
}

TEST(LogSinkTest, LinesGoToTheSinkNowhereOrStandardErrorByLevel) {
    std::vector<std::string> lines;
    const NerovaLogSink keep = [](int32_t, const char* line, void* user) {
        static_cast<std::vector<std::string>*>(user)->push_back(line);
    };
    void* handle = nullptr;
    const auto fail = [&] {
        NerovaFaceDetectorCreate("/no/such/model.onnx", "", nullptr, &handle);
    };
    struct Row {
        const char* what;
        bool captured;
        int32_t level;
        size_t lines, stderr_lines;
    } rows[] = {
        {"captured", true, NEROVA_LOG_DEBUG, 3, 0},
        {"captured, errors only", true, NEROVA_LOG_ERROR, 3, 0},
        {"captured, none", true, NEROVA_LOG_NONE, 0, 0},
        {"silenced", false, NEROVA_LOG_DEBUG, 0, 0},
    };
    for (const Row& r : rows) {
        lines.clear();
        ASSERT_EQ(NerovaSetLogSink(r.captured ? keep : nullptr, &lines), NEROVA_OK);
        ASSERT_EQ(NerovaSetLogLevel(r.level), NEROVA_OK);
        nerova_test::StderrCapture capture;
        fail();
        EXPECT_EQ(capture.Lines().size(), r.stderr_lines) << r.what;
        EXPECT_EQ(lines.size(), r.lines) << r.what;
    }
    EXPECT_EQ(lines.size(), 0u);
    NerovaSetLogLevel(NEROVA_LOG_DEBUG);
    NerovaSetLogSink(keep, &lines);
    fail();
    ASSERT_EQ(lines.size(), 3u);
    // No build machine's path: files are named from the source tree.
    EXPECT_EQ(lines[0].rfind("E/nerova: [File module/face_detector/face_detector.cc] ", 0), 0u)
        << lines[0];
    NerovaSetLogSink(NerovaLogToStderr, nullptr);
    nerova_test::StderrCapture capture;
    fail();
    EXPECT_EQ(capture.Lines().size(), 3u);
    EXPECT_EQ(NerovaSetLogLevel(NEROVA_LOG_NONE + 1), NEROVA_ERR_PARAM_RANGE);
}

}  // namespace
