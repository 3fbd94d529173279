#include "wrap_rapidjson/config_parser.h"

#include <rapidjson/document.h>

#include <initializer_list>

#include "nerova/kernel.h"
#include "wrap_rapidjson/json_fields.h"
#include "wrap_rapidjson/model_files.h"

namespace nerova {
namespace module {

namespace {

using json::Member;
using json::ReadBool;
using json::ReadEnum;
using json::Section;
using json::Text;
using rapidjson::Value;

bool IsStringArray(const Value& v) {
    if (!v.IsArray()) return false;
    for (const Value& e : v.GetArray())
        if (!e.IsString()) return false;
    return true;
}

bool IsNumberArray(const Value& v, size_t max_len) {
    if (!v.IsArray() || v.Size() > max_len) return false;
    for (const Value& e : v.GetArray())
        if (!e.IsNumber()) return false;
    return true;
}

bool KeysAre(const Value& section, std::initializer_list<const char*> keys,
             bool (*ok)(const Value&)) {
    for (const char* key : keys) {
        const Value* v = Member(section, key);
        if (v && !ok(*v)) return false;
    }
    return true;
}

bool IsString(const Value& v) { return v.IsString(); }
bool IsInt(const Value& v) { return v.IsInt(); }

// Checks every known key's JSON type before anything is written.
bool TypesValid(const Value& root, const ParamConverter& converter, bool read_reserve) {
    if (!root.IsObject()) return false;
    for (const char* name : {"ModelConfig", "NetworkConfig", "ParamConverter"}) {
        const Value* v = Member(root, name);
        if (v && !v->IsObject()) return false;
    }
    const Value& mc = Section(root, "ModelConfig");
    const Value& nc = Section(root, "NetworkConfig");
    const Value& pc = Section(root, "ParamConverter");
    if (!KeysAre(mc, {"Type"}, IsString) ||
        !KeysAre(mc, {"InputsName", "OutputsName"}, IsStringArray))
        return false;
    if (!KeysAre(nc,
                 {"DeviceType", "DataType", "DataFormat", "Type", "ShareMemoryMode", "Precision",
                  "CachePath"},
                 IsString) ||
        !KeysAre(nc, {"DeviceId", "ThreadNum"}, IsInt))
        return false;
    if (!KeysAre(pc, {"InterpolateType", "PixelFormat", "MakeBorderType"}, IsString)) return false;
    const Value* scale = Member(pc, "Scale");
    const Value* bias = Member(pc, "Bias");
    if (scale && !IsNumberArray(*scale, converter.scale.size())) return false;
    if (bias && !IsNumberArray(*bias, converter.bias.size())) return false;
    if (read_reserve) {
        const Value* reserve = Member(root, "Reserve");
        if (reserve && !reserve->IsString()) return false;
    }
    return true;
}

void ReadFloats(const Value& section, const char* key, std::vector<float>& target) {
    const Value* v = Member(section, key);
    if (!v) return;
    for (rapidjson::SizeType i = 0; i < v->Size(); ++i)
        target[i] = static_cast<float>((*v)[i].GetDouble());
}

void AppendStrings(const Value& section, const char* key, std::vector<std::string>& target) {
    if (const Value* v = Member(section, key)) {
        for (const Value& e : v->GetArray()) target.push_back(Text(e));
    }
}

}  // namespace

NerovaError LoadModelContents(Model& model, ModelConfig* model_config) {
    return LoadModelFiles(model, model_config, FileLookup::kBySuffix);
}

NerovaError ConfigParser::ParseInferenceConfig(Model& model, ModelConfig* model_config,
                                               NetworkConfig* network_config,
                                               ParamConverter* param_converter,
                                               ModelReserveConfig* reserve_config) {
    if (!model_config || !network_config || !param_converter) return NEROVA_ERR_PARAM_NULL;
    rapidjson::Document doc;
    const NerovaError err = json::ReadInferenceJson(model, doc);
    if (err != NEROVA_OK) return err;
    if (!TypesValid(doc, *param_converter, reserve_config != nullptr)) return NEROVA_ERR_JSON;

    const Value& mc = Section(doc, "ModelConfig");
    ReadBool(mc, "IsNative", model_config->is_native);
    ReadEnum(mc, "Type", model_config->model_type, StringConfigConverter::StringToModelType);
    AppendStrings(mc, "InputsName", model_config->inputs_name);
    AppendStrings(mc, "OutputsName", model_config->outputs_name);

    const NerovaError load = LoadModelContents(model, model_config);
    if (load != NEROVA_OK) return load;

    const Value& nc = Section(doc, "NetworkConfig");
    json::ReadNetworkConfig(nc, network_config);
    ReadBool(nc, "EnableReshape", network_config->enable_reshape);

    const Value& pc = Section(doc, "ParamConverter");
    ReadEnum(pc, "InterpolateType", param_converter->interp_type,
             StringConfigConverter::StringToInterpType);
    ReadEnum(pc, "PixelFormat", param_converter->pixel_format,
             StringConfigConverter::StringToPixelFormat);
    ReadEnum(pc, "MakeBorderType", param_converter->border_type,
             StringConfigConverter::StringToBorderType);
    ReadFloats(pc, "Scale", param_converter->scale);
    ReadFloats(pc, "Bias", param_converter->bias);

    if (reserve_config) {
        if (const Value* v = Member(doc, "Reserve")) reserve_config->reserve = Text(*v);
    }
    return NEROVA_OK;
}

}  // namespace module
}  // namespace nerova
