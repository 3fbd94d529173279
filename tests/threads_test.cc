// Separate handles in parallel threads give the same faces as one thread, and leave
// process-wide state as they found it.
#include <gtest/gtest.h>

#include <opencv2/core/utils/logger.hpp>
#include <thread>

#include "test_util.h"

namespace {

// Every frame's faces, three rounds over frames whose mean brightness decides the score
// of the network's single row.
std::vector<std::vector<std::string>> RunAll() {
    const nerova_test::Detector d("bright_score_64.onnx");
    std::vector<std::vector<std::string>> results;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 12; ++i) {
            const cv::Mat m(48 + 8 * i, 64 + 4 * i, CV_8UC3, cv::Scalar(150 + 8 * i, 170, 190));
            results.push_back(nerova_test::Describe(d.Run(m)));
        }
    }
    return results;
}

TEST(ThreadsTest, ParallelHandlesMatchOneThread) {
    const auto reference = RunAll();
    size_t with_faces = 0;
    for (const auto& r : reference) with_faces += !r.empty();
    ASSERT_GT(with_faces, 0u);
    ASSERT_LT(with_faces, reference.size()) << "the frames must not all look alike";

    // Loading silences OpenCV's process-wide log level for a while; concurrent loads must
    // still leave it as the host set it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    std::vector<std::vector<std::vector<std::string>>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&r] { r = RunAll(); });
    for (auto& th : threads) th.join();
    EXPECT_EQ(cv::utils::logging::getLogLevel(), cv::utils::logging::LOG_LEVEL_ERROR);
    for (const auto& r : results) EXPECT_EQ(r, reference);
}

}  // namespace
