// Hostile network output straight into decoding and suppression: arbitrary floats (NaN,
// infinities, huge offsets) as rows of 10 to 16 values, with arbitrary top_k, thresholds and
// overlap rules, blended or not, and the landmarks the columns past the tenth can hold.
// Whatever comes back must be faces: finite scores at or above the threshold, score falling,
// at most top_k of them, each with some area and all of it inside the frame, and points
// inside the frame.
#include <cmath>
#include <cstring>
#include <vector>

#include "face_detector/face_boxes.h"
#include "fuzz_util.h"

using nerova::module::BlendOverlaps;
using nerova::module::DecodeLandmarks;
using nerova::module::DecodeRows;
using nerova::module::FaceBox;
using nerova::module::FrameMapping;
using nerova::module::OverlapRule;
using nerova::module::SuppressOverlaps;
using nerova::module::TruncateToInt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nerova_fuzz::Input in(data, size);
    const int top_k = 1 + in.Byte() % 64;
    const float score_threshold = (in.Byte() % 101) / 100.0f;
    const uint8_t choice = in.Byte();
    const OverlapRule rule{(choice % 101) / 100.0f, (choice & 0x80) != 0};
    const bool blend = (in.Byte() & 1) != 0;
    const int row_length = 10 + in.Byte() % 7;
    std::vector<float> rows(in.left() / sizeof(float));
    if (!rows.empty()) std::memcpy(rows.data(), in.data(), rows.size() * sizeof(float));
    const int row_count = static_cast<int>(rows.size()) / row_length;
    const int landmarks = (row_length - 10) / 2;

    // A 120 x 90 frame letterboxed into a 320 x 320 input.
    const FrameMapping mapping{120.0f, 120.0f, 120.0f, 90.0f};
    std::vector<FaceBox> boxes(static_cast<size_t>(top_k));
    std::vector<int32_t> row_of(boxes.size());
    const int count = DecodeRows(rows.data(), row_count, row_length, score_threshold, top_k,
                                 mapping, boxes.data(), row_of.data(), landmarks);
    std::vector<float> areas(static_cast<size_t>(count));
    std::vector<FaceBox> kept_boxes(static_cast<size_t>(count)), sums(kept_boxes.size());
    std::vector<int32_t> kept_from(kept_boxes.size());
    const int kept = SuppressOverlaps(boxes.data(), count, rule, kept_boxes.data(), areas.data(),
                                      kept_from.data());
    if (count < 0 || count > top_k || kept < 0 || kept > count) __builtin_trap();
    if (blend)
        BlendOverlaps(boxes.data(), count, rule, kept_boxes.data(), areas.data(), kept,
                      sums.data());
    for (int i = 0; i < kept; ++i) {
        const FaceBox& b = kept_boxes[static_cast<size_t>(i)];
        if (!std::isfinite(b.score) || b.score < score_threshold) __builtin_trap();
        if (i > 0 && b.score > kept_boxes[static_cast<size_t>(i) - 1].score) __builtin_trap();
        if (!(0 <= b.x1 && b.x1 < b.x2 && b.x2 <= mapping.width && 0 <= b.y1 && b.y1 < b.y2 &&
              b.y2 <= mapping.height))
            __builtin_trap();
        (void)TruncateToInt(b.x1);
        float points[6];
        const int32_t row = row_of[static_cast<size_t>(kept_from[static_cast<size_t>(i)])];
        if (row < 0 || row >= row_count) __builtin_trap();
        DecodeLandmarks(rows.data() + static_cast<size_t>(row) * row_length, landmarks, mapping,
                        points);
        for (int k = 0; k < landmarks; ++k)
            if (!(points[2 * k] >= 0 && points[2 * k] <= mapping.width && points[2 * k + 1] >= 0 &&
                  points[2 * k + 1] <= mapping.height))
                __builtin_trap();
    }
    return 0;
}
