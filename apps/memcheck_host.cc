// A minimal host for the memory check: creates a detector, runs it over binary PPM frames
// in every pixel format the frame converter reads, releases every result and destroys it.
// It links no image codec, so valgrind can run it (the codecs pull in a library whose
// start-up code valgrind cannot execute).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "nerova_face_detector.h"

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
    // A refused frame on the way out, so that the failure path is checked too.
    NerovaFrame empty{};
    NerovaFaceInfo* faces = nullptr;
    uint32_t count = 0;
    NerovaFaceDetectorProcess(handle, &empty, &faces, &count);
    NerovaFaceDetectorDestroy(handle);
    std::printf("memcheck_host: %d frames, %zu faces\n", argc - 2, faces_total);
    return 0;
}
