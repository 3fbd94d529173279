#include "anonymize.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace nerova_tool {

void Anonymize(cv::Mat& bgr, const std::vector<NerovaMaskRegion>& regions, Hide how, float scale,
               MaskShape shape) {
    if (how == Hide::kNone || regions.empty()) return;
    const int32_t hide = how == Hide::kBlur       ? NEROVA_HIDE_BLUR
                         : how == Hide::kPixelate ? NEROVA_HIDE_PIXELATE
                                                  : NEROVA_HIDE_SOLID;
    NerovaAnonymize(
        NEROVA_PIXEL_FORMAT_BGR, bgr.cols, bgr.rows, bgr.data, static_cast<int32_t>(bgr.step),
        regions.data(), static_cast<uint32_t>(regions.size()), hide,
        shape == MaskShape::kRect ? NEROVA_MASK_RECT : NEROVA_MASK_ELLIPSE, scale, nullptr);
}

std::vector<NerovaMaskRegion> FaceRegions(const std::vector<Face>& faces,
                                          const std::vector<const char*>& names) {
    std::vector<NerovaMaskRegion> regions;
    for (const Face& f : faces) {
        float angle = 0;
        NerovaFaceAngle(&f.detail, names.data(), &angle);
        regions.push_back({static_cast<float>(f.info.x1), static_cast<float>(f.info.y1),
                           static_cast<float>(f.info.x2), static_cast<float>(f.info.y2), angle});
    }
    return regions;
}

#if NEROVA_TOOL_VIDEO
std::vector<NerovaMaskRegion> TrackRegions(const NerovaTrack* tracks, uint32_t count) {
    std::vector<NerovaMaskRegion> regions;
    for (uint32_t i = 0; i < count; ++i)
        regions.push_back(
            {tracks[i].x1, tracks[i].y1, tracks[i].x2, tracks[i].y2, tracks[i].angle});
    return regions;
}
#endif

namespace {

void Label(cv::Mat& bgr, const cv::Rect& r, const char* text, const cv::Scalar& colour,
           int thickness) {
    cv::rectangle(bgr, r, colour, thickness);
    cv::putText(bgr, text, cv::Point(r.x, std::max(12, r.y - 4)), cv::FONT_HERSHEY_SIMPLEX,
                0.4 * thickness, colour, std::max(1, thickness / 2));
}

int Thickness(const cv::Mat& bgr) { return std::max(2, std::min(bgr.cols, bgr.rows) / 300); }

}  // namespace

void DrawFaces(cv::Mat& bgr, const std::vector<Face>& faces) {
    const int thickness = Thickness(bgr);
    for (const Face& face : faces) {
        const NerovaFaceInfo& f = face.info;
        for (size_t k = 0; k + 1 < face.points.size(); k += 2)
            cv::circle(bgr, cv::Point2f(face.points[k], face.points[k + 1]), thickness,
                       cv::Scalar(0, 0, 255), cv::FILLED);
        char label[16];
        std::snprintf(label, sizeof label, "%.2f", f.score);
        Label(bgr, cv::Rect(cv::Point(f.x1, f.y1), cv::Point(f.x2, f.y2)), label,
              cv::Scalar(0, 255, 0), thickness);
    }
}

#if NEROVA_TOOL_VIDEO
void DrawTracks(cv::Mat& bgr, const NerovaTrack* tracks, uint32_t count) {
    const int thickness = Thickness(bgr);
    for (uint32_t i = 0; i < count; ++i) {
        const NerovaTrack& t = tracks[i];
        char label[32];
        std::snprintf(label, sizeof label, "#%u %.2f", t.id, t.score);
        const bool seen = t.state == NEROVA_TRACK_DETECTED;
        Label(bgr,
              cv::Rect(cv::Point(cvRound(t.x1), cvRound(t.y1)),
                       cv::Point(cvRound(t.x2), cvRound(t.y2))),
              label, seen ? cv::Scalar(0, 255, 0) : cv::Scalar(0, 165, 255), thickness);
    }
}
#endif

}  // namespace nerova_tool
