#include "test_util.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
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
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
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
    const std::string head = "E/nerova: [File ";
    if (line.compare(0, head.size(), head) != 0) return false;
    const std::string tail =
        "] [Function " + function + "] [Line " + std::to_string(line_no) + "] " + message;
    if (line.size() < tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string path = line.substr(head.size(), line.size() - tail.size() - head.size());
    // The file field is the source path inside the build tree, with its extension.
    const std::string want = "/" + file + ".cc";
    return path.size() >= want.size() &&
           path.compare(path.size() - want.size(), want.size(), want) == 0;
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
    NerovaFrame frame{};
    frame.pixel_format = NEROVA_PIXEL_FORMAT_BGR;
    frame.width = bgr.cols;
    frame.height = bgr.rows;
    frame.data[0] = bgr.data;
    frame.stride[0] = static_cast<int32_t>(bgr.step[0]);
    return frame;
}

}  // namespace nerova_test

namespace nerova_test {

std::string MakeModelDir(const TempDir& dir, const std::string& onnx_source,
                         const std::string& json) {
    dir.Write("inference.json", json);
    return dir.Write("model.onnx", ReadFile(onnx_source));
}

}  // namespace nerova_test
