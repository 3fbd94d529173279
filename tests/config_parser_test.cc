// The plain inference.json reader and the model file loader, on real directories.
#include "wrap_rapidjson/config_parser.h"

#include <gtest/gtest.h>

#include <sstream>

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

// Reads `json` as inference.json from a directory that also holds m.onnx.
NerovaError Read(const std::string& json, Records& r) {
    TempDir dir;
    dir.Write("m.onnx", "ONNX");
    Model model("", dir.Write("inference.json", json));
    EXPECT_EQ(model.Parse(), NEROVA_OK);
    return ConfigParser::ParseInferenceConfig(model, &r.model, &r.network, &r.converter,
                                              &r.reserve);
}

const char kOnnx[] = R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}})";

TEST(ModelLoaderTest, FilesByTypeNativenessAndName) {
    // Each file holds its name up to the first dot, "empty.mnn" nothing.
    const char* const folders[] = {
        "a.tnnproto a.tnnmodel e.trt n.onnx mod.json w.params model.tflite other.tflite",
        "only.tnnproto b.onnx a.onnx model.TFLITE empty.mnn"};
    // Found by ending or by whole name, in name order; native and converted forms apart.
    const struct {
        int folder;
        NerovaModelType type;
        bool native;
        std::vector<std::string> contents;
        NerovaError code = NEROVA_OK;
    } cases[] = {
        {0, NEROVA_MODEL_TYPE_TNN, false, {"a", "a"}},
        {0, NEROVA_MODEL_TYPE_TENSORRT, true, {"e"}},
        {0, NEROVA_MODEL_TYPE_TENSORRT, false, {"n"}},
        {0, NEROVA_MODEL_TYPE_JSON_GRAPH, true, {"mod", "w"}},
        {0, NEROVA_MODEL_TYPE_TFLITE, true, {"model"}},
        {0, NEROVA_MODEL_TYPE_NCNN, true, {}, NEROVA_ERR_MODEL_TYPE_NO_FILES},
        {1, NEROVA_MODEL_TYPE_TNN, true, {"only"}, NEROVA_ERR_MODEL_FILE_NOT_FOUND},
        {1, NEROVA_MODEL_TYPE_ONNX, true, {"a"}},
        {1, NEROVA_MODEL_TYPE_TFLITE, true, {}, NEROVA_ERR_MODEL_FILE_NOT_FOUND},
        {1, NEROVA_MODEL_TYPE_MNN, true, {""}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::istringstream names(folders[c.folder]);
        for (std::string n; names >> n;)
            dir.Write(n, n.rfind("empty", 0) == 0 ? "" : n.substr(0, n.find('.')));
        Model model("", dir.Write("inference.json", "{}"));
        ASSERT_EQ(model.Parse(), NEROVA_OK);
        ModelConfig config;
        config.model_type = c.type;
        config.is_native = c.native;
        EXPECT_EQ(LoadModelContents(model, &config), c.code) << c.type << " " << c.native;
        EXPECT_EQ(config.model_contents, c.contents) << c.type << " " << c.native;
        EXPECT_EQ(LoadModelContents(model, nullptr), NEROVA_ERR_PARAM_NULL);
    }
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
    ASSERT_EQ(Read(json, r), NEROVA_OK);
    const auto& n = r.network;
    const auto& pc = r.converter;
    EXPECT_TRUE(!r.model.is_native && r.model.model_type == NEROVA_MODEL_TYPE_ONNX);
    EXPECT_EQ(r.model.model_contents, std::vector<std::string>{"ONNX"});
    EXPECT_EQ(r.model.inputs_name, (std::vector<std::string>{"data", "input"}));
    EXPECT_EQ(r.model.outputs_name, std::vector<std::string>{"out"});
    EXPECT_EQ(
        std::vector<int>({n.device_type, n.device_id, n.thread_num, n.data_type, n.data_format,
                          n.network_type, n.share_memory_mode, n.precision, pc.interp_type,
                          pc.pixel_format, pc.border_type}),
        std::vector<int>({NEROVA_DEVICE_X86, 3, 4, NEROVA_DATA_TYPE_INT8, NEROVA_DATA_FORMAT_NHWC,
                          NEROVA_NETWORK_TYPE_ONNX, NEROVA_SHARE_MEMORY_MODE_EXTERNAL,
                          NEROVA_PRECISION_HIGH, NEROVA_INTERP_TYPE_LINEAR, NEROVA_PIXEL_FORMAT_RGB,
                          NEROVA_BORDER_TYPE_REFLECT}));
    EXPECT_TRUE(n.cache_path == "/tmp/c" && n.enable_tune_kernel && n.enable_reshape);
    EXPECT_EQ(pc.scale, (std::vector<float>{0.5f, 0.5f, 0.5f, 1.0f}));
    ASSERT_EQ(pc.bias.size(), 4u);
    EXPECT_EQ(pc.bias[0], -127.0f);
    EXPECT_GT(pc.bias[1], 1.8e19f) << "beyond int64: unsigned, never negative";
    EXPECT_EQ(r.reserve.reserve, "free text");
}

TEST(ConfigParserTest, EdgeCasesOfTheFormat) {
    const struct {
        const char* what;
        std::string json;
        NerovaError code;
        void (*check)(const Records&) = nullptr;
    } cases[] = {
        {"empty object keeps defaults", "{}", NEROVA_ERR_MODEL_FILE_NOT_FOUND},
        {"model files missing after the model section was read",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_TNN", "InputsName": ["x"]},
             "NetworkConfig": {"ThreadNum": 8}, "ParamConverter": {"Scale": [2]}})",
         NEROVA_ERR_MODEL_FILE_NOT_FOUND,
         [](const Records& r) { EXPECT_EQ(r.model.inputs_name, std::vector<std::string>{"x"}); }},
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
         NEROVA_ERR_JSON},
        {"DeviceType as number",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceType": 5}})",
         NEROVA_ERR_JSON},
        {"InputsName as string",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "InputsName": "data"}})", NEROVA_ERR_JSON},
        {"section as array", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": []})",
         NEROVA_ERR_JSON},
        {"ThreadNum fraction",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"ThreadNum": 1.5}})",
         NEROVA_ERR_JSON},
        {"DeviceId beyond 32 bits",
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceId": 4294967296}})",
         NEROVA_ERR_JSON},
        {"root array", "[]", NEROVA_ERR_JSON},
        {"empty text", "", NEROVA_ERR_JSON},
        {"byte-order mark", "\xEF\xBB\xBF" + std::string(kOnnx), NEROVA_ERR_JSON},
        {"trailing comma", R"({"ModelConfig": {"InputsName": ["a",]}})", NEROVA_ERR_JSON},
        {"comment", "{/* c */}", NEROVA_ERR_JSON},
        {"text after root", std::string(kOnnx) + " {}", NEROVA_ERR_JSON},
        {"unterminated", R"({"ModelConfig": {"Type": "MODEL_)", NEROVA_ERR_JSON},
        {"NaN", R"({"ParamConverter": {"Scale": [NaN]}})", NEROVA_ERR_JSON},
        {"deeply nested, still well formed",
         std::string(R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "X": )") +
             std::string(200000, '[') + std::string(200000, ']') + "}",
         NEROVA_OK},
    };
    for (const auto& c : cases) {
        Records r;
        r.network.cache_path = "kept";
        EXPECT_EQ(Read(c.json, r), c.code) << c.what;
        if (c.check) c.check(r);
        if (c.code != NEROVA_OK) {
            // A refused file leaves the network and converter records untouched.
            EXPECT_EQ(r.network.cache_path, "kept") << c.what;
            EXPECT_TRUE(r.network.device_type == 32 && r.network.thread_num == 1) << c.what;
            EXPECT_EQ(r.converter.scale, std::vector<float>(4, 1.0f)) << c.what;
            if (c.code == NEROVA_ERR_JSON) {
                EXPECT_TRUE(r.model.model_contents.empty()) << c.what;
            }
        }
    }
}

TEST(ConfigParserTest, AppendsOnSecondReadAndNeedsRecords) {
    TempDir dir;
    dir.Write("m.onnx", "ONNX");
    Model bare("", dir.path() + "/m.onnx");  // parsed before inference.json exists
    ASSERT_EQ(bare.Parse(), NEROVA_OK);
    Records r;
    EXPECT_EQ(ConfigParser::ParseInferenceConfig(bare, &r.model, &r.network, &r.converter, nullptr),
              NEROVA_ERR_MODEL_FILE_NOT_FOUND);
    dir.Write("inference.json",
              R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "InputsName": ["data", "input"]}})");
    Model model("", dir.path() + "/m.onnx");
    ASSERT_EQ(model.Parse(), NEROVA_OK);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(
            ConfigParser::ParseInferenceConfig(model, &r.model, &r.network, &r.converter, nullptr),
            NEROVA_OK);
    EXPECT_EQ(r.model.inputs_name.size(), 4u);
    EXPECT_EQ(r.model.model_contents.size(), 2u);
    EXPECT_EQ(ConfigParser::ParseInferenceConfig(model, &r.model, nullptr, &r.converter, nullptr),
              NEROVA_ERR_PARAM_NULL);
}

}  // namespace
}  // namespace module
}  // namespace nerova
