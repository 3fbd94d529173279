#include "face_detector/face_boxes.h"

#include <algorithm>
#include <cmath>

namespace nerova {
namespace module {

namespace {

bool IsFinite(const FaceBox& b) {
    return std::isfinite(b.x1) && std::isfinite(b.y1) && std::isfinite(b.x2) && std::isfinite(b.y2);
}

FaceBox DecodeBox(const float* row, float score) {
    const float* prior = row + kRowPrior;
    const double pw = prior[2], ph = prior[3];
    const float cx = static_cast<float>((row[0] * kCentreVariance) * pw + prior[0]);
    const float cy = static_cast<float>((row[1] * kCentreVariance) * ph + prior[1]);
    const float w = static_cast<float>(std::exp(row[2] * kSizeVariance) * pw);
    const float h = static_cast<float>(std::exp(row[3] * kSizeVariance) * ph);
    FaceBox box;
    box.score = score;
    box.x1 = cx - w * 0.5f;
    box.x2 = box.x1 + w;
    box.y1 = cy - h * 0.5f;
    box.y2 = box.y1 + h;
    return box;
}

constexpr float kNestedInside = 0.8f;
constexpr float kNestedAreaRatio = 0.5f;

float Intersection(const FaceBox& a, const FaceBox& b) {
    const float w = std::max(std::min(a.x2, b.x2) - std::max(a.x1, b.x1), 0.0f);
    const float h = std::max(std::min(a.y2, b.y2) - std::max(a.y1, b.y1), 0.0f);
    return w * h;
}

// Over the union; two empty boxes give NaN, which compares as no overlap.
bool OneFace(const FaceBox& a, float area_a, const FaceBox& b, float area_b,
             const OverlapRule& rule) {
    const float inter = Intersection(a, b);
    if (inter / ((area_a + area_b) - inter) > rule.iou_threshold) return true;
    if (!rule.nested) return false;
    const float small = std::min(area_a, area_b), large = std::max(area_a, area_b);
    return small >= kNestedAreaRatio * large && inter >= kNestedInside * small && inter > 0.0f;
}

float Area(const FaceBox& b) { return (b.y2 - b.y1) * (b.x2 - b.x1); }

}  // namespace

float IoU(const FaceBox& a, const FaceBox& b) {
    const float inter = Intersection(a, b);
    return inter > 0.0f ? inter / ((Area(a) + Area(b)) - inter) : 0.0f;
}

static bool PointsFinite(const float* row, int landmark_count) {
    for (int i = 0; i < 2 * landmark_count; ++i)
        if (!std::isfinite(row[kRowLandmarks + i])) return false;
    return true;
}

int DecodeRows(const float* rows, int row_count, int row_length, float threshold, int top_k,
               const FrameMapping& mapping, FaceBox* boxes, int32_t* row_of, int landmark_count) {
    top_k = std::max(0, top_k);
    std::fill(boxes, boxes + top_k, FaceBox{});
    int count = 0;
    for (int r = 0; r < row_count; ++r) {
        const float* row = rows + static_cast<size_t>(r) * row_length;
        const float s = row[kRowScore];
        // A row whose score or box is not a finite number is no candidate: "NaN below the
        // threshold" is false, and such a row would otherwise enter the list as a face.
        if (!(s >= threshold) || !std::isfinite(s)) continue;
        FaceBox decoded = DecodeBox(row, s);
        if (!IsFinite(decoded) || !PointsFinite(row, landmark_count)) continue;
        decoded.x1 = std::clamp(decoded.x1 * mapping.fx, 0.0f, mapping.width);
        decoded.y1 = std::clamp(decoded.y1 * mapping.fy, 0.0f, mapping.height);
        decoded.x2 = std::clamp(decoded.x2 * mapping.fx, 0.0f, mapping.width);
        decoded.y2 = std::clamp(decoded.y2 * mapping.fy, 0.0f, mapping.height);
        // In the padding alone, or of no size: nothing of the frame to show.
        if (!(decoded.x1 < decoded.x2 && decoded.y1 < decoded.y2)) continue;
        // Insertion into the short sorted list: after every entry scoring at least s. Only
        // the entries filled so far count: the zeros after them would rank above a score of
        // 0 (a threshold of 0 admits one) and leave an empty box in its place.
        const int filled = std::min(count, top_k);
        ++count;
        int i = 0;
        while (i < filled && !(boxes[i].score < s)) ++i;
        if (i == top_k) continue;
        const int last = std::min(top_k, count) - 1;
        for (int j = last - 1; j >= i; --j) boxes[j + 1] = boxes[j];
        boxes[i] = decoded;
        if (row_of) {
            for (int j = last - 1; j >= i; --j) row_of[j + 1] = row_of[j];
            row_of[i] = r;
        }
    }
    return std::min(count, top_k);
}

void DecodeLandmarks(const float* row, int landmark_count, const FrameMapping& mapping,
                     float* points) {
    const float* prior = row + kRowPrior;
    const double pw = prior[2], ph = prior[3];
    for (int i = 0; i < landmark_count; ++i) {
        const float* offset = row + kRowLandmarks + 2 * i;
        const float x = static_cast<float>((offset[0] * kCentreVariance) * pw + prior[0]);
        const float y = static_cast<float>((offset[1] * kCentreVariance) * ph + prior[1]);
        points[2 * i] = std::clamp(x * mapping.fx, 0.0f, mapping.width);
        points[2 * i + 1] = std::clamp(y * mapping.fy, 0.0f, mapping.height);
    }
}

int SuppressOverlaps(const FaceBox* boxes, int count, const OverlapRule& rule, FaceBox* kept,
                     float* kept_areas, int32_t* kept_from) {
    int n = 0;
    for (int k = 0; k < count; ++k) {
        const FaceBox b = boxes[k];
        const float area = Area(b);
        bool overlaps = false;
        for (int i = 0; i < n && !overlaps; ++i)
            overlaps = OneFace(kept[i], kept_areas[i], b, area, rule);
        if (overlaps) continue;
        kept[n] = b;
        kept_areas[n] = area;
        if (kept_from) kept_from[n] = k;
        ++n;
    }
    return n;
}

void BlendOverlaps(const FaceBox* boxes, int count, const OverlapRule& rule, FaceBox* kept,
                   const float* kept_areas, int kept_count, FaceBox* sums) {
    std::fill(sums, sums + kept_count, FaceBox{});
    for (int k = 0; k < count; ++k) {
        const FaceBox& b = boxes[k];
        const float area = Area(b);
        // A kept box is one face with itself and with no earlier kept box, so it lands in its
        // own group (the identity test covers a threshold of 1); a dropped one in that of the
        // first box that dropped it.
        for (int i = 0; i < kept_count; ++i) {
            if (!OneFace(kept[i], kept_areas[i], b, area, rule) &&
                !(b.score == kept[i].score && b.x1 == kept[i].x1 && b.y1 == kept[i].y1 &&
                  b.x2 == kept[i].x2 && b.y2 == kept[i].y2))
                continue;
            // Weights relative to the group's best score lie in [0, 1], so that no network
            // score, however large, overflows the sums.
            const float w = kept[i].score > 0.0f ? b.score / kept[i].score : 1.0f;
            FaceBox& s = sums[i];
            s.score += w;
            s.x1 += w * b.x1;
            s.y1 += w * b.y1;
            s.x2 += w * b.x2;
            s.y2 += w * b.y2;
            break;
        }
    }
    // A mean of corners inside the frame may round a hair past its edge: it is held to the
    // span every box lies in.
    float lo_x = INFINITY, lo_y = INFINITY, hi_x = -INFINITY, hi_y = -INFINITY;
    for (int k = 0; k < count; ++k) {
        lo_x = std::min(lo_x, boxes[k].x1);
        lo_y = std::min(lo_y, boxes[k].y1);
        hi_x = std::max(hi_x, boxes[k].x2);
        hi_y = std::max(hi_y, boxes[k].y2);
    }
    for (int i = 0; i < kept_count; ++i) {
        const FaceBox& s = sums[i];
        // A group that got no box (a duplicate of an earlier kept box took it) stays as it is.
        if (!(s.score > 0.0f)) continue;
        const FaceBox mean{kept[i].score, std::clamp(s.x1 / s.score, lo_x, hi_x),
                           std::clamp(s.y1 / s.score, lo_y, hi_y),
                           std::clamp(s.x2 / s.score, lo_x, hi_x),
                           std::clamp(s.y2 / s.score, lo_y, hi_y)};
        // Means of ordered corners are ordered; rounding must not turn a sliver around.
        if (mean.x1 < mean.x2 && mean.y1 < mean.y2) kept[i] = mean;
    }
}

int32_t TruncateToInt(float v) {
    if (!(v == v)) return 0;
    if (v >= kInt32Saturation) return INT32_MAX;
    if (v <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace module
}  // namespace nerova
