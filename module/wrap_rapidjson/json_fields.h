// Field access shared by the two inference.json readers: member lookup as the readers define
// it (exact names, the first of duplicate names wins) and the keys both read alike.
#ifndef NEROVA_MODULE_WRAP_RAPIDJSON_JSON_FIELDS_H_
#define NEROVA_MODULE_WRAP_RAPIDJSON_JSON_FIELDS_H_

#include <rapidjson/document.h>

#include <string>

#include "nerova/config_records.h"
#include "nerova/kernel.h"

namespace nerova {
namespace module {
namespace json {

using rapidjson::Value;

// Largest configuration file read (inference.json, meta.json): real ones are a few hundred
// bytes, and a larger one is refused as NEROVA_ERR_JSON before it is parsed.
constexpr unsigned long long kMaxConfigFileBytes = 1ull << 20;

inline const Value* Member(const Value& object, const char* name) {
    if (!object.IsObject()) return nullptr;
    auto it = object.FindMember(name);  // first of duplicate names
    return it == object.MemberEnd() ? nullptr : &it->value;
}

// The named section of root; a missing one reads as an empty object.
inline const Value& Section(const Value& root, const char* name) {
    static const Value kEmptyObject(rapidjson::kObjectType);
    const Value* v = Member(root, name);
    return v ? *v : kEmptyObject;
}

// The model's inference.json as strict JSON (parsed iteratively, so that a deeply nested
// hostile file cannot overflow the stack; the text ends at its first zero byte): the model's
// code when it cannot be delivered, NEROVA_ERR_JSON past 1 MiB or when it does not parse.
template <typename ModelT>
NerovaError ReadInferenceJson(ModelT& model, rapidjson::Document& doc) {
    char* content = nullptr;
    unsigned long long size = 0;
    const NerovaError err = model.GetFileContent("inference.json", &content, &size);
    if (err != NEROVA_OK) return err;
    if (size > kMaxConfigFileBytes) return NEROVA_ERR_JSON;
    const std::string text(content, static_cast<size_t>(size));
    doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    return doc.HasParseError() ? NEROVA_ERR_JSON : NEROVA_OK;
}

// Text up to its first zero character.
inline std::string Text(const Value& v) { return std::string(v.GetString()); }

// Each reader has checked or validated the types already; a value of another type is
// skipped rather than misread.
template <typename E>
void ReadEnum(const Value& section, const char* key, E& target, E (*convert)(const std::string&)) {
    const Value* v = Member(section, key);
    if (v && v->IsString()) target = convert(Text(*v));
}

inline void ReadBool(const Value& section, const char* key, bool& target) {
    if (const Value* v = Member(section, key)) target = v->IsTrue();
}

inline void ReadInt(const Value& section, const char* key, int& target) {
    const Value* v = Member(section, key);
    if (v && v->IsInt()) target = v->GetInt();
}

// The "NetworkConfig" keys both readers take: all but "EnableReshape".
inline void ReadNetworkConfig(const Value& nc, NetworkConfig* config) {
    ReadEnum(nc, "DeviceType", config->device_type, StringConfigConverter::StringToDeviceType);
    ReadInt(nc, "DeviceId", config->device_id);
    ReadInt(nc, "ThreadNum", config->thread_num);
    ReadEnum(nc, "DataType", config->data_type, StringConfigConverter::StringToDataType);
    ReadEnum(nc, "DataFormat", config->data_format, StringConfigConverter::StringToDataFormat);
    ReadEnum(nc, "Type", config->network_type, StringConfigConverter::StringToNetworkType);
    ReadEnum(nc, "ShareMemoryMode", config->share_memory_mode,
             StringConfigConverter::StringToShareMemoryMode);
    ReadEnum(nc, "Precision", config->precision, StringConfigConverter::StringToPrecision);
    const Value* cache = Member(nc, "CachePath");
    if (cache && cache->IsString()) config->cache_path = Text(*cache);
    ReadBool(nc, "EnableTuneKernal", config->enable_tune_kernel);
}

}  // namespace json
}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_RAPIDJSON_JSON_FIELDS_H_
