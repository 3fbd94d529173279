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

}  // namespace

int DecodeRows(const float* rows, int row_count, int row_length, float threshold, int top_k,
               const FrameMapping& mapping, FaceBox* boxes) {
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
        if (!IsFinite(decoded)) continue;
        decoded.x1 = std::clamp(decoded.x1 * mapping.fx, 0.0f, mapping.width);
        decoded.y1 = std::clamp(decoded.y1 * mapping.fy, 0.0f, mapping.height);
        decoded.x2 = std::clamp(decoded.x2 * mapping.fx, 0.0f, mapping.width);
        decoded.y2 = std::clamp(decoded.y2 * mapping.fy, 0.0f, mapping.height);
        // In the padding alone, or of no size: nothing of the frame to show.
        if (!(decoded.x1 < decoded.x2 && decoded.y1 < decoded.y2)) continue;
        // Insertion into the short sorted list: after every entry scoring at least s. Only the
        // entries filled so far count: the zeros past them would hold off a score of 0.
        const int filled = std::min(count, top_k);
        int i = 0;
        while (i < filled && !(boxes[i].score < s)) ++i;
        ++count;
        if (i == top_k) continue;
        const int last = std::min(top_k, count) - 1;
        for (int j = last - 1; j >= i; --j) boxes[j + 1] = boxes[j];
        boxes[i] = decoded;
    }
    return std::min(count, top_k);
}

int SuppressOverlaps(const FaceBox* boxes, int count, float iou_threshold, FaceBox* kept,
                     float* kept_areas) {
    int n = 0;
    for (int k = 0; k < count; ++k) {
        const FaceBox b = boxes[k];
        const float area = (b.y2 - b.y1) * (b.x2 - b.x1);
        bool overlaps = false;
        for (int i = 0; i < n && !overlaps; ++i) {
            const FaceBox& a = kept[i];
            const float w = std::max(std::min(a.x2, b.x2) - std::max(a.x1, b.x1), 0.0f);
            const float h = std::max(std::min(a.y2, b.y2) - std::max(a.y1, b.y1), 0.0f);
            const float inter = w * h;
            // Over the union; two empty boxes give NaN, which suppresses nothing.
            overlaps = inter / ((kept_areas[i] + area) - inter) > iou_threshold;
        }
        if (overlaps) continue;
        kept[n] = b;
        kept_areas[n] = area;
        ++n;
    }
    return n;
}

int32_t TruncateToInt(float v) {
    if (!(v == v)) return 0;
    if (v >= kInt32Saturation) return INT32_MAX;
    if (v <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace module
}  // namespace nerova
