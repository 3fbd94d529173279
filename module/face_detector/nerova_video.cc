// The exported C interface for video: following faces through time, and hiding them.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "face_detector/c_guard.h"
#include "face_detector/masks.h"
#include "face_detector/tracker.h"
#include "face_detector/video_writer.h"
#include "face_detector/whole_files.h"
#include "nerova/module_common.h"
#include "nerova_face_detector.h"

using nerova::module::Detection;
using nerova::module::FaceTracker;
using nerova::module::Guarded;
using nerova::module::TrackBox;
using nerova::module::TrackerSettings;

namespace {

constexpr const char* kTrackerCreate = "NerovaTrackerCreate";
constexpr const char* kTrackerAddFrame = "NerovaTrackerAddFrame";
constexpr const char* kTrackerFrame = "NerovaTrackerFrame";
constexpr const char* kAnonymize = "NerovaAnonymize";
constexpr int32_t kMaxSide = nerova::module::FrameConverter::kMaxSide;

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

int Channels(int32_t format) {
    switch (format) {
        case NEROVA_PIXEL_FORMAT_GRAY:
            return 1;
        case NEROVA_PIXEL_FORMAT_BGR:
        case NEROVA_PIXEL_FORMAT_RGB:
            return 3;
        case NEROVA_PIXEL_FORMAT_BGRA:
        case NEROVA_PIXEL_FORMAT_RGBA:
            return 4;
        default:
            return 0;
    }
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
    return Guarded(kTrackerAddFrame, 6, [&]() -> NerovaError {
        // Faces without area, or without a score, are no detection: they get no track (0).
        std::vector<Detection> list;
        std::vector<uint32_t> used;  // the face each detection came from
        for (uint32_t i = 0; detected && i < count; ++i) {
            const NerovaFaceInfo& f = faces[i];
            const float angle = angles && std::isfinite(angles[i]) ? angles[i] : 0.0f;
            if (!(f.x1 < f.x2 && f.y1 < f.y2) || !std::isfinite(f.score)) continue;
            list.push_back({f.score, static_cast<float>(f.x1), static_cast<float>(f.y1),
                            static_cast<float>(f.x2), static_cast<float>(f.y2), angle});
            used.push_back(i);
        }
        std::vector<uint32_t> ids;
        std::vector<TrackBox> boxes;
        t->AddFrame(detected != 0, list, ids, boxes);
        if (face_tracks) {
            std::fill(face_tracks, face_tracks + count, 0u);
            for (size_t k = 0; k < used.size(); ++k) face_tracks[used[k]] = ids[k];
        }
        if (live && !Export(boxes, live, live_count)) return NEROVA_ERR_OUT_OF_MEMORY;
        return NEROVA_OK;
    });
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

NerovaError NerovaTracksRelease(NerovaTrack* tracks) {
    std::free(tracks);
    return NEROVA_OK;
}

NerovaError NerovaAnonymize(int32_t pixel_format, int32_t width, int32_t height, uint8_t* pixels,
                            int32_t stride, const NerovaMaskRegion* regions, uint32_t count,
                            int32_t hide, int32_t shape, float scale,
                            const NerovaFrame* replacement) {
    NEROVA_CHECK_PARAM_NULL(pixels, kAnonymize, 1);
    if (count > 0) NEROVA_CHECK_PARAM_NULL(regions, kAnonymize, 2);
    const int channels = Channels(pixel_format);
    if (!channels || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        static_cast<int64_t>(stride) < static_cast<int64_t>(width) * channels) {
        NEROVA_LOGE(kAnonymize, 3, "the picture cannot be read (format, size or stride).");
        return NEROVA_ERR_PARAM_NULL;
    }
    if (hide < NEROVA_HIDE_BLUR || hide > NEROVA_HIDE_IMAGE || shape < NEROVA_MASK_ELLIPSE ||
        shape > NEROVA_MASK_RECT || !(scale >= 1 && scale <= 10)) {
        NEROVA_LOGE(kAnonymize, 4, "value out of range.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    cv::Mat with;
    if (hide == NEROVA_HIDE_IMAGE) {
        NEROVA_CHECK_PARAM_NULL(replacement, kAnonymize, 5);
        const NerovaFrame& r = *replacement;
        int32_t format;  // as the 32-bit integer the host wrote
        std::memcpy(&format, &r.pixel_format, sizeof format);
        if (format != pixel_format || !r.data[0] || r.width < 1 || r.height < 1 ||
            r.width > kMaxSide || r.height > kMaxSide ||
            static_cast<int64_t>(r.stride[0]) < static_cast<int64_t>(r.width) * channels) {
            NEROVA_LOGE(kAnonymize, 6, "the replacement is not a picture of the same format.");
            return NEROVA_ERR_PARAM_NULL;
        }
        with = cv::Mat(r.height, r.width, CV_8UC(channels), const_cast<uint8_t*>(r.data[0]),
                       static_cast<size_t>(r.stride[0]));
    }
    return Guarded(kAnonymize, 7, [&]() -> NerovaError {
        cv::Mat image(height, width, CV_8UC(channels), pixels, static_cast<size_t>(stride));
        nerova::module::HideRegions(image, regions, count, hide, shape, scale, with);
        return NEROVA_OK;
    });
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
    NEROVA_CHECK_PARAM_NULL(writer, "NerovaVideoWriterWrite", 1);
    NEROVA_CHECK_PARAM_NULL(pixels, "NerovaVideoWriterWrite", 2);
    auto* w = static_cast<VideoWriterHandle*>(writer);
    const int channels = Channels(pixel_format);
    if (!channels || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide ||
        static_cast<int64_t>(stride) < static_cast<int64_t>(width) * channels ||
        !(fps > 0 && fps <= 1000)) {
        w->message = "the frame or the rate cannot be read";
        return NEROVA_ERR_PARAM_NULL;
    }
    return Guarded("NerovaVideoWriterWrite", 3, [&]() -> NerovaError {
        const bool rgb =
            pixel_format == NEROVA_PIXEL_FORMAT_RGB || pixel_format == NEROVA_PIXEL_FORMAT_RGBA;
        w->message = w->out.Write(pixels, width, height, stride, channels, rgb, fps);
        return w->message.empty() ? NEROVA_OK : NEROVA_ERR_OUTPUT_FILE;
    });
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

NerovaError NerovaWriteFile(const char* target, const void* bytes, uint64_t size, int32_t overwrite,
                            char* reason, uint32_t reason_size) {
    NEROVA_CHECK_PARAM_NULL(target, "NerovaWriteFile", 1);
    if (size > 0) NEROVA_CHECK_PARAM_NULL(bytes, "NerovaWriteFile", 2);
    if (reason_size > 0) NEROVA_CHECK_PARAM_NULL(reason, "NerovaWriteFile", 3);
    std::string why;
    const NerovaError err = Guarded("NerovaWriteFile", 4, [&]() -> NerovaError {
        why = *target ? nerova::module::WriteWholeFile(target, bytes, static_cast<size_t>(size),
                                                       overwrite != 0)
                      : "no file name";
        return why.empty() ? NEROVA_OK : NEROVA_ERR_OUTPUT_FILE;
    });
    if (reason_size > 0) {
        const size_t n = std::min<size_t>(why.size(), reason_size - 1);
        std::memcpy(reason, why.data(), n);
        reason[n] = '\0';
    }
    return err;
}

NerovaError NerovaFaceAngle(const NerovaFaceDetail* face, const char* const* names,
                            float* degrees) {
    NEROVA_CHECK_PARAM_NULL(face, "NerovaFaceAngle", 1);
    NEROVA_CHECK_PARAM_NULL(degrees, "NerovaFaceAngle", 2);
    *degrees = 0;
    if (face->landmark_count == 0 || !names || !face->landmarks) return NEROVA_OK;
    int right = -1, left = -1;
    for (uint32_t i = 0; i < face->landmark_count && i < 64; ++i) {
        if (!names[i]) return NEROVA_ERR_PARAM_NULL;
        if (std::strcmp(names[i], "right_eye") == 0) right = static_cast<int>(i);
        if (std::strcmp(names[i], "left_eye") == 0) left = static_cast<int>(i);
    }
    if (right < 0 || left < 0) return NEROVA_OK;
    // The person's right eye lies on the image's left: from it to the left eye is the face's
    // horizontal.
    const float* r = face->landmarks + 2 * right;
    const float* l = face->landmarks + 2 * left;
    const double a = std::atan2(l[1] - r[1], l[0] - r[0]) * 180.0 / 3.14159265358979323846;
    *degrees = std::isfinite(a) ? static_cast<float>(a) : 0.0f;
    return NEROVA_OK;
}

}  // extern "C"
