// OpenCV image operations in the SDK's terms: kernel enumerations instead of OpenCV
// constants and a Status (code, message "OK") instead of exceptions for refused arguments.
// OpenCV's own errors (for example a conversion that does not fit the channel count) still
// arrive as cv::Exception.
#ifndef NEROVA_MODULE_WRAP_OPENCV_CV_WRAP_FUNCTION_H_
#define NEROVA_MODULE_WRAP_OPENCV_CV_WRAP_FUNCTION_H_

#include <memory>
#include <opencv2/core.hpp>

#include "nerova/config_records.h"
#include "nerova/face_detector_export.h"
#include "nerova/kernel.h"
#include "nerova/nerova_defines.h"

namespace nerova {
namespace module {

class NEROVA_FACE_DETECTOR_EXPORT CvWrapFunction {
  public:
    // cv::copyMakeBorder with the mapped border kind; 4098 (dst untouched) for a kind
    // without an OpenCV counterpart.
    static Status CopyMakeBorder(cv::Mat& src, cv::Mat& dst, int top, int bottom, int left,
                                 int right, NerovaBorderType border_type, const cv::Scalar& value);

    // Equal formats share src's pixels in dst (no copy). Otherwise cv::cvtColor with the
    // kernel's conversion for the pair; 4098 (dst untouched) when the pair has none.
    static Status CvCvtColor(cv::Mat& src, cv::Mat& dst, NerovaPixelFormat src_format,
                             NerovaPixelFormat dst_format);

    // cv::resize with the mapped interpolation; 4098 (dst untouched) when it has none.
    static Status CvResize(cv::Mat& src, cv::Mat& dst, cv::Size dsize, double fx, double fy,
                           NerovaInterpType interp_type);

    // YUV sources (NV12, NV21, YV12) are converted first and then resized, because their
    // buffer is not an image that can be scaled; every other source is resized first so the
    // conversion runs on the smaller image. A failing step is logged and its status
    // returned; the step after it does not run.
    static Status WrapResizeCvtColor(cv::Mat& src, cv::Mat& dst, cv::Size dsize, double fx,
                                     double fy, NerovaInterpType interp_type,
                                     NerovaPixelFormat src_format, NerovaPixelFormat dst_format);

    // Normalises mat in place (32-bit float, times converter.scale, plus converter.bias, per
    // channel) and writes it into the tensor's memory at the handle's base: interleaved when
    // the tensor's data format is NHWC (1), else planar (one channel after the other).
    // Refused with 4098, before mat is touched and without writing anything, when:
    //  - blob is null or its handle's base is null;
    //  - mat is empty, not two-dimensional, not continuous, or has more than four channels
    //    (the converter holds values for four);
    //  - converter.scale or converter.bias holds fewer than four values;
    //  - the tensor's description (Blob::BytesOf) is smaller than rows x cols x channels
    //    floats.
    static Status MatToBlobByDataFormat(cv::Mat& mat, std::shared_ptr<Blob>& blob,
                                        ParamConverter& converter);
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_OPENCV_CV_WRAP_FUNCTION_H_
