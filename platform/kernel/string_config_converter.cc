#include <utility>

#include "nerova/kernel.h"

namespace nerova {

namespace {

// One table per enumeration serves both directions.
template <typename E, size_t N>
E Lookup(const std::pair<const char*, E> (&table)[N], const std::string& s) {
    for (const auto& entry : table) {
        if (s == entry.first) return entry.second;
    }
    return static_cast<E>(NEROVA_UNSET_VALUE);
}

template <typename E, size_t N>
std::string NameOf(const std::pair<const char*, E> (&table)[N], E value) {
    for (const auto& entry : table) {
        if (value == entry.second) return entry.first;
    }
    return "";
}

const std::pair<const char*, NerovaModelType> kModelTypes[] = {
    {"MODEL_TYPE_TNN", NEROVA_MODEL_TYPE_TNN},
    {"MODEL_TYPE_TFLITE", NEROVA_MODEL_TYPE_TFLITE},
    {"MODEL_TYPE_MNN", NEROVA_MODEL_TYPE_MNN},
    {"MODEL_TYPE_NCNN", NEROVA_MODEL_TYPE_NCNN},
    {"MODEL_TYPE_OPENVINO", NEROVA_MODEL_TYPE_OPENVINO},
    {"MODEL_TYPE_TENSORRT", NEROVA_MODEL_TYPE_TENSORRT},
    {"MODEL_TYPE_ONNX", NEROVA_MODEL_TYPE_ONNX},
    {"MODEL_TYPE_COREML", NEROVA_MODEL_TYPE_COREML},
    {"MODEL_TYPE_JSON_GRAPH", NEROVA_MODEL_TYPE_JSON_GRAPH},
};

const std::pair<const char*, NerovaDeviceType> kDeviceTypes[] = {
    {"DEVICE_NAIVE", NEROVA_DEVICE_NAIVE},
    {"DEVICE_X86", NEROVA_DEVICE_X86},
    {"DEVICE_ARM", NEROVA_DEVICE_ARM},
    {"DEVICE_OPENCL", NEROVA_DEVICE_OPENCL},
    {"DEVICE_METAL", NEROVA_DEVICE_METAL},
    {"DEVICE_CUDA", NEROVA_DEVICE_CUDA},
    {"DEVICE_DSP", NEROVA_DEVICE_DSP},
    {"DEVICE_ATLAS", NEROVA_DEVICE_ATLAS},
    {"DEVICE_HUAWEI_NPU", NEROVA_DEVICE_HUAWEI_NPU},
    {"DEVICE_RK_NPU", NEROVA_DEVICE_RK_NPU},
    {"DEVICE_OPENGL", NEROVA_DEVICE_OPENGL},
    {"DEVICE_VULKAN", NEROVA_DEVICE_VULKAN},
};

const std::pair<const char*, NerovaDataType> kDataTypes[] = {
    {"DATA_TYPE_AUTO", NEROVA_DATA_TYPE_AUTO},     {"DATA_TYPE_FLOAT", NEROVA_DATA_TYPE_FLOAT},
    {"DATA_TYPE_HALF", NEROVA_DATA_TYPE_HALF},     {"DATA_TYPE_INT8", NEROVA_DATA_TYPE_INT8},
    {"DATA_TYPE_INT32", NEROVA_DATA_TYPE_INT32},   {"DATA_TYPE_BFP16", NEROVA_DATA_TYPE_BFP16},
    {"DATA_TYPE_INT64", NEROVA_DATA_TYPE_INT64},   {"DATA_TYPE_UINT32", NEROVA_DATA_TYPE_UINT32},
    {"DATA_TYPE_UINT8", NEROVA_DATA_TYPE_UINT8},   {"DATA_TYPE_INT16", NEROVA_DATA_TYPE_INT16},
    {"DATA_TYPE_UINT16", NEROVA_DATA_TYPE_UINT16},
};

const std::pair<const char*, NerovaDataFormat> kDataFormats[] = {
    {"DATA_FORMAT_AUTO", NEROVA_DATA_FORMAT_AUTO},
    {"DATA_FORMAT_NCHW", NEROVA_DATA_FORMAT_NCHW},
    {"DATA_FORMAT_NHWC", NEROVA_DATA_FORMAT_NHWC},
    {"DATA_FORMAT_NHWC4", NEROVA_DATA_FORMAT_NHWC4},
    {"DATA_FORMAT_NC2HW2", NEROVA_DATA_FORMAT_NC2HW2},
    {"DATA_FORMAT_NC4HW4", NEROVA_DATA_FORMAT_NC4HW4},
    {"DATA_FORMAT_NC8HW8", NEROVA_DATA_FORMAT_NC8HW8},
    {"DATA_FORMAT_NC16HW16", NEROVA_DATA_FORMAT_NC16HW16},
    {"DATA_FORMAT_NCDHW", NEROVA_DATA_FORMAT_NCDHW},
    {"DATA_FORMAT_NHC4W4", NEROVA_DATA_FORMAT_NHC4W4},
};

const std::pair<const char*, NerovaNetworkType> kNetworkTypes[] = {
    {"NETWORK_TYPE_TNN", NEROVA_NETWORK_TYPE_TNN},
    {"NETWORK_TYPE_TFLITE", NEROVA_NETWORK_TYPE_TFLITE},
    {"NETWORK_TYPE_XNNPACK", NEROVA_NETWORK_TYPE_XNNPACK},
    {"NETWORK_TYPE_OPENCV", NEROVA_NETWORK_TYPE_OPENCV},
    {"NETWORK_TYPE_MNN", NEROVA_NETWORK_TYPE_MNN},
    {"NETWORK_TYPE_NCNN", NEROVA_NETWORK_TYPE_NCNN},
    {"NETWORK_TYPE_OPENVINO", NEROVA_NETWORK_TYPE_OPENVINO},
    {"NETWORK_TYPE_TENSORRT", NEROVA_NETWORK_TYPE_TENSORRT},
    {"NETWORK_TYPE_ONNX", NEROVA_NETWORK_TYPE_ONNX},
};

const std::pair<const char*, NerovaShareMemoryMode> kShareModes[] = {
    {"SHARE_MEMORY_MODE_DEFAULT", NEROVA_SHARE_MEMORY_MODE_DEFAULT},
    {"SHARE_MEMORY_MODE_SHAREONTHREAD", NEROVA_SHARE_MEMORY_MODE_SHAREONTHREAD},
    {"SHARE_MEMORY_MODE_EXTERNAL", NEROVA_SHARE_MEMORY_MODE_EXTERNAL},
};

const std::pair<const char*, NerovaPrecision> kPrecisions[] = {
    {"PRECISION_AUTO", NEROVA_PRECISION_AUTO},
    {"PRECISION_NORMAL", NEROVA_PRECISION_NORMAL},
    {"PRECISION_HIGH", NEROVA_PRECISION_HIGH},
    {"PRECISION_LOW", NEROVA_PRECISION_LOW},
};

const std::pair<const char*, NerovaInterpType> kInterpTypes[] = {
    {"INTERP_TYPE_NEAREST", NEROVA_INTERP_TYPE_NEAREST},
    {"INTERP_TYPE_LINEAR", NEROVA_INTERP_TYPE_LINEAR},
};

const std::pair<const char*, NerovaPixelFormat> kPixelFormats[] = {
    {"PIXEL_FORMAT_RGBA", NEROVA_PIXEL_FORMAT_RGBA},
    {"PIXEL_FORMAT_BGR", NEROVA_PIXEL_FORMAT_BGR},
    {"PIXEL_FORMAT_RGB", NEROVA_PIXEL_FORMAT_RGB},
    {"PIXEL_FORMAT_BGRA", NEROVA_PIXEL_FORMAT_BGRA},
    {"PIXEL_FORMAT_GRAY", NEROVA_PIXEL_FORMAT_GRAY},
    {"PIXEL_FORMAT_NV12", NEROVA_PIXEL_FORMAT_NV12},
    {"PIXEL_FORMAT_NV21", NEROVA_PIXEL_FORMAT_NV21},
    {"PIXEL_FORMAT_YV12", NEROVA_PIXEL_FORMAT_YV12},
};

const std::pair<const char*, NerovaBorderType> kBorderTypes[] = {
    {"BORDER_TYPE_CONSTANT", NEROVA_BORDER_TYPE_CONSTANT},
    {"BORDER_TYPE_REFLECT", NEROVA_BORDER_TYPE_REFLECT},
};

}  // namespace

NerovaModelType StringConfigConverter::StringToModelType(const std::string& s) {
    return Lookup(kModelTypes, s);
}
NerovaDeviceType StringConfigConverter::StringToDeviceType(const std::string& s) {
    return Lookup(kDeviceTypes, s);
}
NerovaDataType StringConfigConverter::StringToDataType(const std::string& s) {
    return Lookup(kDataTypes, s);
}
NerovaDataFormat StringConfigConverter::StringToDataFormat(const std::string& s) {
    return Lookup(kDataFormats, s);
}
NerovaNetworkType StringConfigConverter::StringToNetworkType(const std::string& s) {
    return Lookup(kNetworkTypes, s);
}
NerovaShareMemoryMode StringConfigConverter::StringToShareMemoryMode(const std::string& s) {
    return Lookup(kShareModes, s);
}
NerovaPrecision StringConfigConverter::StringToPrecision(const std::string& s) {
    return Lookup(kPrecisions, s);
}
NerovaInterpType StringConfigConverter::StringToInterpType(const std::string& s) {
    return Lookup(kInterpTypes, s);
}
NerovaPixelFormat StringConfigConverter::StringToPixelFormat(const std::string& s) {
    return Lookup(kPixelFormats, s);
}
NerovaBorderType StringConfigConverter::StringToBorderType(const std::string& s) {
    return Lookup(kBorderTypes, s);
}

std::string StringConfigConverter::ModelTypeToString(NerovaModelType type) {
    return NameOf(kModelTypes, type);
}
std::string StringConfigConverter::DeviceTypeToString(NerovaDeviceType type) {
    return NameOf(kDeviceTypes, type);
}
std::string StringConfigConverter::PixelFormatToString(NerovaPixelFormat format) {
    return NameOf(kPixelFormats, format);
}

}  // namespace nerova
