// Measures the activation ranges an int8 network needs: runs a model's network in float over
// calibration photos, each whole and on automatic tiles as the library's hosts run it, and
// writes the least and greatest value of every tensor as the model folder's
// "calibration.txt". The photos of an accuracy check's held-out set must not be among them.
//   nerova_calibrate_int8 MODEL OUTPUT PHOTO...
// MODEL is a model name (as the tool takes it) or a path to its network file; OUTPUT is not
// overwritten if it exists. Exit status 0 when written, 1 on any error (said on stderr).
#include <cstdio>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "face_detector/face_detector_peer.h"
#include "nerova_face_detector.h"

namespace {

int Fail(const std::string& why) {
    std::fprintf(stderr, "nerova_calibrate_int8: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return Fail("usage: nerova_calibrate_int8 MODEL OUTPUT PHOTO...");
    char path[4096];
    const std::string model = argv[1];
    if (model.find('/') != std::string::npos) {
        std::snprintf(path, sizeof path, "%s", model.c_str());
    } else if (NerovaFaceDetectorFindModel(model.c_str(), path, sizeof path) != NEROVA_OK) {
        return Fail("no model named " + model);
    }
    // One XNNPACK thread: the ranges do not depend on it.
    NerovaCustomRuntime runtime{NEROVA_DEVICE_X86, 0, 1};
    void* handle = nullptr;
    if (NerovaFaceDetectorCreate(path, "", &runtime, &handle) != NEROVA_OK)
        return Fail(std::string("cannot load ") + path);
    auto* algorithm = static_cast<nerova::module::FaceDetectorAlgorithm*>(handle);
    const auto& instance = nerova::module::FaceDetectorTestPeer::instance(*algorithm);
    const nerova::Status recording = instance->RecordRanges();
    if (recording != NEROVA_OK) {
        NerovaFaceDetectorDestroy(handle);
        return Fail("the network cannot be calibrated: " + recording.message() + " " +
                    instance->BackendNote());
    }
    int photos = 0;
    for (int i = 3; i < argc; ++i) {
        cv::Mat image = cv::imread(argv[i], cv::IMREAD_COLOR);
        if (image.empty()) {
            std::fprintf(stderr, "nerova_calibrate_int8: skipping %s: not a readable photo\n",
                         argv[i]);
            continue;
        }
        const NerovaFrame frame{NEROVA_PIXEL_FORMAT_BGR,
                                image.cols,
                                image.rows,
                                {image.data},
                                {static_cast<int32_t>(image.step[0])}};
        for (int tiles : {1, 0}) {
            NerovaFaceDetectorSetTiles(handle, tiles, tiles);
            NerovaFaceInfo* faces = nullptr;
            uint32_t count = 0;
            if (NerovaFaceDetectorProcess(handle, &frame, &faces, &count) != NEROVA_OK) {
                NerovaFaceDetectorDestroy(handle);
                return Fail(std::string("detection failed on ") + argv[i]);
            }
            NerovaFaceDetectorOutputRelease(faces);
        }
        ++photos;
    }
    const std::string ranges = instance->RecordedRanges();
    NerovaFaceDetectorDestroy(handle);
    if (photos == 0) return Fail("no photo could be read");
    char reason[512] = "";
    if (NerovaWriteFile(argv[2], ranges.data(), ranges.size(), 0, reason, sizeof reason) !=
        NEROVA_OK)
        return Fail(std::string("cannot write ") + argv[2] + ": " + reason);
    std::printf("%s: ranges of %d photos, whole and tiled\n", argv[2], photos);
    return 0;
}
