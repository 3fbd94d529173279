// Basic types shared by the kernel, the framework and the algorithm modules:
// result codes and the SDK enumerations.
#ifndef NEROVA_INCLUDE_NEROVA_DEFINES_H_
#define NEROVA_INCLUDE_NEROVA_DEFINES_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// 32-bit result code of every operation; 0 is success.
typedef int32_t NerovaError;

enum {
    NEROVA_OK = 0,
    // The kernel failed to load the network, create an instance, or run it.
    NEROVA_ERR_NET = 0x1000,
    // A required pointer is null; in conversion helpers, an unsupported or invalid argument.
    NEROVA_ERR_PARAM_NULL = 0x1002,
    // A JSON text is not well formed, or does not validate against its schema.
    NEROVA_ERR_JSON = 0x1003,
    // A parameter key is not supported.
    NEROVA_ERR_PARAM_KEY = 0x1007,
    // The result array could not be allocated.
    NEROVA_ERR_OUT_OF_MEMORY = 0x1008,
    // An image operation raised an error inside OpenCV (reported at the library boundary).
    NEROVA_ERR_IMAGE_OP = 0x1009,
    // Any other exception stopped at the library boundary.
    NEROVA_ERR_UNEXPECTED = 0x100A,
    // A setting outside its documented range, or NaN; the setting is left unchanged.
    NEROVA_ERR_PARAM_RANGE = 0x100B,
    // An output file (a video, a picture) cannot be written; the writer says why.
    NEROVA_ERR_OUTPUT_FILE = 0x100C,
    // The model type has no model files defined.
    NEROVA_ERR_MODEL_TYPE_NO_FILES = 0x3001,

    // Framework (model accessor) codes.
    NEROVA_ERR_MODEL_PATH = 0x3101,             // model path empty, missing or not a regular file
    NEROVA_ERR_MODEL_DIR = 0x3102,              // model directory cannot be listed
    NEROVA_ERR_MODEL_FILE_NOT_FOUND = 0x3103,   // no such file (or no file with that suffix)
    NEROVA_ERR_MODEL_FILE_UNREADABLE = 0x3104,  // file exists but cannot be read whole
    NEROVA_ERR_MODEL_NOT_PARSED = 0x3105,       // file requested before a successful Parse
    NEROVA_ERR_NOT_IMPLEMENTED = 0x3106,        // framework default of an operation not overridden
    NEROVA_ERR_MODEL_FILE_TOO_LARGE = 0x3107,   // file larger than the framework reads (512 MiB)

    // Kernel codes carried in Status; the detector turns all of them into NEROVA_ERR_NET.
    NEROVA_ERR_KERNEL_MODEL_TYPE = 0x2001,     // model type this kernel cannot run
    NEROVA_ERR_KERNEL_MODEL_INVALID = 0x2002,  // empty contents or bytes that are not a model
    NEROVA_ERR_KERNEL_DEVICE = 0x2003,         // device type not available in this build
    NEROVA_ERR_KERNEL_NOT_READY = 0x2004,      // call before a successful Init / instance creation
    NEROVA_ERR_KERNEL_BLOB = 0x2005,           // tensor description or memory unusable
    NEROVA_ERR_KERNEL_FORWARD = 0x2006,        // the network raised an error while running
};

// The unset value of several enumerations.
#define NEROVA_UNSET_VALUE 0x10000

typedef enum {
    NEROVA_MODEL_TYPE_TENSORRT = 0x1000,
    NEROVA_MODEL_TYPE_OPENVINO = 0x2000,
    NEROVA_MODEL_TYPE_ONNX = 0x2001,
    NEROVA_MODEL_TYPE_TNN = 0x3000,
    NEROVA_MODEL_TYPE_MNN = 0x3002,
    NEROVA_MODEL_TYPE_COREML = 0x3003,
    NEROVA_MODEL_TYPE_NCNN = 0x3004,  // known by name, no model files defined
    NEROVA_MODEL_TYPE_JSON_GRAPH = 0x4000,
    NEROVA_MODEL_TYPE_TFLITE = 0x5000,
    NEROVA_MODEL_TYPE_UNSET = NEROVA_UNSET_VALUE,
} NerovaModelType;

typedef enum {
    NEROVA_NETWORK_TYPE_TENSORRT = 0x1000,
    NEROVA_NETWORK_TYPE_OPENVINO = 0x2000,
    NEROVA_NETWORK_TYPE_ONNX = 0x2001,
    NEROVA_NETWORK_TYPE_TNN = 0x3000,
    NEROVA_NETWORK_TYPE_MNN = 0x3002,
    NEROVA_NETWORK_TYPE_NCNN = 0x3004,
    NEROVA_NETWORK_TYPE_TFLITE = 0x5000,
    // This kernel's two backends, chosen by name; the types above leave the choice to it.
    NEROVA_NETWORK_TYPE_XNNPACK = 0x6000,
    NEROVA_NETWORK_TYPE_OPENCV = 0x6001,
    NEROVA_NETWORK_TYPE_UNSET = NEROVA_UNSET_VALUE,
} NerovaNetworkType;

// 0, 16 and 32 are the device types whose memory the CPU reads directly.
typedef enum {
    NEROVA_DEVICE_NAIVE = 0x0000,
    NEROVA_DEVICE_X86 = 0x0010,
    NEROVA_DEVICE_ARM = 0x0020,
    NEROVA_DEVICE_OPENCL = 0x0100,
    NEROVA_DEVICE_METAL = 0x0101,
    NEROVA_DEVICE_CUDA = 0x0102,
    NEROVA_DEVICE_DSP = 0x0103,
    NEROVA_DEVICE_ATLAS = 0x0104,
    NEROVA_DEVICE_HUAWEI_NPU = 0x0105,
    NEROVA_DEVICE_RK_NPU = 0x0106,
    NEROVA_DEVICE_OPENGL = 0x0107,
    NEROVA_DEVICE_VULKAN = 0x0108,
    NEROVA_DEVICE_UNSET = NEROVA_UNSET_VALUE,
} NerovaDeviceType;

typedef enum {
    NEROVA_DATA_TYPE_AUTO = -1,
    NEROVA_DATA_TYPE_FLOAT = 0,
    NEROVA_DATA_TYPE_HALF = 1,
    NEROVA_DATA_TYPE_INT8 = 2,
    NEROVA_DATA_TYPE_INT32 = 3,
    NEROVA_DATA_TYPE_BFP16 = 4,
    NEROVA_DATA_TYPE_INT64 = 5,
    NEROVA_DATA_TYPE_UINT32 = 6,
    NEROVA_DATA_TYPE_UINT8 = 11,
    NEROVA_DATA_TYPE_INT16 = 12,
    NEROVA_DATA_TYPE_UINT16 = 13,
    NEROVA_DATA_TYPE_UNSET = NEROVA_UNSET_VALUE,
} NerovaDataType;

typedef enum {
    NEROVA_DATA_FORMAT_AUTO = -1,
    NEROVA_DATA_FORMAT_NCHW = 0,  // planar
    NEROVA_DATA_FORMAT_NHWC = 1,  // interleaved
    NEROVA_DATA_FORMAT_NHWC4 = 2,
    NEROVA_DATA_FORMAT_NC2HW2 = 3,
    NEROVA_DATA_FORMAT_NC4HW4 = 4,
    NEROVA_DATA_FORMAT_NC8HW8 = 5,
    NEROVA_DATA_FORMAT_NC16HW16 = 6,
    NEROVA_DATA_FORMAT_NCDHW = 7,
    NEROVA_DATA_FORMAT_NHC4W4 = 8,
    // Host float tensor laid out as the network produced it (dims outermost first,
    // row-major); the format in which the module asks for network outputs.
    NEROVA_DATA_FORMAT_HOST_DEFAULT = 1002,
    NEROVA_DATA_FORMAT_UNSET = NEROVA_UNSET_VALUE,
} NerovaDataFormat;

typedef enum {
    NEROVA_PRECISION_AUTO = -1,
    NEROVA_PRECISION_NORMAL = 0,
    NEROVA_PRECISION_HIGH = 1,
    NEROVA_PRECISION_LOW = 2,
    NEROVA_PRECISION_UNSET = NEROVA_UNSET_VALUE,
} NerovaPrecision;

typedef enum {
    NEROVA_SHARE_MEMORY_MODE_DEFAULT = 0,
    NEROVA_SHARE_MEMORY_MODE_SHAREONTHREAD = 1,
    NEROVA_SHARE_MEMORY_MODE_EXTERNAL = 2,
    NEROVA_SHARE_MEMORY_MODE_UNSET = NEROVA_UNSET_VALUE,
} NerovaShareMemoryMode;

// Pixel formats of host frames. 6, 7 and 8 are the YUV 4:2:0 formats.
typedef enum {
    NEROVA_PIXEL_FORMAT_RGBA = 0,
    NEROVA_PIXEL_FORMAT_BGR = 1,
    NEROVA_PIXEL_FORMAT_RGB = 2,
    NEROVA_PIXEL_FORMAT_BGRA = 3,
    NEROVA_PIXEL_FORMAT_GRAY = 4,
    NEROVA_PIXEL_FORMAT_NV12 = 6,  // Y plane, then interleaved U,V at half resolution
    NEROVA_PIXEL_FORMAT_NV21 = 7,  // Y plane, then interleaved V,U at half resolution
    NEROVA_PIXEL_FORMAT_YV12 = 8,  // Y plane, then V plane, then U plane at half resolution
    NEROVA_PIXEL_FORMAT_UNSET = NEROVA_UNSET_VALUE,
} NerovaPixelFormat;

typedef enum {
    NEROVA_INTERP_TYPE_NEAREST = 0,
    NEROVA_INTERP_TYPE_LINEAR = 1,
    NEROVA_INTERP_TYPE_UNSET = NEROVA_UNSET_VALUE,
} NerovaInterpType;

typedef enum {
    NEROVA_BORDER_TYPE_CONSTANT = 0,
    NEROVA_BORDER_TYPE_REFLECT = 1,
    NEROVA_BORDER_TYPE_UNSET = NEROVA_UNSET_VALUE,
} NerovaBorderType;

// Colour conversions between pixel formats (source to target).
typedef enum {
    NEROVA_COLOR_CONVERT_GRAY2BGR = 0,
    NEROVA_COLOR_CONVERT_BGR2RGB = 1,
    NEROVA_COLOR_CONVERT_BGRA2BGR = 2,
    NEROVA_COLOR_CONVERT_RGBA2BGR = 3,
    NEROVA_COLOR_CONVERT_NV12TORGB = 4,
    NEROVA_COLOR_CONVERT_NV21TORGB = 5,
    NEROVA_COLOR_CONVERT_YV12TORGB = 6,
    NEROVA_COLOR_CONVERT_GRAY2RGB = 7,
    NEROVA_COLOR_CONVERT_RGB2BGR = 8,
    NEROVA_COLOR_CONVERT_BGRA2RGB = 9,
    NEROVA_COLOR_CONVERT_RGBA2RGB = 10,
    NEROVA_COLOR_CONVERT_NV12TOBGR = 11,
    NEROVA_COLOR_CONVERT_NV21TOBGR = 12,
    NEROVA_COLOR_CONVERT_YV12TOBGR = 13,
    NEROVA_COLOR_CONVERT_RGB2GRAY = 14,
    NEROVA_COLOR_CONVERT_BGR2GRAY = 15,
    NEROVA_COLOR_CONVERT_RGBA2GRAY = 16,
    NEROVA_COLOR_CONVERT_BGRA2GRAY = 17,
    NEROVA_COLOR_CONVERT_NV12TOGRAY = 18,
    NEROVA_COLOR_CONVERT_NV21TOGRAY = 19,
    NEROVA_COLOR_CONVERT_YV12TOGRAY = 20,
    NEROVA_COLOR_CONVERT_NONE = NEROVA_UNSET_VALUE,
} NerovaColorConversionType;

// A host frame: up to three planes, each with its own row stride in bytes.
// Interleaved formats use plane 0 only. NV12/NV21 use plane 0 (Y) and plane 1 (UV or VU,
// (height + 1) / 2 rows of 2 * ((width + 1) / 2) bytes). YV12 uses plane 0 (Y), plane 1 (V)
// and plane 2 (U), each chroma plane (height + 1) / 2 rows of (width + 1) / 2 bytes.
typedef struct NerovaFrame {
    NerovaPixelFormat pixel_format;
    int32_t width;
    int32_t height;
    const uint8_t* data[3];
    int32_t stride[3];
} NerovaFrame;

// Largest inference thread count the kernel accepts (OpenCV's pool is process-wide and
// cannot tear down tens of thousands of threads). A count of 1 to this value sets the pool;
// 0 or less keeps OpenCV's own; anything larger is refused at create.
#define NEROVA_MAX_THREAD_NUM 64

// Optional runtime overrides given at create time. A field holding NEROVA_UNSET_VALUE keeps
// the model's configured value, so a host may override the threads alone, say.
typedef struct NerovaCustomRuntime {
    NerovaDeviceType device_type;
    int32_t device_id;
    int32_t thread_num;
} NerovaCustomRuntime;

// Levels of the lines the libraries write to the host's log sink.
typedef enum {
    NEROVA_LOG_DEBUG = 0,
    NEROVA_LOG_INFO = 1,
    NEROVA_LOG_WARNING = 2,  // a network on OpenCV DNN alone although XNNPACK was asked for
    NEROVA_LOG_ERROR = 3,    // every other line
    NEROVA_LOG_NONE = 4,
} NerovaLogLevel;

#ifdef __cplusplus
}
#endif

#endif  // NEROVA_INCLUDE_NEROVA_DEFINES_H_
