#include "test_util.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace nerova_test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "nerova_test_XXXXXX").string();
    if (!::mkdtemp(&tmpl[0])) std::abort();
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
    const fs::path full = fs::path(path_) / name;
    fs::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return full.string();
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string TestModel(const std::string& name) {
    return std::string(NEROVA_TEST_MODELS) + "/" + name;
}

// GoogleTest's own capture redirects the file descriptor, so the library's direct writes
// are caught too.
StderrCapture::StderrCapture() { testing::internal::CaptureStderr(); }

StderrCapture::~StderrCapture() { Stop(); }

std::string StderrCapture::Stop() {
    if (!stopped_) text_ = testing::internal::GetCapturedStderr();
    stopped_ = true;
    return text_;
}

std::vector<std::string> StderrCapture::Lines() {
    std::istringstream in(Stop());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

bool IsLogLine(const std::string& line, const std::string& file, const std::string& function,
               int line_no, const std::string& message) {
    // The file field is the source path inside the source tree, with its extension; file may
    // name it whole or by its last folders.
    const std::string tail = file + ".cc] " + LogEntry(function, line_no, message);
    if (line.rfind("E/nerova: [File ", 0) != 0 || line.size() <= tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const char before = line[line.size() - tail.size() - 1];
    return before == '/' || before == ' ';
}

std::vector<std::string> LogChain(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        const size_t at = l.find("[Function ");
        out.push_back(at == std::string::npos ? l : l.substr(at));
    }
    return out;
}

std::string LogEntry(const std::string& function, int line, const std::string& message) {
    return "[Function " + function + "] [Line " + std::to_string(line) + "] " + message;
}

NerovaFrame BgrFrame(const cv::Mat& bgr) {
    return NerovaFrame{
        NEROVA_PIXEL_FORMAT_BGR, bgr.cols, bgr.rows, {bgr.data}, {int32_t(bgr.step[0])}};
}

const char kCpuJson[] =
    R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceType": "DEVICE_X86"}})";

std::string MakeModelDir(const TempDir& dir, const std::string& onnx_source,
                         const std::string& json) {
    dir.Write("inference.json", json);
    return dir.Write("model.onnx", ReadFile(onnx_source));
}

Detector::Detector(const std::string& model, const std::string& json,
                   const NerovaCustomRuntime* runtime) {
    const std::string path = MakeModelDir(dir_, TestModel(model), json);
    EXPECT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", runtime, &handle_), NEROVA_OK) << model;
}

Detector::~Detector() { NerovaFaceDetectorDestroy(handle_); }

std::vector<NerovaFaceInfo> Detector::Run(const NerovaFrame& frame, NerovaError* code) const {
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

std::shared_ptr<nerova::Blob> RandomInput(const std::vector<int>& dims, unsigned seed) {
    nerova::BlobDesc desc;
    desc.device_type = NEROVA_DEVICE_X86;
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = dims;
    auto blob = std::make_shared<nerova::Blob>(desc, true);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    float* data = static_cast<float*>(blob->GetHandle().base);
    for (size_t i = 0; i < nerova::Blob::BytesOf(desc) / sizeof(float); ++i) data[i] = value(rng);
    return blob;
}

}  // namespace nerova_test
