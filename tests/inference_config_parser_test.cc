// The schema-validated readers of inference.json and meta.json.
#include "wrap_rapidjson/inference_config_parser.h"

#include <gtest/gtest.h>

#include "nerova/kernel.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::IsLogLine;
using Files = std::vector<std::pair<std::string, std::string>>;

const char kFile[] = "module/wrap_rapidjson/inference_config_parser";
const char kInference[] = "nerova::module::InferenceConfigParser::ParseInferenceConfig";
const char kMeta[] = "nerova::module::InferenceConfigParser::ParseModelMetaConfig";
const Files kTnn = {{"model.tnnproto", "P"}, {"model.tnnmodel", "M"}};

struct Outcome {
    NerovaError code;
    std::vector<std::string> lines;
};

// Runs `read` on a model directory holding `files`; captures the log lines.
template <typename Read>
Outcome InDir(const Files& files, Read read) {
    nerova_test::TempDir dir;
    const std::string path = dir.Write("anchor", "");
    for (const auto& f : files) dir.Write(f.first, f.second);
    Model model("", path);
    EXPECT_EQ(model.Parse(), NEROVA_OK);
    nerova_test::StderrCapture capture;
    const NerovaError code = read(model);
    return {code, capture.Lines()};
}

Outcome ReadInference(const std::string& json, ModelConfig& mc, NetworkConfig& nc,
                      Files files = kTnn, const char* schema = nullptr) {
    files.emplace_back("inference.json", json);
    return InDir(files, [&](Model& m) {
        return schema ? internal::ParseInferenceConfigWithSchema(schema, m, &mc, &nc)
                      : InferenceConfigParser::ParseInferenceConfig(m, &mc, &nc);
    });
}

// The smallest network section that validates, with `extra` members added.
std::string Net(const std::string& extra = "") {
    return R"({"NetworkConfig": {"DeviceType": "DEVICE_X86", "DataFormat": "DATA_FORMAT_NCHW",
               "Type": "NETWORK_TYPE_ONNX", "Precision": "PRECISION_HIGH")" +
           extra + "}}";
}

TEST(InferenceConfigParserTest, ValidationPassesOrFailsByKeyword) {
    const int ok = 0, bad_schema = 187, parse = 197, invalid = 202;
    const struct {
        std::string json;
        int result;
        const char* schema = nullptr;
    } cases[] = {
        {"{}", ok},
        {R"({"ModelConfig": {"IsNative": true, "Type": "MODEL_TYPE_TNN"}, "Reserve": 1})",
         ok},  // unknown keys are allowed
        {Net(R"(, "DeviceId": 7, "ThreadNum": 0, "Extra": {"Any": [1]})"), ok},
        {Net(R"(, "Deep": )" + std::string(1000, '[') + std::string(1000, ']')), ok},
        {R"({"ModelConfig": {"Type": "MODEL_TYPE_TNN"}})", invalid},                    // required
        {R"({"ModelConfig": {"IsNative": true, "Type": "model_type_tnn"}})", invalid},  // enum
        {Net(R"(, "DeviceId": 2.0)"), invalid},                                         // type
        {Net(R"(, "DeviceId": 8)"), invalid},                                           // maximum
        {Net(R"(, "DeviceId": -1)"), invalid},                                          // minimum
        {"{} x", parse},
        {"{\"a\": " + std::string(200000, '['), parse},  // too deep for the stack
        {"{}", bad_schema, "[]"},
    };
    for (const auto& c : cases) {
        ModelConfig mc;
        NetworkConfig nc;
        const Outcome out = ReadInference(c.json, mc, nc, kTnn, c.schema);
        const std::string shown = c.json.substr(0, 80);
        if (c.result == ok) {
            EXPECT_EQ(out.code, NEROVA_OK) << shown;
            EXPECT_TRUE(out.lines.empty()) << shown;
            EXPECT_EQ(mc.model_contents, (std::vector<std::string>{"P", "M"})) << shown;
            continue;
        }
        EXPECT_EQ(out.code, NEROVA_ERR_JSON) << shown;
        ASSERT_EQ(out.lines.size(), 1u) << shown;
        const char* msg = c.result == parse        ? "Failed to parse inference json"
                          : c.result == bad_schema ? "Invalid inference json schema"
                                                   : "Failed to validate inference json";
        EXPECT_TRUE(IsLogLine(out.lines[0], kFile, kInference, c.result, msg)) << out.lines[0];
        EXPECT_TRUE(mc.model_contents.empty() && mc.model_type == NEROVA_MODEL_TYPE_TNN);
        EXPECT_EQ(nc.device_type, NEROVA_DEVICE_ARM);
    }
}

TEST(InferenceConfigParserTest, ReadsModelFilesByFixedNameAndValidatedKeys) {
    const std::string onnx("O\0N", 3);
    const Files all = {{"model.trt", "T"}, {"model.onnx", onnx}, {"a.mnn", "N"}};
    const NerovaError missing = NEROVA_ERR_MODEL_FILE_NOT_FOUND;
    const std::string net = Net(R"(, "DeviceId": 3, "ThreadNum": 4, "DataType": "DATA_TYPE_INT8",
        "ShareMemoryMode": "SHARE_MEMORY_MODE_EXTERNAL", "CachePath": "c\u0000d",
        "EnableTuneKernal": true, "EnableReshape": true)");
    // Found by name (bytes past a NUL kept), a named file missing, a type read from no files.
    const struct {
        const char* type;
        bool native;
        std::vector<std::string> contents;
        NerovaError code;
    } cases[] = {{"MODEL_TYPE_TENSORRT", false, {onnx}, NEROVA_OK},
                 {"MODEL_TYPE_TNN", true, {"P"}, missing},
                 {"MODEL_TYPE_MNN", true, {}, NEROVA_ERR_MODEL_TYPE_NO_FILES}};
    for (const auto& c : cases) {
        ModelConfig mc;
        NetworkConfig nc;
        const std::string json =
            std::string(R"({"ModelConfig": {"InputsName": ["x"], "IsNative": )") +
            (c.native ? "true" : "false") + R"(, "Type": ")" + c.type + "\"}," + net.substr(1);
        const Outcome out = ReadInference(json, mc, nc, c.code == missing ? Files{kTnn[0]} : all);
        EXPECT_EQ(out.code, c.code) << c.type << c.native;
        EXPECT_TRUE(out.lines.empty());
        EXPECT_EQ(mc.model_contents, c.contents) << c.type << c.native;
        EXPECT_TRUE(mc.is_native == c.native && mc.inputs_name.empty());  // names not read here
        if (c.code != NEROVA_OK) {
            EXPECT_EQ(nc.device_type, NEROVA_DEVICE_ARM);
            continue;
        }
        EXPECT_EQ(StringConfigConverter::StringToModelType(c.type), mc.model_type);
        EXPECT_EQ(
            std::vector<int>({nc.device_type, nc.device_id, nc.thread_num, nc.data_type,
                              nc.data_format, nc.network_type, nc.precision, nc.share_memory_mode}),
            std::vector<int>({NEROVA_DEVICE_X86, 3, 4, NEROVA_DATA_TYPE_INT8,
                              NEROVA_DATA_FORMAT_NCHW, NEROVA_NETWORK_TYPE_ONNX,
                              NEROVA_PRECISION_HIGH, NEROVA_SHARE_MEMORY_MODE_EXTERNAL}));
        EXPECT_TRUE(nc.cache_path == "c" && nc.enable_tune_kernel && !nc.enable_reshape);
    }
}

TEST(InferenceConfigParserTest, AbsentFilesAndNullRecords) {
    ModelConfig mc;
    NetworkConfig nc;
    ModelMeta meta;
    const Outcome out = InDir(kTnn, [&](Model& m) {
        EXPECT_EQ(InferenceConfigParser::ParseInferenceConfig(m, nullptr, &nc),
                  NEROVA_ERR_PARAM_NULL);
        EXPECT_EQ(InferenceConfigParser::ParseInferenceConfig(m, &mc, nullptr),
                  NEROVA_ERR_PARAM_NULL);
        EXPECT_EQ(InferenceConfigParser::ParseModelMetaConfig(m, nullptr), NEROVA_ERR_PARAM_NULL);
        EXPECT_EQ(InferenceConfigParser::ParseModelMetaConfig(m, &meta),
                  NEROVA_ERR_MODEL_FILE_NOT_FOUND);
        return InferenceConfigParser::ParseInferenceConfig(m, &mc, &nc);
    });
    EXPECT_EQ(out.code, NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    EXPECT_TRUE(out.lines.empty());
}

// A meta.json body with the lower-case keys, `version` as given, and `extra` members.
std::string Meta(const std::string& version, const std::string& extra = "") {
    return R"({"name": "n", "train_date": "d", "description": "s", "version": )" + version + extra +
           "}";
}

TEST(ModelMetaTest, SpellingsTypesAndValidation) {
    const int ok = 0, bad_schema = 283, parse = 294, invalid = 299;
    const std::string v140 = R"({"major": 1, "minor": 4, "patch": 0})";
    const std::vector<std::string> old = {"old", "v0.0.0", "old", "old"};
    const struct {
        std::string json;
        int result;
        std::vector<std::string> want;
        const char* schema = nullptr;
    } cases[] = {
        {Meta(v140), ok, {"n", "v1.4.0", "d", "s"}},
        {Meta(v140, R"(, "Name": "N\u0000x", "TrainDate": "D", "Description": "S",
                       "Version": {"Major": -1, "Minor": 2, "Patch": 30})"),
         ok,
         {"N", "v-1.2.30", "D", "S"}},
        {Meta(v140, R"(, "Version": {"Major": 2, "Minor": 0})"), ok, {"n", "v0.0.0", "d", "s"}},
        {R"({"Name": "N", "Version": {"Major": 1, "Minor": 2, "Patch": 3}, "TrainDate": "D",
             "Description": "S"})",
         invalid, old},  // required
        {Meta(v140, R"(, "Name": 5)"), invalid, old},
        {Meta(R"({"major": 1.5, "minor": 0, "patch": 0})"), invalid, old},
        {Meta(R"({"major": 4294967296, "minor": 0, "patch": 0})"), invalid, old},
        {Meta(R"("1.2.3")"), invalid, old},
        {Meta(v140, ","), parse, old},
        {Meta(v140), bad_schema, old, "{\"type\": "},
    };
    for (const auto& c : cases) {
        ModelMeta meta{"old", "v0.0.0", "old", "old"};
        const Outcome out = InDir({{"meta.json", c.json}}, [&](Model& m) {
            return c.schema ? internal::ParseModelMetaConfigWithSchema(c.schema, m, &meta)
                            : InferenceConfigParser::ParseModelMetaConfig(m, &meta);
        });
        EXPECT_EQ(out.code, c.result == ok ? NEROVA_OK : NEROVA_ERR_JSON) << c.json;
        EXPECT_EQ(
            std::vector<std::string>({meta.name, meta.version, meta.train_date, meta.description}),
            c.want)
            << c.json;
        ASSERT_EQ(out.lines.size(), c.result == ok ? 0u : 1u) << c.json;
        if (c.result == ok) continue;
        const char* msg = c.result == parse        ? "Failed to parse model meta json"
                          : c.result == bad_schema ? "Invalid model meta json schema"
                                                   : "Failed to validate model meta json";
        EXPECT_TRUE(IsLogLine(out.lines[0], kFile, kMeta, c.result, msg)) << out.lines[0];
    }
}

}  // namespace
}  // namespace module
}  // namespace nerova
