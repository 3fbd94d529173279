// Faults the real kernel cannot produce on demand: each gives its chain of log lines and its
// code, leaves the handle usable for the next frame, and leaks nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "face_detector/face_detector_peer.h"
#include "fake_kernel.h"
#include "nerova_face_detector.h"
#include "test_util.h"

// Counts operator new on the calling thread while armed, to prove the steady state of the
// pipeline allocates nothing of its own.
static thread_local bool g_counting = false;
static std::atomic<long> g_news{0};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    if (g_counting) ++g_news;
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (g_counting) ++g_news;
    return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace nerova {
namespace module {
namespace {

using nerova_test::StderrCapture;
using nerova_test::TempDir;

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeKernel() = FakeKernelControl();
        dir_.Write("inference.json", R"({"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}})");
        path_ = dir_.Write("model.onnx", "bytes the fake kernel does not read");
        frame_ = cv::Mat(16, 16, CV_8UC3, cv::Scalar(1, 2, 3));
    }
    void TearDown() override {
        FaceDetectorTestPeer::SetResultAllocator(nullptr);
        EXPECT_EQ(handle_ ? NerovaFaceDetectorDestroy(handle_) : NEROVA_OK, NEROVA_OK);
    }

    NerovaError Create(void** handle, const NerovaCustomRuntime* runtime = nullptr) {
        return NerovaFaceDetectorCreate(path_.c_str(), "", runtime, handle);
    }
    // Process one frame; returns the code, the faces and the lines logged.
    NerovaError Process(std::vector<std::string>* lines, uint32_t* count = nullptr,
                        NerovaFaceInfo** out = nullptr) {
        const NerovaFrame f = nerova_test::BgrFrame(frame_);
        NerovaFaceInfo* faces = reinterpret_cast<NerovaFaceInfo*>(0x20);
        uint32_t n = 12345;
        StderrCapture capture;
        const NerovaError err = NerovaFaceDetectorProcess(handle_, &f, &faces, &n);
        if (lines) *lines = capture.Lines();
        if (count) *count = n;
        if (out) {
            *out = faces;
        } else if (err == NEROVA_OK) {
            NerovaFaceDetectorOutputRelease(faces);
        }
        return err;
    }

    TempDir dir_;
    std::string path_;
    cv::Mat frame_;
    void* handle_ = nullptr;  // destroyed after the test
};

using Chain = std::vector<std::string>;
using nerova_test::LogChain;
using nerova_test::LogEntry;

const std::string kProcess = "nerova::module::FaceDetectorAlgorithm::Process";
const std::string kForward = "nerova::module::FaceDetectorAlgorithm::Forward";
const std::string kPost = "nerova::module::FaceDetectorAlgorithm::Post";
const std::string kApi = "NerovaFaceDetectorProcess";

TEST_F(FaultTest, SetUpFailuresAndTheSingleCpuFallback) {
    const struct {
        const char* what;
        bool fail_init;
        int fail_create;
        NerovaError code;
        size_t create_calls;
        std::map<std::string, std::vector<int>> shapes = {{"input", {1, 3, 16, 16}}};
    } cases[] = {
        {"Init fails", true, 0, NEROVA_ERR_NET, 0},
        {"instance fails once: CPU fallback", false, 1, NEROVA_OK, 2},
        {"instance fails twice", false, 2, NEROVA_ERR_NET, 2},
        {"no input", false, 0, NEROVA_ERR_NET, 1, {}},
        {"input of three dims", false, 0, NEROVA_ERR_NET, 1, {{"input", {1, 3, 16}}}},
    };
    const NerovaCustomRuntime cuda{NEROVA_DEVICE_CUDA, 2, 3};
    for (const auto& c : cases) {
        FakeKernel() = FakeKernelControl();
        FakeKernel().fail_init = c.fail_init;
        FakeKernel().fail_create_instance = c.fail_create;
        FakeKernel().input_shapes = c.shapes;
        void* handle = nullptr;
        StderrCapture capture;
        EXPECT_EQ(Create(&handle, &cuda), c.code) << c.what;
        const auto lines = capture.Lines();
        const auto& calls = FakeKernel().calls;
        EXPECT_EQ(static_cast<size_t>(std::count(calls.begin(), calls.end(), "CreateInstance")),
                  c.create_calls)
            << c.what;
        if (c.create_calls == 2) {
            EXPECT_EQ(FakeKernel().instance_devices,
                      (std::vector<NerovaDeviceType>{NEROVA_DEVICE_CUDA,
                                                     DeviceUtils::GetDefaultCpuDeviceType()}))
                << c.what;
            EXPECT_NE(std::find(calls.begin(), calls.end(), "SetNetworkConfig"), calls.end())
                << c.what;
        }
        if (c.code == NEROVA_OK) {
            EXPECT_TRUE(lines.empty()) << c.what;
            NerovaCustomRuntime running{};
            ASSERT_EQ(NerovaFaceDetectorGetRuntime(handle, &running), NEROVA_OK);
            EXPECT_EQ(
                std::vector<int>({running.device_type, running.device_id, running.thread_num}),
                std::vector<int>({DeviceUtils::GetDefaultCpuDeviceType(), 2, 3}))
                << "the runtime's id and threads are kept";
            EXPECT_EQ(NerovaFaceDetectorDestroy(handle), NEROVA_OK);
        } else {
            ASSERT_EQ(lines.size(), 1u) << c.what;
            EXPECT_EQ(LogChain(lines)[0],
                      LogEntry("NerovaFaceDetectorCreate", 31, "algorithm Init failed."))
                << c.what;
        }
    }
}

void* FailingAllocator(size_t) { return nullptr; }

TEST_F(FaultTest, FailuresDuringAFrameLeaveTheOutputAndTheNextFrameWorks) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    const std::string refused = "RETURN_VALUE_ON_NEQ!";
    const struct {
        const char* what;
        void (*fail)(bool);
        NerovaError code;
        std::string cause;
        int process_line;
        const char* not_called;
    } cases[] = {
        {"input refused", [](bool on) { FakeKernel().fail_set_input = on; }, NEROVA_ERR_NET,
         LogEntry(kForward, 193, refused), 146, "Forward"},
        {"run fails", [](bool on) { FakeKernel().fail_forward = on; }, NEROVA_ERR_NET,
         LogEntry(kForward, 196, refused), 146, "GetOutputBlob"},
        {"output refused", [](bool on) { FakeKernel().fail_get_output = on; }, NEROVA_ERR_NET,
         LogEntry(kForward, 200, refused), 146, nullptr},
        {"result array",
         [](bool on) { FaceDetectorTestPeer::SetResultAllocator(on ? FailingAllocator : nullptr); },
         NEROVA_ERR_OUT_OF_MEMORY,
         LogEntry("nerova::module::FaceDetectorAlgorithm::GetOutput", 327, "RETURN_VALUE_ON_EQ!"),
         150, nullptr},
    };
    for (const auto& c : cases) {
        c.fail(true);
        FakeKernel().calls.clear();
        std::vector<std::string> lines;
        NerovaFaceInfo* faces = nullptr;
        EXPECT_EQ(Process(&lines, nullptr, &faces), c.code) << c.what;
        EXPECT_EQ(faces, reinterpret_cast<NerovaFaceInfo*>(0x20)) << c.what;
        EXPECT_EQ(LogChain(lines),
                  (Chain{c.cause, LogEntry(kProcess, c.process_line, "RETURN_ON_NEQ!"),
                         LogEntry(kApi, 51, "algorithm Process failed.")}))
            << c.what;
        if (c.not_called) {
            const auto& calls = FakeKernel().calls;
            EXPECT_EQ(std::find(calls.begin(), calls.end(), c.not_called), calls.end()) << c.what;
        }
        c.fail(false);
        uint32_t count = 0;
        EXPECT_EQ(Process(&lines, &count), NEROVA_OK) << c.what << ": the next frame works";
        EXPECT_EQ(count, 1u);
    }
}

TEST_F(FaultTest, ExceptionsFromBelowBecomeCodesAndOneLine) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    const std::string kCreate = "NerovaFaceDetectorCreate";
    const struct {
        const char* what;
        FakeThrow FakeKernelControl::*where;
        FakeThrow kind;
        NerovaError code;
        std::string line;  // its beginning
    } cases[] = {
        {"OpenCV", &FakeKernelControl::throw_in_forward, FakeThrow::kCv, NEROVA_ERR_IMAGE_OP,
         LogEntry(kApi, 55, "image operation failed: OpenCV")},
        {"memory", &FakeKernelControl::throw_in_forward, FakeThrow::kBadAlloc,
         NEROVA_ERR_OUT_OF_MEMORY, LogEntry(kApi, 55, "out of memory.")},
        {"other", &FakeKernelControl::throw_in_forward, FakeThrow::kOther, NEROVA_ERR_UNEXPECTED,
         LogEntry(kApi, 55, "unexpected error: injected")},
        {"memory at set-up", &FakeKernelControl::throw_in_init, FakeThrow::kBadAlloc,
         NEROVA_ERR_OUT_OF_MEMORY, LogEntry(kCreate, 36, "out of memory.")},
        {"OpenCV at set-up", &FakeKernelControl::throw_in_init, FakeThrow::kCv, NEROVA_ERR_IMAGE_OP,
         LogEntry(kCreate, 36, "image operation failed: OpenCV")},
    };
    for (const auto& c : cases) {
        FakeKernel().*c.where = c.kind;
        std::vector<std::string> lines;
        if (c.where == &FakeKernelControl::throw_in_init) {
            void* other = reinterpret_cast<void*>(0x30);
            StderrCapture capture;
            EXPECT_EQ(Create(&other), c.code) << c.what;
            lines = capture.Lines();
            EXPECT_EQ(other, reinterpret_cast<void*>(0x30)) << c.what;
        } else {
            EXPECT_EQ(Process(&lines), c.code) << c.what;
            EXPECT_EQ(Process(nullptr), NEROVA_OK) << c.what << ": the next frame works";
        }
        ASSERT_EQ(lines.size(), 1u) << c.what;
        EXPECT_EQ(LogChain(lines)[0].rfind(c.line, 0), 0u) << lines[0];
    }
}

TEST_F(FaultTest, OutputTensorsAreReadWhereTheyLieOrRefused) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    const std::vector<float> row = FakeKernelControl().output_rows;
    const struct {
        const char* what;
        std::vector<int> dims;
        std::vector<float> rows;
        size_t offset_floats = 0;  // floats of -1 in front of the rows
    } cases[] = {
        {"at a byte offset", {1, 1, 10}, row, 7},
        {"two dims", {1, 10}, row},
        {"rows of nine floats", {1, 1, 9}, std::vector<float>(row.begin(), row.end() - 1)},
        {"no data", {1, 1, 10}, {}},
        {"no dims", {}, row},
    };
    for (const auto& c : cases) {
        FakeKernel().output_dims = c.dims;
        FakeKernel().output_rows = c.rows;
        FakeKernel().output_offset_floats = c.offset_floats;
        std::vector<std::string> lines;
        uint32_t count = 0;
        NerovaFaceInfo* faces = nullptr;
        const NerovaError code = Process(&lines, &count, &faces);
        if (c.offset_floats) {
            ASSERT_EQ(code, NEROVA_OK);
            ASSERT_EQ(count, 1u);
            // prior (0.5, 0.5, 0.5, 0.5) on a 16 x 16 frame
            EXPECT_EQ(nerova_test::Describe(std::vector<NerovaFaceInfo>(faces, faces + 1)),
                      std::vector<std::string>{"0.990 4 4 12 12"});
            NerovaFaceDetectorOutputRelease(faces);
            continue;
        }
        EXPECT_EQ(code, NEROVA_ERR_NET) << c.what;
        ASSERT_EQ(lines.size(), 3u) << c.what;
        EXPECT_NE(LogChain(lines)[0].find("[Function " + kPost + "] [Line 214]"), std::string::npos)
            << lines[0];
        EXPECT_EQ(LogChain(lines)[1], LogEntry(kProcess, 148, "RETURN_ON_NEQ!"));
    }
}

std::atomic<int> g_result_allocations{0};
void* CountingAllocator(size_t n) {
    ++g_result_allocations;
    return std::malloc(n);
}

TEST_F(FaultTest, SteadyStateAllocatesOnlyTheResultArray) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Process(nullptr), NEROVA_OK);  // warm up
    FakeKernel().record_calls = false;
    FaceDetectorTestPeer::SetResultAllocator(CountingAllocator);
    const NerovaFrame f = nerova_test::BgrFrame(frame_);
    g_result_allocations = 0;
    g_news = 0;
    for (int i = 0; i < 100; ++i) {
        NerovaFaceInfo* faces = nullptr;
        uint32_t n = 0;
        g_counting = true;
        const NerovaError err = NerovaFaceDetectorProcess(handle_, &f, &faces, &n);
        g_counting = false;
        ASSERT_EQ(err, NEROVA_OK);
        NerovaFaceDetectorOutputRelease(faces);
    }
    const long pipeline_news = g_news;
    // The frame converter hands back a new image per frame by design; that is the
    // framework's allocation, measured alone and subtracted.
    g_news = 0;
    for (int i = 0; i < 100; ++i) {
        g_counting = true;
        const cv::Mat image = FrameConverter::FrameToMat(&f, NEROVA_PIXEL_FORMAT_BGR);
        g_counting = false;
    }
    EXPECT_EQ(g_result_allocations, 100);
    EXPECT_EQ(pipeline_news - g_news, 0) << "operator new calls of the module in 100 steady frames";
}

TEST_F(FaultTest, DestroyAndDeleteOrder) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    FakeKernel().calls.clear();
    EXPECT_EQ(NerovaFaceDetectorDestroy(handle_), NEROVA_OK);
    handle_ = nullptr;
    EXPECT_EQ(FakeKernel().calls, (std::vector<std::string>{"Instance::DeInit", "Inference::DeInit",
                                                            "~Instance", "~Inference"}));

    // Deleting a ready algorithm without DeInit releases the instance before the inference.
    FaceDetectorAlgorithm* algorithm = new FaceDetectorAlgorithm();
    ASSERT_EQ(algorithm->Parse(path_, ""), NEROVA_OK);
    ASSERT_EQ(algorithm->Init(nullptr), NEROVA_OK);
    FakeKernel().calls.clear();
    delete algorithm;
    EXPECT_EQ(FakeKernel().calls, (std::vector<std::string>{"~Instance", "~Inference"}));
}

}  // namespace
}  // namespace module
}  // namespace nerova
