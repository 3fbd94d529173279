#include "options.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

namespace nerova_tool {
namespace {

const char kHelp[] =
    "Usage: nerova-face-detect [options] INPUT...\n"
    "Detects faces in image files, folders of images and videos (searched recursively,\n"
    "sorted) and video files, and prints one JSON object per image or video frame on\n"
    "standard output, in the order of the inputs:\n"
    "  {\"image\": PATH, \"frame\": N, \"time_ms\": T (videos only), \"width\": W, \"height\": H,\n"
    "   \"faces\": [{\"score\": S, \"box\": [x1, y1, x2, y2]}, ...], \"ms\": T}\n"
    "(a video's record adds \"cut\": C after \"time_ms\" when a shot began at frame C since the\n"
    "previous frame looked at; no face is followed across a cut)\n"
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
    "  --confirm-tile-faces N  faces only a tile found that a second look checks per frame,\n"
    "                          0 to 256; 0 keeps every one unchecked (default: the model's,\n"
    "                          32 for the bundled ones)\n"
    "  --jobs N                images processed at once, each by its own detector on its own\n"
    "                          thread; a video is one job (default: the number of cores, %d)\n"
    "  --threads N             inference threads per detector, 1 to %d: XNNPACK's pool is\n"
    "                          the detector's own, OpenCV's shared by the process (default: 1)\n"
    "  --device NAME           device, e.g. DEVICE_X86, DEVICE_CUDA; an unavailable device\n"
    "                          falls back to the CPU; DEVICE_NAIVE keeps the network on\n"
    "                          OpenCV DNN alone (default: the model's configuration)\n"
    "  --score-threshold S     lowest face score kept, 0 to 1 (default: the library's, 0.95)\n"
    "  --nms-threshold T       overlap above which a box is suppressed, 0 to 1 (default: the\n"
    "                          model's; 0.4 for the bundled ones)\n"
    "  --top-k K               candidates kept per frame, 1 to 100000 (default: %d)\n"
    "  --pixel-format NAME     feed frames as BGR, RGB, BGRA, RGBA, GRAY, NV12, NV21 or YV12,\n"
    "                          converted from the decoded image (default: BGR)\n"
    "  --draw DIR              write each input with its boxes and scores under DIR, at its\n"
    "                          path relative to the argument it came from (default: none)\n"
    "  --crops DIR             write each face of an image, aligned on its eyes, nose and\n"
    "                          mouth, as DIR/PATH.faceN.png (PATH the image's path as\n"
    "                          --draw places it, N the face's index in its record); the\n"
    "                          record names it as \"crop\" (needs a model with landmarks)\n"
    "  --crop-size N           crops of N x N pixels, 16 to 1024 (default: 112)\n"
    "  --anonymize HOW         hide every face in the written images and videos: blur,\n"
    "                          pixelate or solid (default: none); written under the --draw\n"
    "                          folder, else under --out-dir, which is then required\n"
    "  --video-codec NAME      codec of written videos: h264, mpeg4, mjpeg or ffv1 (lossless,\n"
    "                          for .mkv and .avi) (default: mjpeg in .avi, else h264)\n"
    "  --video-quality Q       1 to 100; 80 is H.264 at CRF 20, MPEG-4 and Motion JPEG at\n"
    "                          quantiser 7 (default: 80)\n"
    "  --mask-scale F          hide F times the face's box, 1 to 10 (default: %.1f)\n"
    "  --mask-shape SHAPE      ellipse or rect (default: ellipse)\n"
    "  --out-dir DIR           folder for --anonymize without --draw (default: none)\n"
    "  --live-out TARGET       with --anonymize, write the one input (a file, '-' for standard\n"
    "                          input, a /dev/video device or a URL) to TARGET as it comes,\n"
    "                          '-' for standard output (then no records are printed)\n"
    "  --latency N             frames a video written as it comes is held back to follow\n"
    "                          faces ahead, 0 to 1000; given for a file, it too is written\n"
    "                          so (default: 15)\n"
    "  --report DIR            with --anonymize, a review page of each written video under\n"
    "                          DIR, named as the video with .html added (default: none)\n"
    "  --quiet                 print only the records and errors: no library diagnostics,\n"
    "                          warnings, progress bar or summary\n"
    "  --overwrite             replace existing output files (default: never; such an output\n"
    "                          is not written and the exit status is 1)\n"
    "  --every N               detect on every N-th frame of videos; a written video keeps\n"
    "                          every frame, the faces followed through those between\n"
    "                          (default: 1)\n"
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

}  // namespace

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
        if ((a == "--help" || a == "-h" || a == "--version" || a == "--overwrite" ||
             a == "--quiet") &&
            has_inline) {
            return a + " takes no value";
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--quiet") {
            o.quiet = true;
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
            if (NerovaDeviceFromName(v, &o.device_type) != NEROVA_OK)
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
            if (NerovaPixelFormatFromName(v, &o.pixel_format) != NEROVA_OK)
                return std::string("unknown pixel format ") + v;
        } else if (a == "--draw" || a == "--out-dir" || a == "--crops" || a == "--report") {
            if (!value(v) || !*v) return a + " needs a folder";
            (a == "--draw"     ? o.draw_dir
             : a == "--crops"  ? o.crops_dir
             : a == "--report" ? o.report_dir
                               : o.out_dir) = v;
        } else if (a == "--video-codec") {
            o.video_codec = value(v) ? v : "";
            if (o.video_codec != "h264" && o.video_codec != "mpeg4" && o.video_codec != "mjpeg" &&
                o.video_codec != "ffv1")
                return "--video-codec needs h264, mpeg4, mjpeg or ffv1";
        } else if (a == "--video-quality") {
            if (!value(v) || !ParseInt(v, 1, 100, o.video_quality))
                return "--video-quality needs an integer from 1 to 100";
        } else if (a == "--crop-size") {
            if (!value(v) || !ParseInt(v, 16, 1024, o.crop_size))
                return "--crop-size needs an integer from 16 to 1024";
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
            if (!value(v) ||
                NerovaFaceDetectorParseTiles(v, &o.tile_rows, &o.tile_cols) != NEROVA_OK)
                return "--tiles needs auto, off or RxC (1 to 16 each)";
        } else if (a == "--confirm-tile-faces") {
            if (!value(v) || !ParseInt(v, 0, NEROVA_MAX_CONFIRM_TILE_FACES, o.confirm_tile_faces))
                return "--confirm-tile-faces needs an integer from 0 to 256";
        } else if (a == "--latency") {
            if (!value(v) || !ParseInt(v, 0, 1000, o.latency))
                return "--latency needs an integer from 0 to 1000";
            o.set_latency = true;
        } else if (a == "--live-out") {
            if (!value(v) || !*v) return "--live-out needs a file or -";
            o.live_out = v;
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
    if (o.hide != Hide::kNone && o.draw_dir.empty() && o.out_dir.empty() && o.live_out.empty())
        return "--anonymize needs --out-dir (or --draw or --live-out) so the originals stay "
               "untouched";
    if (!o.live_out.empty() && (o.hide == Hide::kNone || !o.out_dir.empty() ||
                                !o.draw_dir.empty() || !o.report_dir.empty()))
        return "--live-out is where --anonymize writes its one input, without --out-dir, --draw "
               "or --report";
    if (!o.out_dir.empty() && (o.hide == Hide::kNone || !o.draw_dir.empty()))
        return "--out-dir is the folder of --anonymize without --draw";
    if (!o.report_dir.empty() && o.hide == Hide::kNone)
        return "--report reviews the videos --anonymize writes";
    return "";
}

// A line longer than any path means the file is no list (/dev/zero, say), which would
// otherwise be read into memory without end.
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

void PrintHelp(int cores) {
    std::printf(kHelp, kDefaultModel, cores, NEROVA_MAX_THREAD_NUM, kDefaultTopK,
                kDefaultMaskScale);
}

}  // namespace nerova_tool
