// nerova-face-detect: detects faces in images, folders of images and videos, and prints one
// JSON object per image or frame; optionally writes each input with its faces marked or
// hidden. It is a host of the library's C interface and of nothing else: it links the
// library and includes only its public headers.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "anonymize.h"
#include "console.h"
#include "nerova_face_detector.h"
#include "outputs.h"
#include "tiling.h"

namespace fs = std::filesystem;
using nerova_tool::Console;
using nerova_tool::Hide;
using nerova_tool::Input;
using nerova_tool::MaskShape;
using nerova_tool::Output;
using nerova_tool::Progress;
using nerova_tool::Sequencer;

namespace {

constexpr const char* kDefaultModel = "face_detector_back_256";
constexpr int kDefaultTopK = 100;
constexpr float kDefaultMaskScale = 1.3f;
constexpr int kMaxJobs = 256;

constexpr const char* kTool = "nerova-face-detect";

enum ExitCode { kExitOk = 0, kExitInputFailed = 1, kExitUsage = 2, kExitModel = 3 };

struct Options {
    std::string model;
    std::vector<std::string> inputs;
    std::vector<std::string> lists;  // --files-from
    int threads = 0;                 // 0: one per detector
    int jobs = 0;                    // 0: one per core
    std::string device;
    bool set_score = false, set_nms = false;  // otherwise the library's own
    float score_threshold = 0, nms_threshold = 0;
    int top_k = kDefaultTopK;
    std::string pixel_format = "BGR";
    std::string draw_dir, out_dir;
    Hide hide = Hide::kNone;
    float mask_scale = kDefaultMaskScale;
    MaskShape mask_shape = MaskShape::kEllipse;
    nerova_tool::Tiling tiles;
    bool overwrite = false;
    int every = 1;

    bool writes() const { return !draw_dir.empty() || hide != Hide::kNone; }
    const std::string& write_dir() const { return draw_dir.empty() ? out_dir : draw_dir; }
};

const char kHelp[] =
    "Usage: nerova-face-detect [options] INPUT...\n"
    "Detects faces in image files, folders of images and videos (searched recursively,\n"
    "sorted) and video files, and prints one JSON object per image or video frame on\n"
    "standard output, in the order of the inputs:\n"
    "  {\"image\": PATH, \"frame\": N, \"time_ms\": T (videos only), \"width\": W, \"height\": H,\n"
    "   \"faces\": [{\"score\": S, \"box\": [x1, y1, x2, y2]}, ...], \"ms\": T}\n"
    "Bytes of a file name that are not UTF-8 appear as \\udc80 to \\udcff (byte 0x80 to 0xff).\n"
    "A summary goes to standard error at the end, and a progress bar while it runs when\n"
    "standard error is a terminal.\n\n"
    "Options:\n"
    "  --model PATH|NAME       model file inside a model directory, the directory, or the\n"
    "                          name of one in the installed or bundled models folder or\n"
    "                          NEROVA_MODELS, e.g. yunet_n_640 (default: %s)\n"
    "  --tiles auto|off|RxC    also detect on overlapping tiles of large frames, for small\n"
    "                          faces: auto aims a face of 1/40 of the longer side at 24 px\n"
    "                          in the network; costs 1 + tiles passes per frame (default: off)\n"
    "  --jobs N                images processed at once, each by its own detector on its own\n"
    "                          thread; a video is one job (default: the number of cores, %d)\n"
    "  --threads N             inference threads per detector, 1 to %d; OpenCV's pool is\n"
    "                          shared by the process (default: 1)\n"
    "  --device NAME           device, e.g. DEVICE_X86, DEVICE_CUDA; an unavailable device\n"
    "                          falls back to the CPU (default: the model's configuration)\n"
    "  --score-threshold S     lowest face score kept, 0 to 1 (default: the library's, 0.95)\n"
    "  --nms-threshold T       overlap above which a box is suppressed, 0 to 1 (default: 0.7)\n"
    "  --top-k K               candidates kept per frame, 1 to 100000 (default: %d)\n"
    "  --pixel-format NAME     feed frames as BGR, RGB, BGRA, RGBA, GRAY, NV12, NV21 or YV12,\n"
    "                          converted from the decoded image (default: BGR)\n"
    "  --draw DIR              write each input with its boxes and scores under DIR, at its\n"
    "                          path relative to the argument it came from (default: none)\n"
    "  --anonymize HOW         hide every face in the written images and videos: blur,\n"
    "                          pixelate or solid (default: none); written under the --draw\n"
    "                          folder, else under --out-dir, which is then required\n"
    "  --mask-scale F          hide F times the face's box, 1 to 10 (default: %.1f)\n"
    "  --mask-shape SHAPE      ellipse or rect (default: ellipse)\n"
    "  --out-dir DIR           folder for --anonymize without --draw (default: none)\n"
    "  --overwrite             replace existing output files (default: never; such an output\n"
    "                          is not written and the exit status is 1)\n"
    "  --every N               detect on every N-th frame of videos; a written video keeps\n"
    "                          every frame, those between with the last boxes (default: 1)\n"
    "  --files-from LIST       also read input paths from LIST, one per line, '-' for\n"
    "                          standard input (default: none)\n"
    "  --version               show the tool's and the library's versions\n"
    "  --help                  show this text\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n\n"
    "Written files keep their input's extension; a video in a container other than .mp4,\n"
    ".m4v, .mov, .mkv (MPEG-4 video) or .avi (Motion JPEG) is written as NAME.EXT.avi. Two\n"
    "inputs that would share an output get a numbered suffix (a_1.jpg) and a warning.\n"
    "Each file is written under a temporary name and renamed when complete.\n\n"
    "Exit status: 0 success; 1 some inputs could not be read or some outputs not written\n"
    "(the others are processed), or standard output could not be written (the run stops);\n"
    "2 bad argument; 3 the model cannot be loaded.\n";

fs::path ExecutableDir() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::current_path() : self.parent_path();
}

// The model file for --model: a file as given, a model directory's model.onnx, or a model
// directory by name in NEROVA_MODELS, the installed models folder beside bin/, or the
// source tree this tool was built from. Empty when none is found.
std::string ResolveModel(const std::string& given) {
    std::error_code ec;
    if (fs::is_regular_file(given, ec)) return given;
    if (fs::is_directory(given, ec)) return (fs::path(given) / "model.onnx").string();
    if (given.find('/') != std::string::npos) return given;  // a path: let create say why
    std::vector<fs::path> roots;
    if (const char* env = std::getenv("NEROVA_MODELS")) roots.emplace_back(env);
    roots.push_back(ExecutableDir() / ".." / "share" / "nerova" / "models");
    roots.emplace_back(NEROVA_MODELS_SOURCE_DIR);
    for (const fs::path& root : roots) {
        const fs::path model = root / given / "model.onnx";
        if (fs::exists(model, ec)) return model.lexically_normal().string();
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
        if ((a == "--help" || a == "-h" || a == "--version" || a == "--overwrite") && has_inline) {
            return a + " takes no value";
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--overwrite") {
            o.overwrite = true;
        } else if (a == "--model") {
            if (!value(v)) return "--model needs a path";
            o.model = v;
        } else if (a == "--threads") {
            if (!value(v) || !ParseInt(v, 1, NEROVA_MAX_THREAD_NUM, o.threads))
                return "--threads needs an integer from 1 to " +
                       std::to_string(NEROVA_MAX_THREAD_NUM);
        } else if (a == "--jobs") {
            if (!value(v) || !ParseInt(v, 1, kMaxJobs, o.jobs))
                return "--jobs needs an integer from 1 to " + std::to_string(kMaxJobs);
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
        } else if (a == "--draw" || a == "--out-dir") {
            if (!value(v) || !*v) return a + " needs a folder";
            (a == "--draw" ? o.draw_dir : o.out_dir) = v;
        } else if (a == "--anonymize") {
            const std::string how = value(v) ? v : "";
            if (how == "blur")
                o.hide = Hide::kBlur;
            else if (how == "pixelate")
                o.hide = Hide::kPixelate;
            else if (how == "solid")
                o.hide = Hide::kSolid;
            else
                return "--anonymize needs blur, pixelate or solid";
        } else if (a == "--mask-scale") {
            if (!value(v) || !ParseFloat(v, o.mask_scale) || !(o.mask_scale >= 1) ||
                o.mask_scale > 10)
                return "--mask-scale needs a number from 1 to 10";
        } else if (a == "--mask-shape") {
            const std::string shape = value(v) ? v : "";
            if (shape == "ellipse")
                o.mask_shape = MaskShape::kEllipse;
            else if (shape == "rect")
                o.mask_shape = MaskShape::kRect;
            else
                return "--mask-shape needs ellipse or rect";
        } else if (a == "--tiles") {
            if (!value(v) || !nerova_tool::ParseTiles(v, o.tiles))
                return "--tiles needs auto, off or RxC (1 to 16 each)";
        } else if (a == "--every") {
            if (!value(v) || !ParseInt(v, 1, INT32_MAX, o.every))
                return "--every needs a positive integer";
        } else if (a == "--files-from") {
            if (!value(v) || !*v) return "--files-from needs a file or -";
            o.lists.push_back(v);
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option " + a;
        } else {
            o.inputs.push_back(a);
        }
    }
    if (help || version) return "";
    if (o.inputs.empty() && o.lists.empty()) return "no input given (see --help)";
    // Hidden faces are only ever written beside the originals' copies, never over them.
    if (o.hide != Hide::kNone && o.draw_dir.empty() && o.out_dir.empty())
        return "--anonymize needs --out-dir (or --draw) so the originals stay untouched";
    if (!o.out_dir.empty() && (o.hide == Hide::kNone || !o.draw_dir.empty()))
        return "--out-dir is the folder of --anonymize without --draw";
    return "";
}

// Appends the paths listed one per line in `list` ("-": standard input), LF or CRLF, empty
// lines skipped. A line longer than any path means the file is no list (/dev/zero, say),
// which would otherwise be read into memory without end.
bool ReadList(const std::string& list, std::vector<std::string>& out, std::string& error) {
    constexpr size_t kMaxLine = 4096;  // PATH_MAX
    std::ifstream file;
    if (list != "-") {
        file.open(list, std::ios::binary);
        if (!file) return false;
    }
    std::istream& in = list == "-" ? std::cin : file;
    std::string line;
    size_t number = 1;
    for (int c; (c = in.get()) != EOF || !line.empty();) {
        if (c != EOF && c != '\n') {
            line += static_cast<char>(c);
            if (line.size() > kMaxLine + 1) {
                error = "line " + std::to_string(number) + " is longer than any path";
                return false;
            }
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();  // a list saved on Windows
        if (!line.empty()) out.push_back(line);
        line.clear();
        ++number;
        if (c == EOF) break;
    }
    return !in.bad();
}

bool HasExtension(const fs::path& p, std::initializer_list<const char*> extensions) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    return std::any_of(extensions.begin(), extensions.end(),
                       [&](const char* e) { return ext == e; });
}

bool IsVideoPath(const fs::path& p) {
    return HasExtension(
        p, {".mp4", ".avi", ".mkv", ".mov", ".webm", ".mpg", ".mpeg", ".m4v", ".wmv", ".ogv"});
}

bool IsImagePath(const fs::path& p) {
    return HasExtension(
        p, {".jpg", ".jpeg", ".png", ".bmp", ".ppm", ".pgm", ".pbm", ".tif", ".tiff", ".webp"});
}

// Expands folders into their images and videos, recursively and sorted; each input keeps
// its path relative to the argument it came from. The output folder is not searched, so
// a run writing inside its input folder does not take a former run's outputs as inputs.
std::vector<Input> ExpandInputs(const std::vector<std::string>& arguments,
                                const std::string& output_dir) {
    std::vector<Input> out;
    for (const std::string& arg : arguments) {
        std::error_code ec;
        if (!fs::is_directory(arg, ec)) {
            out.push_back({arg, fs::path(arg).filename(), IsVideoPath(arg)});
            continue;
        }
        std::vector<std::string> found;
        for (auto it = fs::recursive_directory_iterator(
                 arg, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code same;
            if (!output_dir.empty() && it->is_directory(same) &&
                fs::equivalent(it->path(), output_dir, same))
                it.disable_recursion_pending();
            else if (it->is_regular_file(ec) &&
                     (IsImagePath(it->path()) || IsVideoPath(it->path())))
                found.push_back(it->path().string());
        }
        std::sort(found.begin(), found.end());
        for (const std::string& f : found)
            out.push_back({f, fs::path(f).lexically_relative(arg), IsVideoPath(f)});
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

// Length of the well-formed UTF-8 sequence at s[i], or 0 (overlong forms, surrogates and
// code points above U+10FFFF are not well formed).
size_t Utf8Length(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else
        return 0;
    if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return n;
}

// File names are bytes: a byte that is not part of well-formed UTF-8 is written as the lone
// surrogate \udcXX, which keeps every line valid JSON and the name recoverable (it is the
// convention of Python's os.fsencode, for one).
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = Utf8Length(s, i);
        char buf[8];
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "\\udc%02x", c);
            out += buf;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n ? n : 1;
    }
    return out + "\"";
}

std::string Record(const Input& input, int frame, double time_ms, const cv::Mat& image,
                   const std::vector<NerovaFaceInfo>& faces, double ms) {
    std::string line = "{\"image\": " + JsonString(input.path);
    if (frame >= 0) {
        std::string t = JsonNumber(time_ms, "%.3f");
        // Whole milliseconds read as integers.
        if (t.find('.') != std::string::npos) {
            t.erase(t.find_last_not_of('0') + 1);
            if (t.back() == '.') t.pop_back();
        }
        line += ", \"frame\": " + std::to_string(frame) + ", \"time_ms\": " + t;
    }
    line += ", \"width\": " + std::to_string(image.cols) +
            ", \"height\": " + std::to_string(image.rows) + ", \"faces\": [";
    for (size_t i = 0; i < faces.size(); ++i) {
        char box[80];
        std::snprintf(box, sizeof box, ", \"box\": [%d, %d, %d, %d]}", faces[i].x1, faces[i].y1,
                      faces[i].x2, faces[i].y2);
        line +=
            std::string(i ? ", " : "") + "{\"score\": " + JsonNumber(faces[i].score, "%.4f") + box;
    }
    return line + "], \"ms\": " + JsonNumber(ms, "%.2f") + "}";
}

struct Stats {
    size_t images = 0, faces = 0;
    std::vector<double> ms;
};

// What the workers share; everything in it is either read-only or synchronised.
struct Batch {
    const Options& o;
    const std::vector<Input>& inputs;
    const std::vector<Output>& outputs;  // empty when nothing is written
    Console& console;
    Sequencer& sequencer;
    Progress* progress;
    std::atomic<size_t> next{0}, failed{0}, unwritten{0};
};

// One detector and the thread that alone uses it: takes the next input until none is left.
class Worker {
  public:
    Worker(void* handle, Batch& batch) : handle_(handle), b_(batch) {
        // The network's size and the overlap threshold are fixed once the handle is set up.
        float score = 0;
        int32_t top_k = 0;
        tiled_ = (b_.o.tiles.automatic || b_.o.tiles.rows * b_.o.tiles.cols > 1) &&
                 NerovaFaceDetectorGetInputSize(handle_, &input_w_, &input_h_) == NEROVA_OK &&
                 NerovaFaceDetectorGetSettings(handle_, &score, &nms_, &top_k) == NEROVA_OK;
    }

    void Run() {
        for (size_t i; !b_.console.OutError() && (i = b_.next++) < b_.inputs.size();) {
            const Input& input = b_.inputs[i];
            const Output* out = b_.outputs.empty() ? nullptr : &b_.outputs[i];
            if (out && !out->refusal.empty()) out = nullptr;  // reported when planned
            if (!(input.video ? Video(i, out) : Image(i, out))) {
                b_.failed++;
                b_.console.Err("cannot read " + input.path);
            }
            b_.sequencer.Done(i);
        }
    }

    const Stats& stats() const { return stats_; }

  private:
    // Detects on one image or frame; false (reported) when the detector refused it.
    // With --tiles, the tiles of a large frame too (views of bgr), merged into one list.
    bool Detect(const cv::Mat& bgr, const Input& input, std::vector<NerovaFaceInfo>& out,
                double& ms) {
        const auto t0 = std::chrono::steady_clock::now();
        out.clear();
        std::vector<cv::Rect> tiles;
        if (tiled_)
            tiles = nerova_tool::TileGrid(bgr.cols, bgr.rows, input_w_, input_h_, b_.o.tiles);
        for (size_t t = 0; t <= tiles.size(); ++t) {
            const cv::Rect area = t == 0 ? cv::Rect(0, 0, bgr.cols, bgr.rows) : tiles[t - 1];
            FrameBuffer buffer;
            MakeFrame(bgr(area), FormatOf(b_.o.pixel_format), buffer);
            NerovaFaceInfo* faces = nullptr;
            uint32_t count = 0;
            const NerovaError err =
                NerovaFaceDetectorProcess(handle_, &buffer.frame, &faces, &count);
            if (err != NEROVA_OK) {
                b_.console.Err(input.path + ": detection failed: " + Describe(err));
                return false;
            }
            if (t == 0)
                out.assign(faces, faces + count);
            else
                nerova_tool::AddTileFaces(area, bgr.size(), faces, count, out);
            NerovaFaceDetectorOutputRelease(faces);
        }
        if (!tiles.empty()) out = nerova_tool::MergeFaces(std::move(out), nms_);
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                 .count();
        stats_.images++;
        stats_.faces += out.size();
        stats_.ms.push_back(ms);
        return true;
    }

    void Mark(cv::Mat& bgr, const std::vector<NerovaFaceInfo>& faces) const {
        nerova_tool::Anonymize(bgr, faces, b_.o.hide, b_.o.mask_scale, b_.o.mask_shape);
        if (!b_.o.draw_dir.empty()) nerova_tool::DrawFaces(bgr, faces);
    }

    void Unwritten(const Output& out, const std::string& reason) {
        b_.unwritten++;
        b_.console.Err("cannot write " + out.path.string() + ": " + reason);
    }

    bool Image(size_t i, const Output* out) {
        const Input& input = b_.inputs[i];
        cv::Mat image = cv::imread(input.path, cv::IMREAD_COLOR);
        if (b_.progress) b_.progress->Tick();
        std::vector<NerovaFaceInfo> faces;
        double ms = 0;
        if (image.empty() || !Detect(image, input, faces, ms)) return false;
        b_.sequencer.Emit(i, Record(input, -1, 0, image, faces, ms));
        if (out) {
            Mark(image, faces);
            const std::string err = nerova_tool::WriteImage(out->path, image, b_.o.overwrite);
            if (!err.empty()) Unwritten(*out, err);
        }
        return true;
    }

    bool Video(size_t i, const Output* out) {
        const Input& input = b_.inputs[i];
        cv::VideoCapture video;
        if (!nerova_tool::OpenVideo(input.path, video)) return false;
        double fps = video.get(cv::CAP_PROP_FPS);
        if (!(fps > 0 && fps <= 1000)) fps = 25;  // a container without a usable rate
        std::unique_ptr<nerova_tool::VideoOutput> writer;
        if (out) writer = std::make_unique<nerova_tool::VideoOutput>(out->path, b_.o.overwrite);
        std::string write_error;
        std::vector<NerovaFaceInfo> faces;
        bool ok = true;
        int index = 0;
        for (cv::Mat frame; video.read(frame); ++index) {
            if (b_.progress) b_.progress->Tick();
            if (index % b_.o.every == 0) {
                const double time_ms = video.get(cv::CAP_PROP_POS_MSEC);
                double ms = 0;
                if (Detect(frame, input, faces, ms))
                    b_.sequencer.Emit(i, Record(input, index, time_ms, frame, faces, ms));
                else
                    ok = false;
            }
            if (writer && write_error.empty()) {
                Mark(frame, faces);  // frames between detections keep the last boxes
                write_error = writer->Write(frame, fps);
            }
        }
        if (index == 0) return false;
        if (writer && write_error.empty()) write_error = writer->Finish();
        if (!write_error.empty()) Unwritten(*out, write_error);
        return ok;
    }

    void* handle_;
    bool tiled_ = false;
    int32_t input_w_ = 0, input_h_ = 0;
    float nms_ = 0;
    Batch& b_;
    Stats stats_;
};

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
    // The tool says itself which inputs it cannot read; OpenCV's own warnings would only
    // repeat that in its internal terms.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // FFmpeg's own lines, read at its first use
    Options o;
    bool help = false, version = false;
    const std::string bad = ParseArgs(argc, argv, o, help, version);
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    if (help) {
        std::printf(kHelp, kDefaultModel, cores, NEROVA_MAX_THREAD_NUM, kDefaultTopK,
                    kDefaultMaskScale);
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
    for (const std::string& list : o.lists) {
        std::string error;
        if (!ReadList(list, o.inputs, error)) {
            std::fprintf(stderr, "%s: cannot read the list %s%s%s\n", kTool, list.c_str(),
                         error.empty() ? "" : ": ", error.c_str());
            return kExitUsage;
        }
    }
    const std::string model_name = o.model.empty() ? kDefaultModel : o.model;
    o.model = ResolveModel(model_name);
    if (o.model.empty()) {
        std::fprintf(stderr, "%s: no model named %s found; pass a model file\n", kTool,
                     model_name.c_str());
        return kExitModel;
    }
    const std::vector<Input> inputs = ExpandInputs(o.inputs, o.write_dir());

    // One inference thread per detector unless asked: the jobs are the parallelism, and
    // OpenCV's pool is one for the whole process.
    NerovaCustomRuntime runtime{NEROVA_DEVICE_X86, 0, o.threads > 0 ? o.threads : 1};
    for (const DeviceName& d : kDevices)
        if (o.device == d.name) runtime.device_type = d.type;
    const size_t jobs = std::max<size_t>(
        1, std::min<size_t>(inputs.size(), static_cast<size_t>(o.jobs > 0 ? o.jobs : cores)));
    std::vector<void*> handles;
    const auto destroy_all = [&] {
        for (void* h : handles) NerovaFaceDetectorDestroy(h);
    };
    // Without --device the model's own device is kept: the first detector reads it, and is
    // made again only when its thread count differs.
    const NerovaCustomRuntime* requested = o.device.empty() ? nullptr : &runtime;
    while (handles.size() < jobs) {
        void* handle = nullptr;
        const NerovaError err = NerovaFaceDetectorCreate(o.model.c_str(), "", requested, &handle);
        if (err != NEROVA_OK) {
            std::fprintf(stderr, "%s: cannot load model %s: %s\n", kTool, o.model.c_str(),
                         Describe(err).c_str());
            destroy_all();
            return kExitModel;
        }
        NerovaCustomRuntime running{};
        if (handles.empty() && NerovaFaceDetectorGetRuntime(handle, &running) == NEROVA_OK) {
            if (!requested && running.thread_num != runtime.thread_num) {
                runtime.device_type = running.device_type;
                runtime.device_id = running.device_id;
                requested = &runtime;
                NerovaFaceDetectorDestroy(handle);
                continue;
            }
            if (!o.device.empty() && running.device_type != runtime.device_type)
                std::fprintf(stderr, "%s: %s is not available, running on the CPU\n", kTool,
                             o.device.c_str());
        }
        handles.push_back(handle);
        if (!ApplySettings(handle, o)) {
            destroy_all();
            return kExitUsage;
        }
    }

    const bool bar = isatty(STDERR_FILENO);
    Console console(kTool, bar);
    std::vector<Output> outputs;
    size_t refused = 0;
    if (o.writes()) {
        std::error_code ec;
        fs::create_directories(o.write_dir(), ec);
        if (ec) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", kTool, o.write_dir().c_str(),
                         ec.message().c_str());
            destroy_all();
            return kExitUsage;
        }
        std::vector<std::string> warnings;
        outputs = nerova_tool::PlanOutputs(inputs, o.write_dir(), o.overwrite, warnings);
        for (const std::string& w : warnings) console.Err("warning: " + w);
        for (const Output& out : outputs) {
            if (out.refusal.empty()) continue;
            ++refused;
            console.Err("not writing " + out.path.string() + ": " + out.refusal);
        }
    }

    std::unique_ptr<Progress> progress;
    if (bar) {
        // Videos count in frames, from their containers; one without a count makes the
        // total unknown.
        size_t total = 0;
        bool known = true, videos = false;
        for (const Input& in : inputs) {
            if (!in.video) {
                ++total;
                continue;
            }
            videos = true;
            cv::VideoCapture video;
            const double frames =
                nerova_tool::OpenVideo(in.path, video) ? video.get(cv::CAP_PROP_FRAME_COUNT) : 0;
            known = known && frames > 0;
            if (frames > 0) total += static_cast<size_t>(frames);
        }
        progress =
            std::make_unique<Progress>(console, known ? total : 0, videos ? "frames" : "images");
    }

    Sequencer sequencer(console, inputs.size());
    Batch batch{o, inputs, outputs, console, sequencer, progress.get()};
    std::vector<Worker> workers;
    for (void* h : handles) workers.emplace_back(h, batch);
    std::vector<std::thread> threads;
    for (size_t w = 1; w < workers.size(); ++w) threads.emplace_back(&Worker::Run, &workers[w]);
    workers[0].Run();
    for (std::thread& t : threads) t.join();
    if (progress) progress->Finish();
    destroy_all();

    Stats stats;
    for (const Worker& w : workers) {
        stats.images += w.stats().images;
        stats.faces += w.stats().faces;
        stats.ms.insert(stats.ms.end(), w.stats().ms.begin(), w.stats().ms.end());
    }
    double mean = 0, median = 0;
    if (!stats.ms.empty()) {
        for (double m : stats.ms) mean += m;
        mean /= static_cast<double>(stats.ms.size());
        std::sort(stats.ms.begin(), stats.ms.end());
        const size_t n = stats.ms.size();
        median = n % 2 ? stats.ms[n / 2] : (stats.ms[n / 2 - 1] + stats.ms[n / 2]) / 2;
    }
    if (const int err = console.OutError()) {
        std::fprintf(stderr, "%s: cannot write the records to standard output: %s\n", kTool,
                     std::strerror(err));
        return kExitInputFailed;
    }
    const size_t failed = batch.failed, unwritten = batch.unwritten + refused;
    std::string tail;
    if (failed) tail += ", " + std::to_string(failed) + " inputs failed";
    if (unwritten) tail += ", " + std::to_string(unwritten) + " outputs not written";
    std::fprintf(stderr, "%s: %zu images, %zu faces, mean %.2f ms, median %.2f ms%s\n", kTool,
                 stats.images, stats.faces, mean, median, tail.c_str());
    return failed || unwritten ? kExitInputFailed : kExitOk;
}
