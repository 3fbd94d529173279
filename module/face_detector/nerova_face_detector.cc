// The exported C interface. Argument checks and the call order are fixed; every exception
// from below (OpenCV, allocation) is stopped here and becomes a code and one log line.
#include "nerova_face_detector.h"

#include <cstdlib>
#include <new>
#include <opencv2/core.hpp>
#include <string>

#include "common/nerova_log.h"
#include "face_detector/face_detector.h"

using nerova::module::FaceDetectorAlgorithm;

namespace {

constexpr const char* kCreate = "NerovaFaceDetectorCreate";
constexpr const char* kDestroy = "NerovaFaceDetectorDestroy";
constexpr const char* kProcess = "NerovaFaceDetectorProcess";

// Runs body; maps what it throws to a code, logged once under function at line.
template <typename Body>
NerovaError Guarded(const char* function, int line, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        NEROVA_LOGE(function, line, "out of memory.");
        return NEROVA_ERR_OUT_OF_MEMORY;
    } catch (const cv::Exception& e) {
        NEROVA_LOGE(function, line, (std::string("image operation failed: ") + e.what()).c_str());
        return NEROVA_ERR_IMAGE_OP;
    } catch (const std::exception& e) {
        NEROVA_LOGE(function, line, (std::string("unexpected error: ") + e.what()).c_str());
        return NEROVA_ERR_UNEXPECTED;
    } catch (...) {
        NEROVA_LOGE(function, line, "unexpected error.");
        return NEROVA_ERR_UNEXPECTED;
    }
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

NerovaError NerovaFaceDetectorDestroy(void* handle) {
    NEROVA_CHECK_PARAM_NULL(handle, kDestroy, 69);
    auto* algorithm = static_cast<FaceDetectorAlgorithm*>(handle);
    const NerovaError ret = algorithm->DeInit();
    if (ret != NEROVA_OK) {
        NEROVA_LOGE(kDestroy, 74, "algorithm DeInit failed.");
        return ret;
    }
    delete algorithm;
    return NEROVA_OK;
}

}  // extern "C"
