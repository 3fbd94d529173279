// The files each model type consists of, for both inference.json readers.
#ifndef NEROVA_MODULE_WRAP_RAPIDJSON_MODEL_FILES_H_
#define NEROVA_MODULE_WRAP_RAPIDJSON_MODEL_FILES_H_

#include "nerova/config_records.h"
#include "nerova/module_common.h"

namespace nerova {
namespace module {

// The plain reader finds each file by its ending (a few by whole name); the validated reader
// takes the fixed name "model" + ending, and only for the types its schema reads files of.
enum class FileLookup { kBySuffix, kByFixedName };

// Appends the bytes of the model's files for model_config->model_type and is_native, in
// load order. 12289 for a type without files; the model's code for a file it cannot give.
NerovaError LoadModelFiles(Model& model, ModelConfig* model_config, FileLookup lookup);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_RAPIDJSON_MODEL_FILES_H_
