// Hiding and marking faces in the images and video frames the tool writes.
#ifndef NEROVA_APPS_ANONYMIZE_H_
#define NEROVA_APPS_ANONYMIZE_H_

#include <opencv2/core.hpp>
#include <vector>

#include "nerova_face_detector.h"

namespace nerova_tool {

enum class Hide { kNone, kBlur, kPixelate, kSolid };
enum class MaskShape { kEllipse, kRect };

// Hides each face inside its box scaled by `scale` about the box's centre, clipped to the
// frame: through an ellipse inscribed in that box, or the whole box.
void Anonymize(cv::Mat& bgr, const std::vector<NerovaFaceInfo>& faces, Hide how, float scale,
               MaskShape shape);

// Draws each box and its score.
void DrawFaces(cv::Mat& bgr, const std::vector<NerovaFaceInfo>& faces);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_ANONYMIZE_H_
