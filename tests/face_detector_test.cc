// Create, destroy, registration, the parameter record and set-up, on the real kernel.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::Detector;
using nerova_test::IsLogLine;
using nerova_test::MakeModelDir;
using nerova_test::StderrCapture;
using nerova_test::TempDir;
using nerova_test::TestModel;

const char kApi[] = "module/face_detector/nerova_face_detector";
void* const kSentinel = reinterpret_cast<void*>(0x1234);

TEST(CreateDestroyTest, NullArgumentsAreLoggedWithTheirLine) {
    const Detector d("fixed_rows_320.onnx");
    void* ready = d.handle();
    const cv::Mat pixels(8, 8, CV_8UC3, cv::Scalar::all(1));
    const NerovaFrame f = nerova_test::BgrFrame(pixels);
    void* handle = kSentinel;
    NerovaFaceInfo* faces = nullptr;
    uint32_t count = 0;
    float score, nms;
    int32_t top_k;
    NerovaCustomRuntime runtime;
    // The function called, the line of its check and its arguments.
    struct Row {
        const char* function;
        int line;
        std::function<NerovaError()> call;
    };
    // clang-format off
#define NULL_ROW(line, function, ...) Row{#function, line, [&] { return function(__VA_ARGS__); }}
    // clang-format on
    const Row cases[] = {
        NULL_ROW(15, NerovaFaceDetectorCreate, nullptr, nullptr, nullptr, &handle),
        NULL_ROW(16, NerovaFaceDetectorCreate, "m.onnx", nullptr, nullptr, &handle),
        NULL_ROW(17, NerovaFaceDetectorCreate, "m.onnx", "", nullptr, nullptr),
        NULL_ROW(69, NerovaFaceDetectorDestroy, nullptr),
        NULL_ROW(45, NerovaFaceDetectorProcess, nullptr, &f, &faces, &count),
        NULL_ROW(46, NerovaFaceDetectorProcess, ready, nullptr, &faces, &count),
        NULL_ROW(47, NerovaFaceDetectorProcess, ready, &f, nullptr, &count),
        NULL_ROW(48, NerovaFaceDetectorProcess, ready, &f, &faces, nullptr),
        NULL_ROW(90, NerovaFaceDetectorSetScoreThreshold, nullptr, 0.5f),
        NULL_ROW(100, NerovaFaceDetectorSetNmsThreshold, nullptr, 0.5f),
        NULL_ROW(110, NerovaFaceDetectorSetTopK, nullptr, 5),
        NULL_ROW(120, NerovaFaceDetectorGetSettings, nullptr, &score, &nms, &top_k),
        NULL_ROW(121, NerovaFaceDetectorGetSettings, ready, nullptr, &nms, &top_k),
        NULL_ROW(122, NerovaFaceDetectorGetSettings, ready, &score, nullptr, &top_k),
        NULL_ROW(123, NerovaFaceDetectorGetSettings, ready, &score, &nms, nullptr),
        NULL_ROW(130, NerovaFaceDetectorGetRuntime, nullptr, &runtime),
        NULL_ROW(131, NerovaFaceDetectorGetRuntime, ready, nullptr),
    };
#undef NULL_ROW
    for (const auto& c : cases) {
        StderrCapture capture;
        EXPECT_EQ(c.call(), NEROVA_ERR_PARAM_NULL) << c.function << " " << c.line;
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_TRUE(IsLogLine(lines[0], kApi, c.function, c.line, "CHECK_PARAM_NULL!")) << lines[0];
        EXPECT_EQ(handle, kSentinel);
    }
    EXPECT_EQ(NerovaFaceDetectorOutputRelease(nullptr), NEROVA_OK);
}

TEST(CreateDestroyTest, FailuresGiveTheChainOfLinesAndTheCode) {
    using nerova_test::LogEntry;
    const std::string parse = "nerova::module::FaceDetectorAlgorithm::Parse";
    const std::string parse_failed =
        LogEntry("NerovaFaceDetectorCreate", 24, "algorithm parse failed.");
    const std::string init_failed =
        LogEntry("NerovaFaceDetectorCreate", 31, "algorithm Init failed.");
    const std::string reader = LogEntry(parse, 64, "InferenceConfigParser::ParseInferenceConfig.");
    // The innermost line says why, in a user's words.
    const auto why = [&](int line, const std::string& reason) {
        return LogEntry(parse, line, reason);
    };
    const std::string init = "nerova::module::FaceDetectorAlgorithm::Init";
    const auto refused = [&](int line, const std::string& reason) {
        return LogEntry(init, line, "the network cannot be used: " + reason + ".");
    };
    const std::string bad_json =
        "inference.json is not a valid configuration (JSON, keys and types)";
    const char* onnx = R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}})";
    const std::string oversized = onnx + std::string(1 << 20, ' ');  // valid, but past 1 MiB
    const struct {
        NerovaError code;
        std::vector<std::string> chain;
        const char* json;                           // null: no model directory at all
        const char* model = "fixed_rows_320.onnx";  // copied in as model.onnx; null: no network
    } cases[] = {
        {NEROVA_ERR_MODEL_PATH,
         {why(53, "no model file at the path given"), LogEntry(parse, 54, "model.Parse."),
          parse_failed},
         nullptr},
        {NEROVA_ERR_JSON, {why(63, bad_json), reader, parse_failed}, "{\"ModelConfig\": "},
        {NEROVA_ERR_JSON, {why(63, bad_json), reader, parse_failed}, oversized.c_str()},
        {NEROVA_ERR_JSON,
         {why(66, "\"CandidatePool\" is not an integer from 0 to 4096"), parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"CandidatePool": 4097}})"},
        {NEROVA_ERR_JSON,
         {why(66, "\"Detection\" has an unknown key \"CandidatPool\""), parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"CandidatPool": 8}})"},
        {NEROVA_ERR_JSON,
         {why(66, "\"OverlapMerge\" is not \"OVERLAP_DROP\" or \"OVERLAP_BLEND\""), parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"OverlapMerge": 1}})"},
        {NEROVA_ERR_JSON,
         {why(66, "\"ConfirmTileFaces\" is not an integer from 0 to 256"), parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"ConfirmTileFaces": 257}})"},
        {NEROVA_ERR_JSON,
         {why(66, "\"NmsThreshold\" is not a number from 0 to 1"), parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"NmsThreshold": 1.5}})"},
        {NEROVA_ERR_NET,
         {refused(8, "its rows are shorter than the 12 values its landmarks need"), init_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"Landmarks": ["a"]}})"},
        {NEROVA_ERR_JSON,
         {why(66, "\"Landmarks\" is not a list of up to 64 distinct names of 1 to 63 characters"),
          parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": {"Landmarks": ["a", "a"]}})"},
        {NEROVA_ERR_JSON,
         {why(66, "\"Detection\" is not an object"), parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "Detection": []})"},
        {NEROVA_ERR_MODEL_FILE_NOT_FOUND,
         {why(63,
              "no file of the model's type MODEL_TYPE_TNN in its directory; this build runs "
              "MODEL_TYPE_ONNX networks"),
          reader, parse_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_TNN"}})"},
        {NEROVA_ERR_NET,
         {refused(1, "model contents are not an ONNX model"), init_failed},
         onnx,
         nullptr},
        {NEROVA_ERR_NET,
         {refused(6, "its input does not have three channels"), init_failed},
         onnx,
         "gray_input.onnx"},
        {NEROVA_ERR_NET,
         {refused(2, "thread count 65 exceeds 64"), init_failed},
         R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"ThreadNum": 65}})"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::string path = dir.path() + "/model.onnx";
        if (c.json) {
            path = c.model ? MakeModelDir(dir, TestModel(c.model), c.json)
                           : (dir.Write("inference.json", c.json),
                              dir.Write("model.onnx", "no network"));
        }
        void* handle = kSentinel;
        StderrCapture capture;
        EXPECT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &handle), c.code)
            << c.chain[0];
        const auto lines = capture.Lines();
        EXPECT_EQ(handle, kSentinel);
        EXPECT_EQ(nerova_test::LogChain(lines), c.chain);
    }
}

TEST(CreateDestroyTest, RuntimeRecordDecidesTheDeviceWithCpuFallback) {
    const std::string json = R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"},
                                 "NetworkConfig": {"DeviceType": "DEVICE_X86", "ThreadNum": 2}})";
    // A host's device value as the 32-bit integer it wrote, in or outside the enumeration.
    auto runtime = [](int32_t device, int32_t id, int32_t threads) {
        NerovaCustomRuntime r{NEROVA_DEVICE_ARM, id, threads};
        std::memcpy(&r.device_type, &device, sizeof device);
        return r;
    };
    const NerovaDeviceType cpu = DeviceUtils::GetDefaultCpuDeviceType();
    const struct {
        const char* what;
        bool with_runtime;
        NerovaCustomRuntime runtime;
        NerovaDeviceType device;
        int threads;
    } cases[] = {
        {"file settings", false, {}, NEROVA_DEVICE_X86, 2},
        {"negative device falls back", true, runtime(-7, 0, 1), cpu, 1},
        {"device above the enumeration falls back", true, runtime(0x7fffffff, 0, 1), cpu, 1},
        {"runtime on the CPU", true, runtime(NEROVA_DEVICE_ARM, 0, 1), NEROVA_DEVICE_ARM, 1},
        {"CUDA falls back", true, runtime(NEROVA_DEVICE_CUDA, 1, 3), cpu, 3},
    };
    for (const auto& c : cases) {
        StderrCapture capture;
        const Detector d("fixed_rows_320.onnx", json, c.with_runtime ? &c.runtime : nullptr);
        EXPECT_EQ(capture.Stop().find("E/nerova"), std::string::npos)
            << "nothing is logged on success";
        NerovaCustomRuntime running{};
        ASSERT_EQ(NerovaFaceDetectorGetRuntime(d.handle(), &running), NEROVA_OK);
        EXPECT_EQ(running.device_type, c.device) << c.what;
        EXPECT_EQ(running.thread_num, c.threads) << c.what;
        EXPECT_EQ(running.device_id, c.runtime.device_id) << c.what;
    }
}

TEST(SettingsTest, RefusalsAndRangeEdgesLeaveTheSettingsAsTheyWere) {
    const Detector d("fixed_rows_320.onnx");
    void* handle = d.handle();
    const char* const names[] = {"NerovaFaceDetectorSetScoreThreshold",
                                 "NerovaFaceDetectorSetNmsThreshold", "NerovaFaceDetectorSetTopK"};
    const float nan = std::nanf("");
    // In order: each row starts from the settings the previous rows left.
    const struct {
        int which;  // score threshold, NMS threshold, top_k
        float value;
        int line;  // of the one log line of a refusal; 0: accepted
    } cases[] = {
        {0, 0.0f, 0},   {0, 1.0f, 0}, {0, 1.0001f, 92}, {0, -1e-6f, 92}, {0, nan, 92},
        {1, 0.0f, 0},   {1, 1.0f, 0}, {1, 1.5f, 102},   {1, nan, 102},   {2, 1, 0},
        {2, 100000, 0}, {2, 0, 112},  {2, 100001, 112}, {2, -5, 112},
    };
    float want[3] = {0.95f, 0.7f, 10};
    for (const auto& c : cases) {
        StderrCapture capture;
        const NerovaError err = c.which == 0 ? NerovaFaceDetectorSetScoreThreshold(handle, c.value)
                                : c.which == 1
                                    ? NerovaFaceDetectorSetNmsThreshold(handle, c.value)
                                    : NerovaFaceDetectorSetTopK(handle, int32_t(c.value));
        const std::string what = std::string(names[c.which]) + " " + std::to_string(c.value);
        EXPECT_EQ(err, c.line ? NEROVA_ERR_PARAM_RANGE : NEROVA_OK) << what;
        EXPECT_EQ(nerova_test::LogChain(capture.Lines()),
                  c.line ? std::vector<std::string>{nerova_test::LogEntry(names[c.which], c.line,
                                                                          "value out of range.")}
                         : std::vector<std::string>{})
            << what;
        if (!c.line) want[c.which] = c.value;
        float score = -1, nms = -1;
        int32_t top_k = -1;
        ASSERT_EQ(NerovaFaceDetectorGetSettings(handle, &score, &nms, &top_k), NEROVA_OK);
        EXPECT_EQ(std::vector<float>({score, nms, float(top_k)}),
                  std::vector<float>(want, want + 3))
            << what;
    }
}

TEST(AlgorithmTest, SetUpMayBeRepeated) {
    TempDir dir;
    const std::string path = MakeModelDir(dir, TestModel("fixed_rows_320.onnx"));
    FaceDetectorAlgorithm algorithm;
    EXPECT_EQ(algorithm.DeInit(), NEROVA_OK) << "nothing to de-initialise";
    ASSERT_EQ(algorithm.Parse(path, ""), NEROVA_OK);
    ASSERT_EQ(algorithm.Init(nullptr), NEROVA_OK);
    // A second Parse replaces the record rather than adding to it (ASan sees what leaks).
    ASSERT_EQ(algorithm.Parse(path, ""), NEROVA_OK);
    EXPECT_EQ(
        static_cast<FaceDetectorParam*>(algorithm.GetParam())->network_config.extra_strings.size(),
        1u);
}

TEST(RegistrationTest, LoadingTheLibraryRegistersOneCreatorUnder4100) {
    auto& map = GetGlobalAlgorithmCreatorMap();
    // This binary links the module's objects, so its own registrar already ran; loading the
    // shared library runs the library's registrar, which must replace that creator.
    ASSERT_EQ(map.count(ALGORITHM_TYPE_FACE_DETECTOR), 1u);
    std::weak_ptr<AlgorithmCreator> before = map[ALGORITHM_TYPE_FACE_DETECTOR];
    void* lib = dlopen(NEROVA_MODULE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_EQ(map.size(), 1u);
    EXPECT_TRUE(before.expired()) << "the earlier creator is released";
    AbstractAlgorithm* algorithm = map[ALGORITHM_TYPE_FACE_DETECTOR]->CreateAlgorithm();
    ASSERT_NE(algorithm, nullptr);
    EXPECT_EQ(algorithm->GetParam(), nullptr);
    EXPECT_EQ(algorithm->DeInit(), NEROVA_OK);
    delete algorithm;
    // The creator's code lives in the library, which therefore stays loaded.
}

}  // namespace
}  // namespace module
}  // namespace nerova
