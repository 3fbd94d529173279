#include "anonymize.h"

#include <algorithm>
#include <cstdio>
#include <opencv2/imgproc.hpp>

namespace nerova_tool {
namespace {

// Shrinks the region to a few cells across and back: no feature a detector (or a person)
// could use survives, whatever the face's size, at a cost independent of it.
cv::Mat Hidden(const cv::Mat& roi, Hide how) {
    if (how == Hide::kSolid) return cv::Mat(roi.size(), roi.type(), cv::Scalar::all(0));
    const int cells = how == Hide::kBlur ? 6 : 8;
    const double f = static_cast<double>(cells) / std::max(roi.cols, roi.rows);
    const cv::Size small(std::max(1, cvRound(roi.cols * f)), std::max(1, cvRound(roi.rows * f)));
    cv::Mat down, out;
    cv::resize(roi, down, small, 0, 0, cv::INTER_AREA);
    if (how == Hide::kPixelate) {
        cv::resize(down, out, roi.size(), 0, 0, cv::INTER_NEAREST);
        return out;
    }
    cv::GaussianBlur(down, down, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
    cv::resize(down, out, roi.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

}  // namespace

void Anonymize(cv::Mat& bgr, const std::vector<NerovaFaceInfo>& faces, Hide how, float scale,
               MaskShape shape) {
    if (how == Hide::kNone) return;
    const cv::Rect frame(0, 0, bgr.cols, bgr.rows);
    for (const NerovaFaceInfo& f : faces) {
        const double cx = (f.x1 + f.x2) / 2.0, cy = (f.y1 + f.y2) / 2.0;
        const double hw = (f.x2 - f.x1) * scale / 2.0, hh = (f.y2 - f.y1) * scale / 2.0;
        const cv::Rect box(cv::Point(cvFloor(cx - hw), cvFloor(cy - hh)),
                           cv::Point(cvCeil(cx + hw), cvCeil(cy + hh)));
        const cv::Rect clipped = box & frame;
        if (clipped.empty()) continue;
        cv::Mat roi = bgr(clipped);
        const cv::Mat hidden = Hidden(roi, how);
        if (shape == MaskShape::kRect) {
            hidden.copyTo(roi);
            continue;
        }
        // The ellipse belongs to the unclipped box, so a face at the edge stays an ellipse.
        cv::Mat mask(clipped.size(), CV_8UC1, cv::Scalar(0));
        const cv::Point2f centre(static_cast<float>(cx - clipped.x),
                                 static_cast<float>(cy - clipped.y));
        cv::ellipse(mask, cv::RotatedRect(centre, cv::Size2f(box.width, box.height), 0),
                    cv::Scalar(255), cv::FILLED);
        hidden.copyTo(roi, mask);
    }
}

void DrawFaces(cv::Mat& bgr, const std::vector<NerovaFaceInfo>& faces) {
    const int thickness = std::max(2, std::min(bgr.cols, bgr.rows) / 300);
    for (const NerovaFaceInfo& f : faces) {
        const cv::Rect r(cv::Point(f.x1, f.y1), cv::Point(f.x2, f.y2));
        cv::rectangle(bgr, r, cv::Scalar(0, 255, 0), thickness);
        char label[16];
        std::snprintf(label, sizeof label, "%.2f", f.score);
        cv::putText(bgr, label, cv::Point(r.x, std::max(12, r.y - 4)), cv::FONT_HERSHEY_SIMPLEX,
                    0.4 * thickness, cv::Scalar(0, 255, 0), std::max(1, thickness / 2));
    }
}

}  // namespace nerova_tool
