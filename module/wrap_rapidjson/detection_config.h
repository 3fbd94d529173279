// The detector's own section of inference.json, "Detection": how a model's candidates become
// faces. The framework's readers do not know it; the detector reads it after them.
#ifndef NEROVA_MODULE_WRAP_RAPIDJSON_DETECTION_CONFIG_H_
#define NEROVA_MODULE_WRAP_RAPIDJSON_DETECTION_CONFIG_H_

#include <string>
#include <vector>

#include "nerova/module_common.h"

namespace nerova {
namespace module {

// Largest candidate pool a model or host may set: suppression over it stays cheap.
constexpr int kMaxCandidatePool = 4096;
constexpr int kMaxConfirmTileFaces = 256;  // second-look checks per frame
// Most landmarks a model may declare, and the longest name of one.
constexpr int kMaxLandmarks = 64;
constexpr size_t kMaxLandmarkName = 63;

struct DetectionConfig {
    // Candidates that go into suppression, from 1 to kMaxCandidatePool; 0: top_k of them.
    int candidate_pool = 0;
    // NerovaOverlapMerge: 0 drop, 1 blend.
    int overlap_merge = 0;
    // Overlap above which two candidates are one face; negative: the detector's default.
    float nms_threshold = -1.0f;
    // Names of the points each row carries after its first ten values, in order.
    std::vector<std::string> landmarks;
    // Faces only a tile found that the second look checks per frame, 0 to 256 (0: none);
    // negative: the detector's default.
    int confirm_tile_faces = -1;
};

// Reads "Detection" {"CandidatePool": 0..4096, "OverlapMerge": "OVERLAP_DROP" |
// "OVERLAP_BLEND", "NmsThreshold": 0..1, "Landmarks": [up to 64 distinct names of 1 to 63
// characters], "ConfirmTileFaces": 0..256} into config; keys absent keep their values. A
// section that is not an object, a key the detector does not know or a value of the wrong
// type or range gives NEROVA_ERR_JSON with config untouched and why set; a file that cannot
// be read or parsed gives its code.
NerovaError ReadDetectionConfig(Model& model, DetectionConfig* config, std::string* why);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_WRAP_RAPIDJSON_DETECTION_CONFIG_H_
