// Helpers shared by the tests: temporary model directories, stderr capture, frames.
#ifndef NEROVA_TESTS_TEST_UTIL_H_
#define NEROVA_TESTS_TEST_UTIL_H_

#include <cstdio>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nerova/kernel.h"
#include "nerova_face_detector.h"

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

extern const char kCpuJson[];  // inference.json of an ONNX model on the CPU

// A model directory: `onnx_source` copied in as model.onnx beside an inference.json with
// `json`. Returns the model file's path.
std::string MakeModelDir(const TempDir& dir, const std::string& onnx_source,
                         const std::string& json = kCpuJson);

// A detector made through the C interface on a generated network (TestModel) in a model
// directory of its own, destroyed with the object; its creation is expected to succeed.
class Detector {
  public:
    explicit Detector(const std::string& model, const std::string& json = kCpuJson,
                      const NerovaCustomRuntime* runtime = nullptr);
    ~Detector();
    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;
    void* handle() const { return handle_; }
    // Runs one frame; the faces, none when the code is not NEROVA_OK.
    std::vector<NerovaFaceInfo> Run(const NerovaFrame& frame, NerovaError* code = nullptr) const;
    std::vector<NerovaFaceInfo> Run(const cv::Mat& bgr) const { return Run(BgrFrame(bgr)); }

  private:
    TempDir dir_;
    void* handle_ = nullptr;
};

// "score x1 y1 x2 y2" per face or box, for comparing whole lists at once.
template <typename T>
std::vector<std::string> Describe(const std::vector<T>& boxes) {
    std::vector<std::string> out;
    char buf[96];
    for (const T& b : boxes) {
        std::snprintf(buf, sizeof buf, "%.3f %g %g %g %g", b.score, double(b.x1), double(b.y1),
                      double(b.x2), double(b.y2));
        out.push_back(buf);
    }
    return out;
}

// A float NCHW tensor of the given dims, uniform in [-2, 2) from a fixed seed.
std::shared_ptr<nerova::Blob> RandomInput(const std::vector<int>& dims, unsigned seed);

}  // namespace nerova_test

#endif  // NEROVA_TESTS_TEST_UTIL_H_
