// Model file loading over random directory contents: file names, suffixes and bytes, and a
// model type and nativeness, all from the input.
#include "fuzz_util.h"
#include "wrap_rapidjson/config_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nerova;
    static const char* const kSuffixes[] = {".tnnproto", ".tnnmodel", ".trt",     ".onnx",   ".xml",
                                            ".bin",      ".mnn",      ".mlmodel", ".params", ""};
    static const char* const kNames[] = {"model", "mod", "a", "zz", "model.tflite", "mod.json"};
    static const NerovaModelType kTypes[] = {
        NEROVA_MODEL_TYPE_TNN,        NEROVA_MODEL_TYPE_TENSORRT, NEROVA_MODEL_TYPE_OPENVINO,
        NEROVA_MODEL_TYPE_ONNX,       NEROVA_MODEL_TYPE_MNN,      NEROVA_MODEL_TYPE_COREML,
        NEROVA_MODEL_TYPE_JSON_GRAPH, NEROVA_MODEL_TYPE_TFLITE,   NEROVA_MODEL_TYPE_NCNN};
    nerova_fuzz::Input in(data, size);
    nerova_fuzz::ClearScratch();
    const uint8_t anchor[] = "x";
    nerova_fuzz::WriteFile("anchor", anchor, 1);
    const int files = in.Byte() % 8;
    for (int i = 0; i < files; ++i) {
        const std::string name = std::string(kNames[in.Byte() % 6]) + kSuffixes[in.Byte() % 10];
        const std::string bytes = in.Bytes(in.Byte());
        if (name.empty() || name == "anchor") continue;
        nerova_fuzz::WriteFile(name, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    module::Model model("", nerova_fuzz::ScratchDir() + "/anchor");
    if (model.Parse() != NEROVA_OK) return 0;
    ModelConfig config;
    config.model_type = kTypes[in.Byte() % 9];
    config.is_native = in.Byte() & 1;
    module::LoadModelContents(model, &config);
    return 0;
}
