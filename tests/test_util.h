// Helpers shared by the tests: temporary model directories, stderr capture, frames.
#ifndef NEROVA_TESTS_TEST_UTIL_H_
#define NEROVA_TESTS_TEST_UTIL_H_

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nerova/nerova_defines.h"

namespace nerova_test {

// A fresh directory under the system's temporary folder, removed with its files.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes bytes to path()/name (creating parent folders) and returns the full path.
    std::string Write(const std::string& name, const std::string& bytes) const;

  private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
// Path of a generated test network (see make_test_models.py).
std::string TestModel(const std::string& name);

// Captures everything written to the standard error stream between construction and Stop.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string Stop();
    // The non-empty lines captured.
    std::vector<std::string> Lines();

  private:
    int saved_fd_ = -1;
    std::string file_;
    bool stopped_ = false;
    std::string text_;
};

// "E/nerova: [File <...>/<file>.cc] [Function <function>] [Line <line>] <message>"
bool IsLogLine(const std::string& line, const std::string& file, const std::string& function,
               int line_no, const std::string& message);

// "[Function F] [Line L] M" of each captured log line, innermost first.
std::vector<std::string> LogChain(const std::vector<std::string>& lines);
std::string LogEntry(const std::string& function, int line, const std::string& message);

// A BGR frame over the matrix's memory.
NerovaFrame BgrFrame(const cv::Mat& bgr);

// A frame of random colours in one pixel format (over padded rows where the format is
// interleaved), and OpenCV's own BGR conversion of the same pixels. width and height even.
struct FormatFrame {
    NerovaPixelFormat format;
    cv::Mat pixels;  // the frame's memory
    NerovaFrame frame;
    cv::Mat bgr;
};
std::vector<FormatFrame> EveryPixelFormat(int width, int height);

// A model directory: `onnx_source` copied in as model.onnx beside an inference.json with
// `json` (by default an ONNX model on the CPU). Returns the model file's path.
std::string MakeModelDir(const TempDir& dir, const std::string& onnx_source,
                         const std::string& json = R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
                           "NetworkConfig": {"DeviceType": "DEVICE_X86"}})");

}  // namespace nerova_test

#endif  // NEROVA_TESTS_TEST_UTIL_H_
