// The schema-validated readers of inference.json and meta.json on arbitrary text: the first
// input byte picks the reader, the rest is the file.
#include "fuzz_util.h"
#include "wrap_rapidjson/inference_config_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nerova;
    if (size == 0) return 0;
    static const bool ready = [] {
        const uint8_t bytes[] = "model";
        nerova_fuzz::WriteFile("model.onnx", bytes, sizeof bytes);
        nerova_fuzz::WriteFile("model.tnnproto", bytes, sizeof bytes);
        nerova_fuzz::WriteFile("model.tnnmodel", bytes, sizeof bytes);
        return true;
    }();
    (void)ready;
    const bool meta = data[0] & 1;
    nerova_fuzz::WriteFile(meta ? "meta.json" : "inference.json", data + 1, size - 1);
    module::Model model("", nerova_fuzz::ScratchDir() + "/model.onnx");
    if (model.Parse() != NEROVA_OK) return 0;
    if (meta) {
        module::ModelMeta record;
        module::InferenceConfigParser::ParseModelMetaConfig(model, &record);
    } else {
        ModelConfig mc;
        NetworkConfig nc;
        module::InferenceConfigParser::ParseInferenceConfig(model, &mc, &nc);
    }
    return 0;
}
