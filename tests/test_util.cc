#include "test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>
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

StderrCapture::StderrCapture() {
    char tmpl[] = "/tmp/nerova_stderr_XXXXXX";
    const int fd = ::mkstemp(tmpl);
    file_ = tmpl;
    std::fflush(stderr);
    saved_fd_ = ::dup(2);
    ::dup2(fd, 2);
    ::close(fd);
}

StderrCapture::~StderrCapture() { Stop(); }

std::string StderrCapture::Stop() {
    if (stopped_) return text_;
    std::fflush(stderr);
    ::dup2(saved_fd_, 2);
    ::close(saved_fd_);
    text_ = ReadFile(file_);
    ::unlink(file_.c_str());
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
    // The file field is the source path inside the build tree, with its extension.
    const std::string tail = "/" + file + ".cc] " + LogEntry(function, line_no, message);
    return line.rfind("E/nerova: [File ", 0) == 0 && line.size() >= tail.size() &&
           line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
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

std::vector<FormatFrame> EveryPixelFormat(int width, int height) {
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
    std::vector<FormatFrame> out;
    for (const auto& f : formats) {
        FormatFrame c{f.format, f.pixels,
                      NerovaFrame{f.format, width, height, {f.pixels.data}, {int(f.pixels.step)}},
                      f.pixels.clone()};
        if (f.to_bgr >= 0) cv::cvtColor(f.pixels, c.bgr, f.to_bgr);
        const uint8_t* chroma = f.pixels.data + static_cast<size_t>(height) * width;
        if (f.format == NEROVA_PIXEL_FORMAT_YV12) {  // V plane, then U plane
            c.frame.data[1] = chroma;
            c.frame.data[2] = chroma + static_cast<size_t>(height / 2) * (width / 2);
            c.frame.stride[1] = c.frame.stride[2] = width / 2;
        } else if (f.format >= NEROVA_PIXEL_FORMAT_NV12) {
            c.frame.data[1] = chroma;
            c.frame.stride[1] = width;
        }
        out.push_back(c);
    }
    return out;
}

}  // namespace nerova_test
