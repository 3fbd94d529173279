// Video: the exported C interface of the nerova_video library, which follows faces through a
// video and writes videos with their sound (FFmpeg's libraries). A host that only detects
// needs neither this header nor this library; one that writes video links both
// (find_package(nerova COMPONENTS video), or pkg-config nerova-video).
//
// Codes and log lines are those of nerova_face_detector.h: every line goes to the sink set
// with NerovaSetLogSink. The face records (NerovaFaceInfo, NerovaFaceDetail) are the
// detector's.
#ifndef NEROVA_INCLUDE_NEROVA_VIDEO_H_
#define NEROVA_INCLUDE_NEROVA_VIDEO_H_

#include <stdint.h>

#include "nerova/video_export.h"
#include "nerova_face_detector.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Faces followed through time ----
//
//   void* tracker = NULL;
//   NerovaTrackerCreate(NULL, width, height, &tracker);
//   for each frame: detect (or not, between every N-th frame), then
//       NerovaTrackerAddFrame(tracker, detected, faces, count, angles, ids, &live, &n);
//   NerovaTrackerFinish(tracker);              // the whole video known
//   for each frame i: NerovaTrackerFrame(tracker, i, &tracks, &n); hide them; write
//   NerovaTracksRelease(...); NerovaTrackerDestroy(tracker);

// What placed a face's box in a frame: a detection; the track's motion carried past a
// detection (before a face's first or after its last one, and live, between detections);
// a gap between two detections bridged (after NerovaTrackerFinish); or, with no motion known
// (a face seen once, or standing still), the box held where it was seen. Hosts that only ask
// whether a box was detected compare with NEROVA_TRACK_DETECTED.
typedef enum {
    NEROVA_TRACK_DETECTED = 0,
    NEROVA_TRACK_PREDICTED = 1,
    NEROVA_TRACK_INTERPOLATED = 2,
    NEROVA_TRACK_HELD = 3
} NerovaTrackState;

// A face in one frame: its track's id (stable from the frame it is first seen, from 1), what
// placed it (NerovaTrackState; boxes not detected grow with the frames since the nearest
// detection), the score of its detection, the box in frame pixels inside the frame, and the
// eye line's angle in degrees.
typedef struct NerovaTrack {
    uint32_t id;
    int32_t state;
    float score;
    float x1;
    float y1;
    float x2;
    float y2;
    float angle;
} NerovaTrack;

// How faces are followed; NerovaTrackerDefaults fills it. size is the host's
// sizeof(NerovaTrackerOptions).
typedef struct NerovaTrackerOptions {
    uint32_t size;
    int32_t max_missed_frames;  // 0 to 100000: frames a face is held without a detection (15)
    float min_iou;              // 0 to 1: overlap linking a detection to a track (0.2)
    float growth_per_frame;     // 0 to 1: box growth per frame away from a detection, both
                                // sides, at a known speed; more where it is not (0.03)
    float max_growth;           // 0 to 4: most growth, a share of the box's side (0.5)
} NerovaTrackerOptions;

NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerDefaults(NerovaTrackerOptions* options);
// options may be null (the defaults); width and height are the video's, 1 to 32768.
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerCreate(const NerovaTrackerOptions* options,
                                                    int32_t width, int32_t height, void** tracker);
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerDestroy(void* tracker);
// The most faces a frame may bring, and the most tracks alive plus faces brought: a frame past
// either is refused with NEROVA_ERR_PARAM_RANGE and counted as a frame nobody looked at (its
// faces get no track), so that every later frame keeps its number. Linking looks only at the
// faces near each track.
#define NEROVA_TRACKER_MAX_FACES 4096
#define NEROVA_TRACKER_MAX_TRACKS 16384
// The next frame: detected non-zero when faces are its detections (count of them; faces may
// be null for none), zero for a frame nobody looked at. angles (may be null) gives each face's
// eye line (NerovaFaceAngle). face_tracks (may be null) receives each face's track id; *live
// (may be null) a new array of the tracks in this frame as known so far (release with
// NerovaTracksRelease), *live_count their number. 4107 after NerovaTrackerFinish.
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerAddFrame(void* tracker, int32_t detected,
                                                      const NerovaFaceInfo* faces, uint32_t count,
                                                      const float* angles, uint32_t* face_tracks,
                                                      NerovaTrack** live, uint32_t* live_count);
// Shot cuts. A host that gives each frame's pixels (BGR, RGB, BGRA, RGBA or GRAY, 8-bit
// interleaved) before that frame's NerovaTrackerAddFrame lets the tracker find the cuts: a
// frame whose colours change (a histogram of 4 levels per channel, half the L1 distance at
// least 0.35), or whose layout changes (a 32 x 18 luma thumbnail, mean absolute difference at
// least 0.15 of the range: two shots of one place), by at least 3 times the mean change of
// the 8 frames before. A pan or a face crossing does not cut (a sudden flash may). A frame of
// another size cuts. At a cut every track ends, and no track, interpolation or prediction
// crosses it: a face seen after it starts a new track. *cut (may be null) receives 1 when
// this frame begins a new shot. A host that knows its edits calls NerovaTrackerCut instead,
// before the shot's first frame.
// Whether frame i begins a shot depends on frames i - NEROVA_TRACKER_CUT_HISTORY to i alone:
// a host that reads a video from its middle gives these first, and decides as one that read
// it all.
#define NEROVA_TRACKER_CUT_HISTORY 9
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerSeeFrame(void* tracker, int32_t pixel_format,
                                                      int32_t width, int32_t height,
                                                      const uint8_t* pixels, int32_t stride,
                                                      int32_t* cut);
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerCut(void* tracker);
// The frames that begin a shot so far, ascending (frame 0 is never one): their number, and
// the index-th of them (4107 past the last).
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerCutCount(void* tracker, uint32_t* count);
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerCutAt(void* tracker, uint32_t index, uint32_t* frame);
// With the whole video known: gaps between a face's detections interpolated, and each face
// followed along its motion before its first and after its last detection (up to
// max_missed_frames each way, until it leaves the frame or its shot ends).
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerFinish(void* tracker);
// Frame `frame`'s tracks after NerovaTrackerFinish (4107 before, or past the last frame).
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerFrame(void* tracker, uint32_t frame,
                                                   NerovaTrack** tracks, uint32_t* track_count);
// Frame `frame`'s tracks as known from the frames added so far: what NerovaTrackerFinish
// would give if the video ended with the last frame added. A live host with a look-ahead of
// N frames asks for frame i once it has added frame i + N, and gets the offline answer
// (NerovaTrackerFrame after NerovaTrackerFinish) wherever the detections that place frame i
// lie within those N frames: the two around a gap, and for a face not seen yet its first
// two, whose motion carries its mask back to where it entered. NEROVA_ERR_PARAM_RANGE past
// the last frame added.
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerFrameSoFar(void* tracker, uint32_t frame,
                                                        NerovaTrack** tracks,
                                                        uint32_t* track_count);
// Frames before `before` will not be asked for again (a live host has written them): what
// only they needed is dropped, so that a stream of any length is followed in bounded memory.
// NerovaTrackerFinish and NerovaTrackerFrame then know only the later frames.
NEROVA_VIDEO_EXPORT NerovaError NerovaTrackerForget(void* tracker, uint32_t before);
NEROVA_VIDEO_EXPORT NerovaError NerovaTracksRelease(NerovaTrack* tracks);

// ---- The review page ----
//
// One self-contained HTML file per written video, for the person who publishes it: a timeline
// per face of where its mask was detected, interpolated, predicted or held, the shot cuts,
// pictures of the frames most worth a look (a face whose mask starts or ends away from the
// frame's edges, long runs without a detection, weak detections), and counts.
//
//   NerovaTrackerFinish(tracker);
//   NerovaReviewCreate(tracker, "in.mp4", fps, &review);   // the tracker may go after this
//   for each frame i as written (masks on it): NerovaReviewAddFrame(review, i, ...);
//   NerovaReviewWrite(review, "review/in.mp4.html", overwrite);
//   NerovaReviewDestroy(review);
//
// Frames the page does not show are ignored by NerovaReviewAddFrame, cheaply: a host may pass
// every frame. The page is the same for the same tracks and pictures, whichever host made it.

// The counts the page shows.
typedef struct NerovaReviewCounts {
    uint32_t size;  // the host's sizeof(NerovaReviewCounts)
    uint32_t frames;
    uint32_t tracks;  // faces followed
    uint32_t cuts;
    uint32_t to_check;  // frames worth a look (the page shows at most 48)
    uint32_t pictures;  // pictures the page holds so far
    uint64_t masks;
    uint64_t states[4];  // masks by NerovaTrackState
} NerovaReviewCounts;

// A review of a finished tracker's video; video_name's file name titles the page, fps times
// its frames. NEROVA_ERR_PARAM_RANGE before NerovaTrackerFinish or for fps outside (0, 1000].
NEROVA_VIDEO_EXPORT NerovaError NerovaReviewCreate(void* tracker, const char* video_name,
                                                   double fps, void** review);
// Whether the page shows frame `frame` (*wanted 1) and wants its pixels.
NEROVA_VIDEO_EXPORT NerovaError NerovaReviewWantsFrame(void* review, uint32_t frame,
                                                       int32_t* wanted);
// Frame `frame` as written, 8-bit interleaved at the tracker's size (else
// NEROVA_ERR_PARAM_RANGE): kept as a small picture when the page shows it.
NEROVA_VIDEO_EXPORT NerovaError NerovaReviewAddFrame(void* review, uint32_t frame,
                                                     int32_t pixel_format, int32_t width,
                                                     int32_t height, const uint8_t* pixels,
                                                     int32_t stride);
NEROVA_VIDEO_EXPORT NerovaError NerovaReviewGetCounts(void* review, NerovaReviewCounts* counts);
// Writes the page to path, whole or not at all, its folder made; an existing file only with
// overwrite. NEROVA_ERR_OUTPUT_FILE with the reason in NerovaReviewMessage.
NEROVA_VIDEO_EXPORT NerovaError NerovaReviewWrite(void* review, const char* path,
                                                  int32_t overwrite);
NEROVA_VIDEO_EXPORT const char* NerovaReviewMessage(void* review);
NEROVA_VIDEO_EXPORT NerovaError NerovaReviewDestroy(void* review);

// ---- Writing a video ----

// Writing a video: encoded and muxed with FFmpeg's libraries, every frame at one rate, the
// sound streams of sound_source (may be null) copied unchanged, the file written under a
// temporary name beside target and renamed when complete (an existing target is replaced
// only with overwrite, and only when it is a regular file). codec: "h264", "mpeg4", "mjpeg",
// "ffv1" (lossless), or null or "" for the container's (Motion JPEG in .avi, H.264
// elsewhere); quality 1 to 100 (80: H.264 at CRF 20, MPEG-4 and Motion JPEG at quantiser 7).
// Every pixel is kept: H.264 and Motion JPEG take a frame of an odd width or height without
// chroma subsampling (4:4:4); MPEG-4, which cannot, leaves its last column or row out and
// says so in a note. Failures give NEROVA_ERR_OUTPUT_FILE and NerovaVideoWriterMessage says
// why. A target of "-" (standard output) or a named pipe is written as the frames come, in
// Matroska (or the container the pipe's extension names), H.264 without encoder look-ahead.
NEROVA_VIDEO_EXPORT int32_t NerovaVideoCanEncode(const char* codec);
NEROVA_VIDEO_EXPORT NerovaError NerovaVideoWriterCreate(const char* target,
                                                        const char* sound_source, const char* codec,
                                                        int32_t quality, int32_t overwrite,
                                                        void** writer);
// One frame (BGR, RGB, BGRA, RGBA or GRAY, 8-bit interleaved); fps is read from the first.
NEROVA_VIDEO_EXPORT NerovaError NerovaVideoWriterWrite(void* writer, int32_t pixel_format,
                                                       int32_t width, int32_t height,
                                                       const uint8_t* pixels, int32_t stride,
                                                       double fps);
// The same, the frame shown at `seconds` from the video's start (the input's timestamp, so that
// a video of variable frame rate keeps its timing and its sound in step): placed in periods of
// the first frame's fps, a frame at or before the last one a period after it. 4098 for a
// negative or non-finite time.
NEROVA_VIDEO_EXPORT NerovaError NerovaVideoWriterWriteAt(void* writer, int32_t pixel_format,
                                                         int32_t width, int32_t height,
                                                         const uint8_t* pixels, int32_t stride,
                                                         double fps, double seconds);
// Completes the file and puts it in place.
NEROVA_VIDEO_EXPORT NerovaError NerovaVideoWriterFinish(void* writer);
// Why the last call failed ("" when none did); and the sound source's streams that could not
// be kept, one line each. Valid until the next call on the writer.
NEROVA_VIDEO_EXPORT const char* NerovaVideoWriterMessage(void* writer);
NEROVA_VIDEO_EXPORT uint32_t NerovaVideoWriterNoteCount(void* writer);
NEROVA_VIDEO_EXPORT const char* NerovaVideoWriterNote(void* writer, uint32_t index);
// Frees the writer; an unfinished file is removed.
NEROVA_VIDEO_EXPORT NerovaError NerovaVideoWriterDestroy(void* writer);

// The library's version, "MAJOR.MINOR.PATCH"; a host pairs it with the detector's.
NEROVA_VIDEO_EXPORT const char* NerovaVideoVersion(void);

#ifdef __cplusplus
}
#endif

#endif  // NEROVA_INCLUDE_NEROVA_VIDEO_H_
