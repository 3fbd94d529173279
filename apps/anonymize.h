// Hiding and marking faces in the images and video frames the tool writes; the hiding itself
// is the library's (NerovaAnonymize), as every host's.
#ifndef NEROVA_APPS_ANONYMIZE_H_
#define NEROVA_APPS_ANONYMIZE_H_

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "face.h"
#if NEROVA_TOOL_VIDEO
#include "nerova_video.h"
#endif

namespace nerova_tool {

enum class Hide { kNone, kBlur, kPixelate, kSolid };
enum class MaskShape { kEllipse, kRect };

// Hides each region, scaled by `scale` about its centre: through an ellipse inscribed in the
// scaled box, turned by the region's angle, or the whole box.
void Anonymize(cv::Mat& bgr, const std::vector<NerovaMaskRegion>& regions, Hide how, float scale,
               MaskShape shape);

// The regions of detected faces, each turned to its eye line when the model names eyes.
std::vector<NerovaMaskRegion> FaceRegions(const std::vector<Face>& faces,
                                          const std::vector<const char*>& names);
#if NEROVA_TOOL_VIDEO
// The regions of a frame's tracks.
std::vector<NerovaMaskRegion> TrackRegions(const NerovaTrack* tracks, uint32_t count);
// Draws each track's box with its id, predicted ones in another colour, for review.
void DrawTracks(cv::Mat& bgr, const NerovaTrack* tracks, uint32_t count);
#endif

// Draws each box, its score and its landmarks.
void DrawFaces(cv::Mat& bgr, const std::vector<Face>& faces);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_ANONYMIZE_H_
