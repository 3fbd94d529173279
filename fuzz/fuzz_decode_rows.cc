// Hostile network output straight into decoding and suppression: arbitrary floats (NaN,
// infinities, huge offsets) as rows of 10 to 16 values, with arbitrary top_k and thresholds.
// Whatever comes back must be faces: finite scores at or above the threshold, score falling,
// at most top_k of them.
#include <cmath>
#include <cstring>
#include <vector>

#include "face_detector/face_detector.h"
#include "fuzz_util.h"
#include "nerova_face_detector.h"

namespace {

using nerova::module::FaceDetectorAlgorithm;
using nerova::module::FaceDetectorParam;

// A detector on the fuzz build's network (NEROVA_FUZZ_MODEL) that has seen one frame, so
// that its scale and frame size are set.
FaceDetectorAlgorithm* Detector() {
    static void* handle = [] {
        void* h = nullptr;
        const char* model = std::getenv("NEROVA_FUZZ_MODEL");
        if (!model || NerovaFaceDetectorCreate(model, "", nullptr, &h) != NEROVA_OK) return h;
        std::vector<uint8_t> pixels(120 * 90 * 3, 100);
        NerovaFrame frame{NEROVA_PIXEL_FORMAT_BGR, 120, 90, {pixels.data()}, {360}};
        NerovaFaceInfo* faces = nullptr;
        uint32_t count = 0;
        if (NerovaFaceDetectorProcess(h, &frame, &faces, &count) == NEROVA_OK)
            NerovaFaceDetectorOutputRelease(faces);
        return h;
    }();
    return static_cast<FaceDetectorAlgorithm*>(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FaceDetectorAlgorithm* algorithm = Detector();
    if (!algorithm) return 0;
    nerova_fuzz::Input in(data, size);
    auto& param = *static_cast<FaceDetectorParam*>(algorithm->GetParam());
    param.top_k = 1 + in.Byte() % 64;
    param.score_threshold = (in.Byte() % 101) / 100.0f;
    param.nms_threshold = (in.Byte() % 101) / 100.0f;
    const int row_length = 10 + in.Byte() % 7;
    std::vector<float> rows(in.left() / sizeof(float));
    if (!rows.empty()) std::memcpy(rows.data(), in.data(), rows.size() * sizeof(float));
    const int row_count = static_cast<int>(rows.size()) / row_length;

    if (algorithm->DecodeBoxes(row_count, row_length, rows.data()) != NEROVA_OK) return 0;
    if (algorithm->NonMaxSuppression() != NEROVA_OK) return 0;
    NerovaFaceInfo* faces = nullptr;
    uint32_t count = 0;
    if (algorithm->GetOutput(&faces, &count) != NEROVA_OK) return 0;
    if (count > static_cast<uint32_t>(param.top_k)) __builtin_trap();
    for (uint32_t i = 0; i < count; ++i) {
        const float s = faces[i].score;
        if (!std::isfinite(s) || s < param.score_threshold) __builtin_trap();
        if (i > 0 && s > faces[i - 1].score) __builtin_trap();
    }
    NerovaFaceDetectorOutputRelease(faces);
    return 0;
}
