// Separate handles in parallel threads give the same faces as one thread, and leave
// process-wide state as they found it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
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

// Lines written on several threads while the host swaps sinks: each goes whole to one of
// the sinks, and a silenced library writes nothing.
TEST(ThreadsTest, LogSinksSwapWhileLinesAreWritten) {
    struct Counter {
        std::atomic<int> lines{0}, broken{0};
    } first, second;
    const NerovaLogSink count = [](int32_t level, const char* line, void* user) {
        auto* c = static_cast<Counter*>(user);
        c->lines++;
        if (level != NEROVA_LOG_ERROR || std::strncmp(line, "E/nerova: [File ", 16) != 0)
            c->broken++;
    };
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&done] {
            void* handle = nullptr;
            while (!done) NerovaFaceDetectorCreate("/no/such/model.onnx", "", nullptr, &handle);
        });
    }
    for (int i = 0; first.lines < 100 || second.lines < 100; ++i)
        NerovaSetLogSink(count, i % 2 ? &first : &second);
    NerovaSetLogSink(nullptr, nullptr);
    const int before = first.lines + second.lines;
    done = true;
    for (auto& th : threads) th.join();
    EXPECT_GT(first.lines + second.lines, 0);
    EXPECT_EQ(first.broken + second.broken, 0);
    // Lines begun before the silence may still arrive; none after the threads stopped.
    const int after = first.lines + second.lines;
    void* handle = nullptr;
    NerovaFaceDetectorCreate("/no/such/model.onnx", "", nullptr, &handle);
    EXPECT_EQ(first.lines + second.lines, after);
    EXPECT_GE(after, before);
    NerovaSetLogSink(NerovaLogToStderr, nullptr);
}

}  // namespace
