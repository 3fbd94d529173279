/* Follows a face that a host detected on every fourth frame through a synthetic video, hides
 * it in every frame with the library's masks and writes the video:
 *   video_host OUT.avi
 * prints "frames N masks M" and exits 0 once the file is in place. */
#include <stdio.h>
#include <string.h>

#include "nerova_face_detector.h"
#include "nerova_video.h"

enum { kWidth = 160, kHeight = 120, kFrames = 24, kSide = 30 };

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: video_host OUT.avi\n");
        return 2;
    }
    void* tracker = NULL;
    void* writer = NULL;
    if (NerovaTrackerCreate(NULL, kWidth, kHeight, &tracker) != NEROVA_OK) return 1;
    for (int f = 0; f < kFrames; ++f) {
        /* A face moving right by three pixels a frame, seen on every fourth frame. */
        const NerovaFaceInfo face = {0.99f, 10 + 3 * f, 40, 10 + 3 * f + kSide, 40 + kSide};
        const int seen = f % 4 == 0;
        if (NerovaTrackerAddFrame(tracker, seen, seen ? &face : NULL, seen ? 1u : 0u, NULL, NULL,
                                  NULL, NULL) != NEROVA_OK)
            return 1;
    }
    if (NerovaTrackerFinish(tracker) != NEROVA_OK) return 1;
    if (NerovaVideoWriterCreate(argv[1], NULL, "mjpeg", 80, 0, &writer) != NEROVA_OK) return 1;
    static uint8_t pixels[kHeight][kWidth][3];
    unsigned masks = 0;
    for (uint32_t f = 0; f < kFrames; ++f) {
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                memset(pixels[y][x], (x * 7 + y * 3 + (int)f) & 0xff, 3);
        NerovaTrack* tracks = NULL;
        uint32_t count = 0;
        if (NerovaTrackerFrame(tracker, f, &tracks, &count) != NEROVA_OK) return 1;
        NerovaMaskRegion regions[8];
        uint32_t n = count < 8 ? count : 8;
        for (uint32_t k = 0; k < n; ++k) {
            const NerovaMaskRegion r = {tracks[k].x1, tracks[k].y1, tracks[k].x2, tracks[k].y2,
                                        tracks[k].angle};
            regions[k] = r;
        }
        NerovaTracksRelease(tracks);
        masks += n;
        if (NerovaAnonymize(NEROVA_PIXEL_FORMAT_BGR, kWidth, kHeight, &pixels[0][0][0], kWidth * 3,
                            regions, n, NEROVA_HIDE_SOLID, NEROVA_MASK_ELLIPSE, 1.2f,
                            NULL) != NEROVA_OK ||
            NerovaVideoWriterWrite(writer, NEROVA_PIXEL_FORMAT_BGR, kWidth, kHeight,
                                   &pixels[0][0][0], kWidth * 3, 12.0) != NEROVA_OK) {
            fprintf(stderr, "video_host: %s\n", NerovaVideoWriterMessage(writer));
            return 1;
        }
    }
    const NerovaError err = NerovaVideoWriterFinish(writer);
    if (err != NEROVA_OK) fprintf(stderr, "video_host: %s\n", NerovaVideoWriterMessage(writer));
    NerovaVideoWriterDestroy(writer);
    NerovaTrackerDestroy(tracker);
    printf("frames %d masks %u\n", kFrames, masks);
    return err == NEROVA_OK ? 0 : 1;
}
