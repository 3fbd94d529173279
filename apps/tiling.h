// Tiled detection of large frames: the detector letterboxes a whole frame into its network
// input, so small faces of a large frame shrink below what a network finds. The tool also
// runs the detector on overlapping tiles (views into the frame: no copy), maps their boxes
// back and merges all with one greedy suppression. The Python package does the same.
#ifndef NEROVA_APPS_TILING_H_
#define NEROVA_APPS_TILING_H_

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "nerova_face_detector.h"

namespace nerova_tool {

struct Tiling {
    bool automatic = false;
    int rows = 1, cols = 1;  // both 1 and not automatic: no tiling
};

// "off", "auto" or "RxC" (1 to 16 each); false for anything else.
bool ParseTiles(const std::string& text, Tiling& tiling);

// Tiles covering a width x height frame, overlapping by the face size aimed at (1/40 of the
// longer side). "auto" aims that face at 24 px in an input_w x input_h network without
// magnifying a tile beyond the input's size; empty when no tiling is needed.
std::vector<cv::Rect> TileGrid(int width, int height, int input_w, int input_h,
                               const Tiling& tiling);

// Adds the faces found in tile (tile coordinates) to all, in frame coordinates, leaving out
// those cut by one of the tile's inner edges: the overlap holds such a face whole elsewhere.
void AddTileFaces(const cv::Rect& tile, const cv::Size& frame, const NerovaFaceInfo* faces,
                  uint32_t count, std::vector<NerovaFaceInfo>& all);

// Greedy suppression, best score first: a face overlapping a kept one by more than
// threshold (intersection over union) is dropped.
std::vector<NerovaFaceInfo> MergeFaces(std::vector<NerovaFaceInfo> faces, float threshold);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_TILING_H_
