// Separate handles in parallel threads give the same faces as one thread, and leave
// process-wide state as they found it.
#include <gtest/gtest.h>

#include <opencv2/core/utils/logger.hpp>
#include <thread>

#include "nerova_face_detector.h"
#include "test_util.h"

namespace {

using nerova_test::MakeModelDir;
using nerova_test::TempDir;
using nerova_test::TestModel;

// Frames whose mean brightness decides the score of the network's single row.
std::vector<cv::Mat> Frames() {
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 12; ++i)
        frames.emplace_back(48 + 8 * i, 64 + 4 * i, CV_8UC3, cv::Scalar(150 + 8 * i, 170, 190));
    return frames;
}

std::vector<std::vector<int>> RunAll(void* handle, const std::vector<cv::Mat>& frames, int rounds) {
    std::vector<std::vector<int>> results;
    for (int r = 0; r < rounds; ++r) {
        for (const cv::Mat& m : frames) {
            const NerovaFrame f = nerova_test::BgrFrame(m);
            NerovaFaceInfo* faces = nullptr;
            uint32_t n = 0;
            std::vector<int> result = {NerovaFaceDetectorProcess(handle, &f, &faces, &n),
                                       static_cast<int>(n)};
            for (uint32_t i = 0; i < n; ++i) {
                result.insert(result.end(), {static_cast<int>(faces[i].score * 1e6f), faces[i].x1,
                                             faces[i].y1, faces[i].x2, faces[i].y2});
            }
            NerovaFaceDetectorOutputRelease(faces);
            results.push_back(result);
        }
    }
    return results;
}

TEST(ThreadsTest, ParallelHandlesMatchOneThread) {
    TempDir dir;
    const std::string path = MakeModelDir(dir, TestModel("bright_score_64.onnx"));
    const auto frames = Frames();
    void* one = nullptr;
    ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &one), NEROVA_OK);
    const auto reference = RunAll(one, frames, 3);
    NerovaFaceDetectorDestroy(one);
    size_t with_faces = 0;
    for (const auto& r : reference) with_faces += r[1] > 0;
    ASSERT_GT(with_faces, 0u);
    ASSERT_LT(with_faces, reference.size()) << "the frames must not all look alike";

    // Loading silences OpenCV's process-wide log level for a while; concurrent loads must
    // still leave it as the host set it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    constexpr int kThreads = 4;
    std::vector<std::vector<std::vector<int>>> results(kThreads);
    std::vector<NerovaError> created(kThreads, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            void* handle = nullptr;
            created[t] = NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &handle);
            if (created[t] != NEROVA_OK) return;
            results[t] = RunAll(handle, frames, 3);
            NerovaFaceDetectorDestroy(handle);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(cv::utils::logging::getLogLevel(), cv::utils::logging::LOG_LEVEL_ERROR);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(created[t], NEROVA_OK) << t;
        EXPECT_EQ(results[t], reference) << "thread " << t;
    }
}

}  // namespace
