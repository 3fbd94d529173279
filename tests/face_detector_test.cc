// Create, destroy, registration, the parameter record and set-up, on the real kernel.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <set>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

using nerova_test::IsLogLine;
using nerova_test::MakeModelDir;
using nerova_test::StderrCapture;
using nerova_test::TempDir;
using nerova_test::TestModel;

const char kApi[] = "module/face_detector/nerova_face_detector";
const char kAlgo[] = "module/face_detector/face_detector";
void* const kSentinel = reinterpret_cast<void*>(0x1234);

TEST(CreateDestroyTest, NullArgumentsAreLoggedWithTheirLine) {
    TempDir dir;
    const std::string path = MakeModelDir(dir, TestModel("fixed_rows_320.onnx"));
    void* ready = nullptr;
    ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &ready), NEROVA_OK);
    const cv::Mat pixels(8, 8, CV_8UC3, cv::Scalar::all(1));
    const NerovaFrame f = nerova_test::BgrFrame(pixels);
    void* handle = kSentinel;
    NerovaFaceInfo* faces = nullptr;
    uint32_t count = 0;
    const char* create = "NerovaFaceDetectorCreate";
    const char* process = "NerovaFaceDetectorProcess";
    const struct {
        const char* function;
        int line;
        std::function<NerovaError()> call;
    } cases[] = {
        {create, 15, [&] { return NerovaFaceDetectorCreate(nullptr, nullptr, nullptr, &handle); }},
        {create, 15, [&] { return NerovaFaceDetectorCreate(nullptr, "", nullptr, &handle); }},
        {create, 16, [&] { return NerovaFaceDetectorCreate("m.onnx", nullptr, nullptr, &handle); }},
        {create, 17, [&] { return NerovaFaceDetectorCreate("m.onnx", "", nullptr, nullptr); }},
        {"NerovaFaceDetectorDestroy", 69, [&] { return NerovaFaceDetectorDestroy(nullptr); }},
        {process, 45, [&] { return NerovaFaceDetectorProcess(nullptr, &f, &faces, &count); }},
        {process, 46, [&] { return NerovaFaceDetectorProcess(ready, nullptr, &faces, &count); }},
        {process, 47, [&] { return NerovaFaceDetectorProcess(ready, &f, nullptr, &count); }},
        {process, 48, [&] { return NerovaFaceDetectorProcess(ready, &f, &faces, nullptr); }},
    };
    for (const auto& c : cases) {
        StderrCapture capture;
        EXPECT_EQ(c.call(), NEROVA_ERR_PARAM_NULL) << c.function << " " << c.line;
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u) << c.line;
        EXPECT_TRUE(IsLogLine(lines[0], kApi, c.function, c.line, "CHECK_PARAM_NULL!")) << lines[0];
        EXPECT_EQ(handle, kSentinel);
    }
    EXPECT_EQ(NerovaFaceDetectorOutputRelease(nullptr), NEROVA_OK);
    EXPECT_EQ(NerovaFaceDetectorDestroy(ready), NEROVA_OK);
}

TEST(CreateDestroyTest, FailuresGiveTheChainOfLinesAndTheCode) {
    using nerova_test::LogEntry;
    const std::string parse = "nerova::module::FaceDetectorAlgorithm::Parse";
    const std::string parse_failed =
        LogEntry("NerovaFaceDetectorCreate", 24, "algorithm parse failed.");
    const std::string init_failed =
        LogEntry("NerovaFaceDetectorCreate", 31, "algorithm Init failed.");
    const std::string reader = LogEntry(parse, 64, "InferenceConfigParser::ParseInferenceConfig.");
    const char* onnx = R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}})";
    const std::string oversized = onnx + std::string(1 << 20, ' ');  // valid, but past 1 MiB
    const struct {
        const char* json;   // null: no model directory at all
        const char* model;  // test network copied in as model.onnx; null: bytes of no network
        NerovaError code;
        std::vector<std::string> chain;
    } cases[] = {
        {nullptr,
         nullptr,
         NEROVA_ERR_MODEL_PATH,
         {LogEntry(parse, 54, "model.Parse."), parse_failed}},
        {"{\"ModelConfig\": ", "fixed_rows_320.onnx", NEROVA_ERR_JSON, {reader, parse_failed}},
        {oversized.c_str(), "fixed_rows_320.onnx", NEROVA_ERR_JSON, {reader, parse_failed}},
        {R"({"ModelConfig": {"Type": "MODEL_TYPE_TNN"}})",
         "fixed_rows_320.onnx",
         NEROVA_ERR_MODEL_FILE_NOT_FOUND,
         {reader, parse_failed}},
        {onnx, nullptr, NEROVA_ERR_NET, {init_failed}},
        {onnx, "gray_input.onnx", NEROVA_ERR_NET, {init_failed}},
        {onnx, "three_dims.onnx", NEROVA_ERR_NET, {init_failed}},
        {onnx, "symbolic_batch.onnx", NEROVA_ERR_NET, {init_failed}},
        {R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"ThreadNum": 65}})",
         "fixed_rows_320.onnx",
         NEROVA_ERR_NET,
         {init_failed}},
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
        // The file field names the source that logged.
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(
            IsLogLine(lines.back(), kApi, "NerovaFaceDetectorCreate", c.chain.size() == 1 ? 31 : 24,
                      c.chain.size() == 1 ? "algorithm Init failed." : "algorithm parse failed."));
        if (c.chain.size() == 2) {
            EXPECT_NE(lines[0].find(std::string(kAlgo) + ".cc]"), std::string::npos);
        }
    }
}

TEST(CreateDestroyTest, ReadyHandleWithAndWithoutRuntimeAndCpuFallback) {
    TempDir dir;
    const std::string path = MakeModelDir(
        dir, TestModel("fixed_rows_320.onnx"),
        R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceType": "DEVICE_X86", "ThreadNum": 2}})");
    struct Case {
        const char* what;
        bool with_runtime;
        NerovaCustomRuntime runtime;
        NerovaDeviceType device;
        int threads;
    };
    // A host's device value as the 32-bit integer it wrote, in or outside the enumeration.
    auto runtime = [](int32_t device, int32_t id, int32_t threads) {
        NerovaCustomRuntime r{};
        std::memcpy(&r.device_type, &device, sizeof device);
        r.device_id = id;
        r.thread_num = threads;
        return r;
    };
    const NerovaDeviceType cpu = DeviceUtils::GetDefaultCpuDeviceType();
    const Case cases[] = {
        {"file settings", false, {}, NEROVA_DEVICE_X86, 2},
        {"negative device falls back", true, runtime(-7, 0, 1), cpu, 1},
        {"device above the enumeration falls back", true, runtime(0x7fffffff, 0, 1), cpu, 1},
        {"runtime on the CPU", true, {NEROVA_DEVICE_ARM, 0, 1}, NEROVA_DEVICE_ARM, 1},
        {"CUDA falls back",
         true,
         {NEROVA_DEVICE_CUDA, 1, 3},
         DeviceUtils::GetDefaultCpuDeviceType(),
         3},
    };
    for (const Case& c : cases) {
        void* handle = nullptr;
        StderrCapture capture;
        ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", c.with_runtime ? &c.runtime : nullptr,
                                           &handle),
                  NEROVA_OK)
            << c.what;
        EXPECT_EQ(capture.Stop().find("E/nerova"), std::string::npos)
            << "nothing is logged on success";
        auto* algorithm = static_cast<FaceDetectorAlgorithm*>(handle);
        auto* param = static_cast<FaceDetectorParam*>(algorithm->GetParam());
        NerovaCustomRuntime running{};
        ASSERT_EQ(NerovaFaceDetectorGetRuntime(handle, &running), NEROVA_OK);
        EXPECT_EQ(running.device_type, c.device) << c.what;
        EXPECT_EQ(running.thread_num, c.threads) << c.what;
        if (c.with_runtime) {
            EXPECT_EQ(running.device_id, c.runtime.device_id) << c.what;
        }
        int h = 0, w = 0;
        NerovaInterpType interp;
        EXPECT_EQ(param->GetModelInputHWInterpType(&h, &w, &interp), NEROVA_OK);
        EXPECT_EQ(h * 1000 + w, 320320);
        EXPECT_EQ(param->network_config.extra_strings, std::vector<std::string>{dir.path()});
        EXPECT_EQ(FaceDetectorTestPeer::input_blob(*algorithm)->GetBlobDesc().dims,
                  (std::vector<int>{1, 3, 320, 320}));
        EXPECT_EQ(NerovaFaceDetectorDestroy(handle), NEROVA_OK);
    }
}

TEST(SettingsTest, RefusalsAndRangeEdgesLeaveTheSettingsAsTheyWere) {
    TempDir dir;
    const std::string path = MakeModelDir(dir, TestModel("fixed_rows_320.onnx"));
    void* handle = nullptr;
    ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &handle), NEROVA_OK);
    enum Which { kScore, kNms, kTopK, kGetSettings, kGetRuntime };
    const char* const names[] = {"NerovaFaceDetectorSetScoreThreshold",
                                 "NerovaFaceDetectorSetNmsThreshold", "NerovaFaceDetectorSetTopK",
                                 "NerovaFaceDetectorGetSettings", "NerovaFaceDetectorGetRuntime"};
    const float nan = std::nanf("");
    struct Case {
        Which which;
        bool null_handle;
        double value;
        NerovaError want;
        int line;  // of the one log line on failure
    };
    // In order: each row starts from the settings the previous rows left.
    const Case cases[] = {
        {kScore, false, 0.0, NEROVA_OK, 0},
        {kScore, false, 1.0, NEROVA_OK, 0},
        {kScore, false, 1.0001, NEROVA_ERR_PARAM_RANGE, 92},
        {kScore, false, -1e-6, NEROVA_ERR_PARAM_RANGE, 92},
        {kScore, false, nan, NEROVA_ERR_PARAM_RANGE, 92},
        {kScore, true, 0.5, NEROVA_ERR_PARAM_NULL, 90},
        {kNms, false, 0.0, NEROVA_OK, 0},
        {kNms, false, 1.0, NEROVA_OK, 0},
        {kNms, false, 1.5, NEROVA_ERR_PARAM_RANGE, 102},
        {kNms, false, nan, NEROVA_ERR_PARAM_RANGE, 102},
        {kNms, true, 0.5, NEROVA_ERR_PARAM_NULL, 100},
        {kTopK, false, 1, NEROVA_OK, 0},
        {kTopK, false, 100000, NEROVA_OK, 0},
        {kTopK, false, 0, NEROVA_ERR_PARAM_RANGE, 112},
        {kTopK, false, 100001, NEROVA_ERR_PARAM_RANGE, 112},
        {kTopK, false, -5, NEROVA_ERR_PARAM_RANGE, 112},
        {kTopK, true, 5, NEROVA_ERR_PARAM_NULL, 110},
        {kGetSettings, true, 0, NEROVA_ERR_PARAM_NULL, 120},
        {kGetSettings, false, 1, NEROVA_ERR_PARAM_NULL, 121},  // value: which pointer is null
        {kGetSettings, false, 2, NEROVA_ERR_PARAM_NULL, 122},
        {kGetSettings, false, 3, NEROVA_ERR_PARAM_NULL, 123},
        {kGetRuntime, true, 0, NEROVA_ERR_PARAM_NULL, 130},
        {kGetRuntime, false, 0, NEROVA_ERR_PARAM_NULL, 131},
    };
    float score = 0.95f, nms = 0.7f;
    int32_t top_k = 10;
    for (const Case& c : cases) {
        void* h = c.null_handle ? nullptr : handle;
        float got_score = -1, got_nms = -1;
        int32_t got_top_k = -1;
        StderrCapture capture;
        NerovaError err = NEROVA_OK;
        switch (c.which) {
            case kScore:
                err = NerovaFaceDetectorSetScoreThreshold(h, static_cast<float>(c.value));
                break;
            case kNms:
                err = NerovaFaceDetectorSetNmsThreshold(h, static_cast<float>(c.value));
                break;
            case kTopK:
                err = NerovaFaceDetectorSetTopK(h, static_cast<int32_t>(c.value));
                break;
            case kGetSettings:
                err = NerovaFaceDetectorGetSettings(h, c.value == 1 ? nullptr : &got_score,
                                                    c.value == 2 ? nullptr : &got_nms,
                                                    c.value == 3 ? nullptr : &got_top_k);
                break;
            case kGetRuntime:
                err = NerovaFaceDetectorGetRuntime(h, nullptr);
                break;
        }
        const std::string what = std::string(names[c.which]) + " " + std::to_string(c.value);
        EXPECT_EQ(err, c.want) << what;
        const auto lines = capture.Lines();
        if (c.want == NEROVA_OK) {
            EXPECT_TRUE(lines.empty()) << what;
            if (c.which == kScore) score = static_cast<float>(c.value);
            if (c.which == kNms) nms = static_cast<float>(c.value);
            if (c.which == kTopK) top_k = static_cast<int32_t>(c.value);
        } else {
            ASSERT_EQ(lines.size(), 1u) << what;
            EXPECT_TRUE(IsLogLine(
                lines[0], kApi, names[c.which], c.line,
                c.want == NEROVA_ERR_PARAM_NULL ? "CHECK_PARAM_NULL!" : "value out of range."))
                << lines[0];
        }
        ASSERT_EQ(NerovaFaceDetectorGetSettings(handle, &got_score, &got_nms, &got_top_k),
                  NEROVA_OK);
        EXPECT_EQ(got_score, score) << what;
        EXPECT_EQ(got_nms, nms) << what;
        EXPECT_EQ(got_top_k, top_k) << what;
    }
    // The record's by-key access stays unsupported.
    EXPECT_EQ(static_cast<FaceDetectorAlgorithm*>(handle)->GetParam()->SetParam("top_k", 5),
              NEROVA_ERR_PARAM_KEY);
    EXPECT_EQ(NerovaFaceDetectorDestroy(handle), NEROVA_OK);
}

TEST(SettingsTest, EveryCodeHasItsOwnText) {
    const std::string unknown = NerovaErrorString(0x7777);
    std::set<std::string> texts;
    int known = 0;
    for (NerovaError code = -1; code < 0x4000; ++code) {
        const std::string text = NerovaErrorString(code);
        if (text == unknown) continue;
        ++known;
        EXPECT_TRUE(texts.insert(text).second) << code << " shares its text";
    }
    for (NerovaError code : {NEROVA_ERR_OUT_OF_MEMORY, NEROVA_ERR_IMAGE_OP, NEROVA_ERR_UNEXPECTED,
                             NEROVA_ERR_MODEL_FILE_TOO_LARGE})
        EXPECT_NE(NerovaErrorString(code), unknown) << code;
    EXPECT_GE(known, 20);
}

TEST(AlgorithmTest, StateBeforeSetUpAndSecondParse) {
    TempDir dir;
    const std::string path = MakeModelDir(dir, TestModel("fixed_rows_320.onnx"));
    FaceDetectorAlgorithm algorithm;
    EXPECT_EQ(algorithm.GetParam(), nullptr);
    EXPECT_EQ(algorithm.DeInit(), NEROVA_OK) << "nothing to de-initialise";
    ASSERT_EQ(algorithm.Parse(path, ""), NEROVA_OK);
    auto* param = static_cast<FaceDetectorParam*>(algorithm.GetParam());
    ASSERT_EQ(algorithm.Init(nullptr), NEROVA_OK);
    EXPECT_EQ(param->model_input_h, 320);

    // A second Parse replaces the record; extra_strings again holds one entry.
    ASSERT_EQ(algorithm.Parse(path, ""), NEROVA_OK);
    EXPECT_NE(algorithm.GetParam(), param);
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
    // The exported C functions resolve by their plain names.
    for (const char* name :
         {"NerovaFaceDetectorCreate", "NerovaFaceDetectorDestroy", "NerovaFaceDetectorProcess",
          "NerovaFaceDetectorOutputRelease", "NerovaFaceDetectorSetTopK", "NerovaErrorString",
          "NerovaFaceDetectorVersion"}) {
        EXPECT_NE(dlsym(lib, name), nullptr) << name;
    }
    // The creator's code lives in the library, which therefore stays loaded.
}

}  // namespace
}  // namespace module
}  // namespace nerova
