/* Detects faces in a binary PPM (P6) image through the C interface of nerova.
 *   c_host MODEL IMAGE.ppm [TOP_K [SCORE_THRESHOLD [TILES]]]
 * MODEL is a model file, directory or name (NerovaFaceDetectorFindModel); TILES is "off",
 * "auto" or "RxC", as the command-line tool's --tiles.
 * Prints the library version, the settings, the model's landmark names, then one face per
 * line: score, box, and each landmark's x and y. */
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include "nerova_face_detector.h"

/* Skips white space and '#' comments between the header fields. */
static void skip_space(FILE* f) {
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '#') {
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
        } else if (!isspace(c)) {
            ungetc(c, f);
            return;
        }
    }
}

/* Returns the RGB pixels (to free), or NULL when the file is not an 8-bit P6 image. */
static unsigned char* read_ppm(const char* path, int* width, int* height) {
    FILE* f = fopen(path, "rb");
    unsigned char* pixels = NULL;
    int maxval = 0;
    if (!f) return NULL;
    if (fgetc(f) == 'P' && fgetc(f) == '6') {
        skip_space(f);
        if (fscanf(f, "%d", width) == 1) skip_space(f);
        if (fscanf(f, "%d", height) == 1) skip_space(f);
        if (fscanf(f, "%d", &maxval) == 1 && maxval == 255 && *width > 0 && *height > 0 &&
            *width < 65536 && *height < 65536 && isspace(fgetc(f))) {
            const size_t size = (size_t)*width * (size_t)*height * 3;
            pixels = malloc(size);
            if (pixels && fread(pixels, 1, size, f) != size) {
                free(pixels);
                pixels = NULL;
            }
        }
    }
    fclose(f);
    return pixels;
}

static int fail(const char* what, NerovaError err) {
    fprintf(stderr, "c_host: %s: %s (0x%04X)\n", what, NerovaErrorString(err), (unsigned)err);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: c_host MODEL IMAGE.ppm [TOP_K [SCORE_THRESHOLD [TILES]]]\n");
        return 2;
    }
    const int32_t top_k = argc > 3 ? atoi(argv[3]) : 100;
    const float score = argc > 4 ? (float)atof(argv[4]) : 0.95f;
    int width = 0, height = 0;
    unsigned char* pixels = read_ppm(argv[2], &width, &height);
    if (!pixels) {
        fprintf(stderr, "c_host: cannot read %s as a binary PPM\n", argv[2]);
        return 1;
    }
    printf("library %s\n", NerovaFaceDetectorVersion());

    char model[4096];
    int32_t rows = 1, cols = 1;
    NerovaError err = NerovaFaceDetectorFindModel(argv[1], model, sizeof model);
    if (!err && argc > 5) err = NerovaFaceDetectorParseTiles(argv[5], &rows, &cols);
    if (err) {
        free(pixels);
        return fail(argc > 5 ? "model or tiles" : "model", err);
    }
    void* detector = NULL;
    err = NerovaFaceDetectorCreate(model, "", NULL, &detector);
    if (err) {
        free(pixels);
        return fail("create", err);
    }
    /* Ten candidates cut crowded scenes short; a refused value leaves the setting as it was. */
    if ((err = NerovaFaceDetectorSetTopK(detector, top_k)) ||
        (err = NerovaFaceDetectorSetScoreThreshold(detector, score)) ||
        (err = NerovaFaceDetectorSetTiles(detector, rows, cols))) {
        fail("settings", err);
    }
    float score_threshold = 0, nms_threshold = 0;
    int32_t kept = 0;
    NerovaFaceDetectorGetSettings(detector, &score_threshold, &nms_threshold, &kept);
    printf("score_threshold %.2f nms_threshold %.2f top_k %d\n", score_threshold, nms_threshold,
           (int)kept);

    int32_t landmarks = 0;
    NerovaFaceDetectorGetLandmarkCount(detector, &landmarks);
    printf("landmarks");
    for (int32_t k = 0; k < landmarks; ++k)
        printf(" %s", NerovaFaceDetectorLandmarkName(detector, k));
    printf("\n");

    NerovaFrame frame = {NEROVA_PIXEL_FORMAT_RGB, width, height, {pixels}, {width * 3}};
    NerovaFaceDetail* faces = NULL;
    uint32_t count = 0;
    err = NerovaFaceDetectorProcessDetails(detector, &frame, sizeof(NerovaFaceDetail), &faces,
                                           &count);
    if (!err) {
        printf("faces %u\n", (unsigned)count);
        for (uint32_t i = 0; i < count; ++i) {
            /* The corners lie inside the frame: truncation gives NerovaFaceInfo's integers. */
            printf("%.4f %d %d %d %d", faces[i].score, (int)faces[i].x1, (int)faces[i].y1,
                   (int)faces[i].x2, (int)faces[i].y2);
            for (uint32_t k = 0; k < 2 * faces[i].landmark_count; ++k)
                printf(" %.2f", faces[i].landmarks[k]);
            printf("\n");
        }
        NerovaFaceDetectorDetailsRelease(faces);
    }
    NerovaFaceDetectorDestroy(detector);
    free(pixels);
    return err ? fail("process", err) : 0;
}
