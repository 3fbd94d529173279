#include <algorithm>
#include <cstring>
#include <opencv2/imgproc.hpp>

#include "nerova/module_common.h"

namespace nerova {
namespace module {

namespace {

// The host's pixel format as the 32-bit integer it wrote: a value outside the enumeration
// must not be loaded as the enumeration type.
int32_t FormatOf(const NerovaFrame& f) {
    int32_t format;
    std::memcpy(&format, &f.pixel_format, sizeof format);
    return format;
}

bool PlaneOk(const NerovaFrame& f, int index, int row_bytes) {
    return f.data[index] != nullptr && f.stride[index] >= row_bytes;
}

// Copies an h x w byte plane with its stride into dst, replicating the last column and row
// into the extra column and row of an even-sized destination.
void CopyPlane(const uint8_t* src, int stride, int w, int h, cv::Mat& dst) {
    for (int y = 0; y < dst.rows; ++y) {
        const uint8_t* row = src + static_cast<size_t>(std::min(y, h - 1)) * stride;
        uint8_t* out = dst.ptr<uint8_t>(y);
        std::memcpy(out, row, w);
        for (int x = w; x < dst.cols; ++x) out[x] = row[w - 1];
    }
}

// YUV 4:2:0 frames go through one contiguous buffer of even size, which OpenCV's
// converters require; an odd width or height is padded by replication and cropped after.
cv::Mat Yuv420ToBgr(const NerovaFrame& f) {
    const int w = f.width, h = f.height;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const int ew = cw * 2, eh = ch * 2;
    if (!PlaneOk(f, 0, w)) return cv::Mat();
    cv::Mat buffer(eh + eh / 2, ew, CV_8UC1);
    cv::Mat y_plane = buffer.rowRange(0, eh);
    CopyPlane(f.data[0], f.stride[0], w, h, y_plane);
    int code;
    if (FormatOf(f) == NEROVA_PIXEL_FORMAT_YV12) {
        if (!PlaneOk(f, 1, cw) || !PlaneOk(f, 2, cw)) return cv::Mat();
        // Each chroma plane occupies ch * cw bytes right after the luma, V first.
        uint8_t* v_out = buffer.ptr<uint8_t>(eh);
        uint8_t* u_out = v_out + static_cast<size_t>(ch) * cw;
        for (int y = 0; y < ch; ++y) {
            std::memcpy(v_out + static_cast<size_t>(y) * cw,
                        f.data[1] + static_cast<size_t>(y) * f.stride[1], cw);
            std::memcpy(u_out + static_cast<size_t>(y) * cw,
                        f.data[2] + static_cast<size_t>(y) * f.stride[2], cw);
        }
        code = cv::COLOR_YUV2BGR_YV12;
    } else {
        if (!PlaneOk(f, 1, ew)) return cv::Mat();
        cv::Mat uv = buffer.rowRange(eh, eh + ch);
        CopyPlane(f.data[1], f.stride[1], ew, ch, uv);
        code = FormatOf(f) == NEROVA_PIXEL_FORMAT_NV12 ? cv::COLOR_YUV2BGR_NV12
                                                       : cv::COLOR_YUV2BGR_NV21;
    }
    cv::Mat bgr;
    cv::cvtColor(buffer, bgr, code);
    if (ew != w || eh != h) bgr = bgr(cv::Rect(0, 0, w, h)).clone();
    return bgr;
}

cv::Mat ToBgr(const NerovaFrame& f) {
    int channels = 0, code = -1;
    switch (FormatOf(f)) {
        case NEROVA_PIXEL_FORMAT_BGR:
            channels = 3;
            break;
        case NEROVA_PIXEL_FORMAT_RGB:
            channels = 3;
            code = cv::COLOR_RGB2BGR;
            break;
        case NEROVA_PIXEL_FORMAT_BGRA:
            channels = 4;
            code = cv::COLOR_BGRA2BGR;
            break;
        case NEROVA_PIXEL_FORMAT_RGBA:
            channels = 4;
            code = cv::COLOR_RGBA2BGR;
            break;
        case NEROVA_PIXEL_FORMAT_GRAY:
            channels = 1;
            code = cv::COLOR_GRAY2BGR;
            break;
        case NEROVA_PIXEL_FORMAT_NV12:
        case NEROVA_PIXEL_FORMAT_NV21:
        case NEROVA_PIXEL_FORMAT_YV12:
            return Yuv420ToBgr(f);
        default:
            return cv::Mat();
    }
    if (!PlaneOk(f, 0, f.width * channels)) return cv::Mat();
    // A header over the host's memory; every path below writes into new storage.
    const cv::Mat view(f.height, f.width, CV_8UC(channels), const_cast<uint8_t*>(f.data[0]),
                       static_cast<size_t>(f.stride[0]));
    cv::Mat bgr;
    if (code < 0) {
        view.copyTo(bgr);
    } else {
        cv::cvtColor(view, bgr, code);
    }
    return bgr;
}

}  // namespace

cv::Mat FrameConverter::FrameToMat(const NerovaFrame* frame, NerovaPixelFormat target) {
    if (!frame) return cv::Mat();
    const NerovaFrame& f = *frame;
    if (f.width <= 0 || f.height <= 0 || f.width > kMaxSide || f.height > kMaxSide ||
        static_cast<int64_t>(f.width) * f.height > kMaxPixels) {
        return cv::Mat();
    }
    if (target != NEROVA_PIXEL_FORMAT_BGR && target != NEROVA_PIXEL_FORMAT_RGB &&
        target != NEROVA_PIXEL_FORMAT_GRAY) {
        return cv::Mat();
    }
    cv::Mat bgr = ToBgr(f);
    if (bgr.empty() || target == NEROVA_PIXEL_FORMAT_BGR) return bgr;
    cv::cvtColor(bgr, bgr,
                 target == NEROVA_PIXEL_FORMAT_RGB ? cv::COLOR_BGR2RGB : cv::COLOR_BGR2GRAY);
    return bgr;
}

int FrameConverter::InterleavedChannels(int32_t format) {
    switch (format) {
        case NEROVA_PIXEL_FORMAT_GRAY:
            return 1;
        case NEROVA_PIXEL_FORMAT_BGR:
        case NEROVA_PIXEL_FORMAT_RGB:
            return 3;
        case NEROVA_PIXEL_FORMAT_BGRA:
        case NEROVA_PIXEL_FORMAT_RGBA:
            return 4;
        default:
            return 0;
    }
}

}  // namespace module
}  // namespace nerova
