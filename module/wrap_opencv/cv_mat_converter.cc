#include "wrap_opencv/cv_mat_converter.h"

#include <opencv2/imgproc.hpp>

#include "common/nerova_log.h"

namespace nerova {
namespace module {

namespace {

const char kToBlob[] = "nerova::module::CvMatConverter::ConvertToBlob";
const char kFromBlob[] = "nerova::module::CvMatConverter::ConvertFromBlob";

struct DepthPair {
    int depth;
    NerovaDataType data_type;
};

const DepthPair kDepthPairs[] = {
    {CV_8U, NEROVA_DATA_TYPE_UINT8},   {CV_8S, NEROVA_DATA_TYPE_INT8},
    {CV_16U, NEROVA_DATA_TYPE_UINT16}, {CV_16S, NEROVA_DATA_TYPE_INT16},
    {CV_32S, NEROVA_DATA_TYPE_INT32},  {CV_32F, NEROVA_DATA_TYPE_FLOAT},
};

// -1 for a data type that no OpenCV depth holds.
int DepthOf(NerovaDataType data_type) {
    for (const DepthPair& pair : kDepthPairs) {
        if (pair.data_type == data_type) return pair.depth;
    }
    return -1;
}

}  // namespace

NerovaDataType CvMatConverter::ConvertToDataType(int depth) {
    for (const DepthPair& pair : kDepthPairs) {
        if (pair.depth == depth) return pair.data_type;
    }
    return NEROVA_DATA_TYPE_UNSET;
}

Status CvMatConverter::ConvertToBlob(Blob& blob, cv::Mat& mat) {
    BlobDesc desc = blob.GetBlobDesc();
    desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    desc.data_type = ConvertToDataType(mat.depth());
    NEROVA_RETURN_VALUE_ON_EQ(desc.data_type, NEROVA_DATA_TYPE_UNSET, Status(NEROVA_ERR_PARAM_NULL),
                              kToBlob, 151);
    desc.data_format = NEROVA_DATA_FORMAT_NHWC;
    desc.dims = {1, mat.rows, mat.cols, mat.channels()};
    blob.SetBlobDesc(desc, false);
    BlobHandle handle;
    handle.base = mat.data;
    handle.bytes_offset = 0;
    blob.SetHandle(handle);
    return Status(NEROVA_OK);
}

Status CvMatConverter::ConvertFromBlob(cv::Mat& mat, Blob& blob) {
    const BlobDesc desc = blob.GetBlobDesc();
    if (desc.data_format != NEROVA_DATA_FORMAT_NHWC || blob.GetDim(0) != 1) {
        NEROVA_LOGE(kFromBlob, 176, "blob desc is err!");
        return Status(NEROVA_ERR_PARAM_NULL);
    }
    if (!DeviceUtils::IsCpuReadable(desc.device_type)) {
        NEROVA_LOGE(kFromBlob, 182, "blob desc is err!");
        return Status(NEROVA_ERR_PARAM_NULL);
    }
    const int depth = DepthOf(desc.data_type);
    if (depth < 0) {
        NEROVA_LOGE(kFromBlob, 207, "blob data type not match!");
        return Status(NEROVA_ERR_PARAM_NULL);
    }
    const int rows = blob.GetDim(1);
    const int cols = blob.GetDim(2);
    const int channels = blob.GetDim(3);
    // A header needs positive extents; anything else would make OpenCV assert or read
    // memory the tensor does not describe.
    if (desc.dims.size() < 4 || rows <= 0 || cols <= 0 || channels <= 0 || channels > CV_CN_MAX) {
        NEROVA_LOGE(kFromBlob, 176, "blob desc is err!");
        return Status(NEROVA_ERR_PARAM_NULL);
    }
    const BlobHandle handle = blob.GetHandle();
    if (handle.base == nullptr) {
        NEROVA_LOGE(kFromBlob, 190, "blob data is null!");
        return Status(NEROVA_ERR_PARAM_NULL);
    }
    void* data = static_cast<unsigned char*>(handle.base) + handle.bytes_offset;
    mat = cv::Mat(rows, cols, CV_MAKETYPE(depth, channels), data);
    return Status(NEROVA_OK);
}

int CvMatConverter::ConvertFromBorderType(NerovaBorderType border_type) {
    switch (border_type) {
        case NEROVA_BORDER_TYPE_CONSTANT:
            return cv::BORDER_CONSTANT;
        case NEROVA_BORDER_TYPE_REFLECT:
            return cv::BORDER_REFLECT;
        default:
            return -1;
    }
}

int CvMatConverter::ConvertFromInterpType(NerovaInterpType interp_type) {
    switch (interp_type) {
        case NEROVA_INTERP_TYPE_NEAREST:
            return cv::INTER_NEAREST;
        case NEROVA_INTERP_TYPE_LINEAR:
            return cv::INTER_LINEAR;
        default:
            return -1;
    }
}

int CvMatConverter::ConvertFromColorConversionType(NerovaColorConversionType type) {
    switch (type) {
        case NEROVA_COLOR_CONVERT_GRAY2BGR:
        case NEROVA_COLOR_CONVERT_GRAY2RGB:
            return cv::COLOR_GRAY2BGR;
        case NEROVA_COLOR_CONVERT_BGR2RGB:
        case NEROVA_COLOR_CONVERT_RGB2BGR:
            return cv::COLOR_BGR2RGB;
        case NEROVA_COLOR_CONVERT_BGRA2BGR:
        case NEROVA_COLOR_CONVERT_RGBA2RGB:
            return cv::COLOR_BGRA2BGR;
        case NEROVA_COLOR_CONVERT_RGBA2BGR:
        case NEROVA_COLOR_CONVERT_BGRA2RGB:
            return cv::COLOR_RGBA2BGR;
        case NEROVA_COLOR_CONVERT_NV12TORGB:
            return cv::COLOR_YUV2RGB_NV12;
        case NEROVA_COLOR_CONVERT_NV21TORGB:
            return cv::COLOR_YUV2RGB_NV21;
        case NEROVA_COLOR_CONVERT_YV12TORGB:
            return cv::COLOR_YUV2RGB_YV12;
        case NEROVA_COLOR_CONVERT_NV12TOBGR:
            return cv::COLOR_YUV2BGR_NV12;
        case NEROVA_COLOR_CONVERT_NV21TOBGR:
            return cv::COLOR_YUV2BGR_NV21;
        case NEROVA_COLOR_CONVERT_YV12TOBGR:
            return cv::COLOR_YUV2BGR_YV12;
        case NEROVA_COLOR_CONVERT_RGB2GRAY:
            return cv::COLOR_RGB2GRAY;
        case NEROVA_COLOR_CONVERT_BGR2GRAY:
            return cv::COLOR_BGR2GRAY;
        case NEROVA_COLOR_CONVERT_RGBA2GRAY:
            return cv::COLOR_RGBA2GRAY;
        case NEROVA_COLOR_CONVERT_BGRA2GRAY:
            return cv::COLOR_BGRA2GRAY;
        case NEROVA_COLOR_CONVERT_NV12TOGRAY:
        case NEROVA_COLOR_CONVERT_NV21TOGRAY:
        case NEROVA_COLOR_CONVERT_YV12TOGRAY:
            return cv::COLOR_YUV2GRAY_420;
        default:
            return -1;
    }
}

}  // namespace module
}  // namespace nerova
