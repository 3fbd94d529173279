#include "frames.h"

#include <cstring>
#include <opencv2/imgproc.hpp>

namespace nerova_tool {

void MakeFrame(const cv::Mat& bgr, int32_t format, FrameBuffer& out) {
    NerovaFrame& f = out.frame;
    f = NerovaFrame{};
    f.pixel_format = static_cast<NerovaPixelFormat>(format);
    f.width = bgr.cols;
    f.height = bgr.rows;
    const int w = bgr.cols, h = bgr.rows;
    if (format == NEROVA_PIXEL_FORMAT_NV12 || format == NEROVA_PIXEL_FORMAT_NV21 ||
        format == NEROVA_PIXEL_FORMAT_YV12) {
        // 4:2:0 needs even sides: odd ones are padded by replication, then described at
        // their real size with the padded strides.
        const int ew = (w + 1) & ~1, eh = (h + 1) & ~1;
        cv::Mat even;
        cv::copyMakeBorder(bgr, even, 0, eh - h, 0, ew - w, cv::BORDER_REPLICATE);
        cv::Mat i420;
        cv::cvtColor(even, i420, cv::COLOR_BGR2YUV_I420);  // Y, then U, then V planes
        const uint8_t* y = i420.data;
        const uint8_t* u = y + static_cast<size_t>(ew) * eh;
        const uint8_t* v = u + static_cast<size_t>(ew / 2) * (eh / 2);
        out.packed.create(eh + eh / 2, ew, CV_8UC1);
        std::memcpy(out.packed.data, y, static_cast<size_t>(ew) * eh);
        uint8_t* chroma = out.packed.data + static_cast<size_t>(ew) * eh;
        const size_t quarter = static_cast<size_t>(ew / 2) * (eh / 2);
        if (format == NEROVA_PIXEL_FORMAT_YV12) {
            std::memcpy(chroma, v, quarter);
            std::memcpy(chroma + quarter, u, quarter);
            f.data[1] = chroma;
            f.data[2] = chroma + quarter;
            f.stride[1] = f.stride[2] = ew / 2;
        } else {
            const bool nv12 = format == NEROVA_PIXEL_FORMAT_NV12;
            for (size_t i = 0; i < quarter; ++i) {
                chroma[2 * i] = nv12 ? u[i] : v[i];
                chroma[2 * i + 1] = nv12 ? v[i] : u[i];
            }
            f.data[1] = chroma;
            f.stride[1] = ew;
        }
        f.data[0] = out.packed.data;
        f.stride[0] = ew;
        return;
    }
    switch (format) {
        case NEROVA_PIXEL_FORMAT_RGB:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2RGB);
            break;
        case NEROVA_PIXEL_FORMAT_BGRA:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2BGRA);
            break;
        case NEROVA_PIXEL_FORMAT_RGBA:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2RGBA);
            break;
        case NEROVA_PIXEL_FORMAT_GRAY:
            cv::cvtColor(bgr, out.packed, cv::COLOR_BGR2GRAY);
            break;
        default:
            out.packed = bgr;
    }
    f.data[0] = out.packed.data;
    f.stride[0] = static_cast<int32_t>(out.packed.step[0]);
}

}  // namespace nerova_tool
