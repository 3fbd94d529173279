// The second look at faces only a tile found. A tile enlarges its part of the frame until
// fur, fabric and dice show at the size of faces, and the network invents some there. Such a
// candidate counts once its landmarks sit as a face's do and the network, shown the candidate
// again in a crop of about twice its box, finds a face on it. The crops of many candidates
// share one network input, a mosaic of square cells, so that one pass checks a crowd frame's
// candidates together.
#ifndef NEROVA_MODULE_FACE_DETECTOR_SECOND_LOOK_H_
#define NEROVA_MODULE_FACE_DETECTOR_SECOND_LOOK_H_

#include <string>
#include <vector>

#include "face_detector/face_boxes.h"

namespace nerova {
namespace module {

constexpr int kMinLookCell = 48;         // a mosaic cell's side, at least, in input pixels
constexpr int kLookCellsAcross = 2;      // cells along the input's shorter side
constexpr float kLookCropFactor = 2.0f;  // a crop's side over its candidate's longer side
constexpr float kLookMatchIoU = 0.5f;    // a second look's face confirms a candidate above it
// The second look's score threshold (or the detector's, when lower). Crops packed four to a
// pass score lower than each alone, and small old faces enlarged score lower than at the
// size a tile showed them.
constexpr float kLookScore = 0.5f;
// Faces kept per mosaic pass, whatever the host's top_k, from a pool no larger: four crops
// need no more, and suppression over the model's whole pool would cost more than the pass.
constexpr int kLookTopK = 100;
constexpr int kDefaultLookCap = 32;  // candidates checked per frame

// Where a candidate's crop sits: the frame's square (x, y, side) drawn into the mosaic's cell
// at (cell_x, cell_y), cell pixels wide.
struct LookCell {
    float x = 0, y = 0, side = 0;
    int cell_x = 0, cell_y = 0, cell = 0;
};

// The cell side for a network input: half its shorter side, at least kMinLookCell (at most
// the side itself).
int LookCellSide(int input_w, int input_h);

// The cells of one mosaic, as many as fit the input, for the first of count candidates:
// each crop is centred on its box, kLookCropFactor times its longer side (at least one pixel).
std::vector<LookCell> PlanLook(const FaceBox* boxes, int count, int input_w, int input_h);

// A mosaic face (input pixels) in frame pixels, through the cell its centre lies in; false
// when its centre lies in no planned cell. index is that cell's.
bool FromLook(const FaceBox& face, const std::vector<LookCell>& cells, FaceBox* frame_box,
              int* index);

// What the second look did on the last frame.
struct LookReport {
    int candidates = 0;            // faces only a tile found
    int refused_by_landmarks = 0;  // points not where a face has them
    int refused_by_look = 0;       // no face on the second look
    int confirmed = 0;
    int unchecked = 0;  // past the cap: kept as the tile found them
    int forwards = 0;   // network passes of the second look
    int tile_passes = 0;
    double milliseconds = 0.0;  // the second look's wall time
};

// Which of a model's landmarks the plausibility check reads (-1: absent). The mouth is its
// centre, or the mean of its corners.
struct FacePoints {
    int right_eye = -1, left_eye = -1, nose = -1, mouth = -1, right_corner = -1, left_corner = -1;
    bool usable() const {
        return right_eye >= 0 && left_eye >= 0 && nose >= 0 &&
               (mouth >= 0 || (right_corner >= 0 && left_corner >= 0));
    }
};
FacePoints IndexFacePoints(const std::vector<std::string>& names);

// Whether points (x, y per landmark) sit as a face's: along the normal of the eye line, the
// nose below the eyes and the mouth below the nose, and the eyes between kMinEyeShare and
// kMaxEyeShare of the box's width apart. Rolled faces pass: the test follows the eye line.
constexpr float kMinEyeShare = 0.1f;
constexpr float kMaxEyeShare = 0.8f;
bool PlausibleFace(const FaceBox& box, const float* points, const FacePoints& which);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_SECOND_LOOK_H_
