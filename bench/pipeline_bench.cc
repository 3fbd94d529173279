// Speed of the detector against its floor and a classical peer, measured in one run:
//   Pipeline    the whole exported process call (frame in, faces out), on the XNNPACK body
//               where the build has it
//   PreProcess  letterbox, float conversion, mean subtraction and the tensor's write
//   DecodeNms   decoding of the output rows plus suppression
//   RawForward  OpenCV DNN's forward of the same network on a ready blob: OpenCV's floor
//   Haar        OpenCV's Haar cascade (frontal faces) on the same frame
// Arguments: {model index, frame height, threads}. Environment: NEROVA_BENCH_IMAGE overrides
// the sample photo.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"

namespace {

const char* const kModels[] = {"face_detector_back_256", "face_detector_front_128"};

std::string ModelPath(int index) {
    return std::string(NEROVA_SOURCE_DIR) + "/models/" + kModels[index] + "/model.onnx";
}

cv::Mat Frame(int height) {
    static cv::Mat photo;
    if (photo.empty()) {
        const char* env = std::getenv("NEROVA_BENCH_IMAGE");
        photo = cv::imread(env ? env
                               : std::string(NEROVA_SOURCE_DIR) + "/models/samples/group_1897.jpg");
        if (photo.empty()) photo = cv::Mat(720, 1280, CV_8UC3, cv::Scalar(90, 120, 150));
    }
    const int w = height == 480 ? 640 : height * 16 / 9;  // 640x480, 1280x720, 1920x1080
    // Centre crop to the frame's aspect first, so that faces keep their shape.
    const double aspect = static_cast<double>(w) / height;
    cv::Rect crop(0, 0, photo.cols, photo.rows);
    if (photo.cols > aspect * photo.rows) {
        crop.width = static_cast<int>(aspect * photo.rows);
        crop.x = (photo.cols - crop.width) / 2;
    } else {
        crop.height = static_cast<int>(photo.cols / aspect);
        crop.y = (photo.rows - crop.height) / 2;
    }
    cv::Mat out;
    cv::resize(photo(crop), out, cv::Size(w, height), 0, 0, cv::INTER_LINEAR);
    return out;
}

NerovaFrame ToFrame(const cv::Mat& m) {
    NerovaFrame f{};
    f.pixel_format = NEROVA_PIXEL_FORMAT_BGR;
    f.width = m.cols;
    f.height = m.rows;
    f.data[0] = m.data;
    f.stride[0] = static_cast<int32_t>(m.step[0]);
    return f;
}

void* CreateDetector(benchmark::State& state) {
    NerovaCustomRuntime runtime{NEROVA_DEVICE_X86, 0, static_cast<int32_t>(state.range(2))};
    void* handle = nullptr;
    if (NerovaFaceDetectorCreate(ModelPath(static_cast<int>(state.range(0))).c_str(), "", &runtime,
                                 &handle) != NEROVA_OK) {
        state.SkipWithError("the bundled model cannot be loaded");
        return nullptr;
    }
    auto* param = static_cast<nerova::module::FaceDetectorParam*>(
        static_cast<nerova::module::FaceDetectorAlgorithm*>(handle)->GetParam());
    param->top_k = 100;  // as the command-line tool runs it
    return handle;
}

void Label(benchmark::State& state) {
    state.SetLabel(std::string(kModels[state.range(0)]) + " h" + std::to_string(state.range(1)) +
                   " t" + std::to_string(state.range(2)));
}

// A detector and a frame for one benchmark; labels the result and destroys the detector.
struct Setup {
    explicit Setup(benchmark::State& s)
        : state(s),
          handle(CreateDetector(s)),
          frame(Frame(static_cast<int>(s.range(1)))),
          f(ToFrame(frame)) {}
    ~Setup() {
        if (!handle) return;
        Label(state);
        NerovaFaceDetectorDestroy(handle);
    }
    nerova::module::FaceDetectorAlgorithm* algorithm() const {
        return static_cast<nerova::module::FaceDetectorAlgorithm*>(handle);
    }
    benchmark::State& state;
    void* handle;
    const cv::Mat frame;
    const NerovaFrame f;
};

void BM_Pipeline(benchmark::State& state) {
    Setup b(state);
    if (!b.handle) return;
    size_t faces_seen = 0;
    for (auto _ : state) {
        NerovaFaceInfo* faces = nullptr;
        uint32_t count = 0;
        NerovaFaceDetectorProcess(b.handle, &b.f, &faces, &count);
        faces_seen = count;
        NerovaFaceDetectorOutputRelease(faces);
    }
    state.counters["faces"] = static_cast<double>(faces_seen);
}

void BM_PreProcess(benchmark::State& state) {
    Setup b(state);
    if (!b.handle) return;
    for (auto _ : state) benchmark::DoNotOptimize(b.algorithm()->PreProcess(&b.f));
}

void BM_DecodeNms(benchmark::State& state) {
    Setup b(state);
    if (!b.handle) return;
    b.algorithm()->PreProcess(&b.f);
    b.algorithm()->Forward(nerova::module::FaceDetectorTestPeer::input_blob(*b.algorithm()));
    for (auto _ : state) benchmark::DoNotOptimize(b.algorithm()->Post());
}

// The same without the model's landmarks: what decoding the faces' points costs.
void BM_DecodeNmsNoLandmarks(benchmark::State& state) {
    Setup b(state);
    if (!b.handle) return;
    static_cast<nerova::module::FaceDetectorParam*>(b.algorithm()->GetParam())
        ->landmark_names.clear();
    b.algorithm()->PreProcess(&b.f);
    b.algorithm()->Forward(nerova::module::FaceDetectorTestPeer::input_blob(*b.algorithm()));
    for (auto _ : state) benchmark::DoNotOptimize(b.algorithm()->Post());
}

void BM_RawForward(benchmark::State& state) {
    Setup b(state);  // prepares the same tensor the pipeline would write
    if (!b.handle) return;
    cv::setNumThreads(static_cast<int>(state.range(2)));
    cv::dnn::Net net = cv::dnn::readNetFromONNX(ModelPath(static_cast<int>(state.range(0))));
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    b.algorithm()->PreProcess(&b.f);
    const auto& input = nerova::module::FaceDetectorTestPeer::input_blob(*b.algorithm());
    const nerova::BlobDesc desc = input->GetBlobDesc();
    cv::Mat blob(static_cast<int>(desc.dims.size()), desc.dims.data(), CV_32F,
                 input->GetHandle().base);
    if (desc.data_format == NEROVA_DATA_FORMAT_NHWC) {  // XNNPACK's own input: OpenCV's planar
        const int planar[4] = {desc.dims[0], desc.dims[3], desc.dims[1], desc.dims[2]};
        cv::Mat nchw(4, planar, CV_32F);
        const size_t pixels = size_t(desc.dims[1]) * desc.dims[2], channels = desc.dims[3];
        for (size_t i = 0; i < pixels; ++i)
            for (size_t c = 0; c < channels; ++c)
                nchw.ptr<float>()[c * pixels + i] = blob.ptr<float>()[i * channels + c];
        blob = nchw;
    }
    const std::vector<std::string> outputs = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> out;
    for (auto _ : state) {
        net.setInput(blob);
        net.forward(out, outputs);
    }
}

void BM_Haar(benchmark::State& state) {
    cv::setNumThreads(static_cast<int>(state.range(2)));
    cv::CascadeClassifier haar;
    if (!haar.load("/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml")) {
        state.SkipWithError("haarcascade_frontalface_default.xml (opencv-data) is missing");
        return;
    }
    const cv::Mat frame = Frame(static_cast<int>(state.range(1)));
    std::vector<cv::Rect> faces;
    for (auto _ : state) {
        cv::Mat gray;
        cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
        cv::equalizeHist(gray, gray);
        haar.detectMultiScale(gray, faces, 1.1, 3, 0, cv::Size(24, 24));
    }
    state.counters["faces"] = static_cast<double>(faces.size());
    state.SetLabel(std::string("haar h") + std::to_string(state.range(1)) + " t" +
                   std::to_string(state.range(2)));
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// 10,000 frames through one detector: resident memory after the first thousand and at the
// end. A steady pipeline keeps it flat.
void BM_Memory10k(benchmark::State& state) {
    Setup b(state);
    if (!b.handle) return;
    long after_warmup = 0, at_end = 0;
    for (auto _ : state) {
        for (int i = 0; i < 10000; ++i) {
            NerovaFaceInfo* faces = nullptr;
            uint32_t count = 0;
            NerovaFaceDetectorProcess(b.handle, &b.f, &faces, &count);
            NerovaFaceDetectorOutputRelease(faces);
            if (i == 999) after_warmup = ResidentKb();
        }
        at_end = ResidentKb();
    }
    state.counters["rss_kb_at_1000"] = static_cast<double>(after_warmup);
    state.counters["rss_kb_at_10000"] = static_cast<double>(at_end);
}

void Args(benchmark::internal::Benchmark* b) {
    const int threads = cv::getNumberOfCPUs();
    for (int model : {0, 1})
        for (int height : {480, 720, 1080})
            for (int t : {1, threads}) b->Args({model, height, t});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
}

void HaarArgs(benchmark::internal::Benchmark* b) {
    for (int height : {480, 720, 1080})
        for (int t : {1, cv::getNumberOfCPUs()}) b->Args({0, height, t});
    b->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
}

BENCHMARK(BM_Pipeline)->Apply(Args);
BENCHMARK(BM_RawForward)->Apply(Args);
BENCHMARK(BM_PreProcess)->Apply(Args);
BENCHMARK(BM_DecodeNms)->Apply(Args);
BENCHMARK(BM_DecodeNmsNoLandmarks)->Apply(Args);
BENCHMARK(BM_Haar)->Apply(HaarArgs);
BENCHMARK(BM_Memory10k)->Args({1, 480, 1})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
