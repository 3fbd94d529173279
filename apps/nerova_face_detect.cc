// nerova-face-detect: detects faces in images, folders of images and videos, and prints one
// JSON object per image or frame; optionally writes each input with its faces marked or
// hidden. It is a host of the library's C interface and of nothing else: it links the
// library and includes only its public headers.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <string>
#include <thread>
#include <vector>

#include "anonymize.h"
#include "console.h"
#include "frames.h"
#include "inputs.h"
#include "nerova_face_detector.h"
#if NEROVA_TOOL_VIDEO
#include "nerova_video.h"
#endif
#include "options.h"
#include "outputs.h"
#include "records.h"

namespace fs = std::filesystem;
using nerova_tool::Console;
using nerova_tool::Face;
using nerova_tool::FrameBuffer;
using nerova_tool::Hide;
using nerova_tool::Input;
using nerova_tool::kTool;
using nerova_tool::Options;
using nerova_tool::Output;
using nerova_tool::Progress;
using nerova_tool::Sequencer;

namespace {

enum ExitCode { kExitOk = 0, kExitInputFailed = 1, kExitUsage = 2, kExitModel = 3 };

// The model file for --model, as every host resolves it; empty (reported) when there is none.
std::string ResolveModel(const std::string& given) {
    char path[4096];
    if (NerovaFaceDetectorFindModel(given.c_str(), path, sizeof path) != NEROVA_OK) {
        std::fprintf(stderr, "%s: no model named %s found; pass a model file\n", kTool,
                     given.c_str());
        return "";
    }
    return path;
}

std::vector<std::string> LandmarkNames(void* handle) {
    int32_t count = 0;
    NerovaFaceDetectorGetLandmarkCount(handle, &count);
    std::vector<std::string> names;
    for (int32_t k = 0; k < count; ++k)
        names.emplace_back(NerovaFaceDetectorLandmarkName(handle, k));
    return names;
}

// The library's text and the code in the header's hexadecimal form.
std::string Describe(NerovaError err) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(err));
    return std::string(NerovaErrorString(err)) + " (" + code + ")";
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
    const std::vector<Output>& crops;    // empty without --crops
    Console& console;
    Sequencer& sequencer;
    Progress* progress;
    std::atomic<size_t> next{0}, failed{0}, unwritten{0};
};

// One detector and the thread that alone uses it: takes the next input until none is left.
class Worker {
  public:
    Worker(void* handle, Batch& batch)
        : handle_(handle), b_(batch), names_(LandmarkNames(handle)) {}

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
    // Detects on one image or frame (with --tiles, the library's tiles of it too); false
    // (reported) when the detector refused it.
    bool Detect(const cv::Mat& bgr, const Input& input, std::vector<Face>& out, double& ms) {
        const auto t0 = std::chrono::steady_clock::now();
        FrameBuffer buffer;
        nerova_tool::MakeFrame(bgr, b_.o.pixel_format, buffer);
        NerovaFaceDetail* faces = nullptr;
        uint32_t count = 0;
        const NerovaError err = NerovaFaceDetectorProcessDetails(
            handle_, &buffer.frame, sizeof(NerovaFaceDetail), &faces, &count);
        if (err != NEROVA_OK) {
            b_.console.Err(input.path + ": detection failed: " + Describe(err));
            return false;
        }
        out.resize(count);
        for (uint32_t k = 0; k < count; ++k) {
            const NerovaFaceDetail& d = faces[k];
            Face& f = out[k];
            // Corners lie inside the frame, so the cast truncates as the 20-byte record does.
            f.info = {d.score, static_cast<int32_t>(d.x1), static_cast<int32_t>(d.y1),
                      static_cast<int32_t>(d.x2), static_cast<int32_t>(d.y2)};
            f.points.assign(d.landmarks, d.landmarks + 2 * d.landmark_count);
            f.detail = d;
            f.detail.landmarks = f.points.data();
            f.crop.clear();
            f.track = 0;
        }
        NerovaFaceDetectorDetailsRelease(faces);
        ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                 .count();
        stats_.images++;
        stats_.faces += out.size();
        stats_.ms.push_back(ms);
        return true;
    }

    void Mark(cv::Mat& bgr, const std::vector<Face>& faces) const {
        nerova_tool::Anonymize(bgr, nerova_tool::FaceRegions(faces, Names()), b_.o.hide,
                               b_.o.mask_scale, b_.o.mask_shape);
        if (!b_.o.draw_dir.empty()) nerova_tool::DrawFaces(bgr, faces);
    }

    std::vector<const char*> Names() const {
        std::vector<const char*> names;
        for (const std::string& n : names_) names.push_back(n.c_str());
        return names;
    }

    void Unwritten(const Output& out, const std::string& reason) {
        b_.unwritten++;
        b_.console.Err("cannot write " + out.path.string() + ": " + reason);
    }

    bool Image(size_t i, const Output* out) {
        const Input& input = b_.inputs[i];
        cv::Mat image = cv::imread(input.path, cv::IMREAD_COLOR);
        if (b_.progress) b_.progress->Tick();
        std::vector<Face> faces;
        double ms = 0;
        if (image.empty() || !Detect(image, input, faces, ms)) return false;
        if (!b_.crops.empty() && b_.crops[i].refusal.empty()) Crop(image, b_.crops[i], faces);
        b_.sequencer.Emit(
            i, nerova_tool::Record(input.path, -1, 0, image.cols, image.rows, faces, ms));
        if (out) {
            Mark(image, faces);
            const std::string err = nerova_tool::WriteImage(out->path, image, b_.o.overwrite);
            if (!err.empty()) Unwritten(*out, err);
        }
        return true;
    }

#if NEROVA_TOOL_VIDEO
    struct Tracker {
        void* handle = nullptr;
        ~Tracker() {
            if (handle) NerovaTrackerDestroy(handle);
        }
    };
    struct Writer {
        void* handle = nullptr;
        ~Writer() {
            if (handle) NerovaVideoWriterDestroy(handle);
        }
    };
    struct Review {
        void* handle = nullptr;
        ~Review() {
            if (handle) NerovaReviewDestroy(handle);
        }
    };
    // What following the faces of one video keeps from frame to frame.
    struct Following {
        Tracker tracker;
        std::vector<Face> faces;
        std::vector<uint32_t> ids;
        std::vector<float> angles;
        bool ok = true, untracked = false;
        int64_t cut = -1;  // the last shot cut since the previous frame looked at
    };

    // One frame of a video: its cut, its faces on every N-th frame joined to their tracks,
    // its record. False when no tracker can be made.
    bool Follow(size_t i, cv::VideoCapture& video, const cv::Mat& frame, uint32_t index,
                Following& f) {
        const Input& input = b_.inputs[i];
        if (b_.progress) b_.progress->Tick();
        if (!f.tracker.handle &&
            NerovaTrackerCreate(nullptr, frame.cols, frame.rows, &f.tracker.handle) != NEROVA_OK)
            return false;
        int32_t is_cut = 0;
        if (NerovaTrackerSeeFrame(f.tracker.handle, NEROVA_PIXEL_FORMAT_BGR, frame.cols, frame.rows,
                                  frame.data, static_cast<int32_t>(frame.step),
                                  &is_cut) == NEROVA_OK &&
            is_cut)
            f.cut = index;
        bool detected = false;
        f.faces.clear();
        const bool look = index % static_cast<uint32_t>(b_.o.every) == 0;
        const double time_ms = look ? video.get(cv::CAP_PROP_POS_MSEC) : 0;
        double ms = 0;
        if (look && !(detected = Detect(frame, input, f.faces, ms))) f.ok = false;
        // The faces join their tracks before the record is printed, which names them.
        std::vector<NerovaFaceInfo> infos;
        f.angles.clear();
        const std::vector<NerovaMaskRegion> regions = nerova_tool::FaceRegions(f.faces, Names());
        for (size_t k = 0; k < f.faces.size(); ++k) {
            infos.push_back(f.faces[k].info);
            f.angles.push_back(regions[k].angle);
        }
        f.ids.assign(infos.size(), 0);
        if (NerovaTrackerAddFrame(f.tracker.handle, detected, infos.data(),
                                  static_cast<uint32_t>(infos.size()), f.angles.data(),
                                  f.ids.data(), nullptr, nullptr) != NEROVA_OK &&
            !f.untracked) {
            // Its faces would go unhidden: such a video is not written.
            b_.console.Err(input.path + ": frame " + std::to_string(index) +
                           ": more faces than the tracker follows (" +
                           std::to_string(NEROVA_TRACKER_MAX_FACES) + " a frame)");
            f.untracked = true;
            f.ok = false;
        }
        for (size_t k = 0; k < f.faces.size(); ++k) f.faces[k].track = f.ids[k];
        if (detected)
            b_.sequencer.Emit(i, nerova_tool::Record(input.path, static_cast<int>(index), time_ms,
                                                     frame.cols, frame.rows, f.faces, ms, f.cut));
        if (look) f.cut = -1;
        return true;
    }

    // Detects on every N-th frame and follows the faces through all of them; a written video
    // is made in a second pass, once the whole video is known, so that every face is hidden
    // from the frame it enters to the frame it leaves, between and around its detections.
    bool Video(size_t i, const Output* out) {
        const Input& input = b_.inputs[i];
        if (b_.o.one_pass(input.live)) return OnePass(i, out);
        cv::VideoCapture video;
        if (!nerova_tool::OpenVideo(input.path, video)) return false;
        double fps = video.get(cv::CAP_PROP_FPS);
        if (!(fps > 0 && fps <= 1000)) fps = 25;  // a container without a usable rate
        Following f;
        uint32_t index = 0;
        for (cv::Mat frame; video.read(frame); ++index)
            if (!Follow(i, video, frame, index, f)) return false;
        if (index == 0) return false;
        if (f.untracked && out) Unwritten(*out, "some of its faces could not be followed");
        if (!out || f.untracked) return f.ok;
        NerovaTrackerFinish(f.tracker.handle);
        if (!b_.o.quiet) Report(input.path, f.tracker.handle, index);
        std::string write_error = WriteTracked(input.path, *out, f.tracker.handle, index, fps);
        if (!write_error.empty()) Unwritten(*out, write_error);
        return f.ok;
    }

    // A live source, or any video with --latency: each frame is written once the next N are
    // in, its faces followed with what those show, so the output lags the input by N frames.
    bool OnePass(size_t i, const Output* out) {
        const Input& input = b_.inputs[i];
        cv::VideoCapture video;
        if (!nerova_tool::OpenVideo(input.path, video)) return false;
        double fps = video.get(cv::CAP_PROP_FPS);
        if (!(fps > 0 && fps <= 1000)) fps = 25;
        Following f;
        Writer writer;
        // A file's sound is copied; a live source is read once, so its sound cannot be.
        if (out && NerovaVideoWriterCreate(out->path.c_str(), input.live ? "" : input.path.c_str(),
                                           b_.o.video_codec.c_str(), b_.o.video_quality,
                                           b_.o.overwrite, &writer.handle) != NEROVA_OK) {
            Unwritten(*out, "the video settings are refused");
            out = nullptr;
        }
        struct Held {
            cv::Mat frame;
            double seconds;
        };
        std::deque<Held> ahead;  // read, not yet written
        std::string write_error;
        uint32_t index = 0, written = 0;
        size_t masks = 0, guessed = 0;
        const auto write_next = [&]() {
            Held& h = ahead.front();
            if (out && write_error.empty() && !f.untracked)
                write_error = WriteFrame(writer.handle, f.tracker.handle, written, h.frame,
                                         h.seconds, fps, nullptr, true, &masks, &guessed);
            ahead.pop_front();
            // Written: the tracker keeps only what later frames need.
            NerovaTrackerForget(f.tracker.handle, ++written);
        };
        for (cv::Mat frame; video.read(frame); ++index) {
            const double seconds = std::max(0.0, video.get(cv::CAP_PROP_POS_MSEC) / 1000);
            if (!Follow(i, video, frame, index, f)) return false;
            ahead.push_back({out ? frame.clone() : cv::Mat(), seconds});
            if (ahead.size() > static_cast<size_t>(b_.o.latency)) write_next();
        }
        if (index == 0) return false;
        while (!ahead.empty()) write_next();
        if (!out) return f.ok;
        if (f.untracked) {
            Unwritten(*out, "some of its faces could not be followed");
            return f.ok;
        }
        if (write_error.empty() && NerovaVideoWriterFinish(writer.handle) != NEROVA_OK)
            write_error = NerovaVideoWriterMessage(writer.handle);
        if (!write_error.empty()) Unwritten(*out, write_error);
        Notes(input.path, writer.handle);
        if (!b_.o.quiet) {
            uint32_t cuts = 0;
            NerovaTrackerCutCount(f.tracker.handle, &cuts);
            char line[256];
            std::snprintf(line, sizeof line,
                          ": %u frames, %zu face masks (%.2f a frame), %zu of them not detected, "
                          "%u shot cuts; written %d frames (%.2f s) behind the input, to follow "
                          "faces ahead",
                          index, masks, static_cast<double>(masks) / index, guessed, cuts,
                          b_.o.latency, b_.o.latency / fps);
            b_.console.Err(input.path + line);
        }
        return f.ok;
    }

    // What of the input the written video could not keep, as warnings.
    void Notes(const std::string& path, void* writer) {
        for (uint32_t k = 0; !b_.o.quiet && k < NerovaVideoWriterNoteCount(writer); ++k)
            b_.console.Err("warning: " + path + ": " + NerovaVideoWriterNote(writer, k));
    }

    // One frame hidden (or drawn) as its tracks say, given to the review, written at its
    // time. so_far: the tracks as known from the frames read so far; masks and guessed (may
    // be null) count its masks and those not detected. "" or the reason.
    std::string WriteFrame(void* writer, void* tracker, uint32_t index, cv::Mat& frame,
                           double seconds, double fps, void* review, bool so_far,
                           size_t* masks = nullptr, size_t* guessed = nullptr) {
        NerovaTrack* tracks = nullptr;
        uint32_t count = 0;
        if ((so_far ? NerovaTrackerFrameSoFar(tracker, index, &tracks, &count)
                    : NerovaTrackerFrame(tracker, index, &tracks, &count)) != NEROVA_OK)
            return "the faces of a frame are lost";
        for (uint32_t k = 0; masks && guessed && k < count; ++k) {
            ++*masks;
            *guessed += tracks[k].state != NEROVA_TRACK_DETECTED;
        }
        nerova_tool::Anonymize(frame, nerova_tool::TrackRegions(tracks, count), b_.o.hide,
                               b_.o.mask_scale, b_.o.mask_shape);
        if (!b_.o.draw_dir.empty()) nerova_tool::DrawTracks(frame, tracks, count);
        NerovaTracksRelease(tracks);
        if (review &&
            NerovaReviewAddFrame(review, index, NEROVA_PIXEL_FORMAT_BGR, frame.cols, frame.rows,
                                 frame.data, static_cast<int32_t>(frame.step)) != NEROVA_OK)
            return std::string("its review: ") + NerovaReviewMessage(review);
        if (NerovaVideoWriterWriteAt(writer, NEROVA_PIXEL_FORMAT_BGR, frame.cols, frame.rows,
                                     frame.data, static_cast<int32_t>(frame.step), fps,
                                     seconds) != NEROVA_OK)
            return NerovaVideoWriterMessage(writer);
        return "";
    }

    // The second pass: every frame again, its tracks hidden (or drawn), written.
    std::string WriteTracked(const std::string& path, const Output& out, void* tracker,
                             uint32_t frames, double fps) {
        cv::VideoCapture video;
        if (!nerova_tool::OpenVideo(path, video)) return "the video cannot be read again";
        Writer writer;
        if (NerovaVideoWriterCreate(out.path.c_str(), path.c_str(), b_.o.video_codec.c_str(),
                                    b_.o.video_quality, b_.o.overwrite,
                                    &writer.handle) != NEROVA_OK)
            return "the video settings are refused";
        Review review;
        if (!b_.o.report_dir.empty() &&
            NerovaReviewCreate(tracker, path.c_str(), fps, &review.handle) != NEROVA_OK)
            return "its review cannot be made";
        uint32_t index = 0;
        for (cv::Mat frame; index < frames && video.read(frame); ++index) {
            // Each frame at the input's time: a variable-rate video keeps its timing.
            const double seconds = std::max(0.0, video.get(cv::CAP_PROP_POS_MSEC) / 1000);
            const std::string err = WriteFrame(writer.handle, tracker, index, frame, seconds, fps,
                                               review.handle, false);
            if (!err.empty()) return err;
        }
        if (index < frames) return "the video gave fewer frames the second time";
        const std::string err = NerovaVideoWriterFinish(writer.handle) == NEROVA_OK
                                    ? ""
                                    : NerovaVideoWriterMessage(writer.handle);
        Notes(path, writer.handle);
        if (err.empty() && review.handle) {
            // Laid out under the report folder as the video is under the output folder.
            const fs::path root = fs::path(b_.o.write_dir()).lexically_normal();
            fs::path name = out.path.lexically_normal().lexically_relative(root);
            if (name.empty() || *name.begin() == "..") name = out.path.filename();
            const fs::path page = fs::path(b_.o.report_dir) / (name.string() + ".html");
            if (NerovaReviewWrite(review.handle, page.c_str(), b_.o.overwrite) != NEROVA_OK)
                Unwritten(Output{page, ""}, NerovaReviewMessage(review.handle));
        }
        return err;
    }

    // Per video, what a person checking the output needs: how many masks came from a
    // detection and how many were predicted, and the longest run a face was predicted.
    void Report(const std::string& path, void* tracker, uint32_t frames) {
        size_t masks = 0, predicted = 0, predicted_frames = 0;
        uint32_t longest = 0;
        std::map<uint32_t, uint32_t> run;  // track id: predicted frames in a row
        for (uint32_t f = 0; f < frames; ++f) {
            NerovaTrack* tracks = nullptr;
            uint32_t count = 0;
            if (NerovaTrackerFrame(tracker, f, &tracks, &count) != NEROVA_OK) return;
            bool any = false;
            std::map<uint32_t, uint32_t> next;
            for (uint32_t k = 0; k < count; ++k) {
                ++masks;
                if (tracks[k].state == NEROVA_TRACK_DETECTED) continue;
                ++predicted;
                any = true;
                const uint32_t n = next[tracks[k].id] = run[tracks[k].id] + 1;
                longest = std::max(longest, n);
            }
            run = std::move(next);
            predicted_frames += any;
            NerovaTracksRelease(tracks);
        }
        uint32_t cuts = 0;
        NerovaTrackerCutCount(tracker, &cuts);
        char line[256];
        std::snprintf(line, sizeof line,
                      ": %u frames, %zu face masks (%.2f a frame), %zu of them predicted in %zu "
                      "frames, longest run without a detection %u frames, %u shot cuts",
                      frames, masks, static_cast<double>(masks) / frames, predicted,
                      predicted_frames, longest, cuts);
        b_.console.Err(path + line);
    }

#else
    // A build without the video library cannot follow faces through a video.
    bool Video(size_t i, const Output*) {
        b_.console.Err(b_.inputs[i].path +
                       ": videos need the video library (libnerova_video), which this build lacks");
        return false;
    }
#endif

    // Writes each face's aligned crop beside the planned path and names it in the face;
    // a crop that cannot be written is reported and left out of the record.
    void Crop(const cv::Mat& image, const Output& plan, std::vector<Face>& faces) {
        const std::vector<const char*> names = Names();
        for (size_t k = 0; k < faces.size(); ++k) {
            float m[6];
            if (NerovaFaceAlignment(&faces[k].detail, names.data(), b_.o.crop_size, m) != NEROVA_OK)
                continue;
            cv::Mat crop;
            cv::warpAffine(image, crop, cv::Mat(2, 3, CV_32F, m),
                           cv::Size(b_.o.crop_size, b_.o.crop_size), cv::INTER_LINEAR,
                           cv::BORDER_CONSTANT, cv::Scalar::all(0));
            const fs::path path = plan.path.parent_path() / (plan.path.filename().string() +
                                                             ".face" + std::to_string(k) + ".png");
            const std::string err = nerova_tool::WriteImage(path, crop, b_.o.overwrite);
            if (err.empty())
                faces[k].crop = path.string();
            else
                Unwritten(Output{path, ""}, err);
        }
    }

    void* handle_;
    Batch& b_;
    Stats stats_;
    std::vector<std::string> names_;
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
        {true, "--tiles", 0, NerovaFaceDetectorSetTiles(handle, o.tile_rows, o.tile_cols)},
        {o.confirm_tile_faces >= 0, "--confirm-tile-faces",
         static_cast<double>(o.confirm_tile_faces),
         o.confirm_tile_faces >= 0 ? NerovaFaceDetectorSetConfirmation(handle, o.confirm_tile_faces)
                                   : NEROVA_OK},
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

// The run's detectors, destroyed with it.
struct Detectors {
    std::vector<void*> handles;
    Detectors() = default;
    Detectors(const Detectors&) = delete;
    Detectors& operator=(const Detectors&) = delete;
    ~Detectors() {
        for (void* h : handles) NerovaFaceDetectorDestroy(h);
    }
};

// Creates `jobs` detectors on o.model with o's settings; returns the exit status on failure
// (reported), kExitOk otherwise.
int CreateDetectors(const Options& o, size_t jobs, Detectors& detectors) {
    // One inference thread per detector unless asked: the jobs are the parallelism (and
    // OpenCV's pool, for a network on OpenCV DNN, is one for the whole process).
    NerovaCustomRuntime runtime{static_cast<NerovaDeviceType>(o.device_type), 0,
                                o.threads > 0 ? o.threads : 1};
    std::vector<void*>& handles = detectors.handles;
    // Without --device the model's own device is kept: the first detector reads it, and is
    // made again only when its thread count differs.
    const NerovaCustomRuntime* requested = o.device.empty() ? nullptr : &runtime;
    while (handles.size() < jobs) {
        void* handle = nullptr;
        const NerovaError err = NerovaFaceDetectorCreate(o.model.c_str(), "", requested, &handle);
        if (err != NEROVA_OK) {
            std::fprintf(stderr, "%s: cannot load model %s: %s\n", kTool, o.model.c_str(),
                         Describe(err).c_str());
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
        if (!ApplySettings(handle, o)) return kExitUsage;
    }
    return kExitOk;
}

// The progress bar's total: images, and videos in frames from their containers; one
// without a count makes the total unknown.
std::unique_ptr<Progress> MakeProgress(Console& console, const std::vector<Input>& inputs) {
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
    return std::make_unique<Progress>(console, known ? total : 0, videos ? "frames" : "images");
}

void PrintSummary(const std::vector<Worker>& workers, size_t failed, size_t unwritten) {
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
    std::string tail;
    if (failed) tail += ", " + std::to_string(failed) + " inputs failed";
    if (unwritten) tail += ", " + std::to_string(unwritten) + " outputs not written";
    std::fprintf(stderr, "%s: %zu images, %zu faces, mean %.2f ms, median %.2f ms%s\n", kTool,
                 stats.images, stats.faces, mean, median, tail.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    // The tool says itself which inputs it cannot read; OpenCV's own warnings would only
    // repeat that in its internal terms.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);  // FFmpeg's own lines, read at its first use
    Options o;
    bool help = false, version = false;
    const std::string bad = nerova_tool::ParseArgs(argc, argv, o, help, version);
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    if (help) {
        nerova_tool::PrintHelp(cores);
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
    if (o.quiet) NerovaSetLogSink(nullptr, nullptr);  // the tool reports failures itself
    for (const std::string& list : o.lists) {
        std::string error;
        if (!nerova_tool::ReadList(list, o.inputs, error)) {
            std::fprintf(stderr, "%s: cannot read the list %s%s%s\n", kTool, list.c_str(),
                         error.empty() ? "" : ": ", error.c_str());
            return kExitUsage;
        }
    }
    const std::string model_name = o.model.empty() ? nerova_tool::kDefaultModel : o.model;
    o.model = ResolveModel(model_name);
    if (o.model.empty()) return kExitModel;
    const std::vector<Input> inputs = nerova_tool::ExpandInputs(o.inputs, o.write_dir());

    const size_t jobs = std::max<size_t>(
        1, std::min<size_t>(inputs.size(), static_cast<size_t>(o.jobs > 0 ? o.jobs : cores)));
    Detectors detectors;
    if (const int status = CreateDetectors(o, jobs, detectors); status != kExitOk) return status;

    const bool bar = !o.quiet && isatty(STDERR_FILENO);
    Console console(kTool, bar);
    std::vector<Output> outputs;
    size_t refused = 0;
    if (!o.live_out.empty()) {
        if (inputs.size() != 1) {
            std::fprintf(stderr, "%s: --live-out writes one input, not %zu\n", kTool,
                         inputs.size());
            return kExitUsage;
        }
        if (o.live_out == "-") console.DropRecords();
        std::error_code ec;
        const fs::path target = o.live_out;
        outputs = {Output{target, ""}};
        if (o.live_out != "-" && !o.overwrite && !fs::is_fifo(target, ec) &&
            fs::exists(fs::symlink_status(target, ec)))
            outputs[0].refusal = "it exists (--overwrite replaces it)";
        else if (!inputs[0].live && fs::equivalent(inputs[0].path, target, ec))
            outputs[0].refusal = "it is an input";
        if (!outputs[0].refusal.empty()) {
            ++refused;
            console.Err("not writing " + target.string() + ": " + outputs[0].refusal);
        }
    } else if (o.writes()) {
        std::error_code ec;
        fs::create_directories(o.write_dir(), ec);
        if (ec) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", kTool, o.write_dir().c_str(),
                         ec.message().c_str());
            return kExitUsage;
        }
        std::vector<std::string> warnings;
        outputs = nerova_tool::PlanOutputs(inputs, o.write_dir(), o.overwrite, warnings);
        if (!o.quiet)
            for (const std::string& w : warnings) console.Err("warning: " + w);
        for (const Output& out : outputs) {
            if (out.refusal.empty()) continue;
            ++refused;
            console.Err("not writing " + out.path.string() + ": " + out.refusal);
        }
    }

#if NEROVA_TOOL_VIDEO
    const bool can_encode = NerovaVideoCanEncode(o.video_codec.c_str());
#else
    const bool can_encode = false;
#endif
    if (!o.video_codec.empty() && !can_encode) {
        std::fprintf(stderr, "%s: this build cannot encode %s video\n", kTool,
                     o.video_codec.c_str());
        return kExitUsage;
    }
    std::vector<Output> crops;
    if (!o.crops_dir.empty()) {
        const std::vector<std::string> names = LandmarkNames(detectors.handles[0]);
        if (std::count(names.begin(), names.end(), "right_eye") +
                std::count(names.begin(), names.end(), "left_eye") <
            2) {
            std::fprintf(stderr,
                         "%s: --crops needs a model with eye, nose and mouth landmarks; "
                         "%s has none\n",
                         kTool, model_name.c_str());
            return kExitUsage;
        }
        std::error_code ec;
        fs::create_directories(o.crops_dir, ec);
        if (ec) {
            std::fprintf(stderr, "%s: cannot create %s: %s\n", kTool, o.crops_dir.c_str(),
                         ec.message().c_str());
            return kExitUsage;
        }
        std::vector<std::string> unused;  // the images' own outputs already warned
        crops = nerova_tool::PlanOutputs(inputs, o.crops_dir, true, unused);
    }

    std::unique_ptr<Progress> progress;
    if (bar) progress = MakeProgress(console, inputs);

    Sequencer sequencer(console, inputs.size());
    Batch batch{o, inputs, outputs, crops, console, sequencer, progress.get()};
    std::vector<Worker> workers;
    for (void* h : detectors.handles) workers.emplace_back(h, batch);
    std::vector<std::thread> threads;
    for (size_t w = 1; w < workers.size(); ++w) threads.emplace_back(&Worker::Run, &workers[w]);
    workers[0].Run();
    for (std::thread& t : threads) t.join();
    if (progress) progress->Finish();
    if (const int err = console.OutError()) {
        std::fprintf(stderr, "%s: cannot write the records to standard output: %s\n", kTool,
                     std::strerror(err));
        return kExitInputFailed;
    }
    const size_t failed = batch.failed, unwritten = batch.unwritten + refused;
    if (!o.quiet) PrintSummary(workers, failed, unwritten);
    return failed || unwritten ? kExitInputFailed : kExitOk;
}
