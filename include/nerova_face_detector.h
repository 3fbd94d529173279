// Face detector: the exported C interface of the nerova_module_face_detector library.
//
//   void* handle = nullptr;
//   NerovaError err = NerovaFaceDetectorCreate("models/face_detector_back_256/model.onnx", "",
//                                              nullptr, &handle);
//   NerovaFrame frame = {NEROVA_PIXEL_FORMAT_BGR, width, height, {pixels}, {row_bytes}};
//   NerovaFaceInfo* faces = nullptr;
//   uint32_t count = 0;
//   err = NerovaFaceDetectorProcess(handle, &frame, &faces, &count);
//   for (uint32_t i = 0; i < count; ++i) use(faces[i].score, faces[i].x1, faces[i].y1, ...);
//   NerovaFaceDetectorOutputRelease(faces);
//   NerovaFaceDetectorDestroy(handle);
//
// Every function returns 0 on success or a NerovaError code, and logs one line per failing
// level on standard error. No exception leaves the library:
//   - NEROVA_ERR_PARAM_NULL (4098): a null pointer argument, including null `faces` or
//     `face_count` in Process, or a frame the frame converter cannot read (null plane,
//     non-positive or oversized dims, short stride, unknown pixel format); such a frame is
//     refused before any image operation runs.
//   - NEROVA_ERR_NET (4096): the kernel could not load, set up or run the network, or the
//     network's output is not rows of at least ten floats.
//   - NEROVA_ERR_OUT_OF_MEMORY (4104): memory ran out (the result array, or an allocation
//     deeper in the library, reported as this code).
//   - NEROVA_ERR_IMAGE_OP (4105): an image operation refused the frame (for example a side
//     that scales to zero pixels).
//   - NEROVA_ERR_UNEXPECTED (4106): any other exception, stopped at the boundary.
//   - NEROVA_ERR_PARAM_RANGE (4107): a setting outside its range, or NaN; it is left as it was.
// NerovaErrorString gives the English text of any code.
// A handle serves one thread at a time; separate handles are independent.
#ifndef NEROVA_INCLUDE_NEROVA_FACE_DETECTOR_H_
#define NEROVA_INCLUDE_NEROVA_FACE_DETECTOR_H_

#include <stdint.h>

#include "nerova/face_detector_export.h"
#include "nerova/nerova_defines.h"

#ifdef __cplusplus
extern "C" {
#endif

// One detected face: 20 bytes, corners in frame pixels inside the frame (truncated toward
// zero).
typedef struct NerovaFaceInfo {
    float score;
    int32_t x1;
    int32_t y1;
    int32_t x2;
    int32_t y2;
} NerovaFaceInfo;

// model_path names the model file inside its model directory (beside inference.json);
// model_extra, when not empty, names another directory to read the model's files from.
// runtime may be null; its three fields replace the model's device type, device id and
// thread count (an unavailable device falls back to the CPU; more than
// NEROVA_MAX_THREAD_NUM threads is refused with 4096). *handle is written only on success.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorCreate(const char* model_path,
                                                                 const char* model_extra,
                                                                 const NerovaCustomRuntime* runtime,
                                                                 void** handle);

NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorDestroy(void* handle);

// On success *face_count holds the number of faces (score falling) and *faces a new array
// to be released with NerovaFaceDetectorOutputRelease, or null when the count is 0.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorProcess(void* handle,
                                                                  const NerovaFrame* frame,
                                                                  NerovaFaceInfo** faces,
                                                                  uint32_t* face_count);

// Frees an array from NerovaFaceDetectorProcess; null is accepted.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorOutputRelease(NerovaFaceInfo* faces);

// ---- Faces in detail: sub-pixel boxes and landmarks ----
//
//   NerovaFaceDetail* faces = NULL;
//   uint32_t count = 0;
//   if (NerovaFaceDetectorProcessDetails(handle, &frame, sizeof(NerovaFaceDetail), &faces,
//                                        &count) == 0)
//       for (uint32_t i = 0; i < count; ++i)
//           for (uint32_t k = 0; k < faces[i].landmark_count; ++k)
//               use(NerovaFaceDetectorLandmarkName(handle, k), faces[i].landmarks[2 * k],
//                   faces[i].landmarks[2 * k + 1]);
//   NerovaFaceDetectorDetailsRelease(faces);

// One face as NerovaFaceInfo has it, before truncation, with its landmarks. Later releases
// may add fields at the end: a host passes its sizeof, and gets records of that size.
typedef struct NerovaFaceDetail {
    float score;
    float x1;  // corners in frame pixels, inside the frame; NerovaFaceInfo truncates them
    float y1;
    float x2;
    float y2;
    uint32_t landmark_count;  // the model's (0 for a model without landmarks)
    const float* landmarks;   // landmark_count (x, y) pairs in frame pixels, or null
} NerovaFaceDetail;

// Process, with each face as a NerovaFaceDetail of record_size bytes (the host's
// sizeof(NerovaFaceDetail); another size gives NEROVA_ERR_PARAM_RANGE). The array and its
// points are one block, released with NerovaFaceDetectorDetailsRelease; null when the count
// is 0. Points are decoded for the faces that survive suppression only, mapped as the boxes
// and clamped to the frame.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorProcessDetails(void* handle,
                                                                         const NerovaFrame* frame,
                                                                         uint32_t record_size,
                                                                         NerovaFaceDetail** faces,
                                                                         uint32_t* face_count);
// Frees a block from NerovaFaceDetectorProcessDetails; null is accepted.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorDetailsRelease(NerovaFaceDetail* faces);
// The number of landmarks per face, as the model's inference.json names them ("Detection":
// {"Landmarks": ["right_eye", ...]}; right and left are the person's own). 4098 on null.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetLandmarkCount(void* handle,
                                                                           int32_t* count);
// The name of landmark index, valid while the handle lives; null for an index out of range
// or a null handle.
NEROVA_FACE_DETECTOR_EXPORT const char* NerovaFaceDetectorLandmarkName(void* handle, int32_t index);
// The 2x3 similarity transform (row-major: a, b, tx, c, d, ty) that maps a face's eyes, nose
// tip and mouth (its corners, or its centre) onto the five-point template of face
// recognition, 112 x 112, scaled to size x size pixels (1 to 4096): warp the frame with it
// (cv::warpAffine) for an aligned crop. names holds the face's landmark_count names (from
// NerovaFaceDetectorLandmarkName). The least-squares fit over the points it has;
// NEROVA_ERR_PARAM_RANGE when they lack an eye, count fewer than three, or the size is out
// of range; 4098 on null.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceAlignment(const NerovaFaceDetail* face,
                                                            const char* const* names, int32_t size,
                                                            float matrix[6]);

// Detection settings. Each applies from the next frame processed. A null handle gives 4098;
// a value outside the range, or NaN, gives NEROVA_ERR_PARAM_RANGE and leaves the setting
// unchanged. Each failure logs one line.

// Lowest score a face may have, 0 to 1 inclusive (default 0.95).
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetScoreThreshold(void* handle,
                                                                            float threshold);
// Overlap (intersection over union) above which the lower-scored of two boxes is dropped,
// 0 to 1 inclusive (default 0.7, or the model's: "Detection": {"NmsThreshold": 0.5}).
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetNmsThreshold(void* handle,
                                                                          float threshold);
// Candidates kept before suppression, 1 to 100000 inclusive (default 10). Crowded scenes
// need more: with ten, overlapping candidates of a few faces crowd out the others.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetTopK(void* handle, int32_t top_k);
// Selection, for crowds. Without a pool (0) the top_k best candidates go into suppression,
// and duplicates of a few faces can fill them. With a pool of P (1 to 4096), the best
// max(P, top_k) candidates go into suppression and the top_k best survivors are kept, so that
// ten faces standing side by side are ten results. The model's inference.json may set it
// ("Detection": {"CandidatePool": P}); the bundled models do.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetCandidatePool(void* handle,
                                                                           int32_t pool);
// How suppression treats the candidates of one face: the best one's box as it is (DROP, the
// default), or its score with the score-weighted mean of its box and those it suppressed
// (BLEND: tighter boxes; the same faces are kept). inference.json: "Detection":
// {"OverlapMerge": "OVERLAP_BLEND"}.
typedef enum { NEROVA_OVERLAP_DROP = 0, NEROVA_OVERLAP_BLEND = 1 } NerovaOverlapMerge;
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetOverlapMerge(void* handle,
                                                                          int32_t merge);
// Stores the pool and the merge rule; every pointer is required (4098 otherwise).
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetSelection(void* handle, int32_t* pool,
                                                                       int32_t* merge);
// Tiling, for faces too small for one pass over a large frame: besides the whole frame,
// Process also runs the network on overlapping tiles of it (views of the frame's planes, any
// pixel format), maps their boxes back, drops a tile's box cut by an inner tile edge (the
// overlap holds that face whole in a neighbour) and merges every pass's boxes by the same
// greedy suppression (nms threshold) into one list, score falling. rows = cols = 1: off (the
// default); rows = cols = 0: automatic, aiming a face of 1/40 of the frame's longer side at
// 24 px in the network input without magnifying a tile beyond the input (no tiles when the
// frame fits the input); otherwise a grid of rows x cols, 1 to 16 each. Cost: 1 + tiles
// passes per frame (automatic: 1 + 4 for the default network on a 500 px photo, 1 + 12 on
// 1920 x 1080). NEROVA_ERR_PARAM_RANGE (logged) for other values.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetTiles(void* handle, int32_t rows,
                                                                   int32_t cols);
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetTiles(void* handle, int32_t* rows,
                                                                   int32_t* cols);
// Reads a host's tiling option: "off" (1 1), "auto" (0 0) or "RxC" ("2x3", "2X3"); anything
// else gives NEROVA_ERR_PARAM_RANGE without logging and leaves rows and cols as they were.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorParseTiles(const char* text,
                                                                     int32_t* rows, int32_t* cols);
// The second look, for faces that only a tile found (on by default with tiles): the network
// invents faces in enlarged fur, fabric and dice far more often than the whole frame does.
// Such a candidate is kept when its landmarks sit as a face's do (eyes, then nose, then mouth
// along the eye line's normal; the eyes 0.1 to 0.8 of the box's width apart; models that
// name those points) and when the network, shown a crop centred on it of twice its longer
// side, finds a face there scoring at least 0.5 (or the score threshold, when lower) that
// overlaps it at IoU 0.5 or more. The crops of up to four candidates share one network pass
// (cells of half the input's shorter side, 48 px at least). max_candidates (0 to 256; 0: off)
// bounds the checks per frame: the best-scored are checked, the rest kept unchecked. The
// model's inference.json may set it ("Detection": {"ConfirmTileFaces": N}); the default is 32.
#define NEROVA_MAX_CONFIRM_TILE_FACES 256  // the largest max_candidates
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorSetConfirmation(void* handle,
                                                                          int32_t max_candidates);
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetConfirmation(void* handle,
                                                                          int32_t* max_candidates);
// What the second look did on the last frame processed; zeros without tiles.
typedef struct NerovaConfirmationReport {
    int32_t candidates;            // faces only a tile found
    int32_t refused_by_landmarks;  // their points not where a face has them
    int32_t refused_by_look;       // no face on the second look
    int32_t confirmed;
    int32_t unchecked;    // past max_candidates: kept as the tile found them
    int32_t forwards;     // network passes of the second look
    int32_t tile_passes;  // network passes over the frame's tiles (the whole frame's is one more)
    double milliseconds;  // wall time of the second look
} NerovaConfirmationReport;
// Stores record_size bytes of the report (the host's sizeof, at least this release's); 4098
// on null, NEROVA_ERR_PARAM_RANGE for a smaller size.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetConfirmationReport(
    void* handle, uint32_t record_size, NerovaConfirmationReport* report);
// Stores the first three settings above; every pointer is required (4098 otherwise).
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetSettings(void* handle,
                                                                      float* score_threshold,
                                                                      float* nms_threshold,
                                                                      int32_t* top_k);
// Stores the device, device id and thread count the detector runs with: the model's, or
// the create-time overrides, with the CPU's device after a fall-back. 4098 on null.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetRuntime(void* handle,
                                                                     NerovaCustomRuntime* runtime);
// Stores the network's input size in pixels, into which each frame is letterboxed: a face
// of f frame pixels reaches the network as f * min(width / frame width, height / frame
// height). Hosts use it to decide on tiling a large frame. 4098 on null.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorGetInputSize(void* handle, int32_t* width,
                                                                       int32_t* height);

// ---- Hiding faces in a picture ----

typedef enum {
    NEROVA_HIDE_BLUR = 1,      // shrunk to six cells across, smoothed, enlarged
    NEROVA_HIDE_PIXELATE = 2,  // eight cells across
    NEROVA_HIDE_SOLID = 3,     // black
    NEROVA_HIDE_IMAGE = 4      // a replacement image, resized into the region
} NerovaHide;
typedef enum { NEROVA_MASK_ELLIPSE = 0, NEROVA_MASK_RECT = 1 } NerovaMaskShape;
// A region to hide: a box in frame pixels and the angle (degrees) an ellipse is turned by.
typedef struct NerovaMaskRegion {
    float x1;
    float y1;
    float x2;
    float y2;
    float angle;
} NerovaMaskRegion;

// Hides each region, scaled by scale (1 to 10) about its centre and clipped to the picture,
// in the pixels of an interleaved 8-bit picture (BGR, RGB, BGRA, RGBA or GRAY; stride bytes
// a row), through an ellipse or the whole box. replacement (the same pixel format) is
// required for NEROVA_HIDE_IMAGE and ignored otherwise. 4098 for a null or unreadable
// picture, 4107 for a value out of range.
NEROVA_FACE_DETECTOR_EXPORT NerovaError
NerovaAnonymize(int32_t pixel_format, int32_t width, int32_t height, uint8_t* pixels,
                int32_t stride, const NerovaMaskRegion* regions, uint32_t count, int32_t hide,
                int32_t shape, float scale, const NerovaFrame* replacement);
// Writes size bytes as the file target (its folder made), whole or not at all: under a
// temporary name beside it, renamed when complete; an existing target is replaced only with
// overwrite, and only when it is a regular file (a device, pipe, socket or folder at the
// target is refused, through any symbolic link). NEROVA_ERR_OUTPUT_FILE with the reason in
// reason (reason_size bytes, may be 0) when it cannot be written.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaWriteFile(const char* target, const void* bytes,
                                                        uint64_t size, int32_t overwrite,
                                                        char* reason, uint32_t reason_size);

// The angle of a face's eye line in degrees (0 when its model names no eyes), for its mask.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceAngle(const NerovaFaceDetail* face,
                                                        const char* const* names, float* degrees);

// ---- For hosts: models by name, and the names of pixel formats and devices ----

// Resolves what a user names as a model: a model file as it is; a model directory to its
// model.onnx (or its only .onnx file); a path with '/' that names nothing as it is (create
// then says what is wrong); any other text as the name of a model directory (one holding an
// inference.json) in the model folders, searched in order. Writes the model file's path,
// NUL-terminated, into path (size bytes; 4096 holds any path). NEROVA_ERR_MODEL_PATH when
// no folder holds a model of that name (the folders searched are logged),
// NEROVA_ERR_PARAM_RANGE when size is too small, 4098 on null.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorFindModel(const char* name, char* path,
                                                                    uint32_t size);
// The model folders, in search order, joined by ':' into folders (size bytes): each folder
// of the NEROVA_MODELS variable (':'-separated), the models installed beside this library
// (LIBDIR/../share/nerova/models), and, for a library run from its build tree only, the
// source tree's models/. Same codes as above.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaFaceDetectorModelFolders(char* folders,
                                                                       uint32_t size);
// Names as hosts take them on their command lines: pixel formats "BGR", "RGB", "BGRA", "RGBA",
// "GRAY", "NV12", "NV21", "YV12" (also with the "PIXEL_FORMAT_" prefix), devices as
// inference.json names them ("DEVICE_X86"). FromName stores the value, or gives
// NEROVA_ERR_PARAM_RANGE for an unknown name without logging (4098 on null); Name gives the
// static name of a value, or null for a value without one.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaPixelFormatFromName(const char* name,
                                                                  int32_t* format);
NEROVA_FACE_DETECTOR_EXPORT const char* NerovaPixelFormatName(int32_t format);
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaDeviceFromName(const char* name, int32_t* device);
NEROVA_FACE_DETECTOR_EXPORT const char* NerovaDeviceName(int32_t device);

// ---- Diagnostics ----

// Every line the library writes, "E/nerova: [File F] [Function G] [Line N] message" (the
// kernel and the framework library write none of their own), and every line of the video
// library (nerova_video.h), goes to one log sink: standard error by default, flushed line by
// line. Levels are NerovaLogLevel (nerova/nerova_defines.h).
// Receives one line, without its line end, on the thread that writes it (several threads
// may call at once); user is the pointer given with the sink.
typedef void (*NerovaLogSink)(int32_t level, const char* line, void* user);
// Routes every later line to sink; null silences the library. Safe from any thread at any
// time: a line already being written goes to the sink it started with. 4104 when the sink's
// record cannot be allocated.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaSetLogSink(NerovaLogSink sink, void* user);
// The default sink, to restore it: NerovaSetLogSink(NerovaLogToStderr, NULL).
NEROVA_FACE_DETECTOR_EXPORT void NerovaLogToStderr(int32_t level, const char* line, void* user);
// Drops lines below level (NerovaLogLevel; default NEROVA_LOG_DEBUG, all of them; NONE
// drops every one). NEROVA_ERR_PARAM_RANGE for another value.
NEROVA_FACE_DETECTOR_EXPORT NerovaError NerovaSetLogLevel(int32_t level);

// Static English text of a code, never null; a code this library does not know says so.
NEROVA_FACE_DETECTOR_EXPORT const char* NerovaErrorString(NerovaError code);
// The library's version, "MAJOR.MINOR.PATCH".
NEROVA_FACE_DETECTOR_EXPORT const char* NerovaFaceDetectorVersion(void);

#ifdef __cplusplus
}
#endif

#endif  // NEROVA_INCLUDE_NEROVA_FACE_DETECTOR_H_
