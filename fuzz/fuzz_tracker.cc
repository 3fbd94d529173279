// Hostile detections through the tracker and the masks: any box a host may hand over (inverted,
// huge, outside the frame), frames looked at or not, any options in range. Every track, live or
// as known so far with some frames forgotten, or after the whole video, must lie inside the
// frame with some area and a stable id; hiding them must leave the picture's size alone, and
// the review page of any such video must be made.
#include <cmath>
#include <vector>

#include "fuzz_util.h"
#include "nerova_video.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nerova_fuzz::Input in(data, size);
    const int32_t width = 1 + in.Byte() % 96, height = 1 + in.Byte() % 96;
    NerovaTrackerOptions o;
    NerovaTrackerDefaults(&o);
    o.max_missed_frames = in.Byte() % 40;
    o.min_iou = (in.Byte() % 101) / 100.0f;
    o.growth_per_frame = (in.Byte() % 101) / 100.0f;
    o.max_growth = (in.Byte() % 201) / 50.0f;
    void* tracker = nullptr;
    if (NerovaTrackerCreate(&o, width, height, &tracker) != NEROVA_OK) __builtin_trap();
    const auto check = [&](const NerovaTrack* t, uint32_t n) {
        for (uint32_t i = 0; i < n; ++i)
            if (!(t[i].id > 0 && 0 <= t[i].x1 && t[i].x1 < t[i].x2 && t[i].x2 <= width &&
                  0 <= t[i].y1 && t[i].y1 < t[i].y2 && t[i].y2 <= height &&
                  std::isfinite(t[i].angle)))
                __builtin_trap();
    };
    uint32_t frames = 0;
    while (in.left() > 0 && frames < 40) {
        const uint8_t head = in.Byte();
        std::vector<NerovaFaceInfo> faces(head % 5);
        std::vector<float> angles(faces.size());
        for (size_t k = 0; k < faces.size(); ++k) {
            const uint32_t bits = in.U32();
            faces[k] = {static_cast<float>(in.Byte()) / 255.0f, static_cast<int32_t>(in.U32()),
                        static_cast<int32_t>(in.U32()), static_cast<int32_t>(in.U32()),
                        static_cast<int32_t>(in.U32())};
            // Small boxes inside the frame most of the time, anything now and then.
            if (bits & 1) {
                faces[k].x1 = static_cast<int32_t>(bits >> 1) % (width + 20) - 10;
                faces[k].y1 = static_cast<int32_t>(bits >> 8) % (height + 20) - 10;
                faces[k].x2 = faces[k].x1 + static_cast<int32_t>(bits >> 16) % 40;
                faces[k].y2 = faces[k].y1 + static_cast<int32_t>(bits >> 24) % 40;
            }
            angles[k] = static_cast<float>(static_cast<int32_t>(bits)) / 1e6f;
        }
        std::vector<uint32_t> ids(faces.size());
        NerovaTrack* live = nullptr;
        uint32_t n = 0;
        if ((head & 0x40) && NerovaTrackerCut(tracker) != NEROVA_OK) __builtin_trap();
        if (NerovaTrackerAddFrame(tracker, head & 0x80 ? 0 : 1, faces.data(),
                                  static_cast<uint32_t>(faces.size()), angles.data(), ids.data(),
                                  &live, &n) != NEROVA_OK)
            __builtin_trap();
        check(live, n);
        NerovaTracksRelease(live);
        ++frames;
        // A live host's look-ahead of head % 8 frames, forgetting what it wrote.
        const uint32_t ahead = (head >> 3) % 8;
        if (ahead < frames) {
            if (NerovaTrackerFrameSoFar(tracker, frames - 1 - ahead, &live, &n) != NEROVA_OK)
                __builtin_trap();
            check(live, n);
            NerovaTracksRelease(live);
            if ((head & 0x20) && NerovaTrackerForget(tracker, frames - ahead) != NEROVA_OK)
                __builtin_trap();
        }
    }
    if (NerovaTrackerFinish(tracker) != NEROVA_OK) __builtin_trap();
    std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3, 200);
    void* review = nullptr;
    if (NerovaReviewCreate(tracker, "fuzz <&\">.mp4", 25, &review) != NEROVA_OK) __builtin_trap();
    for (uint32_t f = 0; f < frames; ++f) {
        NerovaTrack* t = nullptr;
        uint32_t n = 0;
        if (NerovaTrackerFrame(tracker, f, &t, &n) != NEROVA_OK) __builtin_trap();
        check(t, n);
        std::vector<NerovaMaskRegion> regions;
        for (uint32_t i = 0; i < n; ++i)
            regions.push_back({t[i].x1, t[i].y1, t[i].x2, t[i].y2, t[i].angle});
        NerovaAnonymize(NEROVA_PIXEL_FORMAT_BGR, width, height, picture.data(), width * 3,
                        regions.data(), n, 1 + f % 3, f % 2, 1.0f + f % 10, nullptr);
        NerovaTracksRelease(t);
        if (NerovaReviewAddFrame(review, f, NEROVA_PIXEL_FORMAT_BGR, width, height, picture.data(),
                                 width * 3) != NEROVA_OK)
            __builtin_trap();
    }
    NerovaTrackerDestroy(tracker);
    NerovaReviewCounts counts{};
    counts.size = sizeof counts;
    if (NerovaReviewGetCounts(review, &counts) != NEROVA_OK || counts.frames != frames ||
        counts.pictures > counts.to_check)
        __builtin_trap();
    if (NerovaReviewWrite(review, "/tmp/nerova-fuzz-review.html", 1) != NEROVA_OK) __builtin_trap();
    NerovaReviewDestroy(review);
    return 0;
}
