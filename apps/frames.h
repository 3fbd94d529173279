// Frames for the library in any pixel format, made from a decoded BGR image (--pixel-format).
#ifndef NEROVA_APPS_FRAMES_H_
#define NEROVA_APPS_FRAMES_H_

#include <opencv2/core.hpp>
#include <string>

#include "nerova_face_detector.h"

namespace nerova_tool {

// Holds the pixels of a frame in the requested format for as long as the frame is used.
struct FrameBuffer {
    cv::Mat packed;  // interleaved formats, or the whole YUV buffer
    NerovaFrame frame{};
};

// Describes bgr (a view is fine) to the library in format, converting into out as needed.
void MakeFrame(const cv::Mat& bgr, int32_t format, FrameBuffer& out);

}  // namespace nerova_tool

#endif  // NEROVA_APPS_FRAMES_H_
