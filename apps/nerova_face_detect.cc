// nerova-face-detect: detects faces in images, folders of images and videos, and prints one
// JSON object per image or frame. It is a host of the library's C interface and of nothing
// else: it links the library and includes only its public headers.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <vector>

#include "nerova_face_detector.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultModel = "face_detector_back_256";
constexpr int kDefaultTopK = 100;

constexpr const char* kTool = "nerova-face-detect";

enum ExitCode { kExitOk = 0, kExitInputFailed = 1, kExitUsage = 2, kExitModel = 3 };

struct Options {
    std::string model;
    std::vector<std::string> inputs;
    int threads = 0;  // 0: keep the model's configuration
    std::string device;
    bool set_score = false, set_nms = false;  // otherwise the library's own
    float score_threshold = 0, nms_threshold = 0;
    int top_k = kDefaultTopK;
    std::string pixel_format = "BGR";
    std::string draw_dir;
    int every = 1;
};

const char kHelp[] =
    "Usage: nerova-face-detect [options] INPUT...\n"
    "Detects faces in image files, folders of images (searched recursively, sorted) and\n"
    "video files, and prints one JSON object per image or video frame on standard output:\n"
    "  {\"image\": PATH, \"frame\": N (videos only), \"width\": W, \"height\": H,\n"
    "   \"faces\": [{\"score\": S, \"box\": [x1, y1, x2, y2]}, ...], \"ms\": T}\n"
    "A summary goes to standard error at the end.\n\n"
    "Options:\n"
    "  --model PATH            model file inside a model directory (default: the bundled\n"
    "                          %s model)\n"
    "  --threads N             inference threads, 1 to %d (default: the model's\n"
    "                          configuration; with --device alone, 1)\n"
    "  --device NAME           device, e.g. DEVICE_X86, DEVICE_CUDA; an unavailable device\n"
    "                          falls back to the CPU (default: the model's configuration;\n"
    "                          with --threads alone, DEVICE_X86)\n"
    "  --score-threshold S     lowest face score kept, 0 to 1 (default: the library's, 0.95)\n"
    "  --nms-threshold T       overlap above which a box is suppressed, 0 to 1 (default: 0.7)\n"
    "  --top-k K               candidates kept per frame, 1 to 100000 (default: %d)\n"
    "  --pixel-format NAME     feed frames as BGR, RGB, BGRA, RGBA, GRAY, NV12, NV21 or YV12,\n"
    "                          converted from the decoded image (default: BGR)\n"
    "  --draw DIR              write each image or frame with its boxes and scores to DIR\n"
    "  --every N               process every N-th frame of videos (default: 1)\n"
    "  --version               show the tool's and the library's versions\n"
    "  --help                  show this text\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n\n"
    "Exit status: 0 success; 1 some inputs could not be read (the others are processed);\n"
    "2 bad argument; 3 the model cannot be loaded.\n";

fs::path ExecutableDir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

std::string DefaultModel() {
    const fs::path dir = ExecutableDir();
    // Installed beside bin/, else the source tree this tool was built from.
    const fs::path roots[] = {dir / ".." / "share" / "nerova" / "models",
                              fs::path(NEROVA_MODELS_SOURCE_DIR)};
    for (const fs::path& root : roots) {
        const fs::path model = root / kDefaultModel / "model.onnx";
        if (fs::exists(model)) return model.lexically_normal().string();
    }
    return "";
}

struct DeviceName {
    const char* name;
    NerovaDeviceType type;
};
const DeviceName kDevices[] = {
    {"DEVICE_NAIVE", NEROVA_DEVICE_NAIVE},
    {"DEVICE_X86", NEROVA_DEVICE_X86},
    {"DEVICE_ARM", NEROVA_DEVICE_ARM},
    {"DEVICE_OPENCL", NEROVA_DEVICE_OPENCL},
    {"DEVICE_METAL", NEROVA_DEVICE_METAL},
    {"DEVICE_CUDA", NEROVA_DEVICE_CUDA},
    {"DEVICE_DSP", NEROVA_DEVICE_DSP},
    {"DEVICE_ATLAS", NEROVA_DEVICE_ATLAS},
    {"DEVICE_HUAWEI_NPU", NEROVA_DEVICE_HUAWEI_NPU},
    {"DEVICE_RK_NPU", NEROVA_DEVICE_RK_NPU},
    {"DEVICE_OPENGL", NEROVA_DEVICE_OPENGL},
    {"DEVICE_VULKAN", NEROVA_DEVICE_VULKAN},
};

bool ParseInt(const char* s, int lo, int hi, int& out) {
    char* end = nullptr;
    const long v = std::strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

// Any number; the library judges the range and says why it refuses.
bool ParseFloat(const char* s, float& out) {
    char* end = nullptr;
    out = std::strtof(s, &end);
    return *s && !*end;
}

// Returns an empty string on success, else the reason.
std::string ParseArgs(int argc, char** argv, Options& o, bool& help, bool& version) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        // --opt=value carries its value inline.
        std::string inline_value;
        bool has_inline = false;
        const size_t eq = a.find('=');
        if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = a.substr(eq + 1);
            a.resize(eq);
            has_inline = true;
        }
        auto value = [&](const char*& v) {
            if (has_inline) {
                v = inline_value.c_str();
                return true;
            }
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        if ((a == "--help" || a == "-h" || a == "--version") && has_inline) {
            return a + " takes no value";
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--model") {
            if (!value(v)) return "--model needs a path";
            o.model = v;
        } else if (a == "--threads") {
            if (!value(v) || !ParseInt(v, 1, NEROVA_MAX_THREAD_NUM, o.threads))
                return "--threads needs an integer from 1 to " +
                       std::to_string(NEROVA_MAX_THREAD_NUM);
        } else if (a == "--device") {
            if (!value(v)) return "--device needs a name";
            o.device = v;
            if (std::none_of(std::begin(kDevices), std::end(kDevices),
                             [&](const DeviceName& d) { return o.device == d.name; }))
                return "unknown device " + o.device;
        } else if (a == "--score-threshold") {
            if (!value(v) || !ParseFloat(v, o.score_threshold))
                return "--score-threshold needs a number";
            o.set_score = true;
        } else if (a == "--nms-threshold") {
            if (!value(v) || !ParseFloat(v, o.nms_threshold))
                return "--nms-threshold needs a number";
            o.set_nms = true;
        } else if (a == "--top-k") {
            if (!value(v) || !ParseInt(v, INT32_MIN, INT32_MAX, o.top_k))
                return "--top-k needs an integer";
        } else if (a == "--pixel-format") {
            if (!value(v)) return "--pixel-format needs a name";
            o.pixel_format = v;
            static const char* kFormats[] = {"BGR",  "RGB",  "BGRA", "RGBA",
                                             "GRAY", "NV12", "NV21", "YV12"};
            if (std::none_of(std::begin(kFormats), std::end(kFormats),
                             [&](const char* f) { return o.pixel_format == f; }))
                return "unknown pixel format " + o.pixel_format;
        } else if (a == "--draw") {
            if (!value(v)) return "--draw needs a folder";
            o.draw_dir = v;
        } else if (a == "--every") {
            if (!value(v) || !ParseInt(v, 1, INT32_MAX, o.every))
                return "--every needs a positive integer";
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option " + a;
        } else {
            o.inputs.push_back(a);
        }
    }
    if (!help && !version && o.inputs.empty()) return "no input given (see --help)";
    return "";
}

bool IsVideoPath(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    for (const char* e :
         {".mp4", ".avi", ".mkv", ".mov", ".webm", ".mpg", ".mpeg", ".m4v", ".wmv", ".ogv"})
        if (ext == e) return true;
    return false;
}

bool IsImagePath(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    for (const char* e :
         {".jpg", ".jpeg", ".png", ".bmp", ".ppm", ".pgm", ".pbm", ".tif", ".tiff", ".webp"})
        if (ext == e) return true;
    return false;
}

struct InputFile {
    std::string path;       // as given, or found inside a given folder
    std::string draw_name;  // file name stem for --draw; folder-relative for folder inputs
};

std::string DrawName(const fs::path& relative) {
    std::string name = relative.parent_path().empty()
                           ? relative.stem().string()
                           : (relative.parent_path() / relative.stem()).string();
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

// Expands folders into their images and videos, recursively and sorted.
std::vector<InputFile> ExpandInputs(const std::vector<std::string>& inputs) {
    std::vector<InputFile> out;
    for (const std::string& in : inputs) {
        std::error_code ec;
        if (!fs::is_directory(in, ec)) {
            out.push_back({in, DrawName(fs::path(in).filename())});
            continue;
        }
        std::vector<std::string> found;
        for (auto it = fs::recursive_directory_iterator(
                 in, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec) && (IsImagePath(it->path()) || IsVideoPath(it->path())))
                found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
        for (const std::string& f : found)
            out.push_back({f, DrawName(fs::path(f).lexically_relative(in))});
    }
    return out;
}

// Holds the pixels of a frame in the requested format for as long as the frame is used.
struct FrameBuffer {
    cv::Mat packed;  // interleaved formats, or the whole YUV buffer
    NerovaFrame frame{};
};

NerovaPixelFormat FormatOf(const std::string& name) {
    if (name == "RGB") return NEROVA_PIXEL_FORMAT_RGB;
    if (name == "BGRA") return NEROVA_PIXEL_FORMAT_BGRA;
    if (name == "RGBA") return NEROVA_PIXEL_FORMAT_RGBA;
    if (name == "GRAY") return NEROVA_PIXEL_FORMAT_GRAY;
    if (name == "NV12") return NEROVA_PIXEL_FORMAT_NV12;
    if (name == "NV21") return NEROVA_PIXEL_FORMAT_NV21;
    if (name == "YV12") return NEROVA_PIXEL_FORMAT_YV12;
    return NEROVA_PIXEL_FORMAT_BGR;
}

void MakeFrame(const cv::Mat& bgr, NerovaPixelFormat format, FrameBuffer& out) {
    NerovaFrame& f = out.frame;
    f = NerovaFrame{};
    f.pixel_format = format;
    f.width = bgr.cols;
    f.height = bgr.rows;
    const int w = bgr.cols, h = bgr.rows;
    if (format == NEROVA_PIXEL_FORMAT_NV12 || format == NEROVA_PIXEL_FORMAT_NV21 ||
        format == NEROVA_PIXEL_FORMAT_YV12) {
        // 4:2:0 needs even sides: odd ones are padded by replication, then described at
        // their real size with the padded strides.
        const int ew = (w + 1) & ~1, eh = (h + 1) & ~1;
        cv::Mat even;
        cv::copyMakeBorder(bgr, even, 0, eh - h, 0, ew - w, cv::BORDER_REPLICATE);
        cv::Mat i420;
        cv::cvtColor(even, i420, cv::COLOR_BGR2YUV_I420);  // Y, then U, then V planes
        const uint8_t* y = i420.data;
        const uint8_t* u = y + static_cast<size_t>(ew) * eh;
        const uint8_t* v = u + static_cast<size_t>(ew / 2) * (eh / 2);
        out.packed.create(eh + eh / 2, ew, CV_8UC1);
        std::memcpy(out.packed.data, y, static_cast<size_t>(ew) * eh);
        uint8_t* chroma = out.packed.data + static_cast<size_t>(ew) * eh;
        const size_t quarter = static_cast<size_t>(ew / 2) * (eh / 2);
        if (format == NEROVA_PIXEL_FORMAT_YV12) {
            std::memcpy(chroma, v, quarter);
            std::memcpy(chroma + quarter, u, quarter);
            f.data[1] = chroma;
            f.data[2] = chroma + quarter;
            f.stride[1] = f.stride[2] = ew / 2;
        } else {
            const bool nv12 = format == NEROVA_PIXEL_FORMAT_NV12;
            for (size_t i = 0; i < quarter; ++i) {
                chroma[2 * i] = nv12 ? u[i] : v[i];
                chroma[2 * i + 1] = nv12 ? v[i] : u[i];
            }
            f.data[1] = chroma;
            f.stride[1] = ew;
        }
        f.data[0] = out.packed.data;
        f.stride[0] = ew;
        return;
    }
    switch (format) {
        case NEROVA_PIXEL_FORMAT_RGB:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2RGB);
            break;
        case NEROVA_PIXEL_FORMAT_BGRA:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2BGRA);
            break;
        case NEROVA_PIXEL_FORMAT_RGBA:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2RGBA);
            break;
        case NEROVA_PIXEL_FORMAT_GRAY:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2GRAY);
            break;
        default:
            out.packed = bgr;
    }
    f.data[0] = out.packed.data;
    f.stride[0] = static_cast<int32_t>(out.packed.step[0]);
}

// The library's text and the code in the header's hexadecimal form.
std::string Describe(NerovaError err) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(err));
    return std::string(NerovaErrorString(err)) + " (" + code + ")";
}

// JSON has no infinities or NaN; such a value (a broken network's score) prints as null.
std::string JsonNumber(double v, const char* format) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

struct Stats {
    size_t images = 0, faces = 0;
    std::vector<double> ms;
};

class Runner {
  public:
    Runner(void* handle, const Options& o) : handle_(handle), o_(o) {}

    // Detects, prints and draws one image or frame; false when the detector refused it.
    bool Detect(const cv::Mat& bgr, const InputFile& input, int frame_index) {
        const std::string& path = input.path;
        FrameBuffer buffer;
        MakeFrame(bgr, FormatOf(o_.pixel_format), buffer);
        NerovaFaceInfo* faces = nullptr;
        uint32_t count = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const NerovaError err = NerovaFaceDetectorProcess(handle_, &buffer.frame, &faces, &count);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count();
        if (err != NEROVA_OK) {
            std::fprintf(stderr, "%s: %s: detection failed: %s\n", kTool, path.c_str(),
                         Describe(err).c_str());
            return false;
        }
        std::string line = "{\"image\": " + JsonString(path);
        if (frame_index >= 0) line += ", \"frame\": " + std::to_string(frame_index);
        line += ", \"width\": " + std::to_string(bgr.cols) +
                ", \"height\": " + std::to_string(bgr.rows) + ", \"faces\": [";
        for (uint32_t i = 0; i < count; ++i) {
            char box[80];
            std::snprintf(box, sizeof box, ", \"box\": [%d, %d, %d, %d]}", faces[i].x1, faces[i].y1,
                          faces[i].x2, faces[i].y2);
            line += std::string(i ? ", " : "") +
                    "{\"score\": " + JsonNumber(faces[i].score, "%.4f") + box;
        }
        line += "], \"ms\": " + JsonNumber(ms, "%.2f") + "}";
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (!o_.draw_dir.empty()) Draw(bgr, faces, count, input.draw_name, frame_index);
        NerovaFaceDetectorOutputRelease(faces);
        stats_.images++;
        stats_.faces += count;
        stats_.ms.push_back(ms);
        return true;
    }

    const Stats& stats() const { return stats_; }

  private:
    void Draw(const cv::Mat& bgr, const NerovaFaceInfo* faces, uint32_t count, std::string name,
              int frame_index) {
        cv::Mat canvas = bgr.clone();
        const int thickness = std::max(2, std::min(canvas.cols, canvas.rows) / 300);
        for (uint32_t i = 0; i < count; ++i) {
            const cv::Rect r(cv::Point(faces[i].x1, faces[i].y1),
                             cv::Point(faces[i].x2, faces[i].y2));
            cv::rectangle(canvas, r, cv::Scalar(0, 255, 0), thickness);
            char label[16];
            std::snprintf(label, sizeof label, "%.2f", faces[i].score);
            cv::putText(canvas, label, cv::Point(r.x, std::max(12, r.y - 4)),
                        cv::FONT_HERSHEY_SIMPLEX, 0.4 * thickness, cv::Scalar(0, 255, 0),
                        std::max(1, thickness / 2));
        }
        if (frame_index >= 0) name += "_" + std::to_string(frame_index);
        const std::string out = (fs::path(o_.draw_dir) / (name + ".jpg")).string();
        if (!cv::imwrite(out, canvas))
            std::fprintf(stderr, "nerova-face-detect: cannot write %s\n", out.c_str());
    }

    void* handle_;
    const Options& o_;
    Stats stats_;
};

void Progress(size_t done, size_t total) {
    const int width = 30;
    const int filled = static_cast<int>(width * done / total);
    std::fprintf(stderr, "\r[%.*s%*s] %zu/%zu", filled,
                 "==============================", width - filled, "", done, total);
    if (done == total) std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

// Applies the detection options through the C interface; false (reported) when refused.
bool ApplySettings(void* handle, const Options& o) {
    struct Setting {
        bool wanted;
        const char* option;
        double value;
        NerovaError err;
    };
    const Setting settings[] = {
        {true, "--top-k", static_cast<double>(o.top_k), NerovaFaceDetectorSetTopK(handle, o.top_k)},
        {o.set_score, "--score-threshold", o.score_threshold,
         o.set_score ? NerovaFaceDetectorSetScoreThreshold(handle, o.score_threshold) : NEROVA_OK},
        {o.set_nms, "--nms-threshold", o.nms_threshold,
         o.set_nms ? NerovaFaceDetectorSetNmsThreshold(handle, o.nms_threshold) : NEROVA_OK},
    };
    for (const Setting& s : settings) {
        if (s.wanted && s.err != NEROVA_OK) {
            std::fprintf(stderr, "%s: %s %g refused: %s\n", kTool, s.option, s.value,
                         Describe(s.err).c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    bool help = false, version = false;
    const std::string bad = ParseArgs(argc, argv, o, help, version);
    if (help) {
        std::printf(kHelp, kDefaultModel, NEROVA_MAX_THREAD_NUM, kDefaultTopK);
        return kExitOk;
    }
    if (!bad.empty()) {
        std::fprintf(stderr, "%s: %s\n", kTool, bad.c_str());
        return kExitUsage;
    }
    if (version) {
        std::printf("%s %s (library %s)\n", kTool, NEROVA_TOOL_VERSION,
                    NerovaFaceDetectorVersion());
        return kExitOk;
    }
    if (o.model.empty()) o.model = DefaultModel();
    if (o.model.empty()) {
        std::fprintf(stderr, "%s: no bundled model found; pass --model\n", kTool);
        return kExitModel;
    }

    // The runtime record replaces all three of the model's values: what was not asked for
    // takes the usual default (the CPU, one thread).
    NerovaCustomRuntime runtime{NEROVA_DEVICE_X86, 0, 1};
    for (const DeviceName& d : kDevices)
        if (o.device == d.name) runtime.device_type = d.type;
    if (o.threads > 0) runtime.thread_num = o.threads;
    const bool use_runtime = !o.device.empty() || o.threads > 0;
    void* handle = nullptr;
    const NerovaError err =
        NerovaFaceDetectorCreate(o.model.c_str(), "", use_runtime ? &runtime : nullptr, &handle);
    if (err != NEROVA_OK) {
        std::fprintf(stderr, "%s: cannot load model %s: %s\n", kTool, o.model.c_str(),
                     Describe(err).c_str());
        return kExitModel;
    }
    NerovaCustomRuntime running{};
    if (!o.device.empty() && NerovaFaceDetectorGetRuntime(handle, &running) == NEROVA_OK &&
        running.device_type != runtime.device_type)
        std::fprintf(stderr, "%s: %s is not available, running on the CPU\n", kTool,
                     o.device.c_str());
    if (!ApplySettings(handle, o)) {
        NerovaFaceDetectorDestroy(handle);
        return kExitUsage;
    }
    if (!o.draw_dir.empty()) {
        std::error_code ec;
        fs::create_directories(o.draw_dir, ec);
        if (ec) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", kTool, o.draw_dir.c_str(),
                         ec.message().c_str());
            NerovaFaceDetectorDestroy(handle);
            return kExitUsage;
        }
    }

    const std::vector<InputFile> inputs = ExpandInputs(o.inputs);
    const bool progress = inputs.size() > 1 && isatty(STDERR_FILENO);
    Runner runner(handle, o);
    size_t failed = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string& path = inputs[i].path;
        bool ok = false;
        if (IsVideoPath(path)) {
            cv::VideoCapture video(path);
            if (video.isOpened()) {
                ok = true;
                cv::Mat frame;
                for (int index = 0; video.read(frame); ++index) {
                    if (index % o.every == 0 && !runner.Detect(frame, inputs[i], index)) ok = false;
                }
            }
        } else {
            const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
            ok = !image.empty() && runner.Detect(image, inputs[i], -1);
        }
        if (!ok) {
            ++failed;
            std::fprintf(stderr, "%snerova-face-detect: cannot read %s\n", progress ? "\n" : "",
                         path.c_str());
        }
        if (progress) Progress(i + 1, inputs.size());
    }
    NerovaFaceDetectorDestroy(handle);

    Stats stats = runner.stats();
    double mean = 0, median = 0;
    if (!stats.ms.empty()) {
        for (double m : stats.ms) mean += m;
        mean /= static_cast<double>(stats.ms.size());
        std::sort(stats.ms.begin(), stats.ms.end());
        const size_t n = stats.ms.size();
        median = n % 2 ? stats.ms[n / 2] : (stats.ms[n / 2 - 1] + stats.ms[n / 2]) / 2;
    }
    std::fprintf(stderr,
                 "nerova-face-detect: %zu images, %zu faces, mean %.2f ms, median %.2f ms%s\n",
                 stats.images, stats.faces, mean, median,
                 failed ? (", " + std::to_string(failed) + " inputs failed").c_str() : "");
    return failed ? kExitInputFailed : kExitOk;
}
