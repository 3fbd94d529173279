#include "outputs.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>

namespace fs = std::filesystem;

namespace nerova_tool {
namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), ::tolower);
    return s;
}

// The containers videos are written in; others are written as .avi.
bool VideoContainer(const fs::path& p) {
    const std::string ext = Lower(p.extension().string());
    return ext == ".avi" || ext == ".mp4" || ext == ".m4v" || ext == ".mov" || ext == ".mkv";
}

fs::path Numbered(const fs::path& p, int n) {
    return p.parent_path() / (p.stem().string() + "_" + std::to_string(n) + p.extension().string());
}

// Beside the target so the rename stays on one file system; hidden, and ending with the
// target's extension because the encoders choose the format by it.
fs::path TempFor(const fs::path& target) {
    static std::atomic<unsigned> counter{0};
    return target.parent_path() /
           ("." + target.filename().string() + ".part" + std::to_string(getpid()) + "-" +
            std::to_string(counter++) + target.extension().string());
}

// Moves a complete temporary file onto its target. Without `overwrite` the rename itself
// refuses an existing target, so a file that appeared meanwhile is kept too.
std::string Commit(const fs::path& temp, const fs::path& target, bool overwrite) {
    int rc = overwrite
                 ? std::rename(temp.c_str(), target.c_str())
                 : renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !overwrite && errno == EINVAL) {
        // A file system without the flag: a hard link fails the same way on an existing name.
        rc = link(temp.c_str(), target.c_str());
        if (rc == 0) unlink(temp.c_str());
    }
    if (rc == 0) return "";
    const std::string reason =
        errno == EEXIST ? "it exists (--overwrite replaces it)" : std::strerror(errno);
    std::error_code ec;
    fs::remove(temp, ec);
    return reason;
}

std::string MakeParent(const fs::path& target) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    return ec ? ec.message() : "";
}

}  // namespace

std::vector<Output> PlanOutputs(const std::vector<Input>& inputs, const fs::path& dir,
                                bool overwrite, std::vector<std::string>& warnings) {
    std::set<fs::path> sources;
    for (const Input& in : inputs) {
        std::error_code ec;
        sources.insert(fs::weakly_canonical(in.path, ec));
    }
    std::set<fs::path> taken;
    std::vector<Output> out;
    for (const Input& in : inputs) {
        fs::path wanted = (dir / in.relative).lexically_normal();
        if (in.video && !VideoContainer(wanted)) wanted += ".avi";
        fs::path path = wanted;
        for (int n = 1; taken.count(path); ++n) path = Numbered(wanted, n);
        if (path != wanted)
            warnings.push_back(in.path + ": " + wanted.string() +
                               " is taken by another input; writing " + path.string());
        taken.insert(path);
        Output o{path, ""};
        std::error_code ec;
        if (sources.count(fs::weakly_canonical(path, ec)))
            o.refusal = "it is an input";
        else if (!overwrite && fs::exists(fs::symlink_status(path, ec)))
            o.refusal = "it exists (--overwrite replaces it)";
        out.push_back(o);
    }
    return out;
}

std::string WriteImage(const fs::path& target, const cv::Mat& bgr, bool overwrite) {
    std::vector<uchar> bytes;
    try {
        const std::string ext = Lower(target.extension().string());
        cv::Mat image = bgr;
        // The portable gray and bitmap formats take one channel only.
        if (ext == ".pgm" || ext == ".pbm") cv::cvtColor(bgr, image, cv::COLOR_BGR2GRAY);
        if (!cv::imencode(ext, image, bytes)) return "cannot encode " + ext;
    } catch (const cv::Exception& e) {
        return e.what();
    }
    if (std::string err = MakeParent(target); !err.empty()) return err;
    const fs::path temp = TempFor(target);
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return std::strerror(errno);
    size_t done = 0;
    int err = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && !err) err = errno;
    if (err) {
        unlink(temp.c_str());
        return std::strerror(err);
    }
    return Commit(temp, target, overwrite);
}

bool OpenVideo(const std::string& path, cv::VideoCapture& video) {
    for (const int api : {cv::CAP_FFMPEG, cv::CAP_OPENCV_MJPEG}) {
        try {
            if (video.open(path, api)) return true;
        } catch (const cv::Exception&) {
        }
    }
    return false;
}

}  // namespace nerova_tool
