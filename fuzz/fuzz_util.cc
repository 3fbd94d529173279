#include "fuzz_util.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "nerova/kernel.h"

namespace nerova_fuzz {

const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nerova_fuzz_XXXXXX").string();
        if (!mkdtemp(&tmpl[0])) std::abort();
        return tmpl;
    }();
    return dir;
}

void ClearScratch() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir(), ec))
        std::filesystem::remove_all(entry.path(), ec);
}

void WriteFile(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = std::fopen((ScratchDir() + "/" + name).c_str(), "wb");
    if (!f) return;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

Run LoadAndRunOnnx(const uint8_t* data, size_t size, NerovaNetworkType backend,
                   const std::string* calibration) {
    using namespace nerova;
    ModelConfig model;
    model.model_type = NEROVA_MODEL_TYPE_ONNX;
    model.model_contents.emplace_back(reinterpret_cast<const char*>(data), size);
    NetworkConfig network;
    network.network_type = backend;
    if (calibration) {
        model.model_contents.push_back(*calibration);
        network.precision = NEROVA_PRECISION_LOW;
    }
    Inference inference;
    if (inference.Init(model, network) != NEROVA_OK) return {};
    std::map<std::string, std::vector<int>> shapes;
    inference.GetModelInputShapesMap(shapes);
    Status status;
    auto instance = inference.CreateInstance(status, {});
    if (status != NEROVA_OK || shapes.empty()) return {};
    BlobDesc desc;
    desc.device_type = DeviceUtils::GetDefaultCpuDeviceType();
    desc.data_format = NEROVA_DATA_FORMAT_NCHW;
    desc.dims = shapes.begin()->second;
    if (Blob::BytesOf(desc) == 0 || Blob::BytesOf(desc) > (16u << 20)) return {};
    auto blob = std::make_shared<Blob>(desc, true);
    // A fixed ramp rather than zeros, so that both backends see signs and magnitudes.
    float* in = static_cast<float*>(blob->GetHandle().base);
    for (size_t i = 0; i < Blob::BytesOf(desc) / sizeof(float); ++i)
        in[i] = static_cast<float>(i % 17) / 8.0f - 1.0f;
    if (instance->SetInputBlob(blob, nullptr, "") != NEROVA_OK) return {};
    if (instance->Forward() != NEROVA_OK) return {};
    std::shared_ptr<Blob> out;
    if (instance->GetOutputBlob(out, nullptr, "", DeviceUtils::GetDefaultCpuDeviceType(),
                                NEROVA_DATA_FORMAT_HOST_DEFAULT) != NEROVA_OK)
        return {};
    Run run;
    run.dims = out->desc().dims;
    const float* values = static_cast<const float*>(out->GetHandle().base);
    run.values.assign(values, values + Blob::BytesOf(out->desc()) / sizeof(float));
    return run;
}

}  // namespace nerova_fuzz
