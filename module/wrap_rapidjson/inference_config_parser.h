// Readers of a model directory's inference.json and meta.json that validate each file
// against a JSON Schema built into the library before reading it.
#ifndef NEROVA_MODULE_WRAP_RAPIDJSON_INFERENCE_CONFIG_PARSER_H_
#define NEROVA_MODULE_WRAP_RAPIDJSON_INFERENCE_CONFIG_PARSER_H_

#include <string>

#include "nerova/config_records.h"
#include "nerova/face_detector_export.h"
#include "nerova/module_common.h"

namespace nerova {
namespace module {

// What meta.json says about a model.
struct NEROVA_FACE_DETECTOR_EXPORT ModelMeta {
    std::string name;
    std::string version;  // "v<major>.<minor>.<patch>"
    std::string train_date;
    std::string description;
};

class NEROVA_FACE_DETECTOR_EXPORT InferenceConfigParser {
  public:
    // The schema texts that the readers validate against.
    static const std::string kInferenceJsonSchema;
    static const std::string kModelMetaJsonSchema;

    // Validates "inference.json" against kInferenceJsonSchema while reading it, then reads
    // "ModelConfig" ("IsNative", "Type"), loads the model files by their fixed names
    // ("model.tnnproto" + "model.tnnmodel", "model.trt" or "model.onnx", "model.xml" +
    // "model.bin" or "model.onnx", "model.tflite") and reads "NetworkConfig". Keys not
    // present keep the records' values.
    //
    // Returns 0; 4098 for a null record; the model's code when inference.json cannot be
    // delivered; 4099 when the schema does not parse, the text is not strict JSON or it does
    // not validate (each logged; a text nested deeper than 64 arrays or objects counts as
    // not readable); the loader's code (12289 for a model type without fixed
    // names, or the model's code) with network_config untouched.
    static NerovaError ParseInferenceConfig(Model& model, ModelConfig* model_config,
                                            NetworkConfig* network_config);

    // Validates "meta.json" against kModelMetaJsonSchema while reading it, then fills
    // model_meta. Returns 0; 4098 for a null record; the model's code when meta.json cannot
    // be delivered; 4099 when the schema does not parse, the text is not strict JSON (or is
    // nested deeper than 64 levels) or it does not validate (each logged).
    //
    // Key spellings: the schema requires "name", "version" {"major", "minor", "patch"},
    // "train_date" and "description". Each field is read from the capitalised key ("Name",
    // "Version" {"Major", "Minor", "Patch"}, "TrainDate", "Description") when the document
    // has it, and otherwise from the schema's spelling, so a document that carries only the
    // schema's keys fills the record. A version object that lacks one of its three members
    // leaves version unchanged.
    //
    // Types: every key read must hold a string, the version an object and its members
    // integers within 32 bits. A document where one of them does not (including a
    // capitalised key the schema does not type) is refused with 4099, logged as a validation
    // failure, and model_meta is left untouched.
    static NerovaError ParseModelMetaConfig(Model& model, ModelMeta* model_meta);
};

namespace internal {

// The readers with the schema text given explicitly, so that a schema which does not parse
// can be exercised. Same results and log lines as the readers above.
NerovaError ParseInferenceConfigWithSchema(const std::string& schema, Model& model,
                                           ModelConfig* model_config,
                                           NetworkConfig* network_config);
NerovaError ParseModelMetaConfigWithSchema(const std::string& schema, Model& model,
                                           ModelMeta* model_meta);

}  // namespace internal

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_RAPIDJSON_INFERENCE_CONFIG_PARSER_H_
