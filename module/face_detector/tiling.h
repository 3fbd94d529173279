// Tiled detection of large frames. The detector letterboxes a whole frame into its network
// input, so a face of f pixels in a frame whose longer side is L reaches a network of input
// side S at f * S / L pixels: on a 500 px group photo and a 256 px network a 25 px face is
// 13 px, below what face networks find. Tiling also runs the network on overlapping tiles
// (views of the host's planes: no copy), maps their boxes back and merges all passes.
#ifndef NEROVA_MODULE_FACE_DETECTOR_TILING_H_
#define NEROVA_MODULE_FACE_DETECTOR_TILING_H_

#include <vector>

#include "face_detector/face_boxes.h"
#include "nerova_face_detector.h"

namespace nerova {
namespace module {

constexpr int kMaxTiles = 16;                // rows and columns each
constexpr double kAimFraction = 1.0 / 40.0;  // face size aimed at, share of the longer side
constexpr float kEdgePixels = 2.0f;          // a tile's box this close to an inner edge is cut
// What a face of the size aimed at should measure in the network input. A face a tile finds
// that the whole frame already shows at this size or larger is left to the whole-frame pass.
constexpr double kAimPixels = 24.0;

struct Tile {
    int x, y, width, height;
};

// The tiles of a frame, empty for no tiling. rows = cols = 0 asks for automatic tiles: a face
// of 1/40 of the frame's longer side aimed at 24 px in the network input, never magnifying
// a tile beyond the input (no tiles when the frame already fits it). Each tile reaches
// ceil(longer / 40) pixels into its neighbours, so a face of the size aimed at lies whole in
// some tile; origins are even, so that 4:2:0 chroma planes split with them.
std::vector<Tile> TileGrid(int width, int height, int input_w, int input_h, int rows, int cols);

// The host's frame restricted to tile, sharing its planes. False for a pixel format that
// has no views (the whole-frame pass refuses such a frame first).
bool TileView(const NerovaFrame& frame, const Tile& tile, NerovaFrame& view);

// Whether a box found in tile (tile coordinates) is cut by one of the tile's inner edges,
// those not on the frame's border: the overlap holds such a face whole in a neighbour, and a
// larger face comes from the whole-frame pass.
bool CutByInnerEdge(const FaceBox& box, const Tile& tile, int frame_width, int frame_height);

// "off", "auto" or "RxC" (x or X, each 1 to kMaxTiles) to rows and cols (1 1: off, 0 0:
// auto); false for anything else.
bool ParseTiles(const char* text, int& rows, int& cols);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_TILING_H_
