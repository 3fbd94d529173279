// The library's whole frame against OpenCV DNN's bare forward of the same network, measured in
// alternating pairs on one thread: each pair times both (the order alternating from pair to
// pair), the ratio is taken within the pair, and the medians and 10th/90th percentiles of the
// per-pair ratios are reported, wall time and CPU time side by side. A shared machine's drift
// then hits both halves of a pair alike. A pipeline faster than its own forward cannot be: the
// run reports it as an error (exit 1).
//   nerova_pairs [PAIRS] [MODEL ...]     (default 30 pairs; the bundled models)
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"

namespace {

constexpr int kRepeats = 5;  // runs of each half per pair

struct Time {
    double wall_ms, cpu_ms;
};

double CpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

template <typename F>
Time Measure(F f) {
    const auto w0 = std::chrono::steady_clock::now();
    const double c0 = CpuMs();
    for (int i = 0; i < kRepeats; ++i) f();
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count();
    return {wall / kRepeats, (CpuMs() - c0) / kRepeats};
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
    const int pairs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 30;
    std::vector<std::string> models(argv + std::min(argc, 2), argv + argc);
    if (models.empty()) models = {"face_detector_back_256", "face_detector_front_128"};
    cv::setNumThreads(1);
    // Model names resolve in the source tree's models (and NEROVA_MODELS, when set).
    setenv("NEROVA_MODELS", NEROVA_SOURCE_DIR "/models", 0);
    cv::Mat photo = cv::imread(std::string(NEROVA_SOURCE_DIR) + "/models/samples/group_1897.jpg");
    cv::Mat frame;
    cv::resize(photo, frame, cv::Size(1280, 720));
    const NerovaFrame f{NEROVA_PIXEL_FORMAT_BGR,
                        frame.cols,
                        frame.rows,
                        {frame.data},
                        {static_cast<int32_t>(frame.step[0])}};
    int status = 0;
    std::printf(
        "| model | pipeline wall | bare forward wall | ratio: median (p10-p90) | CPU ratio: "
        "median (p10-p90) |\n| --- | --- | --- | --- | --- |\n");
    for (const std::string& name : models) {
        char path[4096];
        void* handle = nullptr;
        NerovaCustomRuntime runtime{NEROVA_DEVICE_X86, 0, 1};
        if (NerovaFaceDetectorFindModel(name.c_str(), path, sizeof path) != NEROVA_OK ||
            NerovaFaceDetectorCreate(path, "", &runtime, &handle) != NEROVA_OK) {
            std::fprintf(stderr, "nerova_pairs: cannot load %s\n", name.c_str());
            return 1;
        }
        NerovaFaceDetectorSetTopK(handle, 100);
        auto* algorithm = static_cast<nerova::module::FaceDetectorAlgorithm*>(handle);
        // The bare forward runs on the very tensor the pipeline writes.
        algorithm->PreProcess(&f);
        const auto& input = nerova::module::FaceDetectorTestPeer::input_blob(*algorithm);
        const nerova::BlobDesc desc = input->GetBlobDesc();
        const cv::Mat blob = cv::Mat(static_cast<int>(desc.dims.size()), desc.dims.data(), CV_32F,
                                     input->GetHandle().base)
                                 .clone();
        cv::dnn::Net net = cv::dnn::readNetFromONNX(path);
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        const std::vector<std::string> outputs = net.getUnconnectedOutLayersNames();
        std::vector<cv::Mat> out;
        const auto pipeline = [&] {
            NerovaFaceInfo* faces = nullptr;
            uint32_t count = 0;
            NerovaFaceDetectorProcess(handle, &f, &faces, &count);
            NerovaFaceDetectorOutputRelease(faces);
        };
        const auto forward = [&] {
            net.setInput(blob);
            net.forward(out, outputs);
        };
        pipeline();  // warm both up
        forward();
        std::vector<double> wall, cpu, pw, fw;
        for (int i = 0; i < pairs; ++i) {
            Time a, b;
            if (i % 2) {
                b = Measure(forward);
                a = Measure(pipeline);
            } else {
                a = Measure(pipeline);
                b = Measure(forward);
            }
            wall.push_back(a.wall_ms / b.wall_ms);
            cpu.push_back(a.cpu_ms / b.cpu_ms);
            pw.push_back(a.wall_ms);
            fw.push_back(b.wall_ms);
        }
        const double median = Percentile(wall, 0.5);
        std::printf("| `%s` | %.2f ms | %.2f ms | %.3f (%.3f-%.3f) | %.3f (%.3f-%.3f) |\n",
                    name.c_str(), Percentile(pw, 0.5), Percentile(fw, 0.5), median,
                    Percentile(wall, 0.1), Percentile(wall, 0.9), Percentile(cpu, 0.5),
                    Percentile(cpu, 0.1), Percentile(cpu, 0.9));
        if (median < 1.0 || Percentile(cpu, 0.5) < 1.0) {
            std::fprintf(stderr,
                         "nerova_pairs: %s: the pipeline ran faster than its own forward, which "
                         "cannot be; the measurement is wrong\n",
                         name.c_str());
            status = 1;
        }
        NerovaFaceDetectorDestroy(handle);
    }
    return status;
}
