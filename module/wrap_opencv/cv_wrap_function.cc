#include "wrap_opencv/cv_wrap_function.h"

#include <cstring>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "common/nerova_log.h"
#include "wrap_opencv/cv_mat_converter.h"

namespace nerova {
namespace module {

namespace {

const char kWrapResizeCvtColor[] = "nerova::module::CvWrapFunction::WrapResizeCvtColor";

bool IsYuv(NerovaPixelFormat format) {
    return format == NEROVA_PIXEL_FORMAT_NV12 || format == NEROVA_PIXEL_FORMAT_NV21 ||
           format == NEROVA_PIXEL_FORMAT_YV12;
}

}  // namespace

Status CvWrapFunction::CopyMakeBorder(cv::Mat& src, cv::Mat& dst, int top, int bottom, int left,
                                      int right, NerovaBorderType border_type,
                                      const cv::Scalar& value) {
    const int cv_border = CvMatConverter::ConvertFromBorderType(border_type);
    if (cv_border == -1) return Status(NEROVA_ERR_PARAM_NULL);
    cv::copyMakeBorder(src, dst, top, bottom, left, right, cv_border, value);
    return Status(NEROVA_OK);
}

Status CvWrapFunction::CvCvtColor(cv::Mat& src, cv::Mat& dst, NerovaPixelFormat src_format,
                                  NerovaPixelFormat dst_format) {
    if (src_format == dst_format) {
        if (&dst != &src) dst = src;
        return Status(NEROVA_OK);
    }
    const int code = CvMatConverter::ConvertFromColorConversionType(
        TypeUtils::CaclulateColorConversionType(src_format, dst_format));
    if (code == -1) return Status(NEROVA_ERR_PARAM_NULL);
    cv::cvtColor(src, dst, code, 0);
    return Status(NEROVA_OK);
}

Status CvWrapFunction::CvResize(cv::Mat& src, cv::Mat& dst, cv::Size dsize, double fx, double fy,
                                NerovaInterpType interp_type) {
    const int interpolation = CvMatConverter::ConvertFromInterpType(interp_type);
    if (interpolation == -1) return Status(NEROVA_ERR_PARAM_NULL);
    cv::resize(src, dst, dsize, fx, fy, interpolation);
    return Status(NEROVA_OK);
}

Status CvWrapFunction::WrapResizeCvtColor(cv::Mat& src, cv::Mat& dst, cv::Size dsize, double fx,
                                          double fy, NerovaInterpType interp_type,
                                          NerovaPixelFormat src_format,
                                          NerovaPixelFormat dst_format) {
    Status status;
    if (IsYuv(src_format)) {
        status = CvCvtColor(src, dst, src_format, dst_format);
        if (status != NEROVA_OK) {
            NEROVA_LOGE(kWrapResizeCvtColor, 77, "RETURN_ON_NEQ!");
            return status;
        }
        status = CvResize(dst, dst, dsize, fx, fy, interp_type);
        if (status != NEROVA_OK) {
            NEROVA_LOGE(kWrapResizeCvtColor, 79, "RETURN_ON_NEQ!");
            return status;
        }
        return status;
    }
    status = CvResize(src, dst, dsize, fx, fy, interp_type);
    if (status != NEROVA_OK) {
        NEROVA_LOGE(kWrapResizeCvtColor, 82, "RETURN_ON_NEQ!");
        return status;
    }
    status = CvCvtColor(dst, dst, src_format, dst_format);
    if (status != NEROVA_OK) {
        NEROVA_LOGE(kWrapResizeCvtColor, 84, "RETURN_ON_NEQ!");
        return status;
    }
    return status;
}

Status CvWrapFunction::MatToBlobByDataFormat(cv::Mat& mat, std::shared_ptr<Blob>& blob,
                                             ParamConverter& converter) {
    // Everything is checked before mat is converted, so a refusal leaves the caller's
    // matrix and the tensor as they were.
    if (!blob) return Status(NEROVA_ERR_PARAM_NULL);
    if (mat.empty() || mat.dims != 2 || !mat.isContinuous() || mat.channels() > 4)
        return Status(NEROVA_ERR_PARAM_NULL);
    if (converter.scale.size() < 4 || converter.bias.size() < 4)
        return Status(NEROVA_ERR_PARAM_NULL);
    const BlobDesc desc = blob->GetBlobDesc();
    const BlobHandle handle = blob->GetHandle();
    if (handle.base == nullptr) return Status(NEROVA_ERR_PARAM_NULL);
    const int channels = mat.channels();
    const size_t plane_bytes = static_cast<size_t>(mat.rows) * mat.cols * sizeof(float);
    const size_t total_bytes = plane_bytes * channels;
    if (Blob::BytesOf(desc) < total_bytes) return Status(NEROVA_ERR_PARAM_NULL);

    mat.convertTo(mat, CV_MAKETYPE(CV_32F, channels), 1.0, 0.0);
    const cv::Scalar scale(converter.scale[0], converter.scale[1], converter.scale[2],
                           converter.scale[3]);
    const cv::Scalar bias(converter.bias[0], converter.bias[1], converter.bias[2],
                          converter.bias[3]);
    // The free functions keep the scalars as scalars even for a 4 x 1 single-channel
    // matrix, which a matrix-valued multiplication would take for a same-sized array.
    cv::multiply(mat, scale, mat);
    cv::add(mat, bias, mat);

    unsigned char* dst = static_cast<unsigned char*>(handle.base);
    if (desc.data_format == NEROVA_DATA_FORMAT_NHWC) {
        std::memcpy(dst, mat.data, total_bytes);
        return Status(NEROVA_OK);
    }
    std::vector<cv::Mat> planes;
    planes.reserve(channels);
    for (int c = 0; c < channels; ++c)
        planes.emplace_back(mat.rows, mat.cols, CV_32FC1, dst + c * plane_bytes);
    // The planes already have the right size and type, so split writes through them.
    cv::split(mat, planes.data());
    return Status(NEROVA_OK);
}

}  // namespace module
}  // namespace nerova
