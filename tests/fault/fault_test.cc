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

using Chain = std::vector<std::string>;
using nerova_test::LogChain;
using nerova_test::LogEntry;
using nerova_test::StderrCapture;

NerovaFaceInfo* const kUntouched = reinterpret_cast<NerovaFaceInfo*>(0x20);
const std::string kProcess = "nerova::module::FaceDetectorAlgorithm::Process";
const std::string kForward = "nerova::module::FaceDetectorAlgorithm::Forward";
const std::string kApi = "NerovaFaceDetectorProcess";

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
    // Processes one frame into lines_ (logged) and faces_; a failure must leave the
    // caller's faces pointer alone.
    NerovaError Process() {
        const NerovaFrame f = nerova_test::BgrFrame(frame_);
        NerovaFaceInfo* faces = kUntouched;
        uint32_t count = 0;
        StderrCapture capture;
        const NerovaError err = NerovaFaceDetectorProcess(handle_, &f, &faces, &count);
        lines_ = capture.Lines();
        faces_.clear();
        if (err != NEROVA_OK) {
            EXPECT_EQ(faces, kUntouched);
            return err;
        }
        faces_.assign(faces, faces + count);
        NerovaFaceDetectorOutputRelease(faces);
        return err;
    }

    nerova_test::TempDir dir_;
    std::string path_;
    cv::Mat frame_;
    void* handle_ = nullptr;  // destroyed after the test
    std::vector<std::string> lines_;
    std::vector<NerovaFaceInfo> faces_;
};

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
    const NerovaDeviceType cpu = DeviceUtils::GetDefaultCpuDeviceType();
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
                      (std::vector<NerovaDeviceType>{NEROVA_DEVICE_CUDA, cpu}))
                << c.what;
        }
        if (c.code != NEROVA_OK) {
            // Why Init refused (the kernel's reason or the input's), then the call's line.
            const Chain chain = LogChain(lines);
            ASSERT_EQ(chain.size(), 2u) << c.what;
            EXPECT_EQ(chain[0].rfind("[Function nerova::module::FaceDetectorAlgorithm::Init] "
                                     "[Line ",
                                     0),
                      0u)
                << chain[0];
            EXPECT_NE(chain[0].find("] the network cannot be used: "), std::string::npos)
                << chain[0];
            EXPECT_EQ(chain[1], LogEntry("NerovaFaceDetectorCreate", 31, "algorithm Init failed."))
                << c.what;
            continue;
        }
        EXPECT_TRUE(lines.empty()) << c.what;
        NerovaCustomRuntime running{};
        ASSERT_EQ(NerovaFaceDetectorGetRuntime(handle, &running), NEROVA_OK);
        EXPECT_EQ(std::vector<int>({running.device_type, running.device_id, running.thread_num}),
                  std::vector<int>({cpu, 2, 3}))
            << "the runtime's id and threads are kept";
        EXPECT_EQ(NerovaFaceDetectorDestroy(handle), NEROVA_OK);
    }
}

void* FailingAllocator(size_t) { return nullptr; }

TEST_F(FaultTest, FailuresDuringAFrameGiveTheirChainAndTheNextFrameWorks) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    const std::string refused = "RETURN_VALUE_ON_NEQ!";
    const std::string not_rows = LogEntry("nerova::module::FaceDetectorAlgorithm::Post", 214,
                                          "output blob is not rows of at least ten floats.");
    using K = FakeKernelControl;
    const struct {
        const char* what;
        void (*fail)(K&);
        NerovaError code;
        std::string cause;
        int process_line;  // of the step that failed
        const char* not_called = nullptr;
    } cases[] = {
        {"input refused", [](K& k) { k.fail_set_input = true; }, NEROVA_ERR_NET,
         LogEntry(kForward, 193, refused), 146, "Forward"},
        {"run fails", [](K& k) { k.fail_forward = true; }, NEROVA_ERR_NET,
         LogEntry(kForward, 196, refused), 146, "GetOutputBlob"},
        {"output refused", [](K& k) { k.fail_get_output = true; }, NEROVA_ERR_NET,
         LogEntry(kForward, 200, refused), 146},
        {"output of two dims",
         [](K& k) {
             k.output_dims = {1, 10};
         },
         NEROVA_ERR_NET, not_rows, 148},
        {"rows of nine floats",
         [](K& k) {
             k.output_dims = {1, 1, 9};
             k.output_rows.pop_back();
         },
         NEROVA_ERR_NET, not_rows, 148},
        {"no output data", [](K& k) { k.output_rows.clear(); }, NEROVA_ERR_NET, not_rows, 148},
        {"no output dims", [](K& k) { k.output_dims.clear(); }, NEROVA_ERR_NET, not_rows, 148},
        {"result array", [](K&) { FaceDetectorTestPeer::SetResultAllocator(FailingAllocator); },
         NEROVA_ERR_OUT_OF_MEMORY,
         LogEntry("nerova::module::FaceDetectorAlgorithm::GetOutput", 327, "RETURN_VALUE_ON_EQ!"),
         150},
    };
    for (const auto& c : cases) {
        FakeKernel() = FakeKernelControl();
        c.fail(FakeKernel());
        EXPECT_EQ(Process(), c.code) << c.what;
        EXPECT_EQ(LogChain(lines_),
                  (Chain{c.cause, LogEntry(kProcess, c.process_line, "RETURN_ON_NEQ!"),
                         LogEntry(kApi, 51, "algorithm Process failed.")}))
            << c.what;
        const auto& calls = FakeKernel().calls;
        if (c.not_called) {
            EXPECT_EQ(std::find(calls.begin(), calls.end(), c.not_called), calls.end()) << c.what;
        }
        FakeKernel() = FakeKernelControl();
        FaceDetectorTestPeer::SetResultAllocator(nullptr);
        EXPECT_EQ(Process(), NEROVA_OK) << c.what << ": the next frame works";
        EXPECT_EQ(faces_.size(), 1u);
    }
}

TEST_F(FaultTest, OutputIsReadAtItsByteOffset) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    FakeKernel().output_offset_floats = 7;  // seven floats of -1 in front of the rows
    ASSERT_EQ(Process(), NEROVA_OK);
    // prior (0.5, 0.5, 0.5, 0.5) on a 16 x 16 frame
    EXPECT_EQ(nerova_test::Describe(faces_), Chain{"0.990 4 4 12 12"});
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
        if (c.where == &FakeKernelControl::throw_in_init) {
            void* other = reinterpret_cast<void*>(0x30);
            StderrCapture capture;
            EXPECT_EQ(Create(&other), c.code) << c.what;
            lines_ = capture.Lines();
            EXPECT_EQ(other, reinterpret_cast<void*>(0x30)) << c.what;
        } else {
            EXPECT_EQ(Process(), c.code) << c.what;
        }
        ASSERT_EQ(lines_.size(), 1u) << c.what;
        EXPECT_EQ(LogChain(lines_)[0].rfind(c.line, 0), 0u) << lines_[0];
        EXPECT_EQ(Process(), NEROVA_OK) << c.what << ": the next frame works";
    }
}

std::atomic<int> g_result_allocations{0};
void* CountingAllocator(size_t n) {
    ++g_result_allocations;
    return std::malloc(n);
}

TEST_F(FaultTest, SteadyStateAllocatesOnlyTheResultArray) {
    ASSERT_EQ(Create(&handle_), NEROVA_OK);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Process(), NEROVA_OK);  // warm up
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
    EXPECT_EQ(g_result_allocations, 100);
    // A BGR frame is read where it lies: nothing else is allocated, not even its copy.
    EXPECT_EQ(g_news, 0) << "operator new calls of the module in 100 steady frames";
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
