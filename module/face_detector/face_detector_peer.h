// Access to the detector's per-frame state for tests and benchmarks, kept off the class's
// own interface.
#ifndef NEROVA_MODULE_FACE_DETECTOR_FACE_DETECTOR_PEER_H_
#define NEROVA_MODULE_FACE_DETECTOR_FACE_DETECTOR_PEER_H_

#include <cstdlib>
#include <memory>
#include <vector>

#include "face_detector/face_detector.h"

namespace nerova {
namespace module {

class FaceDetectorTestPeer {
  public:
    static float scale(const FaceDetectorAlgorithm& a) { return a.scale_; }
    static const std::vector<FaceBox>& candidates(const FaceDetectorAlgorithm& a) {
        return a.candidates_;
    }
    static const std::vector<FaceBox>& faces(const FaceDetectorAlgorithm& a) { return a.faces_; }
    static const std::shared_ptr<Instance>& instance(const FaceDetectorAlgorithm& a) {
        return a.instance_;
    }
    static const std::shared_ptr<Blob>& input_blob(const FaceDetectorAlgorithm& a) {
        return a.input_blob_;
    }
    // Replaces the allocator of result arrays (null restores malloc), so that a test can make
    // the allocation fail. Arrays are always released with free.
    static void SetResultAllocator(void* (*allocator)(size_t)) {
        FaceDetectorAlgorithm::result_allocator_ = allocator ? allocator : std::malloc;
    }
};

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_FACE_DETECTOR_PEER_H_
