// Hiding faces in a picture: blur, pixelate, paint or replace each face's region, through an
// ellipse turned to the face's eye line or the whole box. One implementation for every host.
#ifndef NEROVA_MODULE_FACE_DETECTOR_MASKS_H_
#define NEROVA_MODULE_FACE_DETECTOR_MASKS_H_

#include <opencv2/core.hpp>

#include "nerova_face_detector.h"

namespace nerova {
namespace module {

// Hides each region, scaled by `scale` about its centre and clipped to the image: hide is a
// NerovaHide, shape a NerovaMaskShape; replacement (same type as image) for NEROVA_HIDE_IMAGE.
void HideRegions(cv::Mat& image, const NerovaMaskRegion* regions, size_t count, int hide, int shape,
                 float scale, const cv::Mat& replacement);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_MASKS_H_
