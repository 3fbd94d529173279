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

#include "nerova_face_detector.h"

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
    char reason[512];
    return NerovaWriteFile(target.c_str(), bytes.data(), bytes.size(), overwrite, reason,
                           sizeof reason) == NEROVA_OK
               ? ""
               : reason;
}

bool OpenVideo(const std::string& path, cv::VideoCapture& video) {
    if (path == "-") return video.open("pipe:0", cv::CAP_FFMPEG);
    if (path.rfind("/dev/", 0) == 0) {
        try {
            if (video.open(path, cv::CAP_V4L2)) return true;
        } catch (const cv::Exception&) {
        }
    }
    for (const int api : {cv::CAP_FFMPEG, cv::CAP_OPENCV_MJPEG}) {
        try {
            if (video.open(path, api)) return true;
        } catch (const cv::Exception&) {
        }
    }
    return false;
}

}  // namespace nerova_tool
