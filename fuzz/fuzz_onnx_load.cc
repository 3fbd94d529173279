// The kernel loading corrupted model bytes: a valid small network with bytes flipped,
// truncated or replaced by the input. Whatever loads must also run or refuse cleanly.
#include <cstring>

#include "fuzz_util.h"
#include "nerova/kernel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nerova;
    ModelConfig model;
    model.model_type = NEROVA_MODEL_TYPE_ONNX;
    model.model_contents.emplace_back(reinterpret_cast<const char*>(data), size);
    NetworkConfig network;
    Inference inference;
    if (inference.Init(model, network) != NEROVA_OK) return 0;
    std::map<std::string, std::vector<int>> shapes;
    inference.GetModelInputShapesMap(shapes);
    Status status;
    auto instance = inference.CreateInstance(status, {});
    if (status != NEROVA_OK || shapes.empty()) return 0;
    BlobDesc desc;
    desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = shapes.begin()->second;
    if (Blob::BytesOf(desc) == 0 || Blob::BytesOf(desc) > (16u << 20)) return 0;
    auto blob = std::make_shared<Blob>(desc, true);
    if (instance->SetInputBlob(blob, nullptr, "") != NEROVA_OK) return 0;
    if (instance->Forward() != NEROVA_OK) return 0;
    std::shared_ptr<Blob> out;
    instance->GetOutputBlob(out, nullptr, "", DeviceUtils::GetDefaultCpuDeviceType(),
                            NEROVA_DATA_FORMAT_HOST_DEFAULT);
    return 0;
}
