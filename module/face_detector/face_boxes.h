// Decoding of the network's output rows into face boxes and greedy suppression of overlaps:
// plain functions over arrays, so that the pipeline owns the storage (allocated once) and
// tests and fuzzing reach the arithmetic without a network.
#ifndef NEROVA_MODULE_FACE_DETECTOR_FACE_BOXES_H_
#define NEROVA_MODULE_FACE_DETECTOR_FACE_BOXES_H_

#include <cstdint>

namespace nerova {
namespace module {

// A candidate box: score, then top-left and bottom-right corners.
struct FaceBox {
    float score;
    float x1;
    float y1;
    float x2;
    float y2;
};

// Layout of one output row: offsets dx, dy, dw, dh at 0..3, the face score, and the prior
// box (centre x, centre y, width, height, in fractions of the network input) it refers to;
// then, for a model that names landmarks, dx, dy of each point, encoded as the box centre.
constexpr int kRowScore = 5;
constexpr int kRowPrior = 6;
constexpr int kMinRowLength = kRowPrior + 4;
constexpr int kRowLandmarks = kMinRowLength;
// Scales of the regression offsets: centre offsets, then log-size offsets.
constexpr double kCentreVariance = 0.1;
constexpr double kSizeVariance = 0.2;

// From network-input fractions to frame pixels: multiply by (fx, fy), then clamp the box to
// the frame (letterboxing pads right and bottom, where the network may still see a face).
struct FrameMapping {
    float fx;
    float fy;
    float width;
    float height;
};

// Admits rows scoring at least threshold whose score, box and landmark_count points are
// finite and whose box, mapped and clamped, keeps some area in the frame (none in the padding
// alone), and keeps the top_k best in score order (earlier rows first among equal scores),
// mapped. boxes must hold top_k entries; all are rewritten, those past the returned count as
// zeros. row_of, when not null, receives each kept box's row index (top_k entries).
int DecodeRows(const float* rows, int row_count, int row_length, float threshold, int top_k,
               const FrameMapping& mapping, FaceBox* boxes, int32_t* row_of = nullptr,
               int landmark_count = 0);

// The landmark_count points of a row, mapped as its box and clamped to the frame: x, y pairs
// into points.
void DecodeLandmarks(const float* row, int landmark_count, const FrameMapping& mapping,
                     float* points);

// When two boxes are one face: their intersection over union is above iou_threshold, or,
// with nested, the smaller holds at least half the larger's area and lies at least 80 %
// inside it. Duplicates a network gives of one textured patch jitter around it and nest at
// overlaps of 0.4 to 0.7; two faces side by side, even half hidden, do not nest.
struct OverlapRule {
    float iou_threshold;
    bool nested;
};

// Intersection over union; 0 when the boxes do not overlap (or either is empty).
float IoU(const FaceBox& a, const FaceBox& b);

// Keeps, in order, each box that is not one face (rule) with any box kept before it.
// kept and kept_areas must hold count entries; kept may be boxes. kept_from, when not null,
// receives each kept box's index in boxes. Returns the number kept.
int SuppressOverlaps(const FaceBox* boxes, int count, const OverlapRule& rule, FaceBox* kept,
                     float* kept_areas, int32_t* kept_from = nullptr);

// After SuppressOverlaps over the same boxes: replaces each kept box's corners by the
// score-weighted mean of itself and every box it dropped (a box dropped by several, by the
// best-scoring one). The mean averages out the jitter of one face's neighbouring anchors, so
// its box sits tighter on it. sums must hold kept_count entries (scratch).
void BlendOverlaps(const FaceBox* boxes, int count, const OverlapRule& rule, FaceBox* kept,
                   const float* kept_areas, int kept_count, FaceBox* sums);

// The largest float below 2^31; corners at or beyond it saturate to INT32_MAX.
constexpr float kInt32Saturation = 2147483520.0f;

// Truncation toward zero that saturates at the int32 range and reads NaN as 0, so that a
// degenerate network output gives defined corners.
int32_t TruncateToInt(float v);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_FACE_DETECTOR_FACE_BOXES_H_
