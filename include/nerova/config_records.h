// Configuration records read from a model's inference.json and handed to the kernel.
#ifndef NEROVA_INCLUDE_CONFIG_RECORDS_H_
#define NEROVA_INCLUDE_CONFIG_RECORDS_H_

#include <string>
#include <utility>
#include <vector>

#include "nerova/kernel_export.h"
#include "nerova/nerova_defines.h"

namespace nerova {

// Plain member-wise records. Moving one into itself leaves it as it was (the implicit move
// assignment would empty its vectors and strings).
struct NEROVA_KERNEL_EXPORT ModelConfig {
    ModelConfig() = default;
    ModelConfig(const ModelConfig&) = default;
    ModelConfig(ModelConfig&&) = default;
    ModelConfig& operator=(const ModelConfig&) = default;
    ModelConfig& operator=(ModelConfig&& other) noexcept {
        if (this != &other) {
            is_native = std::move(other.is_native);
            model_type = std::move(other.model_type);
            model_contents = std::move(other.model_contents);
            inputs_name = std::move(other.inputs_name);
            outputs_name = std::move(other.outputs_name);
        }
        return *this;
    }

    bool is_native = true;
    NerovaModelType model_type = NEROVA_MODEL_TYPE_TNN;
    // Complete raw bytes of each model file (zero bytes kept), in load order.
    std::vector<std::string> model_contents;
    std::vector<std::string> inputs_name;
    std::vector<std::string> outputs_name;
};

struct NEROVA_KERNEL_EXPORT NetworkConfig {
    NetworkConfig() = default;
    NetworkConfig(const NetworkConfig&) = default;
    NetworkConfig(NetworkConfig&&) = default;
    NetworkConfig& operator=(const NetworkConfig&) = default;
    NetworkConfig& operator=(NetworkConfig&& other) noexcept {
        if (this != &other) {
            device_type = std::move(other.device_type);
            device_id = std::move(other.device_id);
            thread_num = std::move(other.thread_num);
            data_type = std::move(other.data_type);
            data_format = std::move(other.data_format);
            network_type = std::move(other.network_type);
            share_memory_mode = std::move(other.share_memory_mode);
            extra_strings = std::move(other.extra_strings);
            precision = std::move(other.precision);
            cache_path = std::move(other.cache_path);
            enable_tune_kernel = std::move(other.enable_tune_kernel);
            enable_reshape = std::move(other.enable_reshape);
        }
        return *this;
    }

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
    ParamConverter() = default;
    ParamConverter(const ParamConverter&) = default;
    ParamConverter(ParamConverter&&) = default;
    ParamConverter& operator=(const ParamConverter&) = default;
    ParamConverter& operator=(ParamConverter&& other) noexcept {
        if (this != &other) {
            scale = std::move(other.scale);
            bias = std::move(other.bias);
            interp_type = std::move(other.interp_type);
            pixel_format = std::move(other.pixel_format);
            extra_type = std::move(other.extra_type);
            border_type = std::move(other.border_type);
        }
        return *this;
    }

    std::vector<float> scale = {1.0f, 1.0f, 1.0f, 1.0f};
    std::vector<float> bias = {0.0f, 0.0f, 0.0f, 0.0f};
    NerovaInterpType interp_type = NEROVA_INTERP_TYPE_UNSET;
    NerovaPixelFormat pixel_format = NEROVA_PIXEL_FORMAT_RGBA;  // 0
    int extra_type = NEROVA_UNSET_VALUE;
    NerovaBorderType border_type = NEROVA_BORDER_TYPE_UNSET;
};

struct NEROVA_KERNEL_EXPORT ModelReserveConfig {
    ModelReserveConfig() = default;
    ModelReserveConfig(const ModelReserveConfig&) = default;
    ModelReserveConfig(ModelReserveConfig&&) = default;
    ModelReserveConfig& operator=(const ModelReserveConfig&) = default;
    ModelReserveConfig& operator=(ModelReserveConfig&& other) noexcept {
        if (this != &other) {
            reserve = std::move(other.reserve);
        }
        return *this;
    }

    std::string reserve;
};

}  // namespace nerova

#endif  // NEROVA_INCLUDE_CONFIG_RECORDS_H_
