// The bundled face models through the detector agree with the upstream networks decoded
// their own way (tests/data/face_reference.json, written by model_tools/make_reference.py),
// boxes and landmarks.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <opencv2/imgcodecs.hpp>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"
#include "test_util.h"

namespace nerova {
namespace module {
namespace {

float Iou(const FaceBox& a, float x1, float y1, float x2, float y2) {
    const float w = std::max(0.0f, std::min(a.x2, x2) - std::max(a.x1, x1));
    const float h = std::max(0.0f, std::min(a.y2, y2) - std::max(a.y1, y1));
    const float inter = w * h;
    return inter / ((a.x2 - a.x1) * (a.y2 - a.y1) + (x2 - x1) * (y2 - y1) - inter);
}

TEST(BundledModelTest, DetectorAgreesWithTheUpstreamNetworks) {
    const std::string root = NEROVA_SOURCE_DIR;
    rapidjson::Document ref;
    ref.Parse(nerova_test::ReadFile(root + "/tests/data/face_reference.json").c_str());
    ASSERT_FALSE(ref.HasParseError());
    size_t compared = 0;
    for (const auto& model : ref["models"].GetObject()) {
        const std::string path = root + "/models/" + model.name.GetString() + "/model.onnx";
        void* handle = nullptr;
        ASSERT_EQ(NerovaFaceDetectorCreate(path.c_str(), "", nullptr, &handle), NEROVA_OK) << path;
        auto* algorithm = static_cast<FaceDetectorAlgorithm*>(handle);
        auto* param = static_cast<FaceDetectorParam*>(algorithm->GetParam());
        EXPECT_EQ(param->model_input_h, model.value["input_size"].GetInt());
        for (const auto& image : model.value["images"].GetObject()) {
            const cv::Mat bgr = cv::imread(root + "/" + image.name.GetString());
            ASSERT_FALSE(bgr.empty()) << image.name.GetString();
            const NerovaFrame frame = nerova_test::BgrFrame(bgr);
            for (const char* k : {"top_k_100", "top_k_10"}) {
                ASSERT_EQ(NerovaFaceDetectorSetTopK(handle, std::atoi(k + 6)), NEROVA_OK);
                NerovaFaceInfo* faces = nullptr;
                uint32_t count = 0;
                ASSERT_EQ(NerovaFaceDetectorProcess(handle, &frame, &faces, &count), NEROVA_OK);
                const auto& want = image.value[k];
                const std::string what =
                    std::string(model.name.GetString()) + " " + image.name.GetString() + " " + k;
                ASSERT_EQ(count, want.Size()) << what;
                const auto& got = FaceDetectorTestPeer::faces(*algorithm);
                for (rapidjson::SizeType i = 0; i < want.Size(); ++i) {
                    const auto& w = want[i];
                    EXPECT_NEAR(got[i].score, w["score"].GetDouble(), 1e-3) << what << " #" << i;
                    EXPECT_GE(Iou(got[i], w["x1"].GetFloat(), w["y1"].GetFloat(),
                                  w["x2"].GetFloat(), w["y2"].GetFloat()),
                              0.99f)
                        << what << " #" << i;
                    EXPECT_EQ(faces[i].x1, static_cast<int>(got[i].x1)) << what;
                    ++compared;
                }
                NerovaFaceDetectorOutputRelease(faces);
                // The same frame in detail: every face's six points where the upstream
                // network puts them, within a tenth of a pixel.
                NerovaFaceDetail* details = nullptr;
                ASSERT_EQ(NerovaFaceDetectorProcessDetails(handle, &frame, sizeof *details,
                                                           &details, &count),
                          NEROVA_OK);
                ASSERT_EQ(count, want.Size()) << what;
                for (rapidjson::SizeType i = 0; i < want.Size(); ++i) {
                    const auto& points = want[i]["landmarks"];
                    ASSERT_EQ(details[i].landmark_count, points.Size()) << what;
                    for (rapidjson::SizeType k = 0; k < points.Size(); ++k) {
                        EXPECT_NEAR(details[i].landmarks[2 * k], points[k][0].GetDouble(), 0.1)
                            << what << " #" << i << " point " << k;
                        EXPECT_NEAR(details[i].landmarks[2 * k + 1], points[k][1].GetDouble(), 0.1)
                            << what << " #" << i << " point " << k;
                    }
                }
                NerovaFaceDetectorDetailsRelease(details);
            }
        }
        NerovaFaceDetectorDestroy(handle);
    }
    EXPECT_GE(compared, 10u) << "the reference must hold faces to compare";
}

}  // namespace
}  // namespace module
}  // namespace nerova
