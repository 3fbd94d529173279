// Hiding and marking faces in the images and video frames the tool writes.
#ifndef NEROVA_APPS_ANONYMIZE_H_
#define NEROVA_APPS_ANONYMIZE_H_

#include <opencv2/core.hpp>
#include <vector>

#include "face.h"

namespace nerova_tool {

enum class Hide { kNone, kBlur, kPixelate, kSolid };
enum class MaskShape { kEllipse, kRect };

// Which landmarks are the eyes (-1: none), from the model's names.
struct EyePoints {
    int right = -1, left = -1;
};
EyePoints FindEyes(const std::vector<std::string>& names);

// Hides each face inside its box scaled by `scale` about the box's centre, clipped to the
// frame: through an ellipse inscribed in that box, turned to the eye line when the model has
// eyes (a tilted head stays covered), or the whole box.
void Anonymize(cv::Mat& bgr, const std::vector<Face>& faces, Hide how, float scale, MaskShape shape,
               EyePoints eyes);

// Draws each box, its score and its landmarks.
void DrawFaces(cv::Mat& bgr, const std::vector<Face>& faces);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_ANONYMIZE_H_
