// Translations between OpenCV matrices and kernel tensors, and from kernel enumerations to
// OpenCV constants. Neither conversion copies pixels: the tensor points into the matrix, or
// the matrix is a header over the tensor, so the memory's owner must outlive the other.
#ifndef NEROVA_MODULE_WRAP_OPENCV_CV_MAT_CONVERTER_H_
#define NEROVA_MODULE_WRAP_OPENCV_CV_MAT_CONVERTER_H_

#include <opencv2/core.hpp>

#include "nerova/face_detector_export.h"
#include "nerova/kernel.h"
#include "nerova/nerova_defines.h"

namespace nerova {
namespace module {

class NEROVA_FACE_DETECTOR_EXPORT CvMatConverter {
  public:
    // Describes mat in blob (default CPU device, data type by depth, interleaved format,
    // dims 1 x rows x cols x channels, name kept) and points the blob's handle at mat's
    // pixels; the blob allocates nothing. The description assumes a continuous matrix.
    // 4098 for a depth without a data type (64-bit and 16-bit float); blob left unchanged.
    static Status ConvertToBlob(Blob& blob, cv::Mat& mat);

    // Makes mat a non-owning header over the tensor's data (base + bytes_offset), rows =
    // dim 1, cols = dim 2, channels = dim 3, default row step. 4098, with mat untouched, for
    // a tensor that is not a single interleaved image on a CPU-readable device or whose data
    // type has no depth. After those checks, also refused with 4098 rather than read out of
    // bounds:
    //  - fewer than four dims, or rows, cols or channels outside 1..CV_CN_MAX (channels) and
    //    positive (rows, cols): logged as "blob desc is err!" with the data format check;
    //  - a null data pointer (base null): logged as "blob data is null!".
    static Status ConvertFromBlob(cv::Mat& mat, Blob& blob);

    // OpenCV depth to data type; NEROVA_DATA_TYPE_UNSET (65536) when there is no counterpart.
    static NerovaDataType ConvertToDataType(int depth);

    // Kernel enumerations to OpenCV constants; -1 when there is no counterpart.
    static int ConvertFromBorderType(NerovaBorderType border_type);
    static int ConvertFromInterpType(NerovaInterpType interp_type);
    static int ConvertFromColorConversionType(NerovaColorConversionType type);
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_OPENCV_CV_MAT_CONVERTER_H_
