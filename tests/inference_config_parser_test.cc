// The schema-validated readers of inference.json and meta.json.
#include "wrap_rapidjson/inference_config_parser.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "nerova/kernel.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::IsLogLine;
using nerova_test::StderrCapture;
using nerova_test::TempDir;

const char kFile[] = "module/wrap_rapidjson/inference_config_parser";
const char kInference[] = "nerova::module::InferenceConfigParser::ParseInferenceConfig";
const char kMeta[] = "nerova::module::InferenceConfigParser::ParseModelMetaConfig";

struct Outcome {
    NerovaError code;
    std::vector<std::string> lines;
};

// Runs `read` on a model directory holding `files`; captures the log lines.
template <typename Read>
Outcome InDir(const std::vector<std::pair<std::string, std::string>>& files, Read read) {
    TempDir dir;
    const std::string path = dir.Write("anchor", "");
    for (const auto& f : files) dir.Write(f.first, f.second);
    Model model("", path);
    EXPECT_EQ(model.Parse(), NEROVA_OK);
    StderrCapture capture;
    const NerovaError code = read(model);
    return {code, capture.Lines()};
}

const std::vector<std::pair<std::string, std::string>> kTnn = {{"model.tnnproto", "P"},
                                                               {"model.tnnmodel", "M"}};

Outcome ReadInference(const std::string& json, ModelConfig& mc, NetworkConfig& nc,
                      std::vector<std::pair<std::string, std::string>> files = kTnn) {
    files.emplace_back("inference.json", json);
    return InDir(
        files, [&](Model& m) { return InferenceConfigParser::ParseInferenceConfig(m, &mc, &nc); });
}

// The smallest network section that validates, with `extra` members added.
std::string Net(const std::string& extra = "") {
    return R"({"NetworkConfig": {"DeviceType": "DEVICE_X86", "DataFormat": "DATA_FORMAT_NCHW",
               "Type": "NETWORK_TYPE_ONNX", "Precision": "PRECISION_HIGH")" +
           extra + "}}";
}

TEST(InferenceConfigParserTest, BuiltInSchemasAgreeWithTheKernel) {
    rapidjson::Document schema;
    schema.Parse(InferenceConfigParser::kInferenceJsonSchema.c_str());
    ASSERT_FALSE(schema.HasParseError());
    EXPECT_STREQ(schema["$schema"].GetString(), "https://json-schema.org/draft/2019-09/schema");
    // Every enumerated string must be one the kernel's converters know.
    const auto& net = schema["properties"]["NetworkConfig"]["properties"];
    const std::pair<const rapidjson::Value*, int (*)(const std::string&)> enums[] = {
        {&schema["properties"]["ModelConfig"]["properties"]["Type"],
         [](const std::string& s) { return int(StringConfigConverter::StringToModelType(s)); }},
        {&net["DeviceType"],
         [](const std::string& s) { return int(StringConfigConverter::StringToDeviceType(s)); }},
        {&net["DataType"],
         [](const std::string& s) { return int(StringConfigConverter::StringToDataType(s)); }},
        {&net["DataFormat"],
         [](const std::string& s) { return int(StringConfigConverter::StringToDataFormat(s)); }},
        {&net["Type"],
         [](const std::string& s) { return int(StringConfigConverter::StringToNetworkType(s)); }},
        {&net["ShareMemoryMode"],
         [](const std::string& s) {
             return int(StringConfigConverter::StringToShareMemoryMode(s));
         }},
        {&net["Precision"],
         [](const std::string& s) { return int(StringConfigConverter::StringToPrecision(s)); }},
    };
    const size_t counts[] = {7, 11, 11, 10, 7, 3, 4};
    for (size_t i = 0; i < 7; ++i) {
        const auto& list = (*enums[i].first)["enum"];
        EXPECT_EQ(list.Size(), counts[i]);
        for (const auto& s : list.GetArray())
            EXPECT_NE(enums[i].second(s.GetString()), NEROVA_UNSET_VALUE) << s.GetString();
    }
    rapidjson::Document meta;
    meta.Parse(InferenceConfigParser::kModelMetaJsonSchema.c_str());
    ASSERT_FALSE(meta.HasParseError());
    EXPECT_STREQ(meta["title"].GetString(), "meta.json");
}

TEST(InferenceConfigParserTest, ValidationKeywordsPassAndFail) {
    const int ok = 0, parse = 197, invalid = 202;
    const std::pair<std::string, int> cases[] = {
        {"{}", ok},
        {R"({"ModelConfig": {"IsNative": true, "Type": "MODEL_TYPE_TNN"}})", ok},
        {R"({"ModelConfig": {"Type": "MODEL_TYPE_TNN"}})", invalid},                    // required
        {R"({"ModelConfig": {"IsNative": 1, "Type": "MODEL_TYPE_TNN"}})", invalid},     // type
        {R"({"ModelConfig": {"IsNative": true, "Type": "model_type_tnn"}})", invalid},  // enum
        {R"({"ModelConfig": []})", invalid},
        {"[]", invalid},
        {Net(), ok},
        {Net(R"(, "DeviceId": 7, "ThreadNum": 0, "Extra": {"Any": [1]})"), ok},
        {Net(R"(, "DeviceId": 8)"), invalid},  // maximum
        {Net(R"(, "ThreadNum": 5)"), invalid},
        {Net(R"(, "DeviceId": -1)"), invalid},  // minimum
        {Net(R"(, "DeviceId": 2.0)"), invalid},
        {Net(R"(, "DeviceId": 1e0)"), invalid},
        {Net(R"(, "DataType": "DATA_TYPE_FLOAT16")"), invalid},
        {Net(R"(, "CachePath": 5)"), invalid},
        {Net(R"(, "EnableTuneKernal": "true")"), invalid},
        {R"({"NetworkConfig": {"DeviceType": "DEVICE_X86", "DataFormat": "DATA_FORMAT_NCHW",
             "Type": "NETWORK_TYPE_ONNX"}})",
         invalid},  // no "Precision"
        {R"({"ParamConverter": {"Scale": "anything"}, "Reserve": 1})", ok},
        {"", parse},
        {"{", parse},
        {"{} x", parse},
        {"{} // note", parse},
        {R"({"NetworkConfig": {"DeviceType": "DEVICE_X86",}})", parse},
        {R"({"NetworkConfig": {"DeviceId": 9, )", invalid},  // the rule breaks before the syntax
        {std::string("{}\0trailing", 11), ok},               // the text ends at a zero byte
        {"{\"a\": " + std::string(63, '[') + std::string(63, ']') + "}", ok},
        {"{\"a\": " + std::string(64, '[') + std::string(64, ']') + "}", parse},  // too deep
        {"{\"a\": " + std::string(200000, '['), parse},
        {std::string(200000, '['), invalid},  // the root must be an object
    };
    for (const auto& c : cases) {
        ModelConfig mc;
        NetworkConfig nc;
        const Outcome out = ReadInference(c.first, mc, nc);
        const std::string shown = c.first.substr(0, 80);
        if (c.second == ok) {
            EXPECT_EQ(out.code, NEROVA_OK) << shown;
            EXPECT_TRUE(out.lines.empty()) << shown;
            EXPECT_EQ(mc.model_contents, (std::vector<std::string>{"P", "M"})) << shown;
            continue;
        }
        EXPECT_EQ(out.code, NEROVA_ERR_JSON) << shown;
        ASSERT_EQ(out.lines.size(), 1u) << shown;
        const char* msg = c.second == parse ? "Failed to parse inference json"
                                            : "Failed to validate inference json";
        EXPECT_TRUE(IsLogLine(out.lines[0], kFile, kInference, c.second, msg)) << shown;
        EXPECT_TRUE(mc.model_contents.empty() && mc.model_type == NEROVA_MODEL_TYPE_TNN);
        EXPECT_EQ(nc.device_type, NEROVA_DEVICE_ARM);
    }
}

TEST(InferenceConfigParserTest, ReadsValidatedKeysAfterLoadingFilesByName) {
    ModelConfig mc;
    NetworkConfig nc;
    const std::string json = R"({"ModelConfig": {"IsNative": false, "Type": "MODEL_TYPE_OPENVINO",
        "InputsName": ["x"]},)" +
                             Net(R"(, "DeviceId": 3, "ThreadNum": 4, "DataType": "DATA_TYPE_INT8",
        "ShareMemoryMode": "SHARE_MEMORY_MODE_EXTERNAL", "CachePath": "c\u0000d",
        "EnableTuneKernal": true, "EnableReshape": true)")
                                 .substr(1);
    const Outcome out = ReadInference(
        json, mc, nc,
        {{"model.xml", "X"}, {"model.bin", "B"}, {"model.onnx", std::string("O\0N", 3)}});
    ASSERT_EQ(out.code, NEROVA_OK);
    EXPECT_FALSE(mc.is_native);
    EXPECT_EQ(mc.model_type, NEROVA_MODEL_TYPE_OPENVINO);
    EXPECT_EQ(mc.model_contents, (std::vector<std::string>{std::string("O\0N", 3)}));
    EXPECT_TRUE(mc.inputs_name.empty());  // not read by this reader
    EXPECT_EQ(nc.device_type, NEROVA_DEVICE_X86);
    EXPECT_EQ(nc.device_id, 3);
    EXPECT_EQ(nc.thread_num, 4);
    EXPECT_EQ(nc.data_type, NEROVA_DATA_TYPE_INT8);
    EXPECT_EQ(nc.data_format, NEROVA_DATA_FORMAT_NCHW);
    EXPECT_EQ(nc.network_type, NEROVA_NETWORK_TYPE_ONNX);
    EXPECT_EQ(nc.share_memory_mode, NEROVA_SHARE_MEMORY_MODE_EXTERNAL);
    EXPECT_EQ(nc.precision, NEROVA_PRECISION_HIGH);
    EXPECT_EQ(nc.cache_path, "c");
    EXPECT_TRUE(nc.enable_tune_kernel);
    EXPECT_FALSE(nc.enable_reshape);
}

TEST(InferenceConfigParserTest, ModelFilesByFixedNameAndFailures) {
    const std::vector<std::pair<std::string, std::string>> all = {
        {"model.tnnproto", "P"}, {"model.tnnmodel", "M"}, {"model.trt", "T"},
        {"model.onnx", "O"},     {"model.xml", "X"},      {"model.bin", "B"},
        {"model.tflite", "L"},   {"a.mnn", "N"}};
    struct Case {
        const char* type;
        bool native;
        std::vector<std::string> contents;
        NerovaError code;
        bool only_first_file;
    };
    const NerovaError missing = NEROVA_ERR_MODEL_FILE_NOT_FOUND,
                      none = NEROVA_ERR_MODEL_TYPE_NO_FILES;
    const Case cases[] = {
        {"MODEL_TYPE_TNN", false, {"P", "M"}, 0, false},
        {"MODEL_TYPE_TENSORRT", true, {"T"}, 0, false},
        {"MODEL_TYPE_TENSORRT", false, {"O"}, 0, false},
        {"MODEL_TYPE_OPENVINO", true, {"X", "B"}, 0, false},
        {"MODEL_TYPE_OPENVINO", false, {"O"}, 0, false},
        {"MODEL_TYPE_TFLITE", true, {"L"}, 0, false},
        {"MODEL_TYPE_ONNX", true, {}, none, false},
        {"MODEL_TYPE_MNN", true, {}, none, false},
        {"MODEL_TYPE_NCNN", false, {}, none, false},
        {"MODEL_TYPE_TNN", true, {"P"}, missing, true},
    };
    for (const Case& c : cases) {
        ModelConfig mc;
        NetworkConfig nc;
        const std::string json = std::string(R"({"ModelConfig": {"IsNative": )") +
                                 (c.native ? "true" : "false") + R"(, "Type": ")" + c.type +
                                 "\"}," + Net().substr(1);
        auto files = c.only_first_file ? decltype(all){all[0]} : all;
        const Outcome out = ReadInference(json, mc, nc, files);
        EXPECT_EQ(out.code, c.code) << c.type << c.native;
        EXPECT_TRUE(out.lines.empty());
        EXPECT_EQ(mc.model_contents, c.contents) << c.type << c.native;
        EXPECT_EQ(mc.is_native, c.native);
        EXPECT_EQ(nc.device_type, c.code ? NEROVA_DEVICE_ARM : NEROVA_DEVICE_X86);
    }
    ModelConfig mc;
    NetworkConfig nc;
    const Outcome absent = InDir(kTnn, [&](Model& m) {
        EXPECT_EQ(InferenceConfigParser::ParseInferenceConfig(m, nullptr, &nc),
                  NEROVA_ERR_PARAM_NULL);
        EXPECT_EQ(InferenceConfigParser::ParseInferenceConfig(m, &mc, nullptr),
                  NEROVA_ERR_PARAM_NULL);
        return InferenceConfigParser::ParseInferenceConfig(m, &mc, &nc);
    });
    EXPECT_EQ(absent.code, missing);
    EXPECT_TRUE(absent.lines.empty());
}

TEST(InferenceConfigParserTest, SchemaThatDoesNotParse) {
    ModelConfig mc;
    NetworkConfig nc;
    ModelMeta meta;
    for (const std::string schema : {"{\"type\": ", "[]"}) {
        const Outcome out = InDir({{"inference.json", "{}"}, {"meta.json", "{}"}}, [&](Model& m) {
            EXPECT_EQ(internal::ParseModelMetaConfigWithSchema(schema, m, &meta), NEROVA_ERR_JSON);
            return internal::ParseInferenceConfigWithSchema(schema, m, &mc, &nc);
        });
        EXPECT_EQ(out.code, NEROVA_ERR_JSON);
        ASSERT_EQ(out.lines.size(), 2u);
        EXPECT_TRUE(IsLogLine(out.lines[0], kFile, kMeta, 283, "Invalid model meta json schema"));
        EXPECT_TRUE(
            IsLogLine(out.lines[1], kFile, kInference, 187, "Invalid inference json schema"));
    }
}

const char kSchemaKeys[] = R"("name": "n", "version": {"major": 1, "minor": 4, "patch": 0},
                              "train_date": "d", "description": "s")";

TEST(ModelMetaTest, SpellingsTypesAndValidation) {
    const int ok = 0, parse = 294, invalid = 299;
    struct Case {
        std::string body;
        int result;
        ModelMeta want;
    };
    const ModelMeta untouched{"old", "v0.0.0", "old", "old"};
    const Case cases[] = {
        {kSchemaKeys, ok, {"n", "v1.4.0", "d", "s"}},
        {std::string(kSchemaKeys) + R"(, "Name": "N\u0000x", "Version": {"Major": -1, "Minor": 2,
             "Patch": 30}, "TrainDate": "D", "Description": "S")",
         ok,
         {"N", "v-1.2.30", "D", "S"}},
        {std::string(kSchemaKeys) + R"(, "Version": {"Major": 2, "Minor": 0})",
         ok,
         {"n", "v0.0.0", "d", "s"}},
        {R"("Name": "N", "Version": {"Major": 1, "Minor": 2, "Patch": 3}, "TrainDate": "D",
            "Description": "S")",
         invalid, untouched},
        {std::string(kSchemaKeys) + R"(, "Name": 5)", invalid, untouched},
        {std::string(kSchemaKeys) + R"(, "Version": "1.2.3")", invalid, untouched},
        {std::string(kSchemaKeys) + R"(, "Version": {"Major": 1.5, "Minor": 0, "Patch": 0})",
         invalid, untouched},
        {R"("name": "n", "version": {"major": 4294967296, "minor": 0, "patch": 0},
            "train_date": "d", "description": "s")",
         invalid, untouched},
        {R"("name": "n", "version": {"major": "1", "minor": 0, "patch": 0},
            "train_date": "d", "description": "s")",
         invalid, untouched},
        {R"("name": "n", "train_date": "d", "description": "s")", invalid, untouched},
        {std::string(kSchemaKeys) + ",", parse, untouched},
    };
    for (const Case& c : cases) {
        ModelMeta meta = untouched;
        const Outcome out = InDir({{"meta.json", "{" + c.body + "}"}}, [&](Model& m) {
            return InferenceConfigParser::ParseModelMetaConfig(m, &meta);
        });
        EXPECT_EQ(out.code, c.result == ok ? NEROVA_OK : NEROVA_ERR_JSON) << c.body;
        EXPECT_EQ(
            std::vector<std::string>({meta.name, meta.version, meta.train_date, meta.description}),
            std::vector<std::string>(
                {c.want.name, c.want.version, c.want.train_date, c.want.description}))
            << c.body;
        ASSERT_EQ(out.lines.size(), c.result == ok ? 0u : 1u) << c.body;
        if (c.result == ok) continue;
        const char* msg = c.result == parse ? "Failed to parse model meta json"
                                            : "Failed to validate model meta json";
        EXPECT_TRUE(IsLogLine(out.lines[0], kFile, kMeta, c.result, msg)) << out.lines[0];
    }
    ModelMeta meta;
    const Outcome absent = InDir({}, [&](Model& m) {
        EXPECT_EQ(InferenceConfigParser::ParseModelMetaConfig(m, nullptr), NEROVA_ERR_PARAM_NULL);
        return InferenceConfigParser::ParseModelMetaConfig(m, &meta);
    });
    EXPECT_EQ(absent.code, NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    EXPECT_TRUE(absent.lines.empty());
}

}  // namespace
}  // namespace module
}  // namespace nerova
