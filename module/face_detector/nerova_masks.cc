// The exported C interface for hiding faces in a picture, and for writing files whole.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "common/c_guard.h"
#include "common/whole_files.h"
#include "face_detector/masks.h"
#include "nerova/module_common.h"
#include "nerova_face_detector.h"

using nerova::module::FrameConverter;
using nerova::module::Guarded;

namespace {

constexpr const char* kAnonymize = "NerovaAnonymize";
constexpr int32_t kMaxSide = FrameConverter::kMaxSide;

}  // namespace

extern "C" {

NerovaError NerovaAnonymize(int32_t pixel_format, int32_t width, int32_t height, uint8_t* pixels,
                            int32_t stride, const NerovaMaskRegion* regions, uint32_t count,
                            int32_t hide, int32_t shape, float scale,
                            const NerovaFrame* replacement) {
    NEROVA_CHECK_PARAM_NULL(pixels, kAnonymize, 1);
    if (count > 0) NEROVA_CHECK_PARAM_NULL(regions, kAnonymize, 2);
    const int channels = FrameConverter::InterleavedChannels(pixel_format);
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
