// The plain inference.json reader and the model file loader, on real directories.
#include "wrap_rapidjson/config_parser.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::TempDir;

struct Records {
    ModelConfig model;
    NetworkConfig network;
    ParamConverter converter;
    ModelReserveConfig reserve;
};

// Reads `json` as inference.json from a directory that also holds `files`.
NerovaError Read(const std::string& json, Records& r,
                 const std::vector<std::pair<std::string, std::string>>& files = {{"m.onnx",
                                                                                   "ONNX"}},
                 bool with_reserve = false) {
    TempDir dir;
    const std::string path = dir.Write("inference.json", json);
    for (const auto& f : files) dir.Write(f.first, f.second);
    Model model("", path);
    EXPECT_EQ(model.Parse(), NEROVA_OK);
    return ConfigParser::ParseInferenceConfig(model, &r.model, &r.network, &r.converter,
                                              with_reserve ? &r.reserve : nullptr);
}

const char kOnnx[] = R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}})";

TEST(ModelLoaderTest, FilesByTypeAndNativeness) {
    const std::vector<std::pair<std::string, std::string>> all = {
        {"a.tnnproto", "P"}, {"a.tnnmodel", "M"}, {"e.trt", "T"},       {"n.onnx", "O"},
        {"v.xml", "X"},      {"v.bin", "B"},      {"x.mnn", "N"},       {"c.mlmodel", "C"},
        {"mod.json", "J"},   {"w.params", "W"},   {"model.tflite", "L"}};
    struct Case {
        NerovaModelType type;
        bool native;
        std::vector<std::string> contents;
        NerovaError code;
    };
    const Case cases[] = {
        {NEROVA_MODEL_TYPE_TNN, true, {"P", "M"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_TNN, false, {"P", "M"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_TENSORRT, true, {"T"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_TENSORRT, false, {"O"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_OPENVINO, true, {"X", "B"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_OPENVINO, false, {"O"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_ONNX, true, {"O"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_ONNX, false, {"O"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_MNN, true, {"N"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_COREML, false, {"C"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_JSON_GRAPH, true, {"J", "W"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_TFLITE, true, {"L"}, NEROVA_OK},
        {NEROVA_MODEL_TYPE_NCNN, true, {}, NEROVA_ERR_MODEL_TYPE_NO_FILES},
        {NEROVA_MODEL_TYPE_UNSET, false, {}, NEROVA_ERR_MODEL_TYPE_NO_FILES},
    };
    TempDir dir;
    for (const auto& f : all) dir.Write(f.first, f.second);
    Model model("", dir.Write("inference.json", "{}"));
    ASSERT_EQ(model.Parse(), NEROVA_OK);
    for (const Case& c : cases) {
        ModelConfig config;
        config.model_type = c.type;
        config.is_native = c.native;
        EXPECT_EQ(LoadModelContents(model, &config), c.code) << c.type << " " << c.native;
        EXPECT_EQ(config.model_contents, c.contents) << c.type << " " << c.native;
    }
    EXPECT_EQ(LoadModelContents(model, nullptr), NEROVA_ERR_PARAM_NULL);
}

TEST(ModelLoaderTest, MissingSharedSuffixAndZeroBytes) {
    TempDir dir;
    const std::string json = dir.Write("inference.json", "{}");
    dir.Write("only.tnnproto", std::string("a\0b", 3));
    dir.Write("b.onnx", "second");
    dir.Write("a.onnx", "first");
    dir.Write("model.TFLITE", "wrong case");
    dir.Write("empty.mnn", "");
    Model model("", json);
    ASSERT_EQ(model.Parse(), NEROVA_OK);

    ModelConfig tnn;  // default type: the .tnnmodel file is missing
    EXPECT_EQ(LoadModelContents(model, &tnn), NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    ASSERT_EQ(tnn.model_contents.size(), 1u);
    EXPECT_EQ(tnn.model_contents[0], std::string("a\0b", 3)) << "zero bytes are kept";

    ModelConfig onnx;
    onnx.model_type = NEROVA_MODEL_TYPE_ONNX;
    ASSERT_EQ(LoadModelContents(model, &onnx), NEROVA_OK);
    EXPECT_EQ(onnx.model_contents, std::vector<std::string>{"first"})
        << "the name sorting first wins";

    ModelConfig tflite;
    tflite.model_type = NEROVA_MODEL_TYPE_TFLITE;
    EXPECT_EQ(LoadModelContents(model, &tflite), NEROVA_ERR_MODEL_FILE_NOT_FOUND);

    ModelConfig mnn;
    mnn.model_type = NEROVA_MODEL_TYPE_MNN;
    ASSERT_EQ(LoadModelContents(model, &mnn), NEROVA_OK);
    ASSERT_EQ(mnn.model_contents.size(), 1u);
    EXPECT_TRUE(mnn.model_contents[0].empty());
}

TEST(ConfigParserTest, ReadsEveryKey) {
    Records r;
    const char* json = R"({
      "ModelConfig": {"IsNative": false, "Type": "MODEL_TYPE_ONNX",
                      "InputsName": ["data", "input"], "OutputsName": ["out"]},
      "NetworkConfig": {"DeviceType": "DEVICE_X86", "DeviceId": 3, "ThreadNum": 4,
                        "DataType": "DATA_TYPE_INT8", "DataFormat": "DATA_FORMAT_NHWC",
                        "Type": "NETWORK_TYPE_ONNX", "ShareMemoryMode": "SHARE_MEMORY_MODE_EXTERNAL",
                        "Precision": "PRECISION_HIGH", "CachePath": "/tmp/c",
                        "EnableTuneKernal": true, "EnableReshape": true},
      "ParamConverter": {"InterpolateType": "INTERP_TYPE_LINEAR", "PixelFormat": "PIXEL_FORMAT_RGB",
                         "MakeBorderType": "BORDER_TYPE_REFLECT", "Scale": [0.5, 0.5, 0.5],
                         "Bias": [-127, 18446744073709551615]},
      "Reserve": "free text"})";
    ASSERT_EQ(Read(json, r, {{"m.onnx", "ONNX"}}, true), NEROVA_OK);
    EXPECT_FALSE(r.model.is_native);
    EXPECT_EQ(r.model.model_type, NEROVA_MODEL_TYPE_ONNX);
    EXPECT_EQ(r.model.model_contents, std::vector<std::string>{"ONNX"});
    EXPECT_EQ(r.model.inputs_name, (std::vector<std::string>{"data", "input"}));
    EXPECT_EQ(r.model.outputs_name, std::vector<std::string>{"out"});
    EXPECT_EQ(r.network.device_type, NEROVA_DEVICE_X86);
    EXPECT_EQ(r.network.device_id, 3);
    EXPECT_EQ(r.network.thread_num, 4);
    EXPECT_EQ(r.network.data_type, NEROVA_DATA_TYPE_INT8);
    EXPECT_EQ(r.network.data_format, NEROVA_DATA_FORMAT_NHWC);
    EXPECT_EQ(r.network.network_type, NEROVA_NETWORK_TYPE_ONNX);
    EXPECT_EQ(r.network.share_memory_mode, NEROVA_SHARE_MEMORY_MODE_EXTERNAL);
    EXPECT_EQ(r.network.precision, NEROVA_PRECISION_HIGH);
    EXPECT_EQ(r.network.cache_path, "/tmp/c");
    EXPECT_TRUE(r.network.enable_tune_kernel);
    EXPECT_TRUE(r.network.enable_reshape);
    EXPECT_EQ(r.converter.interp_type, NEROVA_INTERP_TYPE_LINEAR);
    EXPECT_EQ(r.converter.pixel_format, NEROVA_PIXEL_FORMAT_RGB);
    EXPECT_EQ(r.converter.border_type, NEROVA_BORDER_TYPE_REFLECT);
    EXPECT_EQ(r.converter.scale, (std::vector<float>{0.5f, 0.5f, 0.5f, 1.0f}));
    ASSERT_EQ(r.converter.bias.size(), 4u);
    EXPECT_EQ(r.converter.bias[0], -127.0f);
    EXPECT_GT(r.converter.bias[1], 1.8e19f) << "beyond int64: unsigned, never negative";
    EXPECT_EQ(r.reserve.reserve, "free text");
}

TEST(ConfigParserTest, EdgeCasesOfTheFormat) {
    struct Case {
        const char* what;
        std::string json;
        NerovaError code;
        void (*check)(const Records&);
    };
    const Case cases[] = {
        {"empty object keeps defaults", "{}", NEROVA_ERR_MODEL_FILE_NOT_FOUND, nullptr},
        {"IsNative as string",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "IsNative": "true"}})", NEROVA_OK,
         [](const Records& r) { EXPECT_FALSE(r.model.is_native); }},
        {"IsNative as number", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "IsNative": 1}})",
         NEROVA_OK, [](const Records& r) { EXPECT_FALSE(r.model.is_native); }},
        {"key case matters", std::string(R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
           "NetworkConfig": {"devicetype": "DEVICE_X86"}})"),
         NEROVA_OK, [](const Records& r) { EXPECT_EQ(r.network.device_type, 32); }},
        {"duplicate keys: first wins", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
           "NetworkConfig": {"Type": "NETWORK_TYPE_MNN", "Type": "NETWORK_TYPE_ONNX"}})",
         NEROVA_OK,
         [](const Records& r) { EXPECT_EQ(r.network.network_type, NEROVA_NETWORK_TYPE_MNN); }},
        {"empty Scale",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "ParamConverter": {"Scale": []}})",
         NEROVA_OK,
         [](const Records& r) { EXPECT_EQ(r.converter.scale, std::vector<float>(4, 1.0f)); }},
        {"unknown enumeration string", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
           "NetworkConfig": {"DeviceType": "DEVICE_TOASTER"}})",
         NEROVA_OK, [](const Records& r) { EXPECT_EQ(r.network.device_type, NEROVA_UNSET_VALUE); }},
        {"text stops at a zero character",
         std::string("{\"ModelConfig\": {\"Type\": \"MODEL_TYPE_ONNX\"},"
                     " \"NetworkConfig\": {\"CachePath\": \"ab\\u0000cd\"}}"),
         NEROVA_OK, [](const Records& r) { EXPECT_EQ(r.network.cache_path, "ab"); }},
        {"Scale longer than four", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
           "ParamConverter": {"Scale": [1, 2, 3, 4, 5]}})",
         NEROVA_ERR_JSON, nullptr},
        {"DeviceType as number",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceType": 5}})",
         NEROVA_ERR_JSON, nullptr},
        {"InputsName as string",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "InputsName": "data"}})", NEROVA_ERR_JSON,
         nullptr},
        {"section as array", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": []})",
         NEROVA_ERR_JSON, nullptr},
        {"ThreadNum fraction",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"ThreadNum": 1.5}})",
         NEROVA_ERR_JSON, nullptr},
        {"DeviceId beyond 32 bits",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceId": 4294967296}})",
         NEROVA_ERR_JSON, nullptr},
        {"root array", "[]", NEROVA_ERR_JSON, nullptr},
        {"empty text", "", NEROVA_ERR_JSON, nullptr},
        {"byte-order mark", "\xEF\xBB\xBF" + std::string(kOnnx), NEROVA_ERR_JSON, nullptr},
        {"trailing comma", R"({"ModelConfig": {"InputsName": ["a",]}})", NEROVA_ERR_JSON, nullptr},
        {"comment", "{/* c */}", NEROVA_ERR_JSON, nullptr},
        {"text after root", std::string(kOnnx) + " {}", NEROVA_ERR_JSON, nullptr},
        {"unterminated", R"({"ModelConfig": {"Type": "MODEL_)", NEROVA_ERR_JSON, nullptr},
        {"NaN", R"({"ParamConverter": {"Scale": [NaN]}})", NEROVA_ERR_JSON, nullptr},
        {"deeply nested, still well formed",
         std::string(R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "X": )") +
             std::string(200000, '[') + std::string(200000, ']') + "}",
         NEROVA_OK, nullptr},
    };
    for (const Case& c : cases) {
        Records r;
        r.network.cache_path = "kept";
        EXPECT_EQ(Read(c.json, r), c.code) << c.what;
        if (c.check) {
            c.check(r);
        } else {
            // A refused file leaves the network and converter records untouched.
            EXPECT_EQ(r.network.cache_path, "kept") << c.what;
            EXPECT_EQ(r.network.device_type, 32) << c.what;
            EXPECT_EQ(r.converter.scale, std::vector<float>(4, 1.0f)) << c.what;
            if (c.code == NEROVA_ERR_JSON) {
                EXPECT_TRUE(r.model.model_contents.empty()) << c.what;
            }
        }
    }
}

TEST(ConfigParserTest, FailingModelLoadLeavesNetworkConfigUntouched) {
    Records r;
    const char* json = R"({"ModelConfig": {"Type": "MODEL_TYPE_TNN", "InputsName": ["x"]},
                           "NetworkConfig": {"ThreadNum": 8}, "ParamConverter": {"Scale": [2]}})";
    EXPECT_EQ(Read(json, r, {{"m.tnnproto", "proto"}}), NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    EXPECT_EQ(r.model.model_contents, std::vector<std::string>{"proto"});
    EXPECT_EQ(r.model.inputs_name, std::vector<std::string>{"x"});
    EXPECT_EQ(r.network.thread_num, 1);
    EXPECT_EQ(r.converter.scale[0], 1.0f);
}

TEST(ConfigParserTest, AppendsOnSecondReadAndNeedsRecords) {
    TempDir dir;
    const std::string path = dir.Write(
        "inference.json",
        R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "InputsName": ["data", "input"]}, "Reserve": "r"})");
    dir.Write("m.onnx", "ONNX");
    Model model("", path);
    ASSERT_EQ(model.Parse(), NEROVA_OK);
    Records r;
    ASSERT_EQ(
        ConfigParser::ParseInferenceConfig(model, &r.model, &r.network, &r.converter, nullptr),
        NEROVA_OK);
    ASSERT_EQ(
        ConfigParser::ParseInferenceConfig(model, &r.model, &r.network, &r.converter, nullptr),
        NEROVA_OK);
    EXPECT_EQ(r.model.inputs_name.size(), 4u);
    EXPECT_EQ(r.model.model_contents.size(), 2u);
    EXPECT_EQ(ConfigParser::ParseInferenceConfig(model, &r.model, nullptr, &r.converter, nullptr),
              NEROVA_ERR_PARAM_NULL);

    TempDir no_json;
    Model bare("", no_json.Write("m.onnx", "ONNX"));
    ASSERT_EQ(bare.Parse(), NEROVA_OK);
    EXPECT_EQ(ConfigParser::ParseInferenceConfig(bare, &r.model, &r.network, &r.converter, nullptr),
              NEROVA_ERR_MODEL_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace module
}  // namespace nerova
