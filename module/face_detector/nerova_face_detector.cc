// The exported C interface. Argument checks and the call order are fixed; every exception
// from below (OpenCV, allocation) is stopped here and becomes a code and one log line.
#include "nerova_face_detector.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <opencv2/core.hpp>
#include <string>

#include "common/c_guard.h"
#include "common/nerova_log.h"
#include "face_detector/alignment.h"
#include "face_detector/face_detector.h"
#include "face_detector/tiling.h"
#include "wrap_rapidjson/detection_config.h"

using nerova::NetworkConfig;
using nerova::module::FaceDetectorAlgorithm;
using nerova::module::FaceDetectorParam;

namespace {

using nerova::module::Guarded;

constexpr const char* kCreate = "NerovaFaceDetectorCreate";
constexpr const char* kDestroy = "NerovaFaceDetectorDestroy";
constexpr const char* kProcess = "NerovaFaceDetectorProcess";
constexpr const char* kSetScore = "NerovaFaceDetectorSetScoreThreshold";
constexpr const char* kSetNms = "NerovaFaceDetectorSetNmsThreshold";
constexpr const char* kSetTopK = "NerovaFaceDetectorSetTopK";
constexpr const char* kGetSettings = "NerovaFaceDetectorGetSettings";
constexpr const char* kGetRuntime = "NerovaFaceDetectorGetRuntime";
constexpr const char* kGetInputSize = "NerovaFaceDetectorGetInputSize";
constexpr const char* kSetTiles = "NerovaFaceDetectorSetTiles";
constexpr const char* kGetTiles = "NerovaFaceDetectorGetTiles";
constexpr const char* kParseTiles = "NerovaFaceDetectorParseTiles";
constexpr const char* kSetPool = "NerovaFaceDetectorSetCandidatePool";
constexpr const char* kSetMerge = "NerovaFaceDetectorSetOverlapMerge";
constexpr const char* kGetSelection = "NerovaFaceDetectorGetSelection";
constexpr const char* kProcessDetails = "NerovaFaceDetectorProcessDetails";
constexpr const char* kGetLandmarkCount = "NerovaFaceDetectorGetLandmarkCount";
constexpr const char* kAlignment = "NerovaFaceAlignment";
constexpr const char* kSetConfirmation = "NerovaFaceDetectorSetConfirmation";
constexpr const char* kGetConfirmation = "NerovaFaceDetectorGetConfirmation";
constexpr const char* kConfirmationReport = "NerovaFaceDetectorGetConfirmationReport";
constexpr int32_t kMaxTopK = 100000;
constexpr int32_t kMaxCropSize = 4096;
using nerova::module::kMaxLandmarks;
using nerova::module::kMaxTiles;

FaceDetectorParam& ParamOf(void* handle) {
    return *static_cast<FaceDetectorParam*>(
        static_cast<FaceDetectorAlgorithm*>(handle)->GetParam());
}

// Stores value in the handle's setting when it lies in [lo, hi]; NaN fails the comparison.
template <typename T>
NerovaError SetInRange(void* handle, T value, T lo, T hi, T FaceDetectorParam::*setting,
                       const char* function, int line) {
    NEROVA_CHECK_PARAM_NULL(handle, function, line);
    return Guarded(function, line + 5, [&]() -> NerovaError {
        if (!(value >= lo && value <= hi)) {
            NEROVA_LOGE(function, line + 2, "value out of range.");
            return NEROVA_ERR_PARAM_RANGE;
        }
        ParamOf(handle).*setting = value;
        return NEROVA_OK;
    });
}

}  // namespace

extern "C" {

NerovaError NerovaFaceDetectorCreate(const char* model_path, const char* model_extra,
                                     const NerovaCustomRuntime* runtime, void** handle) {
    NEROVA_CHECK_PARAM_NULL(model_path, kCreate, 15);
    NEROVA_CHECK_PARAM_NULL(model_extra, kCreate, 16);
    NEROVA_CHECK_PARAM_NULL(handle, kCreate, 17);
    FaceDetectorAlgorithm* algorithm = nullptr;
    const NerovaError err = Guarded(kCreate, 36, [&]() -> NerovaError {
        algorithm = new (std::nothrow) FaceDetectorAlgorithm();
        NEROVA_CHECK_PARAM_NULL(algorithm, kCreate, 20);
        NerovaError ret = algorithm->Parse(std::string(model_path), std::string(model_extra));
        if (ret != NEROVA_OK) {
            NEROVA_LOGE(kCreate, 24, "algorithm parse failed.");
            return ret;
        }
        ret = algorithm->Init(runtime);
        if (ret != NEROVA_OK) {
            NEROVA_LOGE(kCreate, 31, "algorithm Init failed.");
            return ret;
        }
        return NEROVA_OK;
    });
    if (err != NEROVA_OK) {
        delete algorithm;
        return err;
    }
    *handle = algorithm;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorProcess(void* handle, const NerovaFrame* frame,
                                      NerovaFaceInfo** faces, uint32_t* face_count) {
    NEROVA_CHECK_PARAM_NULL(handle, kProcess, 45);
    NEROVA_CHECK_PARAM_NULL(frame, kProcess, 46);
    NEROVA_CHECK_PARAM_NULL(faces, kProcess, 47);
    NEROVA_CHECK_PARAM_NULL(face_count, kProcess, 48);
    auto* algorithm = static_cast<FaceDetectorAlgorithm*>(handle);
    return Guarded(kProcess, 55, [&]() -> NerovaError {
        const NerovaError ret = algorithm->Process(frame, faces, face_count);
        if (ret != NEROVA_OK) {
            NEROVA_LOGE(kProcess, 51, "algorithm Process failed.");
            return ret;
        }
        return NEROVA_OK;
    });
}

NerovaError NerovaFaceDetectorOutputRelease(NerovaFaceInfo* faces) {
    std::free(faces);
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorProcessDetails(void* handle, const NerovaFrame* frame,
                                             uint32_t record_size, NerovaFaceDetail** faces,
                                             uint32_t* face_count) {
    NEROVA_CHECK_PARAM_NULL(handle, kProcessDetails, 1);
    NEROVA_CHECK_PARAM_NULL(frame, kProcessDetails, 2);
    NEROVA_CHECK_PARAM_NULL(faces, kProcessDetails, 3);
    NEROVA_CHECK_PARAM_NULL(face_count, kProcessDetails, 4);
    // The first release's record is the only one so far; a later one accepts this size too.
    if (record_size != sizeof(NerovaFaceDetail)) {
        NEROVA_LOGE(kProcessDetails, 5, "record size is not sizeof(NerovaFaceDetail).");
        return NEROVA_ERR_PARAM_RANGE;
    }
    auto* algorithm = static_cast<FaceDetectorAlgorithm*>(handle);
    return Guarded(kProcessDetails, 9, [&]() -> NerovaError {
        NerovaError ret = algorithm->Detect(frame);
        if (ret == NEROVA_OK) ret = algorithm->GetDetails(record_size, faces, face_count);
        if (ret != NEROVA_OK) NEROVA_LOGE(kProcessDetails, 7, "algorithm Process failed.");
        return ret;
    });
}

NerovaError NerovaFaceDetectorDetailsRelease(NerovaFaceDetail* faces) {
    std::free(faces);
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorGetLandmarkCount(void* handle, int32_t* count) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetLandmarkCount, 1);
    NEROVA_CHECK_PARAM_NULL(count, kGetLandmarkCount, 2);
    *count = static_cast<int32_t>(ParamOf(handle).landmark_names.size());
    return NEROVA_OK;
}

const char* NerovaFaceDetectorLandmarkName(void* handle, int32_t index) {
    if (!handle) return nullptr;
    const std::vector<std::string>& names = ParamOf(handle).landmark_names;
    if (index < 0 || static_cast<size_t>(index) >= names.size()) return nullptr;
    return names[static_cast<size_t>(index)].c_str();
}

NerovaError NerovaFaceAlignment(const NerovaFaceDetail* face, const char* const* names,
                                int32_t size, float matrix[6]) {
    NEROVA_CHECK_PARAM_NULL(face, kAlignment, 1);
    NEROVA_CHECK_PARAM_NULL(matrix, kAlignment, 2);
    return Guarded(kAlignment, 5, [&]() -> NerovaError {
        // More points than any model may name is no face of this library's.
        const uint32_t count = face->landmark_count;
        if (count > 0) {
            NEROVA_CHECK_PARAM_NULL(names, kAlignment, 3);
            NEROVA_CHECK_PARAM_NULL(face->landmarks, kAlignment, 3);
        }
        std::vector<std::string> list;
        for (uint32_t i = 0; i < count && count <= kMaxLandmarks; ++i) {
            NEROVA_CHECK_PARAM_NULL(names[i], kAlignment, 3);
            list.emplace_back(names[i]);
        }
        if (count > kMaxLandmarks || size < 1 || size > kMaxCropSize ||
            !nerova::module::AlignmentTransform(list, face->landmarks, size, matrix)) {
            NEROVA_LOGE(kAlignment, 4,
                        "no alignment: the face lacks an eye or three of the eyes, nose and "
                        "mouth, or the size is not 1 to 4096.");
            return NEROVA_ERR_PARAM_RANGE;
        }
        return NEROVA_OK;
    });
}

NerovaError NerovaFaceDetectorDestroy(void* handle) {
    NEROVA_CHECK_PARAM_NULL(handle, kDestroy, 69);
    auto* algorithm = static_cast<FaceDetectorAlgorithm*>(handle);
    const NerovaError ret = algorithm->DeInit();
    // The handle is gone either way: a host cannot retry a destroy, so a failed DeInit must
    // not keep the object alive.
    delete algorithm;
    if (ret != NEROVA_OK) {
        NEROVA_LOGE(kDestroy, 74, "algorithm DeInit failed.");
        return ret;
    }
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorSetScoreThreshold(void* handle, float threshold) {
    return SetInRange(handle, threshold, 0.0f, 1.0f, &FaceDetectorParam::score_threshold, kSetScore,
                      90);
}

NerovaError NerovaFaceDetectorSetNmsThreshold(void* handle, float threshold) {
    return SetInRange(handle, threshold, 0.0f, 1.0f, &FaceDetectorParam::nms_threshold, kSetNms,
                      100);
}

NerovaError NerovaFaceDetectorSetTopK(void* handle, int32_t top_k) {
    // The detector resizes its candidate list on the next frame, once.
    return SetInRange<int>(handle, top_k, 1, kMaxTopK, &FaceDetectorParam::top_k, kSetTopK, 110);
}

NerovaError NerovaFaceDetectorSetCandidatePool(void* handle, int32_t pool) {
    return SetInRange<int>(handle, pool, 0, nerova::module::kMaxCandidatePool,
                           &FaceDetectorParam::candidate_pool, kSetPool, 1);
}

static_assert(nerova::module::kMaxConfirmTileFaces == NEROVA_MAX_CONFIRM_TILE_FACES,
              "the interface and inference.json bound the second look alike");

NerovaError NerovaFaceDetectorSetConfirmation(void* handle, int32_t max_candidates) {
    return SetInRange<int>(handle, max_candidates, 0, nerova::module::kMaxConfirmTileFaces,
                           &FaceDetectorParam::confirm_cap, kSetConfirmation, 1);
}

NerovaError NerovaFaceDetectorGetConfirmation(void* handle, int32_t* max_candidates) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetConfirmation, 1);
    NEROVA_CHECK_PARAM_NULL(max_candidates, kGetConfirmation, 2);
    *max_candidates = ParamOf(handle).confirm_cap;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorGetConfirmationReport(void* handle, uint32_t record_size,
                                                    NerovaConfirmationReport* report) {
    NEROVA_CHECK_PARAM_NULL(handle, kConfirmationReport, 1);
    NEROVA_CHECK_PARAM_NULL(report, kConfirmationReport, 2);
    if (record_size < sizeof(NerovaConfirmationReport)) {
        NEROVA_LOGE(kConfirmationReport, 3, "record size smaller than this release's.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    const nerova::module::LookReport& r =
        static_cast<FaceDetectorAlgorithm*>(handle)->look_report();
    NerovaConfirmationReport out{};
    out.candidates = r.candidates;
    out.refused_by_landmarks = r.refused_by_landmarks;
    out.refused_by_look = r.refused_by_look;
    out.confirmed = r.confirmed;
    out.unchecked = r.unchecked;
    out.forwards = r.forwards;
    out.tile_passes = r.tile_passes;
    out.milliseconds = r.milliseconds;
    std::memcpy(report, &out, sizeof out);
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorSetOverlapMerge(void* handle, int32_t merge) {
    return SetInRange<int>(handle, merge, NEROVA_OVERLAP_DROP, NEROVA_OVERLAP_BLEND,
                           &FaceDetectorParam::overlap_merge, kSetMerge, 1);
}

NerovaError NerovaFaceDetectorGetSelection(void* handle, int32_t* pool, int32_t* merge) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetSelection, 1);
    NEROVA_CHECK_PARAM_NULL(pool, kGetSelection, 2);
    NEROVA_CHECK_PARAM_NULL(merge, kGetSelection, 3);
    const FaceDetectorParam& param = ParamOf(handle);
    *pool = param.candidate_pool;
    *merge = param.overlap_merge;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorSetTiles(void* handle, int32_t rows, int32_t cols) {
    NEROVA_CHECK_PARAM_NULL(handle, kSetTiles, 1);
    const bool off_or_auto = (rows == 1 && cols == 1) || (rows == 0 && cols == 0);
    if (!off_or_auto && !(rows >= 1 && rows <= kMaxTiles && cols >= 1 && cols <= kMaxTiles)) {
        NEROVA_LOGE(kSetTiles, 2, "value out of range.");
        return NEROVA_ERR_PARAM_RANGE;
    }
    FaceDetectorParam& param = ParamOf(handle);
    param.tile_rows = rows;
    param.tile_cols = cols;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorGetTiles(void* handle, int32_t* rows, int32_t* cols) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetTiles, 1);
    NEROVA_CHECK_PARAM_NULL(rows, kGetTiles, 2);
    NEROVA_CHECK_PARAM_NULL(cols, kGetTiles, 3);
    const FaceDetectorParam& param = ParamOf(handle);
    *rows = param.tile_rows;
    *cols = param.tile_cols;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorParseTiles(const char* text, int32_t* rows, int32_t* cols) {
    NEROVA_CHECK_PARAM_NULL(text, kParseTiles, 1);
    NEROVA_CHECK_PARAM_NULL(rows, kParseTiles, 2);
    NEROVA_CHECK_PARAM_NULL(cols, kParseTiles, 3);
    int r = 0, c = 0;
    if (!nerova::module::ParseTiles(text, r, c)) return NEROVA_ERR_PARAM_RANGE;  // the host says
    *rows = r;
    *cols = c;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorGetSettings(void* handle, float* score_threshold,
                                          float* nms_threshold, int32_t* top_k) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetSettings, 120);
    NEROVA_CHECK_PARAM_NULL(score_threshold, kGetSettings, 121);
    NEROVA_CHECK_PARAM_NULL(nms_threshold, kGetSettings, 122);
    NEROVA_CHECK_PARAM_NULL(top_k, kGetSettings, 123);
    const FaceDetectorParam& param = ParamOf(handle);
    *score_threshold = param.score_threshold;
    *nms_threshold = param.nms_threshold;
    *top_k = param.top_k;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorGetRuntime(void* handle, NerovaCustomRuntime* runtime) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetRuntime, 130);
    NEROVA_CHECK_PARAM_NULL(runtime, kGetRuntime, 131);
    const NetworkConfig& network = ParamOf(handle).network_config;
    runtime->device_type = network.device_type;
    runtime->device_id = network.device_id;
    runtime->thread_num = network.thread_num;
    return NEROVA_OK;
}

NerovaError NerovaFaceDetectorGetInputSize(void* handle, int32_t* width, int32_t* height) {
    NEROVA_CHECK_PARAM_NULL(handle, kGetInputSize, 140);
    NEROVA_CHECK_PARAM_NULL(width, kGetInputSize, 141);
    NEROVA_CHECK_PARAM_NULL(height, kGetInputSize, 142);
    const FaceDetectorParam& param = ParamOf(handle);
    *width = param.model_input_w;
    *height = param.model_input_h;
    return NEROVA_OK;
}

const char* NerovaErrorString(NerovaError code) {
    switch (code) {
        case NEROVA_OK:
            return "success";
        case NEROVA_ERR_NET:
            return "the network could not be loaded, set up or run";
        case NEROVA_ERR_PARAM_NULL:
            return "null pointer or unreadable argument";
        case NEROVA_ERR_JSON:
            return "malformed or invalid JSON configuration";
        case NEROVA_ERR_PARAM_KEY:
            return "unsupported parameter key";
        case NEROVA_ERR_OUT_OF_MEMORY:
            return "out of memory";
        case NEROVA_ERR_IMAGE_OP:
            return "an image operation refused the frame";
        case NEROVA_ERR_UNEXPECTED:
            return "unexpected internal error";
        case NEROVA_ERR_PARAM_RANGE:
            return "value out of range";
        case NEROVA_ERR_OUTPUT_FILE:
            return "an output file cannot be written";
        case NEROVA_ERR_MODEL_TYPE_NO_FILES:
            return "the model type has no model files defined";
        case NEROVA_ERR_MODEL_PATH:
            return "model path empty, missing or not a regular file";
        case NEROVA_ERR_MODEL_DIR:
            return "model directory cannot be listed";
        case NEROVA_ERR_MODEL_FILE_NOT_FOUND:
            return "model file not found";
        case NEROVA_ERR_MODEL_FILE_UNREADABLE:
            return "model file cannot be read";
        case NEROVA_ERR_MODEL_NOT_PARSED:
            return "model file requested before the model was parsed";
        case NEROVA_ERR_MODEL_FILE_TOO_LARGE:
            return "model file larger than the framework reads";
        case NEROVA_ERR_NOT_IMPLEMENTED:
            return "operation not implemented";
        case NEROVA_ERR_KERNEL_MODEL_TYPE:
            return "model type not supported by the kernel";
        case NEROVA_ERR_KERNEL_MODEL_INVALID:
            return "invalid or empty network";
        case NEROVA_ERR_KERNEL_DEVICE:
            return "device not available";
        case NEROVA_ERR_KERNEL_NOT_READY:
            return "kernel used before set-up";
        case NEROVA_ERR_KERNEL_BLOB:
            return "unusable tensor description or memory";
        case NEROVA_ERR_KERNEL_FORWARD:
            return "the network failed while running";
        default:
            return "unknown error code";
    }
}

const char* NerovaFaceDetectorVersion(void) { return NEROVA_VERSION; }

void NerovaLogToStderr(int32_t level, const char* line, void* user) {
    nerova::LogToStderr(level, line, user);
}

NerovaError NerovaSetLogSink(NerovaLogSink sink, void* user) {
    return nerova::SetLogSink(sink, user) ? NEROVA_OK : NEROVA_ERR_OUT_OF_MEMORY;
}

NerovaError NerovaSetLogLevel(int32_t level) {
    return nerova::SetLogLevel(level) ? NEROVA_OK : NEROVA_ERR_PARAM_RANGE;
}

}  // extern "C"
