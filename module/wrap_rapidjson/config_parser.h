// The plain reader of a model directory's inference.json (well-formedness only, no schema).
#ifndef NEROVA_MODULE_WRAP_RAPIDJSON_CONFIG_PARSER_H_
#define NEROVA_MODULE_WRAP_RAPIDJSON_CONFIG_PARSER_H_

#include "nerova/config_records.h"
#include "nerova/face_detector_export.h"
#include "nerova/module_common.h"

namespace nerova {
namespace module {

class NEROVA_FACE_DETECTOR_EXPORT ConfigParser {
  public:
    // Reads "inference.json" of the model into the records and loads the model files' bytes
    // by model type. Every key is optional; what the file does not name keeps its value.
    // reserve_config may be null (then "Reserve" is not read).
    //
    // Returns 0; 4098 for a null record among the first three; the model's code when
    // inference.json cannot be delivered; 4099 when the text is not strict JSON; the model
    // file loader's code (12289 for a type without files, or the model's code).
    //
    // Values of the wrong JSON type are refused, not skipped: before anything is written,
    // the root and each known section must be objects; enumeration strings, "CachePath" and
    // "Reserve" strings; "InputsName"/"OutputsName" arrays of strings; "DeviceId"/"ThreadNum"
    // integers within 32 bits; "Scale"/"Bias" arrays of numbers no longer than the record's
    // vector (four entries by default). Any violation returns 4099 with every record
    // untouched. Boolean keys accept any value: only JSON true reads as true.
    static NerovaError ParseInferenceConfig(Model& model, ModelConfig* model_config,
                                            NetworkConfig* network_config,
                                            ParamConverter* param_converter,
                                            ModelReserveConfig* reserve_config);
};

// Appends the bytes of the model's files for model_config->model_type and is_native, found
// by suffix (and "mod.json" / "model.tflite" by name). 12289 for a type without files.
NerovaError LoadModelContents(Model& model, ModelConfig* model_config);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_RAPIDJSON_CONFIG_PARSER_H_
