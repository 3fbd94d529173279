// The plain inference.json reader on arbitrary text, beside a small model file.
#include "fuzz_util.h"
#include "wrap_rapidjson/config_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nerova;
    static const bool ready = [] {
        const uint8_t model[] = "onnx";
        nerova_fuzz::WriteFile("model.onnx", model, sizeof model);
        nerova_fuzz::WriteFile("model.tnnproto", model, sizeof model);
        return true;
    }();
    (void)ready;
    nerova_fuzz::WriteFile("inference.json", data, size);
    module::Model model("", nerova_fuzz::ScratchDir() + "/model.onnx");
    if (model.Parse() != NEROVA_OK) return 0;
    ModelConfig mc;
    NetworkConfig nc;
    ParamConverter pc;
    ModelReserveConfig rc;
    module::ConfigParser::ParseInferenceConfig(model, &mc, &nc, &pc, &rc);
    // The records keep their invariants whatever the file said.
    if (pc.scale.size() != 4 || pc.bias.size() != 4) __builtin_trap();
    return 0;
}
