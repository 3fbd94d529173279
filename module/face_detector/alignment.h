// Aligned face crops: the similarity transform from a face's landmarks onto the five-point
// template that face recognition networks are trained on.
#ifndef NEROVA_MODULE_FACE_DETECTOR_ALIGNMENT_H_
#define NEROVA_MODULE_FACE_DETECTOR_ALIGNMENT_H_

#include <string>
#include <vector>

namespace nerova {
namespace module {

// The least-squares similarity (scale, rotation, shift) taking the named points (x, y pairs)
// onto the template at size x size pixels, as a row-major 2x3 matrix. The template's points
// are the two eyes, the nose tip and the two mouth corners; a model's "mouth_centre" stands
// in for the corners' mean when it has no corners. False, with matrix untouched, when the
// points lack an eye, count fewer than three, or all lie on one spot.
bool AlignmentTransform(const std::vector<std::string>& names, const float* points, int size,
                        float matrix[6]);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_ALIGNMENT_H_
