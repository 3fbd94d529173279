#include "wrap_rapidjson/model_files.h"

#include <string>

namespace nerova {
namespace module {

namespace {

enum Nativeness { kEither, kNative, kConverted };

struct ModelFiles {
    NerovaModelType type;
    Nativeness nativeness;
    bool by_fixed_name;    // the validated reader loads this type
    const char* files[2];  // an ending (".onnx") or a whole name; null when unused
};

// A converted TensorRT or OpenVINO model is an ONNX file.
const ModelFiles kModelFiles[] = {
    {NEROVA_MODEL_TYPE_TNN, kEither, true, {".tnnproto", ".tnnmodel"}},
    {NEROVA_MODEL_TYPE_TENSORRT, kNative, true, {".trt", nullptr}},
    {NEROVA_MODEL_TYPE_TENSORRT, kConverted, true, {".onnx", nullptr}},
    {NEROVA_MODEL_TYPE_OPENVINO, kNative, true, {".xml", ".bin"}},
    {NEROVA_MODEL_TYPE_OPENVINO, kConverted, true, {".onnx", nullptr}},
    {NEROVA_MODEL_TYPE_ONNX, kEither, false, {".onnx", nullptr}},
    {NEROVA_MODEL_TYPE_MNN, kEither, false, {".mnn", nullptr}},
    {NEROVA_MODEL_TYPE_COREML, kEither, false, {".mlmodel", nullptr}},
    {NEROVA_MODEL_TYPE_JSON_GRAPH, kEither, false, {"mod.json", ".params"}},
    {NEROVA_MODEL_TYPE_TFLITE, kEither, true, {"model.tflite", nullptr}},
};

const ModelFiles* FilesOf(const ModelConfig& config, FileLookup lookup) {
    for (const ModelFiles& row : kModelFiles) {
        // Compared as integers: the type may hold a value outside the enumeration.
        if (static_cast<int>(row.type) != static_cast<int>(config.model_type)) continue;
        if (row.nativeness == kNative && !config.is_native) continue;
        if (row.nativeness == kConverted && config.is_native) continue;
        if (lookup == FileLookup::kByFixedName && !row.by_fixed_name) return nullptr;
        return &row;
    }
    return nullptr;
}

}  // namespace

NerovaError LoadModelFiles(Model& model, ModelConfig* model_config, FileLookup lookup) {
    if (!model_config) return NEROVA_ERR_PARAM_NULL;
    const ModelFiles* row = FilesOf(*model_config, lookup);
    if (!row) return NEROVA_ERR_MODEL_TYPE_NO_FILES;
    for (const char* file : row->files) {
        if (!file) break;
        const bool ending = file[0] == '.';
        char* content = nullptr;
        unsigned long long size = 0;
        NerovaError err;
        if (lookup == FileLookup::kByFixedName) {
            err =
                model.GetFileContent(ending ? std::string("model") + file : file, &content, &size);
        } else if (ending) {
            err = model.GetFileContentBySuffix(file, &content, &size);
        } else {
            err = model.GetFileContent(file, &content, &size);
        }
        if (err != NEROVA_OK) return err;
        model_config->model_contents.emplace_back(content, static_cast<size_t>(size));
    }
    return NEROVA_OK;
}

}  // namespace module
}  // namespace nerova
