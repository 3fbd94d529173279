// Configuration records read from a model's inference.json and handed to the kernel.
#ifndef NEROVA_INCLUDE_CONFIG_RECORDS_H_
#define NEROVA_INCLUDE_CONFIG_RECORDS_H_

#include <string>
#include <vector>

#include "nerova/nerova_defines.h"
#include "nerova/kernel_export.h"

namespace nerova {

struct NEROVA_KERNEL_EXPORT ModelConfig {
    bool is_native = true;
    NerovaModelType model_type = NEROVA_MODEL_TYPE_TNN;
    // Complete raw bytes of each model file (zero bytes kept), in load order.
    std::vector<std::string> model_contents;
    std::vector<std::string> inputs_name;
    std::vector<std::string> outputs_name;
};

struct NEROVA_KERNEL_EXPORT NetworkConfig {
    NerovaDeviceType device_type = NEROVA_DEVICE_ARM;  // 32
    int device_id = 0;
    int thread_num = 1;
    NerovaDataType data_type = NEROVA_DATA_TYPE_AUTO;
    NerovaDataFormat data_format = NEROVA_DATA_FORMAT_AUTO;
    NerovaNetworkType network_type = NEROVA_NETWORK_TYPE_TNN;
    NerovaShareMemoryMode share_memory_mode = NEROVA_SHARE_MEMORY_MODE_DEFAULT;
    // No configuration key; the detector appends its model file's directory.
    std::vector<std::string> extra_strings;
    NerovaPrecision precision = NEROVA_PRECISION_AUTO;
    std::string cache_path;
    bool enable_tune_kernel = false;
    bool enable_reshape = false;
};

// Image-to-tensor settings: value v of channel c becomes v * scale[c] + bias[c].
struct NEROVA_KERNEL_EXPORT ParamConverter {
    std::vector<float> scale = {1.0f, 1.0f, 1.0f, 1.0f};
    std::vector<float> bias = {0.0f, 0.0f, 0.0f, 0.0f};
    NerovaInterpType interp_type = NEROVA_INTERP_TYPE_UNSET;
    NerovaPixelFormat pixel_format = NEROVA_PIXEL_FORMAT_RGBA;  // 0
    int extra_type = NEROVA_UNSET_VALUE;
    NerovaBorderType border_type = NEROVA_BORDER_TYPE_UNSET;
};

struct NEROVA_KERNEL_EXPORT ModelReserveConfig {
    std::string reserve;
};

}  // namespace nerova

#endif  // NEROVA_INCLUDE_CONFIG_RECORDS_H_
