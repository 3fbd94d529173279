// The exported C interface of the video library: faces followed through time, and videos
// written with their sound.
#include "nerova_video.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/c_guard.h"
#include "common/whole_files.h"
#include "nerova/module_common.h"
#include "video/review_page.h"
#include "video/tracker.h"
#include "video/video_writer.h"

using nerova::module::Detection;
using nerova::module::FaceTracker;
using nerova::module::Guarded;
using nerova::module::TrackBox;
using nerova::module::TrackerSettings;

namespace {

constexpr const char* kTrackerCreate = "NerovaTrackerCreate";
constexpr const char* kTrackerAddFrame = "NerovaTrackerAddFrame";
constexpr const char* kTrackerFrame = "NerovaTrackerFrame";
constexpr int32_t kMaxSide = nerova::module::FrameConverter::kMaxSide;
constexpr double kMaxSeconds = 1e7;  // about four months: any video, and no overflow in periods

// The tracks as a new array for the host (null for none); false when memory ran out.
bool Export(const std::vector<TrackBox>& boxes, NerovaTrack** out, uint32_t* count) {
    *out = nullptr;
    *count = static_cast<uint32_t>(boxes.size());
    if (boxes.empty()) return true;
    auto* tracks = static_cast<NerovaTrack*>(std::malloc(boxes.size() * sizeof(NerovaTrack)));
    if (!tracks) return false;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const TrackBox& b = boxes[i];
        tracks[i] = {b.id, b.state, b.score, b.x1, b.y1, b.x2, b.y2, b.angle};
    }
    *out = tracks;
    return true;
}

struct ReviewHandle {
    nerova::module::ReviewPage page;
    std::string message;
};

struct VideoWriterHandle {
    nerova::module::VideoOutput out;
    std::string message;
};

bool OptionsValid(const NerovaTrackerOptions& o) {
    return o.size == sizeof(NerovaTrackerOptions) && o.max_missed_frames >= 0 &&
           o.max_missed_frames <= 100000 && o.min_iou >= 0 && o.min_iou <= 1 &&
           o.growth_per_frame >= 0 && o.growth_per_frame <= 1 && o.max_growth >= 0 &&
           o.max_growth <= 4;
}

// The channels of an interleaved frame the library reads (BGR, RGB, BGRA, RGBA or GRAY, of a
// size it takes, rows at least as long as the stride says); 0 when it cannot be read.
int ReadableChannels(int32_t pixel_format, int32_t width, int32_t height, int32_t stride) {
    const int channels = nerova::module::FrameConverter::InterleavedChannels(pixel_format);
    const bool fits = width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
                      static_cast<int64_t>(stride) >= static_cast<int64_t>(width) * channels;
    return fits ? channels : 0;
}

bool RedFirst(int32_t pixel_format) {
    return pixel_format == NEROVA_PIXEL_FORMAT_RGB || pixel_format == NEROVA_PIXEL_FORMAT_RGBA;
}

// One frame for the writer, at seconds (negative: after the last); what both calls share.
NerovaError WriteFrame(const char* function, void* writer, int32_t pixel_format, int32_t width,
                       int32_t height, const uint8_t* pixels, int32_t stride, double fps,
                       double seconds) {
    NEROVA_CHECK_PARAM_NULL(writer, function, 1);
    NEROVA_CHECK_PARAM_NULL(pixels, function, 2);
    auto* w = static_cast<VideoWriterHandle*>(writer);
    const int channels = ReadableChannels(pixel_format, width, height, stride);
    if (!channels || !(fps > 0 && fps <= 1000)) {
        w->message = "the frame or the rate cannot be read";
        return NEROVA_ERR_PARAM_NULL;
    }
    return Guarded(function, 3, [&]() -> NerovaError {
        w->message = w->out.Write(pixels, width, height, stride, channels, RedFirst(pixel_format),
                                  fps, seconds);
        return w->message.empty() ? NEROVA_OK : NEROVA_ERR_OUTPUT_FILE;
    });
}

}  // namespace

extern "C" {

NerovaError NerovaTrackerDefaults(NerovaTrackerOptions* options) {
    NEROVA_CHECK_PARAM_NULL(options, "NerovaTrackerDefaults", 1);
    const TrackerSettings s;
    *options = {sizeof(NerovaTrackerOptions), s.max_missed_frames, s.min_iou, s.growth_per_frame,
                s.max_growth};
    return NEROVA_OK;
}

NerovaError NerovaTrackerCreate(const NerovaTrackerOptions* options, int32_t width, int32_t height,
                                void** tracker) {
    NEROVA_CHECK_PARAM_NULL(tracker, kTrackerCreate, 1);
    NerovaTrackerOptions o;
    NerovaTrackerDefaults(&o);
    if (options) o = *options;
    if (!OptionsValid(o) || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        NEROVA_LOGE(kTrackerCreate, 2, "options or frame size out of range.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    return Guarded(kTrackerCreate, 3, [&]() -> NerovaError {
        TrackerSettings s;
        s.max_missed_frames = o.max_missed_frames;
        s.min_iou = o.min_iou;
        s.growth_per_frame = o.growth_per_frame;
        s.max_growth = o.max_growth;
        *tracker = new FaceTracker(s, width, height);
        return NEROVA_OK;
    });
}

NerovaError NerovaTrackerDestroy(void* tracker) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaTrackerDestroy", 1);
    delete static_cast<FaceTracker*>(tracker);
    return NEROVA_OK;
}

NerovaError NerovaTrackerAddFrame(void* tracker, int32_t detected, const NerovaFaceInfo* faces,
                                  uint32_t count, const float* angles, uint32_t* face_tracks,
                                  NerovaTrack** live, uint32_t* live_count) {
    NEROVA_CHECK_PARAM_NULL(tracker, kTrackerAddFrame, 1);
    if (count > 0) NEROVA_CHECK_PARAM_NULL(faces, kTrackerAddFrame, 2);
    if (live) NEROVA_CHECK_PARAM_NULL(live_count, kTrackerAddFrame, 3);
    auto* t = static_cast<FaceTracker*>(tracker);
    if (t->finished()) {
        NEROVA_LOGE(kTrackerAddFrame, 4, "the tracker has finished.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    const bool too_many = detected && (count > NEROVA_TRACKER_MAX_FACES ||
                                       t->live_count() + count > size_t(NEROVA_TRACKER_MAX_TRACKS));
    if (too_many) NEROVA_LOGE(kTrackerAddFrame, 5, "more faces than the tracker follows.");
    // A refused frame still counts, as one nobody looked at.
    const bool looked = detected && !too_many;
    return Guarded(kTrackerAddFrame, 6, [&]() -> NerovaError {
        // Faces without area, or without a score, are no detection: they get no track (0).
        std::vector<Detection> list;
        std::vector<uint32_t> used;  // the face each detection came from
        for (uint32_t i = 0; looked && i < count; ++i) {
            const NerovaFaceInfo& f = faces[i];
            const float angle = angles && std::isfinite(angles[i]) ? angles[i] : 0.0f;
            if (!(f.x1 < f.x2 && f.y1 < f.y2) || !std::isfinite(f.score)) continue;
            list.push_back({f.score, static_cast<float>(f.x1), static_cast<float>(f.y1),
                            static_cast<float>(f.x2), static_cast<float>(f.y2), angle});
            used.push_back(i);
        }
        std::vector<uint32_t> ids;
        std::vector<TrackBox> boxes;
        t->AddFrame(looked, list, ids, boxes);
        if (face_tracks) {
            std::fill(face_tracks, face_tracks + count, 0u);
            for (size_t k = 0; k < used.size(); ++k) face_tracks[used[k]] = ids[k];
        }
        if (live && !Export(boxes, live, live_count)) return NEROVA_ERR_OUT_OF_MEMORY;
        return too_many ? NEROVA_ERR_PARAM_RANGE : NEROVA_OK;
    });
}

static_assert(nerova::module::kCutHistory == NEROVA_TRACKER_CUT_HISTORY,
              "the interface tells hosts how far back a cut decision reads");

NerovaError NerovaTrackerSeeFrame(void* tracker, int32_t pixel_format, int32_t width,
                                  int32_t height, const uint8_t* pixels, int32_t stride,
                                  int32_t* cut) {
    constexpr const char* kSee = "NerovaTrackerSeeFrame";
    NEROVA_CHECK_PARAM_NULL(tracker, kSee, 1);
    NEROVA_CHECK_PARAM_NULL(pixels, kSee, 2);
    if (cut) *cut = 0;
    const int channels = ReadableChannels(pixel_format, width, height, stride);
    if (!channels) {
        NEROVA_LOGE(kSee, 3, "the frame cannot be read (format, size or stride).");
        return NEROVA_ERR_PARAM_RANGE;
    }
    auto* t = static_cast<FaceTracker*>(tracker);
    if (t->finished()) {
        NEROVA_LOGE(kSee, 4, "the tracker has finished.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    const bool found = t->See(pixels, width, height, stride, channels, RedFirst(pixel_format));
    if (cut) *cut = found ? 1 : 0;
    return NEROVA_OK;
}

NerovaError NerovaTrackerCut(void* tracker) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaTrackerCut", 1);
    auto* t = static_cast<FaceTracker*>(tracker);
    if (t->finished()) {
        NEROVA_LOGE("NerovaTrackerCut", 2, "the tracker has finished.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    t->Cut();
    return NEROVA_OK;
}

NerovaError NerovaTrackerCutCount(void* tracker, uint32_t* count) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaTrackerCutCount", 1);
    NEROVA_CHECK_PARAM_NULL(count, "NerovaTrackerCutCount", 2);
    *count = static_cast<uint32_t>(static_cast<const FaceTracker*>(tracker)->cuts().size());
    return NEROVA_OK;
}

NerovaError NerovaTrackerCutAt(void* tracker, uint32_t index, uint32_t* frame) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaTrackerCutAt", 1);
    NEROVA_CHECK_PARAM_NULL(frame, "NerovaTrackerCutAt", 2);
    const auto& cuts = static_cast<const FaceTracker*>(tracker)->cuts();
    if (index >= cuts.size()) {
        NEROVA_LOGE("NerovaTrackerCutAt", 3, "no such cut.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    *frame = cuts[index];
    return NEROVA_OK;
}

NerovaError NerovaTrackerFinish(void* tracker) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaTrackerFinish", 1);
    return Guarded("NerovaTrackerFinish", 2, [&]() -> NerovaError {
        static_cast<FaceTracker*>(tracker)->Finish();
        return NEROVA_OK;
    });
}

NerovaError NerovaTrackerFrame(void* tracker, uint32_t frame, NerovaTrack** tracks,
                               uint32_t* track_count) {
    NEROVA_CHECK_PARAM_NULL(tracker, kTrackerFrame, 1);
    NEROVA_CHECK_PARAM_NULL(tracks, kTrackerFrame, 2);
    NEROVA_CHECK_PARAM_NULL(track_count, kTrackerFrame, 3);
    const auto* t = static_cast<const FaceTracker*>(tracker);
    if (!t->finished() || frame >= t->frame_count()) {
        NEROVA_LOGE(kTrackerFrame, 4, "no such frame, or the tracker has not finished.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    return Export(t->Frame(frame), tracks, track_count) ? NEROVA_OK : NEROVA_ERR_OUT_OF_MEMORY;
}

NerovaError NerovaTrackerFrameSoFar(void* tracker, uint32_t frame, NerovaTrack** tracks,
                                    uint32_t* track_count) {
    constexpr const char* kName = "NerovaTrackerFrameSoFar";
    NEROVA_CHECK_PARAM_NULL(tracker, kName, 1);
    NEROVA_CHECK_PARAM_NULL(tracks, kName, 2);
    NEROVA_CHECK_PARAM_NULL(track_count, kName, 3);
    const auto* t = static_cast<const FaceTracker*>(tracker);
    if (frame >= t->frame_count()) {
        NEROVA_LOGE(kName, 4, "no such frame yet.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    return Guarded(kName, 5, [&]() -> NerovaError {
        std::vector<TrackBox> boxes;
        t->FrameSoFar(frame, boxes);
        return Export(boxes, tracks, track_count) ? NEROVA_OK : NEROVA_ERR_OUT_OF_MEMORY;
    });
}

NerovaError NerovaTrackerForget(void* tracker, uint32_t before) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaTrackerForget", 1);
    return Guarded("NerovaTrackerForget", 2, [&]() -> NerovaError {
        static_cast<FaceTracker*>(tracker)->Forget(before);
        return NEROVA_OK;
    });
}

NerovaError NerovaTracksRelease(NerovaTrack* tracks) {
    std::free(tracks);
    return NEROVA_OK;
}

NerovaError NerovaReviewCreate(void* tracker, const char* video_name, double fps, void** review) {
    NEROVA_CHECK_PARAM_NULL(tracker, "NerovaReviewCreate", 1);
    NEROVA_CHECK_PARAM_NULL(video_name, "NerovaReviewCreate", 2);
    NEROVA_CHECK_PARAM_NULL(review, "NerovaReviewCreate", 3);
    const auto* t = static_cast<const FaceTracker*>(tracker);
    if (!t->finished() || !(fps > 0 && fps <= 1000)) {
        NEROVA_LOGE("NerovaReviewCreate", 4, "the tracker has not finished, or fps out of range.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    return Guarded("NerovaReviewCreate", 5, [&]() -> NerovaError {
        *review = new ReviewHandle{{*t, video_name, fps, t->width(), t->height()}, ""};
        return NEROVA_OK;
    });
}

NerovaError NerovaReviewWantsFrame(void* review, uint32_t frame, int32_t* wanted) {
    NEROVA_CHECK_PARAM_NULL(review, "NerovaReviewWantsFrame", 1);
    NEROVA_CHECK_PARAM_NULL(wanted, "NerovaReviewWantsFrame", 2);
    *wanted = static_cast<ReviewHandle*>(review)->page.Wants(frame) ? 1 : 0;
    return NEROVA_OK;
}

NerovaError NerovaReviewAddFrame(void* review, uint32_t frame, int32_t pixel_format, int32_t width,
                                 int32_t height, const uint8_t* pixels, int32_t stride) {
    NEROVA_CHECK_PARAM_NULL(review, "NerovaReviewAddFrame", 1);
    NEROVA_CHECK_PARAM_NULL(pixels, "NerovaReviewAddFrame", 2);
    auto* r = static_cast<ReviewHandle*>(review);
    if (!ReadableChannels(pixel_format, width, height, stride)) {
        r->message = "the frame cannot be read";
        return NEROVA_ERR_PARAM_RANGE;
    }
    if (!r->page.Wants(frame)) return NEROVA_OK;
    NerovaFrame f{};
    f.pixel_format = static_cast<NerovaPixelFormat>(pixel_format);
    f.width = width;
    f.height = height;
    f.data[0] = pixels;
    f.stride[0] = stride;
    return Guarded("NerovaReviewAddFrame", 3, [&]() -> NerovaError {
        r->message = r->page.Picture(frame, f);
        return r->message.empty() ? NEROVA_OK : NEROVA_ERR_PARAM_RANGE;
    });
}

NerovaError NerovaReviewGetCounts(void* review, NerovaReviewCounts* counts) {
    NEROVA_CHECK_PARAM_NULL(review, "NerovaReviewGetCounts", 1);
    NEROVA_CHECK_PARAM_NULL(counts, "NerovaReviewGetCounts", 2);
    if (counts->size != sizeof(NerovaReviewCounts)) return NEROVA_ERR_PARAM_RANGE;
    const nerova::module::ReviewCounts& c = static_cast<ReviewHandle*>(review)->page.counts();
    *counts = {sizeof(NerovaReviewCounts),
               c.frames,
               c.tracks,
               c.cuts,
               c.to_check,
               c.pictures,
               c.masks,
               {c.states[0], c.states[1], c.states[2], c.states[3]}};
    return NEROVA_OK;
}

NerovaError NerovaReviewWrite(void* review, const char* path, int32_t overwrite) {
    NEROVA_CHECK_PARAM_NULL(review, "NerovaReviewWrite", 1);
    NEROVA_CHECK_PARAM_NULL(path, "NerovaReviewWrite", 2);
    auto* r = static_cast<ReviewHandle*>(review);
    return Guarded("NerovaReviewWrite", 3, [&]() -> NerovaError {
        const std::string html = r->page.Html();
        r->message =
            *path ? nerova::module::WriteWholeFile(path, html.data(), html.size(), overwrite != 0)
                  : "no path given";
        return r->message.empty() ? NEROVA_OK : NEROVA_ERR_OUTPUT_FILE;
    });
}

const char* NerovaReviewMessage(void* review) {
    return review ? static_cast<ReviewHandle*>(review)->message.c_str() : "";
}

NerovaError NerovaReviewDestroy(void* review) {
    NEROVA_CHECK_PARAM_NULL(review, "NerovaReviewDestroy", 1);
    delete static_cast<ReviewHandle*>(review);
    return NEROVA_OK;
}

int32_t NerovaVideoCanEncode(const char* codec) {
    try {
        return codec && nerova::module::CanEncode(codec) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

NerovaError NerovaVideoWriterCreate(const char* target, const char* sound_source, const char* codec,
                                    int32_t quality, int32_t overwrite, void** writer) {
    NEROVA_CHECK_PARAM_NULL(target, "NerovaVideoWriterCreate", 1);
    NEROVA_CHECK_PARAM_NULL(writer, "NerovaVideoWriterCreate", 2);
    const std::string name = codec ? codec : "";
    if (!(quality >= 1 && quality <= 100) || !*target ||
        (!name.empty() && name != "h264" && name != "mpeg4" && name != "mjpeg" && name != "ffv1")) {
        NEROVA_LOGE("NerovaVideoWriterCreate", 3, "value out of range.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    return Guarded("NerovaVideoWriterCreate", 4, [&]() -> NerovaError {
        *writer = new VideoWriterHandle{
            {target, overwrite != 0, {name, quality}, sound_source ? sound_source : ""}, ""};
        return NEROVA_OK;
    });
}

NerovaError NerovaVideoWriterWrite(void* writer, int32_t pixel_format, int32_t width,
                                   int32_t height, const uint8_t* pixels, int32_t stride,
                                   double fps) {
    return WriteFrame("NerovaVideoWriterWrite", writer, pixel_format, width, height, pixels, stride,
                      fps, -1);
}

NerovaError NerovaVideoWriterWriteAt(void* writer, int32_t pixel_format, int32_t width,
                                     int32_t height, const uint8_t* pixels, int32_t stride,
                                     double fps, double seconds) {
    if (writer && !(seconds >= 0 && seconds <= kMaxSeconds)) {
        static_cast<VideoWriterHandle*>(writer)->message = "the frame's time cannot be read";
        return NEROVA_ERR_PARAM_NULL;
    }
    return WriteFrame("NerovaVideoWriterWriteAt", writer, pixel_format, width, height, pixels,
                      stride, fps, seconds);
}

NerovaError NerovaVideoWriterFinish(void* writer) {
    NEROVA_CHECK_PARAM_NULL(writer, "NerovaVideoWriterFinish", 1);
    auto* w = static_cast<VideoWriterHandle*>(writer);
    return Guarded("NerovaVideoWriterFinish", 2, [&]() -> NerovaError {
        w->message = w->out.Finish();
        return w->message.empty() ? NEROVA_OK : NEROVA_ERR_OUTPUT_FILE;
    });
}

const char* NerovaVideoWriterMessage(void* writer) {
    return writer ? static_cast<VideoWriterHandle*>(writer)->message.c_str() : "";
}

uint32_t NerovaVideoWriterNoteCount(void* writer) {
    if (!writer) return 0;
    return static_cast<uint32_t>(static_cast<VideoWriterHandle*>(writer)->out.notes().size());
}

const char* NerovaVideoWriterNote(void* writer, uint32_t index) {
    if (!writer) return nullptr;
    const auto& notes = static_cast<VideoWriterHandle*>(writer)->out.notes();
    return index < notes.size() ? notes[index].c_str() : nullptr;
}

NerovaError NerovaVideoWriterDestroy(void* writer) {
    NEROVA_CHECK_PARAM_NULL(writer, "NerovaVideoWriterDestroy", 1);
    delete static_cast<VideoWriterHandle*>(writer);
    return NEROVA_OK;
}

const char* NerovaVideoVersion(void) { return NEROVA_VERSION; }

}  // extern "C"
