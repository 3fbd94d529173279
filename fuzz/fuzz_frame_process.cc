// Frame conversion and the whole process call on arbitrary frame records: pixel format,
// sizes, strides and plane bytes from the input, with real memory behind every pointer the
// record names (the size it claims, bounded), whole or in tiles. Every face returned must
// lie inside the frame with its corners in order.
#include <cstring>
#include <vector>

#include "face_detector/face_detector.h"
#include "fuzz_util.h"
#include "nerova_face_detector.h"

namespace {

// A detector on a network written by the fuzz build (NEROVA_FUZZ_MODEL), made once.
void* Detector() {
    static void* handle = [] {
        void* h = nullptr;
        const char* model = std::getenv("NEROVA_FUZZ_MODEL");
        if (model) NerovaFaceDetectorCreate(model, "", nullptr, &h);
        return h;
    }();
    return handle;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nerova_fuzz::Input in(data, size);
    NerovaFrame frame{};
    // Mostly the formats around the enumeration, sometimes any 32-bit value a host could
    // write (negative, or far above the range).
    const uint8_t pick = in.Byte();
    const int32_t format = pick < 224 ? pick % 10 : static_cast<int32_t>(in.U32());
    std::memcpy(&frame.pixel_format, &format, sizeof format);
    frame.width = static_cast<int16_t>(in.U32() & 0xFFFF) % 700;
    frame.height = static_cast<int16_t>(in.U32() & 0xFFFF) % 700;
    std::vector<std::vector<uint8_t>> planes(3);
    for (int p = 0; p < 3; ++p) {
        frame.stride[p] = static_cast<int32_t>(in.U32() % 3000) - 8;
        const int rows = frame.height > 0 ? frame.height : 1;
        const long bytes = static_cast<long>(frame.stride[p] > 0 ? frame.stride[p] : 1) * rows;
        if (in.Byte() % 8 == 0 || bytes > (8L << 20)) continue;  // leave this plane null
        planes[p].assign(static_cast<size_t>(bytes), 0);
        const std::string fill = in.Bytes(planes[p].size());
        std::copy(fill.begin(), fill.end(), planes[p].begin());
        frame.data[p] = planes[p].data();
    }
    const cv::Mat image =
        nerova::module::FrameConverter::FrameToMat(&frame, NEROVA_PIXEL_FORMAT_BGR);
    if (!image.empty() &&
        (image.rows != frame.height || image.cols != frame.width || image.type() != CV_8UC3))
        __builtin_trap();
    if (void* handle = Detector()) {
        // Off, automatic, or a grid: the tiles are views into the same planes.
        static const int32_t kTiles[][2] = {{1, 1}, {0, 0}, {2, 2}, {3, 1}};
        const int32_t* tiles = kTiles[in.Byte() % 4];
        NerovaFaceDetectorSetTiles(handle, tiles[0], tiles[1]);
        NerovaFaceInfo* faces = nullptr;
        uint32_t count = 0;
        if (NerovaFaceDetectorProcess(handle, &frame, &faces, &count) == NEROVA_OK) {
            // Every face lies inside the frame, corners in order.
            for (uint32_t i = 0; i < count; ++i) {
                const NerovaFaceInfo& f = faces[i];
                if (!(0 <= f.x1 && f.x1 <= f.x2 && f.x2 <= frame.width && 0 <= f.y1 &&
                      f.y1 <= f.y2 && f.y2 <= frame.height))
                    __builtin_trap();
            }
            NerovaFaceDetectorOutputRelease(faces);
        }
    }
    return 0;
}
