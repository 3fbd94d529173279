// A minimal host for the memory check: creates a detector, runs it over binary PPM frames
// in every pixel format the frame converter reads, releases every result and destroys it;
// the same frames in BGR in detail (landmarks, alignment), followed by the tracker and hidden.
// It links no image codec, so valgrind can run it (the codecs pull in a library whose
// start-up code valgrind cannot execute on some CPUs). Built with NEROVA_MEMCHECK_VIDEO it
// also follows the frames with the video library's tracker; that library links FFmpeg's,
// which pull in the same library, so the detector alone is checked without it.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "nerova_face_detector.h"
#if NEROVA_MEMCHECK_VIDEO
#include "nerova_video.h"
#endif

namespace {

bool ReadPpm(const char* path, int& w, int& h, std::vector<uint8_t>& rgb) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    in >> magic >> w >> h >> maxval;
    in.get();
    if (magic != "P6" || w <= 0 || h <= 0 || maxval != 255) return false;
    rgb.resize(static_cast<size_t>(w) * h * 3);
    in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
    return static_cast<bool>(in);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: memcheck_host MODEL FRAME.ppm...\n");
        return 2;
    }
    void* handle = nullptr;
    if (NerovaFaceDetectorCreate(argv[1], "", nullptr, &handle) != NEROVA_OK) return 3;
    size_t faces_total = 0;
    for (int i = 2; i < argc; ++i) {
        int w = 0, h = 0;
        std::vector<uint8_t> rgb;
        if (!ReadPpm(argv[i], w, h, rgb)) return 4;
        std::vector<uint8_t> gray(static_cast<size_t>(w) * h);
        for (size_t p = 0; p < gray.size(); ++p) gray[p] = rgb[3 * p + 1];
        const std::vector<uint8_t> chroma(static_cast<size_t>(w + 1) * (h + 1), 128);
        for (NerovaPixelFormat format : {NEROVA_PIXEL_FORMAT_RGB, NEROVA_PIXEL_FORMAT_GRAY,
                                         NEROVA_PIXEL_FORMAT_NV12, NEROVA_PIXEL_FORMAT_YV12}) {
            NerovaFrame frame{};
            frame.pixel_format = format;
            frame.width = w;
            frame.height = h;
            const bool rgb_format = format == NEROVA_PIXEL_FORMAT_RGB;
            frame.data[0] = rgb_format ? rgb.data() : gray.data();
            frame.stride[0] = rgb_format ? 3 * w : w;
            frame.data[1] = frame.data[2] = chroma.data();
            frame.stride[1] = w + 1;
            frame.stride[2] = (w + 1) / 2;
            NerovaFaceInfo* faces = nullptr;
            uint32_t count = 0;
            if (NerovaFaceDetectorProcess(handle, &frame, &faces, &count) != NEROVA_OK) return 5;
            faces_total += count;
            NerovaFaceDetectorOutputRelease(faces);
        }
    }
    // The frames again as a BGR video: details, alignment, tracking and masks.
    [[maybe_unused]] void* tracker = nullptr;
    std::vector<std::vector<NerovaMaskRegion>> detected;
    std::vector<const char*> names;
    int32_t landmarks = 0;
    NerovaFaceDetectorGetLandmarkCount(handle, &landmarks);
    for (int32_t k = 0; k < landmarks; ++k)
        names.push_back(NerovaFaceDetectorLandmarkName(handle, k));
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<int> sizes;
    for (int i = 2; i < argc; ++i) {
        int w = 0, h = 0;
        std::vector<uint8_t> bgr;
        if (!ReadPpm(argv[i], w, h, bgr)) return 4;
        for (size_t p = 0; p < bgr.size(); p += 3) std::swap(bgr[p], bgr[p + 2]);
#if NEROVA_MEMCHECK_VIDEO
        // The tracker follows one video size: the first frame's; later frames are cut to it.
        if (!tracker && NerovaTrackerCreate(nullptr, w, h, &tracker) != NEROVA_OK) return 6;
#endif
        NerovaFrame frame{NEROVA_PIXEL_FORMAT_BGR, w, h, {bgr.data()}, {3 * w}};
        NerovaFaceDetail* details = nullptr;
        uint32_t count = 0;
        if (NerovaFaceDetectorProcessDetails(handle, &frame, sizeof(NerovaFaceDetail), &details,
                                             &count) != NEROVA_OK)
            return 7;
        std::vector<NerovaFaceInfo> boxes;
        for (uint32_t k = 0; k < count; ++k) {
            float m[6];
            NerovaFaceAlignment(&details[k], names.data(), 112, m);
            boxes.push_back({details[k].score, int32_t(details[k].x1), int32_t(details[k].y1),
                             int32_t(details[k].x2), int32_t(details[k].y2)});
        }
        NerovaFaceDetectorDetailsRelease(details);
        detected.emplace_back();
        for (const NerovaFaceInfo& b : boxes)
            detected.back().push_back({float(b.x1), float(b.y1), float(b.x2), float(b.y2), 0});
#if NEROVA_MEMCHECK_VIDEO
        // Photos of other sizes in a row: each one a cut.
        if (NerovaTrackerSeeFrame(tracker, NEROVA_PIXEL_FORMAT_BGR, w, h, bgr.data(), 3 * w,
                                  nullptr) != NEROVA_OK)
            return 9;
        NerovaTrack* live = nullptr;
        uint32_t live_count = 0;
        NerovaTrackerAddFrame(tracker, 1, boxes.data(), count, nullptr, nullptr, &live,
                              &live_count);
        NerovaTracksRelease(live);
        NerovaTrackerAddFrame(tracker, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
#endif
        pictures.push_back(std::move(bgr));
        sizes.push_back(w);
        sizes.push_back(h);
    }
#if NEROVA_MEMCHECK_VIDEO
    NerovaTrackerFinish(tracker);
#endif
    for (size_t f = 0; f < pictures.size(); ++f) {
        std::vector<NerovaMaskRegion> regions = detected[f];
#if NEROVA_MEMCHECK_VIDEO
        NerovaTrack* tracks = nullptr;
        uint32_t count = 0;
        if (NerovaTrackerFrame(tracker, uint32_t(2 * f), &tracks, &count) != NEROVA_OK) return 8;
        regions.clear();
        for (uint32_t k = 0; k < count; ++k)
            regions.push_back({tracks[k].x1, tracks[k].y1, tracks[k].x2, tracks[k].y2, 0});
        NerovaTracksRelease(tracks);
#endif
        NerovaAnonymize(NEROVA_PIXEL_FORMAT_BGR, sizes[2 * f], sizes[2 * f + 1], pictures[f].data(),
                        3 * sizes[2 * f], regions.data(), uint32_t(regions.size()),
                        NEROVA_HIDE_BLUR, NEROVA_MASK_ELLIPSE, 1.3f, nullptr);
    }
#if NEROVA_MEMCHECK_VIDEO
    NerovaTrackerDestroy(tracker);
#endif

    // A refused frame on the way out, so that the failure path is checked too.
    NerovaFrame empty{};
    NerovaFaceInfo* faces = nullptr;
    uint32_t count = 0;
    NerovaFaceDetectorProcess(handle, &empty, &faces, &count);
    NerovaFaceDetectorDestroy(handle);
    std::printf("memcheck_host: %d frames, %zu faces\n", argc - 2, faces_total);
    return 0;
}
