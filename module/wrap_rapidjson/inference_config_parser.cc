#include "wrap_rapidjson/inference_config_parser.h"

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/schema.h>
#include <rapidjson/stringbuffer.h>

#include <cstdio>

#include "common/nerova_log.h"
#include "nerova/kernel.h"
#include "wrap_rapidjson/json_fields.h"
#include "wrap_rapidjson/model_files.h"

namespace nerova {
namespace module {

const std::string InferenceConfigParser::kInferenceJsonSchema = R"({
    "$schema": "https://json-schema.org/draft/2019-09/schema",
    "title": "inference.json",
    "description": "model & network config information file",
    "type": "object",
    "properties": {
        "ModelConfig": {
            "type": "object",
            "properties": {
                "IsNative": {
                    "description": "check model is inference framework's native format",
                    "type": "boolean"
                },
                "Type": {
                    "description": "model type",
                    "type": "string",
                    "enum": ["MODEL_TYPE_TNN", "MODEL_TYPE_TFLITE", "MODEL_TYPE_MNN",
                             "MODEL_TYPE_NCNN", "MODEL_TYPE_OPENVINO", "MODEL_TYPE_TENSORRT",
                             "MODEL_TYPE_ONNX"]
                }
            },
            "required": ["IsNative", "Type"]
        },
        "NetworkConfig": {
            "type": "object",
            "properties": {
                "DeviceType": {
                    "description": "running device type",
                    "type": "string",
                    "enum": ["DEVICE_X86", "DEVICE_ARM", "DEVICE_OPENCL", "DEVICE_METAL",
                             "DEVICE_CUDA", "DEVICE_DSP", "DEVICE_ATLAS", "DEVICE_HUAWEI_NPU",
                             "DEVICE_RK_NPU", "DEVICE_OPENGL", "DEVICE_VULKAN"]
                },
                "DeviceId": {"type": "integer", "minimum": 0, "maximum": 7},
                "ThreadNum": {"type": "integer", "minimum": 0, "maximum": 4},
                "DataType": {
                    "type": "string",
                    "enum": ["DATA_TYPE_AUTO", "DATA_TYPE_FLOAT", "DATA_TYPE_HALF",
                             "DATA_TYPE_INT8", "DATA_TYPE_INT32", "DATA_TYPE_BFP16",
                             "DATA_TYPE_INT64", "DATA_TYPE_UINT32", "DATA_TYPE_UINT8",
                             "DATA_TYPE_INT16", "DATA_TYPE_UINT16"]
                },
                "DataFormat": {
                    "type": "string",
                    "enum": ["DATA_FORMAT_AUTO", "DATA_FORMAT_NCHW", "DATA_FORMAT_NHWC",
                             "DATA_FORMAT_NHWC4", "DATA_FORMAT_NC2HW2", "DATA_FORMAT_NC4HW4",
                             "DATA_FORMAT_NC8HW8", "DATA_FORMAT_NC16HW16", "DATA_FORMAT_NCDHW",
                             "DATA_FORMAT_NHC4W4"]
                },
                "Type": {
                    "type": "string",
                    "enum": ["NETWORK_TYPE_TNN", "NETWORK_TYPE_TFLITE", "NETWORK_TYPE_MNN",
                             "NETWORK_TYPE_NCNN", "NETWORK_TYPE_OPENVINO",
                             "NETWORK_TYPE_TENSORRT", "NETWORK_TYPE_ONNX",
                             "NETWORK_TYPE_XNNPACK", "NETWORK_TYPE_OPENCV"]
                },
                "ShareMemoryMode": {
                    "type": "string",
                    "enum": ["SHARE_MEMORY_MODE_DEFAULT", "SHARE_MEMORY_MODE_SHAREONTHREAD",
                             "SHARE_MEMORY_MODE_EXTERNAL"]
                },
                "Precision": {
                    "type": "string",
                    "enum": ["PRECISION_AUTO", "PRECISION_NORMAL", "PRECISION_HIGH",
                             "PRECISION_LOW"]
                },
                "CachePath": {"type": "string"},
                "EnableTuneKernal": {"type": "boolean"}
            },
            "required": ["DeviceType", "DataFormat", "Type", "Precision"]
        }
    }
})";

const std::string InferenceConfigParser::kModelMetaJsonSchema = R"({
    "$schema": "https://json-schema.org/draft/2019-09/schema",
    "title": "meta.json",
    "description": "model meta information, include name, version, etc.",
    "type": "object",
    "properties": {
        "name": {"type": "string"},
        "version": {
            "type": "object",
            "properties": {
                "major": {"type": "integer"},
                "minor": {"type": "integer"},
                "patch": {"type": "integer"}
            },
            "required": ["major", "minor", "patch"]
        },
        "train_date": {"type": "string"},
        "description": {"type": "string"}
    },
    "required": ["name", "version", "train_date", "description"]
})";

namespace {

using json::Member;
using json::ReadBool;
using json::ReadEnum;
using json::Text;
using rapidjson::Value;

const char kParseInference[] = "nerova::module::InferenceConfigParser::ParseInferenceConfig";
const char kParseMeta[] = "nerova::module::InferenceConfigParser::ParseModelMetaConfig";

// Strict JSON as the plain reader accepts it. Iterative parsing accepts exactly the same
// texts but keeps the call stack flat, so a deeply nested hostile file cannot exhaust it.
constexpr unsigned kParseFlags = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

enum class Check { kOk, kBadSchema, kBadText, kInvalid };

// The schemas put no limit on nesting, and real files nest a few levels. The validator's
// work per value grows with the depth, so a hostile text is refused as unreadable beyond a
// depth that no real file reaches.
constexpr int kMaxDepth = 1024;

// Passes every reader event to the validator and stops the reader beyond kMaxDepth.
class DepthLimitedHandler {
  public:
    explicit DepthLimitedHandler(rapidjson::SchemaValidator& validator) : validator_(validator) {}
    bool too_deep() const { return too_deep_; }

    bool Null() { return validator_.Null(); }
    bool Bool(bool b) { return validator_.Bool(b); }
    bool Int(int i) { return validator_.Int(i); }
    bool Uint(unsigned u) { return validator_.Uint(u); }
    bool Int64(int64_t i) { return validator_.Int64(i); }
    bool Uint64(uint64_t u) { return validator_.Uint64(u); }
    bool Double(double d) { return validator_.Double(d); }
    bool RawNumber(const char* str, rapidjson::SizeType length, bool copy) {
        return validator_.RawNumber(str, length, copy);
    }
    bool String(const char* str, rapidjson::SizeType length, bool copy) {
        return validator_.String(str, length, copy);
    }
    bool Key(const char* str, rapidjson::SizeType length, bool copy) {
        return validator_.Key(str, length, copy);
    }
    bool StartObject() { return Enter() && validator_.StartObject(); }
    bool EndObject(rapidjson::SizeType members) {
        --depth_;
        return validator_.EndObject(members);
    }
    bool StartArray() { return Enter() && validator_.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) {
        --depth_;
        return validator_.EndArray(elements);
    }

  private:
    bool Enter() {
        too_deep_ = ++depth_ > kMaxDepth;
        return !too_deep_;
    }

    rapidjson::SchemaValidator& validator_;
    int depth_ = 0;
    bool too_deep_ = false;
};

// Validates text against schema_text while reading it; the validator stops the reader at
// the first violation, so a rule broken before a syntax error is reported as a violation.
Check Validate(const std::string& schema_text, const std::string& text) {
    rapidjson::Document schema_json;
    schema_json.Parse<kParseFlags>(schema_text.c_str());
    if (schema_json.HasParseError() || !schema_json.IsObject()) return Check::kBadSchema;
    rapidjson::SchemaDocument schema(schema_json);
    rapidjson::SchemaValidator validator(schema);
    DepthLimitedHandler handler(validator);
    rapidjson::Reader reader;
    rapidjson::StringStream stream(text.c_str());  // the text ends at its first zero byte
    const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, handler);
    if (!result) {
        const bool stopped_by_validator = result.Code() == rapidjson::kParseErrorTermination &&
                                          !handler.too_deep() && !validator.IsValid();
        return stopped_by_validator ? Check::kInvalid : Check::kBadText;
    }
    return validator.IsValid() ? Check::kOk : Check::kInvalid;
}

// The member under the capitalised key, else under the schema's spelling.
const Value* MetaMember(const Value& object, const char* key, const char* schema_key) {
    const Value* v = Member(object, key);
    return v ? v : Member(object, schema_key);
}

struct MetaKeys {
    const char* key;
    const char* schema_key;
};

const MetaKeys kTextKeys[] = {
    {"Name", "name"}, {"TrainDate", "train_date"}, {"Description", "description"}};
const MetaKeys kVersionKeys[] = {{"Major", "major"}, {"Minor", "minor"}, {"Patch", "patch"}};

const Value* VersionPart(const Value& version, const MetaKeys& keys, bool capitalised) {
    return Member(version, capitalised ? keys.key : keys.schema_key);
}

// The version object and which spelling its members use (that of its own key).
const Value* VersionObject(const Value& root, bool* capitalised) {
    *capitalised = Member(root, "Version") != nullptr;
    return MetaMember(root, "Version", "version");
}

bool MetaTypesValid(const Value& root) {
    if (!root.IsObject()) return false;
    for (const MetaKeys& keys : kTextKeys) {
        const Value* v = MetaMember(root, keys.key, keys.schema_key);
        if (v && !v->IsString()) return false;
    }
    bool capitalised = false;
    const Value* version = VersionObject(root, &capitalised);
    if (!version) return true;
    if (!version->IsObject()) return false;
    for (const MetaKeys& keys : kVersionKeys) {
        const Value* v = VersionPart(*version, keys, capitalised);
        if (v && !v->IsInt()) return false;
    }
    return true;
}

}  // namespace

namespace {

// The log lines of one reader: a schema that does not parse, a text that does not parse, a
// document that does not validate.
struct Diagnostics {
    const char* function;
    struct Line {
        int line;
        const char* message;
    } bad_schema, bad_text, invalid;
};

// Fetches file from the model, validates it against schema and parses it into doc.
NerovaError ReadValidated(Model& model, const char* file, const std::string& schema,
                          const Diagnostics& diagnostics, rapidjson::Document& doc) {
    char* content = nullptr;
    unsigned long long size = 0;
    const NerovaError err = model.GetFileContent(file, &content, &size);
    if (err != NEROVA_OK) return err;
    if (size > json::kMaxConfigFileBytes) {
        NEROVA_LOGE(diagnostics.function, diagnostics.bad_text.line,
                    "configuration file exceeds 1 MiB.");
        return NEROVA_ERR_JSON;
    }
    const std::string text(content, static_cast<size_t>(size));
    const Diagnostics::Line* failure = nullptr;
    switch (Validate(schema, text)) {
        case Check::kBadSchema:
            failure = &diagnostics.bad_schema;
            break;
        case Check::kBadText:
            failure = &diagnostics.bad_text;
            break;
        case Check::kInvalid:
            failure = &diagnostics.invalid;
            break;
        case Check::kOk:
            break;
    }
    if (failure) {
        NEROVA_LOGE(diagnostics.function, failure->line, failure->message);
        return NEROVA_ERR_JSON;
    }
    doc.Parse<kParseFlags>(text.c_str());
    return doc.HasParseError() ? NEROVA_ERR_JSON : NEROVA_OK;
}

}  // namespace

namespace internal {

NerovaError ParseInferenceConfigWithSchema(const std::string& schema, Model& model,
                                           ModelConfig* model_config,
                                           NetworkConfig* network_config) {
    if (!model_config || !network_config) return NEROVA_ERR_PARAM_NULL;
    static const Diagnostics kInference = {kParseInference,
                                           {187, "Invalid inference json schema"},
                                           {197, "Failed to parse inference json"},
                                           {202, "Failed to validate inference json"}};
    rapidjson::Document doc;
    const NerovaError read = ReadValidated(model, "inference.json", schema, kInference, doc);
    if (read != NEROVA_OK) return read;

    const Value& mc = json::Section(doc, "ModelConfig");
    ReadBool(mc, "IsNative", model_config->is_native);
    ReadEnum(mc, "Type", model_config->model_type, StringConfigConverter::StringToModelType);

    const NerovaError load = LoadModelFiles(model, model_config, FileLookup::kByFixedName);
    if (load != NEROVA_OK) return load;

    json::ReadNetworkConfig(json::Section(doc, "NetworkConfig"), network_config);
    return NEROVA_OK;
}

NerovaError ParseModelMetaConfigWithSchema(const std::string& schema, Model& model,
                                           ModelMeta* model_meta) {
    if (!model_meta) return NEROVA_ERR_PARAM_NULL;
    static const Diagnostics kMeta = {kParseMeta,
                                      {283, "Invalid model meta json schema"},
                                      {294, "Failed to parse model meta json"},
                                      {299, "Failed to validate model meta json"}};
    rapidjson::Document doc;
    const NerovaError read = ReadValidated(model, "meta.json", schema, kMeta, doc);
    if (read != NEROVA_OK) return read;
    // The schema does not type the capitalised keys; check every key read before anything
    // is written, so a refused document leaves the record as it was.
    if (!MetaTypesValid(doc)) {
        NEROVA_LOGE(kParseMeta, 299, "Failed to validate model meta json");
        return NEROVA_ERR_JSON;
    }

    std::string* const text_fields[] = {&model_meta->name, &model_meta->train_date,
                                        &model_meta->description};
    for (size_t i = 0; i < 3; ++i) {
        const Value* v = MetaMember(doc, kTextKeys[i].key, kTextKeys[i].schema_key);
        if (v) *text_fields[i] = Text(*v);
    }
    bool capitalised = false;
    if (const Value* version = VersionObject(doc, &capitalised)) {
        const Value* major = VersionPart(*version, kVersionKeys[0], capitalised);
        const Value* minor = VersionPart(*version, kVersionKeys[1], capitalised);
        const Value* patch = VersionPart(*version, kVersionKeys[2], capitalised);
        if (major && minor && patch) {
            char buffer[64] = {0};
            std::snprintf(buffer, sizeof(buffer), "v%d.%d.%d", major->GetInt(), minor->GetInt(),
                          patch->GetInt());
            model_meta->version = buffer;
        }
    }
    return NEROVA_OK;
}

}  // namespace internal

NerovaError InferenceConfigParser::ParseInferenceConfig(Model& model, ModelConfig* model_config,
                                                        NetworkConfig* network_config) {
    return internal::ParseInferenceConfigWithSchema(kInferenceJsonSchema, model, model_config,
                                                    network_config);
}

NerovaError InferenceConfigParser::ParseModelMetaConfig(Model& model, ModelMeta* model_meta) {
    return internal::ParseModelMetaConfigWithSchema(kModelMetaJsonSchema, model, model_meta);
}

}  // namespace module
}  // namespace nerova
